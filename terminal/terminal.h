// The headless front-end: --check and --update without any display. A second observer of
// the update session; it prints progress on stderr and the verdict on stdout, and answers
// with the package manager's exit codes. No Qt is involved.
//
// Progress on a terminal that can redraw (a tty whose TERM is set and not "dumb") is one
// line redrawn in place, cut to the terminal's width as it is at each redraw; anywhere
// else it is one plain line per stage, without control characters.
#pragma once

#include "sesion.h"

namespace terminal {

enum class Orden { Comprobar, Actualizar };

struct Opciones {
    Orden orden = Orden::Comprobar;
    bool silencioso = false;  // only errors on stderr (the log lines stay)
    const char* programa = "morvane-update";  // names the program in error lines
};

// Exit codes.
inline constexpr int kAlDia = 0;         // --check: no update; --update: current now
inline constexpr int kHayActualizacion = 100;  // --check only
inline constexpr int kFallo = 1;

// Runs the order against `entorno` and returns the exit code. A termination signal
// (SIGTERM, SIGHUP, SIGINT) cancels a check or download (a running install is let finish)
// and then ends the process by that signal. Never starts the product. The HTTP library
// must be set up by the caller.
int Ejecutar(const Opciones& opciones, sesion::Entorno entorno);

}  // namespace terminal
