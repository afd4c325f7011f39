// The update session's flows as tables: a server script and an install directory in, the
// events a recording observer saw and the files left out. The session gets its
// environment by value; nothing process-wide is set but the proxy variable.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "declaracion.h"
#include "servidor_http.h"
#include "sesion.h"
#include "sesion_prueba.h"
#include "sistema.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using prueba::Escribir;
using prueba::Leer;

const std::string kNueva = "Sun, 06 Nov 2011 08:49:37 GMT";  // newer than the product
const std::string kVieja = "Sun, 06 Nov 1994 08:49:37 GMT";

prueba::Respuesta Archivo(const std::string& fecha, int trozos = 1,
                          std::chrono::milliseconds pausa = 0ms) {
    const std::string cuerpo(4000, 'z');
    prueba::Respuesta r;
    r.Cabecera = "HTTP/1.1 200 OK\r\nLast-Modified: " + fecha +
                 "\r\nContent-Length: " + std::to_string(cuerpo.size()) + "\r\n\r\n";
    const size_t tam = cuerpo.size() / trozos;
    for (size_t i = 0; i < cuerpo.size(); i += tam)
        r.Cuerpo.push_back({i == 0 ? 0ms : pausa, cuerpo.substr(i, tam)});
    return r;
}

// Writes down what the session asks of its front-end; a run of bar updates is one "%".
class Grabadora : public sesion::Observador {
public:
    std::vector<std::string> Eventos;
    int Relojes = 0;  // hourglasses put and not yet taken off
    std::function<void()> AlAvanzar;

    void Limpiar() override {}
    void Estado(int32_t p, const std::string& d) override {
        Apuntar(p == 0 ? d : std::to_string(p) + d);
    }
    void Avance(const sesion::Progreso&) override {
        if (Eventos.empty() || Eventos.back() != "%") Apuntar("%");
        if (AlAvanzar) AlAvanzar();
    }
    void HabilitarBotonDescargar(bool h) override { Apuntar(h ? "Descargar sí" : "Descargar no"); }
    void HabilitarCancelar(bool h) override { Apuntar(h ? "Cancelar sí" : "Cancelar no"); }
    void RelojDeArena(bool puesto) override { Relojes += puesto ? 1 : -1; }
    void CambioDeFase(sesion::Fase f) override {
        static const char* const nombres[] = {"[reposo]", "[comprobando]", "[descargando]",
                                              "[verificando]", "[instalando]"};
        Apuntar(nombres[static_cast<int>(f)]);
    }

private:
    void Apuntar(std::string e) { Eventos.push_back(std::move(e)); }
};

// Steps and reports held until the test lets them go: the events arrive in the order the
// test chooses, without threads.
class Manual : public sesion::Hilos {
public:
    void Lanzar(std::function<void()> paso) override { pasos.push_back(std::move(paso)); }
    void Entregar(std::function<void()> aviso) override { avisos.push_back(std::move(aviso)); }
    void Esperar() override {}
    // Runs the step launched first.
    void Paso() {
        ASSERT_FALSE(pasos.empty());
        auto p = std::move(pasos.front());
        pasos.pop_front();
        p();
    }
    // Delivers what the steps have reported.
    void Repartir() {
        while (!avisos.empty()) {
            auto a = std::move(avisos.front());
            avisos.pop_front();
            a();
        }
    }
    std::deque<std::function<void()>> pasos, avisos;
};

enum class Flujo { Comprobar, Actualizar };

struct Caso {
    const char* nombre;
    Flujo flujo;
    prueba::ServidorHttp::Guion guion;
    std::vector<std::string> eventos;
    sesion::Resultado resultado;
    std::string archivo;        // Morvane.zip afterwards: "" none, "viejo", "nuevo"
    bool desempaquetado = false;  // what the unzip tool wrote reached the directory
    int kelunzip = 0;           // the unzip tool's exit status
    std::string clave{};        // the session's key
    bool cancelar = false;      // Cancelar at the first progress event
    bool discoLleno = false;    // the archive's final sync finds the disk full
};

using R = sesion::Resultado;
// In pieces with a pause: a transfer faster than the clock raises no progress event.
const prueba::ServidorHttp::Guion kNuevaG = [](const prueba::Peticion&) {
    return Archivo(kNueva, 2, 20ms);
};

TEST(SesionFlujos, DeGuionAEventosYFicheros) {
    const std::vector<Caso> casos = {
        {"comprobar: nueva", Flujo::Comprobar, kNuevaG,
         {"[comprobando]", "Buscando actualización...", "Existe una actualización", "Descargar sí",
          "[reposo]"},
         R::HayActualizacion, "viejo"},
        {"comprobar: al día", Flujo::Comprobar,
         [](const prueba::Peticion&) { return Archivo(kVieja); },
         {"[comprobando]", "Buscando actualización...", "No existen actualizaciones", "[reposo]"},
         R::SinActualizacion, "viejo"},
        {"comprobar: 500", Flujo::Comprobar,
         [](const prueba::Peticion&) { return prueba::Respuesta::Simple("500 Mal", ""); },
         {"[comprobando]", "Buscando actualización...",
          "No se pudo comprobar si existen actualizaciones", "[reposo]"},
         R::ErrorComprobacion, "viejo"},
        {"actualizar", Flujo::Actualizar, kNuevaG,
         {"[descargando]", "Descargar no", "Cancelar sí", "%", "Cancelar no", "Descarga completada",
          "[instalando]", "Morvane actualizado", "[reposo]"},
         R::Actualizado, "", true},
        {"actualizar: 404", Flujo::Actualizar,
         [](const prueba::Peticion&) { return prueba::Respuesta::Simple("404 Not Found", ""); },
         {"[descargando]", "Descargar no", "Cancelar sí", "Cancelar no",
          "Error en la descarga: Not Found", "Descargar sí", "[reposo]"},
         R::ErrorDescarga, "viejo"},
        {"actualizar: la herramienta falla", Flujo::Actualizar, kNuevaG,
         {"[descargando]", "Descargar no", "Cancelar sí", "%", "Cancelar no", "Descarga completada",
          "[instalando]", "Error al instalar la actualización", "Descargar sí", "[reposo]"},
         R::ErrorInstalacion, "", false, 1},
        // The key is the session's own (the process has none): a statement that is not
        // valid stops the update before the archive is asked for; the old one stays.
        {"actualizar: firma mala", Flujo::Actualizar,
         [](const prueba::Peticion& p) {
             if (p.Destino == std::string(URLActualizacion) + ".sig")
                 return prueba::Respuesta::Simple("200 OK", std::string(88, 'A'));
             return Archivo(kNueva, 2, 20ms);
         },
         {"[verificando]", "Descargar no", "Cancelar sí",
          "Comprobando la firma de la actualización...", "Cancelar no",
          "La actualización no tiene una firma válida", "Descargar sí", "[reposo]"},
         R::FirmaNoValida, "viejo", false, 0, "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="},
        // A check whose statement is not valid cannot say the product is current.
        {"comprobar: firma mala", Flujo::Comprobar,
         [](const prueba::Peticion& p) {
             if (p.Destino == std::string(URLActualizacion) + ".sig")
                 return prueba::Respuesta::Simple("200 OK", std::string(88, 'A'));
             return Archivo(kNueva, 2, 20ms);
         },
         {"[comprobando]", "Buscando actualización...", "La actualización no tiene una firma válida",
          "[reposo]"},
         R::ErrorComprobacion, "viejo", false, 0, "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="},
        // A statement the network kept away says nothing of its signature: the check was
        // not made, and a download fails as it would without the archive.
        {"comprobar: la firma no llega", Flujo::Comprobar,
         [](const prueba::Peticion& p) {
             if (p.Destino == std::string(URLActualizacion) + ".sig")
                 return prueba::Respuesta::Cruda("");  // closed without a word
             return Archivo(kNueva, 2, 20ms);
         },
         {"[comprobando]", "Buscando actualización...",
          "No se pudo comprobar si existen actualizaciones", "[reposo]"},
         R::ErrorComprobacion, "viejo", false, 0, "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="},
        {"actualizar: la firma se corta", Flujo::Actualizar,
         [](const prueba::Peticion& p) {
             if (p.Destino == std::string(URLActualizacion) + ".sig")
                 return prueba::Respuesta::Simple("200 OK", "morvane-update firma 2\n",
                                                  {"Content-Length: 400"}, false);
             return Archivo(kNueva, 2, 20ms);
         },
         {"[verificando]", "Descargar no", "Cancelar sí",
          "Comprobando la firma de la actualización...", "Cancelar no",
          "Error en la descarga: Ha ocurrido un error durante la descarga.", "Descargar sí",
          "[reposo]"},
         R::ErrorDescarga, "viejo", false, 0, "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo="},
        {"actualizar: cancelada", Flujo::Actualizar,
         [](const prueba::Peticion&) { return Archivo(kNueva, 4, 30ms); },
         {"[descargando]", "Descargar no", "Cancelar sí", "%", "Descarga cancelada", "Cancelar no",
          "Descargar sí", "[reposo]"},
         R::Cancelado, "viejo", false, 0, "", true},
        // The disk's reason comes through to the outcome, not only the component's code.
        {"actualizar: disco lleno", Flujo::Actualizar, kNuevaG,
         {"[descargando]", "Descargar no", "Cancelar sí", "%", "Cancelar no",
          "Error en la descarga: No se ha podido crear el fichero de destino.", "Descargar sí", "[reposo]"},
         R::ErrorDescarga, "viejo", false, 0, "", false, true},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        prueba::ServidorHttp servidor(c.guion);
        ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
        prueba::DirectorioTemporal dir("sesión ");
        Escribir(dir.En("Morvane.exe"), "#!/bin/sh\necho x >> \"$(dirname \"$0\")/iniciado\"\n", true);
        prueba::FijarFecha(dir.En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
        Escribir(dir.En("Morvane.zip"), "viejo");
        Escribir(dir.En("Kelunzip"), "#!/bin/sh\ncp Morvane.zip desempaquetado\nexit " +
                                          std::to_string(c.kelunzip) + "\n", true);

        Grabadora g;
        prueba::EnLinea hilos;
        sesion::Entorno entorno{dir.Ruta(), URLActualizacion, c.clave, 3s, 3s};
        if (c.discoLleno)
            entorno.Disco = sistema::Disco([](sistema::OperacionDisco op, const std::string&) {
                return op == sistema::OperacionDisco::Sincronizar ? std::make_error_code(std::errc::no_space_on_device)
                                                                  : std::error_code();
            });
        sesion::Sesion s(std::move(entorno), g, hilos);
        if (c.cancelar) g.AlAvanzar = [&] { s.Cancelar(); };
        if (c.flujo == Flujo::Comprobar) s.BuscarActualizacion(); else s.Actualizar();
        ::unsetenv("http_proxy");

        EXPECT_EQ(g.Eventos, c.eventos);
        EXPECT_EQ(s.UltimoResultado(), c.resultado);
        if (c.discoLleno) {
            EXPECT_EQ(s.Ultimo().Causa, std::errc::no_space_on_device);
        }
        EXPECT_EQ(g.Relojes, 0);
        EXPECT_FALSE(s.EnFlujo());
        const std::string archivo = !dir.Hay("Morvane.zip") ? ""
                                    : Leer(dir.En("Morvane.zip")) == "viejo" ? "viejo" : "nuevo";
        EXPECT_EQ(archivo, c.archivo);
        EXPECT_EQ(dir.Hay("desempaquetado"), c.desempaquetado);
        EXPECT_TRUE(dir.Temporales().empty());
        EXPECT_FALSE(dir.Hay("iniciado"));  // only a front-end's close starts the product
    }
}

// Each phase takes only its own events: a second click or a late tick during a flow starts
// nothing, a Cancelar that arrives after the last block but before the download's report
// still counts (the complete archive is left as it is), and one during the install is not
// taken (the release goes in).
TEST(SesionFlujos, CadaFaseAtiendeSoloSusSucesos) {
    prueba::ServidorHttp servidor(kNuevaG);
    ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
    prueba::DirectorioTemporal dir("tabla ");
    Escribir(dir.En("Morvane.exe"), "x");
    Escribir(dir.En("Morvane.zip"), "viejo");
    Escribir(dir.En("Kelunzip"), "#!/bin/sh\ncp Morvane.zip desempaquetado\n", true);
    Grabadora g;
    Manual h;
    sesion::Sesion s({dir.Ruta(), URLActualizacion, "", 3s, 3s}, g, h);

    s.Actualizar();
    ASSERT_EQ(h.pasos.size(), 1u);  // whether it could be installed here
    s.Actualizar();
    s.BuscarActualizacion();
    EXPECT_EQ(h.pasos.size(), 1u);
    h.Paso();
    h.Repartir();
    ASSERT_EQ(h.pasos.size(), 1u);  // the download
    h.Paso();                       // the whole body is in; its reports wait
    s.Cancelar();
    h.Repartir();
    EXPECT_EQ(s.UltimoResultado(), R::Cancelado);
    EXPECT_EQ(Leer(dir.En("Morvane.zip")), std::string(4000, 'z'));
    EXPECT_FALSE(dir.Hay("desempaquetado"));
    EXPECT_TRUE(h.pasos.empty());
    EXPECT_EQ(g.Eventos, (std::vector<std::string>{"[descargando]", "Descargar no", "Cancelar sí",
                                                   "Descarga cancelada", "Cancelar no", "Descargar sí",
                                                   "[reposo]"}));

    g.Eventos.clear();
    s.Actualizar();
    for (int i = 0; i < 2; ++i) {
        h.Paso();
        h.Repartir();
    }
    ASSERT_EQ(s.FaseActual(), sesion::Fase::Instalando);
    s.Cancelar();
    h.Paso();
    h.Repartir();
    ::unsetenv("http_proxy");
    EXPECT_EQ(s.UltimoResultado(), R::Actualizado);
    EXPECT_TRUE(dir.Hay("desempaquetado"));
    EXPECT_EQ(g.Eventos, (std::vector<std::string>{"[descargando]", "Descargar no", "Cancelar sí", "%",
                                                   "Cancelar no", "Descarga completada", "[instalando]",
                                                   "Morvane actualizado", "[reposo]"}));
}

// Two sessions in one process, each on its own directory: the environment is the
// session's, and the process's application directory is as it was afterwards.
TEST(SesionFlujos, CadaSesionTrabajaEnSuCarpeta) {
    prueba::ServidorHttp servidor(kNuevaG);
    ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
    const std::string antes = sistema::App_Path();
    prueba::DirectorioTemporal a("a "), b("b ");
    Escribir(a.En("Morvane.exe"), "a");
    Escribir(b.En("Morvane.exe"), "b");
    prueba::FijarFecha(a.En("Morvane.exe"), prueba::HoraLocal(2020, 1, 1));  // current
    prueba::FijarFecha(b.En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));  // out of date
    Grabadora ga, gb;
    prueba::EnLinea hilos;
    sesion::Sesion sa({a.Ruta(), URLActualizacion, "", 3s, 3s}, ga, hilos);
    sesion::Sesion sb({b.Ruta(), URLActualizacion, "", 3s, 3s}, gb, hilos);
    sa.BuscarActualizacion();
    sb.BuscarActualizacion();
    ::unsetenv("http_proxy");
    EXPECT_EQ(sa.UltimoResultado(), R::SinActualizacion);
    EXPECT_EQ(sb.UltimoResultado(), R::HayActualizacion);
    EXPECT_EQ(sistema::App_Path(), antes);
}

// With a key, what is installed is the release whose statement was accepted, recorded with
// its files: a fix published later the same day is offered, and once installed it is
// never offered again, whatever the clocks say. Without a record the product's time is
// compared as an instant, in any time zone. Run here, and again under faketime with the
// clock a year behind and a year ahead.
void VeredictosFirmados() {
    prueba::DirectorioTemporal fabricante("fabricante ");
    const std::string cuerpo(4000, 'z');  // what Archivo serves
    Escribir(fabricante.En("Morvane.zip"), cuerpo);
    const std::string clave = prueba::ClaveOpenssl(fabricante.En("clave.pem"));
    const auto Declaracion = [&](const std::string& publicado) {
        return prueba::DeclaracionOpenssl(fabricante.En("clave.pem"), fabricante.En("Morvane.zip"), publicado);
    };
    std::string servida;
    prueba::ServidorHttp servidor([&](const prueba::Peticion& p) {
        if (p.Destino == std::string(URLActualizacion) + ".sig") return prueba::Respuesta::Simple("200 OK", servida);
        return Archivo(kNueva);
    });
    ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
    prueba::DirectorioTemporal dir("firmada ");
    Escribir(dir.En("Kelunzip"), "#!/bin/sh\ncp Morvane.zip desempaquetado\n", true);
    Grabadora g;
    prueba::EnLinea hilos;
    sesion::Sesion s({dir.Ruta(), URLActualizacion, clave, 3s, 3s}, g, hilos);
    const auto Comprobar = [&] {
        s.BuscarActualizacion();
        return s.UltimoResultado();
    };

    // No record yet: the product's modification time, as an instant, in two zones.
    const std::string zona = ::getenv("TZ") ? ::getenv("TZ") : "";
    Escribir(dir.En("Morvane.exe"), "1");
    prueba::FijarFecha(dir.En("Morvane.exe"), *firma::LeerInstante("2026-12-08T09:00:00Z"));
    for (const char* tz : {"Pacific/Honolulu", "Asia/Tokyo"}) {
        SCOPED_TRACE(tz);
        ::setenv("TZ", tz, 1);
        ::tzset();
        servida = Declaracion("2026-12-08T15:00:00Z");
        EXPECT_EQ(Comprobar(), R::HayActualizacion);
        servida = Declaracion("2026-12-08T08:59:59Z");
        EXPECT_EQ(Comprobar(), R::SinActualizacion);
    }
    if (zona.empty()) ::unsetenv("TZ"); else ::setenv("TZ", zona.c_str(), 1);
    ::tzset();

    // A record of 09:00Z: the fix of 15:00Z the same day is offered and installed...
    Escribir(dir.En(".Morvane-publicacion"), Declaracion("2026-12-08T09:00:00Z"));
    prueba::FijarFecha(dir.En("Morvane.exe"), *firma::LeerInstante("2026-12-09T00:00:00Z"));
    servida = Declaracion("2026-12-08T15:00:00Z");
    EXPECT_EQ(Comprobar(), R::HayActualizacion);
    s.Actualizar();
    EXPECT_EQ(s.UltimoResultado(), R::Actualizado);
    EXPECT_EQ(Leer(dir.En(".Morvane-publicacion")), servida);
    // ...and never again: not by the check, not by another update.
    EXPECT_EQ(Comprobar(), R::SinActualizacion);
    fs::remove(dir.En("desempaquetado"));
    s.Actualizar();
    EXPECT_EQ(s.UltimoResultado(), R::SinActualizacion);
    EXPECT_FALSE(dir.Hay("desempaquetado"));
    // A statement dated ahead of every clock is installed once, then is current.
    servida = Declaracion("2031-01-01T00:00:00Z");
    s.Actualizar();
    EXPECT_EQ(s.UltimoResultado(), R::Actualizado);
    EXPECT_EQ(Comprobar(), R::SinActualizacion);
    ::unsetenv("http_proxy");
}

TEST(SesionFlujos, ConClaveCadaPublicacionSeInstalaUnaVez) {
    VeredictosFirmados();
    if (const char* real = ::getenv("MORVANE_HORA_REAL")) {  // one of the runs below
        EXPECT_GT(std::llabs(static_cast<long long>(std::time(nullptr)) - std::atoll(real)), 300LL * 86400);
        return;
    }
    const char* libreria = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    ASSERT_EQ(::access(libreria, R_OK), 0) << "faketime is not installed";
    for (const char* desfase : {"-365d", "+365d"}) {
        SCOPED_TRACE(desfase);
        // NO_FAKE_STAT: the files keep their real times; only the clock is off. Under
        // AddressSanitizer its runtime then comes second, which it allows when told.
        const std::string orden = "MORVANE_HORA_REAL=" + std::to_string(std::time(nullptr)) + " LD_PRELOAD=" +
                                  libreria + " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\"" +
                                  " NO_FAKE_STAT=1 FAKETIME=" + desfase +
                                  " /proc/" + std::to_string(::getpid()) +
                                  "/exe --gtest_filter=SesionFlujos.ConClaveCadaPublicacionSeInstalaUnaVez 2>&1";
        const auto r = prueba::Ejecutar(orden);
        EXPECT_NE(r.Texto.find("[  PASSED  ] 1 test."), std::string::npos) << r.Texto;
    }
}

}  // namespace
