// The byte ranges of the archive to ask for, from the entries that changed.
//
// Ranges closer than a gap threshold are merged (asking for a few KiB too many costs less
// than another part, with its headers, or another request), the central directory is
// always among them (the assembled zip needs its records), and the ranges are split into
// requests of a few ranges each: servers cap how many ranges one request may name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "indice.h"

namespace parcial {

inline constexpr uint64_t kHuecoMaximo = 64 * 1024;
inline constexpr std::size_t kRangosPorPeticion = 8;

struct Plan {
    std::vector<std::vector<firma::Rango>> Peticiones;  // each one request's ranges, in order
    uint64_t Bytes = 0;          // all the ranges' bytes together
    bool ArchivoEntero = false;  // more than half the archive: fetch it whole instead
};

// `rangos` sorted and with every two that lie less than `hueco` bytes apart (or touch, or
// overlap) made one.
std::vector<firma::Rango> Coalescer(std::vector<firma::Rango> rangos, uint64_t hueco = kHuecoMaximo);

// The plan for the entries `seleccion` (positions in indice.Entradas). Nothing selected:
// nothing to fetch (no requests, 0 bytes).
Plan Planear(const firma::Indice& indice, const std::vector<std::size_t>& seleccion,
             uint64_t hueco = kHuecoMaximo, std::size_t porPeticion = kRangosPorPeticion);

// The Range header's value for those ranges: "bytes=0-99,200-299" (last byte included).
std::string CabeceraRange(const std::vector<firma::Rango>& rangos);

}  // namespace parcial
