#include "Form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>

#include "firma.h"

#ifndef MORVANE_UPDATE_URL
#error "MORVANE_UPDATE_URL must name the update archive"
#endif

const char* const URLActualizacion = MORVANE_UPDATE_URL;

using formularios::PixelesDeTwips;

namespace {

// The archive's one name: the component writes it, the unzip tool reads it, the window
// deletes it.
const std::string kArchivo = "Morvane.zip";
const std::string kProducto = "Morvane.exe";
const std::string kDescomprimir = "Kelunzip";

std::string RutaArchivo() { return sistema::Unir(sistema::App_Path(), kArchivo); }

constexpr int32_t kEsperaInstalacion = 1000;  // ms, at least, after starting the unzip tool
constexpr int32_t kSondeoInstalacion = 20;    // ms between looks at the unzip tool

// Nearest whole percentage, halves to the even neighbour; values beyond 32 bits are held at
// the limits (a body longer than a zero Content-Length gives an infinite percentage).
int32_t RedondearPorcentaje(double porcentaje) {
    if (std::isnan(porcentaje)) return 0;
    double redondo = std::nearbyint(porcentaje);
    if (redondo >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (redondo <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(redondo);
}

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
    RelojDeArena() { formularios::MousePointer(formularios::vbHourglass); }
    ~RelojDeArena() { formularios::MousePointer(formularios::vbDefault); }
    RelojDeArena(const RelojDeArena&) = delete;
    RelojDeArena& operator=(const RelojDeArena&) = delete;
};

// Sets a flag for the life of a scope.
class Marca {
public:
    explicit Marca(bool& bandera) : bandera_(bandera) { bandera_ = true; }
    ~Marca() { bandera_ = false; }
    Marca(const Marca&) = delete;
    Marca& operator=(const Marca&) = delete;

private:
    bool& bandera_;
};

}  // namespace

Form1::Form1(QWidget* parent) : QWidget(parent) {
    Q_INIT_RESOURCE(recursos);

    setWindowTitle(QStringLiteral("Update Morvane"));
    setFixedSize(PixelesDeTwips(6690), PixelesDeTwips(915));
    QIcon icono;
    icono.addFile(QStringLiteral(":/iconos/globo-32.png"), QSize(32, 32));
    icono.addFile(QStringLiteral(":/iconos/globo-16.png"), QSize(16, 16));
    setWindowIcon(icono);

    Timer1.setInterval(100);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });

    Picture1.setObjectName(QStringLiteral("Picture1"));
    Picture1.setGeometry(PixelesDeTwips(100), PixelesDeTwips(50), PixelesDeTwips(6495),
                         PixelesDeTwips(315));
    // Navy on white in every theme: the pen is fixed, so the background is too.
    Picture1.ForeColor(QColor(0, 0, 128));
    Picture1.BackColor(Qt::white);
    Picture1.Cls();
    Picture1.setFocusPolicy(Qt::StrongFocus);
    Picture1.setAccessibleName(QStringLiteral("Estado"));

    btnCancelar.setObjectName(QStringLiteral("btnCancelar"));
    btnCancelar.setGeometry(PixelesDeTwips(3360), PixelesDeTwips(410), PixelesDeTwips(3255),
                            PixelesDeTwips(435));
    btnCancelar.setText(QStringLiteral("&Cancelar"));
    btnCancelar.setAccessibleName(QStringLiteral("Cancelar"));
    btnCancelar.setEnabled(false);
    connect(&btnCancelar, &QPushButton::clicked, this, [this] { btnCancelar_Click(); });

    btnDescargar.setObjectName(QStringLiteral("btnDescargar"));
    btnDescargar.setGeometry(PixelesDeTwips(120), PixelesDeTwips(410), PixelesDeTwips(3135),
                             PixelesDeTwips(435));
    btnDescargar.setText(QStringLiteral("Descargar"));
    btnDescargar.setToolTip(QString::fromUtf8("Descarga el contenido de la url indicada."));
    btnDescargar.setAccessibleName(QStringLiteral("Descargar"));
    btnDescargar.setEnabled(false);
    connect(&btnDescargar, &QPushButton::clicked, this, [this] { btnDescargar_Click(); });

    setTabOrder(&btnDescargar, &btnCancelar);
    setTabOrder(&btnCancelar, &Picture1);

    teclaEscape_.setContext(Qt::WindowShortcut);
    connect(&teclaEscape_, &QShortcut::activated, this, [this] {
        if (btnCancelar.isEnabled()) btnCancelar.click();
    });

    sistema::RegistrarVentana(this);
    Timer1.start();
    Form_Load();
}

Form1::~Form1() {
    if (sistema::VentanaRegistrada() == this) sistema::RegistrarVentana(nullptr);
}

void Form1::Form_Load() { move(PixelesDeTwips(100), PixelesDeTwips(100)); }

// The unload step: starts the product on every close (after the install, when one is
// running). A flow still on the stack is left to unwind (a network wait of the component
// gives up at once, see Abandonar); the program's event loop, told to quit when the last
// window closed, ends then.
void Form1::closeEvent(QCloseEvent* evento) {
    Timer1.stop();
    cerrada_ = true;
    if (Down) Cancelado = true;
    // Never start the product while the unzip tool may still be replacing it.
    if (instalando_)
        productoPendiente_ = !porSenal_;
    else if (!porSenal_)
        IniciarProducto();
    evento->accept();
}

// A signal comes at logout, shutdown or Ctrl-C: starting the product then would only have
// it killed too, or start it against the user's wish.
void Form1::TerminarPorSenal() {
    porSenal_ = true;
    productoPendiente_ = false;
    // Already closed: whatever runs is already winding up (see Abandonar).
    if (!cerrada_) close();
}

void Form1::IniciarProducto() {
    sistema::IniciarProceso(sistema::App_Path() + "/" + kProducto, {});
}

void Form1::CrearDown() {
    Down = std::make_unique<zkDownload>();
    Down->Progreso = [this](int32_t total, int32_t recibidos, double porcentaje,
                            int32_t transcurridos, double restantes, int32_t& porSegundo,
                            bool& cancelar) {
        Down_Progreso(total, recibidos, porcentaje, transcurridos, restantes, porSegundo,
                      cancelar);
    };
    Down->URL(URLActualizacion);
    bytesRecibidos_ = 0;
    relojDown_.start();
}

void Form1::RegistrarFin(const char* flujo) {
    const std::time_t ahora = std::time(nullptr);
    std::tm local{};
    char hora[32] = "";
    if (::localtime_r(&ahora, &local)) std::strftime(hora, sizeof hora, "%Y-%m-%d %H:%M:%S", &local);
    const std::string estado = Down->StatusCode().empty() ? "---" : Down->StatusCode();
    // Seconds with a full stop whatever the locale, so that every line reads the same.
    const long long centesimas = (relojDown_.elapsed() + 5) / 10;
    char cifras[96];
    std::snprintf(cifras, sizeof cifras, ", %lld bytes, %lld.%02lld s\n",
                  static_cast<long long>(bytesRecibidos_), centesimas / 100, centesimas % 100);
    const std::string linea = std::string(hora) + " " + flujo + " " + SinControles(Down->URL()) +
                              ": " + SinControles(estado + " " + Down->StatusText()) + cifras;
    std::fputs(linea.c_str(), stderr);
}

// ---------------------------------------------------------------------------------------
// The update check

// The timer only starts the check: it is off before the check can yield, so a tick can
// never start a second, overlapping one.
void Form1::Timer1_Timer() {
    Timer1.stop();
    if (enFlujo_ || cerrada_) return;
    Marca flujo(enFlujo_);
    BuscarActualizacion();
}

void Form1::BuscarActualizacion() {
    Picture1.Cls();
    BarraProgreso(Picture1, 0, "Buscando actualización...");
    ComprobarActualizacion();
}

// The component draws the verdict itself, through this window's sistema::Ventana. A check
// that ends without one (no connection, an error status, no usable date) says so instead
// of leaving "Buscando actualización..." up for good.
void Form1::ComprobarActualizacion() {
    Cancelado = false;
    RelojDeArena reloj;
    formularios::ProcesarEventos();
    if (cerrada_) return;

    // A build with a key decides from the signed statement's release time: a header
    // anyone on the path can write must not make an older release look newer.
    const bool firmada = !firma::ClaveIncorporada().empty();
    veredictoDibujado_ = false;
    bool fallo = true;
    {
        Marca comprobando(comprobando_);
        CrearDown();
        Down->QLastModified(!firmada);
        Down->Descargar(0);
        RegistrarFin("comprobación");
        fallo = Down->HuboError();
        Down.reset();
    }
    if (firmada && !fallo) {
        const auto c = publicacion::Consultar(URLActualizacion, [this] { return Abandonar(); });
        if (c.Veredicto != publicacion::Estado::Abandonada) {
            BarraProgreso(Picture1, 0, publicacion::Texto(c.Veredicto));
            veredictoDibujado_ = true;
            btnDescargar.setEnabled(c.Veredicto == publicacion::Estado::Nueva);
        }
    }
    if (!veredictoDibujado_)
        BarraProgreso(Picture1, 0, "No se pudo comprobar si existen actualizaciones");
}

// ---------------------------------------------------------------------------------------
// Download, unpack and install

void Form1::btnDescargar_Click() {
    if (enFlujo_ || cerrada_) return;
    Marca flujo(enFlujo_);
    // Disabled before the first yield: a second click already queued must not start a
    // download nested inside this one.
    btnDescargar.setEnabled(false);
    Cancelado = false;
    Picture1.Cls();
    formularios::ProcesarEventos();
    if (cerrada_) return;

    RelojDeArena reloj;
    btnCancelar.setEnabled(true);
    // A build with a key downloads only what a valid, current statement of a newer release
    // describes: no more bytes than it names, and the archive takes its name only when
    // their digest is the one signed.
    std::optional<publicacion::Cuerpo> cuerpo;
    if (!firma::ClaveIncorporada().empty()) {
        const publicacion::Consulta c = ConsultarDeclaracion();
        if (c.Veredicto != publicacion::Estado::Nueva) {
            btnCancelar.setEnabled(false);
            if (c.Veredicto != publicacion::Estado::Abandonada)
                BarraProgreso(Picture1, 0, publicacion::Texto(c.Veredicto));
            // Only a download that may succeed on a second try is offered again.
            btnDescargar.setEnabled(c.Veredicto == publicacion::Estado::Abandonada ||
                                    c.Veredicto == publicacion::Estado::NoValida);
            return;
        }
        cuerpo.emplace(c.Datos);
    }
    CrearDown();
    if (cuerpo) Down->VerificarCuerpo = cuerpo->Verificacion();
    Down->Descargar(1);
    RegistrarFin("descarga");
    const bool fallo = Down->HuboError();
    const bool rechazado = Down->VerificarCuerpo.Rechazado;
    const std::string motivo = Down->StatusText();
    Down.reset();
    btnCancelar.setEnabled(false);

    if (Cancelado) {
        // Also when the cancel was handled after the last block: the new archive is left
        // as it is, neither unpacked nor deleted.
        btnDescargar.setEnabled(true);
    } else if (rechazado) {
        BarraProgreso(Picture1, 0, "La actualización no tiene una firma válida");
        btnDescargar.setEnabled(true);
    } else if (fallo) {
        BarraProgreso(Picture1, 0, "Error en la descarga: " + motivo);
        btnDescargar.setEnabled(true);
    } else {
        BarraProgreso(Picture1, 0, "Descarga completada");
        bool instalado = false;
        {
            Marca instalando(instalando_);
            instalado = InstalarActualizacion();
        }
        if (instalado) {
            BarraProgreso(Picture1, 0, "Morvane actualizado");
        } else {
            BarraProgreso(Picture1, 0, "Error al instalar la actualización");
            btnDescargar.setEnabled(true);
        }
        if (productoPendiente_) {
            productoPendiente_ = false;
            IniciarProducto();
        }
    }
}

// The click only raises the flag: the component sees it at its next progress event and
// stops before the following read. "Descargar" comes back once Descargar has returned.
void Form1::btnCancelar_Click() {
    Picture1.Cls();
    Cancelado = true;
    BarraProgreso(Picture1, 0, "Descarga cancelada");
}

publicacion::Consulta Form1::ConsultarDeclaracion() {
    BarraProgreso(Picture1, 0, "Comprobando la firma de la actualización...");
    // Now, not coalesced: the text goes on screen and a pending click is seen before the
    // thread waits on the network.
    formularios::ProcesarEventos();
    return publicacion::Consultar(URLActualizacion, [this] { return Abandonar(); });
}

// Runs the unzip tool in the application directory and waits until it has exited (at
// least kEsperaInstalacion): the archive is removed only after a successful run. The
// product's date is then set to now, since the tool may restore the archive's older
// dates and the next check compares against it.
bool Form1::InstalarActualizacion() {
    const std::string carpeta = sistema::App_Path();
    QDir::setCurrent(QString::fromStdString(carpeta));
    std::optional<int> pid =
        sistema::IniciarProceso(kDescomprimir, {"-d", "-o", kArchivo}, carpeta);
    if (!pid) return false;

    Esperar(kEsperaInstalacion);
    sistema::EstadoProceso estado = sistema::ConsultarProceso(*pid);
    while (estado == sistema::EstadoProceso::EnMarcha) {
        Esperar(kSondeoInstalacion);
        estado = sistema::ConsultarProceso(*pid);
    }
    if (estado != sistema::EstadoProceso::Terminado) return false;

    sistema::Borrar(RutaArchivo());
    sistema::TocarFichero(carpeta + "/" + kProducto);
    return true;
}

// Sleeps in the event dispatcher until an event or the deadline arrives, so the window is
// served and the CPU idles. A monotonic clock: midnight or a clock change does not matter.
// A quit request does not end the wait early.
void Form1::Esperar(int32_t Milisegundos) {
    if (Milisegundos <= 0) return;
    QElapsedTimer reloj;
    reloj.start();
    QTimer despertador;
    despertador.setSingleShot(true);
    despertador.setTimerType(Qt::PreciseTimer);
    for (;;) {
        qint64 resta = Milisegundos - reloj.elapsed();
        if (resta <= 0) break;
        if (!despertador.isActive()) despertador.start(static_cast<int>(resta));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

// ---------------------------------------------------------------------------------------
// The status strip

void Form1::BarraProgreso(formularios::PictureBox& Picture, int32_t Porcentaje,
                          const std::string& Dato) {
    // Called for every transferred block: when neither the request nor the surface has
    // changed since the last full redraw, the pixels would come out the same.
    if (ultimaBarra_.superficie == &Picture && ultimaBarra_.generacion == Picture.Generacion() &&
        ultimaBarra_.porcentaje == Porcentaje && ultimaBarra_.dato == Dato)
        return;

    if (!Picture.AutoRedraw()) Picture.AutoRedraw(true);
    Picture.Cls();
    Picture.ScaleWidth(100);
    Picture.DrawMode(formularios::vbNotXorPen);
    // The number as "###": no leading zeros, nothing at all for 0.
    const std::string leyenda = (Porcentaje == 0 ? std::string() : std::to_string(Porcentaje)) + Dato;
    // A caption wider than the strip keeps its start; the whole of it stays in the tooltip
    // and in what assistive technology reads.
    const std::string visible = Picture.TextoQueCabe(leyenda, Picture.ScaleWidth());
    Picture.CurrentX(50 - Picture.TextWidth(visible) / 2);
    Picture.CurrentY((Picture.ScaleHeight() - Picture.TextHeight(visible)) / 2);
    Picture.Print(visible);
    Picture.Line(0, 0, Porcentaje, Picture.ScaleHeight(), true);
    Picture.setAccessibleDescription(QString::fromStdString(leyenda));
    Picture.setToolTip(visible == leyenda ? QString() : QString::fromStdString(leyenda));
    Picture.Refresh();

    ultimaBarra_.superficie = &Picture;
    ultimaBarra_.generacion = Picture.Generacion();
    ultimaBarra_.porcentaje = Porcentaje;
    ultimaBarra_.dato = Dato;
}

void Form1::Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                          int32_t /*SegundosTranscurridos*/, double /*SegundosRestantes*/,
                          int32_t& /*BytesPorSegundo*/, bool& Cancelar) {
    bytesRecibidos_ = BytesRecibidos;
    if (Cancelado) {
        Cancelar = true;
    } else if (BytesTotales != -1) {
        BarraProgreso(Picture1, RedondearPorcentaje(Porcentaje), "%");
    }
    formularios::DoEvents();
}

// ---------------------------------------------------------------------------------------
// sistema::Ventana

void Form1::BarraProgreso(int32_t Porcentaje, const std::string& Dato) {
    if (comprobando_) veredictoDibujado_ = true;
    BarraProgreso(Picture1, Porcentaje, Dato);
}

void Form1::HabilitarDescargar(bool habilitar) { btnDescargar.setEnabled(habilitar); }

void Form1::DoEvents() { formularios::DoEvents(); }

bool Form1::Abandonar() { return Cancelado || cerrada_; }
