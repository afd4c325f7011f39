#include "aplicacion.h"

#include <QApplication>
#include <QIcon>

#include <csignal>

#include "Form1.h"
#include "internet.h"

// An ignored SIGCHLD, inherited from whoever started us, would let the kernel reap the
// unzip tool before its exit status is read, and a good install would look failed.
void PrepararProceso() { std::signal(SIGCHLD, SIG_DFL); }

int EjecutarActualizador(int argc, char** argv) {
    PrepararProceso();
    internet::BibliotecaInternet biblioteca;
    QApplication aplicacion(argc, argv);
    Form1 ventana;
    QApplication::setWindowIcon(ventana.windowIcon());
    ventana.show();
    return QApplication::exec();
}
