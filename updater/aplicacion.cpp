#include "aplicacion.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <optional>

#include "Form1.h"
#include "internet.h"
#include "sistema.h"

int EjecutarActualizador(int argc, char** argv) {
    int senal = 0;
    int codigo = 0;
    {
        internet::BibliotecaInternet biblioteca;
        QApplication aplicacion(argc, argv);
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
