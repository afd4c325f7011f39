#include "debajo.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "disco.h"

namespace sistema {

namespace {

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

int AbrirComponente(int dir, const std::string& nombre) {
    int fd;
    do {
        fd = ::openat(dir, nombre.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The kernel's own beneath resolution, where it has it (Linux 5.6 on); -1 with ENOSYS (or
// what a seccomp filter answers) sends the caller to the component-by-component walk.
int AbrirConOpenat2(int base, const std::string& relativa) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, base, relativa.c_str(), &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(fd);
#else
    (void)base;
    (void)relativa;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

bool RutaRelativaValida(std::string_view ruta) {
    if (ruta.empty()) return false;
    size_t inicio = 0;
    for (;;) {
        const size_t barra = ruta.find('/', inicio);
        const std::string_view c = ruta.substr(inicio, barra == std::string_view::npos ? ruta.npos : barra - inicio);
        if (c.empty() || c == "." || c == "..") return false;
        if (barra == std::string_view::npos) break;
        inicio = barra + 1;
    }
    return ruta.find_first_of(std::string_view("\0\n\r", 3)) == std::string_view::npos;
}

std::pair<std::string, std::string> PadreYNombre(std::string_view relativa) {
    const size_t barra = relativa.rfind('/');
    if (barra == std::string_view::npos) return {std::string(), std::string(relativa)};
    return {std::string(relativa.substr(0, barra)), std::string(relativa.substr(barra + 1))};
}

Descriptor AbrirCarpeta(const std::string& ruta, std::error_code& error) {
    error.clear();
    const int fd = ::open(ruta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) error = Errno();
    return Descriptor(fd);
}

Descriptor AbrirCarpetaDebajo(int base, std::string_view relativa, std::error_code& error,
                              const Disco* crear, unsigned modo, const std::string& rutaBase) {
    error.clear();
    if (relativa.empty()) {
        const int fd = ::fcntl(base, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) error = Errno();
        return Descriptor(fd);
    }
    if (!RutaRelativaValida(relativa)) {
        error = Errno(EINVAL);
        return {};
    }
    const std::string texto(relativa);
    if (!crear) {
        const int fd = AbrirConOpenat2(base, texto);
        if (fd >= 0) return Descriptor(fd);
        if (errno != ENOSYS && errno != EPERM && errno != E2BIG) {
            error = Errno();
            return {};
        }
    }
    // One component at a time, none followed if it is a symlink.
    Descriptor actual(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!actual.Valido()) {
        error = Errno();
        return {};
    }
    std::string hecha = rutaBase;
    size_t inicio = 0;
    while (inicio <= texto.size()) {
        const size_t barra = texto.find('/', inicio);
        const std::string nombre = texto.substr(inicio, barra == std::string::npos ? std::string::npos : barra - inicio);
        hecha = hecha.empty() ? nombre : hecha + "/" + nombre;
        int fd = AbrirComponente(actual.Obtener(), nombre);
        if (fd < 0 && errno == ENOENT && crear) {
            // Made, and given its mode whatever the umask.
            error = crear->CrearCarpetaEn(actual.Obtener(), nombre, modo, hecha);
            if (error && error != std::errc::file_exists) return {};
            fd = AbrirComponente(actual.Obtener(), nombre);
            if (fd >= 0 && !error) {
                if (::fchmod(fd, static_cast<mode_t>(modo)) != 0) {
                    error = Errno();
                    ::close(fd);
                    return {};
                }
            }
            error.clear();
        }
        if (fd < 0) {
            error = Errno();
            return {};
        }
        actual = Descriptor(fd);
        if (barra == std::string::npos) break;
        inicio = barra + 1;
    }
    return actual;
}

}  // namespace sistema
