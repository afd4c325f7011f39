// Installing a downloaded release so that the product is never left half old, half new.
//
// The archive is unpacked aside, in a private staging directory inside the installation
// directory (same file system), by the installation directory's own unzip tool. Only when
// the tool has succeeded is a journal written (the files to place, made durable), and only
// then is each unpacked file renamed over the one it replaces, the old one being kept in
// the staging directory until the whole release is in place. A failure before the first
// rename leaves the installation directory exactly as it was; an interruption after it is
// finished or undone from the journal at the next start (Recuperar).
//
// Only the user who owns the installation directory installs or recovers there, and only
// while no one else can write into it or into any directory the install writes into:
// whoever could would otherwise choose what we write, remove or make executable (the same
// rule as OpenSSH's StrictModes). A staging directory or journal that is not ours in
// every respect (owner, mode, a real directory or file, its checksum, paths that stay
// inside) is never acted on. Every path of the install is resolved beneath the
// installation directory's descriptor without following a symlink.
//
// The installation directory is locked (flock on a lock file of the owner's, mode 0600)
// for the whole install and for the recovery, so a second updater never touches what a
// live one is writing, and no other user can hold the lock.
//
// No Qt and nothing of the window: failures come back as std::error_code, either an errno
// value (ENOSPC, EACCES, ...) or one of this module's own reasons (Error).
//
// Nothing here throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "debajo.h"
#include "disco.h"

namespace instalacion {

// The reasons of this module's own; any other failure is an errno value.
enum class Error {
    HerramientaAusente = 1,  // no executable unzip tool in the installation directory
    HerramientaFallida,      // the unzip tool did not exit with success
    Cancelada,               // the caller asked to stop the unpack
    Ocupada,                 // another process holds the installation directory
    ArchivoAusente,          // no archive to install
    NombreNoValido,          // the release holds a name that cannot be placed safely
    DiarioIlegible,          // a journal is there but cannot be read: nothing was touched
    OtroPropietario,         // the installation directory belongs to another user
    EscribiblePorOtros,      // another user may write where the install would write
    PreparacionAjena,        // a staging directory, journal or lock that is not ours
    EnlaceSimbolico,         // the install would have to write through a symlink
};
const std::error_category& Categoria();
std::error_code make_error_code(Error e);

// What the install works on. The defaults are the product's own names and the unzip
// tool's command line.
struct Entorno {
    std::string Carpeta;  // the installation directory
    std::string Archivo = "Morvane.zip";
    std::string Herramienta = "Kelunzip";
    std::vector<std::string> Argumentos = {"-d", "-o", "Morvane.zip"};
    std::string Producto = "Morvane.exe";  // its date is set once the release is in place
    // Files of our own placed with the release, as if the archive held them (the installed
    // release's record): a name in the installation directory, and the content.
    std::vector<std::pair<std::string, std::string>> Anadidos;
    // How long to wait for another process's lock before giving up with Error::Ocupada.
    std::chrono::milliseconds EsperaCerrojo{2000};
    // Every sync, link, rename, removal and directory made in the installation directory
    // goes through it, so that a test sees this install's own, in order. The real disk by
    // default.
    sistema::Disco Disco;
    // Run on the unpacked release (the path of its directory) before anything of it is
    // placed: an error stops the install there, the product as it was. A release made of
    // some entries only is checked against its signed index here.
    std::function<std::error_code(const std::string& desempaquetado, std::string* detalle)> Verificar;
};

// Names of the staging directory and of the lock files inside the installation directory.
extern const char* const kPreparacion;
extern const char* const kCerrojo;
extern const char* const kTurno;

// The turn of a whole unattended update (check, download, install), held for the life of
// the object: a second one started meanwhile waits for it, then judges the product afresh,
// instead of downloading the same release and failing on the install's lock. The window
// does not take it, so it is never kept waiting by a run in the background.
class Turno {
public:
    // Waits for as long as another holds the turn; fails at once (OtroPropietario, ...)
    // where this user may not install at all.
    std::error_code Tomar(const Entorno& entorno, std::string* detalle = nullptr);

private:
    sistema::Descriptor fd_;
};

// Where a failure can name what caused it (a path, its owner and mode), it is written
// into `detalle` when one is given; otherwise `detalle` is left empty.

// Whether this process may install here at all, looked at before anything is downloaded:
// the directory is this user's and no one else's to write, its unzip tool is there and
// executable (and no one else's to change), and no staging, journal or lock that is not
// ours blocks the install. Touches nothing.
std::error_code Comprobar(const Entorno& entorno, std::string* detalle = nullptr);

// Called over and over while the unzip tool runs; it waits a short while itself (serving
// a window, for instance) and returns false to cancel the unpack. Empty: a short sleep.
using Atender = std::function<bool()>;

// Installs `Archivo` of `Carpeta`. Leftovers of an earlier install are dealt with first
// (as Recuperar). On success the release is in place, the product's date is now, and the
// archive, the staging directory and the journal are gone. On a failure before anything
// was placed (every failure of the tool, a cancel, a full disk) the installation directory
// is as before, and the staging directory and the archive are removed.
// `colocados`, when given, receives how many files of the release were placed.
std::error_code Instalar(const Entorno& entorno, const Atender& atender = {},
                         std::string* detalle = nullptr, size_t* colocados = nullptr);

// What a recovery found and did.
enum class Recuperacion {
    Nada,      // no install had been interrupted
    Limpieza,  // interrupted before anything was placed: leftovers removed
    Adelante,  // the release was complete: placing finished
    Atras,     // the old release was put back
};

// Run at every start, before anything else looks at the product: finishes or undoes an
// interrupted install from its journal and removes what is left over. For a user who does
// not own the directory it does nothing and says OtroPropietario.
std::error_code Recuperar(const Entorno& entorno, Recuperacion* hecho = nullptr,
                          std::string* detalle = nullptr);

}  // namespace instalacion

template <>
struct std::is_error_code_enum<instalacion::Error> : std::true_type {};
