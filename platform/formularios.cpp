#include "formularios.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCursor>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <utility>

namespace formularios {

namespace {

// Pixel mix of each DrawMode value (1-16) as a painter composition mode; `dibuja` is false
// for the mode that leaves the screen as it is.
struct Mezcla {
    QPainter::CompositionMode modo;
    bool dibuja;
};

Mezcla MezclaDe(int drawMode) {
    switch (drawMode) {
        case 1: return {QPainter::RasterOp_ClearDestination, true};           // black
        case 2: return {QPainter::RasterOp_NotSourceAndNotDestination, true}; // NOT (pen OR screen)
        case 3: return {QPainter::RasterOp_NotSourceAndDestination, true};    // NOT pen AND screen
        case 4: return {QPainter::RasterOp_NotSource, true};                  // NOT pen
        case 5: return {QPainter::RasterOp_SourceAndNotDestination, true};    // pen AND NOT screen
        case 6: return {QPainter::RasterOp_NotDestination, true};             // NOT screen
        case 7: return {QPainter::RasterOp_SourceXorDestination, true};       // pen XOR screen
        case 8: return {QPainter::RasterOp_NotSourceOrNotDestination, true};  // NOT (pen AND screen)
        case 9: return {QPainter::RasterOp_SourceAndDestination, true};       // pen AND screen
        case 10: return {QPainter::RasterOp_NotSourceXorDestination, true};   // NOT (pen XOR screen)
        case 11: return {QPainter::CompositionMode_SourceOver, false};        // screen unchanged
        case 12: return {QPainter::RasterOp_NotSourceOrDestination, true};    // NOT pen OR screen
        case 14: return {QPainter::RasterOp_SourceOrNotDestination, true};    // pen OR NOT screen
        case 15: return {QPainter::RasterOp_SourceOrDestination, true};       // pen OR screen
        case 16: return {QPainter::RasterOp_SetDestination, true};            // white
        default: return {QPainter::CompositionMode_SourceOver, true};         // 13: the pen
    }
}

QString Texto(const std::string& texto) { return QString::fromStdString(texto); }

// Nearest whole pixel, held far inside int's range.
int PixelEntero(double px) { return static_cast<int>(std::clamp(std::round(px), -1.0e9, 1.0e9)); }

// Device pixels that cover `cliente` logical pixels at `escala`.
QSize EnDispositivo(QSize cliente, double escala) {
    return QSize(std::max(1, static_cast<int>(std::ceil(cliente.width() * escala))),
                 std::max(1, static_cast<int>(std::ceil(cliente.height() * escala))));
}

// An image of `cliente` logical pixels at `escala` device pixels per logical pixel.
QImage ImagenCliente(QSize cliente, double escala, const QColor& fondo) {
    QImage imagen(EnDispositivo(cliente, escala), QImage::Format_RGB32);
    imagen.setDevicePixelRatio(escala);
    imagen.fill(fondo);
    return imagen;
}


// A picture box as assistive technology sees it: a status element named by what it
// shows, with the same read-only text, and the percentage of a drawn bar as its value.
// A cleared box has an empty name.
class CajaAccesible : public QAccessibleWidget,
                      public QAccessibleValueInterface,
                      public QAccessibleTextInterface {
public:
    explicit CajaAccesible(PictureBox* caja) : QAccessibleWidget(caja, QAccessible::StatusBar) {}

    QString text(QAccessible::Text t) const override {
        const auto* caja = static_cast<const PictureBox*>(widget());
        switch (t) {
        case QAccessible::Name:
            if (caja->HayLeyenda()) return Texto(caja->Leyenda());
            break;
        case QAccessible::Description:
            // Not the tooltip: it repeats the name, and would be spoken twice.
            return caja->accessibleDescription();
        case QAccessible::Value:
            if (caja->Porcentaje()) return QString::number(*caja->Porcentaje()) + u'%';
            return {};
        default:
            break;
        }
        return QAccessibleWidget::text(t);
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        // Always there, empty without a bar: a client learns the interfaces of an object
        // once, when it first meets it.
        if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    // The text: what the box shows; no caret, no selection, nothing to scroll.
    QString text(int inicio, int fin) const override {
        return Texto(Caja()->Leyenda()).mid(inicio, fin - inicio);
    }
    int characterCount() const override { return static_cast<int>(Texto(Caja()->Leyenda()).size()); }
    void selection(int, int* inicio, int* fin) const override { *inicio = *fin = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* inicio, int* fin) const override {
        *inicio = 0;
        *fin = characterCount();
        return {};
    }

    QVariant currentValue() const override {
        const auto valor = Caja()->Porcentaje();
        return valor ? QVariant(*valor) : QVariant();
    }
    void setCurrentValue(const QVariant&) override {}  // read-only
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    PictureBox* Caja() const { return static_cast<PictureBox*>(widget()); }
};

// The announcement's objects. A notification that Orca finds inside a status element is
// spoken, with the labels it holds even when they are not showing, as soon as it "shows"
// (Orca 43's handler of object:state-changed:showing); its own name stays empty so that
// only the text is spoken, and the label is brailled and kept in Orca's list of
// notifications. None is ever drawn or shown: the event alone does it.
//
// Orca reads the label when it gets to the event, which may be after the next
// announcement, and it drops an event when a later one of the same kind from the same
// object is waiting. So announcements take turns over kAvisos notifications, each keeping
// its text until its next turn.
constexpr int kAvisos = 8;

class Aviso : public QWidget {
public:
    using QWidget::QWidget;
};
class EtiquetaDeAviso : public QWidget {
public:
    using QWidget::QWidget;
    std::string texto;
};

class EtiquetaAccesible : public QAccessibleWidget {
public:
    explicit EtiquetaAccesible(EtiquetaDeAviso* e) : QAccessibleWidget(e, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return Texto(static_cast<EtiquetaDeAviso*>(widget())->texto);
        return QAccessibleWidget::text(t);
    }
};

// Qt reads a plain top-level QWidget as a filler; a form is a window. Only the plain
// QWidget level is answered, so every class with an interface of its own keeps it.
QAccessibleInterface* FabricaAccesible(const QString& clase, QObject* objeto) {
    if (clase != QLatin1String("QWidget") || !objeto || !objeto->isWidgetType()) return nullptr;
    if (auto* caja = dynamic_cast<PictureBox*>(objeto)) return new CajaAccesible(caja);
    if (auto* aviso = dynamic_cast<Aviso*>(objeto))
        return new QAccessibleWidget(aviso, QAccessible::Notification);
    if (auto* etiqueta = dynamic_cast<EtiquetaDeAviso*>(objeto)) return new EtiquetaAccesible(etiqueta);
    auto* ventana = static_cast<QWidget*>(objeto);
    if (ventana->isWindow()) return new QAccessibleWidget(ventana, QAccessible::Window);
    return nullptr;
}

// Installed once the application exists, so that it is asked before Qt's own widgets.
void InstalarFabricaAccesible() {
    static const bool instalada = [] {
        QAccessible::installFactory(FabricaAccesible);
        return true;
    }();
    (void)instalada;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// PictureBox

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    InstalarFabricaAccesible();
    backColor_ = QApplication::palette().color(QPalette::Base);
    foreColor_ = QApplication::palette().color(QPalette::Text);
    setAttribute(Qt::WA_OpaquePaintEvent);
    imagen_ = ImagenCliente(TamanoCliente(), devicePixelRatioF(), backColor_);
    for (int i = 0; i < kAvisos; ++i) {
        auto* aviso = new Aviso(this);
        aviso->hide();
        new EtiquetaDeAviso(aviso);
        avisos_.push_back(aviso);
    }
}

QSize PictureBox::TamanoCliente() const {
    return QSize(std::max(1, width() - 2 * Borde), std::max(1, height() - 2 * Borde));
}

double PictureBox::PixelesPorPuntoX() const {
    return static_cast<double>(imagen_.width()) / TamanoCliente().width();
}

double PictureBox::PixelesPorPuntoY() const {
    return static_cast<double>(imagen_.height()) / TamanoCliente().height();
}

void PictureBox::Sincronizar(double escala) const {
    const QSize nuevo = TamanoCliente();
    if (escala == imagen_.devicePixelRatio() && imagen_.size() == EnDispositivo(nuevo, escala))
        return;
    // The old content at its logical size: after a change of scale it shows scaled until
    // the next drawing.
    QImage imagen = ImagenCliente(nuevo, escala, backColor_);
    {
        QPainter pintor(&imagen);
        pintor.drawImage(QPointF(0, 0), imagen_);
    }
    imagen_ = std::move(imagen);
    ++generacion_;
}

const QImage& PictureBox::Image() const {
    Sincronizar();
    return imagen_;
}

uint64_t PictureBox::Generacion() const {
    Sincronizar();
    return generacion_;
}

void PictureBox::AutoRedraw(bool vData) {
    autoRedraw_ = vData;
    Cambio();
}

void PictureBox::Cls() {
    Sincronizar();
    imagen_.fill(backColor_);
    currentX_ = 0;
    currentY_ = 0;
    Cambio();
    update();
}

double PictureBox::UnidadesPorPixelX() const {
    if (scaleWidth_ > 0) return scaleWidth_ / TamanoCliente().width();
    return TwipsPorPixel;
}

double PictureBox::UnidadesPorPixelY() const { return TwipsPorPixel; }

double PictureBox::ScaleWidth() const { return TamanoCliente().width() * UnidadesPorPixelX(); }

void PictureBox::ScaleWidth(double vData) {
    if (!(vData > 0) || !std::isfinite(vData)) return;
    scaleWidth_ = vData;
    Cambio();
}

double PictureBox::ScaleHeight() const { return TamanoCliente().height() * UnidadesPorPixelY(); }

void PictureBox::DrawMode(int vData) {
    if (vData < 1 || vData > 16) return;
    drawMode_ = vData;
    Cambio();
}

double PictureBox::TextWidth(const std::string& texto) const {
    return QFontMetricsF(font()).horizontalAdvance(Texto(texto)) * UnidadesPorPixelX();
}

double PictureBox::TextHeight(const std::string& /*texto*/) const {
    return QFontMetricsF(font()).height() * UnidadesPorPixelY();
}

std::string PictureBox::TextoQueCabe(const std::string& texto, double ancho) const {
    if (TextWidth(texto) <= ancho) return texto;
    const double pixeles = std::max(0.0, ancho / UnidadesPorPixelX());
    return QFontMetricsF(font()).elidedText(Texto(texto), Qt::ElideRight, pixeles).toStdString();
}

void PictureBox::CurrentX(double vData) {
    currentX_ = vData;
    Cambio();
}

void PictureBox::CurrentY(double vData) {
    currentY_ = vData;
    Cambio();
}

int PictureBox::ColumnaDe(double x) const {
    Sincronizar();
    return PixelEntero(x / UnidadesPorPixelX() * PixelesPorPuntoX());
}

int PictureBox::FilaDe(double y) const {
    return PixelEntero(y / UnidadesPorPixelY() * PixelesPorPuntoY());
}

void PictureBox::Print(const std::string& texto) {
    Sincronizar();
    QFontMetricsF medidas(font());
    {
        QPainter pintor(&imagen_);
        pintor.setFont(font());
        pintor.setPen(foreColor_);
        QPointF base(currentX_ / UnidadesPorPixelX(),
                     currentY_ / UnidadesPorPixelY() + medidas.ascent());
        pintor.drawText(base, Texto(texto));
    }
    currentX_ = 0;
    currentY_ += medidas.height() * UnidadesPorPixelY();
    Cambio();
}

void PictureBox::Line(double x1, double y1, double x2, double y2, bool caja) {
    Sincronizar();
    Mezcla mezcla = MezclaDe(drawMode_);
    if (mezcla.dibuja && caja) {
        // Whole device pixels, so that the inverted edge is exact at any scale.
        const int c1 = ColumnaDe(x1), c2 = ColumnaDe(x2);
        const int f1 = FilaDe(y1), f2 = FilaDe(y2);
        QRect area(QPoint(std::min(c1, c2), std::min(f1, f2)),
                   QSize(std::abs(c2 - c1), std::abs(f2 - f1)));
        area = area.intersected(QRect(QPoint(0, 0), imagen_.size()));
        if (!area.isEmpty()) {
            const double escala = imagen_.devicePixelRatio();
            imagen_.setDevicePixelRatio(1);
            {
                QPainter pintor(&imagen_);
                pintor.setCompositionMode(mezcla.modo);
                pintor.fillRect(area, foreColor_);
            }
            imagen_.setDevicePixelRatio(escala);
        }
    } else if (mezcla.dibuja) {
        QPainter pintor(&imagen_);
        pintor.setCompositionMode(mezcla.modo);
        pintor.setPen(QPen(foreColor_, 1));
        const auto punto = [this](double x, double y) {
            return QPoint(PixelEntero(x / UnidadesPorPixelX()), PixelEntero(y / UnidadesPorPixelY()));
        };
        pintor.drawLine(punto(x1, y1), punto(x2, y2));
    }
    currentX_ = x2;
    currentY_ = y2;
    Cambio();
}

void PictureBox::Refresh() { update(); }

void PictureBox::ForeColor(const QColor& vData) {
    foreColor_ = vData;
    Cambio();
}

void PictureBox::BackColor(const QColor& vData) {
    backColor_ = vData;
    Cambio();
}

void PictureBox::Leyenda(const std::string& texto, std::optional<int32_t> porcentaje) {
    leyenda_ = texto;
    conLeyenda_ = true;
    porcentaje_ = porcentaje;
}

// Qt 6.4's bridge sends a name change without the new name (Orca cannot speak it); it
// still tells a reader that keeps names to ask again.
void PictureBox::EnviarAccesible(QAccessibleEvent& evento) {
    if (oyente_) oyente_(&evento);
    QAccessible::updateAccessibility(&evento);
}

void PictureBox::SenalarLeyenda() {
    // The first time always: until then the name was the widget's own.
    if (!conLeyenda_ || senalada_ == leyenda_) return;
    senalada_ = leyenda_;
    QAccessibleEvent nombre(this, QAccessible::NameChanged);
    EnviarAccesible(nombre);
}

void PictureBox::Anunciar(const std::string& texto) {
    if (texto.empty()) return;
    anunciado_ = texto;
    QWidget* aviso = avisos_[turnoAviso_];
    turnoAviso_ = (turnoAviso_ + 1) % avisos_.size();
    static_cast<EtiquetaDeAviso*>(aviso->children().front())->texto = texto;
    QAccessibleEvent aparece(aviso, QAccessible::ObjectShow);
    EnviarAccesible(aparece);
}

void PictureBox::paintEvent(QPaintEvent* /*evento*/) {
    Sincronizar(devicePixelRatioF());
    QPainter pintor(this);
    pintor.save();
    pintor.setClipRect(rect().adjusted(Borde, Borde, -Borde, -Borde));
    pintor.drawImage(QPoint(Borde, Borde), imagen_);
    pintor.restore();
    pintor.setBrush(Qt::NoBrush);
    if (hasFocus()) {
        // Two pixels wide, so that it shows whatever the image holds at its edge.
        pintor.setPen(QPen(palette().color(QPalette::Highlight), 2 * Borde));
        pintor.drawRect(QRectF(rect()).adjusted(Borde, Borde, -Borde, -Borde));
    } else {
        pintor.setPen(QPen(palette().color(QPalette::Dark), Borde));
        pintor.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

void PictureBox::focusInEvent(QFocusEvent* evento) {
    update();
    QWidget::focusInEvent(evento);
}

void PictureBox::focusOutEvent(QFocusEvent* evento) {
    update();
    QWidget::focusOutEvent(evento);
}

void PictureBox::resizeEvent(QResizeEvent* /*evento*/) {
    Sincronizar(devicePixelRatioF());
}

void PictureBox::changeEvent(QEvent* evento) {
    if (evento->type() == QEvent::FontChange) Cambio();
    QWidget::changeEvent(evento);
}

// ---------------------------------------------------------------------------------------
// The mouse pointer

namespace {

int g_mousePointer = vbDefault;
bool g_cursorPuesto = false;

}  // namespace

void MousePointer(int valor) {
    bool reloj = valor == vbHourglass;
    g_mousePointer = reloj ? vbHourglass : vbDefault;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return;
    if (reloj && !g_cursorPuesto) {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        g_cursorPuesto = true;
    } else if (!reloj && g_cursorPuesto) {
        QGuiApplication::restoreOverrideCursor();
        g_cursorPuesto = false;
    }
}

int MousePointer() { return g_mousePointer; }

}  // namespace formularios
