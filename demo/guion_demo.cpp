#include "guion_demo.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

#include "comun_prueba.h"

namespace demo {

namespace {

bool TerminaEn(const std::string& destino, const std::string& final) {
    std::string ruta = destino.substr(0, destino.find_first_of("?#"));
    return ruta.size() >= final.size() &&
           ruta.compare(ruta.size() - final.size(), final.size(), final) == 0;
}

prueba::Respuesta Error(const std::string& estado) {
    return prueba::Respuesta::Simple(estado, estado + "\n",
                                     {"Content-Type: text/plain", "Connection: close"});
}

}  // namespace

bool PideArchivo(const std::string& destino) { return TerminaEn(destino, kRutaArchivo); }
bool PideFirma(const std::string& destino) {
    return TerminaEn(destino, std::string(kRutaArchivo) + ".sig");
}

prueba::Respuesta ResponderArchivo(const OpcionesArchivo& opciones,
                                   const prueba::Peticion& peticion) {
    if (opciones.Retraso.count() > 0) std::this_thread::sleep_for(opciones.Retraso);
    if (peticion.Metodo != "GET" && peticion.Metodo != "HEAD") return Error("405 Method Not Allowed");
    if (PideFirma(peticion.Destino)) {
        std::ifstream firma(opciones.Ruta + ".sig", std::ios::binary);
        if (!firma) return Error("404 Not Found");
        prueba::Respuesta r = prueba::Respuesta::Simple(
            "200 OK", std::string((std::istreambuf_iterator<char>(firma)), std::istreambuf_iterator<char>()),
            {"Content-Type: text/plain", "Connection: close"});
        if (peticion.Metodo == "HEAD") r.Cuerpo.clear();
        return r;
    }
    if (!PideArchivo(peticion.Destino)) return Error("404 Not Found");

    struct stat st {};
    std::ifstream archivo(opciones.Ruta, std::ios::binary);
    if (!archivo || ::stat(opciones.Ruta.c_str(), &st) != 0) return Error("500 Internal Server Error");
    std::string cuerpo((std::istreambuf_iterator<char>(archivo)), std::istreambuf_iterator<char>());
    if (archivo.bad()) return Error("500 Internal Server Error");

    prueba::Respuesta r;
    r.Cabecera = "HTTP/1.1 200 OK\r\n"
                 "Content-Type: application/zip\r\n"
                 "Content-Length: " + std::to_string(cuerpo.size()) + "\r\n"
                 "Last-Modified: " + prueba::FechaHttp(st.st_mtim.tv_sec) + "\r\n"
                 "Connection: close\r\n\r\n";
    if (peticion.Metodo == "HEAD" || cuerpo.empty()) return r;

    // Pieces of at least 4 KiB, at most 100 of them, with the time spread evenly between.
    size_t piezas = std::clamp<size_t>(cuerpo.size() / 4096, 1, 100);
    size_t tam = (cuerpo.size() + piezas - 1) / piezas;
    auto pausa = opciones.Duracion / static_cast<long>(piezas);
    for (size_t desde = 0; desde < cuerpo.size(); desde += tam)
        r.Cuerpo.push_back({pausa, cuerpo.substr(desde, tam)});
    return r;
}

}  // namespace demo
