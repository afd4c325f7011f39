// Which entries of a release differ from what is installed, and whether what was unpacked
// is what the index names.
//
// Every file is opened beneath the installation directory without following a symlink:
// a symlink, a directory or any other non-regular file where an entry's file should be
// counts as different (the release replaces it), as does a missing one. Sizes are compared
// first, so only files of the right size are hashed. Folder entries are never selected
// (unzip makes the folders a file needs).
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

namespace parcial {

// Positions in `indice.Entradas` (ascending) of the files whose copy beneath `carpeta`
// differs or is missing. Fails (with nothing in `cambiadas`) when `carpeta` cannot be
// opened or a file there cannot be read (EACCES, EIO), or `continuar` says stop (ECANCELED).
std::error_code Seleccionar(const firma::Indice& indice, const std::string& carpeta,
                            std::vector<std::size_t>& cambiadas,
                            const firma::Continuar& continuar = {});

// After unzip ran in `carpeta`: every selected entry's file there has the size and digest
// the index names. Error::Distinto otherwise, with the first such name in `detalle`.
std::error_code Comprobar(const firma::Indice& indice, const std::vector<std::size_t>& seleccion,
                          const std::string& carpeta, std::string* detalle = nullptr,
                          const firma::Continuar& continuar = {});

}  // namespace parcial
