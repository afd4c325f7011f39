// The temporary file a download body is written into, beside its destination.
//
// Where the file system allows it the file has no name at all until it is complete, so
// nothing of it can outlive the process, however the process ends. Elsewhere it gets a
// name "<prefix>XXXXXX" and holds an exclusive lock on it for its whole life; a later
// download sweeps away the named files whose lock can be taken, since their writer is gone.
// Every such file is marked as ours when it is made (an extended attribute), and the sweep
// removes nothing unmarked: a user's file that merely has a name of that form stays.
// The archive put in place gets the mode any new file gets (0666 less the umask).
//
// The file's syncs, its link and its rename go through the Disco it is given. A failed call
// keeps its reason (Error): errno in std::generic_category, or the Disco's own.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "disco.h"

namespace sistema {

class FicheroTemporal {
public:
    // Sweeps `carpeta` (see BarrerTemporales), then creates the file there. Abierto()
    // tells whether that worked, Error() why not. With `sinNombre` false the file gets its
    // name from the start, as on file systems that cannot make a file without one.
    FicheroTemporal(const std::string& carpeta, const std::string& prefijo, const Disco& disco,
                    bool sinNombre = true);
    ~FicheroTemporal();  // Descartar, unless the file has been put in place
    FicheroTemporal(const FicheroTemporal&) = delete;
    FicheroTemporal& operator=(const FicheroTemporal&) = delete;

    bool Abierto() const;

    // Appends bytes; false when they could not be written (the file is then useless).
    bool Anadir(const char* datos, size_t n);

    // Makes the file durable and puts it in place of `destino`, which must be in the
    // directory given at creation. False when any of it failed: the destination is then as
    // it was and the file is left to Descartar.
    bool Colocar(const std::string& destino);

    // Closes the file and removes it, unless it has been put in place.
    void Descartar() noexcept;

    // Why the creation, or the last Anadir or Colocar that returned false, failed (a full
    // disk at the final sync reads as ENOSPC); empty while nothing has failed.
    std::error_code Error() const { return error_; }

    // The file's path while it has a name; empty while it has none.
    const std::string& Ruta() const { return ruta_; }

    // The open file, for its metadata or mode (never for writing: that is Anadir); -1 when
    // it is not open.
    int Descriptor() const { return fd_; }

private:
    bool sinNombre_;
    bool AbrirSinNombre();
    bool AbrirConNombre();
    bool Vaciar();
    // Writes straight to the file, counting what went and starting its writeback.
    bool Escribir(const char* datos, size_t n);
    void AdelantarEscritura() noexcept;
    bool EscribirTodo(const char* datos, size_t n);

    // Records why a call failed: `e`, or errno when `e` is empty; returns false.
    bool Fallar(std::error_code e = {}) noexcept;

    Disco disco_;
    std::error_code error_;
    std::string carpeta_, prefijo_, ruta_;
    std::unique_ptr<char[]> buffer_;
    size_t usado_ = 0;
    uint64_t escritos_ = 0;  // bytes handed to the kernel
    uint64_t enviados_ = 0;  // of those, bytes whose writeback has been started
    int fd_ = -1;
    bool colocado_ = false;
};

// Removes from `carpeta` the files named "<prefijo>" plus six letters or digits that this
// user's downloads made (owned by the effective user, carrying the mark) and whose writer
// has gone (their lock can be taken); never one a live process is still writing, never
// anyone else's file.
// Returns how many it removed.
size_t BarrerTemporales(const std::string& carpeta, const std::string& prefijo);

}  // namespace sistema
