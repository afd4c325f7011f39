#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "Form1.h"
#include "aplicacion.h"
#include "entorno_prueba.h"
#include "fichero_temporal.h"
#include "internet.h"
#include "sistema.h"

namespace {

int g_tuberia = -1;

// Watches the window from its own event loop: reports each new status on the pipe ('%'
// for the bar, otherwise the text's first byte) and presses "Descargar" once it is offered.
void Vigilar() {
    auto* temporizador = new QTimer(QCoreApplication::instance());
    QObject::connect(temporizador, &QTimer::timeout, [] {
        static char ultimo = 0;
        static bool pulsado = false;
        Form1* f = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* v = dynamic_cast<Form1*>(w)) f = v;
        if (!f) return;
        const std::string l = f->Picture1.Leyenda();
        const char c = l.empty() ? 0 : l.back() == '%' ? '%' : l[0];
        if (c != 0 && c != ultimo) {
            ultimo = c;
            while (::write(g_tuberia, &c, 1) < 0 && errno == EINTR) {
            }
        }
        if (!pulsado && f->btnDescargar.isEnabled()) {
            pulsado = true;
            // From a slot of its own: this timer must keep firing during the download.
            QTimer::singleShot(0, f, [f] { f->btnDescargar.click(); });
        }
    });
    temporizador->start(10);
}

}  // namespace

// `--hijo <fd> <dir> [--con-nombre]`: the updater's own program body with `dir` as its
// application directory, driven by Vigilar; for the tests that signal or kill a running
// updater. `--con-nombre`: temporary files are named from the start.
int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--hijo") {
        g_tuberia = std::atoi(argv[2]);
        qAddPreRoutine(&Vigilar);
        int argcQt = 1;
        sesion::Entorno entorno = sesion::EntornoDelProceso();
        entorno.Carpeta = argv[3];
        entorno.Red.TemporalSinNombre = !(argc > 4 && std::string(argv[4]) == "--con-nombre");
        return EjecutarActualizador(argcQt, argv, entorno);
    }
    prueba::LimpiarProxyDelEntorno();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    internet::BibliotecaInternet biblioteca;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
