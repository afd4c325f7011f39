// The form runtime: the picture box's drawing members, event processing, the pointer.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

#include "formularios.h"

namespace {

using formularios::PictureBox;

QRgb Rgb(const QImage& im, int x, int y) { return im.pixel(x, y) & 0xFFFFFFu; }
QRgb Rgb(const QColor& c) { return c.rgb() & 0xFFFFFFu; }

// A box whose client area (inside the border) is `ancho` x `alto` pixels.
struct Caja {
    Caja(int ancho, int alto) { p.resize(ancho + 2 * PictureBox::Borde, alto + 2 * PictureBox::Borde); }
    PictureBox p;
};

TEST(Twips, QuincePorPixelRedondeandoAlMasCercano) {
    EXPECT_EQ(formularios::PixelesDeTwips(6690), 446);
    EXPECT_EQ(formularios::PixelesDeTwips(915), 61);
    EXPECT_EQ(formularios::PixelesDeTwips(100), 7);  // 6.67
    EXPECT_EQ(formularios::PixelesDeTwips(410), 27); // 27.33
    EXPECT_EQ(formularios::PixelesDeTwips(7), 0);
    EXPECT_EQ(formularios::PixelesDeTwips(8), 1);
    EXPECT_EQ(formularios::PixelesDeTwips(-100), -7);
    EXPECT_EQ(formularios::TwipsDePixeles(446), 6690);
}

TEST(PictureBox, EscalaEnTwipsHastaQueSeFijaElAncho) {
    Caja c(200, 19);
    EXPECT_DOUBLE_EQ(c.p.ScaleWidth(), 3000);
    EXPECT_DOUBLE_EQ(c.p.ScaleHeight(), 285);
    EXPECT_EQ(c.p.Image().size(), QSize(200, 19));

    c.p.ScaleWidth(100);
    EXPECT_DOUBLE_EQ(c.p.ScaleWidth(), 100);
    EXPECT_DOUBLE_EQ(c.p.ScaleHeight(), 285);  // the vertical scale is not touched
    EXPECT_EQ(c.p.ColumnaDe(50), 100);

    // A text's width follows the horizontal scale, its height the vertical one.
    double enTwips = 0;
    {
        Caja d(200, 19);
        enTwips = d.p.TextWidth("Descarga");
    }
    EXPECT_GT(enTwips, 0);
    EXPECT_NEAR(c.p.TextWidth("Descarga"), enTwips / 3000 * 100, 1e-9);

    c.p.ScaleWidth(0);   // ignored
    c.p.ScaleWidth(-5);  // ignored
    EXPECT_DOUBLE_EQ(c.p.ScaleWidth(), 100);
}

TEST(PictureBox, LaCajaRellenaCubreHastaLaSegundaEsquinaSinIncluirlaYSeRecorta) {
    Caja c(200, 10);
    c.p.BackColor(Qt::white);
    c.p.ForeColor(QColor(0, 0, 128));
    c.p.Cls();
    c.p.ScaleWidth(100);
    c.p.DrawMode(formularios::vbCopyPen);

    c.p.Line(0, 0, 0, c.p.ScaleHeight(), true);  // zero width: nothing
    for (int y = 0; y < 10; ++y) EXPECT_EQ(Rgb(c.p.Image(), 0, y), 0xFFFFFFu);

    c.p.Line(0, 0, 25, c.p.ScaleHeight(), true);
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(Rgb(c.p.Image(), 0, y), 0x000080u);
        EXPECT_EQ(Rgb(c.p.Image(), 49, y), 0x000080u);
        EXPECT_EQ(Rgb(c.p.Image(), 50, y), 0xFFFFFFu);
    }
    // Past the right edge the box is clipped, without harm.
    c.p.Cls();
    c.p.Line(0, 0, 250, c.p.ScaleHeight(), true);
    EXPECT_EQ(Rgb(c.p.Image(), 199, 9), 0x000080u);
    // Line leaves the position at its second corner.
    EXPECT_DOUBLE_EQ(c.p.CurrentX(), 250);
}

TEST(PictureBox, ModoDiezEsNoPlumaXorPantallaYSeDeshaceAplicandoloDosVeces) {
    Caja c(100, 10);
    const QColor navy(0, 0, 128);
    c.p.ForeColor(navy);
    c.p.BackColor(QColor(200, 30, 77));
    c.p.Cls();
    c.p.DrawMode(formularios::vbNotXorPen);
    c.p.Line(0, 0, 1500, c.p.ScaleHeight(), true);  // 100 px in twips: everything
    const QRgb esperado = ~(Rgb(navy) ^ Rgb(QColor(200, 30, 77))) & 0xFFFFFFu;
    EXPECT_EQ(Rgb(c.p.Image(), 0, 0), esperado);
    EXPECT_EQ(Rgb(c.p.Image(), 99, 9), esperado);
    c.p.Line(0, 0, 1500, c.p.ScaleHeight(), true);
    EXPECT_EQ(Rgb(c.p.Image(), 50, 5), Rgb(QColor(200, 30, 77)));

    // On white the navy pen gives navy; on navy it gives white.
    c.p.BackColor(Qt::white);
    c.p.Cls();
    c.p.Line(0, 0, 1500, c.p.ScaleHeight(), true);
    EXPECT_EQ(Rgb(c.p.Image(), 10, 5), 0x000080u);
    c.p.BackColor(navy);
    c.p.Cls();
    c.p.Line(0, 0, 1500, c.p.ScaleHeight(), true);
    EXPECT_EQ(Rgb(c.p.Image(), 10, 5), 0xFFFFFFu);
}

TEST(PictureBox, PrintEscribeEnElColorDePlumaSinModoDeMezclaYBajaUnaLinea) {
    Caja a(200, 19), b(200, 19);
    for (Caja* c : {&a, &b}) {
        c->p.BackColor(Qt::white);
        c->p.ForeColor(QColor(0, 0, 128));
        c->p.Cls();
        c->p.CurrentX(150);
        c->p.CurrentY(15);
    }
    a.p.DrawMode(formularios::vbCopyPen);
    b.p.DrawMode(formularios::vbNotXorPen);
    a.p.Print("Hola");
    b.p.Print("Hola");
    EXPECT_EQ(a.p.Image(), b.p.Image());

    // The ink is navy (never inverted) and starts at the given position (10 px, 1 px).
    int tinta = 0, izquierda = 200;
    for (int y = 0; y < 19; ++y)
        for (int x = 0; x < 200; ++x) {
            QRgb c = Rgb(a.p.Image(), x, y);
            if (c == 0xFFFFFFu) continue;
            ++tinta;
            izquierda = std::min(izquierda, x);
            EXPECT_LE(qRed(c), qBlue(c));  // shades between navy and white only
        }
    EXPECT_GT(tinta, 10);
    EXPECT_GE(izquierda, 10);
    EXPECT_LE(izquierda, 13);

    EXPECT_DOUBLE_EQ(a.p.CurrentX(), 0);
    EXPECT_NEAR(a.p.CurrentY(), 15 + a.p.TextHeight("Hola"), 1e-9);
}

TEST(PictureBox, ClsBorraConElFondoYVuelveAlOrigen) {
    Caja c(50, 10);
    c.p.ForeColor(Qt::black);
    c.p.Line(0, 0, 750, 150, true);
    c.p.CurrentX(40);
    c.p.CurrentY(40);
    c.p.BackColor(QColor(10, 20, 30));
    const uint64_t antes = c.p.Generacion();
    c.p.Cls();
    EXPECT_GT(c.p.Generacion(), antes);
    EXPECT_EQ(c.p.CurrentX(), 0);
    EXPECT_EQ(c.p.CurrentY(), 0);
    for (int x : {0, 25, 49}) EXPECT_EQ(Rgb(c.p.Image(), x, 5), Rgb(QColor(10, 20, 30)));
}

// Counts the repaints of a box.
class CajaContada : public PictureBox {
public:
    int pintadas = 0;

protected:
    void paintEvent(QPaintEvent* e) override {
        ++pintadas;
        PictureBox::paintEvent(e);
    }
};

TEST(PictureBox, RefreshPideElRepintadoSinPintarEnElActo) {
    CajaContada c;
    c.resize(100, 20);
    c.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
    ASSERT_TRUE(QTest::qWaitFor([&] { return c.pintadas > 0; }, 2000));
    const int antes = c.pintadas;
    c.Line(0, 0, 750, 150, true);
    c.Refresh();
    EXPECT_EQ(c.pintadas, antes);
    EXPECT_TRUE(QTest::qWaitFor([&] { return c.pintadas > antes; }, 2000));
}

TEST(MousePointer, ElRelojDeArenaNoSeApila) {
    ASSERT_EQ(QGuiApplication::overrideCursor(), nullptr);
    formularios::MousePointer(formularios::vbHourglass);
    formularios::MousePointer(formularios::vbHourglass);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    EXPECT_EQ(formularios::MousePointer(), formularios::vbHourglass);
    formularios::MousePointer(formularios::vbDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(formularios::MousePointer(), formularios::vbDefault);
    formularios::MousePointer(formularios::vbDefault);  // nothing to restore: harmless
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

}  // namespace
