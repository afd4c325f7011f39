// morvane-sign: the maker's side of signed updates.
//
//   morvane-sign key FILE            writes a new Ed25519 private key (PKCS#8 PEM, mode
//                                    0600) to FILE, which must not exist yet, and prints
//                                    its public key as the build takes it
//   morvane-sign sign KEY ARCHIVE    writes ARCHIVE.sig: the base64 Ed25519 signature of
//                                    the archive's SHA-256 digest
//
// Both forms interoperate with the openssl command-line tool. Exit status 0 on success,
// 1 on failure (with the reason on stderr), 2 for a wrong command line.
#include <fcntl.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fichero_temporal.h"
#include "firma.h"
#include "libcrypto.h"
#include "sistema.h"

namespace {

using namespace libcrypto;

int Uso() {
    std::fputs("usage: morvane-sign key FILE\n"
               "       morvane-sign sign KEY ARCHIVE\n",
               stderr);
    return 2;
}

// Says what failed (with OpenSSL's reason when it has one) and gives the failure status.
int Fallo(const std::string& que) {
    const unsigned long codigo = ERR_get_error();
    if (codigo != 0) {
        char razon[256];
        ERR_error_string_n(codigo, razon, sizeof razon);
        std::fprintf(stderr, "morvane-sign: %s (%s)\n", que.c_str(), razon);
    } else {
        std::fprintf(stderr, "morvane-sign: %s\n", que.c_str());
    }
    return 1;
}

// Writes `texto` to a new file of that name with the given mode; never over an existing one.
bool EscribirNuevo(const std::string& ruta, const std::string& texto, mode_t modo, std::string& error) {
    const int fd = ::open(ruta.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, modo);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    size_t hecho = 0;
    while (hecho < texto.size()) {
        const ssize_t n = ::write(fd, texto.data() + hecho, texto.size() - hecho);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) break;
        hecho += static_cast<size_t>(n);
    }
    bool bien = hecho == texto.size() && ::fsync(fd) == 0;
    bien = ::close(fd) == 0 && bien;
    if (!bien) {
        error = std::strerror(errno);
        ::unlink(ruta.c_str());
        return false;
    }
    return true;
}

std::string DeBio(BIO* b) {
    char* datos = nullptr;
    const long n = BIO_get_mem_data(b, &datos);
    return n > 0 ? std::string(datos, static_cast<size_t>(n)) : std::string();
}

int CrearClave(const std::string& fichero) {
    ContextoClave ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* bruta = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &bruta) != 1)
        return Fallo("could not make a key");
    Clave clave(bruta);

    Bio pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), clave.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Fallo("could not write the key");
    unsigned char publica[firma::kBytesClave];
    size_t n = sizeof publica;
    if (EVP_PKEY_get_raw_public_key(clave.get(), publica, &n) != 1 || n != sizeof publica)
        return Fallo("could not read the public key");

    std::string error;
    if (!EscribirNuevo(fichero, DeBio(pem.get()), 0600, error))
        return Fallo("cannot create " + fichero + ": " + error);
    std::printf("%s\n", firma::CodificarBase64(publica, n).c_str());
    return 0;
}

int Firmar(const std::string& ficheroClave, const std::string& archivo) {
    Bio entrada(BIO_new_file(ficheroClave.c_str(), "r"));
    if (!entrada) return Fallo("cannot read the key file " + ficheroClave);
    Clave clave(PEM_read_bio_PrivateKey(entrada.get(), nullptr, nullptr, nullptr));
    if (!clave) return Fallo(ficheroClave + " holds no private key in PEM form");
    if (EVP_PKEY_get_base_id(clave.get()) != EVP_PKEY_ED25519)
        return Fallo(ficheroClave + " is not an Ed25519 private key");

    const auto resumen = firma::ResumenFichero(archivo);
    if (!resumen) return Fallo("cannot read " + archivo);

    ContextoMd md(EVP_MD_CTX_new());
    unsigned char firmaBytes[firma::kBytesFirma];
    size_t n = sizeof firmaBytes;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, clave.get()) != 1 ||
        EVP_DigestSign(md.get(), firmaBytes, &n, resumen->data(), resumen->size()) != 1 ||
        n != sizeof firmaBytes)
        return Fallo("could not sign " + archivo);

    // Put in place whole, as the updater puts its archive: a half-written signature is
    // never published.
    const std::string destino = archivo + ".sig";
    const std::string texto = firma::CodificarBase64(firmaBytes, n) + "\n";
    sistema::FicheroTemporal sig(sistema::ObtenerCarpeta(destino), "zkD");
    if (!sig.Abierto() || !sig.Anadir(texto.data(), texto.size()) || !sig.Colocar(destino))
        return Fallo("cannot write " + destino + ": " + std::strerror(errno));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "key") return CrearClave(args[1]);
    if (args.size() == 3 && args[0] == "sign") return Firmar(args[1], args[2]);
    return Uso();
}
