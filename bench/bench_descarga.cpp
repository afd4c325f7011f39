// Download throughput of the component against the curl command-line tool, same server,
// same body, same run; and the process's peak memory while doing it.
//
//   bench_descarga [MiB] [runs]      (defaults: 256 MiB, 5 runs)
//
// Details go to stderr; the figure lines are the last lines on stdout.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "comun_prueba.h"
#include "entorno_prueba.h"
#include "internet.h"
#include "medicion.h"
#include "servidor_http.h"
#include "sistema.h"
#include "zkDownload.h"

namespace {

using medicion::Reloj;

// Stands in for the window: the component calls DoEvents after every block, and the
// count shows it did.
class VentanaContadora : public sistema::Ventana {
public:
    void BarraProgreso(int32_t, const std::string&) override {}
    void HabilitarDescargar(bool) override {}
    void DoEvents() override { ++llamadas; }
    uint64_t llamadas = 0;
};

// One download by the component, as the window's download flow makes it.
std::optional<double> Componente(const std::string& url, int32_t puerto,
                                 const std::string& archivo, uint64_t n,
                                 VentanaContadora& ventana) {
    ventana.llamadas = 0;
    double ultimo = 0;
    uint64_t eventos = 0;
    auto d = std::make_unique<zkDownload>();
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
                 "  componente: %.3f s, %s, %llu eventos, %llu DoEvents, último %% %.2f\n", t,
                 estado.c_str(), static_cast<unsigned long long>(eventos),
                 static_cast<unsigned long long>(ventana.llamadas), ultimo);
    return medicion::Comprobar("componente", t, error, true, archivo, n);
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
    sistema::EstablecerApp_Path(dir);
    const std::string archivo = dir + "/Morvane.zip";
    const std::string archivoCurl = dir + "/curl.out";

    VentanaContadora ventana;
    sistema::RegistrarVentana(&ventana);

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
            rondas, [&] { return Componente(urlComponente, puerto, archivo, n, ventana); },
            [&] { return medicion::DescargaCurl({url}, archivoCurl, n, "  curl:       "); });
    }
    sistema::RegistrarVentana(nullptr);
    sistema::EstablecerApp_Path("");
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
    return 0;
}
