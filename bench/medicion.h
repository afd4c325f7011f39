// What the benchmark programs share: timing, medians, checking a downloaded file against
// the server's pattern, the same download by the curl command-line tool, and the rounds
// that alternate the two.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "servidor_http.h"
#include "sistema.h"

namespace medicion {

using Reloj = std::chrono::steady_clock;

inline double Segundos(Reloj::duration d) { return std::chrono::duration<double>(d).count(); }

inline double Mediana(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline std::optional<uint64_t> Tamano(const std::string& ruta) {
    struct stat st {};
    if (::stat(ruta.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

// Checks the pattern at the start and the end of the file (the whole file would dominate
// the run for nothing: the size check catches truncation, this catches garbage).
inline bool ContenidoCorrecto(const std::string& ruta, uint64_t n) {
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

// The verdict on a download by the program under test: right when it reported no error,
// `bien` holds, and the file has the `n` bytes of the pattern. Says on stderr what is wrong
// (as `quien`), removes the file, and gives the time `t` only when it was right.
inline std::optional<double> Comprobar(const char* quien, double t, bool error, bool bien,
                                       const std::string& archivo, uint64_t n) {
    const auto tam = Tamano(archivo);
    bien = bien && !error && tam == n && ContenidoCorrecto(archivo, n);
    if (!bien)
        std::fprintf(stderr, "  %s: descarga incorrecta (error %d, tamaño %lld)\n", quien, error,
                     tam ? static_cast<long long>(*tam) : -1LL);
    sistema::Borrar(archivo);
    if (!bien) return std::nullopt;
    return t;
}

// One download by `curl -s -o <archivo> <opciones...>`, timed from spawn to exit, with
// the same verdict as the program's own. `etiqueta` starts its detail line on stderr.
inline std::optional<double> DescargaCurl(const std::vector<std::string>& opciones,
                                          const std::string& archivo, uint64_t n,
                                          const char* etiqueta) {
    std::vector<std::string> args = {"curl", "-s", "-o", archivo};
    args.insert(args.end(), opciones.begin(), opciones.end());
    const auto t0 = Reloj::now();
    const auto pid = prueba::Iniciar(args);
    if (!pid) {
        std::fprintf(stderr, "  curl: no se pudo iniciar\n");
        return std::nullopt;
    }
    const int estado = prueba::Esperar(*pid);
    const double t = Segundos(Reloj::now() - t0);
    const auto tam = Tamano(archivo);
    const bool bien = WIFEXITED(estado) && WEXITSTATUS(estado) == 0 && tam == n &&
                      ContenidoCorrecto(archivo, n);
    std::fprintf(stderr, "%s%.3f s%s\n", etiqueta, t, bien ? "" : " (descarga incorrecta)");
    sistema::Borrar(archivo);
    if (!bien) return std::nullopt;
    return t;
}

// The times of both sides over `rondas` rounds; nothing at the first failed download.
struct Tiempos {
    std::vector<double> Propio, Curl;
};
using Descarga = std::function<std::optional<double>()>;

inline std::optional<Tiempos> Rondas(int rondas, const Descarga& propia, const Descarga& curl) {
    Tiempos tiempos;
    for (int i = 0; i < rondas; ++i) {
        std::fprintf(stderr, "ronda %d\n", i + 1);
        // Alternate the order so neither side always runs on a warmer cache.
        for (int lado = 0; lado < 2; ++lado) {
            const bool propio = (lado == 0) == (i % 2 == 0);
            const auto t = propio ? propia() : curl();
            if (!t) return std::nullopt;
            (propio ? tiempos.Propio : tiempos.Curl).push_back(*t);
        }
    }
    return tiempos;
}

// The archive as the update server sends it: 200, `n` bytes of the pattern, announced with
// their length and the date `fecha`.
inline prueba::Respuesta ArchivoGenerado(uint64_t n, const std::string& fecha) {
    prueba::Respuesta r;
    r.Cabecera = "HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n"
                 "Last-Modified: " + fecha + "\r\n"
                 "Content-Length: " + std::to_string(n) + "\r\n\r\n";
    r.BytesGenerados = n;
    return r;
}

// Waits for the child `pid`; its resource use when it exited 0, nothing otherwise.
inline std::optional<rusage> UsoDelHijo(pid_t pid) {
    int estado = 0;
    rusage uso{};
    while (::wait4(pid, &estado, 0, &uso) < 0)
        if (errno != EINTR) return std::nullopt;
    if (!WIFEXITED(estado) || WEXITSTATUS(estado) != 0) return std::nullopt;
    return uso;
}

}  // namespace medicion
