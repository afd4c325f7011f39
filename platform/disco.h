// The disk operations whose order makes a file or an install survive a crash: syncing a
// file, syncing a directory, linking and renaming. They go through here so that a test can
// see them in order, and can stop the process (or fail the call) at any one of them.
//
// Nothing here throws. Failures carry their reason.
#pragma once

#include <functional>
#include <string>
#include <system_error>
#include <utility>

namespace sistema {

enum class OperacionDisco { Sincronizar, SincronizarCarpeta, Enlazar, Renombrar, Borrar, CrearCarpeta };

// Called before each operation with its kind and the path it is about (for a rename or a
// link, the destination). A non-empty result fails the operation with that reason instead
// of performing it.
using TestigoDisco = std::function<std::error_code(OperacionDisco, const std::string& ruta)>;

// The disk as whoever writes an install or a download sees it, passed in as SQLite passes
// its VFS: the program uses Disco::Real(); a test builds one with a witness. Copies share
// nothing but the witness they were given; calls may come from any thread.
class Disco {
public:
    Disco() = default;
    explicit Disco(TestigoDisco testigo) : testigo_(std::move(testigo)) {}
    static const Disco& Real();

    // fsync of an open file; `ruta` only names it for the witness (the name it will take).
    // A file system that cannot sync (EINVAL) counts as success.
    std::error_code SincronizarFichero(int fd, const std::string& ruta) const;
    // fsync of a directory, so that the names created, renamed or removed in it last.
    std::error_code SincronizarCarpeta(const std::string& carpeta) const;
    std::error_code EnlazarFichero(const std::string& origen, const std::string& destino) const;
    std::error_code RenombrarFichero(const std::string& origen, const std::string& destino) const;
    std::error_code BorrarFichero(const std::string& ruta) const;

    // The same beneath open directories: each name is one component inside the descriptor's
    // directory, never followed if it is a symlink; `ruta` names the object for the witness
    // (for a link or a rename, the destination).
    std::error_code SincronizarCarpeta(int fd, const std::string& ruta) const;
    std::error_code EnlazarEn(int dirOrigen, const std::string& origen, int dirDestino,
                              const std::string& destino, const std::string& ruta) const;
    std::error_code RenombrarEn(int dirOrigen, const std::string& origen, int dirDestino,
                                const std::string& destino, const std::string& ruta) const;
    std::error_code BorrarEn(int dir, const std::string& nombre, const std::string& ruta) const;
    // An empty directory; the witness sees it as a removal.
    std::error_code BorrarCarpetaEn(int dir, const std::string& nombre, const std::string& ruta) const;
    std::error_code CrearCarpetaEn(int dir, const std::string& nombre, unsigned modo,
                                   const std::string& ruta) const;

private:
    std::error_code Avisar(OperacionDisco operacion, const std::string& ruta) const;
    TestigoDisco testigo_;
};

}  // namespace sistema
