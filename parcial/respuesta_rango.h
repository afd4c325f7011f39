// Reading the answer to a range request, as the body arrives in pieces of any size, with
// bounded memory: it hands on each run of archive bytes with its offset in the archive.
//
//   206 with a Content-Range        one run (which may be one range merging several asked
//                                   for): the body is exactly its bytes
//   206 multipart/byteranges        one run per part, each placed by its own Content-Range;
//                                   the part's bytes are counted, never scanned for the
//                                   boundary, so the data may hold anything
//   200                             the whole archive: Entero(), and the caller goes on with
//                                   the body as a whole download
//   anything else                   Error::Estado
//
// Every Content-Range must name an archive of the index's size. Whether the bytes are the
// right ones is not judged here: the receiver checks them against the index (Ensamblador).
// Pure: no I/O, no clock.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "errores.h"

namespace parcial {

// "bytes a-b/total" with total == `tamano` and a <= b < total; the first and last byte.
bool LeerContentRange(std::string_view texto, uint64_t tamano, uint64_t& primero, uint64_t& ultimo);

class LectorRespuesta {
public:
    // Receives `n` bytes of the archive starting at `inicio`; an error stops the reading.
    using Receptor = std::function<std::error_code(uint64_t inicio, const unsigned char* datos, std::size_t n)>;

    // The answer's status and its Content-Type and Content-Range headers ("" when absent).
    LectorRespuesta(int estado, std::string_view tipo, std::string_view contentRange,
                    uint64_t tamanoArchivo, Receptor receptor);

    bool Entero() const { return entero_; }
    // The first failure so far (also what Anadir and Terminar return).
    std::error_code Error() const { return error_; }
    // The next bytes of the body.
    std::error_code Anadir(const unsigned char* datos, std::size_t n);
    // The body has ended: Error::Incompleta when a run was cut short (what came is kept by
    // the receiver) or a multipart body lacks its closing delimiter.
    std::error_code Terminar();

private:
    enum class Fase { Preambulo, Delimitador, Cabeceras, Cuerpo, TrasCuerpo, Epilogo, Fin };

    std::error_code Fallar(std::error_code e);
    std::error_code Cuerpo(const unsigned char*& p, std::size_t& n);
    std::error_code LeerCabecerasParte();

    Receptor receptor_;
    uint64_t tamano_ = 0;
    bool entero_ = false;
    bool multiparte_ = false;
    std::error_code error_;
    Fase fase_ = Fase::Fin;
    std::string delimitador_;  // "--" + boundary
    std::string acumulado_;    // bytes of a delimiter or headers being read (bounded)
    uint64_t posicion_ = 0;    // where the next body byte goes in the archive
    uint64_t quedan_ = 0;      // body bytes of the current run still to come
};

}  // namespace parcial
