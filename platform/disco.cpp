#include "disco.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sistema {

namespace {

std::error_code UltimoError() { return {errno, std::generic_category()}; }

std::error_code Fsync(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINVAL) return UltimoError();
    return {};
}

}  // namespace

const Disco& Disco::Real() {
    static const Disco real;
    return real;
}

std::error_code Disco::Avisar(OperacionDisco operacion, const std::string& ruta) const {
    if (!testigo_) return {};
    try {
        return testigo_(operacion, ruta);
    } catch (...) {
        return std::make_error_code(std::errc::io_error);
    }
}

std::error_code Disco::SincronizarFichero(int fd, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Sincronizar, ruta)) return e;
    return Fsync(fd);
}

std::error_code Disco::SincronizarCarpeta(const std::string& carpeta) const {
    if (std::error_code e = Avisar(OperacionDisco::SincronizarCarpeta, carpeta)) return e;
    const int fd = ::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return UltimoError();
    const std::error_code e = Fsync(fd);
    ::close(fd);
    return e;
}

std::error_code Disco::EnlazarFichero(const std::string& origen, const std::string& destino) const {
    if (std::error_code e = Avisar(OperacionDisco::Enlazar, destino)) return e;
    if (::link(origen.c_str(), destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code Disco::RenombrarFichero(const std::string& origen, const std::string& destino) const {
    if (std::error_code e = Avisar(OperacionDisco::Renombrar, destino)) return e;
    if (::rename(origen.c_str(), destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code Disco::BorrarFichero(const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Borrar, ruta)) return e;
    if (::unlink(ruta.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code Disco::SincronizarCarpeta(int fd, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::SincronizarCarpeta, ruta)) return e;
    return Fsync(fd);
}

std::error_code Disco::EnlazarEn(int dirOrigen, const std::string& origen, int dirDestino,
                          const std::string& destino, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Enlazar, ruta)) return e;
    if (::linkat(dirOrigen, origen.c_str(), dirDestino, destino.c_str(), 0) != 0) return UltimoError();
    return {};
}

std::error_code Disco::RenombrarEn(int dirOrigen, const std::string& origen, int dirDestino,
                            const std::string& destino, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Renombrar, ruta)) return e;
    if (::renameat(dirOrigen, origen.c_str(), dirDestino, destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code Disco::BorrarEn(int dir, const std::string& nombre, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Borrar, ruta)) return e;
    if (::unlinkat(dir, nombre.c_str(), 0) != 0) return UltimoError();
    return {};
}

std::error_code Disco::BorrarCarpetaEn(int dir, const std::string& nombre, const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::Borrar, ruta)) return e;
    if (::unlinkat(dir, nombre.c_str(), AT_REMOVEDIR) != 0) return UltimoError();
    return {};
}

std::error_code Disco::CrearCarpetaEn(int dir, const std::string& nombre, unsigned modo,
                               const std::string& ruta) const {
    if (std::error_code e = Avisar(OperacionDisco::CrearCarpeta, ruta)) return e;
    if (::mkdirat(dir, nombre.c_str(), static_cast<mode_t>(modo)) != 0) return UltimoError();
    return {};
}

}  // namespace sistema
