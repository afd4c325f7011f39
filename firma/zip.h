// The little of the zip format that the index needs: the central directory's records, and
// from an archive on disk, each entry's byte range and unpacked digest. Stored and
// deflated entries, with or without data descriptors; zip64, encryption, multi-disk
// archives and other methods are refused with a reason.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "indice.h"

namespace firma::zip {

inline constexpr uint32_t kFirmaLocal = 0x04034b50;
inline constexpr uint32_t kFirmaCentral = 0x02014b50;
inline constexpr uint32_t kFirmaFin = 0x06054b50;
inline constexpr uint32_t kFirmaDescriptor = 0x08074b50;
inline constexpr std::size_t kCabeceraLocal = 30;
inline constexpr std::size_t kCabeceraCentral = 46;
inline constexpr std::size_t kRegistroFin = 22;
// Offsets of fields rewritten when records are moved.
inline constexpr std::size_t kPosicionLocalEnCentral = 42;

// One record of the central directory.
struct Registro {
    std::string Nombre;
    uint16_t Bandera = 0;
    uint16_t Metodo = 0;
    uint32_t Crc = 0;
    uint64_t Comprimido = 0;
    uint64_t Tamano = 0;
    uint64_t Local = 0;       // offset of its local header in the archive
    std::size_t Desde = 0;    // where the record lies in the directory's bytes
    std::size_t Longitud = 0; // its bytes, name, extra field and comment included
};

uint16_t Leer16(const unsigned char* p);
uint32_t Leer32(const unsigned char* p);
void Poner16(unsigned char* p, uint16_t v);
void Poner32(unsigned char* p, uint32_t v);

// The records of `datos`, the archive's bytes from `inicio` (where the central directory
// starts) to its end: the records, then the end record (and its comment) ending the
// archive. False with `razon` when they are not exactly that.
bool LeerDirectorio(std::string_view datos, uint64_t inicio, std::vector<Registro>& registros,
                    std::string& razon);

// The index of the archive at `ruta` (its digest and size too), reading it once more for
// every entry's bytes. False with `razon` when the archive is not one the index can
// describe (or cannot be read).
bool HacerIndice(const std::string& ruta, Indice& indice, std::string& razon);

}  // namespace firma::zip
