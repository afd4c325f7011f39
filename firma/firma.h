// The cryptography of signed updates, over OpenSSL's libcrypto: base64, SHA-256 (of a file
// or of bytes as they arrive) and Ed25519. Keys (32 raw bytes) and signatures (64 bytes)
// travel as base64 text.
//
// No curl and no Qt here: the maker's signing tool links this and nothing else.
// Nothing here throws.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
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
// The same of what is left to read from the open descriptor `fd` (not closed here).
std::optional<Resumen> ResumenDescriptor(int fd, const Continuar& continuar = {});

// SHA-256 of bytes handed over as they arrive, in pieces of any size. They are gathered
// into larger pieces (a download hands over 512 bytes at a time, and hashing each alone
// would cost more than the hash itself), which a worker thread of the object's own hashes
// while the caller goes on; at most about 1 MiB waits. Final and Reiniciar end the
// worker, so no thread outlives a digest. Signals are never delivered to it.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Reiniciar();  // back to no bytes at all
    void Anadir(const void* datos, std::size_t n);
    // The digest of every byte since the last Reiniciar; nothing when libcrypto failed.
    // The object must be restarted before it is used again.
    std::optional<Resumen> Final();

private:
    struct Estado;
    std::unique_ptr<Estado> estado_;
};

// True when `firma` (64 bytes) is the pure Ed25519 signature of `datos` by the raw 32-byte
// public key `clave`.
bool VerificarEd25519(const std::vector<unsigned char>& clave,
                      const std::vector<unsigned char>& firma, std::string_view datos);

// The public key the program was built with, as base64 text; empty when updates are not
// signed.
std::string ClaveIncorporada();

}  // namespace firma
