// The request the download component makes, in one place, and the fetch of a small text
// (an update's signature) made exactly as the component fetches the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "internet.h"
#include "zkDownload.h"

// The user agent of every request the component makes.
inline constexpr const char* kAgenteDescarga = "zkDownload";

// Opens the component's GET of `ruta` on `conexion`: HTTP/1.0, always from the server,
// over verified TLS when `esquema` is "https". Null on failure.
internet::HINTERNET AbrirPeticionGet(internet::HINTERNET conexion, const std::string& esquema,
                                     const std::string& ruta);

// The settings of the component's sessions, from its Opciones.
internet::Ajustes AjustesDeRed(const zkDownload::Ajustes& ajustes);

// How the fetch of a small text ended.
struct TextoRemoto {
    // The status code of the answer ("200", "404"); empty when none arrived.
    std::string Estado;
    // The body, when the server answered with a 2xx status and a complete body of at most
    // the limit; nothing on any other outcome.
    std::optional<std::string> Texto;
    // Nothing is known of the text because the network failed (no answer, a body that
    // broke off) or the server did (a 5xx status: a proxy's 502 or 504 among them).
    bool SinRespuesta = false;
    // Then: the code and message the component reports for such a failure ("005" "Error en
    // InternetSendRequest.", "999" "Ha ocurrido un error durante la descarga.", "503"
    // "Service Unavailable"), and the network's own reason when it was the network's.
    std::string Codigo, Mensaje, MotivoRed;
    // The network's failure as a code (see zkDownload::Causa); empty for any other outcome.
    std::error_code Causa;
    bool Abandonado = false;  // ended by the cancel token: nothing is known either
};

// Fetches `url`. The request is the archive's: agent "zkDownload", the machine's proxy
// setting, GET, HTTP/1.0, never from a cache, TLS verified for https; `puerto` as the
// component's Puerto (0: the scheme's port); time-outs, trusted CAs and the cancel token
// from `ajustes`, as the component takes them.
TextoRemoto LeerTextoRemoto(const std::string& url, int32_t puerto, std::size_t limite,
                            const zkDownload::Ajustes& ajustes);
