// The install aside: what a failure before anything is placed leaves, the order of the
// syncs and renames the design relies on, an interruption at every step of the placing
// followed by the recovery at start, and a second updater meanwhile.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comun_prueba.h"
#include "disco.h"
#include "fichero_temporal.h"
#include "instalacion.h"

namespace {

namespace fs = std::filesystem;
using prueba::Escribir;
using prueba::Leer;
using sistema::OperacionDisco;

// Every file, link and directory under `raiz`, with its contents; the lock file, which
// stays once made, aside.
using Arbol = std::map<std::string, std::string>;
Arbol Foto(const std::string& raiz) {
    Arbol a;
    for (auto it = fs::recursive_directory_iterator(raiz); it != fs::recursive_directory_iterator(); ++it) {
        const std::string r = it->path().string().substr(raiz.size() + 1);
        if (r == instalacion::kCerrojo) continue;
        if (it->is_symlink()) a[r] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory()) a[r] = "/";
        else a[r] = Leer(it->path().string());
    }
    return a;
}

// The syncs, links, renames and removals seen, in order, with their paths.
struct Registro {
    std::vector<std::pair<OperacionDisco, std::string>> ops;
    // A disk whose operations are recorded here; `fallo`, when given, may fail one.
    sistema::Disco Disco(std::function<std::error_code(OperacionDisco)> fallo = {}) {
        return sistema::Disco([this, fallo](OperacionDisco o, const std::string& r) {
            ops.emplace_back(o, r);
            return fallo ? fallo(o) : std::error_code();
        });
    }
    // Position of the first operation `o` on `ruta`; -1 when there is none.
    long Donde(OperacionDisco o, const std::string& ruta) const {
        for (size_t i = 0; i < ops.size(); ++i)
            if (ops[i].first == o && ops[i].second == ruta) return static_cast<long>(i);
        return -1;
    }
};

// An installed release 1 and an unzip tool stand-in that stages release 2: it replaces
// the product (with an old date, as a tool restoring stored dates does) and one data file,
// adds a folder, and leaves another data file alone.
class Instalacion : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(En("datos"));
        Escribir(En("Morvane.exe"), "producto 1", true);
        Escribir(En("datos/a.dat"), "a 1");
        Escribir(En("datos/b.dat"), "b 1 (no está en la versión 2)");
        prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
        Herramienta("mkdir -p datos nuevos && printf 'producto 2' > Morvane.exe &&\n"
                    "printf 'a 2' > datos/a.dat && printf 'c 2' > 'nuevos/c con blanco.dat' &&\n"
                    "touch -d '2000-01-01 12:00' Morvane.exe\n");
        antigua_ = Foto(dir_.Ruta());
        nueva_ = antigua_;
        nueva_["Morvane.exe"] = "producto 2";
        nueva_["datos/a.dat"] = "a 2";
        nueva_["nuevos"] = "/";
        nueva_["nuevos/c con blanco.dat"] = "c 2";
        Escribir(En("Morvane.zip"), "el archivo");
        entorno_.Carpeta = dir_.Ruta();
        entorno_.EsperaCerrojo = std::chrono::milliseconds(100);
    }

    void Herramienta(const std::string& cuerpo) {
        Escribir(En("Kelunzip"), "#!/bin/sh\n" + cuerpo, true);
    }
    std::string En(const std::string& n) const { return dir_.En(n); }
    std::string Preparacion(const std::string& n = "") const {
        return En(std::string(instalacion::kPreparacion) + (n.empty() ? "" : "/" + n));
    }
    // The fixture's install on another disk.
    instalacion::Entorno Con(sistema::Disco disco) const {
        instalacion::Entorno e = entorno_;
        e.Disco = std::move(disco);
        return e;
    }
    // The directory as release 1 left it, without the archive: what a failure leaves.
    Arbol SinArchivo(Arbol a) const {
        a.erase("Morvane.zip");
        return a;
    }

    prueba::DirectorioTemporal dir_{"instalación con blancos "};
    instalacion::Entorno entorno_;
    Arbol antigua_, nueva_;
};

TEST_F(Instalacion, ColocaLaVersionEnteraFechaElProductoYSincronizaEnOrden) {
    const time_t antes = std::time(nullptr);
    // Meanwhile another installation of the same process, on a disk of its own: each
    // witness sees its own install's operations and none of the other's.
    prueba::DirectorioTemporal otra{"otra instalación "};
    Escribir(otra.En("Morvane.exe"), "producto 1", true);
    Escribir(otra.En("Kelunzip"), "#!/bin/sh\nprintf 'producto 2' > Morvane.exe\n", true);
    Escribir(otra.En("Morvane.zip"), "el archivo");
    Registro registro, registroOtra;
    instalacion::Entorno entornoOtra = Con(registroOtra.Disco());
    entornoOtra.Carpeta = otra.Ruta();
    std::error_code instaladaOtra;
    std::thread hilo([&] { instaladaOtra = instalacion::Instalar(entornoOtra); });
    const std::error_code instalada = instalacion::Instalar(Con(registro.Disco()));
    hilo.join();
    ASSERT_EQ(instaladaOtra, std::error_code());
    EXPECT_EQ(Leer(otra.En("Morvane.exe")), "producto 2");
    for (const auto& [r, raiz] : {std::pair(&registro, dir_.Ruta()), std::pair(&registroOtra, otra.Ruta())}) {
        SCOPED_TRACE(raiz);
        EXPECT_GT(r->ops.size(), 5u);
        EXPECT_EQ(std::count_if(r->ops.begin(), r->ops.end(), [&](const auto& op) { return op.second.rfind(raiz, 0) != 0; }), 0);
    }
    ASSERT_EQ(instalada, std::error_code());
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(nueva_));  // no staging, no archive, b.dat kept
    EXPECT_GE(prueba::FechaDe(En("Morvane.exe")), antes - 1);

    // Every staged file is on disk before the journal is; the journal and its name before
    // the first file is placed; every placed name before the journal goes.
    const auto& r = registro;
    const long diario = r.Donde(OperacionDisco::Renombrar, Preparacion("diario"));
    ASSERT_GE(diario, 0);
    EXPECT_GE(r.Donde(OperacionDisco::Sincronizar, Preparacion("diario.tmp")), 0);
    EXPECT_LT(r.Donde(OperacionDisco::Sincronizar, Preparacion("diario.tmp")), diario);
    for (const char* f : {"Morvane.exe", "datos/a.dat", "nuevos/c con blanco.dat"}) {
        SCOPED_TRACE(f);
        const long sinc = r.Donde(OperacionDisco::Sincronizar, Preparacion("nuevo/") + f);
        EXPECT_GE(sinc, 0);
        EXPECT_LT(sinc, diario);
    }
    long primera = -1, ultima = -1;
    for (size_t i = 0; i < r.ops.size(); ++i)
        if (r.ops[i].first == OperacionDisco::Renombrar && r.ops[i].second.rfind(Preparacion(), 0) != 0) {
            if (primera < 0) primera = static_cast<long>(i);
            ultima = static_cast<long>(i);
        }
    ASSERT_GE(primera, 0);
    const long carpetaDiario = r.Donde(OperacionDisco::SincronizarCarpeta, Preparacion());
    EXPECT_GT(carpetaDiario, diario);
    EXPECT_LT(carpetaDiario, primera);
    // The old files are kept aside before anything is replaced.
    EXPECT_GE(r.Donde(OperacionDisco::Enlazar, Preparacion("anterior/datos/a.dat")), 0);
    EXPECT_LT(r.Donde(OperacionDisco::Enlazar, Preparacion("anterior/datos/a.dat")), primera);
    const long fin = r.Donde(OperacionDisco::Borrar, Preparacion("diario"));
    ASSERT_GT(fin, ultima);
    // The staging directory goes after the journal, and that is made durable last of all.
    EXPECT_GT(r.Donde(OperacionDisco::Borrar, Preparacion()), fin);
    EXPECT_EQ(r.ops.back(), std::make_pair(OperacionDisco::SincronizarCarpeta, dir_.Ruta()));
    for (const std::string& c : {En("datos"), En("nuevos")}) {
        SCOPED_TRACE(c);
        long sinc = -1;
        for (size_t i = static_cast<size_t>(ultima) + 1; i < r.ops.size(); ++i)
            if (r.ops[i].first == OperacionDisco::SincronizarCarpeta && r.ops[i].second == c) {
                sinc = static_cast<long>(i);
                break;
            }
        EXPECT_GT(sinc, ultima);
        EXPECT_LT(sinc, fin);
    }
}

// The downloaded archive: its data is on disk before its name, and the name after.
TEST_F(Instalacion, ElArchivoDescargadoSeSincronizaAntesDeSuNombre) {
    for (const bool sinNombre : {true, false}) {
        SCOPED_TRACE(sinNombre ? "unnamed" : "named");
        Registro registro;
        {
            sistema::FicheroTemporal t(dir_.Ruta(), "zkD", registro.Disco(), sinNombre);
            ASSERT_TRUE(t.Abierto());
            ASSERT_TRUE(t.Anadir("nuevo", 5));
            ASSERT_TRUE(t.Colocar(En("Morvane.zip")));
        }
        const long sinc = registro.Donde(OperacionDisco::Sincronizar, En("Morvane.zip"));
        const long nombre = registro.Donde(OperacionDisco::Renombrar, En("Morvane.zip"));
        EXPECT_GE(sinc, 0);
        EXPECT_GT(nombre, sinc);
        EXPECT_GT(registro.Donde(OperacionDisco::SincronizarCarpeta, dir_.Ruta()), nombre);
        EXPECT_EQ(Leer(En("Morvane.zip")), "nuevo");
    }
}

// Bytes free for a user on the file system of `ruta`.
unsigned long long Libres(const std::string& ruta) {
    struct statvfs v {};
    return ::statvfs(ruta.c_str(), &v) == 0 ? static_cast<unsigned long long>(v.f_bavail) * v.f_frsize : 0;
}

// Failures before anything is placed: the installation is exactly as before, the staging
// directory and the archive are gone, the product keeps its date (the update is offered
// again), and the failure says why.
TEST_F(Instalacion, UnFalloAntesDeColocarDejaTodoComoEstabaYDevuelveElEspacio) {
    prueba::DirectorioTemporal fuera{"otro sitio "};
    Escribir(fuera.En("Kelunzip"), "#!/bin/sh\ntouch \"" + fuera.En("ejecutado") + "\"\n", true);
    const std::string path = ::getenv("PATH") ? ::getenv("PATH") : "";
    const fs::path cwd = fs::current_path();

    struct Caso {
        const char* nombre;
        std::string herramienta;  // empty: none in the installation directory
        std::error_code esperado;
        bool cancelar = false;
    };
    const std::vector<Caso> casos = {
        {"half written, then fails",
         "mkdir -p datos && printf 'producto 2' > Morvane.exe && printf 'a' > datos/a.dat && exit 1\n",
         instalacion::Error::HerramientaFallida},
        {"succeeds having unpacked nothing", "exit 0\n", instalacion::Error::HerramientaFallida},
        {"none here, one on PATH and in the current directory", "",
         instalacion::Error::HerramientaAusente},
        {"fails for a full disk", "printf 'producto' > Morvane.exe\necho 'No space left on device' >&2\nexit 50\n",
         instalacion::Error::HerramientaFallida},
        {"cancelled", "printf 'producto 2' > Morvane.exe\nexec sleep 30\n", instalacion::Error::Cancelada,
         true},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        fs::remove(En("Kelunzip"));
        if (!c.herramienta.empty()) Herramienta(c.herramienta);
        Escribir(En("Morvane.zip"), "el archivo");
        const Arbol antes = SinArchivo(Foto(dir_.Ruta()));
        ::setenv("PATH", (fuera.Ruta() + ":" + path).c_str(), 1);
        fs::current_path(fuera.Ruta());
        int vueltas = 0;
        const std::error_code e = instalacion::Instalar(entorno_, [&] {
            ::usleep(10000);
            return !c.cancelar || ++vueltas < 5;
        });
        fs::current_path(cwd);
        ::setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(e, c.esperado) << e.message();
        EXPECT_EQ(Foto(dir_.Ruta()), antes);
        EXPECT_EQ(prueba::FechaDe(En("Morvane.exe")), prueba::HoraLocal(2001, 1, 1));
        EXPECT_FALSE(fuera.Hay("ejecutado"));
    }

    // A real full disk, where this test may mount a small one (as root): ENOSPC, and all
    // of the space comes back.
    prueba::DirectorioTemporal pequeno{"disco pequeño "};
    if (::mount("morvane", pequeno.Ruta().c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
        std::printf("(no tmpfs could be mounted: the full disk was a tool failing with ENOSPC)\n");
        return;
    }
    entorno_.Carpeta = pequeno.Ruta();
    Escribir(pequeno.En("Morvane.exe"), "producto 1", true);
    Escribir(pequeno.En("Kelunzip"), "#!/bin/sh\nhead -c 4000000 /dev/zero > Morvane.exe\n", true);
    const unsigned long long libres = Libres(pequeno.Ruta());
    Escribir(pequeno.En("Morvane.zip"), std::string(300000, 'z'));
    const Arbol antes = SinArchivo(Foto(pequeno.Ruta()));
    const std::error_code e = instalacion::Instalar(entorno_);
    EXPECT_EQ(e, std::errc::no_space_on_device) << e.message();
    EXPECT_EQ(Foto(pequeno.Ruta()), antes);
    EXPECT_EQ(Leer(pequeno.En("Morvane.exe")), "producto 1");
    EXPECT_GE(Libres(pequeno.Ruta()), libres);
    ::umount2(pequeno.Ruta().c_str(), MNT_DETACH);
}

// The updater (and the tool) stopped dead before each disk operation of a whole install in
// turn; the next start recovers. Every time the product is entirely release 1 or entirely
// release 2, and it is release 2 exactly when the journal had been put in place.
TEST_F(Instalacion, UnaInterrupcionEnCadaPasoSeRecuperaEnteraAlArrancar) {
    const Arbol inicial = Foto(dir_.Ruta());
    const auto Reponer = [&] {
        fs::remove_all(dir_.Ruta());
        fs::create_directory(dir_.Ruta());
        for (const auto& [ruta, contenido] : inicial) {
            if (contenido == "/") fs::create_directories(En(ruta));
            else Escribir(En(ruta), contenido, ruta == "Kelunzip" || ruta == "Morvane.exe");
        }
    };
    // Also where no hard link can be made (a vfat stick, protected_hardlinks): the files
    // replaced are then moved aside.
    for (const bool sinEnlaces : {false, true}) {
    SCOPED_TRACE(sinEnlaces ? "without hard links" : "with hard links");
    const auto Enlaces = [sinEnlaces](OperacionDisco o) {
        return sinEnlaces && o == OperacionDisco::Enlazar ? std::make_error_code(std::errc::operation_not_permitted)
                                                          : std::error_code();
    };
    Reponer();
    size_t total = 0;
    long diario = -1, fin = -1;
    {
        Registro r;
        ASSERT_EQ(instalacion::Instalar(Con(r.Disco(Enlaces))), std::error_code());
        total = r.ops.size();
        diario = r.Donde(OperacionDisco::Renombrar, Preparacion("diario"));
        fin = r.Donde(OperacionDisco::Borrar, Preparacion("diario"));
        EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(nueva_));
    }
    ASSERT_GT(total, 10u);
    ASSERT_GT(diario, 0);
    ASSERT_GT(fin, diario);

    const time_t antes = std::time(nullptr);
    for (size_t corte = 0; corte <= total; ++corte) {
        SCOPED_TRACE("stopped before operation " + std::to_string(corte));
        Reponer();
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            size_t vistas = 0;
            const sistema::Disco disco([&](OperacionDisco o, const std::string&) {
                if (vistas++ == corte) ::_exit(0);
                return Enlaces(o);
            });
            ::_exit(instalacion::Instalar(Con(disco)) ? 2 : 1);
        }
        const int estado = prueba::Esperar(pid);
        ASSERT_TRUE(WIFEXITED(estado));
        EXPECT_EQ(WEXITSTATUS(estado), corte == total ? 1 : 0);

        instalacion::Recuperacion hecho{};
        EXPECT_EQ(instalacion::Recuperar(entorno_, &hecho), std::error_code());
        const Arbol ahora = Foto(dir_.Ruta());
        if (static_cast<long>(corte) > diario) {
            EXPECT_EQ(ahora, SinArchivo(nueva_));
            EXPECT_GE(prueba::FechaDe(En("Morvane.exe")), antes - 1);
            // Once the journal is gone only leftovers remain.
            EXPECT_NE(hecho, instalacion::Recuperacion::Atras);
            EXPECT_TRUE(hecho == instalacion::Recuperacion::Adelante || static_cast<long>(corte) > fin);
        } else if (corte == 0) {
            EXPECT_EQ(ahora, inicial);  // not even the staging directory was made
            EXPECT_EQ(hecho, instalacion::Recuperacion::Nada);
        } else {
            EXPECT_EQ(ahora, SinArchivo(antigua_));
            EXPECT_EQ(hecho, instalacion::Recuperacion::Limpieza);
        }
    }
    }
}

// A power cut at every point of an install, as a file system that keeps only what an fsync
// made durable would leave the directory: each directory as it was listed at its last
// sync, each file's data and date as at its last sync (a file never synced is empty). The
// next start must then find release 1 or release 2 whole, release 2 (dated now) whenever a
// journal was on disk; and once Instalar has returned, release 2 must be there with
// nothing left over and no recovery needed. Without any one of the install's syncs some
// power cut must break that, or the sync protects nothing.
class Apagon {
public:
    // An object as a sync leaves it: a directory's names, or a file's data, mode and date.
    struct Nombre {
        std::string id;
        mode_t modo = 0;
        std::string enlace;  // a symlink's target
    };
    struct Objeto {
        std::map<std::string, Nombre> nombres;
        std::string datos;
        mode_t modo = 0600;
        struct timespec fecha {};
    };

    explicit Apagon(const std::string& raiz) : raiz_(raiz) {
        Guardar(raiz, inicial_);
        raizId_ = Id(raiz);
    }
    // Called at every disk operation: a sync records what it makes durable.
    void Ver(OperacionDisco o, const std::string& ruta) {
        ++operaciones_;
        if (o != OperacionDisco::Sincronizar && o != OperacionDisco::SincronizarCarpeta) return;
        syncs_.push_back({operaciones_ - 1, ruta, Id(ruta), Leer(ruta)});
    }
    size_t Operaciones() const { return operaciones_; }
    size_t Syncs() const { return syncs_.size(); }
    const std::string& RutaSync(size_t i) const { return syncs_[i].ruta; }
    size_t OperacionSync(size_t i) const { return syncs_[i].operacion; }

    // The directory as a power cut before operation `corte` leaves it, written to `destino`,
    // without the sync numbered `sinSync` (none when it is past the end).
    void Imagen(size_t corte, size_t sinSync, const std::string& destino) const {
        std::map<std::string, const Objeto*> durable;
        for (const auto& [id, objeto] : inicial_) durable[id] = &objeto;
        for (size_t i = 0; i < syncs_.size(); ++i)
            if (i != sinSync && syncs_[i].operacion < corte) durable[syncs_[i].id] = &syncs_[i].objeto;
        Escribir(durable, raizId_, destino);
    }

private:
    struct Sync {
        size_t operacion;
        std::string ruta, id;
        Objeto objeto;
    };

    // Inode and birth time: a number the file system gives again after a removal is
    // another object.
    static std::string Id(const std::string& ruta) {
        struct statx sx {};
        if (::statx(AT_FDCWD, ruta.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) != 0) return "?";
        return std::to_string(sx.stx_ino) + "." + std::to_string(sx.stx_btime.tv_sec) + "." +
               std::to_string(sx.stx_btime.tv_nsec);
    }
    static Objeto Leer(const std::string& ruta) {
        Objeto o;
        struct stat st {};
        if (::lstat(ruta.c_str(), &st) != 0) return o;
        o.modo = st.st_mode & 07777;
        o.fecha = st.st_mtim;
        if (S_ISDIR(st.st_mode)) {
            for (const auto& e : fs::directory_iterator(ruta)) {
                struct stat h {};
                ::lstat(e.path().c_str(), &h);
                Nombre n{Id(e.path().string()), h.st_mode, ""};
                if (S_ISLNK(h.st_mode)) n.enlace = fs::read_symlink(e.path()).string();
                o.nombres[e.path().filename().string()] = n;
            }
        } else if (S_ISREG(st.st_mode)) {
            o.datos = prueba::Leer(ruta);
        }
        return o;
    }
    void Guardar(const std::string& ruta, std::map<std::string, Objeto>& en) {
        en[Id(ruta)] = Leer(ruta);
        if (fs::is_directory(fs::symlink_status(ruta)))
            for (const auto& e : fs::directory_iterator(ruta)) Guardar(e.path().string(), en);
    }
    static void Escribir(const std::map<std::string, const Objeto*>& durable, const std::string& id,
                         const std::string& destino) {
        const auto it = durable.find(id);
        static const Objeto vacio;
        const Objeto& o = it == durable.end() ? vacio : *it->second;
        fs::create_directory(destino);
        for (const auto& [nombre, n] : o.nombres) {
            const std::string ruta = destino + "/" + nombre;
            if (S_ISDIR(n.modo)) {
                Escribir(durable, n.id, ruta);
            } else if (S_ISLNK(n.modo)) {
                fs::create_symlink(n.enlace, ruta);
            } else {
                const auto f = durable.find(n.id);
                prueba::Escribir(ruta, f == durable.end() ? "" : f->second->datos);
                ::chmod(ruta.c_str(), n.modo & 07777);
                if (f != durable.end()) {
                    const struct timespec veces[2] = {f->second->fecha, f->second->fecha};
                    ::utimensat(AT_FDCWD, ruta.c_str(), veces, 0);
                }
            }
        }
        ::chmod(destino.c_str(), it == durable.end() ? 0700 : o.modo);
    }

    std::string raiz_, raizId_;
    std::map<std::string, Objeto> inicial_;
    std::vector<Sync> syncs_;
    size_t operaciones_ = 0;
};

TEST_F(Instalacion, UnApagonEnCadaPuntoDejaUnaVersionEnteraYCadaSyncHaceFalta) {
    // Release 2 also brings a directory two levels deep, whose making must last too.
    Herramienta("mkdir -p datos nuevos extra/a && printf 'producto 2' > Morvane.exe &&\n"
                "printf 'a 2' > datos/a.dat && printf 'c 2' > 'nuevos/c con blanco.dat' &&\n"
                "printf 'x 2' > extra/a/x.dat && touch -d '2000-01-01 12:00' Morvane.exe\n");
    nueva_["Kelunzip"] = Leer(En("Kelunzip"));
    antigua_["Kelunzip"] = nueva_["Kelunzip"];
    nueva_["extra"] = nueva_["extra/a"] = "/";
    nueva_["extra/a/x.dat"] = "x 2";
    Arbol conArchivo = antigua_;  // before the archive was taken in
    conArchivo["Morvane.zip"] = Leer(En("Morvane.zip"));
    const time_t antes = std::time(nullptr);
    Apagon apagon(dir_.Ruta());
    const std::error_code instalado = instalacion::Instalar(Con(sistema::Disco([&](OperacionDisco o, const std::string& r) {
        apagon.Ver(o, r);
        return std::error_code();
    })));
    ASSERT_EQ(instalado, std::error_code());
    ASSERT_GT(apagon.Syncs(), 5u);

    prueba::DirectorioTemporal trabajo{"apagón "};
    instalacion::Entorno imagen = entorno_;
    imagen.Carpeta = trabajo.En("imagen");
    // The first broken state, "" when every one comes back whole.
    const auto Roto = [&](size_t sinSync) -> std::string {
        // What is durable changes only at a sync: a cut at the start and after each one.
        for (size_t i = 0; i <= apagon.Syncs(); ++i) {
            const size_t corte = i == 0 ? 0 : apagon.OperacionSync(i - 1) + 1;
            fs::remove_all(imagen.Carpeta);
            apagon.Imagen(corte, sinSync, imagen.Carpeta);
            const bool alFinal = i == apagon.Syncs();
            const bool diario = fs::exists(imagen.Carpeta + "/" + instalacion::kPreparacion + "/diario");
            if (!alFinal && instalacion::Recuperar(imagen)) return "recovery failed at " + std::to_string(corte);
            const Arbol ahora = Foto(imagen.Carpeta);
            const bool nueva = ahora == SinArchivo(nueva_) && prueba::FechaDe(imagen.Carpeta + "/Morvane.exe") >= antes - 1;
            if (alFinal || diario ? !nueva : !(nueva || ahora == conArchivo || ahora == antigua_))
                return "a power cut after operation " + std::to_string(corte) + " leaves a mix";
        }
        return "";
    };
    EXPECT_EQ(Roto(apagon.Syncs()), "");
    for (size_t i = 0; i < apagon.Syncs(); ++i)
        EXPECT_NE(Roto(i), "") << "nothing needs sync " << i << " of " << apagon.RutaSync(i);
}

// A journal as the install writes one, whatever it says: its checksum is right.
std::string DiarioFirmado(const std::string& lineas) {
    const std::string cuerpo = "morvane-diario 2\n" + lineas;
    uint64_t h = 0xcbf29ce484222325ull;
    for (const unsigned char c : cuerpo) h = (h ^ c) * 0x100000001b3ull;
    char fin[32];
    std::snprintf(fin, sizeof fin, "fin %016llx\n", static_cast<unsigned long long>(h));
    return cuerpo + fin;
}

// What another local user may plant in an installation directory, or what a shared install
// leaves behind: none of it is acted on, and nothing of the victim's outside the
// installation directory changes. As root the planted things belong to "nobody".
TEST_F(Instalacion, LoQuePlantaOtroUsuarioNoSeObedece) {
    prueba::DirectorioTemporal casa{"casa de la víctima "}, atacante{"del atacante "};
    Escribir(casa.En("precioso.txt"), "mío");
    const bool root = ::geteuid() == 0;
    const passwd* nadie = ::getpwnam("nobody");
    ASSERT_TRUE(!root || nadie);
    const auto DeOtro = [&](const std::string& ruta) {
        if (root) {
            ASSERT_EQ(::lchown(ruta.c_str(), nadie->pw_uid, nadie->pw_gid), 0) << ruta;
        }
    };
    const std::string haciaCasa = fs::relative(casa.Ruta(), dir_.Ruta()).string();
    const auto Staging = [&](const std::string& diario, mode_t modoDiario = 0600) {
        fs::create_directory(Preparacion());
        ::chmod(Preparacion().c_str(), 0700);
        fs::create_directories(Preparacion("nuevo"));
        Escribir(Preparacion("diario"), diario);
        ::chmod(Preparacion("diario").c_str(), modoDiario);
    };
    using instalacion::Error;
    struct Caso {
        const char* nombre;
        std::function<void()> plantar;
        std::error_code esperado;
        bool soloRoot = false;  // needs a second user
    };
    const std::vector<Caso> casos = {
        {"a journal naming ..", [&] { Staging(DiarioFirmado("F N 3 " + haciaCasa + "/precioso.txt\n")); },
         Error::DiarioIlegible},
        {"a journal naming an absolute path",
         [&] { Staging(DiarioFirmado("F N 3 /" + casa.En("precioso.txt").substr(1) + "\n")); },
         Error::DiarioIlegible},
        {"a journal making a symlinked directory 0777",
         [&] {
             fs::create_directory_symlink(casa.Ruta(), En("h"));
             Staging(DiarioFirmado("D 777 h\nF N 3 h/precioso.txt\n"));
         },
         Error::EnlaceSimbolico},
        {"a journal whose checksum does not match",
         [&] {
             std::string d = DiarioFirmado("F N 10 Morvane.exe\n");
             d.replace(d.find("F N 10 "), 7, "F N 11 ");
             Staging(d);
         },
         Error::DiarioIlegible},
        {"a journal others may read and write", [&] { Staging(DiarioFirmado("F N 10 Morvane.exe\n"), 0666); },
         Error::PreparacionAjena},
        {"a staging directory that is a symlink of another user's",
         [&] {
             Escribir(atacante.En("diario"), DiarioFirmado("F N 3 " + haciaCasa + "/precioso.txt\n"));
             fs::create_directory_symlink(atacante.Ruta(), Preparacion());
             DeOtro(Preparacion());
         },
         Error::PreparacionAjena, true},
        {"a staging directory of another user's",
         [&] {
             Staging(DiarioFirmado("F R 10 Morvane.exe\n"));
             DeOtro(Preparacion());
         },
         Error::PreparacionAjena, true},
        {"a journal of another user's",
         [&] {
             Staging(DiarioFirmado("F R 10 Morvane.exe\n"));
             DeOtro(Preparacion("diario"));
         },
         Error::PreparacionAjena, true},
        {"a lock file of another user's",
         [&] {
             Escribir(En(instalacion::kCerrojo), "");
             ::chmod(En(instalacion::kCerrojo).c_str(), 0666);
             DeOtro(En(instalacion::kCerrojo));
         },
         Error::PreparacionAjena, true},
    };
    for (const Caso& c : casos) {
        if (c.soloRoot && !root) continue;
        SCOPED_TRACE(c.nombre);
        c.plantar();
        const Arbol antes = Foto(dir_.Ruta());
        std::string detalle;
        EXPECT_EQ(instalacion::Recuperar(entorno_, nullptr, &detalle), c.esperado) << detalle;
        EXPECT_FALSE(detalle.empty());
        // The update is refused before the archive is fetched, and again if it was.
        EXPECT_TRUE(instalacion::Comprobar(entorno_) || c.esperado == Error::EnlaceSimbolico);
        EXPECT_TRUE(instalacion::Instalar(entorno_));
        Arbol despues = Foto(dir_.Ruta());
        despues["Morvane.zip"] = antes.at("Morvane.zip");  // the one thing that may go
        EXPECT_EQ(despues, antes);
        EXPECT_EQ(Foto(casa.Ruta()), (Arbol{{"precioso.txt", "mío"}}));
        EXPECT_EQ(fs::status(casa.Ruta()).permissions() & fs::perms::others_all, fs::perms::none);
        // Back to release 1 as the fixture made it.
        fs::remove_all(Preparacion());
        fs::remove(En(instalacion::kCerrojo));
        fs::remove(En("h"));
        Escribir(En("Morvane.zip"), "el archivo");
    }

    // The release itself must not be written through a symlinked or foreign live directory:
    // refused before the first rename, the product as it was.
    const Arbol inicial = Foto(dir_.Ruta());
    for (const char* caso : {"symlink", "group-writable"}) {
        SCOPED_TRACE(caso);
        Escribir(En("Morvane.zip"), "el archivo");
        fs::rename(En("datos"), En("datos.real"));
        if (std::string(caso) == "symlink") {
            fs::create_directory_symlink(casa.Ruta(), En("datos"));
        } else {
            fs::create_directory(En("datos"));
            ::chmod(En("datos").c_str(), 0775);
        }
        std::string detalle;
        EXPECT_EQ(instalacion::Instalar(entorno_, {}, &detalle),
                  std::string(caso) == "symlink" ? Error::EnlaceSimbolico : Error::EscribiblePorOtros);
        EXPECT_EQ(detalle.rfind(En("datos"), 0), 0u) << detalle;
        EXPECT_EQ(Leer(En("Morvane.exe")), "producto 1");
        EXPECT_FALSE(fs::exists(Preparacion()));
        EXPECT_EQ(Foto(casa.Ruta()), (Arbol{{"precioso.txt", "mío"}}));
        fs::remove(En("datos"));
        fs::rename(En("datos.real"), En("datos"));
    }
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(inicial));

    // A lock that anyone able to read the directory could take on it blocks nothing now.
    Escribir(En("Morvane.zip"), "el archivo");
    ::chmod(dir_.Ruta().c_str(), 0755);
    int tubo[2];
    ASSERT_EQ(::pipe(tubo), 0);
    const pid_t otro = ::fork();
    ASSERT_GE(otro, 0);
    if (otro == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(nadie->pw_gid) != 0 || ::setuid(nadie->pw_uid) != 0))
            ::_exit(2);
        const int fd = ::open(dir_.Ruta().c_str(), O_RDONLY | O_DIRECTORY);
        const bool bloqueado = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
        (void)!::write(tubo[1], bloqueado ? "1" : "0", 1);
        ::pause();
        ::_exit(0);
    }
    char visto = 0;
    ASSERT_EQ(::read(tubo[0], &visto, 1), 1);
    EXPECT_EQ(visto, '1');
    EXPECT_EQ(instalacion::Recuperar(entorno_), std::error_code());
    EXPECT_EQ(instalacion::Instalar(entorno_), std::error_code());
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(nueva_));
    ::kill(otro, SIGKILL);
    prueba::Esperar(otro);
    ::close(tubo[0]);
    ::close(tubo[1]);
    ::chmod(dir_.Ruta().c_str(), 0700);
}

// After the first rename: a placing that fails puts release 1 back at once, and so does
// the next start when a staged file did not survive whole.
TEST_F(Instalacion, SiNoSePuedeTerminarVuelveLaVersionAnteriorEntera) {
    {
        int renombres = 0;
        const sistema::Disco disco([&](OperacionDisco o, const std::string& r) {
            if (o == OperacionDisco::Renombrar && r.rfind(Preparacion(), 0) != 0 && ++renombres == 3)
                return std::make_error_code(std::errc::permission_denied);
            return std::error_code();
        });
        EXPECT_EQ(instalacion::Instalar(Con(disco)), std::errc::permission_denied);
        EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(antigua_));
    }

    Escribir(En("Morvane.zip"), "el archivo");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int renombres = 0;
        const sistema::Disco disco([&](OperacionDisco o, const std::string& r) {
            if (o == OperacionDisco::Renombrar && r.rfind(Preparacion(), 0) != 0 && ++renombres == 3)
                ::_exit(0);
            return std::error_code();
        });
        ::_exit(instalacion::Instalar(Con(disco)) ? 2 : 1);
    }
    ASSERT_EQ(prueba::Esperar(pid), 0);
    // Two files placed, one still staged, and that one lost its end.
    std::vector<std::string> staged;
    for (const auto& [ruta, contenido] : Foto(Preparacion("nuevo")))
        if (contenido != "/") staged.push_back(ruta);
    ASSERT_EQ(staged.size(), 1u);
    fs::resize_file(Preparacion("nuevo/" + staged[0]), 1);
    instalacion::Recuperacion hecho{};
    EXPECT_EQ(instalacion::Recuperar(entorno_, &hecho), std::error_code());
    EXPECT_EQ(hecho, instalacion::Recuperacion::Atras);
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(antigua_));

    // The putting back itself stopped dead before each of its renames and removals: a file
    // already back (the same size in both releases) must not pass for a placed one.
    for (int corte = 4; corte <= 7; ++corte) {
        SCOPED_TRACE("undo stopped before operation " + std::to_string(corte));
        Escribir(En("Morvane.zip"), "el archivo");
        const pid_t hijo = ::fork();
        ASSERT_GE(hijo, 0);
        if (hijo == 0) {
            int vistas = 0;
            const sistema::Disco disco([&](OperacionDisco o, const std::string& r) {
                if ((o != OperacionDisco::Renombrar && o != OperacionDisco::Borrar) ||
                    r.rfind(Preparacion(), 0) == 0)
                    return std::error_code();
                if (++vistas == corte) ::_exit(0);
                if (vistas == 3) return std::make_error_code(std::errc::permission_denied);
                return std::error_code();
            });
            ::_exit(instalacion::Instalar(Con(disco)) ? 2 : 1);
        }
        prueba::Esperar(hijo);
        EXPECT_EQ(instalacion::Recuperar(entorno_), std::error_code());
        const Arbol ahora = Foto(dir_.Ruta());
        EXPECT_TRUE(ahora == SinArchivo(antigua_) || ahora == SinArchivo(nueva_));
        // Release 1 again for the next round.
        for (const auto& [ruta, contenido] : SinArchivo(antigua_))
            if (contenido != "/") Escribir(En(ruta), contenido, ruta == "Kelunzip" || ruta == "Morvane.exe");
        fs::remove_all(En("nuevos"));
    }
}

// A second updater while one installs: it neither recovers nor removes anything, says the
// directory is busy, and does its work once the first has let go.
TEST_F(Instalacion, UnSegundoActualizadorNoTocaLoQueOtroEstaInstalando) {
    // The first one, stopped right after its journal, holding the lock.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const sistema::Disco disco([&](OperacionDisco o, const std::string& r) {
            if (o == OperacionDisco::SincronizarCarpeta && r == Preparacion()) ::pause();
            return std::error_code();
        });
        ::_exit(instalacion::Instalar(Con(disco)) ? 2 : 1);
    }
    for (int i = 0; i < 1000 && !fs::exists(Preparacion("diario")); ++i) ::usleep(10000);
    ASSERT_TRUE(fs::exists(Preparacion("diario")));
    const Arbol durante = Foto(dir_.Ruta());

    instalacion::Recuperacion hecho = instalacion::Recuperacion::Atras;
    EXPECT_EQ(instalacion::Recuperar(entorno_, &hecho), instalacion::Error::Ocupada);
    EXPECT_EQ(hecho, instalacion::Recuperacion::Nada);
    EXPECT_EQ(instalacion::Instalar(entorno_), instalacion::Error::Ocupada);
    EXPECT_EQ(Foto(dir_.Ruta()), durante);

    ::kill(pid, SIGKILL);
    prueba::Esperar(pid);
    // While anyone else may write into the directory, its owner acts on nothing in it, and
    // another user (as root: "nobody") on nothing at all: not even the archive goes.
    ASSERT_EQ(::chmod(dir_.Ruta().c_str(), 0777), 0);
    EXPECT_EQ(instalacion::Recuperar(entorno_), instalacion::Error::EscribiblePorOtros);
    EXPECT_EQ(instalacion::Instalar(entorno_), instalacion::Error::EscribiblePorOtros);
    if (::geteuid() == 0) {
        const passwd* nadie = ::getpwnam("nobody");
        ASSERT_TRUE(nadie);
        const pid_t otro = ::fork();
        ASSERT_GE(otro, 0);
        if (otro == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(nadie->pw_gid) != 0 || ::setuid(nadie->pw_uid) != 0)
                ::_exit(2);
            const bool bien = instalacion::Recuperar(entorno_) == instalacion::Error::OtroPropietario &&
                              instalacion::Instalar(entorno_) == instalacion::Error::OtroPropietario;
            ::_exit(bien ? 0 : 1);
        }
        EXPECT_EQ(prueba::Esperar(otro), 0);
    }
    ASSERT_EQ(::chmod(dir_.Ruta().c_str(), 0700), 0);
    EXPECT_EQ(Foto(dir_.Ruta()), durante);

    // Written as the previous version of the updater wrote its journal, without a
    // checksum: an install it left half done is finished all the same.
    std::string diario = Leer(Preparacion("diario"));
    diario.replace(0, diario.find('\n'), "morvane-diario 1");
    diario.replace(diario.rfind("fin "), std::string::npos, "fin\n");
    Escribir(Preparacion("diario"), diario);
    ::chmod(Preparacion("diario").c_str(), 0600);
    EXPECT_EQ(instalacion::Recuperar(entorno_, &hecho), std::error_code());
    EXPECT_EQ(hecho, instalacion::Recuperacion::Adelante);
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(nueva_));

    // A plain file where the staging goes holds no journal either: it is cleared away.
    Escribir(Preparacion(), "no es una carpeta");
    EXPECT_EQ(instalacion::Recuperar(entorno_, &hecho), std::error_code());
    EXPECT_EQ(hecho, instalacion::Recuperacion::Limpieza);
    EXPECT_EQ(Foto(dir_.Ruta()), SinArchivo(nueva_));
}

}  // namespace
