#include "Form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QIcon>

#include <cmath>
#include <limits>
#include <optional>

#ifndef MORVANE_UPDATE_HOST
#error "MORVANE_UPDATE_HOST must name the update server's host"
#endif

const char* const URLActualizacion = "http://" MORVANE_UPDATE_HOST "/web/lurenet/Morvane.zip";

using formularios::PixelesDeTwips;

namespace {

// The archive's one name: the component writes it, the unzip tool reads it, the window
// deletes it.
const std::string kArchivo = "Morvane.zip";
const std::string kProducto = "Morvane.exe";
const std::string kDescomprimir = "Kelunzip";

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
    Picture1.ForeColor(QColor(0, 0, 128));
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
        productoPendiente_ = true;
    else
        IniciarProducto();
    evento->accept();
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

    veredictoDibujado_ = false;
    {
        Marca comprobando(comprobando_);
        CrearDown();
        Down->QLastModified(true);
        Down->Descargar(0);
        Down.reset();
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
    CrearDown();
    btnCancelar.setEnabled(true);
    Down->Descargar(1);
    const bool fallo = Down->HuboError();
    const std::string motivo = Down->StatusText();
    Down.reset();
    btnCancelar.setEnabled(false);

    if (Cancelado) {
        // Also when the cancel was handled after the last block: the new archive is left
        // as it is, neither unpacked nor deleted.
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

    sistema::Borrar(carpeta + "/" + kArchivo);
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
    Picture.CurrentX(50 - Picture.TextWidth(leyenda) / 2);
    Picture.CurrentY((Picture.ScaleHeight() - Picture.TextHeight(leyenda)) / 2);
    Picture.Print(leyenda);
    Picture.Line(0, 0, Porcentaje, Picture.ScaleHeight(), true);
    Picture.setAccessibleDescription(QString::fromStdString(leyenda));
    Picture.Refresh();

    ultimaBarra_.superficie = &Picture;
    ultimaBarra_.generacion = Picture.Generacion();
    ultimaBarra_.porcentaje = Porcentaje;
    ultimaBarra_.dato = Dato;
}

void Form1::Down_Progreso(int32_t BytesTotales, int32_t /*BytesRecibidos*/, double Porcentaje,
                          int32_t /*SegundosTranscurridos*/, double /*SegundosRestantes*/,
                          int32_t& /*BytesPorSegundo*/, bool& Cancelar) {
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
