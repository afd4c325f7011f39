#include "aplicacion.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "Form1.h"
#include "instalacion.h"
#include "internet.h"
#include "sistema.h"

#if !defined(MORVANE_PROGRAMA) || !defined(MORVANE_VERSION)
#error "MORVANE_PROGRAMA and MORVANE_VERSION name the program and its version"
#endif

namespace {

constexpr const char* kUso = "Uso: " MORVANE_PROGRAMA " [--help | --version]\n";

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
                "Entorno:\n"
                "  http_proxy, https_proxy  proxy de las peticiones http y https\n"
                "  no_proxy                 servidores a los que se llega sin proxy\n"
                "  MORVANE_UPDATE_VERBOSE=1 añade la traza de libcurl a stderr\n",
                kUso, URLActualizacion);
}

// The exit code when the arguments end the program before the window; nothing when there
// are none and the window should open.
std::optional<int> AtenderArgumentos(int argc, char** argv) {
    if (argc <= 1) return std::nullopt;
    const std::string_view opcion = argv[1];
    if (argc == 2 && opcion == "--version") {
        std::printf("%s %s\n", MORVANE_PROGRAMA, MORVANE_VERSION);
        return 0;
    }
    if (argc == 2 && opcion == "--help") {
        Ayuda();
        return 0;
    }
    std::fprintf(stderr, "%s: argumento no reconocido: %s\n%s", MORVANE_PROGRAMA, argv[1], kUso);
    return 2;
}

// An install interrupted last time (power cut, kill) is finished or undone before anything
// looks at the product. While another updater is installing, this one leaves at once.
std::optional<int> RecuperarInstalacion() {
    instalacion::Entorno entorno;
    entorno.Carpeta = sistema::App_Path();
    const std::error_code error = instalacion::Recuperar(entorno);
    if (error == instalacion::Error::Ocupada) {
        std::fprintf(stderr, "%s: La actualización ya se está instalando.\n", MORVANE_PROGRAMA);
        return 0;
    }
    if (error) std::fprintf(stderr, "%s: instalación interrumpida: %s\n", MORVANE_PROGRAMA,
                            error.message().c_str());
    return std::nullopt;
}

}  // namespace

// An ignored SIGCHLD, inherited from whoever started us, would let the kernel reap the
// unzip tool before its exit status is read, and a good install would look failed.
void PrepararProceso() { std::signal(SIGCHLD, SIG_DFL); }

int EjecutarActualizador(int argc, char** argv) {
    if (const std::optional<int> codigo = AtenderArgumentos(argc, argv)) return *codigo;
    PrepararProceso();
    if (const std::optional<int> codigo = RecuperarInstalacion()) return *codigo;

    const char* traza = std::getenv("MORVANE_UPDATE_VERBOSE");
    internet::EstablecerTrazaCurl(traza && *traza && std::string_view(traza) != "0");
    int senal = 0;
    int codigo = 0;
    {
        internet::BibliotecaInternet biblioteca;
        // Before any window exists: the desktop file names the window's icon and its entry.
        QGuiApplication::setDesktopFileName(QStringLiteral(MORVANE_PROGRAMA));
        QApplication aplicacion(argc, argv);
        QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
        Form1 ventana;
        QApplication::setWindowIcon(ventana.windowIcon());

        // A termination signal closes the window the way its own flows expect; the event
        // loop ends once the flow running at that moment has unwound.
        sistema::AvisoDeTerminacion aviso;
        std::optional<QSocketNotifier> notificador;
        if (aviso.Descriptor() >= 0) {
            notificador.emplace(aviso.Descriptor(), QSocketNotifier::Read);
            QObject::connect(&*notificador, &QSocketNotifier::activated, &ventana, [&] {
                while (const int s = aviso.Leer()) senal = s;
                if (senal == 0) return;
                ventana.TerminarPorSenal();
                QCoreApplication::quit();
            });
        }

        ventana.show();
        codigo = QApplication::exec();
    }
    if (senal != 0) sistema::FinalizarConSenal(senal);
    return codigo;
}
