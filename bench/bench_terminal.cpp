// The headless front-end against curl: `morvane-update --update` of a large archive, from
// start until it reaches the install (check and download), against curl fetching the same
// archive in the same run; and `morvane-update --check` from start to exit.
//   bench_terminal [MiB] [rounds]
// Details on stderr, one figure line per measurement on stdout.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "entorno_prueba.h"
#include "medicion.h"
#include "servidor_http.h"
#include "sesion.h"

namespace {

namespace fs = std::filesystem;
using medicion::Mediana;
using medicion::Reloj;
using medicion::Segundos;


struct Vuelta {
    bool bien = false;
    double hastaInstalar = 0;  // s from spawn to the install stage's line (0: never seen)
    double total = 0;          // s from spawn to exit
};

// Runs the copied program with `opcion`, no display, stderr read line by line.
Vuelta Correr(const std::string& programa, const char* opcion, int codigoEsperado) {
    int tubo[2];
    Vuelta v;
    if (::pipe2(tubo, O_CLOEXEC) != 0) return v;
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_adddup2(&acciones, tubo[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&acciones, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> entorno;
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.rfind("DISPLAY=", 0) && var.rfind("WAYLAND_DISPLAY=", 0) &&
            var.rfind("QT_QPA_PLATFORM=", 0))
            entorno.push_back(var);
    }
    std::vector<char*> envp;
    for (auto& e : entorno) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(programa.c_str()), const_cast<char*>(opcion), nullptr};
    pid_t pid = -1;
    const auto t0 = Reloj::now();
    const int r = ::posix_spawn(&pid, programa.c_str(), &acciones, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&acciones);
    ::close(tubo[1]);
    if (r != 0) {
        ::close(tubo[0]);
        return v;
    }
    std::string err;
    char b[4096];
    ssize_t n;
    while ((n = ::read(tubo[0], b, sizeof b)) > 0) {
        err.append(b, static_cast<size_t>(n));
        if (v.hastaInstalar == 0 && err.find("morvane-update: instalando\n") != std::string::npos)
            v.hastaInstalar = Segundos(Reloj::now() - t0);
    }
    ::close(tubo[0]);
    int estado = 0;
    ::waitpid(pid, &estado, 0);
    v.total = Segundos(Reloj::now() - t0);
    v.bien = WIFEXITED(estado) && WEXITSTATUS(estado) == codigoEsperado;
    if (!v.bien) std::fprintf(stderr, "  %s: estado %d\n%s", opcion, estado, err.c_str());
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
    if (mib == 0 || mib > 2047 || rondas <= 0) {
        std::fprintf(stderr, "uso: bench_terminal [MiB (1-2047)] [rondas]\n");
        return 2;
    }
    prueba::LimpiarProxyDelEntorno();
    const uint64_t n = mib << 20;
    prueba::DirectorioTemporal directorio("bench_terminal_");
    const std::string dir = directorio.Ruta();
    const std::string programa = dir + "/morvane-update";
    fs::copy_file(MORVANE_UPDATE_BIN, programa);
    // An unzip tool that is done at once once it has seen the whole archive, and unpacks
    // one small file (an unpack of nothing installs nothing).
    prueba::Escribir(dir + "/Kelunzip",
                     "#!/bin/sh\n[ \"$(stat -c %s Morvane.zip)\" = " + std::to_string(n) +
                         " ] && echo 2.0 > version.txt\n",
                     true);
    prueba::Escribir(dir + "/Morvane.exe", "#!/bin/sh\n", true);
    const auto envejecer = [&] {
        prueba::FijarFecha(dir + "/Morvane.exe", prueba::HoraLocal(2001, 1, 1));
    };

    prueba::ServidorHttp servidor([n](const prueba::Peticion& p) {
        if (p.Destino != URLActualizacion) return prueba::Respuesta::Simple("404 Not Found", "");
        return medicion::ArchivoGenerado(n, "Tue, 01 Dec 2026 10:00:00 GMT");
    });
    const std::string proxy = "http://" + servidor.Direccion();
    ::setenv("http_proxy", proxy.c_str(), 1);
    std::fprintf(stderr, "--update de %llu MiB de %s a través de %s, %d rondas\n",
                 static_cast<unsigned long long>(mib), URLActualizacion, proxy.c_str(), rondas);

    std::vector<std::string> cifras;
    std::vector<double> totales;
    const auto tiempos = medicion::Rondas(
        rondas,
        [&]() -> std::optional<double> {
            envejecer();
            const Vuelta v = Correr(programa, "--update", 0);
            std::fprintf(stderr, "  --update: %.3f s hasta instalar, %.3f s en total\n",
                         v.hastaInstalar, v.total);
            if (!v.bien || v.hastaInstalar == 0 || sistema::Existe(dir + "/Morvane.zip"))
                return std::nullopt;
            totales.push_back(v.total);
            return v.hastaInstalar;
        },
        [&] {
            return medicion::DescargaCurl({"-x", proxy, URLActualizacion}, dir + "/curl.out", n,
                                          "  curl:     ");
        });
    char linea[300];
    if (!tiempos) {
        cifras.push_back("terminal --update: FALLO (ver los detalles arriba)");
    } else {
        const double mt = Mediana(tiempos->Propio), mc = Mediana(tiempos->Curl);
        std::snprintf(linea, sizeof linea,
                      "terminal --update %llu MiB: comprobación y descarga/curl = %.2f "
                      "(%.3f s, curl %.3f s, mediana de %d; objetivo <= 1.3); en total %.3f s "
                      "con la instalación",
                      static_cast<unsigned long long>(mib), mt / mc, mt, mc, rondas,
                      Mediana(totales));
        cifras.push_back(linea);
    }

    // The check against a product that is current: start to exit.
    sistema::TocarFichero(dir + "/Morvane.exe");
    std::vector<double> checks;
    for (int i = 0; i < 11; ++i) {
        const Vuelta v = Correr(programa, "--check", 0);
        if (!v.bien) {
            checks.clear();
            break;
        }
        checks.push_back(v.total);
    }
    if (checks.empty()) {
        cifras.push_back("terminal --check: FALLO (ver los detalles arriba)");
    } else {
        std::snprintf(linea, sizeof linea,
                      "terminal --check: %.1f ms del inicio a la salida (mediana de %zu; "
                      "objetivo <= 100 ms)",
                      Mediana(checks) * 1000, checks.size());
        cifras.push_back(linea);
    }

    int codigo = 0;
    for (const auto& c : cifras) {
        std::printf("%s\n", c.c_str());
        if (c.find("FALLO") != std::string::npos) codigo = 1;
    }
    return codigo;
}
