#include "seleccion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <unordered_map>

#include "debajo.h"
#include "declaracion.h"
#include "disco.h"
#include "fichero_temporal.h"
#include "sistema.h"

namespace parcial {

const char* const kResumenes = ".Morvane-resumenes";

namespace {

constexpr const char* kCabeceraResumenes = "morvane-resumenes 1";
constexpr std::size_t kLimiteResumenes = 16u << 20;

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

// A file as the kernel keeps it, and its digest.
struct Huella {
    uint64_t Dispositivo = 0, Inodo = 0, Tamano = 0;
    int64_t Modificado[2] = {}, Cambiado[2] = {};  // seconds, nanoseconds
    firma::Resumen Sha256{};

    bool MismoFichero(const Huella& o) const {
        return Dispositivo == o.Dispositivo && Inodo == o.Inodo && Tamano == o.Tamano &&
               Modificado[0] == o.Modificado[0] && Modificado[1] == o.Modificado[1] &&
               Cambiado[0] == o.Cambiado[0] && Cambiado[1] == o.Cambiado[1];
    }
};

Huella HuellaDe(const struct stat& st) {
    Huella h;
    h.Dispositivo = st.st_dev;
    h.Inodo = st.st_ino;
    h.Tamano = static_cast<uint64_t>(st.st_size);
    h.Modificado[0] = st.st_mtim.tv_sec;
    h.Modificado[1] = st.st_mtim.tv_nsec;
    h.Cambiado[0] = st.st_ctim.tv_sec;
    h.Cambiado[1] = st.st_ctim.tv_nsec;
    return h;
}

using Conocidas = std::unordered_map<std::string, Huella>;

// Where a change time is the kernel's alone: ext2/3/4, XFS, Btrfs, tmpfs, overlayfs, F2FS.
// FAT and exFAT keep none, and what a FUSE file system reports is its own affair.
bool CambioFiable(int fd) {
    struct statfs s {};
    if (::fstatfs(fd, &s) != 0) return false;
    switch (static_cast<unsigned long>(s.f_type)) {
        case 0xEF53UL: case 0x58465342UL: case 0x9123683EUL: case 0x01021994UL:
        case 0x794C7630UL: case 0xF2F52010UL:
            return true;
        default:
            return false;
    }
}

template <typename T>
bool Numero(std::string_view& linea, T& valor) {
    const std::size_t fin = linea.find(' ');
    if (fin == std::string_view::npos || fin == 0) return false;
    const auto r = std::from_chars(linea.data(), linea.data() + fin, valor);
    if (r.ec != std::errc() || r.ptr != linea.data() + fin) return false;
    linea.remove_prefix(fin + 1);
    return true;
}

// The record, when it is a regular file of ours that no one else may write and every line
// of it reads; nothing otherwise.
Conocidas LeerResumenes(int base) {
    int bruto;
    do {
        bruto = ::openat(base, kResumenes, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (bruto < 0 && errno == EINTR);
    const sistema::Descriptor fd(bruto);
    struct stat st {};
    if (!fd.Valido() || ::fstat(fd.Obtener(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        static_cast<uint64_t>(st.st_size) > kLimiteResumenes)
        return {};
    std::string texto(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t leidos = 0;
    while (leidos < texto.size()) {
        const ssize_t n = ::read(fd.Obtener(), texto.data() + leidos, texto.size() - leidos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        leidos += static_cast<std::size_t>(n);
    }
    std::string_view resto = texto;
    auto Linea = [&resto](std::string_view& l) {
        const std::size_t fin = resto.find('\n');
        if (fin == std::string_view::npos) return false;
        l = resto.substr(0, fin);
        resto.remove_prefix(fin + 1);
        return true;
    };
    std::string_view l;
    if (!Linea(l) || l != kCabeceraResumenes) return {};
    Conocidas conocidas;
    while (!resto.empty()) {
        Huella h;
        if (!Linea(l) || !Numero(l, h.Dispositivo) || !Numero(l, h.Inodo) || !Numero(l, h.Tamano) ||
            !Numero(l, h.Modificado[0]) || !Numero(l, h.Modificado[1]) || !Numero(l, h.Cambiado[0]) ||
            !Numero(l, h.Cambiado[1]) || l.size() < 66 || l[64] != ' ')
            return {};
        const auto sha = firma::LeerHex(l.substr(0, 64));
        if (!sha) return {};
        h.Sha256 = *sha;
        conocidas[std::string(l.substr(65))] = h;
    }
    return conocidas;
}

std::string LineaResumen(const std::string& nombre, const Huella& h) {
    // Unsigned as read back: overlayfs sets an inode's high bits.
    std::string l;
    for (const uint64_t n : {h.Dispositivo, h.Inodo, h.Tamano}) l += std::to_string(n) + " ";
    for (const int64_t n : {h.Modificado[0], h.Modificado[1], h.Cambiado[0], h.Cambiado[1]})
        l += std::to_string(n) + " ";
    return l + firma::Hex(h.Sha256) + " " + nombre + "\n";
}

struct Examen {
    bool Igual = false;
    std::optional<Huella> Aprendido;  // what the file's identity and digest are, when read
};

// Whether the file of `e` beneath `base` is the entry's; an identity found in `conocidas`
// is taken at its word. An error only when that cannot be told (it is there but cannot be
// read).
Examen Examinar(int base, const firma::Entrada& e, const Conocidas* conocidas, std::error_code& error,
                const firma::Continuar& continuar) {
    error.clear();
    const auto [padre, nombre] = sistema::PadreYNombre(e.Nombre);
    std::error_code ec;
    const sistema::Descriptor carpeta = sistema::AbrirCarpetaDebajo(base, padre, ec);
    if (ec) {
        // No such folder, or a symlink or file in the way of one: the file is not there.
        if (!(ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory ||
              ec == std::errc::too_many_symbolic_link_levels))
            error = ec;
        return {};
    }
    int bruto;
    do {
        bruto = ::openat(carpeta.Obtener(), nombre.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (bruto < 0 && errno == EINTR);
    const sistema::Descriptor fd(bruto);
    if (!fd.Valido()) {
        if (errno != ENOENT && errno != ELOOP && errno != ENXIO) error = Errno();
        return {};
    }
    struct stat st {};
    if (::fstat(fd.Obtener(), &st) != 0) {
        error = Errno();
        return {};
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != e.Tamano) return {};
    Huella h = HuellaDe(st);
    if (conocidas) {
        const auto c = conocidas->find(e.Nombre);
        if (c != conocidas->end() && c->second.MismoFichero(h)) return {c->second.Sha256 == e.Sha256, c->second};
    }
    const auto resumen = firma::ResumenDescriptor(fd.Obtener(), continuar);
    if (!resumen) {
        error = continuar && !continuar() ? Errno(ECANCELED) : Errno(EIO);
        return {};
    }
    Examen x;
    x.Igual = *resumen == e.Sha256;
    h.Sha256 = *resumen;
    // Written to while it was read: what was read is nobody's identity.
    if (::fstat(fd.Obtener(), &st) == 0 && HuellaDe(st).MismoFichero(h)) x.Aprendido = h;
    return x;
}

}  // namespace

std::error_code Seleccionar(const firma::Indice& indice, const std::string& carpeta,
                            std::vector<std::size_t>& cambiadas, const firma::Continuar& continuar,
                            const sistema::Disco* disco) {
    try {
        cambiadas.clear();
        std::error_code error;
        const sistema::Descriptor base = sistema::AbrirCarpeta(carpeta, error);
        if (error) return error;
        // The new record is made first: its change time is the kernel's "now", against
        // which a file's change time counts as settled.
        std::optional<Conocidas> conocidas;
        std::optional<sistema::FicheroTemporal> registro;
        struct stat ahora {};
        if (CambioFiable(base.Obtener())) {
            conocidas = LeerResumenes(base.Obtener());
            registro.emplace(carpeta, std::string(kResumenes) + ".", disco ? *disco : sistema::Disco::Real());
            if (!registro->Abierto() || ::fstat(registro->Descriptor(), &ahora) != 0 ||
                ::fchmod(registro->Descriptor(), 0600) != 0)
                registro.reset();
        }
        auto Asentado = [&ahora](const Huella& h) {
            return h.Cambiado[0] < ahora.st_ctim.tv_sec - 1 ||
                   (h.Cambiado[0] == ahora.st_ctim.tv_sec - 1 && h.Cambiado[1] < ahora.st_ctim.tv_nsec);
        };
        std::string texto = std::string(kCabeceraResumenes) + "\n";
        std::vector<std::size_t> salida;
        for (std::size_t i = 0; i < indice.Entradas.size(); ++i) {
            const firma::Entrada& e = indice.Entradas[i];
            if (e.EsCarpeta()) continue;
            const Examen x = Examinar(base.Obtener(), e, conocidas ? &*conocidas : nullptr, error, continuar);
            if (error) return error;
            if (!x.Igual) salida.push_back(i);
            if (registro && x.Aprendido && Asentado(*x.Aprendido)) texto += LineaResumen(e.Nombre, *x.Aprendido);
        }
        cambiadas = std::move(salida);
        // Only a hint: a record that cannot be written costs the next update time, no more.
        if (registro && registro->Anadir(texto.data(), texto.size()))
            registro->Colocar(sistema::Unir(carpeta, kResumenes));
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
            if (!Examinar(base.Obtener(), e, nullptr, error, continuar).Igual) {
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
