#include "aplicacion.h"

int main(int argc, char** argv) { return EjecutarActualizador(argc, argv); }
