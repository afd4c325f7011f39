#include "disco.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace sistema {

namespace {

std::mutex g_mutex;
TestigoDisco g_testigo;

std::error_code Avisar(OperacionDisco operacion, const std::string& ruta) {
    TestigoDisco testigo;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        testigo = g_testigo;
    }
    if (!testigo) return {};
    try {
        return testigo(operacion, ruta);
    } catch (...) {
        return std::make_error_code(std::errc::io_error);
    }
}

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

void RegistrarTestigoDisco(TestigoDisco testigo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_testigo = std::move(testigo);
}

std::error_code SincronizarFichero(int fd, const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::Sincronizar, ruta)) return e;
    return Fsync(fd);
}

std::error_code SincronizarCarpeta(const std::string& carpeta) {
    if (std::error_code e = Avisar(OperacionDisco::SincronizarCarpeta, carpeta)) return e;
    const int fd = ::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return UltimoError();
    const std::error_code e = Fsync(fd);
    ::close(fd);
    return e;
}

std::error_code EnlazarFichero(const std::string& origen, const std::string& destino) {
    if (std::error_code e = Avisar(OperacionDisco::Enlazar, destino)) return e;
    if (::link(origen.c_str(), destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code RenombrarFichero(const std::string& origen, const std::string& destino) {
    if (std::error_code e = Avisar(OperacionDisco::Renombrar, destino)) return e;
    if (::rename(origen.c_str(), destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code BorrarFichero(const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::Borrar, ruta)) return e;
    if (::unlink(ruta.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code SincronizarCarpeta(int fd, const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::SincronizarCarpeta, ruta)) return e;
    return Fsync(fd);
}

std::error_code EnlazarEn(int dirOrigen, const std::string& origen, int dirDestino,
                          const std::string& destino, const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::Enlazar, ruta)) return e;
    if (::linkat(dirOrigen, origen.c_str(), dirDestino, destino.c_str(), 0) != 0) return UltimoError();
    return {};
}

std::error_code RenombrarEn(int dirOrigen, const std::string& origen, int dirDestino,
                            const std::string& destino, const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::Renombrar, ruta)) return e;
    if (::renameat(dirOrigen, origen.c_str(), dirDestino, destino.c_str()) != 0) return UltimoError();
    return {};
}

std::error_code BorrarEn(int dir, const std::string& nombre, const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::Borrar, ruta)) return e;
    if (::unlinkat(dir, nombre.c_str(), 0) != 0) return UltimoError();
    return {};
}

std::error_code CrearCarpetaEn(int dir, const std::string& nombre, unsigned modo,
                               const std::string& ruta) {
    if (std::error_code e = Avisar(OperacionDisco::CrearCarpeta, ruta)) return e;
    if (::mkdirat(dir, nombre.c_str(), static_cast<mode_t>(modo)) != 0) return UltimoError();
    return {};
}

}  // namespace sistema
