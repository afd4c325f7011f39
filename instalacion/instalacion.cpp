#include "instalacion.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "disco.h"
#include "sistema.h"

namespace instalacion {

const char* const kPreparacion = ".Morvane-instalacion";

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kNuevo = "nuevo";        // the tool's output, the files to place
constexpr const char* kAnterior = "anterior";  // the files they replace, kept until the end
constexpr const char* kDiario = "diario";
constexpr const char* kCabecera = "morvane-diario 1";
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
        }
        return "error de instalación";
    }
};

std::error_code Errno(int e = errno) { return {e, std::generic_category()}; }

// "" names the directory itself.
std::string Unir(const std::string& a, const std::string& b) { return b.empty() ? a : sistema::Unir(a, b); }

std::optional<struct stat> Lstat(const std::string& ruta) {
    struct stat st {};
    if (::lstat(ruta.c_str(), &st) != 0) return std::nullopt;
    return st;
}

bool EsCarpeta(const std::string& ruta) {
    struct stat st {};
    return ::stat(ruta.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory lock, held for the life of the object.
class Cerrojo {
public:
    std::error_code Tomar(const std::string& carpeta, std::chrono::milliseconds espera) {
        fd_ = ::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return Errno();
        const auto limite = std::chrono::steady_clock::now() + espera;
        for (;;) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return {};
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) return Errno();
            if (std::chrono::steady_clock::now() >= limite) return Error::Ocupada;
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Cerrojo() {
        if (fd_ >= 0) ::close(fd_);
    }

private:
    int fd_ = -1;
};

// One line of the journal: a file of the release (and whether it replaces one), or a
// directory the release needs and the installation lacked.
struct Entrada {
    bool Carpeta = false;
    bool Reemplaza = false;
    uint64_t Tamano = 0;  // files: the size staged
    mode_t Modo = 0755;   // directories: the mode to create them with
    std::string Ruta;     // relative to the installation directory
};

struct Rutas {
    explicit Rutas(const Entorno& e)
        : carpeta(e.Carpeta),
          preparacion(Unir(e.Carpeta, kPreparacion)),
          nuevo(Unir(preparacion, kNuevo)),
          anterior(Unir(preparacion, kAnterior)),
          diario(Unir(preparacion, kDiario)),
          archivo(Unir(e.Carpeta, e.Archivo)),
          producto(Unir(e.Carpeta, e.Producto)) {}
    std::string carpeta, preparacion, nuevo, anterior, diario, archivo, producto;
};

std::string Texto(const std::vector<Entrada>& entradas) {
    std::ostringstream o;
    o << kCabecera << '\n';
    for (const Entrada& e : entradas) {
        if (e.Carpeta)
            o << "D " << std::oct << e.Modo << std::dec << ' ' << e.Ruta << '\n';
        else
            o << "F " << (e.Reemplaza ? 'R' : 'N') << ' ' << e.Tamano << ' ' << e.Ruta << '\n';
    }
    o << "fin\n";
    return o.str();
}

std::optional<std::vector<Entrada>> LeerDiario(const std::string& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    std::string linea;
    if (!std::getline(f, linea) || linea != kCabecera) return std::nullopt;
    std::vector<Entrada> entradas;
    while (std::getline(f, linea)) {
        if (linea == "fin") return entradas;
        std::istringstream l(linea);
        std::string tipo;
        Entrada e;
        l >> tipo;
        if (tipo == "D") {
            e.Carpeta = true;
            unsigned modo = 0;
            l >> std::oct >> modo;
            e.Modo = static_cast<mode_t>(modo & 07777);
        } else if (tipo == "F") {
            std::string clase;
            l >> clase >> e.Tamano;
            if (clase != "R" && clase != "N") return std::nullopt;
            e.Reemplaza = clase == "R";
        } else {
            return std::nullopt;
        }
        if (!l || l.get() != ' ') return std::nullopt;
        std::getline(l, e.Ruta);
        if (e.Ruta.empty()) return std::nullopt;
        entradas.push_back(std::move(e));
    }
    return std::nullopt;  // no end line: not a whole journal
}

std::error_code EscribirDiario(const Rutas& r, const std::vector<Entrada>& entradas) {
    const std::string temporal = r.diario + ".tmp";
    const std::string texto = Texto(entradas);
    const int fd = ::open(temporal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return Errno();
    const char* p = texto.data();
    size_t resta = texto.size();
    while (resta > 0) {
        const ssize_t n = ::write(fd, p, resta);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::error_code e = Errno(n < 0 ? errno : EIO);
            ::close(fd);
            return e;
        }
        p += n;
        resta -= static_cast<size_t>(n);
    }
    std::error_code e = sistema::SincronizarFichero(fd, r.diario);
    if (::close(fd) != 0 && !e) e = Errno();
    if (e) return e;
    if ((e = sistema::RenombrarFichero(temporal, r.diario))) return e;
    return sistema::SincronizarCarpeta(r.preparacion);
}

// The staging directory and the archive go; the space comes back.
void Limpiar(const Rutas& r) {
    std::error_code ignorado;
    fs::remove_all(r.preparacion, ignorado);
    ::unlink(r.archivo.c_str());
    sistema::SincronizarCarpeta(r.carpeta);
}

std::string Padre(const std::string& relativa) {
    const size_t barra = relativa.rfind('/');
    return barra == std::string::npos ? std::string() : relativa.substr(0, barra);
}

std::error_code CrearCarpetas(const std::string& base, const std::string& relativa, mode_t modo) {
    if (relativa.empty()) return {};
    std::error_code e;
    fs::create_directories(Unir(base, relativa), e);
    if (e) return e;
    ::chmod(Unir(base, relativa).c_str(), modo);
    return {};
}

// The journal's end: the staged release is gone, then the journal, then the rest. Once the
// journal is gone no start will touch the installation directory again.
std::error_code Terminar(const Rutas& r) {
    if (std::error_code e = sistema::BorrarFichero(r.diario); e && e != std::errc::no_such_file_or_directory)
        return e;
    sistema::SincronizarCarpeta(r.preparacion);
    Limpiar(r);
    return {};
}

// Puts the old release back from the kept files; files the release added are removed.
std::error_code Deshacer(const Rutas& r, const std::vector<Entrada>& entradas) {
    std::error_code primero;
    std::set<std::string> carpetas;
    for (auto it = entradas.rbegin(); it != entradas.rend(); ++it) {
        const Entrada& e = *it;
        if (e.Carpeta) continue;
        const std::string vivo = Unir(r.carpeta, e.Ruta);
        const std::string guardado = Unir(r.anterior, e.Ruta);
        std::error_code fallo;
        if (e.Reemplaza) {
            if (Lstat(guardado)) fallo = sistema::RenombrarFichero(guardado, vivo);
        } else if (!Lstat(Unir(r.nuevo, e.Ruta))) {
            fallo = sistema::BorrarFichero(vivo);
            if (fallo == std::errc::no_such_file_or_directory) fallo.clear();
        }
        if (fallo && !primero) primero = fallo;
        carpetas.insert(Unir(r.carpeta, Padre(e.Ruta)));
    }
    for (auto it = entradas.rbegin(); it != entradas.rend(); ++it)
        if (it->Carpeta) ::rmdir(Unir(r.carpeta, it->Ruta).c_str());
    for (const std::string& c : carpetas) sistema::SincronizarCarpeta(c);
    sistema::SincronizarCarpeta(r.carpeta);
    // Whatever could not be put back stays in the journal for the next start.
    if (primero) return primero;
    return Terminar(r);
}

// Places every staged file of the journal that is not in place yet; on a failure the old
// release is put back. Also the forward recovery: every step can be repeated.
std::error_code Colocar(const Rutas& r, const std::vector<Entrada>& entradas) {
    // The failure is what the caller hears of, whatever the undoing meets.
    const auto atras = [&](std::error_code fallo) {
        Deshacer(r, entradas);
        return fallo;
    };
    for (const Entrada& e : entradas)
        if (e.Carpeta) {
            if (std::error_code fallo = CrearCarpetas(r.carpeta, e.Ruta, e.Modo)) return atras(fallo);
        }

    // First every file about to be replaced is kept (a second link, so the live name never
    // goes missing) and the kept names made durable; only then is anything replaced.
    std::set<std::string> guardadas;
    for (const Entrada& e : entradas) {
        if (e.Carpeta || !e.Reemplaza) continue;
        const std::string guardado = Unir(r.anterior, e.Ruta);
        if (!Lstat(Unir(r.nuevo, e.Ruta)) || Lstat(guardado)) continue;
        std::error_code fallo = CrearCarpetas(r.anterior, Padre(e.Ruta), 0700);
        if (!fallo) fallo = sistema::EnlazarFichero(Unir(r.carpeta, e.Ruta), guardado);
        if (fallo) return atras(fallo);
        guardadas.insert(Unir(r.anterior, Padre(e.Ruta)));
    }
    for (const std::string& c : guardadas)
        if (std::error_code fallo = sistema::SincronizarCarpeta(c)) return atras(fallo);

    std::set<std::string> vivas;
    for (const Entrada& e : entradas) {
        if (e.Carpeta) continue;
        const std::string nuevo = Unir(r.nuevo, e.Ruta);
        vivas.insert(Unir(r.carpeta, Padre(e.Ruta)));
        if (!Lstat(nuevo)) continue;  // placed before an interruption
        if (std::error_code fallo = sistema::RenombrarFichero(nuevo, Unir(r.carpeta, e.Ruta)))
            return atras(fallo);
    }
    // The renames must be on disk before the journal that could undo them goes.
    for (const std::string& c : vivas)
        if (std::error_code fallo = sistema::SincronizarCarpeta(c)) return fallo;
    // The next check compares against the product's date, which the tool may have set to
    // the archive's older one.
    sistema::TocarFichero(r.producto);
    return Terminar(r);
}

// The release staged in `nuevo`, as journal entries, with every file and directory of it
// made durable. Also refuses what cannot be placed over the installation as it is.
std::error_code Preparar(const Rutas& r, std::vector<Entrada>& entradas) {
    std::error_code e;
    std::vector<std::string> ficheros, carpetas{r.nuevo};
    for (fs::recursive_directory_iterator it(r.nuevo, e), fin; !e && it != fin; it.increment(e)) {
        const std::string ruta = it->path().string();
        const std::string relativa = ruta.substr(r.nuevo.size() + 1);
        const auto st = Lstat(ruta);
        if (!st) return Errno();
        // A name that would land in the staging directory itself, or split a journal line.
        const std::string primera = relativa.substr(0, relativa.find('/'));
        if (relativa.find('\n') != std::string::npos || primera == kPreparacion)
            return Error::NombreNoValido;
        const std::string vivo = Unir(r.carpeta, relativa);
        Entrada entrada;
        entrada.Ruta = relativa;
        if (S_ISDIR(st->st_mode)) {
            carpetas.push_back(ruta);
            if (Lstat(vivo)) {
                if (!EsCarpeta(vivo)) return Errno(ENOTDIR);
                continue;
            }
            entrada.Carpeta = true;
            entrada.Modo = st->st_mode & 07777;
        } else {
            const auto actual = Lstat(vivo);
            if (actual && S_ISDIR(actual->st_mode)) return Errno(EISDIR);
            entrada.Reemplaza = actual.has_value();
            entrada.Tamano = static_cast<uint64_t>(st->st_size);
            if (S_ISREG(st->st_mode)) ficheros.push_back(ruta);
        }
        entradas.push_back(std::move(entrada));
    }
    if (e) return e;

    // Writeback of all of them is started before waiting on any, so the disk works on the
    // whole release at once.
    std::vector<int> abiertos;
    for (const std::string& f : ficheros) {
        const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            e = Errno();
            break;
        }
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        abiertos.push_back(fd);
    }
    for (size_t i = 0; i < abiertos.size(); ++i) {
        if (!e) e = sistema::SincronizarFichero(abiertos[i], ficheros[i]);
        ::close(abiertos[i]);
    }
    if (e) return e;
    for (const std::string& c : carpetas)
        if ((e = sistema::SincronizarCarpeta(c))) return e;
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

std::error_code Desempaquetar(const Rutas& r, const Entorno& entorno, const Atender& atender) {
    const std::string herramienta = Unir(r.carpeta, entorno.Herramienta);
    struct stat st {};
    // Only the installation's own tool: one found elsewhere would run with our rights.
    if (::stat(herramienta.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        ::access(herramienta.c_str(), X_OK) != 0)
        return Error::HerramientaAusente;
    if (::mkdir(r.preparacion.c_str(), 0700) != 0 || ::mkdir(r.nuevo.c_str(), 0700) != 0 ||
        ::mkdir(r.anterior.c_str(), 0700) != 0)
        return Errno();
    const std::string enlace = Unir(r.nuevo, entorno.Archivo);
    if (::link(r.archivo.c_str(), enlace.c_str()) != 0) return Errno();

    const std::optional<int> pid = sistema::IniciarProceso(herramienta, entorno.Argumentos, r.nuevo);
    if (!pid) return Error::HerramientaAusente;
    sistema::EstadoProceso estado;
    auto adelanto = std::chrono::steady_clock::now();
    while ((estado = sistema::ConsultarProceso(*pid)) == sistema::EstadoProceso::EnMarcha) {
        if (std::chrono::steady_clock::now() >= adelanto) {
            AdelantarEscritura(r.nuevo);
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
        return SinEspacio(r.nuevo) ? Errno(ENOSPC) : make_error_code(Error::HerramientaFallida);
    // The archive is not part of the release.
    ::unlink(enlace.c_str());
    return {};
}

std::error_code RecuperarConCerrojo(const Rutas& r, Recuperacion* hecho) {
    if (hecho) *hecho = Recuperacion::Nada;
    if (!Lstat(r.preparacion)) return {};
    if (!Lstat(r.diario)) {
        // Another user's staging (a shared install) may hide its journal from us: without
        // seeing it, nothing says the placing had not begun, so it is left for its owner.
        if (errno != ENOENT && errno != ENOTDIR) return Error::DiarioIlegible;
        // Stopped before the journal: nothing was placed.
        Limpiar(r);
        if (hecho) *hecho = Recuperacion::Limpieza;
        return {};
    }
    const auto entradas = LeerDiario(r.diario);
    if (!entradas) return Error::DiarioIlegible;
    // Forward only when every file of the release is there whole, staged or placed. A
    // replaced file neither staged nor kept was put back by an undo that was cut short:
    // what now holds its name is the old one, whatever its size.
    bool completa = true;
    for (const Entrada& e : *entradas) {
        if (e.Carpeta) continue;
        auto st = Lstat(Unir(r.nuevo, e.Ruta));
        if (!st && !(e.Reemplaza && !Lstat(Unir(r.anterior, e.Ruta)))) st = Lstat(Unir(r.carpeta, e.Ruta));
        if (!st || static_cast<uint64_t>(st->st_size) != e.Tamano) completa = false;
    }
    if (hecho) *hecho = completa ? Recuperacion::Adelante : Recuperacion::Atras;
    return completa ? Colocar(r, *entradas) : Deshacer(r, *entradas);
}

}  // namespace

const std::error_category& Categoria() {
    static const CategoriaInstalacion categoria;
    return categoria;
}

std::error_code make_error_code(Error e) { return {static_cast<int>(e), Categoria()}; }

std::error_code Recuperar(const Entorno& entorno, Recuperacion* hecho) {
    try {
        if (hecho) *hecho = Recuperacion::Nada;
        Cerrojo cerrojo;
        if (std::error_code e = cerrojo.Tomar(entorno.Carpeta, entorno.EsperaCerrojo)) return e;
        return RecuperarConCerrojo(Rutas(entorno), hecho);
    } catch (const std::bad_alloc&) {
        return Errno(ENOMEM);
    } catch (...) {
        return Errno(EIO);
    }
}

std::error_code Instalar(const Entorno& entorno, const Atender& atender) {
    try {
        const Rutas r(entorno);
        Cerrojo cerrojo;
        if (std::error_code e = cerrojo.Tomar(entorno.Carpeta, entorno.EsperaCerrojo)) return e;
        if (std::error_code e = RecuperarConCerrojo(r, nullptr)) {
            // The archive goes as after any failure; the next check offers it again.
            ::unlink(r.archivo.c_str());
            return e;
        }
        if (!Lstat(r.archivo)) return Error::ArchivoAusente;

        std::vector<Entrada> entradas;
        std::error_code e = Desempaquetar(r, entorno, atender);
        if (!e) e = Preparar(r, entradas);
        // A tool that reports success having unpacked nothing has not installed a release;
        // dating the product now would hide the update until the next one.
        if (!e && entradas.empty()) e = Error::HerramientaFallida;
        if (!e) e = EscribirDiario(r, entradas);
        if (e) {
            // Nothing placed yet: the installation directory is as it was.
            Limpiar(r);
            return e;
        }
        return Colocar(r, entradas);
    } catch (const std::bad_alloc&) {
        return Errno(ENOMEM);
    } catch (...) {
        return Errno(EIO);
    }
}

}  // namespace instalacion
