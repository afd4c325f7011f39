#include "instalacion.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "debajo.h"
#include "disco.h"
#include "sistema.h"

// How the install survives a power cut. Only what an fsync made durable counts; a crash
// may lose any name or data written since. D is the installation directory, P the staging
// directory D/.Morvane-instalacion, N = P/nuevo (the unpacked release), A = P/anterior (the
// files it replaces). The journal is the commit point: a start that finds no journal
// leaves the old release (and removes P), one that finds it makes the new one whole.
//
//  1. P, N and A are made (0700) and the archive is moved into N; the tool unpacks there.
//     Nothing of D's own content has changed: a crash leaves at most P without a journal,
//     which the next start removes.
//  2. Every staged file's data and every staged directory of N is synced: from now on N
//     holds the whole release on disk, and keeps holding it (N is not synced again, so
//     its names stay durable even once the files are renamed out of it). Each file about
//     to be replaced is linked into A (where the file system refuses a link, it is marked
//     to be moved there after the journal). A is never synced: it serves an undo while
//     this process lives; after a crash the journal only goes forward.
//  3. The journal (every entry with its kind and size, and a checksum) is written to
//     P/diario.tmp, synced, renamed to P/diario, and P is synced, then D, so that P's own
//     entry is durable before anything live changes. Committed: a start from here on
//     places, from N, whatever is not in place yet (repeatable after another crash).
//  4. Files marked to be moved go into A; directories the release adds are made.
//  5. Each staged file is renamed over its live name. Then every live directory below D
//     that received a name (a file, or a directory made in step 4) is synced, deepest
//     first, so that no name reaches the disk in a directory whose own name has not; D
//     itself is synced in step 7 (until then a start finds the journal and redoes it).
//  6. The product's date is set and synced, so that the next check does not offer the
//     release again.
//  7. The journal is removed (no sync of its own: a start that still finds it only places
//     again what is in place), then P with what is left in it, and D is synced: a power cut
//     after success leaves no leftovers and needs no recovery.
//
// The recovery reads a journal only from a P that is a real directory of ours, mode 0700,
// and a journal that is a regular file of ours, mode 0600, whose checksum matches and
// whose every path stays inside D.

namespace instalacion {

const char* const kPreparacion = ".Morvane-instalacion";
const char* const kCerrojo = ".Morvane-instalacion.cerrojo";
const char* const kTurno = ".Morvane-actualizacion.cerrojo";

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sistema::Descriptor;

constexpr const char* kNuevo = "nuevo";        // the tool's output, the files to place
constexpr const char* kAnterior = "anterior";  // the files they replace, kept until the end
constexpr const char* kDiario = "diario";
constexpr const char* kDiarioTemporal = "diario.tmp";
constexpr const char* kCabecera = "morvane-diario 2";
constexpr const char* kCabeceraSinSuma = "morvane-diario 1";
constexpr size_t kDiarioMaximo = 64u << 20;
constexpr auto kSondeo = 10ms;
constexpr auto kAdelanto = 100ms;  // between starts of writeback during the unpack

class CategoriaInstalacion : public std::error_category {
public:
    const char* name() const noexcept override { return "instalacion"; }
    std::string message(int c) const override {
        switch (static_cast<Error>(c)) {
        case Error::HerramientaAusente: return "no hay herramienta de descompresión en el directorio de instalación";
        case Error::HerramientaFallida: return "la herramienta de descompresión falló";
        case Error::Cancelada: return "descompresión cancelada";
        case Error::Ocupada: return "la actualización ya se está instalando";
        case Error::ArchivoAusente: return "no hay archivo que instalar";
        case Error::NombreNoValido: return "la actualización contiene un nombre que no se puede colocar";
        case Error::DiarioIlegible: return "el diario de la instalación no se puede leer";
        case Error::OtroPropietario: return "el directorio de instalación es de otro usuario";
        case Error::EscribiblePorOtros: return "otros usuarios pueden escribir donde se instala";
        case Error::PreparacionAjena: return "hay una instalación a medias que no es de este usuario";
        case Error::EnlaceSimbolico: return "la instalación tendría que escribir a través de un enlace simbólico";
        }
        return "error de instalación";
    }
};

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

std::string Unir(const std::string& a, const std::string& b) { return b.empty() ? a : sistema::Unir(a, b); }

// "ruta (propietario 1000, modo 0775)", for the reason of a refusal.
std::string Describir(const std::string& ruta, const struct stat& st) {
    char texto[64];
    std::snprintf(texto, sizeof texto, " (propietario %u, modo %04o)", static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_mode & 07777));
    return ruta + texto;
}

std::error_code Negar(Error e, std::string* detalle, const std::string& texto) {
    if (detalle) *detalle = texto;
    return e;
}

// A directory the install writes into: ours, and no one else's to write.
std::error_code CarpetaNuestra(int fd, const std::string& ruta, std::string* detalle) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Errno();
    if (st.st_uid != ::geteuid()) return Negar(Error::OtroPropietario, detalle, Describir(ruta, st));
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return Negar(Error::EscribiblePorOtros, detalle, Describir(ruta, st));
    return {};
}

std::optional<struct stat> StatEn(int dir, const std::string& nombre) {
    struct stat st {};
    if (::fstatat(dir, nombre.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return st;
}

int AbrirEn(int dir, const std::string& nombre, int flags, mode_t modo = 0) {
    int fd;
    do {
        fd = ::openat(dir, nombre.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, modo);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A lock of the directory's: a file of the owner's that no one else can open, so that no
// other user can hold it, and opened for writing, as flock needs on NFS. Waits `espera`
// for another process to let go (none: for as long as it takes).
std::error_code TomarCerrojo(int carpeta, const std::string& ruta, const char* nombre,
                             std::optional<std::chrono::milliseconds> espera, std::string* detalle,
                             Descriptor& fd) {
    fd = Descriptor(AbrirEn(carpeta, nombre, O_RDWR | O_CREAT, 0600));
    if (!fd.Valido()) {
        if (errno == ELOOP) return Negar(Error::PreparacionAjena, detalle, Unir(ruta, nombre));
        return Errno();
    }
    struct stat st {};
    if (::fstat(fd.Obtener(), &st) != 0) return Errno();
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return Negar(Error::PreparacionAjena, detalle, Describir(Unir(ruta, nombre), st));
    const auto limite = std::chrono::steady_clock::now() + espera.value_or(std::chrono::milliseconds(0));
    for (;;) {
        if (::flock(fd.Obtener(), LOCK_EX | LOCK_NB) == 0) return {};
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return Errno();
        if (espera && std::chrono::steady_clock::now() >= limite) return Error::Ocupada;
        std::this_thread::sleep_for(50ms);
    }
}

// The install's own lock, held for the life of the object.
class Cerrojo {
public:
    std::error_code Tomar(int carpeta, const std::string& ruta, std::chrono::milliseconds espera,
                          std::string* detalle) {
        return TomarCerrojo(carpeta, ruta, kCerrojo, espera, detalle, fd_);
    }

private:
    Descriptor fd_;
};

// One line of the journal: a file of the release (and how the one it replaces is kept),
// or a directory the release needs and the installation lacked.
enum class Clase { Carpeta, Nuevo, Enlazado, Movido };
struct Entrada {
    Clase Tipo = Clase::Nuevo;
    uint64_t Tamano = 0;  // files: the size staged
    mode_t Modo = 0755;   // directories: the mode to create them with
    std::string Ruta;     // relative to the installation directory
    bool Reemplaza() const { return Tipo == Clase::Enlazado || Tipo == Clase::Movido; }
    bool Fichero() const { return Tipo != Clase::Carpeta; }
};

// FNV-1a, 64 bits: catches a journal that is not the one written (the owner and mode say
// who wrote it).
uint64_t Suma(const std::string& texto) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (const unsigned char c : texto) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string Texto(const std::vector<Entrada>& entradas) {
    std::ostringstream o;
    o << kCabecera << '\n';
    for (const Entrada& e : entradas) {
        switch (e.Tipo) {
        case Clase::Carpeta: o << "D " << std::oct << e.Modo << std::dec; break;
        case Clase::Nuevo: o << "F N " << e.Tamano; break;
        case Clase::Enlazado: o << "F R " << e.Tamano; break;
        case Clase::Movido: o << "F M " << e.Tamano; break;
        }
        o << ' ' << e.Ruta << '\n';
    }
    std::string cuerpo = o.str();
    char fin[32];
    std::snprintf(fin, sizeof fin, "fin %016llx\n", static_cast<unsigned long long>(Suma(cuerpo)));
    return cuerpo + fin;
}

// A name that would land on the staging directory or the lock, or leave the directory.
bool NombreColocable(const std::string& ruta) {
    if (!sistema::RutaRelativaValida(ruta)) return false;
    const std::string primera = ruta.substr(0, ruta.find('/'));
    return primera != kPreparacion && primera != kCerrojo && primera != kTurno;
}

std::optional<std::vector<Entrada>> Interpretar(const std::string& texto) {
    if (texto.size() < 2 || texto.back() != '\n') return std::nullopt;
    const size_t antes = texto.rfind('\n', texto.size() - 2);
    const size_t ultima = antes == std::string::npos ? 0 : antes + 1;
    // The journal of an install that the previous version of the updater left half done
    // carries no checksum; its owner, mode and paths are held to the same rules.
    const bool anterior = texto.rfind(std::string(kCabeceraSinSuma) + "\n", 0) == 0;
    char esperado[32];
    std::snprintf(esperado, sizeof esperado, "fin %016llx\n",
                  static_cast<unsigned long long>(Suma(texto.substr(0, ultima))));
    if (texto.compare(ultima, std::string::npos, anterior ? "fin\n" : esperado) != 0) return std::nullopt;

    std::istringstream f(texto.substr(0, ultima));
    std::string linea;
    if (!std::getline(f, linea) || linea != (anterior ? kCabeceraSinSuma : kCabecera)) return std::nullopt;
    std::vector<Entrada> entradas;
    while (std::getline(f, linea)) {
        std::istringstream l(linea);
        std::string tipo;
        Entrada e;
        l >> tipo;
        if (tipo == "D") {
            e.Tipo = Clase::Carpeta;
            unsigned modo = 0;
            l >> std::oct >> modo;
            e.Modo = static_cast<mode_t>(modo & 0755);
        } else if (tipo == "F") {
            std::string clase;
            l >> clase >> e.Tamano;
            if (clase == "N") e.Tipo = Clase::Nuevo;
            else if (clase == "R") e.Tipo = Clase::Enlazado;
            else if (clase == "M") e.Tipo = Clase::Movido;
            else return std::nullopt;
        } else {
            return std::nullopt;
        }
        if (!l || l.get() != ' ') return std::nullopt;
        std::getline(l, e.Ruta);
        if (!NombreColocable(e.Ruta)) return std::nullopt;
        entradas.push_back(std::move(e));
    }
    return entradas;
}

// The open directories of one install: the installation directory, and its staging.
struct Obra {
    std::string ruta;  // the installation directory, as given
    Descriptor carpeta;
    Descriptor preparacion, nuevo, anterior;
    const Entorno* entorno = nullptr;
    std::string* detalle = nullptr;
    // Directories opened beneath one of the three trees, by relative path.
    std::map<std::string, Descriptor> vivas, nuevas, anteriores;

    const sistema::Disco& Disco() const { return entorno->Disco; }
    std::string RutaPreparacion(const std::string& n = {}) const { return Unir(Unir(ruta, kPreparacion), n); }
    std::string RutaNuevo(const std::string& n = {}) const { return Unir(RutaPreparacion(kNuevo), n); }
    std::string RutaAnterior(const std::string& n = {}) const { return Unir(RutaPreparacion(kAnterior), n); }
};

// The directory `relativa` of a tree, opened once. Given a disk `crear` (the kept files'
// tree only) missing directories are made 0700 through it.
int Abrir(std::map<std::string, Descriptor>& cache, int raiz, const std::string& rutaRaiz,
          const std::string& relativa, std::error_code& error, const sistema::Disco* crear = nullptr) {
    error.clear();
    auto it = cache.find(relativa);
    if (it != cache.end()) return it->second.Obtener();
    Descriptor d = sistema::AbrirCarpetaDebajo(raiz, relativa, error, crear, 0700, rutaRaiz);
    if (error) return -1;
    return cache.emplace(relativa, std::move(d)).first->second.Obtener();
}

// A live directory the release writes into: reached without a symlink, ours, no one
// else's to write.
int AbrirViva(Obra& o, const std::string& relativa, std::error_code& error) {
    const bool nueva = o.vivas.find(relativa) == o.vivas.end();
    const int fd = Abrir(o.vivas, o.carpeta.Obtener(), o.ruta, relativa, error);
    if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_a_directory) {
        // Which component stood in the way, only to say so: the first one, in order, that
        // is a symlink (those before it are directories, as the open found).
        for (size_t fin = relativa.find('/');; fin = relativa.find('/', fin + 1)) {
            const std::string parte = relativa.substr(0, fin);
            const auto st = StatEn(o.carpeta.Obtener(), parte);
            if (st && S_ISLNK(st->st_mode)) {
                error = Negar(Error::EnlaceSimbolico, o.detalle, Unir(o.ruta, parte));
                break;
            }
            if (fin == std::string::npos) break;
        }
    }
    if (error) return -1;
    if (nueva && (error = CarpetaNuestra(fd, Unir(o.ruta, relativa), o.detalle))) {
        o.vivas.erase(relativa);
        return -1;
    }
    return fd;
}

// The staging directory as it stands, trusted only when it is ours in every respect.
// Sets `o.preparacion` (and the trees in it) when there is one to act on.
enum class Hallazgo { Ninguna, Retirada, Nuestra };
std::error_code AbrirPreparacion(Obra& o, Hallazgo& hallazgo) {
    hallazgo = Hallazgo::Ninguna;
    const int fd = AbrirEn(o.carpeta.Obtener(), kPreparacion, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        if (errno != ELOOP && errno != ENOTDIR) return Errno();
        // Not a directory: it can hold no journal. Ours is cleared away; anyone else's
        // is left as it is.
        const auto st = StatEn(o.carpeta.Obtener(), kPreparacion);
        if (!st) return errno == ENOENT ? std::error_code() : Errno();
        if (st->st_uid != ::geteuid())
            return Negar(Error::PreparacionAjena, o.detalle, Describir(o.RutaPreparacion(), *st));
        if (std::error_code e = o.Disco().BorrarEn(o.carpeta.Obtener(), kPreparacion, o.RutaPreparacion());
            e && e != std::errc::no_such_file_or_directory)
            return e;
        hallazgo = Hallazgo::Retirada;
        return {};
    }
    o.preparacion = Descriptor(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Errno();
    if (st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0700) {
        o.preparacion = Descriptor();
        return Negar(Error::PreparacionAjena, o.detalle, Describir(o.RutaPreparacion(), st));
    }
    hallazgo = Hallazgo::Nuestra;
    // Its trees may be missing (a crash right after P was made); the directories in it
    // are then opened as far as they exist.
    o.nuevo = Descriptor(AbrirEn(fd, kNuevo, O_RDONLY | O_DIRECTORY));
    o.anterior = Descriptor(AbrirEn(fd, kAnterior, O_RDONLY | O_DIRECTORY));
    return {};
}

// The journal of a trusted staging directory: nothing when there is none; an error when
// there is one that is not ours or does not read whole.
std::error_code LeerDiario(Obra& o, std::optional<std::vector<Entrada>>& entradas) {
    entradas.reset();
    Descriptor fd(AbrirEn(o.preparacion.Obtener(), kDiario, O_RDONLY));
    if (!fd.Valido()) {
        if (errno == ENOENT) return {};
        return Negar(Error::PreparacionAjena, o.detalle, o.RutaPreparacion(kDiario));
    }
    struct stat st {};
    if (::fstat(fd.Obtener(), &st) != 0) return Errno();
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0600)
        return Negar(Error::PreparacionAjena, o.detalle, Describir(o.RutaPreparacion(kDiario), st));
    if (static_cast<uint64_t>(st.st_size) > kDiarioMaximo)
        return Negar(Error::DiarioIlegible, o.detalle, o.RutaPreparacion(kDiario));
    std::string texto(static_cast<size_t>(st.st_size), '\0');
    size_t leidos = 0;
    while (leidos < texto.size()) {
        const ssize_t n = ::read(fd.Obtener(), texto.data() + leidos, texto.size() - leidos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        leidos += static_cast<size_t>(n);
    }
    texto.resize(leidos);
    entradas = Interpretar(texto);
    if (!entradas) return Negar(Error::DiarioIlegible, o.detalle, o.RutaPreparacion(kDiario));
    return {};
}

std::error_code EscribirTodo(int fd, const std::string& texto) {
    const char* p = texto.data();
    size_t resta = texto.size();
    while (resta > 0) {
        const ssize_t n = ::write(fd, p, resta);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Errno(n < 0 ? errno : EIO);
        p += n;
        resta -= static_cast<size_t>(n);
    }
    return {};
}

std::error_code EscribirDiario(Obra& o, const std::vector<Entrada>& entradas) {
    const int p = o.preparacion.Obtener();
    o.Disco().BorrarEn(p, kDiarioTemporal, o.RutaPreparacion(kDiarioTemporal));
    Descriptor fd(AbrirEn(p, kDiarioTemporal, O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (!fd.Valido()) return Errno();
    std::error_code e = EscribirTodo(fd.Obtener(), Texto(entradas));
    if (!e) e = o.Disco().SincronizarFichero(fd.Obtener(), o.RutaPreparacion(kDiarioTemporal));
    if (e) return e;
    if ((e = o.Disco().RenombrarEn(p, kDiarioTemporal, p, kDiario, o.RutaPreparacion(kDiario)))) return e;
    if ((e = o.Disco().SincronizarCarpeta(p, o.RutaPreparacion()))) return e;
    // The staging directory's own entry, before the first live change.
    return o.Disco().SincronizarCarpeta(o.carpeta.Obtener(), o.ruta);
}

// Removes `nombre` in `dir` (whose path is `ruta`) and, when it is a directory, all it
// holds, beneath the descriptors and without following a symlink. As far as it goes: what
// stays is removed by the next start.
void BorrarArbol(const sistema::Disco& disco, int dir, const std::string& ruta, const std::string& nombre) {
    const std::string camino = Unir(ruta, nombre);
    const int fd = AbrirEn(dir, nombre, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        disco.BorrarEn(dir, nombre, camino);
        return;
    }
    if (DIR* d = ::fdopendir(fd)) {
        while (const dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                BorrarArbol(disco, ::dirfd(d), camino, e->d_name);
        ::closedir(d);
    } else {
        ::close(fd);
    }
    disco.BorrarCarpetaEn(dir, nombre, camino);
}

// The staging directory and the archive go, and that is made durable: a power cut after a
// successful install leaves nothing behind. Only for a staging directory found to be ours.
std::error_code Limpiar(Obra& o) {
    o.nuevas.clear();
    o.anteriores.clear();
    o.nuevo = Descriptor();
    o.anterior = Descriptor();
    o.preparacion = Descriptor();
    BorrarArbol(o.Disco(), o.carpeta.Obtener(), o.ruta, kPreparacion);
    o.Disco().BorrarEn(o.carpeta.Obtener(), o.entorno->Archivo, Unir(o.ruta, o.entorno->Archivo));
    return o.Disco().SincronizarCarpeta(o.carpeta.Obtener(), o.ruta);
}

// The journal's end: the journal goes, then the rest. Once the journal is gone no start
// will touch the installation directory again. Its removal needs no sync of its own: until
// the staging directory's removal is durable, a start that still finds the journal only
// places again what is already in place.
std::error_code Terminar(Obra& o) {
    if (std::error_code e = o.Disco().BorrarEn(o.preparacion.Obtener(), kDiario, o.RutaPreparacion(kDiario));
        e && e != std::errc::no_such_file_or_directory)
        return e;
    return Limpiar(o);
}

// Whether `nombre` is in the directory `dir` of a tree (a missing directory holds nothing).
std::optional<struct stat> Hay(std::map<std::string, Descriptor>& cache, const Descriptor& raiz,
                               const std::string& rutaRaiz, const std::string& relativa) {
    if (!raiz.Valido()) return std::nullopt;
    const auto [padre, nombre] = sistema::PadreYNombre(relativa);
    std::error_code e;
    const int fd = Abrir(cache, raiz.Obtener(), rutaRaiz, padre, e);
    if (fd < 0) return std::nullopt;
    return StatEn(fd, nombre);
}

// Puts the old release back from the kept files; files the release added are removed.
std::error_code Deshacer(Obra& o, const std::vector<Entrada>& entradas) {
    std::error_code primero;
    std::set<std::string> carpetas;
    for (auto it = entradas.rbegin(); it != entradas.rend(); ++it) {
        const Entrada& e = *it;
        if (!e.Fichero()) continue;
        const auto [padre, nombre] = sistema::PadreYNombre(e.Ruta);
        std::error_code fallo;
        const int viva = AbrirViva(o, padre, fallo);
        if (fallo) {
            // A directory the release added and never made: nothing of it is live.
            if (fallo == std::errc::no_such_file_or_directory && !e.Reemplaza()) continue;
            if (!primero) primero = fallo;
            continue;
        }
        if (e.Reemplaza()) {
            if (Hay(o.anteriores, o.anterior, o.RutaAnterior(), e.Ruta)) {
                std::error_code a;
                const int guardada = Abrir(o.anteriores, o.anterior.Obtener(), o.RutaAnterior(), padre, a);
                fallo = a ? a : o.Disco().RenombrarEn(guardada, nombre, viva, nombre, Unir(o.ruta, e.Ruta));
            }
        } else if (!Hay(o.nuevas, o.nuevo, o.RutaNuevo(), e.Ruta)) {
            fallo = o.Disco().BorrarEn(viva, nombre, Unir(o.ruta, e.Ruta));
            if (fallo == std::errc::no_such_file_or_directory) fallo.clear();
        }
        if (fallo && !primero) primero = fallo;
        carpetas.insert(padre);
    }
    for (auto it = entradas.rbegin(); it != entradas.rend(); ++it) {
        if (it->Fichero()) continue;
        const auto [padre, nombre] = sistema::PadreYNombre(it->Ruta);
        std::error_code fallo;
        const int viva = Abrir(o.vivas, o.carpeta.Obtener(), o.ruta, padre, fallo);
        o.vivas.erase(it->Ruta);
        if (!fallo && !o.Disco().BorrarCarpetaEn(viva, nombre, Unir(o.ruta, it->Ruta))) carpetas.insert(padre);
    }
    for (const std::string& c : carpetas) {
        std::error_code fallo;
        const int fd = Abrir(o.vivas, o.carpeta.Obtener(), o.ruta, c, fallo);
        if (!fallo) fallo = o.Disco().SincronizarCarpeta(fd, Unir(o.ruta, c));
        if (fallo && fallo != std::errc::no_such_file_or_directory && !primero) primero = fallo;
    }
    // Whatever could not be put back stays in the journal for the next start.
    if (primero) return primero;
    return Terminar(o);
}

// The product's new date, made durable: the next check compares against it.
std::error_code FecharProducto(Obra& o) {
    const std::string& producto = o.entorno->Producto;
    if (::utimensat(o.carpeta.Obtener(), producto.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? std::error_code() : Errno();
    }
    Descriptor fd(AbrirEn(o.carpeta.Obtener(), producto, O_RDONLY));
    if (!fd.Valido()) return errno == ELOOP ? std::error_code() : Errno();
    return o.Disco().SincronizarFichero(fd.Obtener(), Unir(o.ruta, producto));
}

// Places every staged file of the journal that is not in place yet; on a failure the old
// release is put back. Also the forward recovery: every step can be repeated.
std::error_code Colocar(Obra& o, const std::vector<Entrada>& entradas) {
    // The failure is what the caller hears of, whatever the undoing meets.
    const auto atras = [&](std::error_code fallo) {
        Deshacer(o, entradas);
        return fallo;
    };

    // Files whose old copy could not be linked aside are moved aside now.
    for (const Entrada& e : entradas) {
        if (e.Tipo != Clase::Movido || !Hay(o.nuevas, o.nuevo, o.RutaNuevo(), e.Ruta) ||
            Hay(o.anteriores, o.anterior, o.RutaAnterior(), e.Ruta))
            continue;
        const auto [padre, nombre] = sistema::PadreYNombre(e.Ruta);
        std::error_code fallo;
        const int viva = AbrirViva(o, padre, fallo);
        const int guardada = fallo ? -1 : Abrir(o.anteriores, o.anterior.Obtener(), o.RutaAnterior(), padre, fallo, &o.Disco());
        if (!fallo && StatEn(viva, nombre))
            fallo = o.Disco().RenombrarEn(viva, nombre, guardada, nombre, o.RutaAnterior(e.Ruta));
        if (fallo) return atras(fallo);
    }

    // Every live directory that receives a name: synced once, all placed, before the
    // journal can go.
    std::set<std::string> vivas;
    for (const Entrada& e : entradas) {
        if (e.Fichero()) continue;
        const auto [padre, nombre] = sistema::PadreYNombre(e.Ruta);
        std::error_code fallo;
        const int viva = AbrirViva(o, padre, fallo);
        if (!fallo && !StatEn(viva, nombre)) {
            fallo = o.Disco().CrearCarpetaEn(viva, nombre, e.Modo, Unir(o.ruta, e.Ruta));
            Descriptor hecha(fallo ? -1 : AbrirEn(viva, nombre, O_RDONLY | O_DIRECTORY));
            if (!fallo && !hecha.Valido()) fallo = Errno();
            if (!fallo && ::fchmod(hecha.Obtener(), e.Modo) != 0) fallo = Errno();
        }
        if (fallo) return atras(fallo);
        vivas.insert(padre);
    }
    for (const Entrada& e : entradas) {
        if (!e.Fichero()) continue;
        const auto [padre, nombre] = sistema::PadreYNombre(e.Ruta);
        vivas.insert(padre);
        if (!Hay(o.nuevas, o.nuevo, o.RutaNuevo(), e.Ruta)) continue;  // placed before an interruption
        std::error_code fallo;
        const int viva = AbrirViva(o, padre, fallo);
        const int nueva = fallo ? -1 : Abrir(o.nuevas, o.nuevo.Obtener(), o.RutaNuevo(), padre, fallo);
        if (!fallo) fallo = o.Disco().RenombrarEn(nueva, nombre, viva, nombre, Unir(o.ruta, e.Ruta));
        if (fallo) return atras(fallo);
    }
    // The renames must be on disk before the journal that could redo them goes. Deepest
    // first: a directory's names reach the disk before the name of the directory itself.
    // The installation directory is synced last of all, with the staging's removal.
    vivas.erase("");
    for (auto it = vivas.rbegin(); it != vivas.rend(); ++it) {
        std::error_code fallo;
        const int fd = Abrir(o.vivas, o.carpeta.Obtener(), o.ruta, *it, fallo);
        if (!fallo) fallo = o.Disco().SincronizarCarpeta(fd, Unir(o.ruta, *it));
        if (fallo) return fallo;
    }
    // The next check compares against the product's date, which the tool may have set to
    // the archive's older one.
    if (std::error_code fallo = FecharProducto(o)) return fallo;
    return Terminar(o);
}

// The release staged in `nuevo`, as journal entries, with every file and directory of it
// made durable and the files it replaces linked aside. Refuses what cannot be placed over
// the installation as it is: a name that leaves it, a symlink or someone else's directory
// on the way, a file where a directory goes.
std::error_code Preparar(Obra& o, std::vector<Entrada>& entradas) {
    std::error_code e;
    std::vector<std::string> ficheros, carpetas{o.RutaNuevo()};
    const std::string raiz = o.RutaNuevo();
    for (fs::recursive_directory_iterator it(raiz, e), fin; !e && it != fin; it.increment(e)) {
        const std::string ruta = it->path().string();
        const std::string relativa = ruta.substr(raiz.size() + 1);
        struct stat st {};
        if (::lstat(ruta.c_str(), &st) != 0) return Errno();
        if (!NombreColocable(relativa)) return Negar(Error::NombreNoValido, o.detalle, relativa);
        const auto [padre, nombre] = sistema::PadreYNombre(relativa);
        std::error_code a;
        const int viva = AbrirViva(o, padre, a);
        std::optional<struct stat> actual;
        if (!a) actual = StatEn(viva, nombre);
        else if (a != std::errc::no_such_file_or_directory) return a;  // made by an entry before this
        Entrada entrada;
        entrada.Ruta = relativa;
        if (S_ISDIR(st.st_mode)) {
            carpetas.push_back(ruta);
            if (actual) {
                if (S_ISLNK(actual->st_mode))
                    return Negar(Error::EnlaceSimbolico, o.detalle, Unir(o.ruta, relativa));
                if (!S_ISDIR(actual->st_mode)) return Errno(ENOTDIR);
                const int dentro = AbrirViva(o, relativa, a);
                if (dentro < 0) return a;
                continue;
            }
            entrada.Tipo = Clase::Carpeta;
            // No one else may write into what the release adds either.
            entrada.Modo = st.st_mode & 0755;
        } else {
            if (actual && S_ISDIR(actual->st_mode)) return Errno(EISDIR);
            entrada.Tipo = actual ? Clase::Enlazado : Clase::Nuevo;
            entrada.Tamano = static_cast<uint64_t>(st.st_size);
            if (S_ISREG(st.st_mode)) ficheros.push_back(ruta);
        }
        entradas.push_back(std::move(entrada));
    }
    if (e) return e;

    // Writeback of all of them is started before waiting on any, so the disk works on the
    // whole release at once. A mode the archive gave that lets others write, or runs as
    // someone else, is not kept.
    std::vector<Descriptor> abiertos;
    for (const std::string& f : ficheros) {
        Descriptor fd(::open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        struct stat st {};
        if (!fd.Valido() || ::fstat(fd.Obtener(), &st) != 0) return Errno();
        const mode_t modo = st.st_mode & 07777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH | S_ISUID | S_ISGID);
        if (modo != (st.st_mode & 07777) && ::fchmod(fd.Obtener(), modo) != 0) return Errno();
        ::sync_file_range(fd.Obtener(), 0, 0, SYNC_FILE_RANGE_WRITE);
        abiertos.push_back(std::move(fd));
    }
    for (size_t i = 0; i < abiertos.size(); ++i)
        if ((e = o.Disco().SincronizarFichero(abiertos[i].Obtener(), ficheros[i]))) return e;
    abiertos.clear();
    for (const std::string& c : carpetas)
        if ((e = o.Disco().SincronizarCarpeta(c))) return e;

    // The files about to be replaced are kept aside: a second link, so the live name never
    // goes missing; where the file system or its protection refuses one, moved aside
    // later, after the journal. Not synced: they serve an undo while this process lives;
    // after a power cut the durable journal always goes forward.
    for (Entrada& entrada : entradas) {
        if (entrada.Tipo != Clase::Enlazado) continue;
        const auto [padre, nombre] = sistema::PadreYNombre(entrada.Ruta);
        std::error_code a;
        const int viva = AbrirViva(o, padre, a);
        const int guardada = a ? -1 : Abrir(o.anteriores, o.anterior.Obtener(), o.RutaAnterior(), padre, a, &o.Disco());
        if (!a) a = o.Disco().EnlazarEn(viva, nombre, guardada, nombre, o.RutaAnterior(entrada.Ruta));
        if (a == std::errc::operation_not_permitted || a == std::errc::cross_device_link ||
            a == std::errc::not_supported || a == std::errc::operation_not_supported ||
            a == std::errc::too_many_links) {
            entrada.Tipo = Clase::Movido;
            continue;
        }
        if (a) return a;
    }
    return {};
}

// Stops the tool and everything it started (its own session), and reaps it.
void Detener(pid_t pid) {
    ::kill(-pid, SIGTERM);
    const auto limite = std::chrono::steady_clock::now() + 2s;
    while (sistema::ConsultarProceso(pid) == sistema::EstadoProceso::EnMarcha) {
        if (std::chrono::steady_clock::now() >= limite) {
            ::kill(-pid, SIGKILL);
            int estado;
            while (::waitpid(pid, &estado, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(kSondeo);
    }
}

// Starts writing out what the tool has unpacked so far, so that the syncs after it have
// little left to wait for: the disk works while the tool decompresses. Only a hint.
void AdelantarEscritura(const std::string& nuevo) noexcept {
    try {
        std::error_code e;
        for (fs::recursive_directory_iterator it(nuevo, e), fin; !e && it != fin; it.increment(e)) {
            if (!it->is_regular_file(e) || it->is_symlink(e)) continue;
            const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            if (fd < 0) continue;
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            ::close(fd);
        }
    } catch (...) {
    }
}

// The tool ran out of room when the file system it wrote on is full.
bool SinEspacio(const std::string& carpeta) {
    struct statvfs v {};
    return ::statvfs(carpeta.c_str(), &v) == 0 && v.f_bavail == 0;
}

// The installation's own unzip tool, and no one else's to change: it runs with our rights.
std::error_code ComprobarHerramienta(const Obra& o, std::string* detalle) {
    const std::string& nombre = o.entorno->Herramienta;
    struct stat st {};
    if (::fstatat(o.carpeta.Obtener(), nombre.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode) ||
        ::faccessat(o.carpeta.Obtener(), nombre.c_str(), X_OK, AT_EACCESS) != 0)
        return Negar(Error::HerramientaAusente, detalle, Unir(o.ruta, nombre));
    if ((st.st_uid != ::geteuid() && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return Negar(Error::EscribiblePorOtros, detalle, Describir(Unir(o.ruta, nombre), st));
    return {};
}

std::error_code Desempaquetar(Obra& o, const Atender& atender) {
    if (std::error_code e = ComprobarHerramienta(o, o.detalle)) return e;
    const int d = o.carpeta.Obtener();
    std::error_code e = o.Disco().CrearCarpetaEn(d, kPreparacion, 0700, o.RutaPreparacion());
    if (e) return e;
    o.preparacion = Descriptor(AbrirEn(d, kPreparacion, O_RDONLY | O_DIRECTORY));
    if (!o.preparacion.Valido()) return Errno();
    if (::fchmod(o.preparacion.Obtener(), 0700) != 0) return Errno();
    for (const char* n : {kNuevo, kAnterior})
        if ((e = o.Disco().CrearCarpetaEn(o.preparacion.Obtener(), n, 0700, o.RutaPreparacion(n)))) return e;
    // Each failure's errno read before the next call can change it.
    o.nuevo = Descriptor(AbrirEn(o.preparacion.Obtener(), kNuevo, O_RDONLY | O_DIRECTORY));
    if (!o.nuevo.Valido()) return Errno();
    o.anterior = Descriptor(AbrirEn(o.preparacion.Obtener(), kAnterior, O_RDONLY | O_DIRECTORY));
    if (!o.anterior.Valido()) return Errno();
    // The archive is not needed after the unpack, whatever its outcome: moved, not linked,
    // so that file systems without hard links install too.
    const std::string& archivo = o.entorno->Archivo;
    if ((e = o.Disco().RenombrarEn(d, archivo, o.nuevo.Obtener(), archivo, o.RutaNuevo(archivo)))) return e;

    const std::string herramienta = Unir(o.ruta, o.entorno->Herramienta);
    const std::optional<int> pid = sistema::IniciarProceso(herramienta, o.entorno->Argumentos, o.RutaNuevo());
    if (!pid) return Error::HerramientaAusente;
    sistema::EstadoProceso estado;
    auto adelanto = std::chrono::steady_clock::now();
    while ((estado = sistema::ConsultarProceso(*pid)) == sistema::EstadoProceso::EnMarcha) {
        if (std::chrono::steady_clock::now() >= adelanto) {
            AdelantarEscritura(o.RutaNuevo());
            adelanto = std::chrono::steady_clock::now() + kAdelanto;
        }
        if (!atender) {
            std::this_thread::sleep_for(kSondeo);
        } else if (!atender()) {
            Detener(*pid);
            return Error::Cancelada;
        }
    }
    if (estado != sistema::EstadoProceso::Terminado)
        return SinEspacio(o.RutaNuevo()) ? Errno(ENOSPC) : make_error_code(Error::HerramientaFallida);
    // The archive is not part of the release.
    o.Disco().BorrarEn(o.nuevo.Obtener(), archivo, o.RutaNuevo(archivo));
    return {};
}

// Opens the installation directory and makes sure it is ours alone.
std::error_code Empezar(Obra& o, const Entorno& entorno, std::string* detalle) {
    if (detalle) detalle->clear();
    o.ruta = entorno.Carpeta;
    o.entorno = &entorno;
    o.detalle = detalle;
    std::error_code e;
    o.carpeta = sistema::AbrirCarpeta(entorno.Carpeta, e);
    if (e) return e;
    return CarpetaNuestra(o.carpeta.Obtener(), o.ruta, detalle);
}

std::error_code RecuperarConCerrojo(Obra& o, Recuperacion* hecho) {
    if (hecho) *hecho = Recuperacion::Nada;
    Hallazgo hallazgo;
    if (std::error_code e = AbrirPreparacion(o, hallazgo)) return e;
    if (hallazgo != Hallazgo::Nuestra) {
        if (hecho && hallazgo == Hallazgo::Retirada) *hecho = Recuperacion::Limpieza;
        return {};
    }
    std::optional<std::vector<Entrada>> entradas;
    if (std::error_code e = LeerDiario(o, entradas)) return e;
    if (!entradas) {
        // Stopped before the journal: nothing was placed.
        if (hecho) *hecho = Recuperacion::Limpieza;
        return Limpiar(o);
    }
    // Forward only when every file of the release is there whole, staged or placed. A
    // replaced file neither staged nor kept was put back by an undo that was cut short:
    // what now holds its name is the old one, whatever its size.
    bool completa = true;
    for (const Entrada& e : *entradas) {
        if (!e.Fichero()) continue;
        auto st = Hay(o.nuevas, o.nuevo, o.RutaNuevo(), e.Ruta);
        if (!st && !(e.Reemplaza() && !Hay(o.anteriores, o.anterior, o.RutaAnterior(), e.Ruta)))
            st = Hay(o.vivas, o.carpeta, o.ruta, e.Ruta);
        if (!st || static_cast<uint64_t>(st->st_size) != e.Tamano) completa = false;
    }
    if (hecho) *hecho = completa ? Recuperacion::Adelante : Recuperacion::Atras;
    return completa ? Colocar(o, *entradas) : Deshacer(o, *entradas);
}

template <typename F>
std::error_code SinExcepciones(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return Errno(ENOMEM);
    } catch (...) {
        return Errno(EIO);
    }
}

}  // namespace

const std::error_category& Categoria() {
    static const CategoriaInstalacion categoria;
    return categoria;
}

std::error_code make_error_code(Error e) { return {static_cast<int>(e), Categoria()}; }

std::error_code Comprobar(const Entorno& entorno, std::string* detalle) {
    return SinExcepciones([&] {
        Obra o;
        if (std::error_code e = Empezar(o, entorno, detalle)) return e;
        if (std::error_code e = ComprobarHerramienta(o, detalle)) return e;
        if (const auto st = StatEn(o.carpeta.Obtener(), kCerrojo);
            st && (!S_ISREG(st->st_mode) || st->st_uid != ::geteuid() || (st->st_mode & 077) != 0))
            return Negar(Error::PreparacionAjena, detalle, Describir(Unir(o.ruta, kCerrojo), *st));
        const auto st = StatEn(o.carpeta.Obtener(), kPreparacion);
        if (st && (st->st_uid != ::geteuid() || (S_ISDIR(st->st_mode) && (st->st_mode & 07777) != 0700)))
            return Negar(Error::PreparacionAjena, detalle, Describir(o.RutaPreparacion(), *st));
        // A journal of ours that the recovery would refuse blocks the install as well.
        if (st && S_ISDIR(st->st_mode)) {
            o.preparacion = Descriptor(AbrirEn(o.carpeta.Obtener(), kPreparacion, O_RDONLY | O_DIRECTORY));
            std::optional<std::vector<Entrada>> entradas;
            if (o.preparacion.Valido()) return LeerDiario(o, entradas);
        }
        return std::error_code();
    });
}

std::error_code Turno::Tomar(const Entorno& entorno, std::string* detalle) {
    return SinExcepciones([&] {
        Obra o;
        if (std::error_code e = Empezar(o, entorno, detalle)) return e;
        sistema::Descriptor fd;
        if (std::error_code e = TomarCerrojo(o.carpeta.Obtener(), o.ruta, kTurno, std::nullopt, detalle, fd))
            return e;
        fd_ = std::move(fd);
        return std::error_code();
    });
}

std::error_code Recuperar(const Entorno& entorno, Recuperacion* hecho, std::string* detalle) {
    return SinExcepciones([&] {
        if (hecho) *hecho = Recuperacion::Nada;
        Obra o;
        if (std::error_code e = Empezar(o, entorno, detalle)) return e;
        Cerrojo cerrojo;
        if (std::error_code e = cerrojo.Tomar(o.carpeta.Obtener(), o.ruta, entorno.EsperaCerrojo, detalle)) return e;
        return RecuperarConCerrojo(o, hecho);
    });
}

std::error_code Instalar(const Entorno& entorno, const Atender& atender, std::string* detalle,
                         size_t* colocados) {
    if (colocados) *colocados = 0;
    return SinExcepciones([&] {
        Obra o;
        if (std::error_code e = Empezar(o, entorno, detalle)) return e;
        Cerrojo cerrojo;
        if (std::error_code e = cerrojo.Tomar(o.carpeta.Obtener(), o.ruta, entorno.EsperaCerrojo, detalle)) return e;
        if (std::error_code e = RecuperarConCerrojo(o, nullptr)) {
            // The archive goes as after any failure; the next check offers it again.
            o.Disco().BorrarEn(o.carpeta.Obtener(), entorno.Archivo, Unir(o.ruta, entorno.Archivo));
            return e;
        }
        if (!StatEn(o.carpeta.Obtener(), entorno.Archivo)) return make_error_code(Error::ArchivoAusente);

        std::vector<Entrada> entradas;
        std::error_code e = Desempaquetar(o, atender);
        if (!e && entorno.Verificar) e = entorno.Verificar(o.RutaNuevo(), detalle);
        for (const auto& [nombre, contenido] : entorno.Anadidos) {
            if (e) break;
            if (!NombreColocable(nombre) || nombre.find('/') != std::string::npos) {
                e = Error::NombreNoValido;
                break;
            }
            Descriptor fd(AbrirEn(o.nuevo.Obtener(), nombre, O_WRONLY | O_CREAT | O_TRUNC, 0644));
            e = fd.Valido() ? EscribirTodo(fd.Obtener(), contenido) : Errno();
        }
        if (!e) e = Preparar(o, entradas);
        // A tool that reports success having unpacked nothing has not installed a release;
        // dating the product now would hide the update until the next one.
        if (!e && entradas.empty()) e = Error::HerramientaFallida;
        if (!e) e = EscribirDiario(o, entradas);
        if (e) {
            // Nothing placed yet: the installation directory is as it was.
            if (o.preparacion.Valido() || StatEn(o.carpeta.Obtener(), kPreparacion)) {
                Limpiar(o);
            } else {
                o.Disco().BorrarEn(o.carpeta.Obtener(), entorno.Archivo, Unir(o.ruta, entorno.Archivo));
            }
            return e;
        }
        e = Colocar(o, entradas);
        if (!e && colocados)
            *colocados = static_cast<size_t>(std::count_if(entradas.begin(), entradas.end(),
                                                           [](const Entrada& x) { return x.Fichero(); }));
        return e;
    });
}

}  // namespace instalacion
