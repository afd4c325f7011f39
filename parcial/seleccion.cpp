#include "seleccion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "debajo.h"

namespace parcial {

namespace {

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

// Whether the file of `e` beneath `base` is the entry's. An error only when that cannot
// be told (it is there but cannot be read).
bool Igual(int base, const firma::Entrada& e, std::error_code& error,
           const firma::Continuar& continuar) {
    error.clear();
    const auto [padre, nombre] = sistema::PadreYNombre(e.Nombre);
    std::error_code ec;
    const sistema::Descriptor carpeta = sistema::AbrirCarpetaDebajo(base, padre, ec);
    if (ec) {
        // No such folder, or a symlink or file in the way of one: the file is not there.
        if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory ||
            ec == std::errc::too_many_symbolic_link_levels)
            return false;
        error = ec;
        return false;
    }
    int bruto;
    do {
        bruto = ::openat(carpeta.Obtener(), nombre.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (bruto < 0 && errno == EINTR);
    const sistema::Descriptor fd(bruto);
    if (!fd.Valido()) {
        if (errno == ENOENT || errno == ELOOP || errno == ENXIO) return false;
        error = Errno();
        return false;
    }
    struct stat st {};
    if (::fstat(fd.Obtener(), &st) != 0) {
        error = Errno();
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != e.Tamano) return false;
    const auto resumen = firma::ResumenDescriptor(fd.Obtener(), continuar);
    if (!resumen) {
        error = continuar && !continuar() ? Errno(ECANCELED) : Errno(EIO);
        return false;
    }
    return *resumen == e.Sha256;
}

}  // namespace

std::error_code Seleccionar(const firma::Indice& indice, const std::string& carpeta,
                            std::vector<std::size_t>& cambiadas, const firma::Continuar& continuar) {
    try {
        cambiadas.clear();
        std::error_code error;
        const sistema::Descriptor base = sistema::AbrirCarpeta(carpeta, error);
        if (error) return error;
        std::vector<std::size_t> salida;
        for (std::size_t i = 0; i < indice.Entradas.size(); ++i) {
            const firma::Entrada& e = indice.Entradas[i];
            if (e.EsCarpeta()) continue;
            const bool igual = Igual(base.Obtener(), e, error, continuar);
            if (error) return error;
            if (!igual) salida.push_back(i);
        }
        cambiadas = std::move(salida);
        return {};
    } catch (...) {
        return Errno(ENOMEM);
    }
}

std::error_code Comprobar(const firma::Indice& indice, const std::vector<std::size_t>& seleccion,
                          const std::string& carpeta, std::string* detalle,
                          const firma::Continuar& continuar) {
    try {
        if (detalle) detalle->clear();
        std::error_code error;
        const sistema::Descriptor base = sistema::AbrirCarpeta(carpeta, error);
        if (error) return error;
        for (std::size_t i : seleccion) {
            if (i >= indice.Entradas.size()) return Error::Distinto;
            const firma::Entrada& e = indice.Entradas[i];
            if (e.EsCarpeta()) continue;
            if (!Igual(base.Obtener(), e, error, continuar)) {
                if (detalle) *detalle = e.Nombre;
                return error ? error : make_error_code(Error::Distinto);
            }
        }
        return {};
    } catch (...) {
        return Errno(ENOMEM);
    }
}

}  // namespace parcial
