// The demo's update server: serves one archive file on 127.0.0.1 for any request whose
// target ends with /web/lurenet/Morvane.zip. The updater reaches it as its HTTP proxy, so
// the update host's name never needs to resolve.
//
//   servidor-demo ARCHIVE [--duracion-ms N] [--retraso-ms N] [--max-segundos N] [--rangos]
//
// Prints the port on the first line of standard output, each request and its answer on
// standard error, and serves until SIGINT or SIGTERM, or for --max-segundos (default 900);
// then the bytes it sent in all ("enviados N bytes") on standard error. --rangos serves the
// index beside the archive and answers Range, for a partial update.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>

#include "guion_demo.h"
#include "servidor_http.h"

namespace {

int Uso() {
    std::cerr << "usage: servidor-demo ARCHIVE [--duracion-ms N] [--retraso-ms N] "
                 "[--max-segundos N] [--rangos]\n";
    return 2;
}

bool LeerNumero(const char* texto, long& valor) {
    char* fin = nullptr;
    valor = std::strtol(texto, &fin, 10);
    return fin != texto && *fin == '\0' && valor >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    demo::OpcionesArchivo opciones;
    long maxSegundos = 900;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        long n = 0;
        if ((arg == "--duracion-ms" || arg == "--retraso-ms" || arg == "--max-segundos") &&
            i + 1 < argc && LeerNumero(argv[i + 1], n)) {
            ++i;
            if (arg == "--duracion-ms") opciones.Duracion = std::chrono::milliseconds(n);
            else if (arg == "--retraso-ms") opciones.Retraso = std::chrono::milliseconds(n);
            else maxSegundos = n;
        } else if (arg == "--rangos") {
            opciones.Rangos = true;
        } else if (!arg.empty() && arg[0] != '-' && opciones.Ruta.empty()) {
            opciones.Ruta = arg;
        } else {
            return Uso();
        }
    }
    if (opciones.Ruta.empty()) return Uso();

    // The signals that stop us are taken by sigtimedwait below; blocked before the server
    // starts its threads, so those inherit the mask. A client that hangs up mid-body must
    // not kill the server.
    sigset_t senales;
    sigemptyset(&senales);
    sigaddset(&senales, SIGINT);
    sigaddset(&senales, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &senales, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // A request is logged as it arrives (before any delay), its answer once decided.
    prueba::ServidorHttp servidor([opciones](const prueba::Peticion& p) {
        const std::string rango = p.Cabecera("Range");
        std::fprintf(stderr, "%s %s%s%s\n", p.Metodo.c_str(), p.Destino.c_str(),
                     rango.empty() ? "" : " Range: ", rango.c_str());
        prueba::Respuesta r = demo::ResponderArchivo(opciones, p);
        std::string estado = r.Cabecera.substr(0, r.Cabecera.find('\r'));
        std::fprintf(stderr, "  -> %s\n", estado.c_str());
        return r;
    });
    std::printf("%u\n", static_cast<unsigned>(servidor.Puerto()));
    std::fflush(stdout);

    timespec limite{static_cast<time_t>(maxSegundos), 0};
    int s;
    do {
        s = sigtimedwait(&senales, nullptr, &limite);
    } while (s < 0 && errno == EINTR);
    std::fprintf(stderr, "enviados %llu bytes\n", static_cast<unsigned long long>(servidor.Enviados()));
    return 0;
}
