// Installing a release (unpacked aside, made durable, journalled and put in place) against
// the unzip tool alone unpacking the same archive into an empty directory, in the same run,
// the two alternated. The tool is the demo's Kelunzip (a script over unzip).
//
//   bench_instalacion [MiB] [files] [runs]      (defaults: 256 MiB, 50 files, 3 runs)
//
// Details go to stderr; the figure line is the last line on stdout.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "instalacion.h"
#include "medicion.h"

#ifndef MORVANE_KELUNZIP
#error "MORVANE_KELUNZIP names the demo's unzip tool"
#endif

namespace {

namespace fs = std::filesystem;
using medicion::Reloj;

// `n` files of `bytes` each, of varied content that deflate can shrink somewhat.
bool CrearVersion(const std::string& carpeta, int n, uint64_t bytes) {
    fs::create_directories(carpeta + "/datos");
    std::string bloque(1 << 20, '\0');
    uint64_t x = 88172645463325252ull;
    for (int f = 0; f < n; ++f) {
        const std::string nombre = f == 0 ? "Morvane.exe" : "datos/fichero " + std::to_string(f) + ".dat";
        std::ofstream o(carpeta + "/" + nombre, std::ios::binary | std::ios::trunc);
        for (uint64_t escritos = 0; escritos < bytes && o;) {
            for (size_t i = 0; i < bloque.size(); i += 2) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                bloque[i] = static_cast<char>(x);
                bloque[i + 1] = static_cast<char>(i);
            }
            const uint64_t trozo = std::min<uint64_t>(bloque.size(), bytes - escritos);
            o.write(bloque.data(), static_cast<std::streamsize>(trozo));
            escritos += trozo;
        }
        if (!o.flush()) return false;
    }
    return true;
}

uint64_t Bytes(const std::string& carpeta) {
    uint64_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(carpeta))
        if (e.is_regular_file()) total += e.file_size();
    return total;
}

// The tool alone, in an empty directory holding a link to the archive.
std::optional<double> SoloHerramienta(const std::string& base, const std::string& archivo) {
    const std::string dir = base + "/solo";
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_hard_link(archivo, dir + "/Morvane.zip");
    ::sync();
    const auto t0 = Reloj::now();
    const auto r = prueba::Ejecutar("cd " + prueba::Citar(dir) + " && " +
                                    prueba::Citar(MORVANE_KELUNZIP) + " -d -o Morvane.zip");
    const double t = medicion::Segundos(Reloj::now() - t0);
    fs::remove_all(dir);
    if (r.Estado != 0) return std::nullopt;
    return t;
}

// The whole install over an installed release of the same names.
std::optional<double> Instalacion(const std::string& base, const std::string& archivo,
                                  uint64_t esperados) {
    const std::string dir = base + "/instalada";
    fs::remove_all(dir);
    fs::create_directories(dir + "/datos");
    prueba::Escribir(dir + "/Morvane.exe", "versión 1", true);
    fs::copy_file(MORVANE_KELUNZIP, dir + "/Kelunzip");
    fs::create_hard_link(archivo, dir + "/Morvane.zip");
    ::sync();
    instalacion::Entorno entorno;
    entorno.Carpeta = dir;
    const auto t0 = Reloj::now();
    const std::error_code e = instalacion::Instalar(entorno);
    const double t = medicion::Segundos(Reloj::now() - t0);
    const uint64_t bytes = Bytes(dir) - fs::file_size(dir + "/Kelunzip");
    fs::remove_all(dir);
    if (e || bytes != esperados) {
        std::fprintf(stderr, "install failed: %s (%llu bytes)\n", e.message().c_str(),
                     static_cast<unsigned long long>(bytes));
        return std::nullopt;
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int ficheros = argc > 2 ? std::atoi(argv[2]) : 50;
    const int rondas = argc > 3 ? std::atoi(argv[3]) : 3;
    if (mib == 0 || ficheros < 1 || rondas < 1) {
        std::fprintf(stderr, "usage: bench_instalacion [MiB] [files] [runs]\n");
        return 2;
    }
    // In the temporary directory: it must be a disk, not RAM, for the figure to mean much.
    prueba::DirectorioTemporal base("bench-instalacion ");
    const std::string fuente = base.En("fuente");
    const uint64_t porFichero = (mib << 20) / static_cast<uint64_t>(ficheros);
    if (!CrearVersion(fuente, ficheros, porFichero)) return 1;
    const std::string archivo = base.En("Morvane.zip");
    if (prueba::Ejecutar("cd " + prueba::Citar(fuente) + " && zip -q -1 -r " +
                         prueba::Citar(archivo) + " .").Estado != 0) {
        std::fprintf(stderr, "zip failed\n");
        return 1;
    }
    fs::remove_all(fuente);
    const uint64_t esperados = porFichero * static_cast<uint64_t>(ficheros);

    std::vector<double> solo, instalada;
    for (int r = 0; r < rondas; ++r) {
        const auto a = SoloHerramienta(base.Ruta(), archivo);
        const auto b = Instalacion(base.Ruta(), archivo, esperados);
        if (!a || !b) return 1;
        std::fprintf(stderr, "run %d: unzip tool alone %.2f s, install %.2f s\n", r + 1, *a, *b);
        solo.push_back(*a);
        instalada.push_back(*b);
    }
    const double ts = medicion::Mediana(solo), ti = medicion::Mediana(instalada);
    std::printf("instalación de %llu MiB en %d ficheros (aparte, diario, en su sitio): %.2f s; "
                "Kelunzip solo: %.2f s; %.2fx (objetivo <= 1.2x)\n",
                static_cast<unsigned long long>(mib), ficheros, ti, ts, ti / ts);
    return 0;
}
