// Fetching the ranges of the archive a partial update wants, over HTTP, into an Ensamblador.
//
// Each request is the download component's GET (same agent, version, no cache, TLS) with a
// Range header naming at most kRangosPorPeticion ranges, coalesced from what the
// Ensamblador still wants. Every answer is read through a LectorRespuesta, so a multipart
// body, one merged range and a 200 are all understood, and every byte kept is checked by
// the Ensamblador against the index before it is used.
//
// A body that breaks off (or stops short of what was asked) is not started again: the next
// request asks only for what is still pending, after the component's waits (doubling up to
// a ceiling), and the fetch gives up after as many attempts in a row without 64 KiB of
// progress as the component allows. A tampered range is never asked for again.
//
// Nothing here throws. The Ensamblador must be open (Abrir); the caller runs its Terminar
// after a success, and destroys it on any failure (which removes its file).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <system_error>

#include "ensamblado.h"
#include "zkDownload.h"

namespace parcial {

struct ResultadoRangos {
    // Empty: every wanted byte arrived and the Ensamblador took it. Otherwise why not:
    // std::errc::operation_canceled for the cancel token, Error::ArchivoEntero with Entero,
    // Error::Estado for a status other than 206 and 200, Error::RangoAlterado for a range
    // that is not the signed one, the network's own reason (CategoriaInternet) when it gave
    // up, or the answer's (Error::OtroArchivo, Error::RespuestaMalformada).
    std::error_code Error;
    // The server answered 200 (it ignores Range): fetch the archive whole instead.
    bool Entero = false;
    // For the log, as the component would report the failure ("005", "Error en
    // InternetSendRequest.", and curl's words for a network failure).
    std::string Codigo, Mensaje, MotivoRed;
    uint64_t Recibidos = 0;  // body bytes received over all requests
    int Peticiones = 0;      // requests sent
};

// Fetches what `ensamblador.Pendientes()` wants from `url` (`puerto` as the component's
// Puerto, 0: the scheme's). Time-outs, the speed floor, trusted CAs, the wait between
// attempts and the cancel token come from `ajustes`; an active token ends it at once.
// `progreso(recibidos)` runs after each piece read, with the bytes of the wanted ranges
// taken so far (it may be empty).
ResultadoRangos DescargarRangos(const std::string& url, int32_t puerto, const zkDownload::Ajustes& ajustes,
                                Ensamblador& ensamblador, const std::function<void(uint64_t)>& progreso);

}  // namespace parcial
