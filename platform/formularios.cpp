#include "formularios.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <chrono>
#include <cmath>

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

}  // namespace

// ---------------------------------------------------------------------------------------
// PictureBox

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    backColor_ = QApplication::palette().color(QPalette::Base);
    foreColor_ = QApplication::palette().color(QPalette::Text);
    setAttribute(Qt::WA_OpaquePaintEvent);
    imagen_ = QImage(TamanoCliente(), QImage::Format_RGB32);
    imagen_.fill(backColor_);
}

QSize PictureBox::TamanoCliente() const {
    return QSize(std::max(1, width() - 2 * Borde), std::max(1, height() - 2 * Borde));
}

void PictureBox::Sincronizar() const {
    const QSize nuevo = TamanoCliente();
    if (nuevo == imagen_.size()) return;
    QImage imagen(nuevo, QImage::Format_RGB32);
    imagen.fill(backColor_);
    {
        QPainter pintor(&imagen);
        pintor.drawImage(QPoint(0, 0), imagen_);
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

void PictureBox::CurrentX(double vData) {
    currentX_ = vData;
    Cambio();
}

void PictureBox::CurrentY(double vData) {
    currentY_ = vData;
    Cambio();
}

int PictureBox::ColumnaDe(double x) const {
    double px = std::round(x / UnidadesPorPixelX());
    return static_cast<int>(std::clamp(px, -1.0e9, 1.0e9));
}

int PictureBox::FilaDe(double y) const {
    double px = std::round(y / UnidadesPorPixelY());
    return static_cast<int>(std::clamp(px, -1.0e9, 1.0e9));
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
    if (mezcla.dibuja) {
        QPainter pintor(&imagen_);
        pintor.setCompositionMode(mezcla.modo);
        int c1 = ColumnaDe(x1), c2 = ColumnaDe(x2);
        int f1 = FilaDe(y1), f2 = FilaDe(y2);
        if (caja) {
            QRect area(QPoint(std::min(c1, c2), std::min(f1, f2)),
                       QSize(std::abs(c2 - c1), std::abs(f2 - f1)));
            area = area.intersected(imagen_.rect());
            if (!area.isEmpty()) pintor.fillRect(area, foreColor_);
        } else {
            pintor.setPen(QPen(foreColor_, 1));
            pintor.drawLine(QPoint(c1, f1), QPoint(c2, f2));
        }
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

void PictureBox::paintEvent(QPaintEvent* /*evento*/) {
    Sincronizar();
    QPainter pintor(this);
    pintor.drawImage(QPoint(Borde, Borde), imagen_);
    pintor.setPen(QPen(palette().color(QPalette::Dark), Borde));
    pintor.setBrush(Qt::NoBrush);
    pintor.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

void PictureBox::resizeEvent(QResizeEvent* /*evento*/) { Sincronizar(); }

void PictureBox::changeEvent(QEvent* evento) {
    if (evento->type() == QEvent::FontChange) Cambio();
    QWidget::changeEvent(evento);
}

// ---------------------------------------------------------------------------------------
// Event processing and the mouse pointer

namespace {

using Reloj = std::chrono::steady_clock;
constexpr auto kIntervaloDoEvents = std::chrono::milliseconds(5);

// End of the last pass of event processing; nothing while none has run yet.
bool g_huboPasada = false;
Reloj::time_point g_finUltimaPasada;

int g_mousePointer = vbDefault;
bool g_cursorPuesto = false;

}  // namespace

void ProcesarEventos() {
    QCoreApplication::processEvents();
    g_finUltimaPasada = Reloj::now();
    g_huboPasada = true;
}

void DoEvents() {
    if (g_huboPasada && Reloj::now() - g_finUltimaPasada < kIntervaloDoEvents) return;
    ProcesarEventos();
}

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
