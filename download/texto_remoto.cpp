#include "texto_remoto.h"

#include "internet.h"
#include "sistema.h"

namespace {

std::string Minusculas(std::string texto) {
    for (char& c : texto)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return texto;
}

}  // namespace

PartesURL PartirURL(const std::string& url) {
    PartesURL partes;
    const size_t separador = url.find("://");
    size_t p = 0;
    if (separador != std::string::npos) {
        partes.Esquema = Minusculas(url.substr(0, separador));
        p = separador + 3;
    } else {
        partes.Esquema = "http";
    }
    if (partes.Esquema != "http" && partes.Esquema != "https") return partes;
    size_t q = url.find('/', p);
    if (q == std::string::npos) q = url.size();
    if (p < q) partes.Host = url.substr(p, q - p);
    // A "/" that is the last character leaves no path either.
    if (q + 1 < url.size()) partes.Ruta = url.substr(q);
    partes.Admitida = true;
    return partes;
}

std::optional<std::string> LeerTextoRemoto(const std::string& url, int32_t puerto,
                                           std::size_t limite) {
    using namespace internet;
    try {
        const PartesURL partes = PartirURL(url);
        if (!partes.Admitida || puerto < INT16_MIN || puerto > INT16_MAX) return std::nullopt;
        sistema::DoEvents();

        Handle sesion(InternetOpenA(kAgenteDescarga, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        Handle conexion(InternetConnectA(sesion.get(), partes.Host.c_str(),
                                         static_cast<int16_t>(puerto), "", "",
                                         INTERNET_SERVICE_HTTP, 0, 0));
        uint32_t flags = INTERNET_FLAG_RELOAD;
        if (partes.Esquema == "https") flags |= INTERNET_FLAG_SECURE;
        Handle peticion(HttpOpenRequestA(conexion.get(), "GET", partes.Ruta.c_str(), "HTTP/1.0",
                                         nullptr, nullptr, flags, 0));
        if (!peticion || !HttpSendRequestA(peticion.get(), nullptr, 0, nullptr, 0))
            return std::nullopt;

        char codigo[8] = {};
        uint32_t longitud = sizeof codigo;
        if (!HttpQueryInfoA(peticion.get(), HTTP_QUERY_STATUS_CODE, codigo, &longitud, nullptr) ||
            codigo[0] != '2')
            return std::nullopt;

        std::string cuerpo;
        char pieza[1024];
        for (;;) {
            uint32_t leidos = 0;
            if (!InternetReadFile(peticion.get(), pieza, sizeof pieza, &leidos)) return std::nullopt;
            if (leidos == 0) return cuerpo;
            if (leidos > limite - cuerpo.size()) return std::nullopt;
            cuerpo.append(pieza, leidos);
            sistema::DoEvents();
        }
    } catch (...) {
        return std::nullopt;
    }
}
