#include "aplicacion.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "Form1.h"
#include "instalacion.h"
#include "internet.h"
#include "sistema.h"
#include "terminal.h"

#if !defined(MORVANE_PROGRAMA) || !defined(MORVANE_VERSION)
#error "MORVANE_PROGRAMA and MORVANE_VERSION name the program and its version"
#endif

namespace {

constexpr const char* kUso =
    "Uso: " MORVANE_PROGRAMA " [--check | --update] [--quiet] | --help | --version\n";

void Ayuda() {
    std::printf("%s\n"
                "Actualizador de Morvane. Pregunta al servidor de actualizaciones por la fecha\n"
                "de Morvane.zip (%s),\n"
                "la compara con la de Morvane.exe y, si hay una versión más nueva, la descarga,\n"
                "la descomprime con Kelunzip y, al cerrar la ventana, inicia Morvane.exe.\n"
                "\n"
                "Debe estar en el directorio de instalación de Morvane, junto a Morvane.exe y\n"
                "Kelunzip: es el directorio en que trabaja.\n"
                "\n"
                "Sin ventana (no necesitan pantalla):\n"
                "  --check   comprueba si hay una actualización y lo dice en la salida estándar;\n"
                "            termina con 0 si no la hay, 100 si la hay, 1 si no pudo comprobarlo\n"
                "  --update  comprueba y, si la hay, descarga e instala la actualización sin\n"
                "            iniciar Morvane.exe; termina con 0 si Morvane queda al día, 1 si falla\n"
                "  --quiet   con --check o --update: en stderr solo los errores y el registro\n"
                "El progreso va a stderr; los errores de uso terminan con 2.\n"
                "\n"
                "Entorno:\n"
                "  http_proxy, https_proxy  proxy de las peticiones http y https\n"
                "  no_proxy                 servidores a los que se llega sin proxy\n"
                "  MORVANE_UPDATE_VERBOSE=1 añade la traza de libcurl a stderr\n",
                kUso, URLActualizacion);
}

// What the arguments ask for: an exit code when they end the program before any work, a
// headless order, or nothing (the window).
struct Peticion {
    std::optional<int> codigo;
    std::optional<terminal::Opciones> sinVentana;
};

int ErrorDeUso(const char* argumento) {
    if (argumento)
        std::fprintf(stderr, "%s: argumento no reconocido: %s\n", MORVANE_PROGRAMA, argumento);
    std::fputs(kUso, stderr);
    return 2;
}

Peticion AtenderArgumentos(int argc, char** argv) {
    if (argc <= 1) return {};
    const std::string_view opcion = argv[1];
    if (argc == 2 && opcion == "--version") {
        std::printf("%s %s\n", MORVANE_PROGRAMA, MORVANE_VERSION);
        return {0, {}};
    }
    if (argc == 2 && opcion == "--help") {
        Ayuda();
        return {0, {}};
    }
    // --check or --update, once, and --quiet at most once, in any order.
    std::optional<terminal::Orden> orden;
    bool silencioso = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if ((a == "--check" || a == "--update") && !orden)
            orden = a == "--check" ? terminal::Orden::Comprobar : terminal::Orden::Actualizar;
        else if (a == "--quiet" && !silencioso)
            silencioso = true;
        else if (a == "--check" || a == "--update" || a == "--quiet")
            return {ErrorDeUso(nullptr), {}};
        else
            return {ErrorDeUso(argv[i]), {}};
    }
    if (!orden) return {ErrorDeUso(nullptr), {}};
    terminal::Opciones o;
    o.orden = *orden;
    o.silencioso = silencioso;
    o.programa = MORVANE_PROGRAMA;
    return {std::nullopt, o};
}

bool Definida(const char* variable) {
    const char* valor = std::getenv(variable);
    return valor && *valor;
}

// An install interrupted last time (power cut, kill) is finished or undone before anything
// looks at the product. While another updater is installing, this one leaves at once.
std::optional<int> RecuperarInstalacion(const sesion::Entorno& e, bool sinVentana) {
    instalacion::Entorno entorno;
    entorno.Carpeta = e.Carpeta;
    entorno.Disco = e.Disco;
    std::string detalle;
    const std::error_code error = instalacion::Recuperar(entorno, nullptr, &detalle);
    if (error == instalacion::Error::Ocupada) {
        std::fprintf(stderr, "%s: La actualización ya se está instalando.\n", MORVANE_PROGRAMA);
        // A script cannot tell the product current yet; the window has nothing to show.
        return sinVentana ? 1 : 0;
    }
    // Someone else's installation: nothing of it is ours to recover, and the check says
    // so when an update exists.
    if (error == instalacion::Error::OtroPropietario) return std::nullopt;
    if (error) std::fprintf(stderr, "%s: instalación interrumpida: %s%s%s\n", MORVANE_PROGRAMA,
                            error.message().c_str(), detalle.empty() ? "" : ": ", detalle.c_str());
    return std::nullopt;
}

// Started with stdout or stderr closed (`>&- 2>&-`, some daemons), the next descriptor
// opened would take its number: the signal pipe or the archive would receive the log
// lines. /dev/null holds those numbers instead.
void AbrirSalidasCerradas() {
    int fd;
    do {
        fd = ::open("/dev/null", O_RDWR);  // inherited: the unzip tool gets them too
    } while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd > STDERR_FILENO) ::close(fd);
}

}  // namespace

// An ignored SIGCHLD, inherited from whoever started us, would let the kernel reap the
// unzip tool before its exit status is read, and a good install would look failed.
void PrepararProceso() { std::signal(SIGCHLD, SIG_DFL); }

int EjecutarActualizador(int argc, char** argv, const sesion::Entorno& entornoSesion) {
    AbrirSalidasCerradas();
    const Peticion peticion = AtenderArgumentos(argc, argv);
    if (peticion.codigo) return *peticion.codigo;
    // Without any display the window could not open (Qt would abort): one line instead.
    if (!peticion.sinVentana && !Definida("DISPLAY") && !Definida("WAYLAND_DISPLAY") &&
        !Definida("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "%s: no hay pantalla; sin ella, use --check para comprobar o --update "
                     "para actualizar\n",
                     MORVANE_PROGRAMA);
        return 1;
    }
    PrepararProceso();
    // Two unattended updates at once: the second waits here for the first to end (a
    // termination signal still ends it at once), then judges the product afresh. Where
    // this user may not install, the check says so.
    instalacion::Turno turno;
    if (peticion.sinVentana && peticion.sinVentana->orden == terminal::Orden::Actualizar) {
        instalacion::Entorno entorno;
        entorno.Carpeta = entornoSesion.Carpeta;
        entorno.Disco = entornoSesion.Disco;
        turno.Tomar(entorno);
    }
    if (const std::optional<int> codigo = RecuperarInstalacion(entornoSesion, peticion.sinVentana.has_value())) return *codigo;

    const char* traza = std::getenv("MORVANE_UPDATE_VERBOSE");
    internet::EstablecerTrazaCurl(traza && *traza && std::string_view(traza) != "0");
    if (peticion.sinVentana) {
        internet::BibliotecaInternet biblioteca;
        return terminal::Ejecutar(*peticion.sinVentana, entornoSesion);
    }
    int senal = 0;
    int codigo = 0;
    {
        internet::BibliotecaInternet biblioteca;
        // Before any window exists: the desktop file names the window's icon and its entry.
        QGuiApplication::setDesktopFileName(QStringLiteral(MORVANE_PROGRAMA));
        QApplication aplicacion(argc, argv);
        QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
        Form1 ventana(entornoSesion);
        QApplication::setWindowIcon(ventana.windowIcon());

        // A termination signal closes the window the way its own flows expect; the event
        // loop ends once the flow running at that moment has wound up and the window closed.
        sistema::AvisoDeTerminacion aviso;
        std::optional<QSocketNotifier> notificador;
        if (aviso.Descriptor() >= 0) {
            notificador.emplace(aviso.Descriptor(), QSocketNotifier::Read);
            QObject::connect(&*notificador, &QSocketNotifier::activated, &ventana, [&] {
                while (const int s = aviso.Leer()) senal = s;
                if (senal == 0) return;
                ventana.TerminarPorSenal();
            });
        }

        ventana.show();
        codigo = QApplication::exec();
    }
    if (senal != 0) sistema::FinalizarConSenal(senal);
    return codigo;
}
