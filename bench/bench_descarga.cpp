// Download throughput of the component against the curl command-line tool, same server,
// same body, same run; and the process's peak memory while doing it.
//
//   bench_descarga [MiB] [runs] [cortes]   (defaults: 256 MiB, 5 runs)
//
// Then a 64 MiB download whose body the server breaks at 25, 50 and 75 %, against an
// unbroken one in the same run: the bytes the server sent per byte of the archive, and the
// time (with no waits between attempts) per unbroken time. "cortes" runs only that part.
//
// Details go to stderr; the figure lines are the last lines on stdout.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "entorno_prueba.h"
#include "internet.h"
#include "medicion.h"
#include "servidor_http.h"
#include "sistema.h"
#include "zkDownload.h"

namespace {

using medicion::Reloj;

// One download by the component, as the download flow makes it, with a cancel token
// watched by every wait as the session gives one.
std::optional<double> Componente(const std::string& url, int32_t puerto,
                                 const std::string& archivo, uint64_t n,
                                 const zkDownload::Ajustes& opciones) {
    double ultimo = 0;
    uint64_t eventos = 0;
    auto d = std::make_unique<zkDownload>();
    d->Opciones = opciones;
    d->URL(url);
    d->Puerto(puerto);
    d->Progreso = [&](int32_t, int32_t, double porcentaje, int32_t, double, int32_t&, bool&) {
        ultimo = porcentaje;
        ++eventos;
    };
    auto t0 = Reloj::now();
    d->Descargar(1);
    auto t = medicion::Segundos(Reloj::now() - t0);
    bool error = d->HuboError();
    std::string estado = d->StatusCode() + " " + d->StatusText();
    d.reset();
    std::fprintf(stderr,
                 "  componente: %.3f s, %s, %llu eventos, último %% %.2f\n", t,
                 estado.c_str(), static_cast<unsigned long long>(eventos), ultimo);
    return medicion::Comprobar("componente", t, error, true, archivo, n);
}

// The archive served in pieces: every answer stops at the next cut after the byte asked
// for and closes, as a network that breaks would; a Range is honoured. Cuts are multiples
// of the pattern's period, so a 206 sends the pattern in phase.
class ServidorConCortes {
public:
    ServidorConCortes(uint64_t n, std::vector<uint64_t> cortes)
        : n_(n), cortes_(std::move(cortes)), servidor_([this](const prueba::Peticion& p) {
              return Responder(p);
          }) {}
    int32_t Puerto() const { return prueba::Puerto16(servidor_.Puerto()); }
    uint64_t Enviados() const { return enviados_; }
    void Reiniciar() { enviados_ = 0; }

private:
    prueba::Respuesta Responder(const prueba::Peticion& p) {
        uint64_t desde = 0;
        const std::string rango = p.Cabecera("Range");
        if (rango.rfind("bytes=", 0) == 0) desde = std::strtoull(rango.c_str() + 6, nullptr, 10);
        uint64_t hasta = n_;
        for (uint64_t c : cortes_)
            if (c > desde) {
                hasta = c;
                break;
            }
        prueba::Respuesta r;
        if (desde == 0)
            r = medicion::ArchivoGenerado(n_, "Tue, 01 Dec 2026 10:00:00 GMT");
        else
            r.Cabecera = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                         std::to_string(desde) + "-" + std::to_string(n_ - 1) + "/" +
                         std::to_string(n_) + "\r\nContent-Length: " + std::to_string(n_ - desde) +
                         "\r\n\r\n";
        r.BytesGenerados = hasta - desde;
        enviados_ += hasta - desde;
        return r;
    }

    uint64_t n_;
    std::vector<uint64_t> cortes_;
    std::atomic<uint64_t> enviados_{0};
    prueba::ServidorHttp servidor_;
};

// Bytes sent per archive byte and broken/unbroken time, medians of at least 15 rounds: a
// 64 MiB download on loopback takes tens of milliseconds, so single rounds are noisy.
bool Cortes(const std::string& archivo, zkDownload::Ajustes opciones, int rondas) {
    rondas = std::max(rondas, 15);
    constexpr uint64_t n = 64ull << 20;
    std::vector<uint64_t> cortes;
    for (uint64_t cuarto : {1, 2, 3}) cortes.push_back(n * cuarto / 4 / 26 * 26);
    ServidorConCortes roto(n, cortes), entero(n, {});
    opciones.EsperaEntreIntentos = std::chrono::milliseconds(0);
    const std::string url = "http://127.0.0.1/web/lurenet/Morvane.zip";
    std::vector<double> tRoto, tEntero, proporcion;
    for (int i = 0; i < rondas; ++i) {
        std::fprintf(stderr, "cortes, ronda %d\n", i + 1);
        roto.Reiniciar();
        // Alternate the order so neither side always runs on a warmer cache.
        std::optional<double> a, b;
        if (i % 2 == 0) a = Componente(url, roto.Puerto(), archivo, n, opciones);
        b = Componente(url, entero.Puerto(), archivo, n, opciones);
        if (i % 2 != 0) a = Componente(url, roto.Puerto(), archivo, n, opciones);
        if (!a || !b) return false;
        tRoto.push_back(*a);
        tEntero.push_back(*b);
        proporcion.push_back(static_cast<double>(roto.Enviados()) / static_cast<double>(n));
    }
    const double mr = medicion::Mediana(tRoto), me = medicion::Mediana(tEntero);
    std::printf("descarga 64 MiB cortada al 25, 50 y 75 %%: bytes enviados/archivo = %.3f "
                "(mediana de %d; objetivo <= 1.02)\n",
                medicion::Mediana(proporcion), rondas);
    std::printf("descarga 64 MiB cortada: tiempo sin esperas/sin cortes = %.2f (cortada %.3f s, "
                "entera %.3f s, mediana de %d; objetivo <= 1.2)\n",
                mr / me, mr, me, rondas);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    prueba::LimpiarProxyDelEntorno();
    internet::BibliotecaInternet biblioteca;

    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib == 0 || rondas <= 0) {
        std::fprintf(stderr, "uso: bench_descarga [MiB] [rondas]\n");
        return 2;
    }
    const uint64_t n = mib << 20;

    prueba::DirectorioTemporal directorio("bench_descarga_");
    const std::string dir = directorio.Ruta();
    const std::string archivo = dir + "/Morvane.zip";
    const std::string archivoCurl = dir + "/curl.out";

    sistema::Cancelacion cancelacion;
    zkDownload::Ajustes opciones;
    opciones.Carpeta = dir;
    opciones.Cancelacion = &cancelacion;
    if (argc > 3 && std::string(argv[3]) == "cortes") return Cortes(archivo, opciones, rondas) ? 0 : 1;

    std::optional<medicion::Tiempos> tiempos;
    {
        prueba::ServidorHttp servidor([n](const prueba::Peticion&) {
            return medicion::ArchivoGenerado(n, "Tue, 01 Dec 2026 10:00:00 GMT");
        });
        const std::string url = servidor.Url("/web/lurenet/Morvane.zip");
        // The host name keeps whatever follows it, so the component takes the port through
        // Puerto.
        const std::string urlComponente = "http://127.0.0.1/web/lurenet/Morvane.zip";
        const int32_t puerto = prueba::Puerto16(servidor.Puerto());
        std::fprintf(stderr, "descarga de %llu MiB desde %s, %d rondas\n",
                     static_cast<unsigned long long>(mib), url.c_str(), rondas);
        tiempos = medicion::Rondas(
            rondas, [&] { return Componente(urlComponente, puerto, archivo, n, opciones); },
            [&] { return medicion::DescargaCurl({url}, archivoCurl, n, "  curl:       "); });
    }
    if (!tiempos) {
        std::printf("descarga %llu MiB: FALLO (ver los detalles arriba)\n",
                    static_cast<unsigned long long>(mib));
        return 1;
    }

    rusage uso{};
    ::getrusage(RUSAGE_SELF, &uso);  // ru_maxrss in KiB; the curl children are not counted
    const double mc = medicion::Mediana(tiempos->Propio), mu = medicion::Mediana(tiempos->Curl);
    std::printf("descarga %llu MiB: componente/curl = %.2f (componente %.3f s, curl %.3f s, "
                "mediana de %d; objetivo <= 1.2)\n",
                static_cast<unsigned long long>(mib), mc / mu, mc, mu, rondas);
    std::printf("memoria máxima del proceso: %.1f MiB (objetivo <= 32)\n",
                static_cast<double>(uso.ru_maxrss) / 1024.0);
    const bool cortes = Cortes(archivo, opciones, rondas);
    if (!cortes) {
        std::printf("descarga 64 MiB cortada: FALLO (ver los detalles arriba)\n");
        return 1;
    }
    return 0;
}
