#include "guion_demo.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

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

// "bytes=a-b,c-,-n" against `tam` bytes: the satisfiable ranges as (first, last); empty
// when the header is malformed or none is within the file.
std::vector<std::pair<uint64_t, uint64_t>> LeerRangos(const std::string& h, uint64_t tam) {
    std::vector<std::pair<uint64_t, uint64_t>> v;
    if (h.rfind("bytes=", 0) != 0 || tam == 0) return v;
    size_t i = 6;
    while (i <= h.size()) {
        size_t fin = std::min(h.find(',', i), h.size());
        const std::string p = h.substr(i, fin - i);
        const size_t guion = p.find('-');
        const size_t inicio = p.find_first_not_of(' ');
        if (guion == std::string::npos || inicio == std::string::npos) return {};
        const std::string a = p.substr(inicio, guion - inicio), b = p.substr(guion + 1);
        if (a.find_first_not_of("0123456789") != std::string::npos ||
            b.find_first_not_of("0123456789") != std::string::npos || (a.empty() && b.empty()) ||
            a.size() > 18 || b.size() > 18)
            return {};
        if (a.empty()) {
            const uint64_t n = std::min<uint64_t>(std::stoull(b), tam);
            if (n > 0) v.push_back({tam - n, tam - 1});
        } else {
            const uint64_t x = std::stoull(a);
            const uint64_t y = b.empty() ? tam - 1 : std::stoull(b);
            if (y < x) return {};
            if (x < tam) v.push_back({x, std::min(y, tam - 1)});
        }
        i = fin + 1;
    }
    return v;
}

prueba::Respuesta ResponderRangos(const std::string& cuerpo, const std::string& rango,
                                  const std::string& fecha) {
    const uint64_t tam = cuerpo.size();
    const auto rangos = LeerRangos(rango, tam);
    if (rangos.empty())
        return prueba::Respuesta::Simple("416 Range Not Satisfiable", "",
                                         {"Content-Range: bytes */" + std::to_string(tam), "Connection: close"});
    const auto cr = [tam](const std::pair<uint64_t, uint64_t>& r) {
        return "Content-Range: bytes " + std::to_string(r.first) + "-" + std::to_string(r.second) + "/" +
               std::to_string(tam);
    };
    const std::vector<std::string> comunes = {"Last-Modified: " + fecha, "Connection: close"};
    if (rangos.size() == 1) {
        auto h = comunes;
        h.push_back("Content-Type: application/zip");
        h.push_back(cr(rangos[0]));
        return prueba::Respuesta::Simple("206 Partial Content",
                                         cuerpo.substr(rangos[0].first, rangos[0].second - rangos[0].first + 1), h);
    }
    const std::string limite = "morvane-demo-rangos";
    std::string multi;
    for (const auto& r : rangos)
        multi += "\r\n--" + limite + "\r\nContent-Type: application/zip\r\n" + cr(r) + "\r\n\r\n" +
                 cuerpo.substr(r.first, r.second - r.first + 1);
    multi += "\r\n--" + limite + "--\r\n";
    auto h = comunes;
    h.push_back("Content-Type: multipart/byteranges; boundary=" + limite);
    return prueba::Respuesta::Simple("206 Partial Content", multi, h);
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
    const bool indice = opciones.Rangos && TerminaEn(peticion.Destino, std::string(kRutaArchivo) + ".indice");
    if (PideFirma(peticion.Destino) || indice) {
        std::ifstream firma(opciones.Ruta + (indice ? ".indice" : ".sig"), std::ios::binary);
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
    if (opciones.Rangos && peticion.Tiene("Range"))
        return ResponderRangos(cuerpo, peticion.Cabecera("Range"), prueba::FechaHttp(st.st_mtim.tv_sec));

    // Pieces of at least 4 KiB, at most 100 of them, with the time spread evenly between.
    size_t piezas = std::clamp<size_t>(cuerpo.size() / 4096, 1, 100);
    size_t tam = (cuerpo.size() + piezas - 1) / piezas;
    auto pausa = opciones.Duracion / static_cast<long>(piezas);
    for (size_t desde = 0; desde < cuerpo.size(); desde += tam)
        r.Cuerpo.push_back({pausa, cuerpo.substr(desde, tam)});
    return r;
}

}  // namespace demo
