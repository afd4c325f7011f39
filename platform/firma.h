// Signatures of update archives, over OpenSSL's libcrypto.
//
// A signature is an Ed25519 signature of the archive's 32-byte SHA-256 digest, so a large
// archive is checked while it is read from disk in pieces, with memory independent of its
// size. Keys (32 raw bytes) and signatures (64 bytes) travel as base64 text.
//
// Nothing here throws.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace firma {

inline constexpr std::size_t kBytesClave = 32;
inline constexpr std::size_t kBytesFirma = 64;
using Resumen = std::array<unsigned char, 32>;

// The bytes of a base64 text. Blanks and line breaks around and between the characters
// are ignored (the `base64` tool wraps its output); any other stray character, misplaced
// padding or non-canonical final bits give nothing.
std::optional<std::vector<unsigned char>> DecodificarBase64(std::string_view texto);
std::string CodificarBase64(const unsigned char* datos, std::size_t n);

// Called between pieces of a long job; returning false abandons it.
using Continuar = std::function<bool()>;

// SHA-256 of the file, read in pieces into a fixed buffer; `continuar` (if any) runs after
// every piece. Nothing when the file cannot be read or the job was abandoned.
std::optional<Resumen> ResumenFichero(const std::string& ruta, const Continuar& continuar = {});

// The public key the program was built with, as base64 text; empty when updates are not
// signed.
std::string ClaveIncorporada();

// Replaces the built-in key for the rest of the process (nothing restores the real one).
// Only the tests call it, so that a build without a key can exercise signed updates.
void SustituirClaveIncorporada(std::optional<std::string> clave);

enum class Veredicto { Valida, NoValida, Abandonada };

// Checks the archive at `ruta` against the signature text (base64, blanks around it
// ignored) with the built-in key. NoValida for an unreadable signature or archive, a key
// that cannot be read, or a signature that does not verify; Abandonada when `continuar`
// returned false.
Veredicto ComprobarArchivo(const std::string& ruta, std::string_view textoFirma,
                           const Continuar& continuar = {});

}  // namespace firma
