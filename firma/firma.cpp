#include "firma.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "libcrypto.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

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
    int bruto;
    do {
        bruto = ::open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
    } while (bruto < 0 && errno == EINTR);
    Descriptor fd(bruto);
    if (fd.get() < 0) return std::nullopt;
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return ResumenDescriptor(fd.get(), continuar);
}

std::optional<Resumen> ResumenDescriptor(int fd, const Continuar& continuar) {
    try {
        ContextoMd md(EVP_MD_CTX_new());
        if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
        std::unique_ptr<unsigned char[]> pieza(new (std::nothrow) unsigned char[kPieza]);
        if (!pieza) return std::nullopt;
        for (;;) {
            const ssize_t leidos = ::read(fd, pieza.get(), kPieza);
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

std::string ClaveIncorporada() { return MORVANE_UPDATE_PUBLIC_KEY; }

// Bytes are gathered into pieces of this size, and a worker thread hashes full pieces
// while the caller goes on receiving: on a fast network the hash would otherwise add its
// whole time to the download's. kPiezas pieces bound the memory and how far the caller
// may run ahead.
constexpr std::size_t kReunir = 256 * 1024;
constexpr std::size_t kPiezas = 4;

struct Sha256::Estado {
    ContextoMd md{EVP_MD_CTX_new()};
    bool bien = false;  // written by the worker only while it holds a piece

    std::unique_ptr<unsigned char[]> piezas[kPiezas];
    std::size_t tamanos[kPiezas] = {};
    std::size_t actual = 0;  // the piece being filled, not yet handed over
    std::size_t usados = 0;  // bytes in it

    std::mutex m;
    std::condition_variable cv;
    std::size_t primera = 0;  // oldest piece handed over
    std::size_t llenas = 0;   // pieces handed over and not yet hashed
    bool parar = false;
    std::thread trabajador;
    bool sinHilo = false;  // no thread could be started: hash on the caller's thread

    ~Estado() { Parar(); }

    void Hashear(const unsigned char* p, std::size_t n) {
        if (bien) bien = EVP_DigestUpdate(md.get(), p, n) == 1;
    }

    void Trabajar() {
        std::unique_lock<std::mutex> cerrojo(m);
        for (;;) {
            cv.wait(cerrojo, [this] { return llenas > 0 || parar; });
            if (llenas == 0) return;
            const std::size_t i = primera;
            cerrojo.unlock();
            Hashear(piezas[i].get(), tamanos[i]);
            cerrojo.lock();
            primera = (primera + 1) % kPiezas;
            --llenas;
            cv.notify_all();
        }
    }

    void Arrancar() {
        if (trabajador.joinable() || sinHilo) return;
        // Signals stay with the caller's thread.
        sigset_t todas, antes;
        ::sigfillset(&todas);
        ::pthread_sigmask(SIG_SETMASK, &todas, &antes);
        try {
            parar = false;
            trabajador = std::thread([this] { Trabajar(); });
        } catch (...) {
            sinHilo = true;
        }
        ::pthread_sigmask(SIG_SETMASK, &antes, nullptr);
    }

    // Hands the piece being filled to the worker and waits until the next one is free.
    void Entregar() {
        if (usados == 0) return;
        tamanos[actual] = usados;
        usados = 0;
        Arrancar();
        if (sinHilo) {
            Hashear(piezas[actual].get(), tamanos[actual]);
            return;
        }
        std::unique_lock<std::mutex> cerrojo(m);
        ++llenas;
        actual = (actual + 1) % kPiezas;
        cv.notify_all();
        cv.wait(cerrojo, [this] { return llenas < kPiezas; });
    }

    // Every piece handed over has been hashed; the worker ends.
    void Parar() {
        if (!trabajador.joinable()) return;
        {
            std::lock_guard<std::mutex> cerrojo(m);
            parar = true;
        }
        cv.notify_all();
        trabajador.join();
    }
};

Sha256::Sha256() : estado_(new (std::nothrow) Estado) {
    bool completo = static_cast<bool>(estado_);
    for (std::size_t i = 0; completo && i < kPiezas; ++i) {
        estado_->piezas[i].reset(new (std::nothrow) unsigned char[kReunir]);
        completo = static_cast<bool>(estado_->piezas[i]);
    }
    // Without its memory the object gives no digest at all (Final says nothing).
    if (!completo) estado_.reset();
    Reiniciar();
}
Sha256::~Sha256() = default;

void Sha256::Reiniciar() {
    if (!estado_) return;
    Estado& e = *estado_;
    e.Parar();
    e.usados = 0;  // the worker has drained every piece: actual is primera again
    e.bien = e.md && EVP_DigestInit_ex(e.md.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::Anadir(const void* datos, std::size_t n) {
    if (!estado_) return;
    Estado& e = *estado_;
    const auto* p = static_cast<const unsigned char*>(datos);
    while (n > 0) {
        const std::size_t cabe = std::min(n, kReunir - e.usados);
        std::memcpy(e.piezas[e.actual].get() + e.usados, p, cabe);
        e.usados += cabe;
        p += cabe;
        n -= cabe;
        if (e.usados == kReunir) e.Entregar();
    }
}

std::optional<Resumen> Sha256::Final() {
    if (!estado_) return std::nullopt;
    Estado& e = *estado_;
    e.Entregar();
    e.Parar();
    Resumen resumen{};
    unsigned int longitud = 0;
    const bool bien = e.bien && EVP_DigestFinal_ex(e.md.get(), resumen.data(), &longitud) == 1 &&
                      longitud == resumen.size();
    e.bien = false;
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
