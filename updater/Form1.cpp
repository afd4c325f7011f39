#include "Form1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QTimer>

using formularios::PixelesDeTwips;

void HilosVentana::Entregar(std::function<void()> aviso) {
    QMetaObject::invokeMethod(&destino_, std::move(aviso), Qt::QueuedConnection);
}

Form1::Form1(sesion::Entorno entorno, QWidget* parent)
    : QWidget(parent), sesion_(std::move(entorno), *this, hilos_) {
    Q_INIT_RESOURCE(recursos);

    setWindowTitle(QStringLiteral("Update Morvane"));
    setFixedSize(PixelesDeTwips(6690), PixelesDeTwips(915));
    QIcon icono;
    icono.addFile(QStringLiteral(":/iconos/globo-48.png"), QSize(48, 48));
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
    // Opened, the window holds the focus itself: the strip, the only control enabled then,
    // would take it otherwise, and the check could not tell the user's choice from that.
    setFocus(Qt::OtherFocusReason);

    teclaEscape_.setContext(Qt::WindowShortcut);
    connect(&teclaEscape_, &QShortcut::activated, this, [this] {
        if (btnCancelar.isEnabled()) btnCancelar.click();
    });

    Timer1.start();
    Form_Load();
}

Form1::~Form1() = default;

void Form1::Form_Load() { move(PixelesDeTwips(100), PixelesDeTwips(100)); }

// The unload step: starts the product on every close (after the install, when one is
// running). The window goes at once; a check or download gives up, an install finishes,
// and until the flow has ended the program's event loop is held (see CambioDeFase), so
// that its last report is handled before the program ends.
void Form1::closeEvent(QCloseEvent* evento) {
    Timer1.stop();
    if (!sesion_.Cerrada()) sesion_.Cerrar(!porSenal_);
    if (sesion_.EnFlujo() && !retenido_) retenido_.emplace();
    evento->accept();
}

// A signal comes at logout, shutdown or Ctrl-C: starting the product then would only have
// it killed too, or start it against the user's wish.
void Form1::TerminarPorSenal() {
    porSenal_ = true;
    sesion_.AnularInicioDelProducto();
    close();
}

// ---------------------------------------------------------------------------------------
// The flows, handed to the session, which ignores what its phase does not accept.

// The timer only starts the check, once.
void Form1::Timer1_Timer() {
    Timer1.stop();
    sesion_.BuscarActualizacion();
}

void Form1::btnDescargar_Click() { sesion_.Actualizar(); }

void Form1::btnCancelar_Click() { sesion_.Cancelar(); }

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
    Picture.Leyenda(leyenda, Porcentaje != 0 ? std::optional<int32_t>(Porcentaje) : std::nullopt);
    Picture.setToolTip(visible == leyenda ? QString() : QString::fromStdString(leyenda));
    Picture.Refresh();

    ultimaBarra_.superficie = &Picture;
    ultimaBarra_.generacion = Picture.Generacion();
    ultimaBarra_.porcentaje = Porcentaje;
    ultimaBarra_.dato = Dato;
}

void Form1::Down_Progreso(int32_t BytesTotales, int32_t BytesRecibidos, double Porcentaje,
                          int32_t SegundosTranscurridos, double SegundosRestantes,
                          int32_t& BytesPorSegundo, bool& Cancelar) {
    if (Cancelado) {
        Cancelar = true;
        return;
    }
    if (BytesTotales == -1) return;
    Avance({BytesTotales, BytesRecibidos, sesion::RedondearPorcentaje(Porcentaje), SegundosTranscurridos,
            SegundosRestantes, BytesPorSegundo});
}

// ---------------------------------------------------------------------------------------
// sesion::Observador

// A cleared strip reads as empty, not as what it said before.
void Form1::Limpiar() {
    Picture1.Cls();
    Picture1.Leyenda("");
    if (!enDescarga_) Picture1.SenalarLeyenda();
}

// A text is announced each time it is drawn, the same as the last one too: "Error en la
// descarga" after a retry is news. A bare bar is progress.
void Form1::Estado(int32_t Porcentaje, const std::string& Dato) {
    BarraProgreso(Picture1, Porcentaje, Dato);
    if (Dato == "%") {
        AnunciarAvance(Porcentaje);
        return;
    }
    if (!enDescarga_) Picture1.SenalarLeyenda();
    Anunciar(Picture1.Leyenda());
    // "45% Reconectando..." said the percentage too.
    if (Porcentaje > avanceAnunciado_) avanceAnunciado_ = Porcentaje;
}

void Form1::Avance(const sesion::Progreso& p) {
    BarraProgreso(Picture1, p.Porcentaje, "%");
    AnunciarAvance(p.Porcentaje);
}

// The override cursor is set once, not stacked.
void Form1::RelojDeArena(bool puesto) {
    formularios::MousePointer(puesto ? formularios::vbHourglass : formularios::vbDefault);
}

// ---------------------------------------------------------------------------------------
// What a screen reader hears. During a download the strip changes for every block; a
// reader told of each change queued hundreds of them and answered its user seconds late,
// so there only the start, progress by tens (at least 5 s apart) and each text are said,
// one event each, and the strip's new name is signalled once the transfer has ended.

void Form1::Anunciar(const std::string& texto) {
    Picture1.Anunciar(texto);
    ultimoAnuncio_ = reloj_();
}

void Form1::AnunciarAvance(int32_t porcentaje) {
    constexpr int32_t kPaso = 10;
    constexpr auto kPausa = std::chrono::seconds(5);
    // The end is said by the outcome ("Descarga completada"), a moment later.
    if (!enDescarga_ || porcentaje >= 100 || porcentaje < avanceAnunciado_ + kPaso) return;
    if (ultimoAnuncio_ && reloj_() - *ultimoAnuncio_ < kPausa) return;
    Anunciar(std::to_string(porcentaje) + "%");
    avanceAnunciado_ = porcentaje;
}

void Form1::CambioDeFase(sesion::Fase fase) {
    if (fase == sesion::Fase::Descargando) {
        enDescarga_ = true;
        avanceAnunciado_ = 0;
        Anunciar(kDescargando);
    } else if (fase == sesion::Fase::Reposo) {
        enDescarga_ = false;
        SoltarFoco();
        // Closed while the flow ran: now the program may end.
        retenido_.reset();
    }
}

void Form1::FinDeTransferencia() {
    if (!enDescarga_) return;
    enDescarga_ = false;
    Picture1.SenalarLeyenda();
}

// ---------------------------------------------------------------------------------------
// The focus

// The style marks the focused control only after a Tab, and Qt forgets that at every
// showing of the window; a focus moved for the user, or left by the mouse, is as real.
void Form1::changeEvent(QEvent* evento) {
    if (evento->type() == QEvent::ActivationChange && isActiveWindow())
        setAttribute(Qt::WA_KeyboardFocusChange);
    QWidget::changeEvent(evento);
}

// A control disabled while it has the focus keeps it until the flow has said what it had
// to say: the focus then goes to the next enabled control in the tab chain (Descargar,
// Cancelar, the strip). So at a download's start it reaches Cancelar, not the strip (the
// session disables Descargar before its first yield and enables Cancelar only after it),
// and at the end a reader speaks the outcome before the strip the focus lands on.
bool Form1::focusNextPrevChild(bool next) {
    if (retenerFoco_) return true;
    return QWidget::focusNextPrevChild(next);
}

void Form1::Habilitar(QPushButton& boton, bool habilitar) {
    if (!habilitar && focusWidget() == &boton) {
        retenerFoco_ = true;  // Qt would hand it on at once
        boton.setEnabled(false);
        retenerFoco_ = false;
        focoRetenido_ = true;
        return;
    }
    boton.setEnabled(habilitar);
    if (habilitar) SoltarFoco();
}

void Form1::SoltarFoco() {
    if (!focoRetenido_) return;
    focoRetenido_ = false;
    if (QWidget* w = focusWidget(); w && !w->isEnabled()) focusNextChild();
}

void Form1::HabilitarBotonDescargar(bool habilitar) {
    Habilitar(btnDescargar, habilitar);
    // What the check offers is what the user came for.
    if (habilitar && sesion_.FaseActual() == sesion::Fase::Comprobando &&
        (focusWidget() == nullptr || focusWidget() == this))
        btnDescargar.setFocus(Qt::OtherFocusReason);
}

void Form1::HabilitarCancelar(bool habilitar) { Habilitar(btnCancelar, habilitar); }
