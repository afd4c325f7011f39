#include "ensamblado.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "zip.h"

namespace parcial {

namespace {

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }
constexpr std::size_t kNinguna = static_cast<std::size_t>(-1);

}  // namespace

Ensamblador::Ensamblador(const firma::Indice& indice, std::vector<std::size_t> seleccion) : indice_(indice) {
    try {
        std::sort(seleccion.begin(), seleccion.end());
        seleccion.erase(std::unique(seleccion.begin(), seleccion.end()), seleccion.end());
        for (std::size_t i : seleccion) {
            if (i >= indice.Entradas.size() || indice.Entradas[i].EsCarpeta()) continue;
            piezas_.push_back({i, finEntradas_});
            finEntradas_ += indice.Entradas[i].EnArchivo.Longitud;
        }
        directorio_.reserve(static_cast<std::size_t>(indice.Directorio.Longitud));
    } catch (...) {
        error_ = Errno(ENOMEM);
    }
}

Ensamblador::~Ensamblador() {
    if (fichero_.Valido() && !terminado_) ::unlinkat(carpeta_.Obtener(), nombre_.c_str(), 0);
}

std::error_code Ensamblador::Fallar(std::error_code e) {
    if (!error_) error_ = e;
    if (fichero_.Valido() && !terminado_) {
        ::unlinkat(carpeta_.Obtener(), nombre_.c_str(), 0);
        fichero_ = sistema::Descriptor();
    }
    return error_;
}

std::error_code Ensamblador::Abrir(const std::string& carpeta, const std::string& nombre) {
    if (error_) return error_;
    if (fichero_.Valido() || nombre.empty() || nombre.find('/') != std::string::npos)
        return Errno(EINVAL);
    std::error_code e;
    carpeta_ = sistema::AbrirCarpeta(carpeta, e);
    if (e) return e;
    int fd;
    do {
        fd = ::openat(carpeta_.Obtener(), nombre.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Errno();
    fichero_ = sistema::Descriptor(fd);
    nombre_ = nombre;
    return {};
}

std::error_code Ensamblador::Escribir(uint64_t donde, const unsigned char* p, std::size_t n) {
    if (!fichero_.Valido()) return Errno(EBADF);
    while (n > 0) {
        const ssize_t r = ::pwrite(fichero_.Obtener(), p, n, static_cast<off_t>(donde));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return Errno(r == 0 ? EIO : errno);
        p += r;
        n -= static_cast<std::size_t>(r);
        donde += static_cast<uint64_t>(r);
    }
    return {};
}

std::error_code Ensamblador::Tomar(Pieza& pieza, std::size_t cual, uint64_t inicio, const unsigned char* datos,
                                   std::size_t n) {
    const firma::Entrada& e = indice_.Entradas[pieza.Entrada];
    const uint64_t desde = std::max(inicio, e.EnArchivo.Inicio + pieza.Tomados);
    const uint64_t hasta = std::min(inicio + n, e.EnArchivo.Fin());
    // Only what continues the entry where it stands.
    if (pieza.Comprobada || desde >= hasta || desde != e.EnArchivo.Inicio + pieza.Tomados) return {};
    if (enCurso_ != cual) {
        // One digest runs at a time: an entry left halfway is begun again later.
        if (enCurso_ != kNinguna) piezas_[enCurso_].Tomados = 0;
        if (pieza.Tomados != 0) return {};
        sha_.Reiniciar();
        enCurso_ = cual;
    }
    const unsigned char* p = datos + (desde - inicio);
    const std::size_t m = static_cast<std::size_t>(hasta - desde);
    if (const auto error = Escribir(pieza.Salida + pieza.Tomados, p, m)) return error;
    sha_.Anadir(p, m);
    pieza.Tomados += m;
    if (pieza.Tomados == e.EnArchivo.Longitud) {
        enCurso_ = kNinguna;
        const auto resumen = sha_.Final();
        if (!resumen) return Errno(ENOMEM);
        if (*resumen != e.Sha256Rango) return Error::RangoAlterado;
        pieza.Comprobada = true;
    }
    return {};
}

std::error_code Ensamblador::Recibir(uint64_t inicio, const unsigned char* datos, std::size_t n) {
    if (error_) return error_;
    if (!fichero_.Valido()) return Errno(EBADF);
    try {
        if (n == 0) return {};
        // The first piece that could hold these bytes, and the ones after it that do.
        auto it = std::upper_bound(piezas_.begin(), piezas_.end(), inicio, [this](uint64_t x, const Pieza& p) {
            return x < indice_.Entradas[p.Entrada].EnArchivo.Inicio;
        });
        if (it != piezas_.begin()) --it;
        for (; it != piezas_.end() && indice_.Entradas[it->Entrada].EnArchivo.Inicio < inicio + n; ++it)
            if (const auto e = Tomar(*it, static_cast<std::size_t>(it - piezas_.begin()), inicio, datos, n))
                return Fallar(e);
        const firma::Rango& dir = indice_.Directorio;
        const uint64_t desde = std::max(inicio, dir.Inicio + directorio_.size());
        const uint64_t hasta = std::min(inicio + n, dir.Fin());
        if (desde < hasta && desde == dir.Inicio + directorio_.size())
            directorio_.append(reinterpret_cast<const char*>(datos + (desde - inicio)),
                               static_cast<std::size_t>(hasta - desde));
        return {};
    } catch (...) {
        return Fallar(Errno(ENOMEM));
    }
}

std::vector<firma::Rango> Ensamblador::Pendientes() const {
    std::vector<firma::Rango> faltan;
    try {
        for (const Pieza& p : piezas_) {
            const firma::Rango& r = indice_.Entradas[p.Entrada].EnArchivo;
            if (!p.Comprobada) faltan.push_back({r.Inicio + p.Tomados, r.Longitud - p.Tomados});
        }
        const firma::Rango& dir = indice_.Directorio;
        if (!piezas_.empty() && directorio_.size() < dir.Longitud)
            faltan.push_back({dir.Inicio + directorio_.size(), dir.Longitud - directorio_.size()});
    } catch (...) {
    }
    return faltan;
}

std::error_code Ensamblador::Terminar() {
    if (error_) return error_;
    if (!fichero_.Valido()) return Errno(EBADF);
    try {
        for (const Pieza& p : piezas_)
            if (!p.Comprobada) return Error::Incompleta;
        if (directorio_.size() < indice_.Directorio.Longitud) return Error::Incompleta;
        firma::Sha256 sha;
        sha.Anadir(directorio_.data(), directorio_.size());
        const auto resumen = sha.Final();
        if (!resumen) return Fallar(Errno(ENOMEM));
        if (*resumen != indice_.Sha256Directorio) return Fallar(Error::DirectorioAlterado);

        std::vector<firma::zip::Registro> registros;
        std::string razon;
        if (!firma::zip::LeerDirectorio(directorio_, indice_.Directorio.Inicio, registros, razon))
            return Fallar(Error::DirectorioAlterado);
        std::string cola;
        for (const Pieza& p : piezas_) {
            const firma::Entrada& e = indice_.Entradas[p.Entrada];
            const auto r = std::find_if(registros.begin(), registros.end(), [&](const firma::zip::Registro& x) {
                return x.Local == e.EnArchivo.Inicio && x.Nombre == e.Nombre;
            });
            // Signed both, but the index and the directory must also say the same.
            if (r == registros.end() || p.Salida > 0xffffffffu) return Fallar(Error::DirectorioAlterado);
            std::string registro = directorio_.substr(r->Desde, r->Longitud);
            firma::zip::Poner32(reinterpret_cast<unsigned char*>(registro.data()) + firma::zip::kPosicionLocalEnCentral,
                                static_cast<uint32_t>(p.Salida));
            cola += registro;
        }
        if (finEntradas_ > 0xffffffffu || cola.size() > 0xffffffffu) return Fallar(Error::DirectorioAlterado);
        unsigned char fin[firma::zip::kRegistroFin] = {};
        firma::zip::Poner32(fin, firma::zip::kFirmaFin);
        firma::zip::Poner16(fin + 8, static_cast<uint16_t>(piezas_.size()));
        firma::zip::Poner16(fin + 10, static_cast<uint16_t>(piezas_.size()));
        firma::zip::Poner32(fin + 12, static_cast<uint32_t>(cola.size()));
        firma::zip::Poner32(fin + 16, static_cast<uint32_t>(finEntradas_));
        cola.append(reinterpret_cast<const char*>(fin), sizeof fin);
        if (const auto e = Escribir(finEntradas_, reinterpret_cast<const unsigned char*>(cola.data()), cola.size()))
            return Fallar(e);
        if (::fsync(fichero_.Obtener()) != 0) return Fallar(Errno());
        terminado_ = true;
        return {};
    } catch (...) {
        return Fallar(Errno(ENOMEM));
    }
}

}  // namespace parcial
