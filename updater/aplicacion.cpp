#include "aplicacion.h"

#include <QApplication>
#include <QIcon>

#include "Form1.h"
#include "internet.h"

int EjecutarActualizador(int argc, char** argv) {
    internet::BibliotecaInternet biblioteca;
    QApplication aplicacion(argc, argv);
    Form1 ventana;
    QApplication::setWindowIcon(ventana.windowIcon());
    ventana.show();
    return QApplication::exec();
}
