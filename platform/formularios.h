// The form runtime the window is written against, over Qt Widgets: a picture box with the
// drawing members the status strip uses, event processing at yield points, the
// screen-wide mouse pointer, and twips.
//
// Assistive technology reads a form (a top-level window with no class of its own) as a
// frame named by its caption, and a picture box as a status element whose name is the
// text it shows (see PictureBox::Leyenda).
//
// Everything here runs on the GUI thread.
#pragma once

#include <QAccessibleEvent>
#include <QColor>
#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace formularios {

// Twips: 1/1440 inch, 15 per pixel at 96 dpi. Layouts are stored in twips.
inline constexpr int TwipsPorPixel = 15;

// Nearest whole pixel for a twip value (100 twips -> 7 px, 410 -> 27 px).
constexpr int PixelesDeTwips(int twips) {
    return twips >= 0 ? (twips + TwipsPorPixel / 2) / TwipsPorPixel
                      : -((-twips + TwipsPorPixel / 2) / TwipsPorPixel);
}
constexpr int TwipsDePixeles(int pixeles) { return pixeles * TwipsPorPixel; }

// Pixel mix modes of DrawMode.
inline constexpr int vbNotXorPen = 10;  // NOT (pen XOR screen)
inline constexpr int vbCopyPen = 13;    // the pen colour as it is

// Values of MousePointer.
inline constexpr int vbDefault = 0;
inline constexpr int vbHourglass = 11;

// A picture box: a surface with a fixed single border whose drawings go to a persistent
// image (the AutoRedraw image); paintEvent only copies that image to the screen. The image
// has the screen's device pixels (twice as many each way at scale factor 2), so text is
// drawn at the screen's resolution; positions and sizes are given in logical pixels.
//
// Coordinates are in the box's scale: twips (15 per pixel) in both directions until
// ScaleWidth is set, which rescales x so that the client width is that many units. The
// origin is the top-left pixel of the client area (inside the border).
//
// With the keyboard focus the box is marked on screen, never in the image: a ring in the
// palette's highlight colour over the border and the image's outermost pixels.
class PictureBox : public QWidget {
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Kept for callers that read or set it; drawing always goes to the persistent image.
    bool AutoRedraw() const { return autoRedraw_; }
    void AutoRedraw(bool vData);

    // Fills the image with BackColor, puts the current position at the origin and
    // schedules a repaint.
    void Cls();

    double ScaleWidth() const;
    void ScaleWidth(double vData);  // non-positive values are ignored
    double ScaleHeight() const;

    int DrawMode() const { return drawMode_; }
    void DrawMode(int vData);

    // Size of a text in the box's font, in the current scale.
    double TextWidth(const std::string& texto) const;
    double TextHeight(const std::string& texto) const;

    // `texto` as it fits in `ancho` (current scale): unchanged when it fits, otherwise
    // shortened at the end with "…".
    std::string TextoQueCabe(const std::string& texto, double ancho) const;

    double CurrentX() const { return currentX_; }
    void CurrentX(double vData);
    double CurrentY() const { return currentY_; }
    void CurrentY(double vData);

    // Prints `texto` (UTF-8) with its top-left corner at the current position, in
    // ForeColor; DrawMode does not apply to text. The position then moves to the start of
    // the next line.
    void Print(const std::string& texto);

    // A line from (x1, y1) to (x2, y2), or with `caja` a filled box with those corners,
    // in ForeColor and the current DrawMode. A box covers the image's (device) pixels from
    // the first corner's column up to, not including, the second corner's column (the
    // same for rows), so a box from 0 to 0 covers nothing and a box to ScaleWidth covers
    // the full width. Anything outside the client area is clipped.
    void Line(double x1, double y1, double x2, double y2, bool caja);

    // Schedules a repaint from the image; never paints synchronously.
    void Refresh();

    QColor ForeColor() const { return foreColor_; }
    void ForeColor(const QColor& vData);
    QColor BackColor() const { return backColor_; }
    void BackColor(const QColor& vData);  // takes effect at the next Cls

    // The persistent image (client area only, no border), in device pixels; its
    // devicePixelRatio is the screen's.
    const QImage& Image() const;

    // Column of the image (device pixels) of x in the current scale, unclipped.
    int ColumnaDe(double x) const;

    // Grows with every change to the image, the scale, the position, the colours or the
    // mode. Two moments with the same value have the same pixels and the same state.
    uint64_t Generacion() const;

    static constexpr int Borde = 1;  // width of the fixed single border, in pixels

    // What the box shows, for those who cannot see it: assistive technology reads `texto`
    // as the box's name and, while a bar is drawn, `porcentaje` as its value. Only
    // recorded: a reader asking now gets it, but nothing is signalled (see SenalarLeyenda
    // and Anunciar), so a bar redrawn for every block costs the desktop nothing. Until the
    // first call the name is the widget's accessible name; after Leyenda("") it is empty.
    void Leyenda(const std::string& texto, std::optional<int32_t> porcentaje = std::nullopt);
    const std::string& Leyenda() const { return leyenda_; }
    bool HayLeyenda() const { return conLeyenda_; }
    std::optional<int32_t> Porcentaje() const { return porcentaje_; }
    // Tells assistive technology, in one event, that the name has changed since it was
    // last told; nothing when it has not. For readers that keep what they were told.
    void SenalarLeyenda();
    // Has a screen reader speak `texto` once, now, whatever has the focus; the same text
    // twice is spoken twice. One event: one of the box's notifications (hidden children,
    // never drawn) shows, holding `texto` as its one child's name, which is what Orca
    // speaks and brailles. Qt 6.4's bridge carries no announcement, and a status
    // element's name or text changes are spoken only by chance (see README). Empty texts
    // are not announced.
    void Anunciar(const std::string& texto);
    const std::string& Anunciado() const { return anunciado_; }
    // Every accessibility event this box sends (its name changes, its announcements) is
    // also handed to `oyente`. Qt passes events on only while assistive technology
    // listens, which a test on the offscreen platform cannot arrange; a test reads them
    // here instead.
    void OirEventosAccesibles(std::function<void(QAccessibleEvent*)> oyente) { oyente_ = std::move(oyente); }

protected:
    void paintEvent(QPaintEvent* evento) override;
    void resizeEvent(QResizeEvent* evento) override;
    void changeEvent(QEvent* evento) override;
    void focusInEvent(QFocusEvent* evento) override;
    void focusOutEvent(QFocusEvent* evento) override;

private:
    double UnidadesPorPixelX() const;
    double UnidadesPorPixelY() const;
    int FilaDe(double y) const;
    QSize TamanoCliente() const;
    // Device pixels per logical pixel of the image, each way.
    double PixelesPorPuntoX() const;
    double PixelesPorPuntoY() const;
    // Gives the image the client area's size at `escala` device pixels per pixel (by
    // default the image's own), keeping what it shows. A hidden widget gets its resize
    // event only when shown, so every use of the image checks. The screen's ratio is read
    // only at resize and paint (a window moved to a screen of another scale is repainted):
    // asking Qt on every use would cost more than the rest of a progress step.
    void Sincronizar() const { Sincronizar(imagen_.devicePixelRatio()); }
    void Sincronizar(double escala) const;
    void Cambio() { ++generacion_; }

    mutable QImage imagen_;
    bool autoRedraw_ = false;
    double scaleWidth_ = 0;  // 0: twips; otherwise the user's width in units
    int drawMode_ = vbCopyPen;
    double currentX_ = 0;
    double currentY_ = 0;
    QColor foreColor_{0, 0, 0};
    QColor backColor_;
    mutable uint64_t generacion_ = 0;
    std::string leyenda_;
    bool conLeyenda_ = false;  // Leyenda has been called: the name is leyenda_
    std::optional<std::string> senalada_;  // the name assistive technology was last told of
    std::optional<int32_t> porcentaje_;
    std::string anunciado_;
    std::vector<QWidget*> avisos_;  // the hidden notifications, children, taking turns
    std::function<void(QAccessibleEvent*)> oyente_;
    void EnviarAccesible(QAccessibleEvent& evento);
    size_t turnoAviso_ = 0;
};

// The screen-wide mouse pointer: vbHourglass shows the wait cursor over every window of
// the program, vbDefault restores the normal one. Setting the hourglass twice does not
// stack: one vbDefault always restores. Other values count as vbDefault.
void MousePointer(int valor);
int MousePointer();

}  // namespace formularios
