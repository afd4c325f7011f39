// One whole download of the archive at `url` into `dir`, as the session makes it: with a key,
// the statement is judged first and the body checked against it while it is written. Shared
// by the benchmarks that weigh a signed download against an unsigned one.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "publicacion.h"
#include "zkDownload.h"

namespace medicion {

// True when the archive is in place; what went wrong on stderr otherwise.
inline bool DescargarArchivo(const std::string& url, bool firmada, const std::string& dir,
                             const std::string& clave) {
    zkDownload::Ajustes opciones;
    opciones.Carpeta = dir;
    std::optional<publicacion::Cuerpo> cuerpo;
    if (firmada) {
        const publicacion::Consulta c =
            publicacion::Consultar(url, dir, clave, opciones, std::chrono::system_clock::now());
        if (c.Veredicto != publicacion::Estado::Nueva) {
            std::fprintf(stderr, "  declaración: %s\n", publicacion::Texto(c.Veredicto));
            return false;
        }
        cuerpo.emplace(c.Datos);
    }
    auto d = std::make_unique<zkDownload>();
    d->Opciones = opciones;
    d->URL(url);
    if (cuerpo) d->VerificarCuerpo = cuerpo->Verificacion();
    d->Descargar(1);
    if (d->HuboError()) std::fprintf(stderr, "  %s %s\n", d->StatusCode().c_str(), d->StatusText().c_str());
    return !d->HuboError();
}

}  // namespace medicion
