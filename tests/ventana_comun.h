// Helpers shared by the window's tests (tests/ventana_*_test.cpp).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <QAccessible>
#include <QGuiApplication>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "Form1.h"
#include "comun_prueba.h"
#include "firma.h"
#include "internet.h"
#include "servidor_http.h"
#include "sistema.h"

// White-box access to the window's private routines and state.
class Form1Prueba {
public:
    static void Tick(Form1& f) { f.Timer1_Timer(); }
    static bool EnFlujo(const Form1& f) { return f.sesion_.EnFlujo(); }
    static bool Cerrada(const Form1& f) { return f.sesion_.Cerrada(); }
    static const sesion::Desenlace& Ultimo(const Form1& f) { return f.sesion_.Ultimo(); }
    static void CambiarEntorno(Form1& f, sesion::Entorno e) { f.sesion_.CambiarEntorno(std::move(e)); }
    // The session's calls into the window, one by one.
    static void Fase(Form1& f, sesion::Fase fase) { f.CambioDeFase(fase); }
    static void FinDeTransferencia(Form1& f) { f.FinDeTransferencia(); }
    static void Limpiar(Form1& f) { f.Limpiar(); }
    static void Estado(Form1& f, int32_t p, const std::string& dato) { f.Estado(p, dato); }
    static void Reloj(Form1& f, std::function<std::chrono::steady_clock::time_point()> reloj) {
        f.reloj_ = std::move(reloj);
    }
};

namespace ventana {

namespace fs = std::filesystem;
using prueba::Escribir;
using prueba::FechaDe;
using prueba::FijarFecha;
using prueba::HoraLocal;
using prueba::Leer;

// A pixel's colour without its alpha.
inline QRgb Rgb(const QImage& im, int x, int y) { return im.pixel(x, y) & 0xFFFFFFu; }

// What the strip's drawing mode (not pen xor screen) makes of `fondo` under the pen.
inline QRgb Invertida(QRgb pluma, QRgb fondo) { return ~(pluma ^ fondo) & 0xFFFFFFu; }

// The caption the window last drew in its status strip.
inline std::string Leyenda(const Form1& f) {
    return f.Picture1.Leyenda();
}

// Everything written to stderr during its life goes to a temporary file instead.
class CapturaStderr {
public:
    CapturaStderr() : fichero_(std::tmpfile()), original_(::dup(STDERR_FILENO)) {
        if (fichero_) ::dup2(::fileno(fichero_), STDERR_FILENO);
    }
    ~CapturaStderr() {
        ::dup2(original_, STDERR_FILENO);
        ::close(original_);
        if (fichero_) std::fclose(fichero_);
    }

    // Exactly one line was written besides those of new attempts and of an install: the
    // log line of `flujo` for the update URL, local time first, then `resto` (status,
    // bytes) and the seconds.
    // With a key the check's line is the statement's: `objeto` is the URL's suffix.
    void EsperarLinea(const std::string& flujo, const std::string& resto, const std::string& objeto = "") const {
        ASSERT_NE(fichero_, nullptr);
        const std::string t = std::regex_replace(
            Leer("/proc/self/fd/" + std::to_string(::fileno(fichero_))),
            std::regex(R"(\S+ \S+ (reintento \d+|instalación) .*\n)"), "");
        EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 1) << t;
        EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*, \d+\.\d\d s\n)"))) << t;
        EXPECT_NE(t.find(" " + flujo + " " + URLActualizacion + objeto + ": " + resto + ", "), std::string::npos) << t;
    }

    // The same, with `resto` a regular expression (a reason in the network's words holds
    // addresses and times).
    void EsperarLineaComo(const std::string& flujo, const std::string& resto) const {
        ASSERT_NE(fichero_, nullptr);
        const std::string t = Leer("/proc/self/fd/" + std::to_string(::fileno(fichero_)));
        EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 1) << t;
        EXPECT_TRUE(std::regex_search(t, std::regex(" " + flujo + " " + URLActualizacion + ": " +
                                                    resto + ", \\d+\\.\\d\\d s\n$"))) << t;
    }

private:
    std::FILE* fichero_;
    int original_;
};

inline bool RelojDeArenaPuesto() {
    return QGuiApplication::overrideCursor() != nullptr &&
           QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
}

// What assistive technology is told through the form runtime, for as long as this lives:
// the strip's name changes (with the name it then has) and the announcements (with their
// text), in order. Other events are counted apart.
class OyenteAccesible {
public:
    struct Evento {
        bool anuncio;       // else a name change of the strip
        std::string texto;  // what is announced, or the strip's name
        bool operator==(const Evento&) const = default;
    };
    explicit OyenteAccesible(formularios::PictureBox& franja) : franja_(franja) {
        franja_.OirEventosAccesibles([this](QAccessibleEvent* e) { Oir(e); });
    }
    ~OyenteAccesible() { franja_.OirEventosAccesibles(nullptr); }
    OyenteAccesible(const OyenteAccesible&) = delete;
    OyenteAccesible& operator=(const OyenteAccesible&) = delete;

    std::vector<Evento> Eventos;
    std::vector<QObject*> Avisos;  // the notification of each announcement
    int Otros = 0;
    std::vector<std::string> Anuncios() const {
        std::vector<std::string> a;
        for (const Evento& e : Eventos)
            if (e.anuncio) a.push_back(e.texto);
        return a;
    }

private:
    void Oir(QAccessibleEvent* e) {
        QAccessibleInterface* i = e->accessibleInterface();
        OyenteAccesible* const actual_ = this;
        if (!i) return;
        if (e->type() == QAccessible::ObjectShow && i->role() == QAccessible::Notification &&
            i->childCount() == 1) {
            actual_->Eventos.push_back({true, i->child(0)->text(QAccessible::Name).toStdString()});
            actual_->Avisos.push_back(i->object());
        }
        else if (e->type() == QAccessible::NameChanged && i->role() == QAccessible::StatusBar)
            actual_->Eventos.push_back({false, i->text(QAccessible::Name).toStdString()});
        else
            ++actual_->Otros;
    }
    formularios::PictureBox& franja_;
};

inline OyenteAccesible::Evento Anuncio(const std::string& t) { return {true, t}; }
inline OyenteAccesible::Evento Nombre(const std::string& t) { return {false, t}; }
inline void PrintTo(const OyenteAccesible::Evento& e, std::ostream* os) {
    *os << (e.anuncio ? "announce \"" : "name \"") << e.texto << '"';
}

// Runs `accion` once, from the event loop, the first time `condicion` holds. It is checked
// at every pass of event processing, nested ones (inside a download) included.
class AlOcurrir {
public:
    AlOcurrir(std::function<bool()> condicion, std::function<void()> accion)
        : condicion_(std::move(condicion)), accion_(std::move(accion)) {
        temporizador_.setInterval(0);
        QObject::connect(&temporizador_, &QTimer::timeout, [this] {
            if (hecho_ || !condicion_()) return;
            hecho_ = true;
            temporizador_.stop();
            accion_();
        });
        temporizador_.start();
    }
    bool Hecho() const { return hecho_; }

private:
    std::function<bool()> condicion_;
    std::function<void()> accion_;
    QTimer temporizador_;
    bool hecho_ = false;
};

// Runs `AlCeder` at every pass of the window's event loop while it lives: what the window
// shows between two of the session's reports.
class Vigia {
public:
    Vigia() {
        temporizador_.setInterval(0);
        QObject::connect(&temporizador_, &QTimer::timeout, [this] {
            if (AlCeder) AlCeder();
        });
        temporizador_.start();
    }
    std::function<void()> AlCeder;

private:
    QTimer temporizador_;
};

// An install directory (with blanks and an accent in its name) as the window's, a scripted
// server reached as the machine's proxy, and the window. Updates are unsigned whatever key
// the build has, unless a test sets one in entorno_.
class VentanaPrueba : public ::testing::Test {
protected:
    void SetUp() override {
        cwd_ = fs::current_path();
        ::setenv("http_proxy", ("http://" + servidor_.Direccion()).c_str(), 1);
        entorno_.Carpeta = dir_.Ruta();
        entorno_.URL = URLActualizacion;
        entorno_.EsperaConexion = entorno_.EsperaInactividad = std::chrono::seconds(3);
        // The installed product: a stand-in that records how it was started.
        Escribir(En("Morvane.exe"), "#!/bin/sh\nprintf '%s\\n' \"$0\" >> \"$(dirname \"$0\")/producto-iniciado\"\n", true);
        FijarFecha(En("Morvane.exe"), HoraLocal(2001, 1, 1));
    }

    void TearDown() override {
        form_.reset();
        fs::current_path(cwd_);
        ::unsetenv("http_proxy");
    }

    // Creates the window on entorno_; its timer is running, as at start-up.
    Form1& Crear() {
        form_ = std::make_unique<Form1>(entorno_);
        return *form_;
    }
    // The window without its start-up check, for the flows that follow it.
    Form1& CrearSinComprobar() {
        Crear();
        form_->Timer1.stop();
        return *form_;
    }

    // Waits until the start-up check has run and ended.
    bool EsperarComprobacion() {
        return QTest::qWaitFor(
            [&] {
                return !form_->Timer1.isActive() && !form_->Down && !Form1Prueba::EnFlujo(*form_) &&
                       !Leyenda(*form_).empty() && Leyenda(*form_) != "Buscando actualización...";
            },
            10000);
    }

    // The unzip tool stand-in, run in the staging directory two levels below the install
    // directory: records its directory and arguments, waits `pausa` seconds, records
    // whether the archive was still there, keeps a copy of it, unpacks the installed
    // product again with an old date as an unzip tool restoring stored dates would, and
    // exits with `estado`.
    void InstalarKelunzip(int estado, int pausa = 0) {
        std::string guion = "#!/bin/sh\n"
                            "printf '%s|%s' \"$(pwd)\" \"$*\" > kelunzip-llamada\n";
        if (pausa > 0) guion += "sleep " + std::to_string(pausa) + "\n";
        guion += "if [ -f Morvane.zip ]; then echo presente; else echo ausente; fi > kelunzip-archivo\n"
                 "cp Morvane.zip desempaquetado 2>/dev/null\n"
                 "cp ../../Morvane.exe Morvane.exe\n"
                 "touch -d '2000-01-01 12:00' Morvane.exe\n"
                 "exit " + std::to_string(estado) + "\n";
        Escribir(En("Kelunzip"), guion, true);
    }

    std::string En(const std::string& nombre) const { return dir_.En(nombre); }
    // Where the unzip tool runs.
    std::string Preparacion() const { return En(".Morvane-instalacion/nuevo"); }
    bool Hay(const std::string& nombre) const { return dir_.Hay(nombre); }
    std::vector<std::string> Temporales() const { return dir_.Temporales(); }

    // Waits for the product stand-in to have been started and returns its record.
    std::string ProductoIniciado() {
        if (!QTest::qWaitFor(
                [&] { return Leer(En("producto-iniciado")).find('\n') != std::string::npos; }, 5000))
            return "(not started)";
        return Leer(En("producto-iniciado"));
    }

    prueba::ServidorHttp servidor_;
    prueba::DirectorioTemporal dir_{"instalación con blancos "};
    sesion::Entorno entorno_;
    fs::path cwd_;
    std::unique_ptr<Form1> form_;
};

// A reply for the archive: 200, the given Last-Modified, a Content-Length, and the body
// in `trozos` pieces with `pausa` before each piece after the first.
inline prueba::Respuesta Archivo(const std::string& cuerpo, int trozos = 1,
                                 std::chrono::milliseconds pausa = std::chrono::milliseconds(0),
                                 const std::string& ultimaModificacion =
                                     "Sun, 06 Nov 2011 08:49:37 GMT") {
    prueba::Respuesta r;
    r.Cabecera = "HTTP/1.1 200 OK\r\nLast-Modified: " + ultimaModificacion +
                 "\r\nContent-Length: " + std::to_string(cuerpo.size()) + "\r\n\r\n";
    size_t tam = (cuerpo.size() + trozos - 1) / std::max(trozos, 1);
    for (size_t i = 0; i < cuerpo.size(); i += tam)
        r.Cuerpo.push_back({i == 0 ? std::chrono::milliseconds(0) : pausa, cuerpo.substr(i, tam)});
    return r;
}

inline std::string Contenido(size_t n, char semilla = 'a') {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(semilla + i % 23);
    return s;
}

}  // namespace ventana
