#include "sesion.h"


#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <utility>

#include "descarga_rangos.h"
#include "ensamblado.h"
#include "instalacion.h"
#include "internet.h"
#include "rangos.h"
#include "seleccion.h"
#include "texto_remoto.h"
#include "sistema.h"
#include "publicacion.h"

#ifndef MORVANE_UPDATE_URL
#error "MORVANE_UPDATE_URL must name the update archive"
#endif

const char* const URLActualizacion = MORVANE_UPDATE_URL;

namespace sesion {

namespace {

const std::string kProducto = "Morvane.exe";
// Where the archive of the changed entries is assembled before it takes the archive's name.
const char* const kParcial = ".Morvane-parcial.zip";

constexpr int32_t kSondeoInstalacion = 20;  // ms between looks at the unzip tool
// The most often the transfer's progress reaches the front-end.
constexpr auto kIntervaloAvance = std::chrono::milliseconds(15);

// Control characters of a text that came from outside (a server's reason phrase) as '?',
// so that a log line stays one line.
std::string SinControles(std::string texto) {
    for (char& c : texto)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return texto;
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

// Which events each phase accepts; any other is ignored where it arrives. A flow starts
// only from Reposo; the steps' ends are taken only in the phase that launched them.
constexpr uint32_t Bit(Evento e) { return 1u << static_cast<int>(e); }
constexpr uint32_t kFinales = Bit(Evento::Cerrar) | Bit(Evento::Senal);
constexpr uint32_t kTabla[] = {
    /* Reposo      */ Bit(Evento::Buscar) | Bit(Evento::Actualizar) | kFinales,
    /* Comprobando */ Bit(Evento::Cancelar) | Bit(Evento::Comprobado) | kFinales,
    /* Descargando */ Bit(Evento::Cancelar) | Bit(Evento::Preparado) | Bit(Evento::Obtenido) |
                      Bit(Evento::Descargado) | kFinales,
    /* Verificando */ Bit(Evento::Cancelar) | Bit(Evento::Preparado) | Bit(Evento::Declarado) | kFinales,
    /* Instalando  */ Bit(Evento::Instalado) | kFinales,
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

}  // namespace

bool Acepta(Fase fase, Evento evento) {
    return (kTabla[static_cast<int>(fase)] & Bit(evento)) != 0;
}

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

// ---------------------------------------------------------------------------------------
// The steps' thread

HiloDePasos::~HiloDePasos() { Esperar(); }

void HiloDePasos::Lanzar(std::function<void()> paso) {
    Esperar();  // the last step has delivered its report: it is returning, if not gone
    hilo_ = std::thread(std::move(paso));
}

void HiloDePasos::Esperar() {
    if (hilo_.joinable() && hilo_.get_id() != std::this_thread::get_id()) hilo_.join();
}

// ---------------------------------------------------------------------------------------
// The session

Sesion::Sesion(Entorno entorno, Observador& observador, Hilos& hilos)
    : entorno_(std::move(entorno)), observador_(observador), hilos_(hilos) {}

Sesion::~Sesion() {
    *viva_ = false;
    cancelar_.Activar();
    detener_.Activar();
    hilos_.Esperar();
}

void Sesion::CambiarEntorno(Entorno entorno) {
    if (!EnFlujo()) entorno_ = std::move(entorno);
}

void Sesion::Pasar(Fase nueva) {
    if (!Permitido(fase_, nueva)) return;
    fase_ = nueva;
    observador_.CambioDeFase(nueva);
}

void Sesion::PonerReloj() {
    relojPuesto_ = true;
    observador_.RelojDeArena(true);
}

void Sesion::Terminar(Desenlace desenlace) {
    ultimo_ = std::move(desenlace);
    if (relojPuesto_) {
        relojPuesto_ = false;
        observador_.RelojDeArena(false);
    }
    Pasar(Fase::Reposo);
    if (productoPendiente_) {
        productoPendiente_ = false;
        IniciarProducto();
    }
}

void Sesion::Lanzar(std::function<std::function<void()>()> paso) {
    hilos_.Lanzar([this, paso = std::move(paso)] {
        std::function<void()> aviso = paso();
        hilos_.Entregar([viva = viva_, aviso = std::move(aviso)] {
            if (*viva) aviso();
        });
    });
}

void Sesion::IniciarProducto() {
    sistema::IniciarProceso(sistema::Unir(entorno_.Carpeta, kProducto), {});
}

zkDownload::Ajustes Sesion::AjustesRed() const {
    zkDownload::Ajustes a = entorno_.Red;
    a.Carpeta = entorno_.Carpeta;
    if (entorno_.EsperaConexion) a.EsperaConexion = *entorno_.EsperaConexion;
    if (entorno_.EsperaInactividad) a.EsperaInactividad = *entorno_.EsperaInactividad;
    a.Cancelacion = &cancelar_;
    a.Disco = entorno_.Disco;
    return a;
}

void Sesion::CrearDown() {
    Down = std::make_unique<zkDownload>();
    Down->Opciones = AjustesRed();
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

// What a finished transfer of Down says, read on the step's thread.
Sesion::FinDescarga Sesion::LeerFin(const zkDownload& down) {
    FinDescarga fin;
    fin.Fallo = down.HuboError();
    fin.Rechazado = down.VerificarCuerpo.Rechazado;
    fin.Causa = down.Causa();
    fin.Codigo = down.StatusCode();
    fin.Texto = down.StatusText();
    fin.MotivoRed = down.MotivoRed();
    return fin;
}

void Sesion::RegistrarFin(const char* flujo, const FinDescarga& fin) {
    std::string estado = fin.Codigo.empty() ? "---" : fin.Codigo;
    estado.append(" ").append(fin.Texto);
    // A failure says why in the words of whatever failed below the component: a refused
    // connection, no network at all and a full disk read differently.
    if (fin.Fallo && !fin.MotivoRed.empty())
        estado.append(" (").append(fin.MotivoRed).append(")");
    else if (fin.Fallo && fin.Causa && fin.Causa != std::errc::operation_canceled)
        estado.append(" (").append(fin.Causa.message()).append(")");
    EscribirRegistro(flujo, entorno_.URL, estado, std::to_string(bytesRecibidos_.load()) + " bytes",
                     inicioDown_);
}

// ---------------------------------------------------------------------------------------
// The update check

void Sesion::BuscarActualizacion() {
    if (cerrada_ || !Acepta(fase_, Evento::Buscar)) return;
    Pasar(Fase::Comprobando);
    Cancelado = false;
    cancelar_.Reiniciar();
    observador_.Limpiar();
    observador_.Estado(0, "Buscando actualización...");
    PonerReloj();
    // With a key the signed statement's release time decides: a header anyone on the path
    // can write must not make an older release look newer. So the statement is all the
    // check asks for: the archive's head would cost the server a window of its body for
    // nothing.
    if (!entorno_.Clave.empty()) {
        inicioDown_ = std::chrono::steady_clock::now();
        bytesRecibidos_ = 0;
        Lanzar([this, entorno = entorno_, ajustes = AjustesRed()] {
            FinComprobacion fin;
            fin.Declaracion = publicacion::Consultar(entorno.URL, entorno.Carpeta, entorno.Clave,
                                                     ajustes, entorno.Reloj());
            fin.Hay = fin.Declaracion->Veredicto == publicacion::Estado::Nueva;
            if (fin.Hay) fin.Instalable = ComprobarInstalacion(entorno, fin.DetalleInstalable);
            return [this, fin = std::move(fin)]() mutable { Comprobado(std::move(fin)); };
        });
        return;
    }
    CrearDown();
    Down->QLastModified(true);
    Lanzar([this, down = Down.get(), entorno = entorno_] {
        FinComprobacion fin;
        down->BarraProgreso = [&fin](int32_t, const std::string&) { fin.Veredicto = true; };
        down->Descargar(0);
        down->BarraProgreso = nullptr;
        fin.Transferencia = LeerFin(*down);
        fin.Hay = fin.Veredicto && down->FechaInternet > down->FechaDisco;
        // An update this user could not install is said at once.
        if (fin.Hay) fin.Instalable = ComprobarInstalacion(entorno, fin.DetalleInstalable);
        return [this, fin = std::move(fin)]() mutable { Comprobado(std::move(fin)); };
    });
}

void Sesion::Comprobado(FinComprobacion fin) {
    if (!Acepta(fase_, Evento::Comprobado)) return;
    Down.reset();
    observador_.FinDeTransferencia();
    if (fin.Declaracion) {
        // The statement's fetch: its status, the verdict it gave, its bytes.
        const publicacion::Consulta& c = *fin.Declaracion;
        std::string estado = c.Respuesta.empty() ? (c.Codigo.empty() ? "---" : c.Codigo) : c.Respuesta;
        estado.append(" ").append(c.Veredicto == publicacion::Estado::SinRespuesta ? c.Mensaje
                                  : c.Veredicto == publicacion::Estado::Abandonada ? "cancelada"
                                                                                   : publicacion::Texto(c.Veredicto));
        if (!c.MotivoRed.empty()) estado.append(" (").append(c.MotivoRed).append(")");
        EscribirRegistro("comprobación", entorno_.URL + ".sig", estado, std::to_string(c.Bytes) + " bytes",
                         inicioDown_);
    } else {
        RegistrarFin("comprobación", fin.Transferencia);
    }
    Desenlace d;
    d.Motivo = fin.Transferencia.Codigo + " " + fin.Transferencia.Texto;
    d.Causa = fin.Transferencia.Causa;
    bool veredicto = fin.Veredicto;
    bool firmaMala = false;
    if (fin.Declaracion) {
        using publicacion::Estado;
        const publicacion::Consulta& c = *fin.Declaracion;
        veredicto = false;
        if (c.Veredicto == Estado::SinRespuesta) {
            // No verdict: the check could not be made.
            d.Causa = c.Causa;
            d.Motivo = entorno_.URL;
            d.Motivo.append(".sig: ").append(c.Codigo).append(" ").append(c.Mensaje);
            if (!c.MotivoRed.empty()) d.Motivo.append(" (").append(c.MotivoRed).append(")");
        } else if (c.Veredicto != Estado::Abandonada) {
            veredicto = true;
            d.Texto = publicacion::Texto(c.Veredicto);
            firmaMala = !fin.Hay && c.Veredicto != Estado::NoPosterior;
            if (firmaMala) d.Motivo = entorno_.URL + ".sig";
        }
    } else if (veredicto) {
        d.Texto = fin.Hay ? "Existe una actualización" : "No existen actualizaciones";
    }
    const bool sinPermiso = veredicto && fin.Hay && fin.Instalable && SinPermisoPara(fin.Instalable);
    if (sinPermiso) DecirPorQue(fin.Instalable, fin.DetalleInstalable);
    if (firmaMala) {
        d.Resultado = Resultado::ErrorComprobacion;
        observador_.Estado(0, d.Texto);
    } else if (veredicto) {
        if (sinPermiso) {
            d.Resultado = Resultado::SinPermiso;
            d.Texto = kTextoSinPermiso;
            d.Causa = fin.Instalable;
            observador_.Estado(0, d.Texto);
        } else {
            d.Resultado = fin.Hay ? Resultado::HayActualizacion : Resultado::SinActualizacion;
            observador_.Estado(0, d.Texto);
            if (fin.Hay) observador_.HabilitarBotonDescargar(true);
        }
    } else if (Cancelado || cerrada_) {
        d.Resultado = Resultado::Cancelado;
        if (!d.Causa) d.Causa = std::make_error_code(std::errc::operation_canceled);
    } else {
        d.Resultado = Resultado::ErrorComprobacion;
        d.Texto = "No se pudo comprobar si existen actualizaciones";
        observador_.Estado(0, d.Texto);
    }
    Terminar(std::move(d));
}

// ---------------------------------------------------------------------------------------
// Download, verify, install

void Sesion::Actualizar() {
    if (cerrada_ || !Acepta(fase_, Evento::Actualizar)) return;
    // With a key the release statement is verified first.
    Pasar(entorno_.Clave.empty() ? Fase::Descargando : Fase::Verificando);
    observador_.HabilitarBotonDescargar(false);
    Cancelado = false;
    cancelar_.Reiniciar();
    registro_.clear();
    cuerpo_.reset();
    observador_.Limpiar();
    PonerReloj();
    // Nothing is downloaded that could not be installed here.
    Lanzar([this, entorno = entorno_] {
        FinPreparacion fin;
        fin.Error = ComprobarInstalacion(entorno, fin.Detalle);
        return [this, fin = std::move(fin)]() mutable { Preparado(std::move(fin)); };
    });
}

void Sesion::Preparado(FinPreparacion fin) {
    if (!Acepta(fase_, Evento::Preparado)) return;
    Desenlace d;
    if (Cancelado || cerrada_) {
        d.Resultado = Resultado::Cancelado;
        d.Causa = std::make_error_code(std::errc::operation_canceled);
        observador_.HabilitarBotonDescargar(true);
        Terminar(std::move(d));
        return;
    }
    if (fin.Error) {
        DecirPorQue(fin.Error, fin.Detalle);
        const bool permiso = SinPermisoPara(fin.Error);
        d.Resultado = permiso ? Resultado::SinPermiso : Resultado::ErrorInstalacion;
        d.Causa = fin.Error;
        d.Motivo = fin.Error.message();
        d.Texto = permiso ? kTextoSinPermiso : "Error al instalar la actualización";
        observador_.Estado(0, d.Texto);
        observador_.HabilitarBotonDescargar(!permiso);
        Terminar(std::move(d));
        return;
    }
    observador_.HabilitarCancelar(true);
    if (entorno_.Clave.empty()) {
        Descargar();
        return;
    }
    // With a key, only what a valid, current statement of a newer release describes is
    // downloaded: no more bytes than it names, and the archive takes its name only when
    // their digest is the one signed.
    observador_.Estado(0, "Comprobando la firma de la actualización...");
    Lanzar([this, entorno = entorno_, ajustes = AjustesRed()] {
        publicacion::Consulta c =
            publicacion::Consultar(entorno.URL, entorno.Carpeta, entorno.Clave, ajustes, entorno.Reloj());
        return [this, c = std::move(c)]() mutable { Declarado(std::move(c)); };
    });
}

void Sesion::Declarado(publicacion::Consulta c) {
    if (!Acepta(fase_, Evento::Declarado)) return;
    using publicacion::Estado;
    if (c.Veredicto == Estado::Nueva && !Cancelado && !cerrada_) {
        cuerpo_ = std::make_unique<publicacion::Cuerpo>(c.Datos);
        declaracion_ = c.Datos;
        registro_ = c.Texto;
        Pasar(Fase::Descargando);
        ObtenerCambios();
        return;
    }
    observador_.HabilitarCancelar(false);
    Desenlace d;
    const bool abandonada = c.Veredicto == Estado::Abandonada || Cancelado || cerrada_;
    d.Resultado = abandonada                             ? Resultado::Cancelado
                  : c.Veredicto == Estado::NoPosterior  ? Resultado::SinActualizacion
                  : c.Veredicto == Estado::SinRespuesta ? Resultado::ErrorDescarga
                                                        : Resultado::FirmaNoValida;
    // A statement the network kept away fails the download as the archive would.
    if (abandonada) {
        d.Causa = std::make_error_code(std::errc::operation_canceled);
    } else if (c.Veredicto == Estado::SinRespuesta) {
        d.Motivo = c.Mensaje;
        d.Texto = "Error en la descarga: " + c.Mensaje;
    } else {
        d.Motivo = entorno_.URL + ".sig";
        d.Texto = publicacion::Texto(c.Veredicto);
    }
    if (!d.Texto.empty()) observador_.Estado(0, d.Texto);
    // Only a download that may succeed on a second try is offered again.
    observador_.HabilitarBotonDescargar(abandonada || c.Veredicto == Estado::NoValida ||
                                        c.Veredicto == Estado::SinRespuesta);
    Terminar(std::move(d));
}

// With a key: the entries of the release that differ from what is installed, fetched by
// range and assembled into an archive of just them, when the signed index allows it;
// otherwise (no index, more than half the archive, a server that ignores ranges) the
// whole archive, as without one.
void Sesion::ObtenerCambios() {
    parcial_.reset();
    inicioDown_ = std::chrono::steady_clock::now();
    bytesRecibidos_ = 0;
    Lanzar([this, entorno = entorno_, ajustes = AjustesRed(), declaracion = declaracion_] {
        FinParcial fin = BuscarCambios(entorno, ajustes, declaracion);
        return [this, fin = std::move(fin)]() mutable { Obtenido(std::move(fin)); };
    });
}

Sesion::FinParcial Sesion::BuscarCambios(const Entorno& entorno, const zkDownload::Ajustes& ajustes,
                                          const firma::Declaracion& declaracion) {
    FinParcial fin;
    const TextoRemoto texto = LeerTextoRemoto(entorno.URL + ".indice", 0, firma::kLimiteIndice, ajustes);
    if (texto.Abandonado) {
        fin.Entero = false;
        fin.Transferencia.Fallo = true;
        fin.Transferencia.Causa = std::make_error_code(std::errc::operation_canceled);
        return fin;
    }
    if (texto.SinRespuesta) {
        // The index as the archive: a network that failed fails the download.
        fin.Entero = false;
        fin.Transferencia = {true, false, texto.Causa, texto.Codigo, texto.Mensaje, texto.MotivoRed};
        return fin;
    }
    // No index published (a release made before indexes; a server that answers anything
    // it does not have with a page): the whole archive, which the statement still binds.
    // One that is there but over the bound, or not the signed one of this release, is
    // refused.
    if (!texto.Texto && (texto.Estado.empty() || texto.Estado[0] != '2')) return fin;
    if (texto.Texto && texto.Texto->rfind("morvane-update indice ", 0) != 0) return fin;
    auto indice = std::make_shared<firma::Indice>();
    const std::error_code rechazo =
        texto.Texto ? firma::LeerIndice(*texto.Texto, entorno.Clave, declaracion, *indice)
                    : firma::make_error_code(firma::ErrorIndice::Grande);
    if (rechazo) {
        fin.Entero = false;
        fin.Rechazado = true;
        fin.Transferencia = {true, true, rechazo, "999", "Ha ocurrido un error durante la descarga.",
                             entorno.URL + ".indice: " + rechazo.message()};
        return fin;
    }
    std::vector<std::size_t> seleccion;
    // Reading a large product takes a while: a Cancelar ends it (the cancel is then seen
    // on the front-end's side).
    const auto seguir = [&ajustes] { return !(ajustes.Cancelacion && ajustes.Cancelacion->Activa()); };
    if (parcial::Seleccionar(*indice, entorno.Carpeta, seleccion, seguir, &entorno.Disco) || seleccion.empty())
        return fin;
    const parcial::Plan plan = parcial::Planear(*indice, seleccion);
    if (plan.ArchivoEntero) return fin;

    auto ensamblador = std::make_unique<parcial::Ensamblador>(*indice, seleccion);
    // A piece left by a killed updater is ours (the directory is, and no one else writes
    // there): it goes first, or the new one could not be made.
    entorno.Disco.BorrarFichero(sistema::Unir(entorno.Carpeta, kParcial));
    if (const std::error_code e = ensamblador->Abrir(entorno.Carpeta, kParcial)) {
        fin.Entero = false;
        fin.Transferencia = {true, false, e, "008", "No se ha podido crear el fichero de destino.", ""};
        return fin;
    }
    const auto inicio = std::chrono::steady_clock::now();
    // The bar counts what is wanted: the changed entries and the directory.
    uint64_t total = indice->Directorio.Longitud;
    for (std::size_t i : seleccion) total += indice->Entradas[i].EnArchivo.Longitud;
    const parcial::ResultadoRangos r = parcial::DescargarRangos(
        entorno.URL, 0, ajustes, *ensamblador, [this, total, inicio](uint64_t recibidos) {
            AvisarAvance(total, recibidos, inicio);
        });
    fin.Recibidos = r.Recibidos;
    bytesRecibidos_ = static_cast<int32_t>(std::min<uint64_t>(r.Recibidos, INT32_MAX));
    if (r.Entero) return fin;  // the server ignores ranges: the whole archive after all
    fin.Entero = false;
    std::error_code e = r.Error;
    if (!e) e = ensamblador->Terminar();
    if (!e) e = entorno.Disco.RenombrarFichero(sistema::Unir(entorno.Carpeta, kParcial),
                                               sistema::Unir(entorno.Carpeta, "Morvane.zip"));
    if (e) {
        // Bytes that are not the signed ones are refused as a bad signature is.
        fin.Rechazado = e == parcial::Error::RangoAlterado || e == parcial::Error::DirectorioAlterado;
        fin.Transferencia = {true, false, e, r.Codigo.empty() ? "999" : r.Codigo,
                             r.Mensaje.empty() ? "Ha ocurrido un error durante la descarga." : r.Mensaje,
                             r.MotivoRed.empty() ? e.message() : r.MotivoRed};
        return fin;
    }
    fin.Transferencia.Codigo = "206";
    fin.Transferencia.Texto = "Partial Content";
    fin.Indice = std::move(indice);
    fin.Seleccion = std::move(seleccion);
    return fin;
}

void Sesion::Obtenido(FinParcial fin) {
    if (!Acepta(fase_, Evento::Obtenido)) return;
    if (fin.Entero && !Cancelado && !cerrada_) {
        Descargar();
        return;
    }
    FinDescarga transferencia = fin.Transferencia;
    if (fin.Rechazado) transferencia.Fallo = transferencia.Rechazado = true;
    if (!transferencia.Fallo && !fin.Entero) parcial_ = std::make_shared<FinParcial>(std::move(fin));
    Descargado(std::move(transferencia));
}

void Sesion::AvisarAvance(uint64_t total, uint64_t recibidos,
                          std::chrono::steady_clock::time_point inicio) {
    bytesRecibidos_ = static_cast<int32_t>(std::min<uint64_t>(recibidos, INT32_MAX));
    if (cancelar_.Activa() || total == 0) return;
    const double segundos =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
    const double porSegundo = segundos > 0 ? recibidos / segundos : 0;
    Progreso p;
    p.BytesTotales = static_cast<int32_t>(std::min<uint64_t>(total, INT32_MAX));
    p.BytesRecibidos = bytesRecibidos_;
    p.Porcentaje = RedondearPorcentaje(100.0 * static_cast<double>(recibidos) / static_cast<double>(total));
    p.SegundosTranscurridos = static_cast<int32_t>(segundos);
    p.SegundosRestantes = porSegundo > 0 ? (static_cast<double>(total) - recibidos) / porSegundo : 0;
    p.BytesPorSegundo = static_cast<int32_t>(std::min<double>(porSegundo, INT32_MAX));
    Entregar(p);
}

void Sesion::Descargar() {
    CrearDown();
    if (cuerpo_) Down->VerificarCuerpo = cuerpo_->Verificacion();
    // What the component says meanwhile ("45% Reconectando...") goes to the strip.
    Down->BarraProgreso = [this](int32_t porcentaje, const std::string& dato) {
        hilos_.Entregar([this, viva = viva_, porcentaje, dato] {
            if (*viva) observador_.Estado(porcentaje, dato);
        });
    };
    Lanzar([this, down = Down.get()] {
        down->Descargar(1);
        FinDescarga fin = LeerFin(*down);
        return [this, fin = std::move(fin)]() mutable { Descargado(std::move(fin)); };
    });
}

void Sesion::Descargado(FinDescarga fin) {
    if (!Acepta(fase_, Evento::Descargado)) return;
    EntregarAvance();
    Down.reset();
    cuerpo_.reset();
    observador_.FinDeTransferencia();
    RegistrarFin("descarga", fin);
    observador_.HabilitarCancelar(false);
    Desenlace d;
    d.Causa = fin.Causa;
    d.Motivo = fin.Texto;
    if (Cancelado || cerrada_) {
        // Also when the cancel was handled after the last block: the new archive is left
        // as it is, neither unpacked nor deleted.
        d.Resultado = Resultado::Cancelado;
        // The component's own reason stays: a wait given up reads apart from a time-out.
        if (!d.Causa) d.Causa = std::make_error_code(std::errc::operation_canceled);
        observador_.HabilitarBotonDescargar(true);
    } else if (fin.Rechazado) {
        d.Resultado = Resultado::FirmaNoValida;
        d.Texto = "La actualización no tiene una firma válida";
        observador_.Estado(0, d.Texto);
        observador_.HabilitarBotonDescargar(true);
    } else if (fin.Fallo) {
        d.Resultado = Resultado::ErrorDescarga;
        d.Texto = "Error en la descarga: " + fin.Texto;
        observador_.Estado(0, d.Texto);
        observador_.HabilitarBotonDescargar(true);
    } else {
        observador_.Estado(0, "Descarga completada");
        Pasar(Fase::Instalando);
        Instalar();
        return;
    }
    Terminar(std::move(d));
}

// Unpacks aside and puts the release in place (see instalacion.h). A termination signal
// stops the unpack; a close waits for it.
void Sesion::Instalar() {
    instalacion::Entorno entorno;
    entorno.Carpeta = entorno_.Carpeta;
    entorno.Disco = entorno_.Disco;
    // With a key, the statement of what is installed goes in with the files it describes.
    if (!entorno_.Clave.empty() && !registro_.empty()) entorno.Anadidos = {{publicacion::kRegistro, registro_}};
    // Some entries only: each unpacked file must be the one the signed index names.
    if (parcial_) {
        entorno.Verificar = [p = parcial_](const std::string& carpeta, std::string* detalle) {
            return parcial::Comprobar(*p->Indice, p->Seleccion, carpeta, detalle);
        };
    }
    inicioInstalacion_ = std::chrono::steady_clock::now();
    Lanzar([this, entorno = std::move(entorno)] {
        FinInstalacion fin;
        fin.Error = instalacion::Instalar(entorno, [this] { return detener_.Dormir(kSondeoInstalacion); },
                                          &fin.Detalle, &fin.Colocados);
        return [this, fin = std::move(fin)]() mutable { Instalado(std::move(fin)); };
    });
}

void Sesion::Instalado(FinInstalacion fin) {
    if (!Acepta(fase_, Evento::Instalado)) return;
    observador_.AntesDelRegistro();
    if (fin.Error) DecirPorQue(fin.Error, fin.Detalle);
    EscribirRegistro("instalación", entorno_.Carpeta,
                     fin.Error ? "Error al instalar la actualización: " + fin.Error.message() : "Morvane actualizado",
                     std::to_string(fin.Colocados) + " ficheros", inicioInstalacion_);
    Desenlace d;
    d.Causa = fin.Error;
    if (!fin.Error) {
        d.Resultado = Resultado::Actualizado;
        d.Texto = "Morvane actualizado";
        observador_.Estado(0, d.Texto);
    } else {
        d.Resultado = Resultado::ErrorInstalacion;
        d.Texto = "Error al instalar la actualización";
        d.Motivo = fin.Error.message();
        observador_.Estado(0, d.Texto);
        observador_.HabilitarBotonDescargar(true);
    }
    Terminar(std::move(d));
}

// ---------------------------------------------------------------------------------------
// What the front-end sends while a flow runs

// The cancel wakes the running wait at once; "Descargar" comes back once the step has
// returned.
void Sesion::Cancelar() {
    if (!Acepta(fase_, Evento::Cancelar)) return;
    observador_.Limpiar();
    Cancelado = true;
    cancelar_.Activar();
    observador_.Estado(0, "Descarga cancelada");
}

void Sesion::Cerrar(bool iniciarProducto) {
    cerrada_ = true;
    if (!iniciarProducto) detener_.Activar();
    if (EnFlujo() && fase_ != Fase::Instalando) {
        Cancelado = true;
        cancelar_.Activar();
    }
    // Never start the product while the unzip tool may still be replacing it.
    if (EnFlujo())
        productoPendiente_ = iniciarProducto;
    else if (iniciarProducto)
        IniciarProducto();
}

void Sesion::AnularInicioDelProducto() {
    productoPendiente_ = false;
    cancelar_.Activar();
    detener_.Activar();
}

void Sesion::Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                           int32_t SegundosTranscurridos, double SegundosRestantes,
                           int32_t& BytesPorSegundo, bool& Cancelar) {
    bytesRecibidos_ = BytesRecibidos;
    if (cancelar_.Activa()) {
        Cancelar = true;
        return;
    }
    if (BytesTotales == -1) return;
    Entregar(Progreso{BytesTotales, BytesRecibidos, RedondearPorcentaje(Porcentaje),
                      SegundosTranscurridos, SegundosRestantes, BytesPorSegundo});
}

// A block raises an event every few microseconds on a fast network; waking the front-end's
// thread for each would cost more than the transfer. At most one delivery is pending, at
// most one per kIntervaloAvance, and it carries the latest progress; the step's report
// delivers whatever is left first (EntregarAvance), so the end is never lost.
void Sesion::Entregar(const Progreso& progreso) {
    const auto ahora = std::chrono::steady_clock::now();
    bool entregar;
    {
        std::lock_guard<std::mutex> cerrojo(mutexAvance_);
        avance_ = progreso;
        entregar = !avancePendiente_ && ahora - ultimaEntrega_ >= kIntervaloAvance;
        if (entregar) {
            avancePendiente_ = true;
            ultimaEntrega_ = ahora;
        }
    }
    if (entregar) hilos_.Entregar([this, viva = viva_] {
        if (*viva) EntregarAvance();
    });
}

void Sesion::EntregarAvance() {
    std::optional<Progreso> p;
    {
        std::lock_guard<std::mutex> cerrojo(mutexAvance_);
        p.swap(avance_);
        avancePendiente_ = false;
    }
    if (p && !Cancelado) observador_.Avance(*p);
}

std::error_code Sesion::ComprobarInstalacion(const Entorno& e, std::string& detalle) {
    instalacion::Entorno entorno;
    entorno.Carpeta = e.Carpeta;
    entorno.Disco = e.Disco;
    std::error_code error = instalacion::Comprobar(entorno, &detalle);
    // A read-only mount, an ACL: what the owner and the modes do not tell.
    if (!error && !sistema::PermiteCrearFicheros(e.Carpeta)) {
        error = std::make_error_code(std::errc::permission_denied);
        detalle = e.Carpeta;
    }
    return error;
}

}  // namespace sesion
