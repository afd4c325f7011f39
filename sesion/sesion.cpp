#include "sesion.h"


#include <cassert>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include "instalacion.h"
#include "internet.h"
#include "publicacion.h"

#ifndef MORVANE_UPDATE_URL
#error "MORVANE_UPDATE_URL must name the update archive"
#endif

const char* const URLActualizacion = MORVANE_UPDATE_URL;

namespace sesion {

namespace {

// The archive's one name: the component writes it, the unzip tool reads it, the session
// deletes it.
const std::string kArchivo = "Morvane.zip";
const std::string kProducto = "Morvane.exe";

constexpr int32_t kSondeoInstalacion = 20;  // ms between looks at the unzip tool

// Control characters of a text that came from outside (a server's reason phrase) as '?',
// so that a log line stays one line.
std::string SinControles(std::string texto) {
    for (char& c : texto)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return texto;
}

// Hourglass for the life of a flow, restored on every way out.
class RelojDeArena {
public:
    explicit RelojDeArena(Observador& o) : o_(o) { o_.RelojDeArena(true); }
    ~RelojDeArena() { o_.RelojDeArena(false); }
    RelojDeArena(const RelojDeArena&) = delete;
    RelojDeArena& operator=(const RelojDeArena&) = delete;

private:
    Observador& o_;
};

// The component and the signature check still read the process's application directory,
// key and time-outs: for the life of a flow they are the session's, then what they were.
class EntornoAplicado {
public:
    explicit EntornoAplicado(const Entorno& e)
        : carpeta_(sistema::App_Path()), clave_(firma::ClaveIncorporada()) {
        if (e.Carpeta != carpeta_) sistema::EstablecerApp_Path(e.Carpeta);
        if (e.Clave != clave_) firma::SustituirClaveIncorporada(e.Clave);
        if (e.EsperaConexion && e.EsperaInactividad)
            internet::EstablecerTiemposEspera(*e.EsperaConexion, *e.EsperaInactividad);
        cambioCarpeta_ = e.Carpeta != carpeta_;
        cambioClave_ = e.Clave != clave_;
    }
    ~EntornoAplicado() {
        if (cambioCarpeta_) sistema::EstablecerApp_Path(carpeta_);
        if (cambioClave_) firma::SustituirClaveIncorporada(clave_);
    }
    EntornoAplicado(const EntornoAplicado&) = delete;
    EntornoAplicado& operator=(const EntornoAplicado&) = delete;

private:
    std::string carpeta_, clave_;
    bool cambioCarpeta_ = false, cambioClave_ = false;
};

// The legal moves: a flow starts from Reposo, the update goes forward through its steps
// (with a key, the release statement is verified before the download), and every flow
// ends in Reposo, from wherever it stopped.
bool Permitido(Fase desde, Fase hacia) {
    if (hacia == Fase::Reposo) return desde != Fase::Reposo;
    switch (desde) {
        case Fase::Reposo:
            return hacia == Fase::Comprobando || hacia == Fase::Verificando ||
                   hacia == Fase::Descargando;
        case Fase::Verificando: return hacia == Fase::Descargando;
        case Fase::Descargando: return hacia == Fase::Instalando;
        case Fase::Comprobando:
        case Fase::Instalando: return false;
    }
    return false;
}

const char* const kTextoSinPermiso = "Existe una actualización, pero no tiene permiso para instalarla";

// Whether an install refused before it began is a matter of who may write here (the
// permission text) rather than a fault of the installation.
bool SinPermisoPara(const std::error_code& error) {
    using instalacion::Error;
    return error == Error::OtroPropietario || error == Error::EscribiblePorOtros ||
           error == Error::PreparacionAjena || error == std::errc::permission_denied ||
           error == std::errc::operation_not_permitted || error == std::errc::read_only_file_system;
}

// One log line on stderr: local time, the flow, what it worked on, its outcome, a count
// and the seconds since `inicio`, e.g.
//   2025-03-14 10:02:31 descarga http://host/web/lurenet/Morvane.zip: 200 OK, 3145728 bytes, 4.18 s
void EscribirRegistro(const char* flujo, const std::string& objeto, const std::string& resultado,
                      const std::string& cuenta, std::chrono::steady_clock::time_point inicio) {
    const std::time_t ahora = std::time(nullptr);
    std::tm local{};
    char hora[32] = "";
    if (::localtime_r(&ahora, &local)) std::strftime(hora, sizeof hora, "%Y-%m-%d %H:%M:%S", &local);
    // Seconds with a full stop whatever the locale, so that every line reads the same.
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - inicio)
                             .count();
    const long long centesimas = (ms + 5) / 10;
    char segundos[48];
    std::snprintf(segundos, sizeof segundos, ", %lld.%02lld s\n", centesimas / 100, centesimas % 100);
    const std::string linea = std::string(hora) + " " + flujo + " " + SinControles(objeto) + ": " +
                              SinControles(resultado) + ", " + cuenta + segundos;
    std::fputs(linea.c_str(), stderr);
}

// The reason of an install refused or failed, with the path it is about, on stderr.
void DecirPorQue(const std::error_code& error, const std::string& detalle) {
    std::fprintf(stderr, "instalación: %s%s%s\n", error.message().c_str(), detalle.empty() ? "" : ": ",
                 SinControles(detalle).c_str());
}

}  // namespace

int32_t RedondearPorcentaje(double porcentaje) {
    if (std::isnan(porcentaje)) return 0;
    double redondo = std::nearbyint(porcentaje);
    if (redondo >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (redondo <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(redondo);
}

Entorno EntornoDelProceso() {
    Entorno e;
    e.Carpeta = sistema::App_Path();
    e.URL = URLActualizacion;
    e.Clave = firma::ClaveIncorporada();
    return e;
}

Sesion::Sesion(Entorno entorno, Observador& observador)
    : entorno_(std::move(entorno)), observador_(observador) {}

Sesion::~Sesion() {
    if (sistema::VentanaRegistrada() == this) sistema::RegistrarVentana(nullptr);
}

void Sesion::CambiarEntorno(Entorno entorno) { entorno_ = std::move(entorno); }

void Sesion::Pasar(Fase nueva) {
    assert(Permitido(fase_, nueva));
    if (!Permitido(fase_, nueva)) return;
    fase_ = nueva;
    observador_.CambioDeFase(nueva);
}

std::string Sesion::RutaArchivo() const { return sistema::Unir(entorno_.Carpeta, kArchivo); }

void Sesion::IniciarProducto() {
    sistema::IniciarProceso(sistema::Unir(entorno_.Carpeta, kProducto), {});
}

void Sesion::Cerrar(bool iniciarProducto) {
    cerrada_ = true;
    if (!iniciarProducto) detenerInstalacion_ = true;
    if (Down) Cancelado = true;
    // Never start the product while the unzip tool may still be replacing it.
    if (fase_ == Fase::Instalando)
        productoPendiente_ = iniciarProducto;
    else if (iniciarProducto)
        IniciarProducto();
}

void Sesion::AnularInicioDelProducto() {
    productoPendiente_ = false;
    detenerInstalacion_ = true;
}

void Sesion::CrearDown() {
    Down = std::make_unique<zkDownload>();
    Down->Progreso = [this](int32_t total, int32_t recibidos, double porcentaje,
                            int32_t transcurridos, double restantes, int32_t& porSegundo,
                            bool& cancelar) {
        Down_Progreso(total, recibidos, porcentaje, transcurridos, restantes, porSegundo,
                      cancelar);
    };
    Down->URL(entorno_.URL);
    bytesRecibidos_ = 0;
    inicioDown_ = std::chrono::steady_clock::now();
}

void Sesion::RegistrarFin(const char* flujo) {
    std::string estado = Down->StatusCode().empty() ? "---" : Down->StatusCode();
    estado.append(" ").append(Down->StatusText());
    // A failure the network caused says why in its own words: a refused connection and no
    // network at all read differently.
    if (Down->HuboError() && !Down->MotivoRed().empty())
        estado.append(" (").append(Down->MotivoRed()).append(")");
    EscribirRegistro(flujo, Down->URL(), estado, std::to_string(bytesRecibidos_) + " bytes", inicioDown_);
}

// ---------------------------------------------------------------------------------------
// The update check

void Sesion::BuscarActualizacion() {
    if (EnFlujo() || cerrada_) return;
    Pasar(Fase::Comprobando);
    observador_.Limpiar();
    observador_.Estado(0, "Buscando actualización...");
    ComprobarActualizacion();
    Pasar(Fase::Reposo);
}

// The component draws the verdict itself, through the session. A check that ends without
// one (no connection, an error status, no usable date) says so instead of leaving
// "Buscando actualización..." up for good.
void Sesion::ComprobarActualizacion() {
    Cancelado = false;
    motivo_.clear();
    RelojDeArena reloj(observador_);
    observador_.ProcesarEventos();
    if (cerrada_) {
        resultado_ = Resultado::Cancelado;
        return;
    }

    // With a key the signed statement's release time decides: a header anyone on the path
    // can write must not make an older release look newer.
    const bool firmada = !entorno_.Clave.empty();
    veredicto_ = false;
    sinPermiso_ = false;
    bool hay = false;
    bool firmaMala = false;
    {
        EntornoAplicado aplicado(entorno_);
        CrearDown();
        Down->QLastModified(!firmada);
        Down->Descargar(0);
        observador_.FinDeTransferencia();
        RegistrarFin("comprobación");
        const bool fallo = Down->HuboError();
        hay = Down->FechaInternet > Down->FechaDisco;
        motivo_ = Down->StatusCode() + " " + Down->StatusText();
        Down.reset();
        if (firmada && !fallo) {
            const publicacion::Consulta c = publicacion::Consultar(
                entorno_.URL, entorno_.Carpeta, entorno_.Clave, [this] { return Abandonar(); });
            if (c.Veredicto == publicacion::Estado::SinRespuesta) {
                // No verdict: the check could not be made.
                motivo_ = entorno_.URL;
                motivo_.append(".sig: ").append(c.Codigo).append(" ").append(c.Mensaje);
                if (!c.MotivoRed.empty()) motivo_.append(" (").append(c.MotivoRed).append(")");
            } else if (c.Veredicto != publicacion::Estado::Abandonada) {
                observador_.Estado(0, publicacion::Texto(c.Veredicto));
                veredicto_ = true;
                hay = c.Veredicto == publicacion::Estado::Nueva;
                firmaMala = !hay && c.Veredicto != publicacion::Estado::NoPosterior;
                if (firmaMala) motivo_ = entorno_.URL + ".sig";
                if (hay) HabilitarDescargar(true);
            }
        }
    }
    if (firmaMala) {
        resultado_ = Resultado::ErrorComprobacion;
    } else if (veredicto_) {
        resultado_ = !hay         ? Resultado::SinActualizacion
                     : sinPermiso_ ? Resultado::SinPermiso
                                   : Resultado::HayActualizacion;
    } else {
        resultado_ = Cancelado || cerrada_ ? Resultado::Cancelado : Resultado::ErrorComprobacion;
        observador_.Estado(0, "No se pudo comprobar si existen actualizaciones");
    }
}

// ---------------------------------------------------------------------------------------
// Download, verify, install

void Sesion::Actualizar() {
    if (EnFlujo() || cerrada_) return;
    // With a key the release statement is verified first.
    Pasar(entorno_.Clave.empty() ? Fase::Descargando : Fase::Verificando);
    // Disabled before the first yield: a second click already queued must not start a
    // download nested inside this one.
    observador_.HabilitarBotonDescargar(false);
    Cancelado = false;
    motivo_.clear();
    registro_.clear();
    observador_.Limpiar();
    observador_.ProcesarEventos();
    if (cerrada_) {
        resultado_ = Resultado::Cancelado;
        Pasar(Fase::Reposo);
        return;
    }

    RelojDeArena reloj(observador_);
    // Nothing is downloaded that could not be installed here.
    std::string detalle;
    if (const std::error_code error = ComprobarInstalacion(detalle)) {
        DecirPorQue(error, detalle);
        const bool permiso = SinPermisoPara(error);
        resultado_ = permiso ? Resultado::SinPermiso : Resultado::ErrorInstalacion;
        motivo_ = error.message();
        observador_.Estado(0, permiso ? kTextoSinPermiso : "Error al instalar la actualización");
        observador_.HabilitarBotonDescargar(!permiso);
        Pasar(Fase::Reposo);
        return;
    }
    EntornoAplicado aplicado(entorno_);
    observador_.HabilitarCancelar(true);
    // With a key, only what a valid, current statement of a newer release describes is
    // downloaded: no more bytes than it names, and the archive takes its name only when
    // their digest is the one signed.
    std::optional<publicacion::Cuerpo> cuerpo;
    if (!entorno_.Clave.empty()) {
        const publicacion::Consulta c = ConsultarDeclaracion();
        if (c.Veredicto != publicacion::Estado::Nueva) {
            observador_.HabilitarCancelar(false);
            using publicacion::Estado;
            resultado_ = c.Veredicto == Estado::Abandonada     ? Resultado::Cancelado
                         : c.Veredicto == Estado::NoPosterior  ? Resultado::SinActualizacion
                         : c.Veredicto == Estado::SinRespuesta ? Resultado::ErrorDescarga
                                                               : Resultado::FirmaNoValida;
            // A statement the network kept away fails the download as the archive would.
            if (c.Veredicto == Estado::SinRespuesta) {
                motivo_ = c.Mensaje;
                observador_.Estado(0, std::string("Error en la descarga: ").append(c.Mensaje));
            } else if (c.Veredicto != Estado::Abandonada) {
                observador_.Estado(0, publicacion::Texto(c.Veredicto));
            }
            // Only a download that may succeed on a second try is offered again.
            observador_.HabilitarBotonDescargar(c.Veredicto == Estado::Abandonada ||
                                                c.Veredicto == Estado::NoValida ||
                                                c.Veredicto == Estado::SinRespuesta);
            Pasar(Fase::Reposo);
            return;
        }
        cuerpo.emplace(c.Datos);
        registro_ = c.Texto;
        Pasar(Fase::Descargando);
    }
    CrearDown();
    if (cuerpo) Down->VerificarCuerpo = cuerpo->Verificacion();
    Down->Descargar(1);
    observador_.FinDeTransferencia();
    RegistrarFin("descarga");
    const bool fallo = Down->HuboError();
    const bool rechazado = Down->VerificarCuerpo.Rechazado;
    motivo_ = Down->StatusText();
    Down.reset();
    observador_.HabilitarCancelar(false);

    if (Cancelado) {
        // Also when the cancel was handled after the last block: the new archive is left
        // as it is, neither unpacked nor deleted.
        resultado_ = Resultado::Cancelado;
        observador_.HabilitarBotonDescargar(true);
    } else if (rechazado) {
        resultado_ = Resultado::FirmaNoValida;
        observador_.Estado(0, "La actualización no tiene una firma válida");
        observador_.HabilitarBotonDescargar(true);
    } else if (fallo) {
        resultado_ = Resultado::ErrorDescarga;
        observador_.Estado(0, "Error en la descarga: " + motivo_);
        observador_.HabilitarBotonDescargar(true);
    } else {
        observador_.Estado(0, "Descarga completada");
        Pasar(Fase::Instalando);
        const bool instalado = InstalarActualizacion();
        if (instalado) {
            resultado_ = Resultado::Actualizado;
            observador_.Estado(0, "Morvane actualizado");
        } else {
            resultado_ = Resultado::ErrorInstalacion;
            observador_.Estado(0, "Error al instalar la actualización");
            observador_.HabilitarBotonDescargar(true);
        }
        Pasar(Fase::Reposo);
        if (productoPendiente_) {
            productoPendiente_ = false;
            IniciarProducto();
        }
        return;
    }
    Pasar(Fase::Reposo);
}

// The cancel only raises the flag: the component sees it at its next progress event and
// stops before the following read. "Descargar" comes back once Descargar has returned.
void Sesion::Cancelar() {
    observador_.Limpiar();
    Cancelado = true;
    observador_.Estado(0, "Descarga cancelada");
}

publicacion::Consulta Sesion::ConsultarDeclaracion() {
    observador_.Estado(0, "Comprobando la firma de la actualización...");
    // Now, not coalesced: the text is shown and a pending click is seen before the thread
    // waits on the network.
    observador_.ProcesarEventos();
    return publicacion::Consultar(entorno_.URL, entorno_.Carpeta, entorno_.Clave,
                                  [this] { return Abandonar(); });
}

// Unpacks aside and puts the release in place (see instalacion.h), serving the front-end
// while the unzip tool runs. A termination signal stops the unpack; a close waits for it.
bool Sesion::InstalarActualizacion() {
    instalacion::Entorno entorno;
    entorno.Carpeta = entorno_.Carpeta;
    // With a key, the statement of what is installed goes in with the files it describes.
    if (!entorno_.Clave.empty() && !registro_.empty()) entorno.Anadidos = {{publicacion::kRegistro, registro_}};
    std::string detalle;
    size_t colocados = 0;
    const auto inicio = std::chrono::steady_clock::now();
    const std::error_code error = instalacion::Instalar(entorno, [this] {
        observador_.Esperar(kSondeoInstalacion);
        return !detenerInstalacion_;
    }, &detalle, &colocados);
    observador_.AntesDelRegistro();
    if (error) DecirPorQue(error, detalle);
    EscribirRegistro("instalación", entorno_.Carpeta,
                     error ? "Error al instalar la actualización: " + error.message() : "Morvane actualizado",
                     std::to_string(colocados) + " ficheros", inicio);
    return !error;
}

void Sesion::Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                           int32_t SegundosTranscurridos, double SegundosRestantes,
                           int32_t& BytesPorSegundo, bool& Cancelar) {
    bytesRecibidos_ = BytesRecibidos;
    if (Cancelado) {
        Cancelar = true;
    } else if (BytesTotales != -1) {
        observador_.Avance({BytesTotales, BytesRecibidos, RedondearPorcentaje(Porcentaje),
                            SegundosTranscurridos, SegundosRestantes, BytesPorSegundo});
    }
    observador_.DoEvents();
}

// ---------------------------------------------------------------------------------------
// sistema::Ventana

void Sesion::BarraProgreso(int32_t Porcentaje, const std::string& Dato) {
    if (fase_ == Fase::Comprobando) veredicto_ = true;
    observador_.Estado(Porcentaje, Dato);
}

void Sesion::HabilitarDescargar(bool habilitar) {
    if (habilitar && fase_ == Fase::Comprobando) {
        std::string detalle;
        if (const std::error_code error = ComprobarInstalacion(detalle); error && SinPermisoPara(error)) {
            DecirPorQue(error, detalle);
            sinPermiso_ = true;
            observador_.Estado(0, kTextoSinPermiso);
            return;
        }
    }
    observador_.HabilitarBotonDescargar(habilitar);
}

void Sesion::DoEvents() { observador_.DoEvents(); }

bool Sesion::Abandonar() { return Cancelado || cerrada_; }

std::error_code Sesion::ComprobarInstalacion(std::string& detalle) const {
    instalacion::Entorno entorno;
    entorno.Carpeta = entorno_.Carpeta;
    std::error_code error = instalacion::Comprobar(entorno, &detalle);
    // A read-only mount, an ACL: what the owner and the modes do not tell.
    if (!error && !sistema::PermiteCrearFicheros(entorno_.Carpeta)) {
        error = std::make_error_code(std::errc::permission_denied);
        detalle = entorno_.Carpeta;
    }
    return error;
}

}  // namespace sesion
