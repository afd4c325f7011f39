// The signed release statement published beside the archive (at its URL + ".sig"):
//
//   morvane-update firma 2
//   archivo Morvane.zip
//   tamaño <the archive's length in bytes, decimal>
//   sha256 <the archive's SHA-256, 64 lower-case hex digits>
//   publicado <release time, UTC, YYYY-MM-DDTHH:MM:SSZ>
//   caduca <time after which the statement is stale, same form>
//   firma <base64 Ed25519 signature (pure) of every byte above this line>
//
// UTF-8, each line ended by one LF, exactly these lines in this order. The statement
// binds the archive's bytes to a release time, so that an older release (replayed with
// its genuine signature) never looks newer than the installed one, and to an end of
// validity, so that a server stuck on an old release is noticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firma.h"

namespace firma {

// A statement is small; anything longer is not one.
inline constexpr std::size_t kLimiteDeclaracion = 4096;

struct Declaracion {
    uint64_t Tamano = 0;  // bytes
    Resumen Sha256{};
    int64_t Publicado = 0;  // seconds since 1970-01-01T00:00:00Z
    int64_t Caduca = 0;
};

// "YYYY-MM-DDTHH:MM:SSZ" <-> seconds since the epoch, UTC. Only real calendar times of the
// years 1970-9999 are read (no leap second, no other spelling).
std::optional<int64_t> LeerInstante(std::string_view texto);
std::string EscribirInstante(int64_t segundos);

// 64 lower-case hex digits <-> a digest; no other spelling is read.
std::optional<Resumen> LeerHex(std::string_view texto);
std::string Hex(const Resumen& r);

// The lines of the statement above "firma", each with its LF: what is signed.
std::string TextoFirmado(const Declaracion& d);

// The fields of `texto` and its signature's 64 bytes when it has exactly the form above
// and is at most kLimiteDeclaracion bytes; the signature is not checked. Only one spelling
// of a statement is read: TextoFirmado of the fields, then "firma " and the canonical
// base64 of the signature.
std::optional<Declaracion> LeerForma(std::string_view texto,
                                     std::vector<unsigned char>* firma = nullptr);

// The statement in `texto` when it has exactly the form above, is at most
// kLimiteDeclaracion bytes, expires after it was published, and its signature verifies
// with the base64 public key `clave`. Nothing otherwise.
std::optional<Declaracion> LeerDeclaracion(std::string_view texto, std::string_view clave);

}  // namespace firma
