// The program's body, callable from main() and from a benchmark that runs the same code.
#pragma once

#include "sesion.h"

// Answers --version and --help on stdout and a wrong argument with the usage on stderr
// (exit 2), all before the GUI exists: no display is needed and nothing is fetched.
// --check and --update [--quiet] run the terminal front-end, which never touches the GUI.
// With no arguments, sets up the HTTP library and the GUI, shows the window and runs until
// it closes; with no display at all, says so in one line and returns 1. Works on
// `entorno`: the program's install directory, URL and key, unless a test gives others.
int EjecutarActualizador(int argc, char** argv, const sesion::Entorno& entorno = sesion::EntornoDelProceso());

// Puts back the process-wide settings the updater relies on that a parent may have changed
// (SIGCHLD at its default disposition, so the exit of a child can be read). Called first
// by EjecutarActualizador.
void PrepararProceso();
