// Which entries of a release differ from what is installed, and whether what was unpacked
// is what the index names.
//
// Every file is opened beneath the installation directory without following a symlink:
// a symlink, a directory or any other non-regular file where an entry's file should be
// counts as different (the release replaces it), as does a missing one. Sizes are compared
// first, so only files of the right size are hashed. Folder entries are never selected
// (unzip makes the folders a file needs).
//
// Hashing a large product on every update costs more than fetching what changed, so the
// selection keeps what it learnt in the installation directory (kResumenes): each file's
// identity as the kernel keeps it (device, inode, size, modification and change times)
// with its digest. A file whose identity is unchanged is not read again. Any write to a
// file sets its change time to the kernel's clock, and no one can set that back, so an
// edit (even one that keeps the size and resets the modification time) gives another
// identity. Only files whose change time had settled (a second before the selection
// began) are kept, so an edit within the same clock tick cannot pass for the old content;
// and only on file systems that keep a real change time. The record is ignored unless it
// is a regular file of ours that no one else may write. Losing it costs only time.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

#include "errores.h"
#include "firma.h"
#include "indice.h"

namespace sistema {
class Disco;
}

namespace parcial {

extern const char* const kResumenes;

// Positions in `indice.Entradas` (ascending) of the files whose copy beneath `carpeta`
// differs or is missing. Fails (with nothing in `cambiadas`) when `carpeta` cannot be
// opened or a file there cannot be read (EACCES, EIO), or `continuar` says stop (ECANCELED).
// The record of digests is written through `disco` (the real one when none is given).
std::error_code Seleccionar(const firma::Indice& indice, const std::string& carpeta,
                            std::vector<std::size_t>& cambiadas,
                            const firma::Continuar& continuar = {},
                            const sistema::Disco* disco = nullptr);

// After unzip ran in `carpeta`: every selected entry's file there has the size and digest
// the index names. Error::Distinto otherwise, with the first such name in `detalle`.
std::error_code Comprobar(const firma::Indice& indice, const std::vector<std::size_t>& seleccion,
                          const std::string& carpeta, std::string* detalle = nullptr,
                          const firma::Continuar& continuar = {});

}  // namespace parcial
