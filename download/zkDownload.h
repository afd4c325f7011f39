// zkDownload: the reusable HTTP download component.
//
// A caller sets the properties, calls Descargar once (or more) and reads the outcome back
// from HuboError, StatusCode and StatusText. During a body transfer the component raises
// Progreso after every block; the receiver may cancel through its Cancelar argument.
// No exception ever leaves the component. Everything it depends on (its folder, time-outs,
// cancel token, disk, clock) comes in through Opciones, and what it draws goes out through
// BarraProgreso and HabilitarDescargar: it calls no window and runs no event loop.
//
// The documentation text of each member is kept, verbatim, in Documentacion().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "cancelacion.h"
#include "disco.h"
#include "internet.h"
#include "sistema.h"

namespace sistema {
class FicheroTemporal;
}

class zkDownload {
public:
    zkDownload();
    ~zkDownload();
    zkDownload(const zkDownload&) = delete;
    zkDownload& operator=(const zkDownload&) = delete;

    // What the component depends on, given by whoever owns it; the defaults are the program's.
    struct Ajustes {
        std::string Carpeta;  // where Morvane.exe is read and Morvane.zip written; empty: App_Path()
        std::chrono::milliseconds EsperaConexion{30000}, EsperaInactividad{30000};
        std::chrono::milliseconds SueloVelocidad{60000};      // the speed floor's window
        std::chrono::milliseconds EsperaEntreIntentos{1000};  // first wait before a resume
        std::string AutoridadPruebas;  // PEM file of CAs trusted instead of the system's store; empty: the store
        const sistema::Cancelacion* Cancelacion = nullptr;  // active: the running wait ends as a cancel (998)
        sistema::Disco Disco;                     // for the temporary file's syncs and rename
        std::function<uint32_t()> Reloj;          // ms clock of the progress events; empty: sistema::GetTickCount
        bool TemporalSinNombre = true;  // false: the temporary file is named from the start
    };
    Ajustes Opciones;
    // What the component draws in "the window": its verdict and its
    // "Reconectando..." texts, and the download button. Empty: nothing is drawn.
    std::function<void(int32_t Porcentaje, const std::string& Dato)> BarraProgreso;
    std::function<void(bool Habilitar)> HabilitarDescargar;
    // Why the last Descargar failed below the component: the network's reason (its own
    // category, curl's and the layer's messages), the disk's (std::generic_category, errno
    // kept: ENOSPC at the final fsync reads as such), std::errc::operation_canceled for a
    // cancel; empty after a success.
    std::error_code Causa() const;

    // Member name -> documentation text, in the order of the component's interface.
    static const std::vector<std::pair<std::string_view, std::string_view>>& Documentacion();

    sistema::Fecha FechaDisco;     // day the local Morvane.exe was last modified
    sistema::Fecha FechaInternet;  // day of the server's Last-Modified header

    int32_t BytesBloqueDescarga() const;
    void BytesBloqueDescarga(int32_t vData);

    std::string QExpiresStr() const;
    void QExpiresStr(const std::string& vData);
    bool QExpires() const;
    void QExpires(bool vData);
    std::string QRawHeadersCrLfStr() const;
    void QRawHeadersCrLfStr(const std::string& vData);

    std::string QVersionStr() const;
    std::string QServerStr() const;
    std::string QRequestMethodStr() const;
    std::string QRawHeadersStr() const;
    std::string QPragmaStr() const;
    std::string QLastModifiedStr() const;
    std::string QForwardedStr() const;
    std::string QContentTypeStr() const;
    std::string QContentLengthStr() const;

    bool QPragma() const;
    void QPragma(bool vData);
    bool QRequestMethod() const;
    void QRequestMethod(bool vData);
    bool QServer() const;
    void QServer(bool vData);
    bool QForwarded() const;
    void QForwarded(bool vData);
    bool QRawHeadersCrLf() const;
    void QRawHeadersCrLf(bool vData);
    bool QRawHeaders() const;
    void QRawHeaders(bool vData);
    bool QVersion() const;
    void QVersion(bool vData);
    bool QLastModified() const;
    void QLastModified(bool vData);
    bool QContentLength() const;
    void QContentLength(bool vData);
    bool QContentType() const;
    void QContentType(bool vData);

    // 0: status and the switched headers only. Any other value: also transfers the body
    // into Morvane.zip in the application directory. A body that breaks off after some of
    // it arrived is asked for again, for the rest when the server can say it is the same
    // archive (Range with If-Range), else from the start; the caller sees one download.
    // It gives up (999) after 5 attempts in a row that each took it less than 64 KiB
    // further than it had ever been, without finishing it. Answers 206 complete it only at
    // the archive's whole length. A call made while this instance is already inside
    // Descargar (from a Progreso handler) returns at once and changes nothing: the running
    // transfer owns the handles and the temporary file. An active Opciones.Cancelacion
    // ends the call as a cancel (998) at once, also in the middle of a network wait.
    void Descargar(const int32_t& TipoAccion = 0);

    // The stored port, or the scheme's default (80 http, 443 https) when it is 0.
    int32_t Puerto() const;
    void Puerto(int32_t vData);

    std::string ContenidoDescargado() const;
    std::string Fichero() const;  // without leading and trailing blanks
    void Fichero(const std::string& vData);
    std::string Password() const;
    void Password(const std::string& vData);
    std::string Usuario() const;
    void Usuario(const std::string& vData);
    std::string NoUsarProxy() const;
    void NoUsarProxy(const std::string& vData);
    std::string UsarProxy() const;
    void UsarProxy(const std::string& vData);

    std::string StatusText() const;
    std::string StatusCode() const;
    bool HuboError() const;
    // After a failure the network caused (a send without answer, a body that broke off
    // for good), the network's own reason for it ("Couldn't connect to server"); empty
    // after any other outcome. StatusCode and StatusText keep the component's own texts.
    std::string MotivoRed() const;

    std::string URL() const;
    void URL(const std::string& vData);  // stores and splits at once

    // Raised after every block of a body transfer, on the thread that called Descargar.
    // BytesPorSegundo refers to a copy made for this event; Cancelar refers to the
    // transfer's own cancel flag.
    std::function<void(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                       int32_t SegundosTranscurridos, double SegundosRestantes,
                       int32_t& BytesPorSegundo, bool& Cancelar)>
        Progreso;

    // Optional check of the body against what the caller already knows it must be; off
    // (the component as it always was) unless set. A body longer than Limite bytes is
    // stopped as soon as the first byte beyond it arrives (999). Reiniciar runs whenever
    // the temporary file starts from zero, Anadir for every block written to it, and
    // Aceptar just before the temporary file would take the archive's name: false
    // discards the file instead (999) and the archive keeps what it had. Rechazado tells
    // afterwards that the body was refused for one of these two reasons.
    struct Verificacion {
        int64_t Limite = -1;  // bytes; negative: none
        std::function<void()> Reiniciar;
        std::function<void(const char* datos, size_t n)> Anadir;
        std::function<bool()> Aceptar;
        bool Rechazado = false;
    };
    Verificacion VerificarCuerpo;

private:
    bool AnalizarURL();
    void ElegirTipoAcceso();
    // The component's edge: a status code of its own (CategoriaEstado) or an HTTP one
    // becomes StatusCode and StatusText, the handles are released and HuboError is set.
    void EstablecerError(std::error_code estado);
    void EstablecerError(int32_t codigo);
    void CerrarConexiones();
    void LimpiarCabeceras();
    bool ConsultarCabecera(internet::HINTERNET peticion, uint32_t nivel, std::string& texto);
    void LeerFechaDisco();

    // The steps of Descargar. Each returns false when the call has ended (a failure
    // already reported through EstablecerError).
    bool AbrirSesion();
    bool Conectar();
    bool AbrirPeticion();
    bool EnviarPeticion();
    bool LeerEstado();
    int32_t LeerLongitud();
    void LeerCabecerasOpcionales();
    void ComprobarActualizacion();
    void Transferir(int32_t bloque, int32_t longitud, bool& cancelar);

    // The whole archive's length the current answer announces, -1 when unknown.
    int64_t TotalAnunciado();
    // The total of the current answer's Content-Range when it starts at byte `desde`.
    std::optional<std::string> TotalDelRango(int32_t desde);
    // How reading the current answer's body into the temporary file ended.
    enum class FinCuerpo { Completo, Roto, Cancelado, Desbordado, NoEscrito, Rechazado };
    FinCuerpo LeerCuerpo(char* buffer, uint32_t pedir, int32_t longitud, uint32_t inicio,
                         bool& cancelar);
    // The temporary file starts again from zero, and so does the count of its bytes.
    // False when the new file could not be created.
    bool EmpezarDeCero();
    // Asks again for the archive after its body broke off: for the rest, from byte
    // recibidos_, when `validador` names the first answer, else from the start. Empty when
    // its body can be read; otherwise the status the attempt failed with (CategoriaEstado:
    // 5 no answer, 998 cancelled during the wait or the send, 999 a 2xx that does not
    // continue the archive, 8 no new temporary file), or kEstadoYaDado for an answer
    // already reported with its own status.
    std::error_code Reanudar(const std::string& validador, int64_t& total, int intento,
                             std::chrono::milliseconds espera, const char* motivo);
    // A network call on the request failed: its reason becomes the call's.
    void FalloDeRed();
    uint32_t Ahora() const;
    std::string CarpetaDeTrabajo() const;

    int32_t bytesBloqueDescarga_ = 512;
    std::string qExpiresStr_;
    bool qExpires_ = false;
    std::string qRawHeadersCrLfStr_;
    std::string qVersionStr_, qServerStr_, qRequestMethodStr_, qRawHeadersStr_, qPragmaStr_,
        qLastModifiedStr_, qForwardedStr_, qContentTypeStr_, qContentLengthStr_;
    bool qPragma_ = false, qRequestMethod_ = false, qServer_ = false, qForwarded_ = false,
         qRawHeadersCrLf_ = false, qRawHeaders_ = false, qVersion_ = false,
         qLastModified_ = false, qContentLength_ = true, qContentType_ = false;
    int32_t puerto_ = 0;
    std::string contenidoDescargado_, fichero_, password_, usuario_, noUsarProxy_, usarProxy_;
    std::string statusText_, statusCode_;
    bool huboError_ = false;
    std::string motivoRed_;
    std::error_code causa_;
    std::string url_;
    // A call of Descargar is on the stack: a Progreso handler calling it again would
    // release the handles and the temporary file the running transfer is using.
    bool enDescargar_ = false;

    std::string esquema_, host_, ruta_;
    int32_t servicio_ = internet::INTERNET_SERVICE_HTTP;
    bool urlUtilizable_ = false;
    int32_t tipoAcceso_ = internet::INTERNET_OPEN_TYPE_PRECONFIG;

    // Released request first, then connection, then session.
    internet::Handle sesion_, conexion_, peticion_;

    // The body being downloaded and how many bytes of it the file holds.
    std::unique_ptr<sistema::FicheroTemporal> temporal_;
    int32_t recibidos_ = 0;
};
