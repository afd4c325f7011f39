// The zip of just the entries that changed, made from the bytes fetched for them.
//
// The entries' bytes (local header through data descriptor) are written as fetched, one
// after another, into a new file; then the records of those entries from the fetched
// central directory, with their local header offsets rewritten, and an end record. Each
// entry's bytes are checked against the index's digest as soon as the last of them is in,
// and the directory's before any record is taken from it, so the file is only ever made
// of signed bytes; any failure removes it (as does destroying the object before Terminar
// succeeded). Unzip then unpacks it like a whole archive.
//
// Bytes may come in any runs, in any order of runs: those of the selected entries and of
// the central directory are kept, the rest (a gap merged into a range) dropped. Within an
// entry they are taken in order; a run that skips ahead of what an entry has leaves the
// entry wanting (Pendientes says what to ask for again, for a resumed request), and a run
// that goes back over bytes already taken is taken from where the entry stands.
//
// Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "debajo.h"
#include "errores.h"
#include "firma.h"
#include "indice.h"

namespace parcial {

class Ensamblador {
public:
    // For the entries `seleccion` (positions in indice.Entradas; folders are skipped). The
    // index must outlive the object.
    Ensamblador(const firma::Indice& indice, std::vector<std::size_t> seleccion);
    ~Ensamblador();
    Ensamblador(const Ensamblador&) = delete;
    Ensamblador& operator=(const Ensamblador&) = delete;

    // Creates `nombre` in the directory `carpeta` (never over an existing file, never
    // through a symlink).
    std::error_code Abrir(const std::string& carpeta, const std::string& nombre);
    // `n` bytes of the archive starting at `inicio` (LectorRespuesta's receptor).
    // Error::RangoAlterado when an entry completed with another digest: the object is
    // then spent, its file removed.
    std::error_code Recibir(uint64_t inicio, const unsigned char* datos, std::size_t n);
    // The index the bytes are checked against.
    const firma::Indice& Archivo() const { return indice_; }
    // The ranges of the archive still wanted, in order.
    std::vector<firma::Rango> Pendientes() const;
    // Every entry and the directory in and checked: writes the directory's records and the
    // end record and syncs the file. Error::Incompleta while bytes are missing (nothing is
    // removed, more may come); any other failure removes the file.
    std::error_code Terminar();

private:
    struct Pieza {
        std::size_t Entrada;
        uint64_t Salida;     // where it goes in the new file
        uint64_t Tomados = 0;
        bool Comprobada = false;
    };

    std::error_code Fallar(std::error_code e);
    std::error_code Escribir(uint64_t donde, const unsigned char* datos, std::size_t n);
    std::error_code Tomar(Pieza& pieza, std::size_t cual, uint64_t inicio, const unsigned char* datos,
                          std::size_t n);

    const firma::Indice& indice_;
    std::vector<Pieza> piezas_;  // in the archive's order
    std::string directorio_;     // the fetched central directory, as far as it came
    uint64_t finEntradas_ = 0;   // where the directory starts in the new file
    std::size_t enCurso_ = static_cast<std::size_t>(-1);  // the piece the digest is of
    firma::Sha256 sha_;
    sistema::Descriptor carpeta_;
    sistema::Descriptor fichero_;
    std::string nombre_;
    bool terminado_ = false;
    std::error_code error_;
};

}  // namespace parcial
