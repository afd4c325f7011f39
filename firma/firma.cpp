#include "firma.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "libcrypto.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#ifndef MORVANE_UPDATE_PUBLIC_KEY
#error "MORVANE_UPDATE_PUBLIC_KEY must be defined (empty for unsigned updates)"
#endif

namespace firma {

namespace {

// Big enough that the hash, not the system calls, sets the pace.
constexpr std::size_t kPieza = 256 * 1024;

using libcrypto::Clave;
using libcrypto::ContextoMd;

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

bool EsBlanco(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::optional<std::string>& ClaveSustituta() {
    static std::optional<std::string> clave;
    return clave;
}


}  // namespace

std::string CodificarBase64(const unsigned char* datos, std::size_t n) {
    try {
        if (n == 0 || n > INT_MAX / 4 * 3 - 3) return {};
        std::string texto((n + 2) / 3 * 4 + 1, '\0');
        const int escritos = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(texto.data()), datos,
                                             static_cast<int>(n));
        texto.resize(escritos < 0 ? 0 : static_cast<std::size_t>(escritos));
        return texto;
    } catch (...) {
        return {};
    }
}

std::optional<std::vector<unsigned char>> DecodificarBase64(std::string_view texto) {
    try {
        std::string limpio;
        limpio.reserve(texto.size());
        for (char c : texto)
            if (!EsBlanco(c)) limpio.push_back(c);
        if (limpio.empty() || limpio.size() % 4 != 0 || limpio.size() > INT_MAX) return std::nullopt;

        std::vector<unsigned char> bytes(limpio.size() / 4 * 3);
        const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(limpio.data()),
                                      static_cast<int>(limpio.size()));
        if (n < 0 || static_cast<std::size_t>(n) != bytes.size()) return std::nullopt;
        // The decoder counts padding as zero bytes; drop them.
        std::size_t relleno = 0;
        while (relleno < 2 && limpio[limpio.size() - 1 - relleno] == '=') ++relleno;
        bytes.resize(bytes.size() - relleno);
        // Only the one canonical spelling of those bytes is accepted: this also rejects
        // '=' anywhere but at the end and stray bits in the last character.
        if (bytes.empty() || CodificarBase64(bytes.data(), bytes.size()) != limpio)
            return std::nullopt;
        return bytes;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Resumen> ResumenFichero(const std::string& ruta, const Continuar& continuar) {
    try {
        int bruto;
        do {
            bruto = ::open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
        } while (bruto < 0 && errno == EINTR);
        Descriptor fd(bruto);
        if (fd.get() < 0) return std::nullopt;
        ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

        ContextoMd md(EVP_MD_CTX_new());
        if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
        std::unique_ptr<unsigned char[]> pieza(new (std::nothrow) unsigned char[kPieza]);
        if (!pieza) return std::nullopt;
        for (;;) {
            const ssize_t leidos = ::read(fd.get(), pieza.get(), kPieza);
            if (leidos < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (leidos == 0) break;
            if (EVP_DigestUpdate(md.get(), pieza.get(), static_cast<std::size_t>(leidos)) != 1)
                return std::nullopt;
            if (continuar && !continuar()) return std::nullopt;
        }
        Resumen resumen{};
        unsigned int longitud = 0;
        if (EVP_DigestFinal_ex(md.get(), resumen.data(), &longitud) != 1 || longitud != resumen.size())
            return std::nullopt;
        return resumen;
    } catch (...) {
        return std::nullopt;
    }
}

std::string ClaveIncorporada() {
    try {
        if (ClaveSustituta()) return *ClaveSustituta();
        return MORVANE_UPDATE_PUBLIC_KEY;
    } catch (...) {
        return {};
    }
}

void SustituirClaveIncorporada(std::optional<std::string> clave) {
    ClaveSustituta() = std::move(clave);
}

// Gathers up to this much before hashing: large enough that the per-call cost vanishes,
// small enough to stay in the cache.
constexpr std::size_t kReunir = 64 * 1024;

struct Sha256::Estado {
    ContextoMd md{EVP_MD_CTX_new()};
    bool bien = false;
    std::size_t usados = 0;
    unsigned char reunidos[kReunir];

    void Volcar() {
        if (bien && usados > 0) bien = EVP_DigestUpdate(md.get(), reunidos, usados) == 1;
        usados = 0;
    }
};

Sha256::Sha256() : estado_(new (std::nothrow) Estado) { Reiniciar(); }
Sha256::~Sha256() = default;

void Sha256::Reiniciar() {
    if (!estado_) return;
    estado_->usados = 0;
    estado_->bien = estado_->md && EVP_DigestInit_ex(estado_->md.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::Anadir(const void* datos, std::size_t n) {
    if (!estado_ || !estado_->bien) return;
    Estado& e = *estado_;
    const auto* p = static_cast<const unsigned char*>(datos);
    if (e.usados + n > kReunir) e.Volcar();
    if (n >= kReunir) {
        e.bien = e.bien && EVP_DigestUpdate(e.md.get(), p, n) == 1;
        return;
    }
    std::memcpy(e.reunidos + e.usados, p, n);
    e.usados += n;
}

std::optional<Resumen> Sha256::Final() {
    if (!estado_) return std::nullopt;
    estado_->Volcar();
    Resumen resumen{};
    unsigned int longitud = 0;
    const bool bien = estado_->bien &&
                      EVP_DigestFinal_ex(estado_->md.get(), resumen.data(), &longitud) == 1 &&
                      longitud == resumen.size();
    estado_->bien = false;
    if (!bien) return std::nullopt;
    return resumen;
}

bool VerificarEd25519(const std::vector<unsigned char>& clave,
                      const std::vector<unsigned char>& firma, std::string_view datos) {
    if (clave.size() != kBytesClave || firma.size() != kBytesFirma) return false;
    Clave publica(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, clave.data(), clave.size()));
    ContextoMd md(EVP_MD_CTX_new());
    if (!publica || !md) return false;
    // Pure Ed25519 hashes internally: no digest is named here.
    if (EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, publica.get()) != 1) return false;
    return EVP_DigestVerify(md.get(), firma.data(), firma.size(),
                            reinterpret_cast<const unsigned char*>(datos.data()), datos.size()) == 1;
}

}  // namespace firma
