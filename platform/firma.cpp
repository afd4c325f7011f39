#include "firma.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "libcrypto.h"

#include <cerrno>
#include <climits>
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


// True when `firma` is a valid Ed25519 signature of `resumen` by the raw public key `clave`.
bool VerificarResumen(const std::vector<unsigned char>& clave,
                      const std::vector<unsigned char>& firma, const Resumen& resumen) {
    Clave publica(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, clave.data(), clave.size()));
    ContextoMd md(EVP_MD_CTX_new());
    if (!publica || !md) return false;
    // Ed25519 hashes internally: no digest is named here.
    if (EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, publica.get()) != 1) return false;
    return EVP_DigestVerify(md.get(), firma.data(), firma.size(), resumen.data(), resumen.size()) == 1;
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

Veredicto ComprobarArchivo(const std::string& ruta, std::string_view textoFirma,
                           const Continuar& continuar) {
    const auto clave = DecodificarBase64(ClaveIncorporada());
    const auto firma = DecodificarBase64(textoFirma);
    // Sizes first: a bad key or signature needs no pass over the archive.
    if (!clave || !firma || clave->size() != kBytesClave || firma->size() != kBytesFirma)
        return Veredicto::NoValida;
    bool abandonada = false;
    const auto resumen = ResumenFichero(ruta, [&] {
        abandonada = continuar && !continuar();
        return !abandonada;
    });
    if (abandonada) return Veredicto::Abandonada;
    if (!resumen) return Veredicto::NoValida;
    return VerificarResumen(*clave, *firma, *resumen) ? Veredicto::Valida : Veredicto::NoValida;
}

}  // namespace firma
