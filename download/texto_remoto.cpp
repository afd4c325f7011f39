#include "texto_remoto.h"

#include <cstring>

#include "internet.h"
#include "lecturas.h"

internet::HINTERNET AbrirPeticionGet(internet::HINTERNET conexion, const std::string& esquema,
                                     const std::string& ruta) {
    using namespace internet;
    uint32_t flags = INTERNET_FLAG_RELOAD;
    if (esquema == "https") flags |= INTERNET_FLAG_SECURE;
    return HttpOpenRequestA(conexion, "GET", ruta.c_str(), "HTTP/1.0", nullptr, nullptr, flags,
                            0);
}

internet::Ajustes AjustesDeRed(const zkDownload::Ajustes& ajustes) {
    internet::Ajustes red;
    red.EsperaConexion = ajustes.EsperaConexion;
    red.EsperaInactividad = ajustes.EsperaInactividad;
    red.SueloVelocidad = ajustes.SueloVelocidad;
    red.AutoridadPruebas = ajustes.AutoridadPruebas;
    red.Cancelacion = ajustes.Cancelacion;
    return red;
}

TextoRemoto LeerTextoRemoto(const std::string& url, int32_t puerto, std::size_t limite,
                            const zkDownload::Ajustes& ajustes) {
    using namespace internet;
    TextoRemoto r;
    // The network failed in a call of the request: nothing is known of the text.
    const auto sinRed = [&r](HINTERNET peticion, const char* codigo, const char* mensaje) {
        if (Fallo(peticion) == std::errc::operation_canceled) {
            r.Abandonado = true;
        } else {
            r.SinRespuesta = true;
            r.Codigo = codigo;
            r.Mensaje = mensaje;
            r.MotivoRed = MotivoDelFallo(peticion);
            r.Causa = Fallo(peticion);
        }
        return r;
    };
    try {
        const lecturas::PartesURL partes = lecturas::DividirURL(url);
        if (!partes.Admitido || puerto < INT16_MIN || puerto > INT16_MAX) return r;

        Handle sesion(InternetOpenA(kAgenteDescarga, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (!EstablecerAjustes(sesion.get(), AjustesDeRed(ajustes))) return r;
        Handle conexion(InternetConnectA(sesion.get(), partes.Host.c_str(),
                                         static_cast<int16_t>(puerto), "", "",
                                         INTERNET_SERVICE_HTTP, 0, 0));
        Handle peticion(AbrirPeticionGet(conexion.get(), partes.Esquema, partes.Ruta));
        if (!peticion) return r;
        if (!HttpSendRequestA(peticion.get(), nullptr, 0, nullptr, 0))
            return sinRed(peticion.get(), "005", "Error en InternetSendRequest.");

        char codigo[8] = {};
        uint32_t longitud = sizeof codigo;
        if (!HttpQueryInfoA(peticion.get(), HTTP_QUERY_STATUS_CODE, codigo, &longitud, nullptr))
            return r;
        r.Estado = codigo;
        if (codigo[0] == '5' && lecturas::SonDigitos(codigo) && std::strlen(codigo) == 3) {
            char texto[256] = {};
            longitud = sizeof texto;
            HttpQueryInfoA(peticion.get(), HTTP_QUERY_STATUS_TEXT, texto, &longitud, nullptr);
            r.SinRespuesta = true;
            r.Codigo = codigo;
            r.Mensaje = texto;
            return r;
        }
        if (codigo[0] != '2') return r;

        std::string cuerpo;
        char pieza[1024];
        for (;;) {
            uint32_t leidos = 0;
            if (!InternetReadFile(peticion.get(), pieza, sizeof pieza, &leidos))
                return sinRed(peticion.get(), "999", "Ha ocurrido un error durante la descarga.");
            if (leidos == 0) {
                r.Texto = std::move(cuerpo);
                return r;
            }
            if (leidos > limite - cuerpo.size()) return r;
            cuerpo.append(pieza, leidos);
        }
    } catch (...) {
        return r;
    }
}
