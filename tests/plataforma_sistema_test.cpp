#include <gtest/gtest.h>
#include <poll.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "comun_prueba.h"
#include "fichero_temporal.h"
#include "cancelacion.h"
#include "sistema.h"

namespace {

using prueba::Escribir;
using prueba::Leer;

// A fresh directory with a blank in its name.
struct Directorio : prueba::DirectorioTemporal {
    Directorio() : DirectorioTemporal("sistema con blancos ") {}
};

sistema::EstadoProceso EsperarFin(int pid) {
    for (int i = 0; i < 1000; ++i) {
        auto e = sistema::ConsultarProceso(pid);
        if (e != sistema::EstadoProceso::EnMarcha) return e;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return sistema::EstadoProceso::EnMarcha;
}

TEST(Fecha, ValidaElCalendarioYOrdenaPorDia) {
    EXPECT_TRUE(sistema::Fecha::Crear(2024, 2, 29));
    EXPECT_FALSE(sistema::Fecha::Crear(2023, 2, 29));
    EXPECT_FALSE(sistema::Fecha::Crear(1900, 2, 29));
    EXPECT_TRUE(sistema::Fecha::Crear(2000, 2, 29));
    EXPECT_FALSE(sistema::Fecha::Crear(1994, 4, 31));
    EXPECT_FALSE(sistema::Fecha::Crear(1994, 13, 1));
    EXPECT_FALSE(sistema::Fecha::Crear(1994, 0, 1));
    EXPECT_FALSE(sistema::Fecha::Crear(0, 1, 1));

    sistema::Fecha cero;
    auto d5 = *sistema::Fecha::Crear(1994, 11, 5);
    auto d6 = *sistema::Fecha::Crear(1994, 11, 6);
    auto enero = *sistema::Fecha::Crear(1995, 1, 1);
    EXPECT_LT(cero, *sistema::Fecha::Crear(1, 1, 1));
    EXPECT_LT(d5, d6);
    EXPECT_LT(d6, enero);
    EXPECT_EQ(d6, *sistema::Fecha::Crear(1994, 11, 6));
}

TEST(Ficheros, TemporalUnicoCarpetasYRenombrado) {
    Directorio dir;
    auto a = sistema::GetTempFileNameA(dir.Ruta(), "zkD");
    auto b = sistema::GetTempFileNameA(dir.Ruta(), "zkD");
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(a->rfind(dir.Ruta() + "/zkD", 0), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(a->c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(sistema::GetTempFileNameA(dir.En("no existe"), "zkD"));

    EXPECT_EQ(sistema::ObtenerCarpeta(dir.En("Morvane.zip")), dir.Ruta());
    EXPECT_EQ(sistema::ObtenerCarpeta("/Morvane.zip"), "/");
    char actual[4096];
    ASSERT_TRUE(::getcwd(actual, sizeof actual));
    EXPECT_EQ(sistema::ObtenerCarpeta("Morvane.zip"), actual);

    Escribir(*a, "nuevo");
    Escribir(*b, "viejo");
    EXPECT_TRUE(sistema::Renombrar(*a, *b));
    EXPECT_FALSE(sistema::Existe(*a));
    EXPECT_EQ(Leer(*b), "nuevo");
    EXPECT_TRUE(sistema::Borrar(*b));
    EXPECT_FALSE(sistema::Borrar(*b));
}

// A named temporary file of a download whose process died in the middle; its path.
std::string TemporalDeProcesoMuerto(const std::string& carpeta) {
    int tubo[2];
    if (::pipe(tubo) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto* temporal = new sistema::FicheroTemporal(carpeta, "zkD", sistema::Disco::Real(), false);  // never destroyed
        temporal->Anadir("a medias", 8);
        const std::string ruta = temporal->Ruta();
        (void)!::write(tubo[1], ruta.data(), ruta.size());
        ::_exit(0);
    }
    ::close(tubo[1]);
    std::string ruta;
    char c;
    while (pid > 0 && ::read(tubo[0], &c, 1) == 1) ruta += c;
    ::close(tubo[0]);
    if (pid > 0) prueba::Esperar(pid);
    return ruta;
}

// Whether files in `carpeta` can carry the mark the sweep looks for.
bool AdmiteMarcas(const std::string& carpeta) {
    const std::string prueba = carpeta + "/marca";
    Escribir(prueba, "");
    const bool admite = ::setxattr(prueba.c_str(), "user.prueba", "1", 1, 0) == 0;
    ::unlink(prueba.c_str());
    return admite;
}

// Both ways of making a download's temporary file: the sweep removes what a dead writer
// left, never a live writer's file nor anything else, and the archive gets the usual mode.
// A user's own files with names of the same form are not the sweep's: they stay.
TEST(Ficheros, TemporalDeDescargaBarridoYColocado) {
    const mode_t umaskAnterior = ::umask(027);
    for (bool sinNombre : {true, false}) {
        SCOPED_TRACE(sinNombre ? "sin nombre" : "con nombre");
        Directorio dir;
        for (const char* ajeno : {"zkD-notas.txt", "zkDabcdefg", "objetivo", "zkDAAAAAA",
                                  "zkDDDDDD7", "zkDab12CD"})
            Escribir(dir.En(ajeno), "x");
        ASSERT_EQ(::symlink("objetivo", dir.En("zkDenlace").c_str()), 0);
        const std::string muerto = TemporalDeProcesoMuerto(dir.Ruta());
        ASSERT_TRUE(sistema::Existe(muerto)) << muerto;

        sistema::FicheroTemporal vivo(dir.Ruta(), "zkD", sistema::Disco::Real(), sinNombre);
        ASSERT_TRUE(vivo.Abierto());
        // Where no file can be marked, nothing can be proved ours: the sweep leaves it.
        EXPECT_EQ(sistema::Existe(muerto), !AdmiteMarcas(dir.Ruta()));
        sistema::Borrar(muerto);
        EXPECT_EQ(vivo.Ruta().empty(), sinNombre);
        EXPECT_EQ(dir.Temporales().size(), sinNombre ? 6u : 7u);  // the six foreign ones stay
        {
            sistema::FicheroTemporal otro(dir.Ruta(), "zkD", sistema::Disco::Real(), sinNombre);  // sweeps again
            ASSERT_TRUE(otro.Abierto());
            EXPECT_TRUE(sinNombre || sistema::Existe(vivo.Ruta()));
        }
        ASSERT_TRUE(vivo.Anadir("nuevo", 5));
        ASSERT_TRUE(vivo.Colocar(dir.En("Morvane.zip")));
        EXPECT_EQ(Leer(dir.En("Morvane.zip")), "nuevo");
        struct stat st {};
        ASSERT_EQ(::stat(dir.En("Morvane.zip").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
        EXPECT_EQ(dir.Temporales().size(), 6u);
        EXPECT_EQ(sistema::BarrerTemporales(dir.Ruta(), "zkD"), 0u);
    }
    ::umask(umaskAnterior);
}

TEST(Ficheros, FechaDeModificacionEnHoraLocal) {
    Directorio dir;
    std::string f = dir.En("Morvane.exe");
    Escribir(f, "x");
    prueba::FijarFecha(f, prueba::HoraLocal(1994, 11, 5, 23, 59));  // whatever the zone
    auto fh = sistema::FechaModificacion(f);
    ASSERT_TRUE(fh);
    EXPECT_EQ(fh->Dia, *sistema::Fecha::Crear(1994, 11, 5));
    EXPECT_EQ(fh->Hora, 23);
    EXPECT_EQ(fh->Minuto, 59);

    ASSERT_TRUE(sistema::TocarFichero(f));
    EXPECT_GT(sistema::FechaModificacion(f)->Dia, fh->Dia);
    EXPECT_FALSE(sistema::FechaModificacion(dir.En("falta")));
    EXPECT_FALSE(sistema::TocarFichero(dir.En("falta")));
}

TEST(Aplicacion, DirectorioPropio) {
    std::string real = sistema::App_Path();
    ASSERT_FALSE(real.empty());
    EXPECT_NE(real.back(), '/');
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    EXPECT_EQ(real, sistema::ObtenerCarpeta(exe));
}

TEST(Procesos, ResuelveSinShellYConDirectorio) {
    Directorio app, otro;
    // The same name in the application directory (this program's) and on PATH: the
    // application one wins.
    const std::string nombre = "herramienta-" + std::to_string(::getpid());
    const std::string propia = sistema::Unir(sistema::App_Path(), nombre);
    Escribir(propia, "#!/bin/sh\npwd > salida; printf '%s|' \"$@\" >> salida\n", true);
    Escribir(otro.En(nombre), "#!/bin/sh\necho equivocada > salida\n", true);
    std::string pathViejo = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (otro.Ruta() + ":" + pathViejo).c_str(), 1);

    auto pid = sistema::IniciarProceso(nombre, {"-d", "a b;touch x", "$HOME"}, otro.Ruta());
    ::setenv("PATH", pathViejo.c_str(), 1);
    const auto fin = pid ? EsperarFin(*pid) : sistema::EstadoProceso::Fallido;
    ::unlink(propia.c_str());
    ASSERT_TRUE(pid);
    EXPECT_EQ(fin, sistema::EstadoProceso::Terminado);
    EXPECT_EQ(Leer(otro.En("salida")), otro.Ruta() + "\n-d|a b;touch x|$HOME|");
    EXPECT_FALSE(sistema::Existe(otro.En("x")));

    // An exact path with blanks is one program, not a command line to split.
    Escribir(app.En("Morvane.exe"), "#!/bin/sh\nexit 3\n", true);
    pid = sistema::IniciarProceso(app.Ruta() + "/Morvane.exe", {});
    ASSERT_TRUE(pid);
    EXPECT_EQ(EsperarFin(*pid), sistema::EstadoProceso::Fallido);

    EXPECT_FALSE(sistema::IniciarProceso("no-existe-en-ninguna-parte", {}));
    EXPECT_FALSE(sistema::IniciarProceso(app.En("no existe"), {}));
    Escribir(app.En("sin permiso"), "#!/bin/sh\n");
    ::chmod(app.En("sin permiso").c_str(), 0644);
    EXPECT_FALSE(sistema::IniciarProceso(app.En("sin permiso"), {}));
}

// The token a network wait polls: readable from the moment it is activated, from any
// thread, until it is reset; a sleep on it ends then.
TEST(Cancelacion, SuDescriptorSeLeeMientrasEstaActiva) {
    sistema::Cancelacion c;
    ASSERT_GE(c.Descriptor(), 0);
    const auto legible = [&] {
        pollfd p{c.Descriptor(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(c.Activa());
    EXPECT_FALSE(legible());
    EXPECT_TRUE(c.Dormir(1));
    std::thread([&] { c.Activar(); }).join();
    EXPECT_TRUE(c.Activa());
    EXPECT_TRUE(legible());
    EXPECT_FALSE(c.Dormir(60000));
    c.Activar();  // twice is once
    c.Reiniciar();
    EXPECT_FALSE(c.Activa());
    EXPECT_FALSE(legible());
}

}  // namespace
