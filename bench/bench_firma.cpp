// Checking an update's signature (SHA-256 of the archive read from disk, then the Ed25519
// verification) against `sha256sum` of the same file in the same run; and the peak memory
// of the check, in a fresh process, for a small and a large archive.
//
//   bench_firma [MiB] [runs]      (defaults: 256 MiB, 5 runs)
//
// Details go to stderr; the figure lines are the last lines on stdout.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "firma.h"
#include "medicion.h"

namespace {

using medicion::Reloj;

// Writes `mib` MiB of varied bytes.
bool CrearArchivo(const std::string& ruta, uint64_t mib) {
    std::ofstream f(ruta, std::ios::binary | std::ios::trunc);
    std::string bloque(1 << 20, '\0');
    for (uint64_t m = 0; m < mib && f; ++m) {
        for (size_t i = 0; i < bloque.size(); ++i) bloque[i] = static_cast<char>((i * 131 + m * 7) % 251);
        f.write(bloque.data(), static_cast<std::streamsize>(bloque.size()));
    }
    return static_cast<bool>(f.flush());
}

std::optional<double> Comprobacion(const std::string& archivo, const std::string& firmaTexto) {
    const auto t0 = Reloj::now();
    const auto veredicto = firma::ComprobarArchivo(archivo, firmaTexto);
    const double t = medicion::Segundos(Reloj::now() - t0);
    std::fprintf(stderr, "  comprobación: %.3f s%s\n", t,
                 veredicto == firma::Veredicto::Valida ? "" : " (NO VÁLIDA)");
    if (veredicto != firma::Veredicto::Valida) return std::nullopt;
    return t;
}

std::optional<double> Sha256sum(const std::string& archivo) {
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_addopen(&acciones, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto t0 = Reloj::now();
    const auto pid = prueba::Iniciar({"sha256sum", archivo}, &acciones);
    posix_spawn_file_actions_destroy(&acciones);
    const int estado = pid ? prueba::Esperar(*pid) : -1;
    const double t = medicion::Segundos(Reloj::now() - t0);
    const bool bien = WIFEXITED(estado) && WEXITSTATUS(estado) == 0;
    std::fprintf(stderr, "  sha256sum:    %.3f s%s\n", t, bien ? "" : " (FALLO)");
    if (!bien) return std::nullopt;
    return t;
}

// The check's peak resident memory in KiB, run by this program in a process of its own;
// nothing when it did not end with a valid signature.
std::optional<long> MemoriaMaxima(const std::string& archivo, const std::string& firmaTexto,
                                  const std::string& clave) {
    const auto pid = prueba::Iniciar({"/proc/self/exe", "--comprobar", archivo, firmaTexto, clave});
    if (!pid) return std::nullopt;
    int estado = 0;
    rusage uso{};
    while (::wait4(*pid, &estado, 0, &uso) < 0)
        if (errno != EINTR) return std::nullopt;
    if (!WIFEXITED(estado) || WEXITSTATUS(estado) != 0) return std::nullopt;
    return uso.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--comprobar") {
        firma::SustituirClaveIncorporada(argv[4]);
        return firma::ComprobarArchivo(argv[2], argv[3]) == firma::Veredicto::Valida ? 0 : 1;
    }
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib < 2 || rondas <= 0) {
        std::fprintf(stderr, "uso: bench_firma [MiB >= 2] [rondas]\n");
        return 2;
    }

    prueba::DirectorioTemporal directorio("bench_firma_");
    const std::string grande = directorio.En("Morvane.zip"), pequeno = directorio.En("pequeño.zip");
    if (!CrearArchivo(grande, mib) || !CrearArchivo(pequeno, 1)) {
        std::printf("firma: FALLO (no se pudieron escribir los archivos)\n");
        return 1;
    }
    const std::string clave = prueba::ClaveOpenssl(directorio.En("clave.pem"));
    const std::string firmaGrande = prueba::FirmaOpenssl(directorio.En("clave.pem"), grande);
    const std::string firmaPequeno = prueba::FirmaOpenssl(directorio.En("clave.pem"), pequeno);
    firma::SustituirClaveIncorporada(clave);

    std::fprintf(stderr, "comprobación de la firma de %llu MiB frente a sha256sum, %d rondas\n",
                 static_cast<unsigned long long>(mib), rondas);
    const auto tiempos = medicion::Rondas(
        rondas, [&] { return Comprobacion(grande, firmaGrande); }, [&] { return Sha256sum(grande); });
    const auto memPequeno = MemoriaMaxima(pequeno, firmaPequeno, clave);
    const auto memGrande = MemoriaMaxima(grande, firmaGrande, clave);
    if (!tiempos || !memPequeno || !memGrande) {
        std::printf("firma %llu MiB: FALLO (ver los detalles arriba)\n",
                    static_cast<unsigned long long>(mib));
        return 1;
    }
    const double mf = medicion::Mediana(tiempos->Propio), ms = medicion::Mediana(tiempos->Curl);
    std::printf("firma %llu MiB: comprobación/sha256sum = %.2f (comprobación %.3f s, sha256sum "
                "%.3f s, mediana de %d; objetivo <= 1.3)\n",
                static_cast<unsigned long long>(mib), mf / ms, mf, ms, rondas);
    std::printf("memoria máxima de la comprobación: %.1f MiB con 1 MiB, %.1f MiB con %llu MiB "
                "(objetivo: la misma)\n",
                static_cast<double>(*memPequeno) / 1024.0, static_cast<double>(*memGrande) / 1024.0,
                static_cast<unsigned long long>(mib));
    return 0;
}
