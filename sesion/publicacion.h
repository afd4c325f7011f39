// Signed updates as the session uses them: the release statement fetched beside the
// archive and judged (signature, staleness, newer than the installed product), and the
// check of the archive's bytes against it while they are downloaded.
//
// Only a session with a key uses this; without one the check decides from Last-Modified
// as it always has.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "declaracion.h"
#include "zkDownload.h"

namespace publicacion {

// The statement of the installed release, kept in the installation directory and placed
// with the release's files (so a power cut leaves the old files with the old record or the
// new ones with the new). The check compares against its `publicado`.
extern const char* const kRegistro;

enum class Estado {
    Nueva,        // valid, in date, published later than the installed release
    NoPosterior,  // valid and in date, but not newer: nothing to install (or a rollback)
    Caducada,     // valid, but its end of validity has passed (a frozen server)
    NoValida,     // missing, malformed, or not signed by the built-in key
    SinRespuesta, // the network (or the server, 5xx) failed: nothing is known of it
    Abandonada,   // the fetch was ended by the cancel token: no verdict
};

struct Consulta {
    Estado Veredicto = Estado::NoValida;
    firma::Declaracion Datos;
    std::string Texto;  // the statement as fetched, to be kept as the record once installed
    // SinRespuesta: the failure as a download's would be reported, code and message
    // ("005", "Error en InternetSendRequest."), and the network's own reason.
    std::string Codigo, Mensaje, MotivoRed;
    std::error_code Causa;  // SinRespuesta for the network: its reason as a code
    std::string Respuesta;  // the answer's status code, for the log ("200"; "" when none came)
    size_t Bytes = 0;       // of the statement received
};

// Fetches the statement at `urlArchivo` + ".sig" (the request the archive's) and judges it
// with `clave` (base64): stale at `ahora`, newer when its `publicado` is later, to
// the second, than the record's in `carpeta`; without a valid record (an install made
// before records, or from a package), than the modification time of its Morvane.exe,
// both taken as instants. No clock enters the comparison once a record is there, so a
// release is never offered again after its install. The fetch is made with `ajustes` as
// the component makes its own; its cancel token, active before or after the fetch (or
// ending it), gives Abandonada. A fetch the network failed is reported as such, never as
// an invalid statement.
Consulta Consultar(const std::string& urlArchivo, const std::string& carpeta,
                   const std::string& clave, const zkDownload::Ajustes& ajustes,
                   std::chrono::system_clock::time_point ahora);

// What the status strip says of a verdict at the end of an update check.
const char* Texto(Estado estado);

// The archive's expected length and digest, checked while the component writes it: bound
// to zkDownload::VerificarCuerpo, it must outlive that download.
class Cuerpo {
public:
    explicit Cuerpo(const firma::Declaracion& d) : declaracion_(d) {}
    Cuerpo(const Cuerpo&) = delete;
    Cuerpo& operator=(const Cuerpo&) = delete;

    zkDownload::Verificacion Verificacion();

private:
    firma::Declaracion declaracion_;
    firma::Sha256 sha_;
    uint64_t bytes_ = 0;
};

}  // namespace publicacion
