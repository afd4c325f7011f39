// The update session: the one owner of the order of an update's steps (check, download,
// verify the signature, install, start the product) and of the state between them. It
// carries no user interface: a front-end (the window, the terminal) implements Observador
// and drives the session by calling its flows.
//
// The session is a state machine in one thread, the front-end's: every change of phase
// goes through one transition function, and a table says which events each phase
// accepts. Its blocking steps (a request, the unzip tool) run elsewhere, through the
// Hilos the front-end gives it, and each step's end comes back as an event on the
// front-end's thread. Nothing here runs the front-end's event loop: Cancelar, a close and
// a signal reach a waiting step through a cancel token its wait polls.
//
// Nothing here throws out of a flow; outcomes are read back through Ultimo.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>
#include <thread>

#include "cancelacion.h"
#include "disco.h"
#include "indice.h"
#include "publicacion.h"
#include "zkDownload.h"

// Absolute URL of the distribution archive on the update server (the build's).
extern const char* const URLActualizacion;

namespace sesion {

// Where and against what a session works. Taken by value: two sessions in one process can
// work on different directories and servers at the same time.
struct Entorno {
    std::string Carpeta;  // install directory: Morvane.exe, Kelunzip, Morvane.zip
    std::string URL;      // the archive's URL; its signature is URL + ".sig"
    std::string Clave;    // base64 public key the archive must be signed with; empty: unsigned
    // Time-outs of the requests (connect, silence); nothing: the component's defaults.
    std::optional<std::chrono::milliseconds> EsperaConexion, EsperaInactividad;
    // The rest of what the requests depend on: the speed floor, the waits between
    // attempts, the trusted CA of a test. Carpeta, the time-outs and the cancel token are
    // the session's and replace what is set here.
    zkDownload::Ajustes Red{};
    sistema::Disco Disco{};  // the install's disk
    // The wall clock the statement's validity is judged against.
    std::function<std::chrono::system_clock::time_point()> Reloj = std::chrono::system_clock::now;
};

// The process's: the application directory, the build's URL and key.
Entorno EntornoDelProceso();

// Where a session stands. Reposo is the only phase in which a flow may start.
enum class Fase { Reposo, Comprobando, Descargando, Verificando, Instalando };

// What moves a session: the front-end's requests, then the ends of the steps it launched.
enum class Evento {
    Buscar, Actualizar, Cancelar, Cerrar, Senal,
    Comprobado, Preparado, Declarado, Obtenido, Descargado, Instalado,
};

// The table: whether a session in `fase` takes `evento`; anywhere else it is ignored.
bool Acepta(Fase fase, Evento evento);

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

// The typed outcome of the last flow, which a front-end renders.
struct Desenlace {
    sesion::Resultado Resultado = sesion::Resultado::Ninguno;
    // The reason below the session: the component's (network, disk, cancel), the install's,
    // or the statement's; empty when nothing failed.
    std::error_code Causa;
    // What the status strip says of it ("Existe una actualización", "Error en la descarga:
    // Not Found"); empty for a cancel.
    std::string Texto;
    // For a log or an error line: the component's status code and text, the statement's
    // URL, or the install's reason.
    std::string Motivo;
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

// What a front-end shows for the session. Every call comes on the front-end's thread.
class Observador {
public:
    virtual ~Observador() = default;
    // The status strip: starts empty again.
    virtual void Limpiar() = 0;
    // The status strip: a text (Porcentaje 0) or the percentage bar with its caption.
    virtual void Estado(int32_t Porcentaje, const std::string& Dato) = 0;
    // The transfer has moved on (the size is known and no cancel is pending). Events that
    // come faster than the front-end takes them are merged: the latest is delivered.
    virtual void Avance(const Progreso& p) = 0;
    virtual void HabilitarBotonDescargar(bool habilitar) = 0;
    virtual void HabilitarCancelar(bool habilitar) = 0;
    // The busy pointer, for the life of a check or a download.
    virtual void RelojDeArena(bool puesto) = 0;
    // The session entered `fase`; at Reposo, Ultimo() is the flow's outcome.
    virtual void CambioDeFase(Fase /*fase*/) {}
    // The component has returned from a check or download; its log line follows.
    virtual void FinDeTransferencia() {}
    // The install's log line follows on stderr (a line being redrawn there ends first).
    virtual void AntesDelRegistro() {}
};

// Where a session's blocking steps run, and how their reports reach the front-end's thread.
class Hilos {
public:
    virtual ~Hilos() = default;
    // Runs `paso` away from the front-end's thread. One step at a time: the session
    // launches the next only after the last one's report has been delivered.
    virtual void Lanzar(std::function<void()> paso) = 0;
    // Runs `aviso` on the front-end's thread, after the ones given before it. Called from
    // the step's thread; the front-end's event queue, or its own loop, delivers it.
    virtual void Entregar(std::function<void()> aviso) = 0;
    // Returns once the step launched last has returned.
    virtual void Esperar() = 0;
};

// Hilos whose steps run on a thread of their own; Entregar is the front-end's.
class HiloDePasos : public Hilos {
public:
    ~HiloDePasos() override;
    void Lanzar(std::function<void()> paso) override;
    void Esperar() override;

private:
    std::thread hilo_;
};

class Sesion {
public:
    Sesion(Entorno entorno, Observador& observador, Hilos& hilos);
    // Gives up a running check or download and waits for the running step to return; a
    // report not yet delivered is dropped.
    ~Sesion();
    Sesion(const Sesion&) = delete;
    Sesion& operator=(const Sesion&) = delete;

    // Replaces the environment for the flows started afterwards.
    void CambiarEntorno(Entorno entorno);
    const Entorno& EntornoActual() const { return entorno_; }

    // The component of the running check or download; empty while no transfer runs. Made
    // and dropped on the front-end's thread; only the step's thread calls into it.
    std::unique_ptr<zkDownload> Down;
    // Cancel request of the running check or download (the front-end's thread).
    bool Cancelado = false;

    // The events a front-end sends; each is ignored where the phase does not accept it.
    // The update check: "Buscando actualización...", then the verdict or "No se pudo
    // comprobar si existen actualizaciones".
    void BuscarActualizacion();
    // Download, signature check (when the environment has a key), install.
    void Actualizar();
    // The cancel button: the running download stops at once ("Descarga cancelada").
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
    const Desenlace& Ultimo() const { return ultimo_; }
    Resultado UltimoResultado() const { return ultimo_.Resultado; }
    const std::string& Motivo() const { return ultimo_.Motivo; }
    // The outcome's text, as the strip shows it.
    const std::string& Texto() const { return ultimo_.Texto; }

    // Handler of Down's progress event, on the step's thread: hands a cancel request back
    // to the component and passes the progress on to the front-end's thread.
    void Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                       int32_t SegundosTranscurridos, double SegundosRestantes,
                       int32_t& BytesPorSegundo, bool& Cancelar);

    // On the front-end's thread: the latest progress not yet delivered, now (a step's
    // report does this first).
    void EntregarAvance();

    // What each step found, delivered as the event of its end.
    struct FinDescarga {
        bool Fallo = false, Rechazado = false;
        std::error_code Causa;
        std::string Codigo, Texto, MotivoRed;
    };
    struct FinComprobacion {
        FinDescarga Transferencia;
        bool Veredicto = false;  // the component reached a verdict
        bool Hay = false;        // it (or the statement) says a newer release exists
        std::optional<publicacion::Consulta> Declaracion;  // with a key
        std::error_code Instalable;  // why this user could not install it here
        std::string DetalleInstalable;
    };
    struct FinPreparacion {
        std::error_code Error;
        std::string Detalle;
    };
    // With a key: the changed entries fetched and assembled, or the whole archive wanted.
    struct FinParcial {
        bool Entero = true;     // no usable index, or not worth it: the whole archive
        bool Rechazado = false;  // an index or bytes that are not the signed ones
        FinDescarga Transferencia;
        uint64_t Recibidos = 0;
        std::shared_ptr<const firma::Indice> Indice;  // the assembled entries, for the install's check
        std::vector<std::size_t> Seleccion;
    };
    struct FinInstalacion {
        std::error_code Error;
        std::string Detalle;
        size_t Colocados = 0;
    };

private:
    // The one place the phase changes.
    void Pasar(Fase nueva);
    void PonerReloj();
    // Ends the flow with `desenlace`: the hourglass off, the phase back to Reposo.
    void Terminar(Desenlace desenlace);

    // The steps' ends, on the front-end's thread.
    void Comprobado(FinComprobacion fin);
    void Preparado(FinPreparacion fin);
    void Declarado(publicacion::Consulta consulta);
    void Descargado(FinDescarga fin);
    void Instalado(FinInstalacion fin);
    void Obtenido(FinParcial fin);
    // The steps launched from within the flow.
    void ObtenerCambios();
    FinParcial BuscarCambios(const Entorno& entorno, const zkDownload::Ajustes& ajustes,
                             const firma::Declaracion& declaracion);
    // The progress of the ranges' transfer, as the component's would be.
    void AvisarAvance(uint64_t total, uint64_t recibidos, std::chrono::steady_clock::time_point inicio);
    void Descargar();
    void Instalar();

    // A step's body, on the step's thread; its report is delivered through Entregar
    // unless the session has been destroyed meanwhile.
    void Lanzar(std::function<std::function<void()>()> paso);

    // A fresh component in Down, wired to this session, its URL and settings set.
    void CrearDown();
    zkDownload::Ajustes AjustesRed() const;
    static FinDescarga LeerFin(const zkDownload& down);
    // Whether this user may install in e.Carpeta; `detalle` names what stands in the way.
    static std::error_code ComprobarInstalacion(const Entorno& e, std::string& detalle);
    void RegistrarFin(const char* flujo, const FinDescarga& fin);
    // Progress to the front-end's thread (step's thread).
    void Entregar(const Progreso& progreso);
    void IniciarProducto();

    Entorno entorno_;
    Observador& observador_;
    Hilos& hilos_;
    Fase fase_ = Fase::Reposo;
    Desenlace ultimo_;
    bool cerrada_ = false;            // the front-end has ended: no new flow
    bool productoPendiente_ = false;  // ended during the install: start the product after it
    bool relojPuesto_ = false;
    std::string registro_;            // the statement of the release being installed (a key)
    std::unique_ptr<publicacion::Cuerpo> cuerpo_;  // what the archive must be (a key)
    firma::Declaracion declaracion_;               // the statement of the release being fetched
    std::shared_ptr<FinParcial> parcial_;          // the changed entries being installed
    std::chrono::steady_clock::time_point inicioDown_, inicioInstalacion_;

    // Shared with the step's thread.
    sistema::Cancelacion cancelar_;   // Cancelar, a close, a signal: the network waits end
    sistema::Cancelacion detener_;    // a signal: the unzip tool is stopped
    std::atomic<int32_t> bytesRecibidos_{0};
    std::mutex mutexAvance_;
    std::optional<Progreso> avance_;  // the latest progress not yet delivered
    bool avancePendiente_ = false;    // a delivery of it is in the front-end's queue
    std::chrono::steady_clock::time_point ultimaEntrega_{};
    // Cleared by the destructor: a report arriving later is dropped.
    std::shared_ptr<std::atomic<bool>> viva_ = std::make_shared<std::atomic<bool>>(true);
};

// Nearest whole percentage, halves to the even neighbour; values beyond 32 bits are held
// at the limits, NaN is 0.
int32_t RedondearPorcentaje(double porcentaje);

}  // namespace sesion
