// The signed index of a release, published beside the archive and its statement (at the
// archive's URL + ".indice"), so that an update can fetch only the entries that changed:
//
//   morvane-update indice 1
//   archivo Morvane.zip
//   tamaño <the archive's length in bytes>
//   sha256 <the archive's SHA-256, 64 lower-case hex digits>
//   directorio <inicio> <longitud> <sha256 of those bytes>
//   entradas <number of entry lines that follow>
//   entrada <inicio> <longitud> <sha256 of the range> <unpacked size> <unpacked sha256> <name>
//   ...
//   firma <base64 Ed25519 signature (pure) of every byte above this line>
//
// Numbers are decimal without sign or leading zero (0 alone is "0"). An entry's range runs
// from its local header through its data and data descriptor; "directorio" is the central
// directory through the end record, which ends the archive. Entries come in the archive's
// order, their ranges neither overlap each other nor the directory. The name is the rest
// of the line, as the archive stores it; a directory's ends in '/' (its size is 0 and its
// digest that of no bytes). The size and digest are those the statement names, which is
// what binds the index to the release. UTF-8, each line ended by one LF, one spelling.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "declaracion.h"
#include "firma.h"

namespace firma {

// Bounds on what is read: a larger index is refused before it is parsed.
inline constexpr std::size_t kLimiteIndice = 1024 * 1024;
inline constexpr std::size_t kMaximoEntradas = 65536;

struct Rango {
    uint64_t Inicio = 0;
    uint64_t Longitud = 0;
    uint64_t Fin() const { return Inicio + Longitud; }
    friend bool operator==(const Rango&, const Rango&) = default;
};

struct Entrada {
    std::string Nombre;  // as stored; a directory's ends in '/'
    Rango EnArchivo;     // local header through data descriptor
    Resumen Sha256Rango{};
    uint64_t Tamano = 0;  // unpacked
    Resumen Sha256{};     // of the unpacked bytes
    bool EsCarpeta() const { return !Nombre.empty() && Nombre.back() == '/'; }
};

struct Indice {
    uint64_t Tamano = 0;  // the archive's
    Resumen Sha256{};
    Rango Directorio;  // central directory through the end record
    Resumen Sha256Directorio{};
    std::vector<Entrada> Entradas;
};

// Why an index was refused.
enum class ErrorIndice {
    Grande = 1,         // over kLimiteIndice bytes or kMaximoEntradas entries
    Forma,              // not the form above
    SinFirma,           // no signature line
    FirmaIncorrecta,    // the signature does not verify with the key (or no usable key)
    OtroArchivo,        // names another archive than the statement
    NombreInseguro,     // empty, absolute, with "." or ".." components, control characters
    NombreRepetido,     // two entries for one path, or a file where another has a folder
    RangoFuera,         // a range beyond the archive, or a directory that does not end it
    RangosSolapados,    // ranges out of order or over each other
};
const std::error_category& CategoriaIndice();
std::error_code make_error_code(ErrorIndice e);

// Everything above the "firma" line, each line with its LF: what is signed. Empty when
// the index cannot be written (a name with a line break).
std::string TextoIndice(const Indice& indice);

// The index in `texto` when it has exactly the form above and is consistent (sizes,
// ranges, names); the signature's 64 bytes in `firma` but not checked.
std::error_code LeerFormaIndice(std::string_view texto, Indice& indice,
                                std::vector<unsigned char>* firma = nullptr);

// The index in `texto` when its form is right, its signature verifies with the base64
// public key `clave`, and it names the archive `declaracion` names.
std::error_code LeerIndice(std::string_view texto, std::string_view clave,
                           const Declaracion& declaracion, Indice& indice);

// Whether `nombre` (without a directory's trailing '/') is a plain relative path: no
// empty, "." or ".." component, no backslash, no control character.
bool NombreSeguro(std::string_view nombre);

}  // namespace firma

template <>
struct std::is_error_code_enum<firma::ErrorIndice> : std::true_type {};
