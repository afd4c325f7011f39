// A signed update's download (the release statement fetched and verified, the archive
// downloaded with its length as a limit and hashed as it is written, its digest compared)
// against the same download unsigned, same server, same run; and the peak memory of each,
// in a fresh process.
//
//   bench_firma [MiB] [runs]      (defaults: 256 MiB, 5 runs)
//
// Details go to stderr; the figure lines are the last lines on stdout.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "descarga_firmada.h"
#include "declaracion.h"
#include "entorno_prueba.h"
#include "firma.h"
#include "internet.h"
#include "medicion.h"
#include "publicacion.h"
#include "servidor_http.h"
#include "sistema.h"
#include "zkDownload.h"

namespace {

using medicion::Reloj;

// The server is reached as the machine's proxy, as the window's tests reach it, so that
// the statement's fetch and the archive's go to the one URL the program knows.
const std::string kUrl = "http://127.0.0.1/web/lurenet/Morvane.zip";

std::optional<double> Ronda(bool firmada, const std::string& dir, const std::string& clave,
                            const std::string& archivo, uint64_t n) {
    const auto t0 = Reloj::now();
    const bool bien = medicion::DescargarArchivo(kUrl, firmada, dir, clave);
    const double t = medicion::Segundos(Reloj::now() - t0);
    std::fprintf(stderr, "  %s %.3f s\n", firmada ? "firmada:   " : "sin firmar:", t);
    return medicion::Comprobar(firmada ? "firmada" : "sin firmar", t, false, bien, archivo, n);
}

// The peak resident memory in KiB of one download made by this program in a process of
// its own; nothing when it failed.
std::optional<long> MemoriaMaxima(bool firmada, const std::string& dir, const std::string& clave) {
    const auto pid = prueba::Iniciar({"/proc/self/exe", "--una", firmada ? "firmada" : "sin", dir, clave});
    if (!pid) return std::nullopt;
    const std::optional<rusage> uso = medicion::UsoDelHijo(*pid);
    if (!uso) return std::nullopt;
    sistema::Borrar(dir + "/Morvane.zip");
    return uso->ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    internet::BibliotecaInternet biblioteca;
    if (argc == 5 && std::string(argv[1]) == "--una") {
        return medicion::DescargarArchivo(kUrl, std::string(argv[2]) == "firmada", argv[3], argv[4]) ? 0 : 1;
    }
    prueba::LimpiarProxyDelEntorno();
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib == 0 || rondas <= 0) {
        std::fprintf(stderr, "uso: bench_firma [MiB] [rondas]\n");
        return 2;
    }
    const uint64_t n = mib << 20;

    prueba::DirectorioTemporal directorio("bench_firma_");
    const std::string dir = directorio.Ruta();
    // No Morvane.exe in `dir`: any release is newer.
    const std::string archivo = dir + "/Morvane.zip";

    // The maker's statement of the server's body.
    const std::string clave = prueba::ClaveOpenssl(directorio.En("clave.pem"));
    firma::Declaracion d;
    {
        firma::Sha256 sha;
        std::string bloque(1 << 20, '\0');
        for (uint64_t i = 0; i < n; i += bloque.size()) {
            for (size_t j = 0; j < bloque.size(); ++j) bloque[j] = prueba::Patron(i + j);
            sha.Anadir(bloque.data(), bloque.size());
        }
        d.Sha256 = *sha.Final();
    }
    d.Tamano = n;
    d.Publicado = std::time(nullptr);
    d.Caduca = d.Publicado + 86400;
    const std::string firmado = firma::TextoFirmado(d);
    const std::string declaracion =
        firmado + "firma " + prueba::FirmaOpenssl(directorio.En("clave.pem"), firmado) + "\n";

    std::optional<medicion::Tiempos> tiempos;
    std::optional<long> memFirmada, memSin;
    {
        prueba::ServidorHttp servidor([n, declaracion](const prueba::Peticion& p) {
            if (p.Destino.size() > 4 && p.Destino.compare(p.Destino.size() - 4, 4, ".sig") == 0)
                return prueba::Respuesta::Simple("200 OK", declaracion);
            return medicion::ArchivoGenerado(n, "Tue, 01 Dec 2026 10:00:00 GMT");
        });
        ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
        std::fprintf(stderr, "descarga firmada de %llu MiB frente a la misma sin firmar, %d rondas\n",
                     static_cast<unsigned long long>(mib), rondas);
        tiempos = medicion::Rondas(
            rondas, [&] { return Ronda(true, dir, clave, archivo, n); },
            [&] { return Ronda(false, dir, clave, archivo, n); });
        memFirmada = MemoriaMaxima(true, dir, clave);
        memSin = MemoriaMaxima(false, dir, clave);
        ::unsetenv("http_proxy");
    }
    if (!tiempos || !memFirmada || !memSin) {
        std::printf("firma %llu MiB: FALLO (ver los detalles arriba)\n",
                    static_cast<unsigned long long>(mib));
        return 1;
    }
    const double mf = medicion::Mediana(tiempos->Propio), ms = medicion::Mediana(tiempos->Curl);
    std::printf("descarga firmada %llu MiB: firmada/sin firmar = %.2f (firmada %.3f s, sin firmar "
                "%.3f s, mediana de %d; objetivo <= 1.1)\n",
                static_cast<unsigned long long>(mib), mf / ms, mf, ms, rondas);
    std::printf("memoria máxima de una descarga: firmada %.1f MiB, sin firmar %.1f MiB "
                "(objetivo: la misma)\n",
                static_cast<double>(*memFirmada) / 1024.0, static_cast<double>(*memSin) / 1024.0);
    return 0;
}
