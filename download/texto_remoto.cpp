#include "texto_remoto.h"

#include "internet.h"
#include "lecturas.h"
#include "sistema.h"

internet::HINTERNET AbrirPeticionGet(internet::HINTERNET conexion, const std::string& esquema,
                                     const std::string& ruta) {
    using namespace internet;
    uint32_t flags = INTERNET_FLAG_RELOAD;
    if (esquema == "https") flags |= INTERNET_FLAG_SECURE;
    return HttpOpenRequestA(conexion, "GET", ruta.c_str(), "HTTP/1.0", nullptr, nullptr, flags,
                            0);
}

std::optional<std::string> LeerTextoRemoto(const std::string& url, int32_t puerto,
                                           std::size_t limite) {
    using namespace internet;
    try {
        const lecturas::PartesURL partes = lecturas::DividirURL(url);
        if (!partes.Admitido || puerto < INT16_MIN || puerto > INT16_MAX) return std::nullopt;
        sistema::DoEvents();

        Handle sesion(InternetOpenA(kAgenteDescarga, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        Handle conexion(InternetConnectA(sesion.get(), partes.Host.c_str(),
                                         static_cast<int16_t>(puerto), "", "",
                                         INTERNET_SERVICE_HTTP, 0, 0));
        Handle peticion(AbrirPeticionGet(conexion.get(), partes.Esquema, partes.Ruta));
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
