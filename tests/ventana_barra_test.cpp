// The status strip: the bar and its caption, and the progress handler.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QPalette>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>

#include "ventana_comun.h"

namespace {

using ventana::Invertida;
using ventana::Leyenda;
using ventana::Rgb;

// Every case runs in a dark theme: the strip must not follow it.
class VentanaBarra : public ::testing::Test {
protected:
    void SetUp() override {
        QPalette oscura = tema_;
        oscura.setColor(QPalette::Base, QColor(35, 35, 40));
        oscura.setColor(QPalette::Text, QColor(230, 230, 230));
        QApplication::setPalette(oscura);
        f_ = std::make_unique<Form1>(sesion::Entorno{});
        f_->Timer1.stop();
    }
    void TearDown() override {
        f_.reset();
        QApplication::setPalette(tema_);
    }
    // The component's progress event on the window's handler; what it has drawn comes
    // through the window's queue.
    void Progreso(int32_t total, int32_t recibidos, double porcentaje, int32_t& porSegundo, bool& cancelar) {
        f_->Down_Progreso(total, recibidos, porcentaje, 0, 0, porSegundo, cancelar);
        QCoreApplication::sendPostedEvents(f_.get());
    }
    // The strip as drawn for `Porcentaje` and `Dato`.
    QImage Dibujar(int32_t Porcentaje, const std::string& Dato) {
        f_->BarraProgreso(f_->Picture1, Porcentaje, Dato);
        return f_->Picture1.Image().copy();
    }
    // Bounds of everything that is not white (null if nothing).
    static QRect Tinta(const QImage& im) {
        QRect r;
        for (int y = 0; y < im.height(); ++y)
            for (int x = 0; x < im.width(); ++x)
                if (Rgb(im, x, y) != 0xFFFFFFu) r |= QRect(x, y, 1, 1);
        return r;
    }
    const QPalette tema_ = QApplication::palette();
    std::unique_ptr<Form1> f_;
};

TEST_F(VentanaBarra, LaCajaInvierteLaParteIzquierdaYElRestoQuedaComoSeImprimio) {
    const QRgb navy = 0x000080u;
    ASSERT_EQ(f_->Picture1.ForeColor().rgb() & 0xFFFFFFu, navy);
    const QRgb fondo = f_->Picture1.BackColor().rgb() & 0xFFFFFFu;
    ASSERT_EQ(fondo, 0xFFFFFFu);
    for (int32_t p : {0, 45, 50, 100, 120}) {
        SCOPED_TRACE(p);
        const std::string leyenda = (p == 0 ? "" : std::to_string(p)) + "%";
        // The same caption with no bar: what the covered part must be the inverse of.
        const QImage referencia = Dibujar(0, leyenda);
        const QImage barra = Dibujar(p, "%");
        EXPECT_EQ(Leyenda(*f_), leyenda);
        ASSERT_EQ(barra.size(), referencia.size());
        const int ancho = barra.width();
        const int corte = std::min(ancho, static_cast<int>(std::lround(p * ancho / 100.0)));
        int distintos = 0;
        for (int y = 0; y < barra.height(); ++y)
            for (int x = 0; x < ancho; ++x) {
                QRgb esperado = x < corte ? Invertida(navy, Rgb(referencia, x, y)) : Rgb(referencia, x, y);
                if (Rgb(barra, x, y) != esperado) ++distintos;
            }
        EXPECT_EQ(distintos, 0);
        // The bar itself has the pen's colour over the background: navy on white.
        EXPECT_EQ(Rgb(barra, 0, 0), corte > 0 ? Invertida(navy, fondo) : fondo);
        EXPECT_EQ(Rgb(barra, ancho - 1, barra.height() - 1), p >= 100 ? Invertida(navy, fondo) : fondo);
    }
}

TEST_F(VentanaBarra, SobreFondoBlancoLaBarraEsAzulMarinoYElTextoCubiertoBlanco) {
    const QImage referencia = Dibujar(0, "100%");
    const QImage barra = Dibujar(100, "%");
    int tintaPlena = 0;
    for (int y = 0; y < barra.height(); ++y)
        for (int x = 0; x < barra.width(); ++x) {
            if (Rgb(referencia, x, y) == 0xFFFFFFu) {
                EXPECT_EQ(Rgb(barra, x, y), 0x000080u);
            }
            if (Rgb(referencia, x, y) == 0x000080u) {
                ++tintaPlena;
                EXPECT_EQ(Rgb(barra, x, y), 0xFFFFFFu);
            }
        }
    EXPECT_GT(tintaPlena, 0);
}

// Centred whole when it fits; a longer text keeps its start and loses its end to "…",
// and the whole of it is in the tooltip and the accessible description.
TEST_F(VentanaBarra, LaLeyendaVaCentradaYLaQueNoCabeSeAcortaPorElFinal) {
    const std::string motivo(120, 'n');
    const std::string largo = "Error en la descarga: " + motivo + " uno";
    for (const std::string& texto : {std::string("Descarga completada"), largo}) {
        SCOPED_TRACE(texto);
        const QImage im = Dibujar(0, texto);
        EXPECT_EQ(Leyenda(*f_), texto);
        EXPECT_EQ(f_->Picture1.toolTip().toStdString(), texto == largo ? texto : "");
        const QRect tinta = Tinta(im);
        ASSERT_FALSE(tinta.isNull());
        EXPECT_TRUE(im.rect().adjusted(1, 1, -1, -1).contains(tinta));  // nothing cut
        EXPECT_LE(std::abs(tinta.left() - (im.width() - 1 - tinta.right())), 3 * im.devicePixelRatio());
    }
    const QImage acortado = Dibujar(0, largo);
    EXPECT_EQ(Dibujar(0, "Error en la descarga: " + motivo + " dos"), acortado);
    EXPECT_NE(Dibujar(0, "Fallo en la descarga: " + motivo + " uno"), acortado);

    // 0 is written as nothing, not as "0".
    EXPECT_NE(Dibujar(0, "%"), Dibujar(0, "0%"));
    Dibujar(7, "%");
    EXPECT_EQ(Leyenda(*f_), "7%");
    Dibujar(-3, "%");
    EXPECT_EQ(Leyenda(*f_), "-3%");
}

// The image has the screen's device pixels and the text is drawn at that resolution (the
// strip's cases run again at scale factor 2 as VentanaBarra.EscalaDos).
TEST_F(VentanaBarra, LaFranjaSeDibujaEnLosPixelesDelDispositivo) {
    const double escala = f_->Picture1.devicePixelRatioF();
    const QImage im = Dibujar(0, "Existe una actualización");
    const QSize cliente = f_->Picture1.size() - QSize(2, 2) * formularios::PictureBox::Borde;
    EXPECT_EQ(im.size(), cliente * escala);
    EXPECT_EQ(im.devicePixelRatio(), escala);
    if (escala < 2) GTEST_SKIP() << "scale factor 1; VentanaBarra.EscalaDos runs this at 2";
    // A drawing made at 1x and doubled has every aligned 2x2 block in one colour.
    int bloquesMixtos = 0;
    for (int y = 0; y + 1 < im.height(); y += 2)
        for (int x = 0; x + 1 < im.width(); x += 2) {
            const QRgb c = Rgb(im, x, y);
            if (Rgb(im, x + 1, y) != c || Rgb(im, x, y + 1) != c || Rgb(im, x + 1, y + 1) != c)
                ++bloquesMixtos;
        }
    EXPECT_GT(bloquesMixtos, 20);
}

TEST_F(VentanaBarra, RedibujarLoMismoNoCuestaNadaPeroUnCambioAjenoObligaARedibujar) {
    const QImage primera = Dibujar(45, "%");
    const uint64_t g = f_->Picture1.Generacion();
    Dibujar(45, "%");
    EXPECT_EQ(f_->Picture1.Generacion(), g);  // nothing was redrawn

    // Someone else cleared the strip: the same call must draw again.
    f_->Picture1.Cls();
    EXPECT_EQ(Dibujar(45, "%"), primera);
    // Someone moved the pen or changed the mode: drawn again, same pixels.
    f_->Picture1.DrawMode(formularios::vbCopyPen);
    EXPECT_EQ(Dibujar(45, "%"), primera);
    EXPECT_EQ(f_->Picture1.DrawMode(), formularios::vbNotXorPen);
    // Another caption at the same percentage is another picture.
    EXPECT_NE(Dibujar(45, "% "), primera);

    // Another surface is drawn even with the same arguments.
    formularios::PictureBox otra(f_.get());
    otra.setGeometry(f_->Picture1.geometry());
    otra.ForeColor(f_->Picture1.ForeColor());
    otra.BackColor(f_->Picture1.BackColor());
    f_->BarraProgreso(otra, 45, "%");
    EXPECT_EQ(otra.Image(), primera);
}

TEST_F(VentanaBarra, ElManejadorDeProgresoRedondeaAlParMasCercano) {
    int32_t porSegundo = 1234;
    bool cancelar = false;
    struct Caso {
        double porcentaje;
        const char* leyenda;
    } casos[] = {{2.5, "2%"}, {3.5, "4%"}, {44.5, "44%"}, {45.5, "46%"}, {99.6, "100%"}, {0.4, "%"}};
    for (const Caso& c : casos) {
        Progreso(1000, 10, c.porcentaje, porSegundo, cancelar);
        EXPECT_EQ(Leyenda(*f_), c.leyenda) << c.porcentaje;
    }
    EXPECT_FALSE(cancelar);
    EXPECT_EQ(porSegundo, 1234);

    // A body longer than a zero Content-Length: an infinite percentage is held at the limit.
    Progreso(0, 10, std::numeric_limits<double>::infinity(), porSegundo, cancelar);
    EXPECT_EQ(Leyenda(*f_), std::to_string(std::numeric_limits<int32_t>::max()) + "%");
    Progreso(0, 10, std::nan(""), porSegundo, cancelar);
    EXPECT_EQ(Leyenda(*f_), "%");
}

TEST_F(VentanaBarra, SinTamanoOCanceladoNoDibuja) {
    int32_t porSegundo = 0;
    bool cancelar = false;
    f_->BarraProgreso(f_->Picture1, 0, "Descarga cancelada");
    const uint64_t g = f_->Picture1.Generacion();

    Progreso(-1, 512, 0, porSegundo, cancelar);
    EXPECT_FALSE(cancelar);
    EXPECT_EQ(f_->Picture1.Generacion(), g);

    f_->Cancelado = true;
    Progreso(1000, 512, 51.2, porSegundo, cancelar);
    EXPECT_TRUE(cancelar);
    EXPECT_EQ(f_->Picture1.Generacion(), g);
    EXPECT_EQ(Leyenda(*f_), "Descarga cancelada");

    // The handler never takes a cancel back.
    f_->Cancelado = false;
    Progreso(1000, 600, 60, porSegundo, cancelar);
    EXPECT_TRUE(cancelar);
    EXPECT_EQ(Leyenda(*f_), "60%");
}

// Progress is announced once it is 10 % past the last percentage said and 5 s after the
// last announcement, the end excepted (the outcome follows); a reconnect says its
// percentage too. The window's clock is the test's.
TEST_F(VentanaBarra, ElAvanceSeAnunciaPorDecenasYNuncaDosVecesEnCincoSegundos) {
    using namespace std::chrono_literals;
    struct Caso {
        const char* nombre;
        std::chrono::milliseconds porPunto;  // clock time per percent
        std::vector<std::string> anuncios;
    } casos[] = {
        {"slow: by tens", 1000ms, {"10%", "20%", "30%", "40%", "50%", "60%", "70%", "80%", "90%"}},
        {"fast: every 5 s", 200ms, {"25%", "50%", "75%"}},
        {"faster than 5 s in all", 40ms, {}},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        std::chrono::steady_clock::time_point t{};
        Form1Prueba::Reloj(*f_, [&] { return t; });
        Form1Prueba::Limpiar(*f_);  // as a click on Descargar does
        ventana::OyenteAccesible oyente(f_->Picture1);
        Form1Prueba::Fase(*f_, sesion::Fase::Descargando);
        int32_t porSegundo = 0;
        bool cancelar = false;
        for (int p = 0; p <= 100; ++p) {
            Progreso(1000, p * 10, p, porSegundo, cancelar);
            t += c.porPunto;
        }
        Form1Prueba::FinDeTransferencia(*f_);
        std::vector<std::string> esperados{Form1::kDescargando};
        esperados.insert(esperados.end(), c.anuncios.begin(), c.anuncios.end());
        EXPECT_EQ(oyente.Anuncios(), esperados);
        // Only the end of the transfer tells of the strip's name.
        EXPECT_EQ(oyente.Eventos.back(), ventana::Nombre("100%"));
        EXPECT_EQ(std::count_if(oyente.Eventos.begin(), oyente.Eventos.end(),
                                [](const auto& e) { return !e.anuncio; }), 1);
    }

    // A reconnect, said at once; the next progress 10 % past its percentage, 5 s later.
    std::chrono::steady_clock::time_point t{};
    Form1Prueba::Reloj(*f_, [&] { return t; });
    ventana::OyenteAccesible oyente(f_->Picture1);
    Form1Prueba::Fase(*f_, sesion::Fase::Descargando);
    int32_t porSegundo = 0;
    bool cancelar = false;
    t += 6s;
    Progreso(1000, 120, 12, porSegundo, cancelar);
    t += 1s;
    Form1Prueba::Estado(*f_, 15, "% Reconectando...");
    for (int p : {16, 24, 25}) {
        t += 3s;
        Progreso(1000, p * 10, p, porSegundo, cancelar);
    }
    EXPECT_EQ(oyente.Anuncios(), (std::vector<std::string>{Form1::kDescargando, "12%",
                                                           "15% Reconectando...", "25%"}));
}

// A cleared strip reads as empty, not as what it last said; before anything was drawn it
// reads as its own name.
TEST_F(VentanaBarra, UnaFranjaBorradaNoTieneNombre) {
    QAccessibleInterface* franja = QAccessible::queryAccessibleInterface(&f_->Picture1);
    EXPECT_EQ(franja->text(QAccessible::Name), "Estado");
    ventana::OyenteAccesible oyente(f_->Picture1);
    Form1Prueba::Estado(*f_, 0, "Existe una actualización");
    EXPECT_EQ(franja->text(QAccessible::Name), "Existe una actualización");
    Form1Prueba::Limpiar(*f_);
    EXPECT_EQ(franja->text(QAccessible::Name), "");
    EXPECT_EQ(franja->textInterface()->characterCount(), 0);
    EXPECT_EQ(oyente.Eventos, (std::vector<ventana::OyenteAccesible::Evento>{
                                  ventana::Nombre("Existe una actualización"),
                                  ventana::Anuncio("Existe una actualización"),
                                  ventana::Nombre("")}));
}

}  // namespace
