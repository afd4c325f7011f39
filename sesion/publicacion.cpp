#include "publicacion.h"

#include <climits>
#include <ctime>
#include <optional>

#include "sistema.h"
#include "texto_remoto.h"

namespace publicacion {

namespace {

// The UTC calendar day of a time, as the unsigned check takes the day of Last-Modified.
std::optional<sistema::Fecha> DiaUtc(int64_t segundos) {
    const std::time_t t = static_cast<std::time_t>(segundos);
    std::tm utc{};
    if (!::gmtime_r(&t, &utc)) return std::nullopt;
    return sistema::Fecha::Crear(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
}

}  // namespace

Consulta Consultar(const std::string& urlArchivo, const std::string& carpeta,
                   const std::string& clave, const std::function<bool()>& abandonar) {
    Consulta c;
    try {
        if (abandonar && abandonar()) {
            c.Veredicto = Estado::Abandonada;
            return c;
        }
        const TextoRemoto texto =
            LeerTextoRemoto(urlArchivo + ".sig", 0, firma::kLimiteDeclaracion);
        // A wait given up for the window ends the fetch like a failure; it says nothing
        // about the statement.
        if (texto.Abandonado || (abandonar && abandonar())) {
            c.Veredicto = Estado::Abandonada;
            return c;
        }
        // Nor does a network that failed: that is a check not made, not a bad signature.
        if (texto.SinRespuesta) {
            c.Veredicto = Estado::SinRespuesta;
            c.Codigo = texto.Codigo;
            c.Mensaje = texto.Mensaje;
            c.MotivoRed = texto.MotivoRed;
            return c;
        }
        if (!texto.Texto) return c;
        const auto d = firma::LeerDeclaracion(*texto.Texto, clave);
        if (!d) return c;
        c.Datos = *d;
        if (static_cast<int64_t>(std::time(nullptr)) >= d->Caduca) {
            c.Veredicto = Estado::Caducada;
            return c;
        }
        // No product: its day stays the zero date, and any release is newer.
        sistema::Fecha producto{};
        if (const auto f = sistema::FechaModificacion(sistema::Unir(carpeta, "Morvane.exe")))
            producto = f->Dia;
        const auto publicado = DiaUtc(d->Publicado);
        c.Veredicto = publicado && *publicado > producto ? Estado::Nueva : Estado::NoPosterior;
        return c;
    } catch (...) {
        c.Veredicto = Estado::NoValida;
        return c;
    }
}

const char* Texto(Estado estado) {
    switch (estado) {
        case Estado::Nueva: return "Existe una actualización";
        case Estado::NoPosterior: return "No existen actualizaciones";
        case Estado::Caducada: return "La información de actualizaciones ha caducado";
        case Estado::SinRespuesta: return "No se pudo comprobar si existen actualizaciones";
        case Estado::NoValida:
        case Estado::Abandonada: break;
    }
    return "La actualización no tiene una firma válida";
}

zkDownload::Verificacion Cuerpo::Verificacion() {
    zkDownload::Verificacion v;
    v.Limite = declaracion_.Tamano > static_cast<uint64_t>(INT64_MAX)
                   ? INT64_MAX
                   : static_cast<int64_t>(declaracion_.Tamano);
    v.Reiniciar = [this] {
        sha_.Reiniciar();
        bytes_ = 0;
    };
    v.Anadir = [this](const char* datos, size_t n) {
        sha_.Anadir(datos, n);
        bytes_ += n;
    };
    v.Aceptar = [this] {
        const auto resumen = sha_.Final();
        return bytes_ == declaracion_.Tamano && resumen && *resumen == declaracion_.Sha256;
    };
    return v;
}

}  // namespace publicacion
