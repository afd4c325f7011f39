#include <gtest/gtest.h>

#include "entorno_prueba.h"
#include "internet.h"

int main(int argc, char** argv) {
    prueba::LimpiarProxyDelEntorno();
    internet::BibliotecaInternet biblioteca;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
