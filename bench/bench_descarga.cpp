// Download throughput of the component against the curl command-line tool, same server,
// same body, same run; and the process's peak memory while doing it.
//
//   bench_descarga [MiB] [runs]      (defaults: 256 MiB, 5 runs)
//
// Details go to stderr; the figure lines are the last lines on stdout.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "entorno_prueba.h"
#include "internet.h"
#include "servidor_http.h"
#include "sistema.h"
#include "zkDownload.h"

extern char** environ;

namespace {

using Reloj = std::chrono::steady_clock;

// Stands in for the window: the component calls DoEvents after every block, and the
// count shows it did.
class VentanaContadora : public sistema::Ventana {
public:
    void BarraProgreso(int32_t, const std::string&) override {}
    void HabilitarDescargar(bool) override {}
    void DoEvents() override { ++llamadas; }
    uint64_t llamadas = 0;
};

std::optional<uint64_t> Tamano(const std::string& ruta) {
    struct stat st{};
    if (::stat(ruta.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

// Checks the pattern at the start and the end of the file (the whole file would dominate
// the run for nothing: the size check catches truncation, this catches garbage).
bool ContenidoCorrecto(const std::string& ruta, uint64_t n) {
    std::ifstream f(ruta, std::ios::binary);
    const uint64_t muestra = std::min<uint64_t>(n, 1 << 20);
    std::string buf(muestra, '\0');
    for (uint64_t inicio : {uint64_t{0}, n - muestra}) {
        f.seekg(static_cast<std::streamoff>(inicio));
        if (!f.read(buf.data(), static_cast<std::streamsize>(muestra))) return false;
        for (uint64_t i = 0; i < muestra; ++i)
            if (buf[i] != prueba::Patron(inicio + i)) return false;
    }
    return true;
}

double Segundos(Reloj::duration d) { return std::chrono::duration<double>(d).count(); }

double Mediana(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

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
    auto t = Segundos(Reloj::now() - t0);
    bool error = d->HuboError();
    std::string estado = d->StatusCode() + " " + d->StatusText();
    d.reset();
    auto tam = Tamano(archivo);
    std::fprintf(stderr,
                 "  componente: %.3f s, %s, %llu eventos, %llu DoEvents, último %% %.2f\n", t,
                 estado.c_str(), static_cast<unsigned long long>(eventos),
                 static_cast<unsigned long long>(ventana.llamadas), ultimo);
    bool bien = !error && tam == n && ContenidoCorrecto(archivo, n);
    if (!bien)
        std::fprintf(stderr, "  componente: descarga incorrecta (error %d, tamaño %lld)\n", error,
                     tam ? static_cast<long long>(*tam) : -1LL);
    sistema::Borrar(archivo);
    if (!bien) return std::nullopt;
    return t;
}

// One download by `curl -s -o <file> <url>`, timed from spawn to exit.
std::optional<double> Curl(const std::string& url, const std::string& archivo, uint64_t n) {
    std::vector<std::string> args = {"curl", "-s", "-o", archivo, url};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    auto t0 = Reloj::now();
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "  curl: no se pudo iniciar\n");
        return std::nullopt;
    }
    int estado = 0;
    while (::waitpid(pid, &estado, 0) < 0 && errno == EINTR) {
    }
    auto t = Segundos(Reloj::now() - t0);
    auto tam = Tamano(archivo);
    bool bien = WIFEXITED(estado) && WEXITSTATUS(estado) == 0 && tam == n &&
                ContenidoCorrecto(archivo, n);
    std::fprintf(stderr, "  curl:       %.3f s%s\n", t, bien ? "" : " (descarga incorrecta)");
    sistema::Borrar(archivo);
    if (!bien) return std::nullopt;
    return t;
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

    std::string dir = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : "/tmp") +
                      "/bench_descarga_XXXXXX";
    if (!::mkdtemp(dir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    sistema::EstablecerApp_Path(dir);
    const std::string archivo = dir + "/Morvane.zip";
    const std::string archivoCurl = dir + "/curl.out";

    VentanaContadora ventana;
    sistema::RegistrarVentana(&ventana);

    int codigo = 0;
    std::vector<double> tComponente, tCurl;
    {
        prueba::ServidorHttp servidor([n](const prueba::Peticion&) {
            prueba::Respuesta r;
            r.Cabecera = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
                         "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n"
                         "Content-Length: " + std::to_string(n) + "\r\n\r\n";
            r.BytesGenerados = n;
            return r;
        });
        const std::string url = servidor.Url("/web/lurenet/Morvane.zip");
        // The component takes the port through Puerto, as a signed 16-bit value that the
        // platform reads back as unsigned (ephemeral ports are all above 32767).
        const std::string urlComponente = "http://127.0.0.1/web/lurenet/Morvane.zip";
        const int32_t puerto = static_cast<int16_t>(servidor.Puerto());
        std::fprintf(stderr, "descarga de %llu MiB desde %s, %d rondas\n",
                     static_cast<unsigned long long>(mib), url.c_str(), rondas);
        for (int i = 0; i < rondas && codigo == 0; ++i) {
            std::fprintf(stderr, "ronda %d\n", i + 1);
            // Alternate the order so neither side always runs on a warmer cache.
            for (int lado = 0; lado < 2; ++lado) {
                bool componente = (lado == 0) == (i % 2 == 0);
                auto t = componente ? Componente(urlComponente, puerto, archivo, n, ventana)
                                    : Curl(url, archivoCurl, n);
                if (!t) {
                    codigo = 1;
                    break;
                }
                (componente ? tComponente : tCurl).push_back(*t);
            }
        }
    }
    sistema::RegistrarVentana(nullptr);
    ::rmdir(dir.c_str());
    if (codigo != 0) {
        std::printf("descarga %llu MiB: FALLO (ver los detalles arriba)\n",
                    static_cast<unsigned long long>(mib));
        return codigo;
    }

    rusage uso{};
    ::getrusage(RUSAGE_SELF, &uso);  // ru_maxrss in KiB; the curl children are not counted
    const double mc = Mediana(tComponente), mu = Mediana(tCurl);
    std::printf("descarga %llu MiB: componente/curl = %.2f (componente %.3f s, curl %.3f s, "
                "mediana de %d; objetivo <= 1.2)\n",
                static_cast<unsigned long long>(mib), mc / mu, mc, mu, rondas);
    std::printf("memoria máxima del proceso: %.1f MiB (objetivo <= 32)\n",
                static_cast<double>(uso.ru_maxrss) / 1024.0);
    return 0;
}
