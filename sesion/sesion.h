// The update session: the one owner of the order of an update's steps (check, download,
// verify the signature, install, start the product) and of the state between them. It
// carries no user interface: a front-end (the window, the terminal) implements Observador
// and drives the session by calling its flows.
//
// The download component reaches "the window" through sistema::Ventana; the session is
// such a window (the front-end registers it, or forwards its own calls to it), so the
// component's verdict and its waits reach the session first.
//
// Nothing here throws out of a flow; outcomes are read back through Resultado and Motivo.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "publicacion.h"
#include "sistema.h"
#include "zkDownload.h"

// Absolute URL of the distribution archive on the update server (the build's).
extern const char* const URLActualizacion;

namespace sesion {

// Where and against what a session works. Taken by value: two sessions in one process can
// work on different directories and servers.
struct Entorno {
    std::string Carpeta;  // install directory: Morvane.exe, Kelunzip, Morvane.zip
    std::string URL;      // the archive's URL; its signature is URL + ".sig"
    std::string Clave;    // base64 public key the archive must be signed with; empty: unsigned
    // Time-outs of the requests (connect, silence); nothing leaves the process's as they are.
    std::optional<std::chrono::milliseconds> EsperaConexion, EsperaInactividad;
};

// The process's: the application directory, the build's URL and key, its time-outs.
Entorno EntornoDelProceso();

// Where a session stands. Reposo is the only phase in which a flow may start.
enum class Fase { Reposo, Comprobando, Descargando, Verificando, Instalando };

// How the last flow ended.
enum class Resultado {
    Ninguno,             // no flow has ended yet
    SinActualizacion,    // the check found the product current
    HayActualizacion,    // the check found a newer archive
    SinPermiso,          // a newer archive exists, but this user cannot install it here
    ErrorComprobacion,   // the check could not be made
    Cancelado,           // the user, a close or a signal stopped the download or the check
    ErrorDescarga,       // the download failed
    FirmaNoValida,       // the archive was not signed with the key
    ErrorInstalacion,    // the unzip tool could not be started or failed
    Actualizado,         // installed
};

// One progress event of the archive's transfer, as the component raised it.
struct Progreso {
    int32_t BytesTotales = -1;  // -1: the size is unknown
    int32_t BytesRecibidos = 0;
    int32_t Porcentaje = 0;     // rounded, held within 32 bits
    int32_t SegundosTranscurridos = 0;
    double SegundosRestantes = 0;
    int32_t BytesPorSegundo = 0;
};

// What a front-end shows and does for the session. Calls come from inside the flows.
class Observador {
public:
    virtual ~Observador() = default;
    // The status strip: starts empty again.
    virtual void Limpiar() = 0;
    // The status strip: a text (Porcentaje 0) or the percentage bar with its caption.
    virtual void Estado(int32_t Porcentaje, const std::string& Dato) = 0;
    // The transfer has moved on (the size is known and no cancel is pending).
    virtual void Avance(const Progreso& p) = 0;
    virtual void HabilitarBotonDescargar(bool habilitar) = 0;
    virtual void HabilitarCancelar(bool habilitar) = 0;
    // The busy pointer, for the life of a check or a download.
    virtual void RelojDeArena(bool puesto) = 0;
    // Handles pending events now / when due (a front-end may coalesce DoEvents).
    virtual void ProcesarEventos() = 0;
    virtual void DoEvents() = 0;
    // Waits that long while staying responsive.
    virtual void Esperar(int32_t Milisegundos) = 0;
    // The session entered `fase`.
    virtual void CambioDeFase(Fase /*fase*/) {}
    // The component has returned from a check or download; its log line follows.
    virtual void FinDeTransferencia() {}
    // The install's log line follows on stderr (a line being redrawn there ends first).
    virtual void AntesDelRegistro() {}
};

class Sesion : public sistema::Ventana {
public:
    Sesion(Entorno entorno, Observador& observador);
    ~Sesion() override;
    Sesion(const Sesion&) = delete;
    Sesion& operator=(const Sesion&) = delete;

    // Replaces the environment for the flows started afterwards.
    void CambiarEntorno(Entorno entorno);
    const Entorno& EntornoActual() const { return entorno_; }

    // The component of the running check or download; empty while no transfer runs.
    std::unique_ptr<zkDownload> Down;
    // Cancel request of the running check or download.
    bool Cancelado = false;

    // The update check: "Buscando actualización...", then the component's verdict or
    // "No se pudo comprobar si existen actualizaciones". Ignored while a flow runs or after
    // Cerrar.
    void BuscarActualizacion();
    // Download, signature check (when the environment has a key), install. Ignored while a
    // flow runs or after Cerrar.
    void Actualizar();
    // The cancel button: the running download stops at its next progress event.
    void Cancelar();
    // The front-end ends: a running check or download is given up, a running install is
    // let finish. With `iniciarProducto` the product is started now or, during the install,
    // right after it.
    void Cerrar(bool iniciarProducto);
    // A termination signal: a product start still pending after the install is dropped,
    // and an unpack still running is stopped (the product stays as it was).
    void AnularInicioDelProducto();

    Fase FaseActual() const { return fase_; }
    bool EnFlujo() const { return fase_ != Fase::Reposo; }
    // Cerrar has been called: no flow starts any more.
    bool Cerrada() const { return cerrada_; }
    Resultado UltimoResultado() const { return resultado_; }
    // The reason of a failed check or download: the component's status code and text.
    const std::string& Motivo() const { return motivo_; }

    // The steps, for the front-ends' tests and benchmarks.
    // A fresh component in Down, its progress event wired to Down_Progreso, its URL set;
    // the byte count and the clock of the log line start again.
    void CrearDown();
    // True when the whole release is in place; false leaves the product as it was.
    bool InstalarActualizacion();
    // Handler of Down's progress event: hands a cancel request back to the component, tells
    // the observer, and lets the front-end handle its events.
    void Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                       int32_t SegundosTranscurridos, double SegundosRestantes,
                       int32_t& BytesPorSegundo, bool& Cancelar);

    // sistema::Ventana: how the component reaches the front-end through the session.
    void BarraProgreso(int32_t Porcentaje, const std::string& Dato) override;
    // An update this user could not install is said at once, with Descargar left off.
    void HabilitarDescargar(bool habilitar) override;
    void DoEvents() override;
    // A network wait gives up once the user has cancelled or the front-end has ended.
    bool Abandonar() override;

private:
    // Whether this user may install here (instalacion::Comprobar, and a file can be made);
    // `detalle` names what stands in the way.
    std::error_code ComprobarInstalacion(std::string& detalle) const;
    // The one place the phase changes; every step names where it goes next.
    void Pasar(Fase nueva);
    void ComprobarActualizacion();
    // The one log line (stderr) of a check or download that has just ended in Down: local
    // time, the flow, the URL, status code and text, bytes received, seconds.
    void RegistrarFin(const char* flujo);
    // With a key: fetches and judges the release statement, the front-end served and
    // Cancelar (or a close) honoured.
    publicacion::Consulta ConsultarDeclaracion();
    void IniciarProducto();
    std::string RutaArchivo() const;

    Entorno entorno_;
    Observador& observador_;
    Fase fase_ = Fase::Reposo;
    Resultado resultado_ = Resultado::Ninguno;
    std::string motivo_;
    bool cerrada_ = false;            // the front-end has ended: no new flow
    bool productoPendiente_ = false;  // ended during the install: start the product after it
    bool detenerInstalacion_ = false; // a signal: an unpack still running is given up
    bool sinPermiso_ = false;         // this check found an update the user cannot install
    std::string registro_;            // the statement of the release being installed (a key)
    bool veredicto_ = false;          // the component drew a verdict during this check
    int32_t bytesRecibidos_ = 0;      // of Down's transfer, from its last progress event
    std::chrono::steady_clock::time_point inicioDown_;
};

// Nearest whole percentage, halves to the even neighbour; values beyond 32 bits are held
// at the limits, NaN is 0.
int32_t RedondearPorcentaje(double porcentaje);

}  // namespace sesion
