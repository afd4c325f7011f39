// Download, signature check, cancel, install, and closing the window during a download,
// with the real component against the scripted server.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>

#include <QElapsedTimer>

#include <chrono>
#include <csignal>
#include <ctime>
#include <optional>
#include <utility>

#include "aplicacion.h"
#include "instalacion.h"

#include "ventana_comun.h"

namespace {

using namespace ventana;
using namespace std::chrono_literals;

bool MuestraPorcentaje(const Form1& f) {
    const std::string l = Leyenda(f);
    return !l.empty() && l.back() == '%';
}

class VentanaDescarga : public VentanaPrueba {
protected:
    // The window as the check leaves it when an update exists.
    Form1& Preparar() {
        Form1& f = CrearSinComprobar();
        f.btnDescargar.setEnabled(true);
        f.show();
        return f;
    }
    // A click; on Descargar, returns once the flow it started has ended.
    void Pulsar(QPushButton& boton) {
        QTest::mouseClick(&boton, Qt::LeftButton);
        if (form_ && &boton == &form_->btnDescargar) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return !Form1Prueba::EnFlujo(*form_); }, 30000));
        }
    }

    // A body that keeps arriving for about a second, so there is time to act in between.
    void ServirDespacio() {
        servidor_.Responder([](const prueba::Peticion&) { return Archivo(Contenido(64 * 1024), 64, 15ms); });
    }
    // A body that stops after two one-block pieces (the second raises a progress event),
    // its connection left open and silent: the next read can only wait.
    void ServirDetenido() {
        servidor_.Responder([](const prueba::Peticion&) {
            prueba::Respuesta r = Archivo(Contenido(64 * 512), 64, 30ms);
            r.Cuerpo.resize(2);
            r.Fin = prueba::Final::Colgar;
            return r;
        });
    }
    // The last flow's network wait was given up, not timed out.
    static bool EsperaAbandonada(const Form1& f) {
        return Form1Prueba::Ultimo(f).Causa == std::errc::operation_canceled;
    }

    // Serves `archivo` and, at the statement's address, `firma` (nothing: 404). A server
    // that `sigue` announces 100 MB and goes silent after `archivo`.
    void ServirFirmado(const std::string& archivo, const std::optional<std::string>& firma,
                       bool sigue = false) {
        servidor_.Responder([=](const prueba::Peticion& p) {
            // A release published without an index: the whole archive is fetched.
            if (p.Destino == std::string(URLActualizacion) + ".indice")
                return prueba::Respuesta::Simple("404 Not Found", "no");
            if (p.Destino != std::string(URLActualizacion) + ".sig") {
                prueba::Respuesta r = Archivo(archivo, 2, 5ms);
                if (sigue) {
                    const std::string longitud = "Content-Length: " + std::to_string(archivo.size());
                    r.Cabecera.replace(r.Cabecera.find(longitud), longitud.size(), "Content-Length: 100000000");
                    r.Fin = prueba::Final::Colgar;
                }
                return r;
            }
            return firma ? prueba::Respuesta::Simple("200 OK", *firma)
                         : prueba::Respuesta::Simple("404 Not Found", "no hay");
        });
    }
    // A maker's key made with openssl: its public key, and its statement of `archivo`.
    std::pair<std::string, std::string> ClaveYFirma(const std::string& nombre, const std::string& archivo,
                                                    const std::string& publicado = "2011-11-06T08:49:37Z",
                                                    const std::string& caduca = "2099-01-01T00:00:00Z") {
        Escribir(fabricante_.En("Morvane.zip"), archivo);
        if (!fabricante_.Hay(nombre)) prueba::ClaveOpenssl(fabricante_.En(nombre));
        const std::string publica = prueba::Ejecutar("openssl pkey -in " + prueba::Citar(fabricante_.En(nombre)) +
                                                     " -pubout -outform DER | tail -c 32 | base64 -w0").Texto;
        return {publica, prueba::DeclaracionOpenssl(fabricante_.En(nombre), fabricante_.En("Morvane.zip"),
                                                    publicado, caduca)};
    }
    prueba::DirectorioTemporal fabricante_{"fabricante "};

    // What every stopped download must leave: the old archive, no temporary file, nothing
    // unpacked, no pointer, no component.
    void ComprobarIntacto(const Form1& f, const std::string& anterior) {
        EXPECT_EQ(Leer(En("Morvane.zip")), anterior);
        EXPECT_TRUE(Temporales().empty());
        EXPECT_FALSE(Hay("kelunzip-llamada"));
        EXPECT_FALSE(f.Down);
        EXPECT_FALSE(f.btnCancelar.isEnabled());
        EXPECT_FALSE(RelojDeArenaPuesto());
    }
};

TEST_F(VentanaDescarga, CompletaConLaBarraLuegoDescomprimeBorraElArchivoYFechaElProducto) {
    const std::string cuerpo = Contenido(8192);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, 8, 20ms); });
    InstalarKelunzip(0);
    Form1& f = Preparar();

    Vigia espia;
    bool visto = false, cancelarDurante = false, descargarDurante = true, relojDurante = false;
    espia.AlCeder = [&] {
        if (!visto && MuestraPorcentaje(f)) {
            visto = true;
            cancelarDurante = f.btnCancelar.isEnabled();
            descargarDurante = f.btnDescargar.isEnabled();
            relojDurante = RelojDeArenaPuesto();
        }
    };
    bool instalandoDeshabilitados = false, relojInstalando = false;
    AlOcurrir instalando([&] { return Leyenda(f) == "Descarga completada"; }, [&] {
        instalandoDeshabilitados = !f.btnCancelar.isEnabled() && !f.btnDescargar.isEnabled();
        relojInstalando = RelojDeArenaPuesto();
    });

    // Started by a parent that ignores SIGCHLD: the program puts it back first, or the
    // unzip tool's exit could not be read.
    std::signal(SIGCHLD, SIG_IGN);
    PrepararProceso();
    const time_t antes = std::time(nullptr);
    Pulsar(f.btnDescargar);

    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_TRUE(visto);
    EXPECT_TRUE(cancelarDurante);
    EXPECT_FALSE(descargarDurante);
    EXPECT_TRUE(relojDurante);
    EXPECT_TRUE(instalando.Hecho());
    EXPECT_TRUE(instalandoDeshabilitados);
    EXPECT_TRUE(relojInstalando);

    EXPECT_EQ(Leer(En("desempaquetado")), cuerpo);
    EXPECT_EQ(Leer(En("kelunzip-llamada")), Preparacion() + "|-d -o Morvane.zip");
    EXPECT_FALSE(Hay(".Morvane-instalacion"));
    EXPECT_EQ(Leer(En("kelunzip-archivo")), "presente\n");
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_GE(FechaDe(En("Morvane.exe")), antes - 1);  // the tool's old date was replaced
    EXPECT_TRUE(Temporales().empty());
    EXPECT_FALSE(f.btnDescargar.isEnabled());
    EXPECT_FALSE(f.btnCancelar.isEnabled());
    EXPECT_FALSE(RelojDeArenaPuesto());
    EXPECT_FALSE(f.Down);
    ASSERT_FALSE(servidor_.Peticiones().empty());
    EXPECT_EQ(servidor_.Peticiones().back().Destino, URLActualizacion);

    // At 100 % the whole strip is the inverse of the caption "100%".
    f.BarraProgreso(f.Picture1, 100, "%");
    const QImage alCien = f.Picture1.Image().copy();
    f.BarraProgreso(f.Picture1, 0, "100%");
    const QImage& texto = f.Picture1.Image();
    int distintos = 0;
    for (int y = 0; y < texto.height(); ++y)
        for (int x = 0; x < texto.width(); ++x)
            if (Rgb(alCien, x, y) != Invertida(0x000080u, Rgb(texto, x, y))) ++distintos;
    EXPECT_EQ(distintos, 0);
}

// A screen reader's view of the whole way, from the check to the installed update: the
// window is a frame with the caption as name, the strip a status element named by what it
// shows, the buttons keep their names. Every text is announced as it comes, the start of
// the download too; the strip's name changes are signalled, except while the body comes
// (blocks every few milliseconds), when nothing is, and once at its end. The download is
// shorter than the 5 s between two announcements of progress, so none is made.
TEST_F(VentanaDescarga, UnLectorDePantallaOyeCadaTextoYNadaMasMientrasLlegaElCuerpo) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo(Contenido(8192), 16, 5ms); });
    InstalarKelunzip(0);
    Form1& f = Crear();
    OyenteAccesible oyente(f.Picture1);
    f.show();
    ASSERT_TRUE(EsperarComprobacion());
    bool conBarra = false;
    AlOcurrir barra([&] { return MuestraPorcentaje(f); }, [&] { conBarra = true; });
    {
        CapturaStderr errores;
        Pulsar(f.btnDescargar);
        errores.EsperarLinea("descarga", "200 OK, 8192 bytes");
    }
    EXPECT_TRUE(conBarra);

    QAccessibleInterface* ventana = QAccessible::queryAccessibleInterface(&f);
    ASSERT_TRUE(ventana);
    EXPECT_EQ(ventana->role(), QAccessible::Window);
    EXPECT_EQ(ventana->text(QAccessible::Name), "Update Morvane");
    QAccessibleInterface* franja = QAccessible::queryAccessibleInterface(&f.Picture1);
    EXPECT_EQ(franja->role(), QAccessible::StatusBar);
    EXPECT_EQ(franja->text(QAccessible::Name), "Morvane actualizado");
    EXPECT_EQ(franja->text(QAccessible::Description), "");
    ASSERT_TRUE(franja->textInterface());
    EXPECT_EQ(franja->textInterface()->text(0, franja->textInterface()->characterCount()),
              "Morvane actualizado");
    ASSERT_TRUE(franja->valueInterface());
    EXPECT_FALSE(franja->valueInterface()->currentValue().isValid());
    for (QPushButton* b : {&f.btnDescargar, &f.btnCancelar}) {
        QAccessibleInterface* boton = QAccessible::queryAccessibleInterface(b);
        EXPECT_EQ(boton->role(), QAccessible::Button);
        EXPECT_EQ(boton->text(QAccessible::Name), b->accessibleName());
        EXPECT_TRUE(boton->state().disabled);
    }

    EXPECT_EQ(oyente.Eventos,
              (std::vector<OyenteAccesible::Evento>{
                  Nombre(""),  // cleared for the check
                  Nombre("Buscando actualización..."), Anuncio("Buscando actualización..."),
                  Nombre("Existe una actualización"), Anuncio("Existe una actualización"),
                  Anuncio(Form1::kDescargando),
                  Nombre("100%"),  // the body is in
                  Nombre("Descarga completada"), Anuncio("Descarga completada"),
                  Nombre("Morvane actualizado"), Anuncio("Morvane actualizado")}));
    EXPECT_EQ(oyente.Otros, 0);

    // A reader reads an announcement's text when it gets to it, after the next ones maybe,
    // and Orca drops an event when a later one from the same object is waiting: each
    // announcement has a notification of its own, which still holds its text at the end.
    const std::vector<std::string> anuncios = oyente.Anuncios();
    ASSERT_EQ(oyente.Avisos.size(), anuncios.size());
    for (size_t i = 0; i < anuncios.size(); ++i) {
        for (size_t j = 0; j < i; ++j) EXPECT_NE(oyente.Avisos[i], oyente.Avisos[j]) << i << " " << j;
        QAccessibleInterface* aviso = QAccessible::queryAccessibleInterface(oyente.Avisos[i]);
        EXPECT_EQ(aviso->child(0)->text(QAccessible::Name).toStdString(), anuncios[i]);
    }
}

// The focus follows the tab order Descargar, Cancelar, strip, and shows. The window opens
// holding it; the check that offers Descargar gives it there; pressed from the keyboard,
// Descargar hands it to Cancelar for the download (not to the strip, the next control
// enabled at the instant Descargar is disabled), and Cancelar, disabled at the end, to the
// strip. A control the user chose before the verdict keeps it.
TEST_F(VentanaDescarga, ElFocoSigueElOrdenDeTabulacionYSeVe) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo(Contenido(16 * 1024), 16, 5ms); });
    InstalarKelunzip(0);
    Form1& f = CrearSinComprobar();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    EXPECT_EQ(QApplication::focusWidget(), &f);
    const QImage sinFoco = f.Picture1.grab().toImage();

    Form1Prueba::Tick(f);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form1Prueba::EnFlujo(f); }, 10000));
    ASSERT_EQ(Leyenda(f), "Existe una actualización");
    EXPECT_EQ(QApplication::focusWidget(), &f.btnDescargar);

    QWidget* enDescarga = nullptr;
    QImage cancelarConFoco, cancelarSinFoco;
    AlOcurrir barra([&] { return MuestraPorcentaje(f); }, [&] {
        enDescarga = QApplication::focusWidget();
        cancelarConFoco = f.btnCancelar.grab().toImage();
        f.Picture1.setFocus();
        cancelarSinFoco = f.btnCancelar.grab().toImage();
        f.btnCancelar.setFocus();
    });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form1Prueba::EnFlujo(f); }, 10000));
    ASSERT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_EQ(enDescarga, &f.btnCancelar);
    EXPECT_EQ(QApplication::focusWidget(), &f.Picture1);
    // Marked: the strip's border, and the focused button is drawn otherwise.
    const QImage conFoco = f.Picture1.grab().toImage();
    const QColor marca = f.Picture1.palette().color(QPalette::Highlight);
    EXPECT_EQ(conFoco.pixelColor(0, conFoco.height() / 2), marca);
    EXPECT_NE(sinFoco.pixelColor(0, sinFoco.height() / 2), marca);
    EXPECT_NE(cancelarConFoco, cancelarSinFoco);

    // Tab before the verdict: the strip, the only control enabled then, keeps the focus.
    Form1& g = CrearSinComprobar();
    g.show();
    g.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&g));
    QTest::keyClick(&g, Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), &g.Picture1);
    prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
    Form1Prueba::Tick(g);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form1Prueba::EnFlujo(g); }, 10000));
    ASSERT_EQ(Leyenda(g), "Existe una actualización");
    EXPECT_TRUE(g.btnDescargar.isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), &g.Picture1);
}

// Cancelled while blocks flow, and while the body has stalled (the wait is given up).
TEST_F(VentanaDescarga, CancelarDejaElArchivoAnteriorYSePuedeVolverAEmpezar) {
    Escribir(En("Morvane.zip"), "archivo anterior");
    InstalarKelunzip(0);
    Form1& f = Preparar();

    Vigia espia;
    for (const bool detenido : {false, true}) {
        SCOPED_TRACE(detenido ? "stalled body" : "slow body");
        detenido ? ServirDetenido() : ServirDespacio();
        bool dibujadoTrasCancelar = false, descargarAntesDeTerminar = false;
        espia.AlCeder = [&] {
            if (!f.Cancelado || !Form1Prueba::EnFlujo(f)) return;
            if (Leyenda(f) != "Descarga cancelada") dibujadoTrasCancelar = true;
            if (f.btnDescargar.isEnabled()) descargarAntesDeTerminar = true;
        };
        AlOcurrir cancelar([&] { return MuestraPorcentaje(f) && f.btnCancelar.isEnabled(); },
                           [&] { Pulsar(f.btnCancelar); });
        Pulsar(f.btnDescargar);

        ASSERT_TRUE(cancelar.Hecho());
        EXPECT_TRUE(!detenido || EsperaAbandonada(f));
        EXPECT_TRUE(f.Cancelado);
        EXPECT_EQ(Leyenda(f), "Descarga cancelada");
        EXPECT_FALSE(dibujadoTrasCancelar);
        // "Descargar" comes back only once the stopped download has returned.
        EXPECT_FALSE(descargarAntesDeTerminar);
        EXPECT_TRUE(f.btnDescargar.isEnabled());
        ComprobarIntacto(f, "archivo anterior");
    }

    // Cancelled during the wait before asking again for a body that broke off: at once,
    // with no further request.
    espia.AlCeder = nullptr;
    servidor_.Responder([](const prueba::Peticion&) {
        prueba::Respuesta r = Archivo(Contenido(4096), 4, 10ms);
        r.Cuerpo.resize(2);
        return r;
    });
    const size_t pedidas = servidor_.Peticiones().size();
    AlOcurrir enEspera([&] { return Leyenda(f).find("Reconectando") != std::string::npos; },
                       [&] { Pulsar(f.btnCancelar); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(enEspera.Hecho());
    EXPECT_EQ(servidor_.Peticiones().size(), pedidas + 1);
    EXPECT_EQ(Leyenda(f), "Descarga cancelada");
    ComprobarIntacto(f, "archivo anterior");

    // Again, from the start, with the flag reset: this time it completes.
    const std::string nuevo = Contenido(2048, 'k');
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(nuevo, 4, 10ms); });
    bool limpioAlEmpezar = false;
    espia.AlCeder = [&] {
        if (MuestraPorcentaje(f)) limpioAlEmpezar = !f.Cancelado;
    };
    Pulsar(f.btnDescargar);
    EXPECT_TRUE(limpioAlEmpezar);
    EXPECT_FALSE(f.Cancelado);
    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_EQ(Leer(En("desempaquetado")), nuevo);
    EXPECT_FALSE(Hay("Morvane.zip"));
}

TEST_F(VentanaDescarga, UnSegundoClicEnColaNoAbreOtraDescarga) {
    const std::string cuerpo = Contenido(1024);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, 2, 10ms); });
    InstalarKelunzip(0);
    Form1& f = Preparar();
    // A double click: the second one is already queued when the first starts the flow.
    QMetaObject::invokeMethod(&f.btnDescargar, "click", Qt::QueuedConnection);
    Pulsar(f.btnDescargar);
    QTest::qWait(50);
    EXPECT_EQ(servidor_.Peticiones().size(), 1u);
    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_EQ(Leer(En("desempaquetado")), cuerpo);
}

TEST_F(VentanaDescarga, UnaDescargaFallidaLoDiceYNoInstalaNada) {
    Escribir(En("Morvane.zip"), "anterior");
    InstalarKelunzip(0);
    struct Caso {
        const char* nombre;
        std::function<prueba::Respuesta(const prueba::Peticion&)> guion;
        const char* texto;
        const char* registro;  // status and bytes in the log line
        int reconexiones;      // each announced with the percentage reached
    };
    const std::vector<Caso> casos = {
        {"404", [](const prueba::Peticion&) { return prueba::Respuesta::Simple("404 Not Found", "no hay"); },
         "Error en la descarga: Not Found", "404 Not Found, 0 bytes", 0},
        {"cortada", [](const prueba::Peticion&) {
             prueba::Respuesta r = Archivo(Contenido(4096), 4, 20ms);
             r.Cuerpo.resize(2);  // half the announced length, then the connection closes
             return r;
         },
         "Error en la descarga: Ha ocurrido un error durante la descarga.",
         "999 Ha ocurrido un error durante la descarga. (Transfer closed with 2048 bytes "
         "remaining to read), 2048 bytes", 5},
        // The same text as the last time is news all the same.
        {"cortada otra vez", [](const prueba::Peticion&) {
             prueba::Respuesta r = Archivo(Contenido(4096), 4, 20ms);
             r.Cuerpo.resize(2);
             return r;
         },
         "Error en la descarga: Ha ocurrido un error durante la descarga.",
         "999 Ha ocurrido un error durante la descarga. (Transfer closed with 2048 bytes "
         "remaining to read), 2048 bytes", 5},
    };
    entorno_.Red.EsperaEntreIntentos = std::chrono::milliseconds(1);
    Form1& f = Preparar();
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        servidor_.Responder(c.guion);
        CapturaStderr errores;
        OyenteAccesible oyente(f.Picture1);
        Pulsar(f.btnDescargar);
        errores.EsperarLinea("descarga", c.registro);
        EXPECT_EQ(Leyenda(f), c.texto);
        std::vector<std::string> anuncios{Form1::kDescargando};
        anuncios.insert(anuncios.end(), c.reconexiones, "50% Reconectando...");
        anuncios.push_back(c.texto);
        EXPECT_EQ(oyente.Anuncios(), anuncios);
        EXPECT_FALSE(f.Cancelado);
        EXPECT_TRUE(f.btnDescargar.isEnabled());
        ComprobarIntacto(f, "anterior");
    }
}

// With a key the statement comes first, and only an archive it describes is unpacked:
// one that differs, or runs longer, never takes the archive's name (the old one stays);
// a statement that is not valid, is stale, or is of no newer release stops before the
// archive is asked for. Without a key no statement is asked for.
TEST_F(VentanaDescarga, ConClaveSoloSeDescomprimeUnArchivoConFirmaValida) {
    InstalarKelunzip(0);
    const std::string cuerpo = Contenido(5000);
    const auto [publica, buena] = ClaveYFirma("clave.pem", cuerpo);
    const std::string deOtra = ClaveYFirma("otra.pem", cuerpo).second;
    const std::string anterior = ClaveYFirma("clave.pem", cuerpo, "2000-06-01T10:00:00Z").second;
    const std::string caducada = ClaveYFirma("clave.pem", cuerpo, "2019-01-01T00:00:00Z", "2020-01-01T00:00:00Z").second;
    const std::string kNoValida = "La actualización no tiene una firma válida";
    struct Caso {
        const char* nombre;
        std::string clave, archivo;
        std::optional<std::string> firma;
        std::string leyenda;  // "": installed
        bool pideArchivo = true;
        bool descargar = true;  // offered again
        bool sigue = false;
    };
    const std::vector<Caso> casos = {
        {"válida", publica, cuerpo, buena, ""},
        {"archivo alterado", publica, cuerpo.substr(0, 4999) + "!", buena, kNoValida},
        {"archivo corto", publica, cuerpo.substr(0, 4999), buena, kNoValida},
        // One byte beyond of the 100 MB announced, then silence: only the limit ends it
        // without waiting for the stall time-out, which would say "Error en la descarga".
        {"archivo más largo", publica, cuerpo + "!", buena, kNoValida, true, true, true},
        {"de otra clave", publica, cuerpo, deOtra, kNoValida, false},
        {"sin firma", publica, cuerpo, std::nullopt, kNoValida, false},
        {"truncada", publica, cuerpo, buena.substr(0, 40), kNoValida, false},
        {"basura", publica, cuerpo, "<html>no es una firma</html>", kNoValida, false},
        {"anterior a la instalada", publica, cuerpo, anterior, "No existen actualizaciones", false, false},
        {"caducada", publica, cuerpo, caducada, "La información de actualizaciones ha caducado", false, false},
        {"sin clave", "", cuerpo, std::nullopt, ""},
    };
    Form1& f = Preparar();
    const std::string url = URLActualizacion;
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        const bool instala = c.leyenda.empty();
        entorno_.Clave = c.clave;
        Form1Prueba::CambiarEntorno(f, entorno_);
        fs::remove(En("kelunzip-llamada"));
        fs::remove(En("desempaquetado"));
        Escribir(En("Morvane.zip"), "anterior");
        FijarFecha(En("Morvane.exe"), HoraLocal(2001, 1, 1));  // an install set it to now
        fs::remove(En(".Morvane-publicacion"));                // and recorded its release
        ServirFirmado(c.archivo, c.firma, c.sigue);
        const size_t antes = servidor_.Peticiones().size();
        f.btnDescargar.setEnabled(true);  // as the check leaves it
        // Whatever else happens, only the installed archive ever takes the name.
        const int vigia = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(vigia, dir_.Ruta().c_str(), IN_MOVED_TO | IN_CREATE), 0);
        Pulsar(f.btnDescargar);
        bool nombrado = false;
        alignas(inotify_event) char eventos[8192];
        for (ssize_t n; (n = ::read(vigia, eventos, sizeof eventos)) > 0;)
            for (char* p = eventos; p < eventos + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                nombrado = nombrado || std::string(reinterpret_cast<inotify_event*>(p)->name) == "Morvane.zip";
        ::close(vigia);

        std::vector<std::string> pedidas;
        for (size_t i = antes; i < servidor_.Peticiones().size(); ++i)
            pedidas.push_back(servidor_.Peticiones()[i].Destino);
        std::vector<std::string> esperadas;
        if (!c.clave.empty()) esperadas.push_back(url + ".sig");
        if (!c.clave.empty() && c.pideArchivo) esperadas.push_back(url + ".indice");
        if (c.pideArchivo) esperadas.push_back(url);
        EXPECT_EQ(pedidas, esperadas);
        EXPECT_EQ(Leyenda(f), instala ? "Morvane actualizado" : c.leyenda);
        EXPECT_EQ(nombrado, instala);
        EXPECT_EQ(Leer(En("desempaquetado")), instala ? c.archivo : "");
        EXPECT_EQ(Hay("kelunzip-llamada"), instala);
        EXPECT_EQ(Leer(En("Morvane.zip")), instala ? "" : "anterior");
        EXPECT_TRUE(Temporales().empty());
        EXPECT_EQ(f.btnDescargar.isEnabled(), !instala && c.descargar);
        EXPECT_FALSE(f.btnCancelar.isEnabled());
        EXPECT_FALSE(RelojDeArenaPuesto());
    }
    fs::remove(En("Morvane.zip"));

    // The statement's step counts as part of the download: Cancelar and a close stop it,
    // before the fetch or while it waits; a fetch given up is a cancel, not a bad statement.
    entorno_.Clave = publica;
    Form1Prueba::CambiarEntorno(f, entorno_);
    ServirFirmado(cuerpo, buena);
    fs::remove(En("kelunzip-llamada"));
    f.btnDescargar.setEnabled(true);
    const auto comprobando = [&] {
        return Leyenda(f) == "Comprobando la firma de la actualización..." && f.btnCancelar.isEnabled();
    };

    AlOcurrir cancelar(comprobando, [&] { Pulsar(f.btnCancelar); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(cancelar.Hecho());
    EXPECT_EQ(Leyenda(f), "Descarga cancelada");
    EXPECT_TRUE(f.btnDescargar.isEnabled());
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_FALSE(Hay("kelunzip-llamada"));
    EXPECT_FALSE(f.btnCancelar.isEnabled());
    EXPECT_FALSE(RelojDeArenaPuesto());

    servidor_.Responder([](const prueba::Peticion&) {
        return prueba::Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n",
                                        {{0ms, "morvane-update"}}, prueba::Final::Colgar);
    });
    const size_t pedidas = servidor_.Peticiones().size();
    AlOcurrir aMitad([&] { return servidor_.Peticiones().size() > pedidas; },
                     [&] { Pulsar(f.btnCancelar); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(aMitad.Hecho());
    EXPECT_EQ(Leyenda(f), "Descarga cancelada");
    EXPECT_TRUE(f.btnDescargar.isEnabled());
    EXPECT_EQ(servidor_.Peticiones().size(), pedidas + 1);
    ServirFirmado(cuerpo, buena);

    AlOcurrir cerrar(comprobando, [&] { f.close(); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(cerrar.Hecho());
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_FALSE(Hay("kelunzip-llamada"));
    EXPECT_EQ(ProductoIniciado(), En("Morvane.exe") + "\n");
}

// The tool fails, or there is none: the product is as it was, the archive and the staging
// directory are gone (a partial unpack never shows), and the update is offered again.
TEST_F(VentanaDescarga, SiLaHerramientaFallaOFaltaNadaCambiaYSePuedeReintentar) {
    const std::string cuerpo = Contenido(1024);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, 2, 10ms); });
    const std::string producto = Leer(En("Morvane.exe"));
    const time_t fecha = FechaDe(En("Morvane.exe"));
    Form1& f = Preparar();

    for (const bool falta : {false, true}) {
        SCOPED_TRACE(falta ? "no tool" : "tool fails");
        if (falta) fs::remove(En("Kelunzip"));
        else InstalarKelunzip(1);
        Pulsar(f.btnDescargar);
        EXPECT_EQ(Leyenda(f), "Error al instalar la actualización");
        EXPECT_FALSE(Hay("Morvane.zip"));
        EXPECT_FALSE(Hay(".Morvane-instalacion"));
        EXPECT_FALSE(Hay("kelunzip-llamada"));
        EXPECT_EQ(Leer(En("Morvane.exe")), producto);
        EXPECT_EQ(FechaDe(En("Morvane.exe")), fecha);  // not made to look updated
        EXPECT_TRUE(f.btnDescargar.isEnabled());
        EXPECT_FALSE(f.btnCancelar.isEnabled());
        EXPECT_FALSE(RelojDeArenaPuesto());
    }
}

TEST_F(VentanaDescarga, ElArchivoSeBorraSoloCuandoLaHerramientaHaTerminado) {
    const std::string cuerpo = Contenido(1024);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, 2, 10ms); });
    InstalarKelunzip(0, 2);
    Form1& f = Preparar();
    // The window keeps handling events while it waits for the tool.
    int atendidos = 0;
    QTimer latido;
    QObject::connect(&latido, &QTimer::timeout, [&] {
        if (Leyenda(f) == "Descarga completada") ++atendidos;
    });
    latido.start(50);
    Pulsar(f.btnDescargar);
    latido.stop();
    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_EQ(Leer(En("kelunzip-archivo")), "presente\n");
    EXPECT_EQ(Leer(En("desempaquetado")), cuerpo);
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_GT(atendidos, 5);
}

double SegundosDeCpu() {
    struct rusage uso {};
    ::getrusage(RUSAGE_SELF, &uso);
    return uso.ru_utime.tv_sec + uso.ru_stime.tv_sec +
           (uso.ru_utime.tv_usec + uso.ru_stime.tv_usec) / 1e6;
}

// While the unzip tool runs, the program waits on it without spinning: the window is
// served and the process uses little CPU.
TEST_F(VentanaDescarga, MientrasLaHerramientaTrabajaNoSeConsumeCpu) {
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(Contenido(1024), 2, 10ms); });
    InstalarKelunzip(0, 1);
    Form1& f = Preparar();
    double cpuAntes = -1, pared = 0;
    QElapsedTimer reloj;
    AlOcurrir empieza([&] { return Leyenda(f) == "Descarga completada"; }, [&] {
        cpuAntes = SegundosDeCpu();
        reloj.start();
    });
    int latidos = 0;
    QTimer latido;
    QObject::connect(&latido, &QTimer::timeout, [&] { ++latidos; });
    latido.start(20);
    Pulsar(f.btnDescargar);
    latido.stop();
    ASSERT_TRUE(empieza.Hecho());
    const double cpu = SegundosDeCpu() - cpuAntes;
    pared = reloj.elapsed() / 1000.0;
    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_GE(latidos, 10);
    // Sleeping, not spinning: a busy loop would use about as much CPU as wall time.
    EXPECT_LT(cpu, 0.5 * pared);
}

TEST_F(VentanaDescarga, CerrarDuranteLaDescargaLaCancelaYArrancaElProducto) {
    Escribir(En("Morvane.zip"), "anterior");
    ServirDespacio();
    InstalarKelunzip(0);
    Form1& f = Preparar();
    AlOcurrir cerrar([&] { return MuestraPorcentaje(f); }, [&] { f.close(); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(cerrar.Hecho());
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.Cancelado);
    EXPECT_FALSE(Form1Prueba::EnFlujo(f));
    EXPECT_EQ(ProductoIniciado(), En("Morvane.exe") + "\n");
    ComprobarIntacto(f, "anterior");
}

TEST_F(VentanaDescarga, CerrarDuranteLaInstalacionArrancaElProductoCuandoLaHerramientaHaTerminado) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo(Contenido(1024), 2, 10ms); });
    InstalarKelunzip(0, 1);
    // The product notes whether the unzip tool had finished when it was started.
    Escribir(En("Morvane.exe"),
             "#!/bin/sh\nd=$(dirname \"$0\")\n"
             "if [ -f \"$d/kelunzip-archivo\" ]; then echo tras; else echo durante; fi >> \"$d/producto-iniciado\"\n",
             true);
    Form1& f = Preparar();
    AlOcurrir cerrar([&] { return Leyenda(f) == "Descarga completada"; }, [&] { f.close(); });
    Pulsar(f.btnDescargar);
    ASSERT_TRUE(cerrar.Hecho());
    EXPECT_EQ(Leyenda(f), "Morvane actualizado");
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_EQ(ProductoIniciado(), "tras\n");

    // Closed, then a termination signal before the tool ends: the start is dropped.
    fs::remove(En("producto-iniciado"));
    Form1& g = Preparar();
    AlOcurrir senal([&] { return Leyenda(g) == "Descarga completada"; },
                    [&] { g.close(); g.TerminarPorSenal(); });
    Pulsar(g.btnDescargar);
    ASSERT_TRUE(senal.Hecho());
    QTest::qWait(300);  // a start would have written at once
    EXPECT_FALSE(Hay("producto-iniciado"));
}

// Closed between blocks, while the body has stalled, or while the check waits for an
// answer: the flow unwinds, the product starts holding no descriptor of the updater, and
// the program ends.
TEST_F(VentanaDescarga, ElProgramaTerminaCuandoSeCierraDuranteLaDescargaOLaComprobacion) {
    Escribir(En("Morvane.exe"),
             prueba::GuionQueListaDescriptores("printf '%s\\n' \"$0\" >> \"$d/producto-iniciado\"\n"),
             true);
    Escribir(En("Kelunzip"), "#!/bin/sh\nexit 1\n", true);  // never reached: a download starts only where it could be installed
    for (const std::string caso : {"slow body", "stalled body", "silent check"}) {
        SCOPED_TRACE(caso);
        Escribir(En("Morvane.zip"), "anterior");
        fs::remove(En("producto-iniciado"));
        const bool comprobacion = caso == "silent check";
        if (caso == "slow body") {
            ServirDespacio();
        } else if (caso == "stalled body") {
            ServirDetenido();
        } else {
            servidor_.Responder([](const prueba::Peticion&) {
                prueba::Respuesta r;
                r.Fin = prueba::Final::Colgar;
                return r;
            });
        }
        Form1& f = comprobacion ? Crear() : Preparar();
        f.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
        if (!comprobacion) QTimer::singleShot(0, &f, [&] { Pulsar(f.btnDescargar); });
        AlOcurrir cerrar([&] { return comprobacion ? f.Down != nullptr : MuestraPorcentaje(f); },
                         [&] { f.close(); });
        QTimer guardian;  // only so that a hang fails instead of blocking the suite
        guardian.setSingleShot(true);
        QObject::connect(&guardian, &QTimer::timeout, [] { QCoreApplication::exit(3); });
        guardian.start(30000);

        const int resultado = QApplication::exec();
        guardian.stop();
        EXPECT_EQ(resultado, 0);
        EXPECT_TRUE(cerrar.Hecho());
        EXPECT_FALSE(Form1Prueba::EnFlujo(f));
        EXPECT_TRUE(caso == "slow body" || EsperaAbandonada(f));
        EXPECT_EQ(ProductoIniciado(), En("Morvane.exe") + "\n");
        EXPECT_EQ(prueba::DescriptoresHeredados(En("descriptores")), std::vector<std::string>{});
        ComprobarIntacto(f, "anterior");
        form_.reset();
    }
}

// The updater as its own process (this program's `--hijo` mode), signalled or killed at a
// chosen status, then a normal download in the same directory.
struct Interrupcion {
    const char* Caso;
    int Senal;
    char Cuando;      // the status at which it arrives: '%' the bar, 'D' "Descarga completada"...
    bool ConNombre;   // temporary files named from the start
    bool Actualizacion = true;
};

class VentanaInterrumpida : public VentanaDescarga,
                            public ::testing::WithParamInterface<Interrupcion> {
protected:
    // Starts the child and waits until it draws status `Cuando`; nothing (and a failure)
    // when it does not. A child that then ignores its signal hangs the suite's time limit.
    std::optional<pid_t> IniciarHasta(const Interrupcion& c) {
        int tubo[2];
        if (::pipe(tubo) != 0) return std::nullopt;
        std::vector<std::string> args = {"/proc/self/exe", "--hijo", std::to_string(tubo[1]),
                                         dir_.Ruta()};
        if (c.ConNombre) args.push_back("--con-nombre");
        const auto pid = prueba::Iniciar(args);
        ::close(tubo[1]);
        std::string visto;
        char byte = 0;
        pollfd p{tubo[0], POLLIN, 0};
        while (pid && visto.find(c.Cuando) == std::string::npos && ::poll(&p, 1, 20000) > 0 &&
               ::read(tubo[0], &byte, 1) == 1)
            visto += byte;
        ::close(tubo[0]);
        if (!pid || visto.find(c.Cuando) != std::string::npos) return pid;
        ADD_FAILURE() << "statuses seen: " << visto;
        ::kill(*pid, SIGKILL);
        prueba::Esperar(*pid);
        return std::nullopt;
    }
};

TEST_P(VentanaInterrumpida, NoDejaTemporalesNiArrancaElProducto) {
    const Interrupcion c = GetParam();
    const std::string nuevo = Contenido(256 * 1024, 'k');
    servidor_.Responder([&](const prueba::Peticion&) {
        return Archivo(nuevo, 64, 15ms,
                       c.Actualizacion ? "Sun, 06 Nov 2011 08:49:37 GMT" : "Sun, 06 Nov 1994 08:49:37 GMT");
    });
    InstalarKelunzip(0, 1);
    Escribir(En("Morvane.zip"), "anterior");

    const auto pid = IniciarHasta(c);
    ASSERT_TRUE(pid);
    ASSERT_EQ(::kill(*pid, c.Senal), 0);
    const int estado = prueba::Esperar(*pid);
    // Caught signals end the process by that same signal, once it has wound up.
    EXPECT_TRUE(WIFSIGNALED(estado) && WTERMSIG(estado) == c.Senal) << estado;

    if (c.Cuando == 'D') {
        // The signal stopped the unpack: nothing of it was placed, the archive and the
        // staging directory are gone.
        EXPECT_FALSE(Hay("kelunzip-archivo"));
        EXPECT_FALSE(Hay("Morvane.zip"));
        EXPECT_FALSE(Hay(".Morvane-instalacion"));
        Escribir(En("Morvane.zip"), "anterior");
    } else {
        EXPECT_EQ(Leer(En("Morvane.zip")), "anterior");
        EXPECT_FALSE(Hay("kelunzip-llamada"));
    }
    // Only a killed writer of a named file leaves it, for the next download to sweep.
    EXPECT_EQ(Temporales().size(), c.Senal == SIGKILL && c.ConNombre ? 1u : 0u);

    zkDownload d;
    d.Opciones.Carpeta = dir_.Ruta();
    d.URL(URLActualizacion);
    bool intacto = true;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
        intacto = intacto && Leer(En("Morvane.zip")) == "anterior";
    };
    const mode_t umask = ::umask(027);
    d.Descargar(1);
    ::umask(umask);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode() << " " << d.StatusText();
    EXPECT_TRUE(intacto);
    EXPECT_TRUE(Leer(En("Morvane.zip")) == nuevo);
    EXPECT_TRUE(Temporales().empty());
    struct stat st {};
    ASSERT_EQ(::stat(En("Morvane.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_FALSE(Hay("producto-iniciado"));
}

// Every start first deals with an interrupted install; while another updater is installing,
// a second one touches nothing, says so and ends cleanly before opening its window.
TEST_F(VentanaInterrumpida, AlArrancarSeRecuperaYUnSegundoActualizadorNoTocaNada) {
    servidor_.Responder([](const prueba::Peticion&) { return Archivo(Contenido(1024), 1); });
    fs::create_directory(En(".Morvane-instalacion"));
    fs::permissions(En(".Morvane-instalacion"), fs::perms::owner_all);
    Escribir(En(".Morvane-instalacion/a medias"), "x");
    Escribir(En("Morvane.zip"), "el archivo de la instalación interrumpida");

    const int cerrojo = ::open(En(instalacion::kCerrojo).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(cerrojo, 0);
    ASSERT_EQ(::flock(cerrojo, LOCK_EX), 0);
    int tubo[2];
    ASSERT_EQ(::pipe(tubo), 0);
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_addopen(&acciones, STDERR_FILENO, En("errores").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const auto pid = prueba::Iniciar({"/proc/self/exe", "--hijo", std::to_string(tubo[1]), dir_.Ruta()},
                                     &acciones);
    posix_spawn_file_actions_destroy(&acciones);
    ::close(tubo[1]);
    ASSERT_TRUE(pid);
    // No window, so no status: the pipe's end comes when the child has gone.
    char byte = 0;
    pollfd p{tubo[0], POLLIN, 0};
    const bool terminado = ::poll(&p, 1, 20000) > 0 && ::read(tubo[0], &byte, 1) == 0;
    ::close(tubo[0]);
    EXPECT_TRUE(terminado) << "status " << byte;
    if (!terminado) ::kill(*pid, SIGKILL);
    const int estado = prueba::Esperar(*pid);
    EXPECT_TRUE(WIFEXITED(estado) && WEXITSTATUS(estado) == 0) << estado;
    EXPECT_NE(Leer(En("errores")).find("La actualización ya se está instalando."), std::string::npos);
    EXPECT_TRUE(Hay(".Morvane-instalacion/a medias"));
    EXPECT_TRUE(Hay("Morvane.zip"));
    ::close(cerrojo);

    const auto otro = IniciarHasta({"Arranque", SIGKILL, 'E', false});  // the check's verdict
    ASSERT_TRUE(otro);
    EXPECT_FALSE(Hay(".Morvane-instalacion"));
    EXPECT_FALSE(Hay("Morvane.zip"));
    ::kill(*otro, SIGKILL);
    prueba::Esperar(*otro);
}

INSTANTIATE_TEST_SUITE_P(
    Senales, VentanaInterrumpida,
    ::testing::Values(Interrupcion{"SigkillDescargando", SIGKILL, '%', false},
                      Interrupcion{"SigkillDescargandoConNombre", SIGKILL, '%', true},
                      Interrupcion{"SigtermDescargando", SIGTERM, '%', false},
                      Interrupcion{"SighupDescargandoConNombre", SIGHUP, '%', true},
                      Interrupcion{"SigtermInstalando", SIGTERM, 'D', false},
                      Interrupcion{"SigintSinActualizacion", SIGINT, 'N', false, false}),
    [](const auto& info) { return std::string(info.param.Caso); });

}  // namespace
