// The program's body, callable from main() and from a benchmark that runs the same code.
#pragma once

// Sets up the HTTP library and the GUI, shows the window and runs until it closes. Takes
// no options of its own: argc and argv go only to the GUI toolkit.
int EjecutarActualizador(int argc, char** argv);

// Puts back the process-wide settings the updater relies on that a parent may have changed
// (SIGCHLD at its default disposition, so the exit of a child can be read). Called first
// by EjecutarActualizador.
void PrepararProceso();
