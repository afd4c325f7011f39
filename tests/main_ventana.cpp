#include <gtest/gtest.h>

#include <QApplication>

#include "entorno_prueba.h"
#include "internet.h"

int main(int argc, char** argv) {
    prueba::LimpiarProxyDelEntorno();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    internet::BibliotecaInternet biblioteca;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
