// Start-up, the update check, the keys, and closing the window around the check.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QTest>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "ventana_comun.h"

namespace {

using namespace ventana;
using namespace std::chrono_literals;

using VentanaInicio = VentanaPrueba;

// The next widget that the Tab key can reach (the chain also holds the window itself).
QWidget* SiguienteConTab(QWidget* w) {
    for (QWidget* s = w->nextInFocusChain(); s != w; s = s->nextInFocusChain())
        if (s->focusPolicy() & Qt::TabFocus) return s;
    return nullptr;
}

TEST_F(VentanaInicio, LaVentanaArrancaConSuDisposicionYLosBotonesDeshabilitados) {
    Form1& f = CrearSinComprobar();
    EXPECT_EQ(f.windowTitle(), "Update Morvane");
    EXPECT_EQ(f.size(), QSize(446, 61));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_EQ(f.pos(), QPoint(7, 7));
    EXPECT_EQ(f.Picture1.geometry(), QRect(7, 3, 433, 21));
    EXPECT_EQ(f.btnCancelar.geometry(), QRect(224, 27, 217, 29));
    EXPECT_EQ(f.btnDescargar.geometry(), QRect(8, 27, 209, 29));
    EXPECT_EQ(f.btnCancelar.text(), "&Cancelar");
    EXPECT_EQ(f.btnDescargar.text(), "Descargar");
    EXPECT_EQ(f.btnDescargar.toolTip(), "Descarga el contenido de la url indicada.");
    EXPECT_FALSE(f.btnCancelar.isEnabled());
    EXPECT_FALSE(f.btnDescargar.isEnabled());
    EXPECT_EQ(SiguienteConTab(&f.btnDescargar), &f.btnCancelar);
    EXPECT_EQ(SiguienteConTab(&f.btnCancelar), &f.Picture1);
    EXPECT_EQ(SiguienteConTab(&f.Picture1), &f.btnDescargar);
    EXPECT_FALSE(f.btnDescargar.accessibleName().isEmpty());
    EXPECT_FALSE(f.btnCancelar.accessibleName().isEmpty());
    EXPECT_FALSE(f.Picture1.accessibleName().isEmpty());
    EXPECT_FALSE(f.Down);
    EXPECT_FALSE(f.Cancelado);

    const QList<QSize> tamanos = f.windowIcon().availableSizes();
    EXPECT_TRUE(tamanos.contains(QSize(16, 16)));
    EXPECT_TRUE(tamanos.contains(QSize(32, 32)));
    EXPECT_TRUE(tamanos.contains(QSize(48, 48)));

    // The strip is empty: background only.
    const QImage& im = f.Picture1.Image();
    EXPECT_EQ(im.size(), QSize(431, 19));
    for (int y = 0; y < im.height(); ++y)
        for (int x = 0; x < im.width(); ++x)
            ASSERT_EQ(im.pixel(x, y), f.Picture1.BackColor().rgb()) << x << "," << y;
    EXPECT_DOUBLE_EQ(f.Picture1.ScaleHeight(), 285);
}

TEST_F(VentanaInicio, ElTemporizadorArrancaConLaVentanaYDisparaUnaSolaComprobacion) {
    servidor_.Responder([](const prueba::Peticion&) {
        std::this_thread::sleep_for(300ms);  // a slow server
        return Archivo("x");
    });
    Form1& f = Crear();
    EXPECT_TRUE(f.Timer1.isActive());
    EXPECT_EQ(f.Timer1.interval(), 100);

    // While the check runs the timer is already off.
    bool temporizadorActivo = true;
    AlOcurrir durante([&] { return Form1Prueba::EnFlujo(f); },
                      [&] { temporizadorActivo = f.Timer1.isActive(); });
    ventana::OyenteAccesible oyente(f.Picture1);
    f.show();
    ASSERT_TRUE(EsperarComprobacion());
    ASSERT_TRUE(durante.Hecho());
    EXPECT_FALSE(temporizadorActivo);
    const auto veredictos = [&] {
        const auto a = oyente.Anuncios();
        return std::count(a.begin(), a.end(), "Existe una actualización");
    };
    EXPECT_EQ(veredictos(), 1);
    // However long the window stays up, there is no second request.
    QTest::qWait(400);
    const auto peticiones = servidor_.Peticiones();
    ASSERT_EQ(peticiones.size(), 1u);
    EXPECT_EQ(peticiones[0].Destino, URLActualizacion);
    EXPECT_EQ(peticiones[0].Version, "HTTP/1.0");
    EXPECT_EQ(veredictos(), 1);
}

TEST_F(VentanaInicio, MientrasCompruebaMuestraBuscandoConElRelojDeArena) {
    servidor_.Responder([](const prueba::Peticion&) {
        std::this_thread::sleep_for(200ms);  // the window is looked at while it waits
        return Archivo("x");
    });
    Form1& f = Crear();
    std::string durante;
    bool relojDurante = false;
    bool cancelarHabilitado = true, descargarHabilitado = true;
    // Record what is on screen while the check waits for its answer.
    AlOcurrir mirar([&] { return Form1Prueba::EnFlujo(f); }, [&] {
        durante = Leyenda(f);
        relojDurante = RelojDeArenaPuesto();
        cancelarHabilitado = f.btnCancelar.isEnabled();
        descargarHabilitado = f.btnDescargar.isEnabled();
    });
    f.show();
    ASSERT_TRUE(EsperarComprobacion());
    ASSERT_TRUE(mirar.Hecho());
    EXPECT_EQ(durante, "Buscando actualización...");
    EXPECT_TRUE(relojDurante);
    EXPECT_FALSE(cancelarHabilitado);
    EXPECT_FALSE(descargarHabilitado);
    EXPECT_FALSE(RelojDeArenaPuesto());
}

// Every way the check can end: its text, Descargar enabled only for a newer archive, and
// nothing of the check left behind (component, pointer, a stale cancel flag).
TEST_F(VentanaInicio, CadaFinDeLaComprobacionDejaSuTextoYLosBotones) {
    uint16_t puertoCerrado = 0;
    {
        prueba::ServidorHttp efimero;
        puertoCerrado = efimero.Puerto();
    }
    const std::string kSinVeredicto = "No se pudo comprobar si existen actualizaciones";
    const auto archivo = [](const prueba::Peticion&) { return Archivo("x"); };
    // A build with a key decides from the statement (published, stale) and ignores the
    // header's date, here a newer one than any statement's.
    prueba::DirectorioTemporal fabricante("fabricante ");
    Escribir(fabricante.En("Morvane.zip"), "x");
    std::string publica = prueba::ClaveOpenssl(fabricante.En("clave.pem"));
    publica.erase(publica.find_last_not_of('\n') + 1);
    const auto firmado = [&](const std::string& publicado, const std::string& caduca) {
        const std::optional<std::string> declaracion =
            publicado.empty() ? std::nullopt
                              : std::optional(prueba::DeclaracionOpenssl(fabricante.En("clave.pem"),
                                                                         fabricante.En("Morvane.zip"),
                                                                         publicado, caduca));
        return [declaracion](const prueba::Peticion& p) {
            if (p.Destino != std::string(URLActualizacion) + ".sig")
                return Archivo("x", 1, 0ms, "Tue, 01 Dec 2026 08:49:37 GMT");
            return declaracion ? prueba::Respuesta::Simple("200 OK", *declaracion)
                               : prueba::Respuesta::Simple("404 Not Found", "no");
        };
    };
    const std::string kFuturo = "2099-01-01T00:00:00Z";
    struct Caso {
        const char* nombre;
        prueba::ServidorHttp::Guion guion;  // none: nothing listens where the proxy is
        time_t producto;                    // the installed product's date
        std::string leyenda;
        bool descargar;
        std::string registro;  // status in the log line
        bool firmada = false;  // built with a key
    };
    const std::vector<Caso> casos = {
        {"newer", archivo, HoraLocal(2001, 1, 1), "Existe una actualización", true, "200 OK"},
        {"same day", archivo, HoraLocal(2011, 11, 6), "No existen actualizaciones", false, "200 OK"},
        {"404", [](const prueba::Peticion&) { return prueba::Respuesta::Simple("404 Not\tFound", "no"); },
         HoraLocal(2001, 1, 1), kSinVeredicto, false, "404 Not?Found"},
        {"no Last-Modified", [](const prueba::Peticion&) { return prueba::Respuesta::Simple("200 OK", "x"); },
         HoraLocal(2001, 1, 1), kSinVeredicto, false, "200 OK"},
        {"unreadable date", [](const prueba::Peticion&) { return Archivo("x", 1, 0ms, "Sun, 6 Nov 2011 08:49:37 GMT"); },
         HoraLocal(2001, 1, 1), kSinVeredicto, false, "200 OK"},
        // The log line says why in the network's own words (here a regular expression).
        {"no connection", nullptr, HoraLocal(2001, 1, 1), kSinVeredicto, false,
         R"(005 Error en InternetSendRequest\. \(Failed to connect to 127\.0\.0\.1 port \d+ )"
         R"(after \d+ ms: Couldn't connect to server\))"},
        {"signed, newer", firmado("2011-11-06T08:49:37Z", kFuturo), HoraLocal(2001, 1, 1),
         "Existe una actualización", true, "200 Existe una actualización", true},
        // Instants, not days: published before the product was installed, in any zone.
        {"signed, before the product", firmado("2011-11-06T20:00:00Z", kFuturo), HoraLocal(2011, 11, 7),
         "No existen actualizaciones", false, "200 No existen actualizaciones", true},
        {"rollback: older statement, newer Last-Modified", firmado("2000-06-01T10:00:00Z", kFuturo),
         HoraLocal(2001, 1, 1), "No existen actualizaciones", false, "200 No existen actualizaciones", true},
        {"stale", firmado("2019-01-01T00:00:00Z", "2020-01-01T00:00:00Z"), HoraLocal(2001, 1, 1),
         "La información de actualizaciones ha caducado", false, "200 La información de actualizaciones ha caducado", true},
        {"no statement", firmado("", ""), HoraLocal(2001, 1, 1),
         "La actualización no tiene una firma válida", false, "404 La actualización no tiene una firma válida", true},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        FijarFecha(En("Morvane.exe"), c.producto);
        const std::string proxy = c.guion ? servidor_.Direccion()
                                          : "127.0.0.1:" + std::to_string(puertoCerrado);
        ::setenv("http_proxy", ("http://" + proxy).c_str(), 1);
        servidor_.Responder(c.guion);
        entorno_.Clave = c.firmada ? publica : "";
        const size_t antes = servidor_.Peticiones().size();
        CapturaStderr errores;
        Form1& f = Crear();
        f.Cancelado = true;  // left over from nothing: the check resets it
        ASSERT_TRUE(EsperarComprobacion());
        if (c.firmada)  // the statement's line: its status, the verdict, its bytes
            errores.EsperarLinea("comprobación", c.registro, ".sig");
        else if (c.guion)
            errores.EsperarLinea("comprobación", c.registro + ", 0 bytes");
        else
            errores.EsperarLineaComo("comprobación", c.registro + ", 0 bytes");
        EXPECT_EQ(Leyenda(f), c.leyenda);
        EXPECT_EQ(f.btnDescargar.isEnabled(), c.descargar);
        EXPECT_FALSE(f.btnCancelar.isEnabled());
        EXPECT_FALSE(f.Cancelado);
        EXPECT_FALSE(f.Down);
        EXPECT_FALSE(RelojDeArenaPuesto());
        // With a key the statement alone: the archive's head is not asked for.
        EXPECT_EQ(servidor_.Peticiones().size() - antes, c.guion ? 1u : 0u);
        form_.reset();
    }
}

TEST_F(VentanaInicio, AltCYEscapePulsanCancelarSoloSiEstaHabilitado) {
    FijarFecha(En("Morvane.exe"), HoraLocal(2030, 1, 1));
    servidor_.Responder([](const prueba::Peticion&) { return Archivo("x"); });
    Form1& f = Crear();
    f.show();
    QApplication::setActiveWindow(&f);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    ASSERT_TRUE(EsperarComprobacion());
    ASSERT_EQ(Leyenda(f), "No existen actualizaciones");

    // Disabled: the keys do nothing.
    QSignalSpy pulsado(&f.btnCancelar, &QPushButton::clicked);
    QTest::keyClick(&f, Qt::Key_C, Qt::AltModifier);
    QTest::keyClick(&f, Qt::Key_Escape);
    QTest::qWait(20);
    EXPECT_EQ(pulsado.count(), 0);
    EXPECT_FALSE(f.Cancelado);
    EXPECT_EQ(Leyenda(f), "No existen actualizaciones");

    // Enabled (idle, the session ignores the cancel): each key clicks it once.
    f.btnCancelar.setEnabled(true);
    QTest::keyClick(&f, Qt::Key_C, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pulsado.count() == 1; }, 2000));
    QTest::keyClick(&f, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pulsado.count() == 2; }, 2000));
}

// An install directory the user cannot write (installed for all users, run by one): the
// check says so at once and offers nothing, instead of a download that must fail. The
// check runs as such a user: as root, a child that drops to "nobody"; otherwise the
// directory is made read-only.
TEST_F(VentanaInicio, SinPermisoEnLaInstalacionLoDiceYNoOfreceDescargar) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo("x"); });
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(dir_.Ruta().c_str(), root ? 0755 : 0555), 0);
    const passwd* nadie = ::getpwnam("nobody");
    ASSERT_TRUE(!root || nadie);
    int tubo[2];
    ASSERT_EQ(::pipe(tubo), 0);
    // The child draws a window after fork: no other thread may hold an allocator's lock
    // then (the server's thread, just started, may still be setting itself up).
    prueba::EsperarHilosQuietos();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(nadie->pw_gid) != 0 ||
                     ::setuid(nadie->pw_uid) != 0))
            ::_exit(2);
        Form1& f = CrearSinComprobar();
        Form1Prueba::Tick(f);
        if (!QTest::qWaitFor([&] { return !Form1Prueba::EnFlujo(f); }, 10000)) ::_exit(3);
        const std::string visto = Leyenda(f) + (f.btnDescargar.isEnabled() ? "|habilitado" : "|no");
        (void)!::write(tubo[1], visto.data(), visto.size());
        ::_exit(0);
    }
    ::close(tubo[1]);
    std::string visto;
    char c;
    while (::read(tubo[0], &c, 1) == 1) visto += c;
    ::close(tubo[0]);
    const int estado = prueba::Esperar(pid);
    ::chmod(dir_.Ruta().c_str(), 0700);
    EXPECT_TRUE(WIFEXITED(estado) && WEXITSTATUS(estado) == 0) << estado;
    EXPECT_EQ(visto, "Existe una actualización, pero no tiene permiso para instalarla|no");
    EXPECT_EQ(servidor_.Peticiones().size(), 1u);  // the check, and no download
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_TRUE(Temporales().empty());
}

TEST_F(VentanaInicio, CerrarAntesDeLaComprobacionNoLaEmpiezaYArrancaElProducto) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo("x"); });
    Form1& f = Crear();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.close();
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(f.Timer1.isActive());
    EXPECT_EQ(ProductoIniciado(), En("Morvane.exe") + "\n");
    QTest::qWait(300);
    EXPECT_TRUE(servidor_.Peticiones().empty());
}

// A close while the check waits for its answer: the window goes at once, the check gives
// up without a verdict, and the product starts once it has.
TEST_F(VentanaInicio, CerrarDuranteLaComprobacionLaTerminaSinVeredicto) {
    servidor_.Responder([](const prueba::Peticion&) {
        std::this_thread::sleep_for(2s);  // longer than the test waits for the product
        return Archivo("x");
    });
    Form1& f = CrearSinComprobar();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    Form1Prueba::Tick(f);
    ASSERT_TRUE(Form1Prueba::EnFlujo(f));
    f.close();
    EXPECT_TRUE(Form1Prueba::Cerrada(f));
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(ProductoIniciado(), En("Morvane.exe") + "\n");
    EXPECT_FALSE(f.Down);
    EXPECT_FALSE(Form1Prueba::EnFlujo(f));
    EXPECT_FALSE(RelojDeArenaPuesto());
    EXPECT_EQ(Leyenda(f), "Buscando actualización...");
}

}  // namespace
