// The request the download component makes, in one place, and the fetch of a small text
// (an update's signature) made exactly as the component fetches the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "internet.h"

// The user agent of every request the component makes.
inline constexpr const char* kAgenteDescarga = "zkDownload";

// Opens the component's GET of `ruta` on `conexion`: HTTP/1.0, always from the server,
// over verified TLS when `esquema` is "https". Null on failure.
internet::HINTERNET AbrirPeticionGet(internet::HINTERNET conexion, const std::string& esquema,
                                     const std::string& ruta);

// The body of `url` when the server answers with a 2xx status and a complete body of at
// most `limite` bytes; nothing on any other outcome. The request is the archive's: agent
// "zkDownload", the machine's proxy setting, GET, HTTP/1.0, never from a cache, TLS
// verified for https; `puerto` as the component's Puerto (0: the scheme's port). The window
// is served while it runs.
std::optional<std::string> LeerTextoRemoto(const std::string& url, int32_t puerto,
                                           std::size_t limite);
