#include "zkDownload.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>

#include "fichero_temporal.h"
#include "lecturas.h"
#include "respuesta_http.h"
#include "texto_remoto.h"
#include "zkDownload_detalle.h"

namespace {

using namespace internet;
using zkdetalle::Estado;
using zkdetalle::ValoresProgreso;

// Reanudar's answer when the attempt's own status has already been reported.
const std::error_code kEstadoYaDado = Estado(-1);

constexpr const char* kArchivo = "/Morvane.zip";
constexpr const char* kEjecutable = "/Morvane.exe";
constexpr const char* kPrefijoTemporal = "zkD";
constexpr uint32_t kTamConsulta = 1024;
// A download gives up after this many attempts in a row that get it no further: an
// attempt moves it on only when it takes it at least kAvanceMinimo bytes beyond where it
// had ever been (or finishes it), so a server that answers each attempt with a few bytes
// cannot hold it for ever.
constexpr int kIntentosSinAvance = 5;
constexpr int64_t kAvanceMinimo = 64 * 1024;
constexpr std::chrono::milliseconds kEsperaMaxima{16000};

// Runs one statement of Descargar; a statement that faults is skipped.
template <class F>
void Sentencia(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

// Runs one step of Descargar. A step that faults is skipped and the call goes on.
template <class F>
bool Paso(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return true;
    }
}

// The platform takes texts as C strings: a NUL inside one would silently cut it and send
// a shorter host, path or name than the caller gave. The step that would pass such a text
// fails instead.
bool SinNul(const std::string& texto) { return texto.find('\0') == std::string::npos; }

// The complete length of a Content-Range ("bytes 0-99/3000": "3000"); nothing for "*"
// (unknown) or anything else that is not a plain decimal number.
std::optional<int64_t> LongitudCompleta(const std::string& texto) {
    int64_t valor = 0;
    const char* fin = texto.data() + texto.size();
    const auto r = std::from_chars(texto.data(), fin, valor);
    if (!lecturas::SonDigitos(texto) || r.ec != std::errc() || r.ptr != fin) return std::nullopt;
    return valor;
}

class CategoriaEstado final : public std::error_category {
public:
    const char* name() const noexcept override { return "zkDownload"; }
    std::string message(int codigo) const override {
        switch (codigo) {
            case 1: return "URL incorrecta.";
            case 2: return "Error en InternetOpen.";
            case 3: return "Error en InternetConnect.";
            case 4: return "Error en InternetOpenRequest.";
            case 5: return "Error en InternetSendRequest.";
            case 6: return "Error en InternetQueryInfo.";
            case 7: return "Error en InternetReadFile.";
            case 8: return "No se ha podido crear el fichero de destino.";
            case 998: return "Descarga cancelada por el usuario.";
            case 999: return "Ha ocurrido un error durante la descarga.";
            default: return {};
        }
    }
};

}  // namespace

namespace zkdetalle {

const std::error_category& CategoriaEstado() {
    static const ::CategoriaEstado categoria;
    return categoria;
}

std::string FormatearCodigo(int32_t codigo) {
    const int64_t valor = codigo;
    std::string digitos = std::to_string(valor < 0 ? -valor : valor);
    if (digitos.size() < 3) digitos.insert(0, 3 - digitos.size(), '0');
    return valor < 0 ? "-" + digitos : digitos;
}

int32_t TipoAcceso(const std::string& usarProxy, const std::string& noUsarProxy) {
    return (usarProxy.empty() && noUsarProxy.empty()) ? INTERNET_OPEN_TYPE_PRECONFIG
                                                      : INTERNET_OPEN_TYPE_PROXY;
}

ValoresProgreso CalcularProgreso(int32_t bytesTotales, int32_t bytesRecibidos,
                                 uint32_t milisegundos, bool acotar) {
    ValoresProgreso v;
    const double segundos = milisegundos / 1000.0;
    const double tasa = bytesRecibidos / segundos;
    double restantes = 0;
    if (bytesTotales >= 0) {
        v.Porcentaje = bytesRecibidos * 100.0 / bytesTotales;
        restantes = bytesTotales / tasa - segundos;
    }
    if (!(restantes >= 0)) restantes = 0;

    auto redondear = [acotar](double x, int32_t& resultado) {
        double r = std::nearbyint(x);
        if (acotar && !std::isnan(r)) r = std::clamp<double>(r, INT32_MIN, INT32_MAX);
        if (!(r >= INT32_MIN && r <= INT32_MAX)) return false;
        resultado = static_cast<int32_t>(r);
        return true;
    };
    int32_t restantesEnteros = 0;
    v.Valido = redondear(segundos, v.SegundosTranscurridos) &&
               redondear(restantes, restantesEnteros) && redondear(tasa, v.BytesPorSegundo);
    v.SegundosRestantes = restantesEnteros;
    return v;
}

}  // namespace zkdetalle

zkDownload::zkDownload() = default;

zkDownload::~zkDownload() { CerrarConexiones(); }

const std::vector<std::pair<std::string_view, std::string_view>>& zkDownload::Documentacion() {
    static const std::vector<std::pair<std::string_view, std::string_view>> tabla = {
        {"BytesBloqueDescarga",
         "Devuelve o establece el tamaño de cada bloque que se descarga de internet. No conviene "
         "que sea demasiado grande porque se tardará más en poder cancelar una descarga y en "
         "mostrar el porcentaje descargado. "},
        {"QExpiresStr",
         "Devuelve el valor de la cabecera EXPIRES si el valor de QExpires es true."},
        {"QExpires",
         "Devuelve o establece si queremos obtener el valor de la cabeceraEXPIRES."},
        {"QRawHeadersCrLfStr",
         "Devuelve el valor de la cabecera RAW_HEADERS_CRLF si la propiedad QRawHeadersCrLf es "
         "true."},
        {"QVersionStr",
         "Devuelve el valor de la cabecera VERSION si la propiedad QVersion es true."},
        {"QServerStr",
         "Devuelve el valor de la cabecera SERVER si la propiedad QServer es true."},
        {"QRequestMethodStr",
         "Devuelve el valor de la cabecera REQUEST_METHOD si la propiedad QRequestMethod es true."},
        {"QRawHeadersStr",
         "Devuelve el valor de la cabecera RAW_HEADERS si la propiedad QRawHeaders es true."},
        {"QPragmaStr",
         "Devuelve el valor de la cabecera PRAGMA si la propiedad QPragma es true."},
        {"QLastModifiedStr",
         "Devuelve el valor de la cabecera LAST_MODIFIED si la propiedad QLastModified es true."},
        {"QForwardedStr",
         "Devuelve el contenido de la cabecera FORWARDED si la propiedad QForwarded es true."},
        {"QContentTypeStr",
         "Devuelve la información de la cabecera CONTENT_TYPE si la propiedad QContentType es "
         "true."},
        {"QContentLengthStr",
         "Devuelve la información de la cabecera CONTENT_LENGTH, si la propiedad QContentLength "
         "as true."},
        {"QPragma",
         "Devuelve o establece si deseamos recuperar la cabecera PRAGMA."},
        {"QRequestMethod",
         "Devuelve o establece si deseamos recuperar la cabecera REQUEST_METHOD."},
        {"QServer",
         "Devuelve o establece si deseamos recuperar la cabecera SERVER."},
        {"QForwarded",
         "Devuelve o establece si deseamos recuperar la cabecera FORWARDED."},
        {"QRawHeadersCrLf",
         "Devuelve o establece si deseamos recuperar la cabecera RAW_HEADERS_CRLF."},
        {"QRawHeaders",
         "Devuelve o establece si deseamos recuperar la cabecera RAW_HEADERS."},
        {"QVersion",
         "Devuelve o establece si deseamos recuperar la cabecera VERSION."},
        {"QLastModified",
         "Devuelve o establece si deseamos recuperar la cabecera LAST_MODIFIED"},
        {"QContentLength",
         "Devuelve o establece si deseamos recuperar la cabecera CONTENT_LENGTH"},
        {"QContentType",
         "Devuelve o establece si deseamos recuperar la cabecera CONTENT_TYPE"},
        {"Descargar",
         "Descarga la información o el contenido solicitado. Para determinar qué información "
         "descargar revise las propiedades que comienzan con Q."},
        {"Puerto",
         "Si no se rellena se utilizará el puerto por defecto según el protocolo."},
        {"ContenidoDescargado",
         "Devuelve el contenido descargado de internet si se dejó en blanco la propiedad Fichero."},
        {"Fichero",
         "Devuelve o establece el nombre del fichero donde se guardará el contenido descargado. "
         "Si se deja en blanco el contenido descargado se devolverá  en la propiedad "
         "ContenidoDescargado."},
        {"Password",
         "Devuelve o establece la password con la que se realizará la conexión."},
        {"Usuario",
         "Devuelve o establece el usuario con el que se realizará la conexión."},
        {"NoUsarProxy",
         "Establece la lista dedirecciones para las que no se usará el  proxy a usar. Si se deja "
         "vacía se usará la configuración predeterminada del sistema."},
        {"UsarProxy",
         "Establece la lista de proxys a usar. Si se deja vacía se usará la configuración "
         "predeterminada del sistema."},
        {"StatusText",
         "Devuelve la descripción del error."},
        {"StatusCode",
         "Devuelve el código de error."},
        {"HuboError",
         "Devuelve si la operación causó un error. Consultar StatusCode y StatusText para más "
         "información."},
        {"URL",
         "Devuelve y establece la URL que queremos descargar"},
    };
    return tabla;
}

// Properties ---------------------------------------------------------------------------

int32_t zkDownload::BytesBloqueDescarga() const { return bytesBloqueDescarga_; }
void zkDownload::BytesBloqueDescarga(int32_t vData) { bytesBloqueDescarga_ = vData; }

std::string zkDownload::QExpiresStr() const { return qExpiresStr_; }
void zkDownload::QExpiresStr(const std::string& vData) { qExpiresStr_ = vData; }
bool zkDownload::QExpires() const { return qExpires_; }
void zkDownload::QExpires(bool vData) { qExpires_ = vData; }
std::string zkDownload::QRawHeadersCrLfStr() const { return qRawHeadersCrLfStr_; }
void zkDownload::QRawHeadersCrLfStr(const std::string& vData) { qRawHeadersCrLfStr_ = vData; }

std::string zkDownload::QVersionStr() const { return qVersionStr_; }
std::string zkDownload::QServerStr() const { return qServerStr_; }
std::string zkDownload::QRequestMethodStr() const { return qRequestMethodStr_; }
std::string zkDownload::QRawHeadersStr() const { return qRawHeadersStr_; }
std::string zkDownload::QPragmaStr() const { return qPragmaStr_; }
std::string zkDownload::QLastModifiedStr() const { return qLastModifiedStr_; }
std::string zkDownload::QForwardedStr() const { return qForwardedStr_; }
std::string zkDownload::QContentTypeStr() const { return qContentTypeStr_; }
std::string zkDownload::QContentLengthStr() const { return qContentLengthStr_; }

bool zkDownload::QPragma() const { return qPragma_; }
void zkDownload::QPragma(bool vData) { qPragma_ = vData; }
bool zkDownload::QRequestMethod() const { return qRequestMethod_; }
void zkDownload::QRequestMethod(bool vData) { qRequestMethod_ = vData; }
bool zkDownload::QServer() const { return qServer_; }
void zkDownload::QServer(bool vData) { qServer_ = vData; }
bool zkDownload::QForwarded() const { return qForwarded_; }
void zkDownload::QForwarded(bool vData) { qForwarded_ = vData; }
bool zkDownload::QRawHeadersCrLf() const { return qRawHeadersCrLf_; }
void zkDownload::QRawHeadersCrLf(bool vData) { qRawHeadersCrLf_ = vData; }
bool zkDownload::QRawHeaders() const { return qRawHeaders_; }
void zkDownload::QRawHeaders(bool vData) { qRawHeaders_ = vData; }
bool zkDownload::QVersion() const { return qVersion_; }
void zkDownload::QVersion(bool vData) { qVersion_ = vData; }
bool zkDownload::QLastModified() const { return qLastModified_; }
void zkDownload::QLastModified(bool vData) { qLastModified_ = vData; }
bool zkDownload::QContentLength() const { return qContentLength_; }
void zkDownload::QContentLength(bool vData) { qContentLength_ = vData; }
bool zkDownload::QContentType() const { return qContentType_; }
void zkDownload::QContentType(bool vData) { qContentType_ = vData; }

int32_t zkDownload::Puerto() const {
    if (puerto_ != 0) return puerto_;
    if (esquema_ == "http") return 80;
    if (esquema_ == "https") return 443;
    return 0;
}
void zkDownload::Puerto(int32_t vData) { puerto_ = vData; }

std::string zkDownload::ContenidoDescargado() const { return contenidoDescargado_; }

std::string zkDownload::Fichero() const {
    const size_t inicio = fichero_.find_first_not_of(' ');
    if (inicio == std::string::npos) return {};
    return fichero_.substr(inicio, fichero_.find_last_not_of(' ') - inicio + 1);
}
void zkDownload::Fichero(const std::string& vData) { fichero_ = vData; }

std::string zkDownload::Password() const { return password_; }
void zkDownload::Password(const std::string& vData) { password_ = vData; }
std::string zkDownload::Usuario() const { return usuario_; }
void zkDownload::Usuario(const std::string& vData) { usuario_ = vData; }

std::string zkDownload::NoUsarProxy() const { return noUsarProxy_; }
void zkDownload::NoUsarProxy(const std::string& vData) {
    noUsarProxy_ = vData;
    ElegirTipoAcceso();
}
std::string zkDownload::UsarProxy() const { return usarProxy_; }
void zkDownload::UsarProxy(const std::string& vData) {
    usarProxy_ = vData;
    ElegirTipoAcceso();
}

void zkDownload::ElegirTipoAcceso() { tipoAcceso_ = zkdetalle::TipoAcceso(usarProxy_, noUsarProxy_); }

std::string zkDownload::StatusText() const { return statusText_; }
std::string zkDownload::StatusCode() const { return statusCode_; }
bool zkDownload::HuboError() const { return huboError_; }
std::string zkDownload::MotivoRed() const { return motivoRed_; }
std::error_code zkDownload::Causa() const { return causa_; }

std::string zkDownload::URL() const { return url_; }
void zkDownload::URL(const std::string& vData) {
    try {
        url_ = vData;
    } catch (...) {
    }
    urlUtilizable_ = AnalizarURL();
}

// URL splitting -------------------------------------------------------------------------

bool zkDownload::AnalizarURL() {
    try {
        lecturas::PartesURL partes = lecturas::DividirURL(url_);
        esquema_ = std::move(partes.Esquema);
        if (!partes.Admitido) {
            EstablecerError(1);
            return false;
        }
        host_ = std::move(partes.Host);
        ruta_ = std::move(partes.Ruta);
        return true;
    } catch (...) {
        EstablecerError(1);
        return false;
    }
}

// Status, header query and release -----------------------------------------------------

void zkDownload::EstablecerError(int32_t codigo) { EstablecerError(Estado(codigo)); }

// The one place a failure becomes what the caller reads: the code, the component's own
// text for it (an HTTP status keeps the server's), and a cancel as such below.
void zkDownload::EstablecerError(std::error_code estado) {
    try {
        statusCode_ = zkdetalle::FormatearCodigo(estado.value());
        std::string mensaje = estado.message();
        if (!mensaje.empty()) statusText_ = std::move(mensaje);
    } catch (...) {
    }
    if (estado == Estado(998)) causa_ = std::make_error_code(std::errc::operation_canceled);
    CerrarConexiones();
    huboError_ = true;
}

void zkDownload::CerrarConexiones() {
    peticion_.reset();
    conexion_.reset();
    sesion_.reset();
}

void zkDownload::LimpiarCabeceras() {
    qContentLengthStr_.clear();
    qContentTypeStr_.clear();
    qForwardedStr_.clear();
    qLastModifiedStr_.clear();
    qPragmaStr_.clear();
    qRawHeadersStr_.clear();
    qRequestMethodStr_.clear();
    qServerStr_.clear();
    qVersionStr_.clear();
    qRawHeadersCrLfStr_.clear();
}

bool zkDownload::ConsultarCabecera(HINTERNET peticion, uint32_t nivel, std::string& texto) {
    char buffer[kTamConsulta] = {};
    uint32_t longitud = kTamConsulta;
    uint32_t indice = 0;
    const bool ok = HttpQueryInfoA(peticion, nivel, buffer, &longitud, &indice);
    texto.assign(buffer, ::strnlen(buffer, kTamConsulta));
    return ok;
}

// Descargar ------------------------------------------------------------------------------

void zkDownload::Descargar(const int32_t& TipoAccion) {
    // A Progreso handler that calls Descargar again on this instance would pull the
    // handles and the temporary file from under the running transfer.
    if (enDescargar_) return;
    enDescargar_ = true;
    struct Salida {
        bool& bandera;
        ~Salida() { bandera = false; }
    } salida{enDescargar_};

    const int32_t bloque = bytesBloqueDescarga_;
    int32_t longitud = -1;
    bool cancelar = false;

    LimpiarCabeceras();
    huboError_ = false;
    statusCode_.clear();
    statusText_.clear();
    motivoRed_.clear();
    causa_.clear();
    contenidoDescargado_.clear();
    Sentencia([&] { fichero_ = CarpetaDeTrabajo() + kArchivo; });

    urlUtilizable_ = AnalizarURL();
    if (!urlUtilizable_) {
        huboError_ = true;
        return;
    }

    if (!Paso([&] { return AbrirSesion(); })) return;
    if (!Paso([&] { return Conectar(); })) return;
    if (!Paso([&] { return AbrirPeticion(); })) return;
    if (!Paso([&] { return EnviarPeticion(); })) return;
    if (!LeerEstado()) return;

    Sentencia([&] { longitud = LeerLongitud(); });
    LeerCabecerasOpcionales();

    if (TipoAccion == 0) {
        CerrarConexiones();
        return;
    }
    Transferir(bloque, longitud, cancelar);
}

bool zkDownload::AbrirSesion() {
    const bool conProxy = tipoAcceso_ == INTERNET_OPEN_TYPE_PROXY;
    if (SinNul(usarProxy_) && SinNul(noUsarProxy_))
        sesion_.reset(InternetOpenA(kAgenteDescarga, tipoAcceso_,
                                    conProxy ? usarProxy_.c_str() : nullptr,
                                    conProxy ? noUsarProxy_.c_str() : nullptr, 0));
    if (!sesion_ || !EstablecerAjustes(sesion_.get(), AjustesDeRed(Opciones))) {
        EstablecerError(2);
        return false;
    }
    return true;
}

bool zkDownload::Conectar() {
    const int32_t puerto = Puerto();
    // The platform takes the port as a signed 16-bit value; a larger one cannot be passed.
    if (puerto >= INT16_MIN && puerto <= INT16_MAX && SinNul(host_) && SinNul(usuario_) &&
        SinNul(password_))
        conexion_.reset(InternetConnectA(sesion_.get(), host_.c_str(),
                                         static_cast<int16_t>(puerto), usuario_.c_str(),
                                         password_.c_str(), servicio_, 0, 0));
    if (!conexion_) {
        EstablecerError(3);
        return false;
    }
    return true;
}

bool zkDownload::AbrirPeticion() {
    if (SinNul(ruta_)) peticion_.reset(AbrirPeticionGet(conexion_.get(), esquema_, ruta_));
    if (!peticion_) {
        EstablecerError(4);
        return false;
    }
    return true;
}

// A send given up for the cancel token is a cancel.
bool zkDownload::EnviarPeticion() {
    if (!HttpSendRequestA(peticion_.get(), nullptr, 0, nullptr, 0)) {
        FalloDeRed();
        EstablecerError(causa_ == std::errc::operation_canceled ? 998 : 5);
        return false;
    }
    return true;
}

// The request's own reason; a cancel has no words of the network's.
void zkDownload::FalloDeRed() {
    causa_ = internet::Fallo(peticion_.get());
    motivoRed_.clear();
    if (causa_ != std::errc::operation_canceled)
        Sentencia([&] { motivoRed_ = internet::MotivoDelFallo(peticion_.get()); });
}

uint32_t zkDownload::Ahora() const {
    return Opciones.Reloj ? Opciones.Reloj() : sistema::GetTickCount();
}

std::string zkDownload::CarpetaDeTrabajo() const {
    return Opciones.Carpeta.empty() ? sistema::App_Path() : Opciones.Carpeta;
}

// Only a status beginning with "2" lets the call go on; whatever else, or a status that
// cannot be read, ends it as a failure.
bool zkDownload::LeerEstado() {
    try {
        std::string texto;
        if (!ConsultarCabecera(peticion_.get(), HTTP_QUERY_STATUS_TEXT, texto)) {
            EstablecerError(6);
            return false;
        }
        statusText_ = texto;
        if (!ConsultarCabecera(peticion_.get(), HTTP_QUERY_STATUS_CODE, texto)) {
            EstablecerError(6);
            return false;
        }
        statusCode_ = texto;
        if (!statusCode_.empty() && statusCode_[0] == '2') return true;

        int32_t codigo = 0;
        const char* fin = statusCode_.data() + statusCode_.size();
        const auto r = std::from_chars(statusCode_.data(), fin, codigo);
        const bool numero =
            lecturas::SonDigitos(statusCode_) && r.ec == std::errc() && r.ptr == fin;
        EstablecerError(numero ? codigo : 6);
        return false;
    } catch (...) {
        EstablecerError(6);
        return false;
    }
}

int32_t zkDownload::LeerLongitud() {
    std::string texto;
    if (!ConsultarCabecera(peticion_.get(), HTTP_QUERY_CONTENT_LENGTH, texto)) return -1;
    const int32_t longitud = internet::LongitudDeContenido(texto);
    if (qContentLength_) Sentencia([&] { qContentLengthStr_ = texto; });
    // A transfer coding delimits the body whatever Content-Length says (RFC 9112, 6.3), as
    // the reads already treat it: the length is unknown until the body has ended.
    std::string codificacion;
    if (ConsultarCabecera(peticion_.get(), HTTP_QUERY_TRANSFER_ENCODING, codificacion)) return -1;
    return longitud;
}

void zkDownload::LeerCabecerasOpcionales() {
    // A failed query of an optional header leaves its result as it was.
    auto consultar = [this](bool activo, uint32_t nivel, std::string& resultado) {
        bool leido = false;
        if (!activo) return leido;
        Sentencia([&] {
            std::string texto;
            if (ConsultarCabecera(peticion_.get(), nivel, texto)) {
                resultado = std::move(texto);
                leido = true;
            }
        });
        return leido;
    };
    consultar(qContentType_, HTTP_QUERY_CONTENT_TYPE, qContentTypeStr_);
    consultar(qExpires_, HTTP_QUERY_EXPIRES, qExpiresStr_);
    if (consultar(qLastModified_, HTTP_QUERY_LAST_MODIFIED, qLastModifiedStr_))
        ComprobarActualizacion();
    consultar(qPragma_, HTTP_QUERY_PRAGMA | HTTP_QUERY_FLAG_REQUEST_HEADERS, qPragmaStr_);
    consultar(qVersion_, HTTP_QUERY_VERSION, qVersionStr_);
    consultar(qRawHeaders_, HTTP_QUERY_RAW_HEADERS, qRawHeadersStr_);
    consultar(qRawHeadersCrLf_, HTTP_QUERY_RAW_HEADERS_CRLF, qRawHeadersCrLfStr_);
    consultar(qForwarded_, HTTP_QUERY_FORWARDED, qForwardedStr_);
    consultar(qServer_, HTTP_QUERY_SERVER, qServerStr_);
    consultar(qRequestMethod_, HTTP_QUERY_REQUEST_METHOD | HTTP_QUERY_FLAG_REQUEST_HEADERS,
              qRequestMethodStr_);
}

// Update-date check ----------------------------------------------------------------------

void zkDownload::LeerFechaDisco() {
    const auto fecha = sistema::FechaModificacion(CarpetaDeTrabajo() + kEjecutable);
    if (fecha) FechaDisco = fecha->Dia;
}

// Calendar days only: the GMT day of the header against the local day of the executable.
// A header that forms no date draws no verdict at all.
void zkDownload::ComprobarActualizacion() {
    Sentencia([&] { LeerFechaDisco(); });
    std::optional<sistema::Fecha> fecha;
    Sentencia([&] { fecha = lecturas::FechaDeCabecera(qLastModifiedStr_); });
    if (!fecha) return;
    FechaInternet = *fecha;
    if (FechaInternet > FechaDisco) {
        if (BarraProgreso) Sentencia([&] { BarraProgreso(0, "Existe una actualización"); });
        if (HabilitarDescargar) Sentencia([&] { HabilitarDescargar(true); });
    } else {
        if (BarraProgreso) Sentencia([&] { BarraProgreso(0, "No existen actualizaciones"); });
    }
}

// Transfer -------------------------------------------------------------------------------

// Reads the current answer's body to its end into the temporary file, raising Progreso
// with the counts of the whole archive.
zkDownload::FinCuerpo zkDownload::LeerCuerpo(char* buffer, uint32_t pedir, int32_t longitud,
                                             uint32_t inicio, bool& cancelar) {
    // Raises Progreso with the body counted so far; a handler's fault stays in it.
    auto avisar = [&](const ValoresProgreso& v) {
        int32_t copiaTasa = v.BytesPorSegundo;
        try {
            // A copy: the receiver may replace or clear Progreso while it runs.
            const auto receptor = Progreso;
            receptor(longitud, recibidos_, v.Porcentaje, v.SegundosTranscurridos,
                     v.SegundosRestantes, copiaTasa, cancelar);
        } catch (...) {
        }
    };
    bool leido = true;
    uint32_t ultimos = pedir;
    bool sinEvento = false;  // the last block raised no event
    while (leido && ultimos != 0 && !cancelar) {
        // Looked at before every block: data already buffered is read without a wait.
        if (Opciones.Cancelacion && Opciones.Cancelacion->Activa()) {
            cancelar = true;
            break;
        }
        ultimos = 0;
        // Read afresh: a Progreso handler may have released the handles (a bad URL set).
        leido = InternetReadFile(peticion_.get(), buffer, pedir, &ultimos);
        if (!leido) {
            FalloDeRed();
            if (causa_ == std::errc::operation_canceled) cancelar = true;
        }
        if (!leido || ultimos == 0) break;
        if (ultimos > pedir) return FinCuerpo::Roto;
        // Counts are 32-bit: a longer body cannot be reported truthfully.
        if (ultimos > static_cast<uint32_t>(INT32_MAX - recibidos_)) return FinCuerpo::Desbordado;
        // [body check: limit] Not one byte beyond what the caller expects is kept.
        if (VerificarCuerpo.Limite >= 0 && ultimos > VerificarCuerpo.Limite - recibidos_)
            return FinCuerpo::Rechazado;
        if (!temporal_->Anadir(buffer, ultimos)) return FinCuerpo::NoEscrito;
        // [body check: digest] Every byte written, once, as it is written.
        if (VerificarCuerpo.Anadir) VerificarCuerpo.Anadir(buffer, ultimos);
        recibidos_ += static_cast<int32_t>(ultimos);

        const ValoresProgreso v =
            zkdetalle::CalcularProgreso(longitud, recibidos_, Ahora() - inicio);
        sinEvento = !v.Valido;
        if (v.Valido && Progreso) avisar(v);
    }
    if (cancelar) return FinCuerpo::Cancelado;
    if (!leido) return FinCuerpo::Roto;
    // The receiver always sees the whole body counted: a last block too quick for its
    // rate to fit is raised once more, the values that do not fit held at the limits.
    if (sinEvento && Progreso) {
        avisar(zkdetalle::CalcularProgreso(longitud, recibidos_, Ahora() - inicio, true));
        if (cancelar) return FinCuerpo::Cancelado;
    }
    return FinCuerpo::Completo;
}

bool zkDownload::EmpezarDeCero() {
    if (temporal_) temporal_->Descartar();
    temporal_.reset();
    recibidos_ = 0;
    // [body check: reset] The temporary file starts from zero here.
    VerificarCuerpo.Rechazado = false;
    if (VerificarCuerpo.Reiniciar) VerificarCuerpo.Reiniciar();
    temporal_ = std::make_unique<sistema::FicheroTemporal>(sistema::ObtenerCarpeta(Fichero()),
                                                           kPrefijoTemporal, Opciones.Disco,
                                                           Opciones.TemporalSinNombre);
    if (temporal_->Abierto()) return true;
    causa_ = temporal_->Error();
    return false;
}

// The whole archive's length as the current answer announces it; -1 when unknown (a
// transfer coding delimits the body whatever Content-Length says).
int64_t zkDownload::TotalAnunciado() {
    std::string dato;
    if (ConsultarCabecera(peticion_.get(), HTTP_QUERY_TRANSFER_ENCODING, dato)) return -1;
    if (!ConsultarCabecera(peticion_.get(), HTTP_QUERY_CONTENT_LENGTH, dato)) return -1;
    return internet::LongitudAnunciada(dato);
}

// The total of the current answer's Content-Range when the range starts at byte `desde`
// ("bytes desde-.../total"); nothing otherwise.
std::optional<std::string> zkDownload::TotalDelRango(int32_t desde) {
    std::string rango;
    ConsultarCabecera(peticion_.get(), HTTP_QUERY_CONTENT_RANGE, rango);
    std::string esperado = "bytes ";  // appended: GCC 12 misreads "x" + string as overlap
    esperado += std::to_string(desde);
    esperado += '-';
    const size_t barra = rango.rfind('/');
    if (rango.compare(0, esperado.size(), esperado) != 0 || barra == std::string::npos)
        return std::nullopt;
    return rango.substr(barra + 1);
}

std::error_code zkDownload::Reanudar(const std::string& validador, int64_t& total, int intento,
                                     std::chrono::milliseconds espera, const char* motivo) {
    const bool resto = !validador.empty() && recibidos_ > 0;
    {
        // One line per attempt, beside the line each check and download ends with.
        const std::time_t ahora = std::time(nullptr);
        std::tm local{};
        char hora[32] = "";
        if (::localtime_r(&ahora, &local))
            std::strftime(hora, sizeof hora, "%Y-%m-%d %H:%M:%S", &local);
        std::string url;
        for (char c : url_) url.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
        std::fprintf(stderr, "%s reintento %d %s: %s, %d bytes\n", hora, intento, url.c_str(),
                     motivo, recibidos_);
    }
    peticion_.reset();
    // Whatever this attempt fails with is its own failure, not the last one's.
    motivoRed_.clear();
    causa_.clear();
    if (!internet::Esperar(espera, Opciones.Cancelacion)) return Estado(998);

    peticion_.reset(AbrirPeticionGet(conexion_.get(), esquema_, ruta_));
    if (!peticion_) return Estado(5);
    std::string cabeceras;
    if (resto)
        cabeceras = "Range: bytes=" + std::to_string(recibidos_) + "-\r\nIf-Range: " + validador +
                    "\r\n";
    if (!HttpSendRequestA(peticion_.get(), cabeceras.c_str(),
                          static_cast<uint32_t>(cabeceras.size()), nullptr, 0)) {
        FalloDeRed();
        return Estado(causa_ == std::errc::operation_canceled ? 998 : 5);
    }
    if (!LeerEstado()) return kEstadoYaDado;  // reported with the answer's own code
    if (statusCode_ == "200") {
        total = TotalAnunciado();  // the archive may have changed
        return EmpezarDeCero() ? std::error_code{} : Estado(8);
    }
    if (statusCode_ != "206" || !resto) return Estado(999);
    // The rest of the same archive: bytes N-.../total. Its total is the archive's length
    // from now on, also when the first answer gave none (chunked, or no Content-Length):
    // without one, a range that stops short would pass for the end of the archive.
    const auto totalTexto = TotalDelRango(recibidos_);
    const auto delRango = totalTexto ? LongitudCompleta(*totalTexto) : std::nullopt;
    if (!delRango || (total >= 0 && *delRango != total)) return Estado(999);
    total = *delRango;
    return {};
}

void zkDownload::Transferir(int32_t bloque, int32_t longitud, bool& cancelar) {
    // The temporary file never outlives the call.
    struct Soltar {
        std::unique_ptr<sistema::FicheroTemporal>& t;
        ~Soltar() { t.reset(); }
    } soltar{temporal_};
    try {
        // A block size that cannot read anything would "complete" with an empty archive.
        if (bloque <= 0) {
            EstablecerError(7);
            return;
        }
        std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(bloque)]);
        if (!EmpezarDeCero()) {
            EstablecerError(8);
            return;
        }

        // What a later attempt needs from the first answer, and what the caller sees.
        const std::string codigo = statusCode_, texto = statusText_;
        std::string validador, dato;
        int64_t total = -1;
        Sentencia([&] {
            if (ConsultarCabecera(peticion_.get(), HTTP_QUERY_ETAG, dato) && !dato.empty() &&
                dato.compare(0, 2, "W/") != 0)
                validador = dato;
            else if (ConsultarCabecera(peticion_.get(), HTTP_QUERY_LAST_MODIFIED, dato))
                validador = dato;
            total = TotalAnunciado();
        });
        // A 206 to a request that asked no range holds part of the archive: it counts
        // from its first byte only, and the archive's length is the range's total.
        // An unknown total ("/*") could never be known complete: it is no archive either.
        if (codigo == "206") {
            const auto totalTexto = TotalDelRango(0);
            const auto delRango = totalTexto ? LongitudCompleta(*totalTexto) : std::nullopt;
            if (!delRango) {
                temporal_->Descartar();
                EstablecerError(999);
                return;
            }
            total = *delRango;
            longitud = total <= INT32_MAX ? static_cast<int32_t>(total) : -1;
        }

        const uint32_t inicio = Ahora();
        const uint32_t pedir = static_cast<uint32_t>(bloque);
        int32_t maximo = 0;  // the most the file has ever held
        int sinAvanzar = 0;  // attempts in a row that did not get kAvanceMinimo past maximo
        const std::chrono::milliseconds primera = std::max(std::chrono::milliseconds(0),
                                                           Opciones.EsperaEntreIntentos);
        std::chrono::milliseconds espera = primera;
        int intento = 0;
        for (;;) {
            FinCuerpo fin = LeerCuerpo(buffer.get(), pedir, longitud, inicio, cancelar);
            // Only a read that failed has a reason of the network's; a write, the disk's.
            if (fin != FinCuerpo::Roto) {
                motivoRed_.clear();
                causa_ = fin == FinCuerpo::NoEscrito ? temporal_->Error() : std::error_code{};
            }
            // A 206 may end before the archive does (its range or length cut short): the
            // rest is asked for again. More than the archive's length is no archive.
            if (fin == FinCuerpo::Completo && total >= 0 && recibidos_ != total) {
                if (recibidos_ > total) {
                    temporal_->Descartar();
                    EstablecerError(999);
                    return;
                }
                fin = FinCuerpo::Roto;
            }
            if (fin == FinCuerpo::Completo) break;
            if (fin == FinCuerpo::Cancelado) {
                temporal_->Descartar();
                EstablecerError(998);
                return;
            }
            if (fin == FinCuerpo::Rechazado) {
                temporal_->Descartar();
                VerificarCuerpo.Rechazado = true;
                EstablecerError(999);
                return;
            }
            // Nothing to continue: no byte yet, or the handles released by a Progreso handler.
            if (fin != FinCuerpo::Roto || (recibidos_ == 0 && maximo == 0) || !conexion_) {
                temporal_->Descartar();
                EstablecerError(fin == FinCuerpo::NoEscrito ? 8 : 999);
                return;
            }
            // The body broke off: ask again, a bounded number of times without progress.
            std::error_code error = Estado(999);
            const char* motivo = "cuerpo interrumpido";
            for (;;) {
                if (intento > 0 && int64_t{recibidos_} < int64_t{maximo} + kAvanceMinimo) {
                    if (++sinAvanzar >= kIntentosSinAvance) break;
                } else {
                    sinAvanzar = 0;
                    espera = primera;
                }
                maximo = std::max(maximo, recibidos_);
                ++intento;
                if (BarraProgreso)
                    Sentencia([&] {
                        BarraProgreso(longitud > 0 ? static_cast<int32_t>(int64_t{recibidos_} *
                                                                          100 / longitud)
                                                   : 0,
                                      longitud > 0 ? "% Reconectando..." : "Reconectando...");
                    });
                error = Reanudar(validador, total, intento, espera, motivo);
                espera = std::min(espera * 2, kEsperaMaxima);
                if (error != Estado(5)) break;
                motivo = "sin respuesta";
            }
            if (error) {
                temporal_->Descartar();
                if (error != kEstadoYaDado) EstablecerError(error);
                return;
            }
            // A 200 may bring another archive, of another length: the events count that one.
            longitud = total <= INT32_MAX ? static_cast<int32_t>(total) : -1;
        }

        if (VerificarCuerpo.Aceptar && !VerificarCuerpo.Aceptar()) {
            // [body check: accept] Refused before the file takes the archive's name.
            temporal_->Descartar();
            VerificarCuerpo.Rechazado = true;
            EstablecerError(999);
        } else if (!temporal_->Colocar(Fichero())) {
            causa_ = temporal_->Error();
            temporal_->Descartar();
            EstablecerError(8);
        } else {
            statusCode_ = codigo;
            statusText_ = texto;
            CerrarConexiones();
        }
    } catch (...) {
        if (temporal_) temporal_->Descartar();
        EstablecerError(999);
    }
}
