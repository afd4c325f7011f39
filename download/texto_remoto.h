// Small companions of the download component: the URL split it uses, and the fetch of a
// small text (an update's signature) made exactly as the component fetches the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The user agent of every request the component makes.
inline constexpr const char* kAgenteDescarga = "zkDownload";

// An address as the component splits it: the scheme in lower case, everything up to the
// next '/' as the host (a ":port" stays in it), the rest as the path (empty for "" or "/").
// No "://" means http. Only http and https are admitted; for any other scheme only
// Esquema is filled in.
struct PartesURL {
    std::string Esquema, Host, Ruta;
    bool Admitida = false;
};

// May throw std::bad_alloc.
PartesURL PartirURL(const std::string& url);

// The body of `url` when the server answers with a 2xx status and a complete body of at
// most `limite` bytes; nothing on any other outcome. The request is the archive's: agent
// "zkDownload", the machine's proxy setting, GET, HTTP/1.0, never from a cache, TLS
// verified for https; `puerto` as the component's Puerto (0: the scheme's port). The window is served while it runs.
std::optional<std::string> LeerTextoRemoto(const std::string& url, int32_t puerto,
                                           std::size_t limite);
