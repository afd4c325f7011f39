#include "fichero_temporal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "disco.h"
#include "sistema.h"

namespace sistema {

namespace {

constexpr size_t kCapacidad = 64 * 1024;
constexpr uint64_t kTramoDisco = 8 * 1024 * 1024;
constexpr size_t kLetrasNombre = 6;
constexpr int kIntentosNombre = 100;
constexpr char kAlfabeto[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A fresh candidate name; uniqueness is settled by the system call that creates it.
std::string NombreAlAzar(const std::string& prefijo) {
    unsigned char azar[kLetrasNombre];
    if (::getrandom(azar, sizeof azar, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof azar)) {
        static std::atomic<uint64_t> contador{0};
        uint64_t x = (static_cast<uint64_t>(::getpid()) << 32) ^ GetTickCount() ^
                     (++contador * 0x9E3779B97F4A7C15ull);
        for (unsigned char& c : azar) {
            c = static_cast<unsigned char>(x);
            x = x * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    std::string nombre = prefijo;
    for (unsigned char c : azar) nombre += kAlfabeto[c % (sizeof kAlfabeto - 1)];
    return nombre;
}

// What one try of a fresh name gave.
enum class Intento { Hecho, OtroNombre, Fallo };

// Tries fresh "<prefijo>XXXXXX" names in `carpeta` until `probar` settles one; the name,
// or empty when a try failed outright or every name was taken.
template <class F>
std::string ProbarNombres(const std::string& carpeta, const std::string& prefijo, F probar) {
    for (int intento = 0; intento < kIntentosNombre; ++intento) {
        std::string ruta = Unir(carpeta, NombreAlAzar(prefijo));
        switch (probar(ruta)) {
        case Intento::Hecho: return ruta;
        case Intento::OtroNombre: continue;
        case Intento::Fallo: return {};
        }
    }
    return {};
}

bool EsNombreTemporal(const char* nombre, const std::string& prefijo) {
    if (std::strncmp(nombre, prefijo.c_str(), prefijo.size()) != 0) return false;
    const char* resto = nombre + prefijo.size();
    if (std::strlen(resto) != kLetrasNombre) return false;
    for (const char* c = resto; *c; ++c)
        if (std::strchr(kAlfabeto, *c) == nullptr) return false;
    return true;
}

// Takes the writer's lock without waiting. Only EWOULDBLOCK means someone holds it: where
// the file system has no locks at all, nobody can tell a live file from a stale one.
enum class Cerrojo { Tomado, Ocupado, SinCerrojos };
Cerrojo TomarCerrojo(int fd) {
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return Cerrojo::Tomado;
    return errno == EWOULDBLOCK ? Cerrojo::Ocupado : Cerrojo::SinCerrojos;
}

// The mark every temporary file of ours carries from its creation: a name alone proves
// nothing, the user may have a file of that form. Where the file system keeps no extended
// attributes a file cannot be marked, and the sweep then leaves it.
constexpr char kMarca[] = "user.morvane.temporal";
constexpr char kValorMarca[] = "descarga";

void Marcar(int fd) noexcept { ::fsetxattr(fd, kMarca, kValorMarca, sizeof kValorMarca - 1, 0); }

bool Marcado(int fd) noexcept {
    char valor[sizeof kValorMarca] = {};
    const ssize_t n = ::fgetxattr(fd, kMarca, valor, sizeof valor);
    return n == static_cast<ssize_t>(sizeof kValorMarca - 1) &&
           std::memcmp(valor, kValorMarca, sizeof kValorMarca - 1) == 0;
}

}  // namespace

size_t BarrerTemporales(const std::string& carpeta, const std::string& prefijo) {
    DIR* dir = ::opendir(carpeta.c_str());
    if (!dir) return 0;
    const int dfd = ::dirfd(dir);
    size_t borrados = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (!EsNombreTemporal(e->d_name, prefijo)) continue;
        const int fd = ::openat(dfd, e->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat abierto {}, actual {};
        // Only a file this user's downloads made (ours and marked), removed only while
        // holding the lock, and only if the name still leads to the file that was locked.
        if (::fstat(fd, &abierto) == 0 && S_ISREG(abierto.st_mode) &&
            abierto.st_uid == ::geteuid() && Marcado(fd) && TomarCerrojo(fd) == Cerrojo::Tomado &&
            ::fstatat(dfd, e->d_name, &actual, AT_SYMLINK_NOFOLLOW) == 0 &&
            actual.st_dev == abierto.st_dev && actual.st_ino == abierto.st_ino &&
            ::unlinkat(dfd, e->d_name, 0) == 0)
            ++borrados;
        ::close(fd);
    }
    ::closedir(dir);
    return borrados;
}

FicheroTemporal::FicheroTemporal(const std::string& carpeta, const std::string& prefijo,
                                 const Disco& disco, bool sinNombre)
    : sinNombre_(sinNombre) {
    try {
        disco_ = disco;
        carpeta_ = carpeta;
        prefijo_ = prefijo;
        buffer_.reset(new (std::nothrow) char[kCapacidad]);
        if (!buffer_) {
            Fallar(std::make_error_code(std::errc::not_enough_memory));
            return;
        }
        BarrerTemporales(carpeta_, prefijo_);
        if (!AbrirSinNombre() && !AbrirConNombre()) Fallar();
    } catch (...) {
        Descartar();
        Fallar(std::make_error_code(std::errc::not_enough_memory));
    }
}

bool FicheroTemporal::Fallar(std::error_code e) noexcept {
    error_ = e ? e : std::error_code(errno ? errno : EIO, std::generic_category());
    return false;
}

FicheroTemporal::~FicheroTemporal() { Descartar(); }

bool FicheroTemporal::Abierto() const { return fd_ >= 0 && buffer_; }

// A file with no name, linked in through /proc at the end; so /proc must be there.
bool FicheroTemporal::AbrirSinNombre() {
    if (!sinNombre_ || ::access("/proc/self/fd", X_OK) != 0) return false;
    do {
        fd_ = ::open(carpeta_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return false;
    // Held from the start, so that once it has a name no sweep can take it.
    TomarCerrojo(fd_);
    Marcar(fd_);
    return true;
}

// Created with O_EXCL and locked at once. A sweep may catch the file between the two: the
// lock is then refused, or the file is already gone, and another name is tried.
bool FicheroTemporal::AbrirConNombre() {
    ruta_ = ProbarNombres(carpeta_, prefijo_, [this](const std::string& ruta) {
        int fd;
        do {
            fd = ::open(ruta.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return errno == EEXIST ? Intento::OtroNombre : Intento::Fallo;
        struct stat st {};
        if (TomarCerrojo(fd) == Cerrojo::Ocupado || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
            ::close(fd);
            return Intento::OtroNombre;
        }
        Marcar(fd);
        fd_ = fd;
        return Intento::Hecho;
    });
    return !ruta_.empty();
}

bool FicheroTemporal::Anadir(const char* datos, size_t n) {
    if (!Abierto()) return Fallar(std::make_error_code(std::errc::bad_file_descriptor));
    if (n > kCapacidad - usado_) {
        if (!Vaciar()) return false;
        if (n >= kCapacidad) return Escribir(datos, n);
    }
    std::memcpy(buffer_.get() + usado_, datos, n);
    usado_ += n;
    return true;
}

// The descriptor stays open (and the lock held) until the file has its final name; the
// fsync has already reported any write error, so the close that follows cannot lose data.
bool FicheroTemporal::Colocar(const std::string& destino) {
    try {
        if (!Abierto()) return Fallar(std::make_error_code(std::errc::bad_file_descriptor));
        if (!Vaciar()) return false;
        if (const auto e = disco_.SincronizarFichero(fd_, destino)) return Fallar(e);
        if (ruta_.empty()) {
            const std::string origen = "/proc/self/fd/" + std::to_string(fd_);
            ruta_ = ProbarNombres(carpeta_, prefijo_, [&](const std::string& ruta) {
                if (::linkat(AT_FDCWD, origen.c_str(), AT_FDCWD, ruta.c_str(),
                             AT_SYMLINK_FOLLOW) == 0)
                    return Intento::Hecho;
                return errno == EEXIST ? Intento::OtroNombre : Intento::Fallo;
            });
            if (ruta_.empty()) return Fallar();
        }
        if (const auto e = disco_.RenombrarFichero(ruta_, destino)) return Fallar(e);
        colocado_ = true;
        ruta_.clear();
        ::close(fd_);
        fd_ = -1;
        // The rename itself must survive a crash: best effort, some file systems refuse it.
        disco_.SincronizarCarpeta(carpeta_);
        return true;
    } catch (...) {
        return Fallar(std::make_error_code(std::errc::not_enough_memory));
    }
}

void FicheroTemporal::Descartar() noexcept {
    // Unlinked before the descriptor (and its lock) goes, so no sweep ever sees it unlocked.
    if (!ruta_.empty()) {
        ::unlink(ruta_.c_str());
        ruta_.clear();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool FicheroTemporal::Vaciar() {
    const size_t n = usado_;
    usado_ = 0;
    return n == 0 || Escribir(buffer_.get(), n);
}

bool FicheroTemporal::Escribir(const char* datos, size_t n) {
    if (!EscribirTodo(datos, n)) return false;
    escritos_ += n;
    if (escritos_ - enviados_ >= kTramoDisco) AdelantarEscritura();
    return true;
}

// Starts writing finished stretches to disk while the body is still arriving, so the
// final fsync has little left to wait for. Only a hint: its failure changes nothing.
void FicheroTemporal::AdelantarEscritura() noexcept {
    ::sync_file_range(fd_, static_cast<off_t>(enviados_),
                      static_cast<off_t>(escritos_ - enviados_), SYNC_FILE_RANGE_WRITE);
    enviados_ = escritos_;
}

bool FicheroTemporal::EscribirTodo(const char* datos, size_t n) {
    while (n > 0) {
        const ssize_t escritos = ::write(fd_, datos, n);
        if (escritos < 0) {
            if (errno == EINTR) continue;
            return Fallar();
        }
        if (escritos == 0) return Fallar(std::make_error_code(std::errc::no_space_on_device));
        datos += escritos;
        n -= static_cast<size_t>(escritos);
    }
    return true;
}

}  // namespace sistema
