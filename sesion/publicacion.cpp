#include "publicacion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

#include "sistema.h"
#include "texto_remoto.h"

namespace publicacion {

const char* const kRegistro = ".Morvane-publicacion";

namespace {

// The `publicado` of the installed release's statement, when a valid one is recorded.
std::optional<int64_t> PublicadoInstalado(const std::string& carpeta, const std::string& clave) {
    const int fd = ::open(sistema::Unir(carpeta, kRegistro).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string texto(firma::kLimiteDeclaracion + 1, '\0');
    size_t leidos = 0;
    while (leidos < texto.size()) {
        const ssize_t n = ::read(fd, texto.data() + leidos, texto.size() - leidos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        leidos += static_cast<size_t>(n);
    }
    ::close(fd);
    texto.resize(leidos);
    const auto d = firma::LeerDeclaracion(texto, clave);
    if (!d) return std::nullopt;
    return d->Publicado;
}

// When the product was installed, as an instant; nothing when there is no product.
std::optional<int64_t> FechaDelProducto(const std::string& carpeta) {
    struct stat st {};
    if (::stat(sistema::Unir(carpeta, "Morvane.exe").c_str(), &st) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtim.tv_sec);
}

}  // namespace

Consulta Consultar(const std::string& urlArchivo, const std::string& carpeta,
                   const std::string& clave, const zkDownload::Ajustes& ajustes,
                   std::chrono::system_clock::time_point ahora) {
    Consulta c;
    const auto abandonar = [&ajustes] {
        return ajustes.Cancelacion && ajustes.Cancelacion->Activa();
    };
    try {
        if (abandonar()) {
            c.Veredicto = Estado::Abandonada;
            return c;
        }
        const TextoRemoto texto =
            LeerTextoRemoto(urlArchivo + ".sig", 0, firma::kLimiteDeclaracion, ajustes);
        c.Respuesta = texto.Estado;
        c.Bytes = texto.Texto ? texto.Texto->size() : 0;
        // A cancelled wait ends the fetch like a failure; it says nothing about the
        // statement.
        if (texto.Abandonado || abandonar()) {
            c.Veredicto = Estado::Abandonada;
            return c;
        }
        // Nor does a network that failed: that is a check not made, not a bad signature.
        if (texto.SinRespuesta) {
            c.Veredicto = Estado::SinRespuesta;
            c.Codigo = texto.Codigo;
            c.Mensaje = texto.Mensaje;
            c.MotivoRed = texto.MotivoRed;
            c.Causa = texto.Causa;
            return c;
        }
        if (!texto.Texto) return c;
        const auto d = firma::LeerDeclaracion(*texto.Texto, clave);
        if (!d) return c;
        c.Datos = *d;
        const int64_t segundos =
            std::chrono::duration_cast<std::chrono::seconds>(ahora.time_since_epoch()).count();
        if (segundos >= d->Caduca) {
            c.Veredicto = Estado::Caducada;
            return c;
        }
        c.Texto = *texto.Texto;
        // No product and no record: any release is newer.
        std::optional<int64_t> instalado = PublicadoInstalado(carpeta, clave);
        if (!instalado) instalado = FechaDelProducto(carpeta);
        c.Veredicto = !instalado || d->Publicado > *instalado ? Estado::Nueva : Estado::NoPosterior;
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
