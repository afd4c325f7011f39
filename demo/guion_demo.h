// What the demo update server answers: the archive for its one path, 404 for anything
// else. Kept apart from the server program so the tests can check it.
#pragma once

#include <chrono>
#include <string>

#include "servidor_http.h"

namespace demo {

// The path the updater asks for; absolute-form targets (the updater reaches the demo
// server as its proxy) end with it too.
inline constexpr const char* kRutaArchivo = "/web/lurenet/Morvane.zip";

struct OpcionesArchivo {
    std::string Ruta;                          // the archive file served
    std::chrono::milliseconds Duracion{3000};  // the body is spread over about this long
    std::chrono::milliseconds Retraso{0};      // wait before each reply (a slow server)
    // Serve the index beside the archive (".indice") and answer Range on the archive, as
    // a partial update needs; off, both are as a server that knows neither.
    bool Rangos = false;
};

// True when the request target (origin or absolute form, query ignored) names the archive,
// or its signature (the archive's path + ".sig").
bool PideArchivo(const std::string& destino);
bool PideFirma(const std::string& destino);

// The reply to one request. The archive is read at every request, so it may be replaced
// while the server runs: 200 with Content-Length and Last-Modified (the file's mtime, as
// prueba::FechaHttp writes it) and the body in pieces with pauses; 404 for other targets;
// 500 when the file cannot be read. The signature is the file beside the archive with
// ".sig" added, sent at once; 404 when there is none. HEAD gets the head alone. With
// Rangos, the index is served as the signature is, and a GET of the archive with a Range
// of byte ranges gets 206 at once: one range with Content-Range, several as
// multipart/byteranges; 416 when none is within the file.
prueba::Respuesta ResponderArchivo(const OpcionesArchivo& opciones,
                                   const prueba::Peticion& peticion);

}  // namespace demo
