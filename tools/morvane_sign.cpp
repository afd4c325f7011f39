// morvane-sign: the maker's side of signed updates.
//
//   morvane-sign key FILE            writes a new Ed25519 private key (PKCS#8 PEM, mode
//                                    0600) to FILE, which must not exist yet, and prints
//                                    its public key as the build takes it
//   morvane-sign sign KEY ARCHIVE [--caduca DAYS]
//                                    writes ARCHIVE.indice, the signed index of its
//                                    entries (none, with a warning, for an archive it
//                                    cannot index), then ARCHIVE.sig: the signed release
//                                    statement of the archive, published now and stale
//                                    DAYS days from now (default 30). Re-signing the archive an existing
//                                    ARCHIVE.sig (by this key) describes keeps its release
//                                    time and renews only the end of validity.
//
// Both forms interoperate with the openssl command-line tool. Exit status 0 on success,
// 1 on failure (with the reason on stderr), 2 for a wrong command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include <ctime>

#include "declaracion.h"
#include "firma.h"
#include "indice.h"
#include "libcrypto.h"
#include "zip.h"

namespace {

using namespace libcrypto;

int Uso() {
    std::fputs("usage: morvane-sign key FILE\n"
               "       morvane-sign sign KEY ARCHIVE [--caduca DAYS]\n",
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

// All of `texto` to `fd`; false with errno set when it could not be written.
bool EscribirTodo(int fd, const std::string& texto) {
    size_t hecho = 0;
    while (hecho < texto.size()) {
        const ssize_t n = ::write(fd, texto.data() + hecho, texto.size() - hecho);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        hecho += static_cast<size_t>(n);
    }
    return true;
}

// Writes `texto` to a new file of that name with the given mode; never over an existing one.
bool EscribirNuevo(const std::string& ruta, const std::string& texto, mode_t modo, std::string& error) {
    const int fd = ::open(ruta.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, modo);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool bien = EscribirTodo(fd, texto) && ::fsync(fd) == 0;
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

// Writes `texto` to `destino` whole or not at all: through a new file beside it, synced,
// then renamed over it. A half-written statement is never published.
bool Publicar(const std::string& destino, const std::string& texto, std::string& error) {
    const std::size_t barra = destino.rfind('/');
    const std::string carpeta = barra == std::string::npos ? "." : destino.substr(0, barra + 1);
    std::string plantilla = carpeta + (barra == std::string::npos ? "/" : "") + ".firmaXXXXXX";
    const int fd = ::mkstemp(plantilla.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    bool bien = EscribirTodo(fd, texto) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    bien = ::close(fd) == 0 && bien;
    bien = bien && ::rename(plantilla.c_str(), destino.c_str()) == 0;
    if (!bien) {
        error = std::strerror(errno);
        ::unlink(plantilla.c_str());
    }
    return bien;
}

// The statement now at `ruta` when it is valid for the public half of `clave`.
std::optional<firma::Declaracion> StatementAnterior(const std::string& ruta, EVP_PKEY* clave) {
    unsigned char publica[firma::kBytesClave];
    size_t n = sizeof publica;
    if (EVP_PKEY_get_raw_public_key(clave, publica, &n) != 1 || n != sizeof publica)
        return std::nullopt;
    std::ifstream f(ruta, std::ios::binary);
    std::string texto(firma::kLimiteDeclaracion + 1, '\0');
    f.read(texto.data(), static_cast<std::streamsize>(texto.size()));
    texto.resize(static_cast<size_t>(f.gcount()));
    return firma::LeerDeclaracion(texto, firma::CodificarBase64(publica, n));
}

// The base64 Ed25519 signature of `texto`; empty when it could not be made.
std::string FirmaDe(EVP_PKEY* clave, const std::string& texto) {
    ContextoMd md(EVP_MD_CTX_new());
    unsigned char firmaBytes[firma::kBytesFirma];
    size_t n = sizeof firmaBytes;
    if (texto.empty() || !md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, clave) != 1 ||
        EVP_DigestSign(md.get(), firmaBytes, &n, reinterpret_cast<const unsigned char*>(texto.data()),
                       texto.size()) != 1 ||
        n != sizeof firmaBytes)
        return {};
    return firma::CodificarBase64(firmaBytes, n);
}

int Firmar(const std::string& ficheroClave, const std::string& archivo, int dias) {
    Bio entrada(BIO_new_file(ficheroClave.c_str(), "r"));
    if (!entrada) return Fallo("cannot read the key file " + ficheroClave);
    Clave clave(PEM_read_bio_PrivateKey(entrada.get(), nullptr, nullptr, nullptr));
    if (!clave) return Fallo(ficheroClave + " holds no private key in PEM form");
    if (EVP_PKEY_get_base_id(clave.get()) != EVP_PKEY_ED25519)
        return Fallo(ficheroClave + " is not an Ed25519 private key");

    struct stat st {};
    const auto resumen = firma::ResumenFichero(archivo);
    if (!resumen || ::stat(archivo.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return Fallo("cannot read " + archivo);

    firma::Declaracion d;
    d.Tamano = static_cast<uint64_t>(st.st_size);
    d.Sha256 = *resumen;
    const int64_t ahora = static_cast<int64_t>(std::time(nullptr));
    d.Publicado = ahora;
    // The updater offers a release published on a later day than the installed product's.
    // A periodic re-signing of the same archive must not make it look newer: it keeps the
    // release time of the statement it replaces, when that one is this key's and of these
    // very bytes.
    if (const auto anterior = StatementAnterior(archivo + ".sig", clave.get());
        anterior && anterior->Tamano == d.Tamano && anterior->Sha256 == d.Sha256 &&
        anterior->Publicado <= ahora)
        d.Publicado = anterior->Publicado;
    d.Caduca = ahora + int64_t{dias} * 86400;
    const std::string firmado = firma::TextoFirmado(d);
    const std::string firmaDeclaracion = FirmaDe(clave.get(), firmado);
    if (firmaDeclaracion.empty()) return Fallo("could not sign " + archivo);

    // The index first: by the time the new statement is out, the index it goes with is.
    // An archive the index cannot describe (not a zip, zip64) is still signed, without
    // one: updates then fetch it whole. An index of an earlier archive is removed, or it
    // would be refused beside the new statement.
    firma::Indice indice;
    std::string razon, error;
    if (firma::zip::HacerIndice(archivo, indice, razon)) {
        if (indice.Tamano != d.Tamano || indice.Sha256 != d.Sha256)
            return Fallo(archivo + " changed while it was being signed");
        const std::string textoIndice = firma::TextoIndice(indice);
        const std::string firmaIndice = FirmaDe(clave.get(), textoIndice);
        if (firmaIndice.empty()) return Fallo("could not sign the index of " + archivo);
        const std::string indiceFirmado = textoIndice + "firma " + firmaIndice + "\n";
        // What the updater would refuse (an unsafe name, too many entries) is not published.
        firma::Indice leido;
        if (const auto e = firma::LeerFormaIndice(indiceFirmado, leido))
            return Fallo("cannot index " + archivo + ": " + e.message());
        if (!Publicar(archivo + ".indice", indiceFirmado, error))
            return Fallo("cannot write " + archivo + ".indice: " + error);
    } else {
        std::fprintf(stderr, "morvane-sign: %s has no index (%s): updates will fetch it whole\n",
                     archivo.c_str(), razon.c_str());
        if (::unlink((archivo + ".indice").c_str()) != 0 && errno != ENOENT)
            return Fallo("cannot remove the old " + archivo + ".indice: " + std::strerror(errno));
    }
    const std::string destino = archivo + ".sig";
    if (!Publicar(destino, firmado + "firma " + firmaDeclaracion + "\n", error))
        return Fallo("cannot write " + destino + ": " + error);
    return 0;
}

// DAYS of --caduca: a whole number from 1 to 3650.
int LeerDias(const std::string& texto) {
    if (texto.empty() || texto.size() > 4 || texto[0] == '0') return 0;
    int dias = 0;
    for (char c : texto) {
        if (c < '0' || c > '9') return 0;
        dias = dias * 10 + (c - '0');
    }
    return dias <= 3650 ? dias : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "key") return CrearClave(args[1]);
    if (args.size() == 3 && args[0] == "sign") return Firmar(args[1], args[2], 30);
    if (args.size() == 5 && args[0] == "sign" && args[3] == "--caduca") {
        const int dias = LeerDias(args[4]);
        if (dias > 0) return Firmar(args[1], args[2], dias);
    }
    return Uso();
}
