// The window's own costs, each measured in the same run against what it could be:
//  - a whole download through the window's path (progress handler, bar, event processing
//    after every block) against the curl command-line tool, both through the machine's
//    proxy, which here is a loopback server;
//  - the CPU the window burns during the install step's one-second wait;
//  - the time from starting the program to its verdict on screen;
//  - the reaction to Cancelar while the body has stalled: from the click's events being
//    posted to the strip showing "Descarga cancelada";
//  - the time from a close during a check the server never answers to the process's end.
//
//   bench_ventana [MiB] [runs]      (defaults: 256 MiB, 5 runs)
//
// Details go to stderr; the figure lines are the last lines on stdout. For the start-up
// and close figures the program runs itself as the child `bench_ventana --hijo <fd> <dir>`
// (or `--hijo-cierre`): the real updater with `dir` as its application directory, which
// writes a byte to `fd` when its verdict has been drawn (or, for the close, when it posts
// the window's close at the first moment the check waits on the network).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Form1.h"
#include "aplicacion.h"
#include "comun_prueba.h"
#include "entorno_prueba.h"
#include "internet.h"
#include "instalacion.h"
#include "medicion.h"
#include "servidor_http.h"
#include "cancelacion.h"
#include "sistema.h"

// Reaches the window's private parts, the way its flows reach them.
class Form1Prueba {
public:
    struct Descarga {
        bool HuboError = true;
        std::string Estado;
        uint64_t Eventos = 0;  // progress events the window handled
    };

    // The download half of the download button's flow: a component on a thread of its own,
    // its progress going to the window through the session's handler and the window's
    // queue, while the window's event loop runs.
    static Descarga Descargar(Form1& f, const std::string& carpeta) {
        Descarga d;
        zkDownload down;
        down.Opciones.Carpeta = carpeta;
        down.URL(URLActualizacion);
        down.Progreso = [&](int32_t total, int32_t recibidos, double porcentaje, int32_t transcurridos,
                            double restantes, int32_t& porSegundo, bool& cancelar) {
            ++d.Eventos;
            f.sesion_.Down_Progreso(total, recibidos, porcentaje, transcurridos, restantes, porSegundo,
                                    cancelar);
        };
        f.btnCancelar.setEnabled(true);
        QEventLoop bucle;
        std::thread hilo([&] {
            down.Descargar(1);
            QMetaObject::invokeMethod(&bucle, "quit", Qt::QueuedConnection);
        });
        bucle.exec();
        hilo.join();
        f.sesion_.EntregarAvance();  // what the step's report would deliver first
        d.HuboError = down.HuboError();
        d.Estado = down.StatusCode() + " " + down.StatusText();
        f.btnCancelar.setEnabled(false);
        return d;
    }

    // The install step as the session runs it: on a thread of its own, polling the unzip
    // tool every 20 ms, while the window's event loop runs.
    static bool Instalar(const std::string& carpeta) {
        instalacion::Entorno entorno;
        entorno.Carpeta = carpeta;
        sistema::Cancelacion nunca;
        std::error_code error;
        QEventLoop bucle;
        std::thread hilo([&] {
            error = instalacion::Instalar(entorno, [&] { return nunca.Dormir(20); });
            QMetaObject::invokeMethod(&bucle, "quit", Qt::QueuedConnection);
        });
        bucle.exec();
        hilo.join();
        return !error;
    }

    static bool EnFlujo(const Form1& f) { return f.sesion_.EnFlujo(); }
    static bool Abandonada(const Form1& f) {
        return f.sesion_.Ultimo().Causa == std::errc::operation_canceled;
    }
};

namespace {

namespace fs = std::filesystem;
using medicion::Mediana;
using medicion::Reloj;
using medicion::Segundos;

const std::string kHayActualizacion = "Existe una actualización";
const std::string kNoHayActualizacion = "No existen actualizaciones";

// A server that plays the machine's proxy: the absolute-form request for the update URL
// gets a 200 with `cuerpo` bytes of the pattern; anything else a 404.
prueba::ServidorHttp::Guion ArchivoDeActualizacion(uint64_t cuerpo, const std::string& fecha) {
    return [cuerpo, fecha](const prueba::Peticion& p) {
        if (p.Destino != URLActualizacion) return prueba::Respuesta::Simple("404 Not Found", "");
        return medicion::ArchivoGenerado(cuerpo, fecha);
    };
}

void UsarProxy(const prueba::ServidorHttp& servidor) {
    ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
}

std::string Leyenda(const Form1& f) { return f.Picture1.Leyenda(); }

// ---------------------------------------------------------------------------------------
// Whole-window download against curl

std::optional<double> DescargaVentana(Form1& f, const std::string& archivo, uint64_t n) {
    const auto t0 = Reloj::now();
    const Form1Prueba::Descarga d = Form1Prueba::Descargar(f, sistema::ObtenerCarpeta(archivo));
    const double t = Segundos(Reloj::now() - t0);
    const std::string leyenda = Leyenda(f);
    std::fprintf(stderr, "  ventana: %.3f s, %s, %llu eventos, barra \"%s\"\n", t,
                 d.Estado.c_str(), static_cast<unsigned long long>(d.Eventos), leyenda.c_str());
    return medicion::Comprobar("ventana", t, d.HuboError, leyenda == "100%", archivo, n);
}

std::string CifraDescarga(Form1& f, const std::string& dir, uint64_t mib, int rondas) {
    const uint64_t n = mib << 20;
    const std::string titulo = "ventana " + std::to_string(mib) + " MiB: ";
    prueba::ServidorHttp servidor(ArchivoDeActualizacion(n, "Tue, 01 Dec 2026 10:00:00 GMT"));
    UsarProxy(servidor);
    const std::string proxy = "http://" + servidor.Direccion();
    std::fprintf(stderr, "descarga de %llu MiB de %s a través de %s, %d rondas\n",
                 static_cast<unsigned long long>(mib), URLActualizacion, proxy.c_str(), rondas);

    const auto tiempos = medicion::Rondas(
        rondas, [&] { return DescargaVentana(f, dir + "/Morvane.zip", n); },
        [&] {
            return medicion::DescargaCurl({"-x", proxy, URLActualizacion}, dir + "/curl.out", n,
                                          "  curl:    ");
        });
    if (!tiempos) return titulo + "FALLO (ver los detalles arriba)";
    const double mv = Mediana(tiempos->Propio), mc = Mediana(tiempos->Curl);
    char linea[200];
    std::snprintf(linea, sizeof linea,
                  "ventana/curl = %.2f (ventana %.3f s, curl %.3f s, mediana de %d; "
                  "objetivo <= 1.3)",
                  mv / mc, mv, mc, rondas);
    return titulo + linea;
}

// ---------------------------------------------------------------------------------------
// CPU during the install wait

double CpuSegundos() {
    rusage uso{};
    ::getrusage(RUSAGE_SELF, &uso);
    auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return s(uso.ru_utime) + s(uso.ru_stime);
}

std::string CifraInstalacion(const std::string& dir, int rondas) {
    const std::string titulo = "espera de instalación: ";
    // An unzip tool that takes half a second and unpacks one small file: what is measured
    // is the window's wait for it, which must not spin.
    if (!prueba::Escribir(dir + "/Kelunzip", "#!/bin/sh\nsleep 0.5\necho 2.0 > version.txt\n",
                          true)) {
        std::fprintf(stderr, "no se pudo escribir Kelunzip\n");
        return titulo + "FALLO";
    }
    const fs::path cwd = fs::current_path();
    std::vector<double> porcentajes, tiempos;
    for (int i = 0; i < rondas; ++i) {
        const std::string archivo = dir + "/Morvane.zip";
        if (!prueba::Escribir(archivo, "PK\x05\x06" + std::string(18, '\0'), false)) {
            std::fprintf(stderr, "no se pudo escribir el archivo\n");
            return titulo + "FALLO";
        }
        const double cpu0 = CpuSegundos();
        const auto t0 = Reloj::now();
        const bool instalado = Form1Prueba::Instalar(dir);
        const double t = Segundos(Reloj::now() - t0);
        const double cpu = CpuSegundos() - cpu0;
        std::error_code ec;
        fs::current_path(cwd, ec);  // the install step works in the application directory
        const bool borrado = !sistema::Existe(archivo);
        std::fprintf(stderr, "  instalación: %.3f s, CPU %.4f s%s\n", t, cpu,
                     instalado && borrado ? "" : " (la instalación falló)");
        if (!instalado || !borrado) return titulo + "FALLO (ver los detalles arriba)";
        porcentajes.push_back(cpu / t * 100);
        tiempos.push_back(t);
    }
    sistema::Borrar(dir + "/Kelunzip");
    char linea[200];
    std::snprintf(linea, sizeof linea,
                  "CPU %.2f %% de un núcleo (%.3f s, mediana de %d; objetivo <= 5 %%)",
                  Mediana(porcentajes), Mediana(tiempos), rondas);
    return titulo + linea;
}

// `rondas` measurements by `medir`; nothing as soon as one of them fails.
template <class F>
std::optional<std::vector<double>> Repetir(int rondas, F medir) {
    std::vector<double> tiempos;
    for (int i = 0; i < rondas; ++i) {
        const std::optional<double> t = medir();
        if (!t) return std::nullopt;
        tiempos.push_back(*t);
    }
    return tiempos;
}

// ---------------------------------------------------------------------------------------
// From process start to the verdict

// In the child: looks at the window at every millisecond from the first pass of the event
// loop, and reports its first verdict on the pipe ('1' an update exists, '0' none). For
// the close figure it posts a close once, as the desktop would, as soon as the check runs
// ('c').
int g_tuberiaHijo = -1;
bool g_cerrarEnEspera = false;

void Avisar(char c) {
    while (::write(g_tuberiaHijo, &c, 1) < 0 && errno == EINTR) {
    }
}

void ObservarVentana() {
    static bool veredicto = false, cierrePuesto = false;
    auto* vigia = new QTimer(QCoreApplication::instance());
    vigia->setTimerType(Qt::PreciseTimer);
    QObject::connect(vigia, &QTimer::timeout, [] {
        Form1* f = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* v = dynamic_cast<Form1*>(w)) f = v;
        if (!f) return;
        const std::string l = Leyenda(*f);
        if (!veredicto && (l == kHayActualizacion || l == kNoHayActualizacion)) {
            veredicto = true;
            Avisar(l == kHayActualizacion ? '1' : '0');
        }
        if (g_cerrarEnEspera && !cierrePuesto && Form1Prueba::EnFlujo(*f) && f->windowHandle()) {
            cierrePuesto = true;
            Avisar('c');
            QCoreApplication::postEvent(f->windowHandle(), new QCloseEvent);
        }
    });
    vigia->start(1);
}

void AlCrearAplicacion() { QTimer::singleShot(0, &ObservarVentana); }

// The child: the updater's own program body, unchanged, in `dir`.
int Hijo(char* programa, int tuberia, const std::string& dir, bool cerrar) {
    g_tuberiaHijo = tuberia;
    g_cerrarEnEspera = cerrar;
    qAddPreRoutine(&AlCrearAplicacion);
    char* argv[] = {programa, nullptr};
    int argc = 1;
    sesion::Entorno entorno = sesion::EntornoDelProceso();
    entorno.Carpeta = dir;
    return EjecutarActualizador(argc, argv, entorno);
}

// A child started as `yo <modo> <fd> <dir>` and the read end of the pipe it writes to.
struct ProcesoHijo {
    pid_t pid = -1;
    int tubo = -1;
};

std::optional<ProcesoHijo> IniciarHijo(const std::string& yo, const char* modo,
                                       const std::string& dir) {
    int tubo[2];
    if (::pipe2(tubo, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return std::nullopt;
    }
    // Only the write end reaches the child; its stdout goes to stderr, away from the figures.
    ::fcntl(tubo[1], F_SETFD, 0);
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_adddup2(&acciones, STDERR_FILENO, STDOUT_FILENO);
    const auto pid = prueba::Iniciar({yo, modo, std::to_string(tubo[1]), dir}, &acciones);
    ::close(tubo[1]);
    posix_spawn_file_actions_destroy(&acciones);
    if (!pid) {
        std::fprintf(stderr, "  no se pudo iniciar %s\n", yo.c_str());
        ::close(tubo[0]);
        return std::nullopt;
    }
    return ProcesoHijo{*pid, tubo[0]};
}

// The child's next byte; -1 when it wrote nothing for 10 s, -2 when it ended first.
int LeerAviso(int tubo) {
    pollfd p{tubo, POLLIN, 0};
    int listo;
    while ((listo = ::poll(&p, 1, 10000)) < 0 && errno == EINTR) {
    }
    if (listo <= 0) return -1;
    char c = 0;
    ssize_t leidos;
    while ((leidos = ::read(tubo, &c, 1)) < 0 && errno == EINTR) {
    }
    return leidos == 1 ? static_cast<unsigned char>(c) : -2;
}

std::optional<double> Arranque(const std::string& yo, const std::string& dir) {
    const auto t0 = Reloj::now();
    const auto hijo = IniciarHijo(yo, "--hijo", dir);
    if (!hijo) return std::nullopt;
    const int aviso = LeerAviso(hijo->tubo);
    const double t = Segundos(Reloj::now() - t0);
    // SIGKILL: the window never closes, so it starts nothing.
    ::kill(hijo->pid, SIGKILL);
    prueba::Esperar(hijo->pid);
    ::close(hijo->tubo);

    if (aviso != '1') {
        std::fprintf(stderr, "  sin el veredicto \"%s\" (%s)\n", kHayActualizacion.c_str(),
                     aviso == -1    ? "tiempo agotado"
                     : aviso == -2  ? "el hijo terminó"
                     : aviso == '0' ? "dibujó el contrario"
                                    : "aviso inesperado");
        return std::nullopt;
    }
    std::fprintf(stderr, "  veredicto a los %.1f ms\n", t * 1000);
    return t;
}

std::string CifraArranque(const std::string& yo, const std::string& dir, int rondas) {
    const std::string titulo = "arranque hasta el veredicto: ";
    prueba::ServidorHttp servidor(ArchivoDeActualizacion(1024, prueba::FechaHttp(::time(nullptr))));
    UsarProxy(servidor);
    // An old product, so the server's copy is newer; a stand-in that does nothing, should
    // anything start it.
    const std::string producto = dir + "/Morvane.exe";
    if (!prueba::Escribir(producto, "#!/bin/sh\nexit 0\n", true)) {
        std::fprintf(stderr, "no se pudo escribir Morvane.exe\n");
        return titulo + "FALLO";
    }
    prueba::FijarFecha(producto, 978350400);  // 1 January 2001, noon UTC

    std::fprintf(stderr, "arranque del actualizador (%s --hijo), %d rondas\n", yo.c_str(),
                 rondas);
    const auto tiempos = Repetir(rondas, [&] { return Arranque(yo, dir); });
    if (!tiempos) return titulo + "FALLO (ver los detalles arriba)";
    sistema::Borrar(producto);
    std::fprintf(stderr, "  el servidor recibió %zu peticiones\n", servidor.Peticiones().size());
    char linea[200];
    std::snprintf(linea, sizeof linea, "%.0f ms (mediana de %d; objetivo <= 300 ms)",
                  Mediana(*tiempos) * 1000, rondas);
    return titulo + linea;
}

// ---------------------------------------------------------------------------------------
// Cancelar while the body has stalled


// A click as the window system delivers one: press and release, posted to the button.
void PostearClic(QWidget& boton) {
    const QPointF centro = QRectF(boton.rect()).center();
    const QPointF global = boton.mapToGlobal(centro);
    QCoreApplication::postEvent(&boton, new QMouseEvent(QEvent::MouseButtonPress, centro, global,
                                                        Qt::LeftButton, Qt::LeftButton,
                                                        Qt::NoModifier));
    QCoreApplication::postEvent(&boton, new QMouseEvent(QEvent::MouseButtonRelease, centro,
                                                        global, Qt::LeftButton, Qt::NoButton,
                                                        Qt::NoModifier));
}

// Records when the strip is first painted with a given caption once armed.
class VigiaDePintura : public QObject {
public:
    VigiaDePintura(const Form1& f, std::string leyenda) : f_(f), leyenda_(std::move(leyenda)) {}
    bool Armada = false;
    std::optional<Reloj::time_point> Pintada;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (Armada && e->type() == QEvent::Paint && !Pintada && Leyenda(f_) == leyenda_)
            Pintada = Reloj::now();
        return false;
    }

private:
    const Form1& f_;
    std::string leyenda_;
};

// One round: the download is started, the bar comes up, the body stalls; 300 ms into the
// stall the click is posted. The time runs from posting it to the strip's next paint with
// "Descarga cancelada".
std::optional<double> Cancelacion(Form1& f, const std::string& dir) {
    std::optional<Reloj::time_point> barra, pulsado;
    VigiaDePintura pintura(f, "Descarga cancelada");
    QTimer vigia;  // looks at every pass of event processing, nested ones included
    vigia.setInterval(0);
    QObject::connect(&vigia, &QTimer::timeout, [&] {
        const std::string l = Leyenda(f);
        if (!barra && !l.empty() && l.back() == '%') barra = Reloj::now();
        if (barra && !pulsado && Reloj::now() - *barra >= std::chrono::milliseconds(300)) {
            pintura.Armada = true;
            pulsado = Reloj::now();
            PostearClic(f.btnCancelar);
        }
    });
    f.Picture1.installEventFilter(&pintura);
    vigia.start();
    f.btnDescargar.setEnabled(true);
    f.btnDescargar.click();
    QEventLoop bucle;
    QTimer fin;
    QObject::connect(&fin, &QTimer::timeout, [&] {
        if (!Form1Prueba::EnFlujo(f)) bucle.quit();
    });
    fin.start(1);
    bucle.exec();
    vigia.stop();
    const bool abandonada = Form1Prueba::Abandonada(f);
    const auto limite = Reloj::now() + std::chrono::seconds(2);
    while (!pintura.Pintada && Reloj::now() < limite)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    f.Picture1.removeEventFilter(&pintura);

    bool temporales = false;
    for (const auto& e : fs::directory_iterator(dir))
        temporales |= e.path().filename().string().rfind("zkD", 0) == 0;
    if (!pulsado || !pintura.Pintada || !abandonada || temporales || sistema::Existe(dir + "/Morvane.zip")) {
        std::fprintf(stderr, "  la cancelación no fue la esperada (clic %s, pintada %s, espera %s, "
                             "temporales %s, barra \"%s\")\n",
                     pulsado ? "sí" : "no", pintura.Pintada ? "sí" : "no",
                     abandonada ? "abandonada" : "no abandonada", temporales ? "sí" : "no",
                     Leyenda(f).c_str());
        return std::nullopt;
    }
    const double t = Segundos(*pintura.Pintada - *pulsado);
    std::fprintf(stderr, "  \"Descarga cancelada\" a los %.1f ms del clic\n", t * 1000);
    return t;
}

std::string CifraCancelar(Form1& f, const std::string& dir, int rondas) {
    const std::string titulo = "Cancelar con el cuerpo detenido: ";
    // The head and the first pieces of the archive, then silence on an open connection.
    prueba::ServidorHttp servidor([](const prueba::Peticion& p) {
        if (p.Destino != URLActualizacion) return prueba::Respuesta::Simple("404 Not Found", "");
        prueba::Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n";
        r.Cuerpo = {{std::chrono::milliseconds(0), std::string(4096, 'a')},
                    {std::chrono::milliseconds(30), std::string(4096, 'b')}};
        r.Fin = prueba::Final::Colgar;
        return r;
    });
    UsarProxy(servidor);
    // A download starts only where it could be installed; this one is always cancelled.
    prueba::Escribir(dir + "/Kelunzip", "#!/bin/sh\nexit 1\n", true);
    std::fprintf(stderr, "Cancelar con el cuerpo detenido, %d rondas\n", rondas);
    const auto tiempos = Repetir(rondas, [&] { return Cancelacion(f, dir); });
    sistema::Borrar(dir + "/Kelunzip");
    if (!tiempos) return titulo + "FALLO (ver los detalles arriba)";
    char linea[200];
    std::snprintf(linea, sizeof linea,
                  "%.1f ms del clic a \"Descarga cancelada\" (mediana de %d; objetivo <= 50 ms)",
                  Mediana(*tiempos) * 1000, rondas);
    return titulo + linea;
}

// ---------------------------------------------------------------------------------------
// A close during a check the server never answers

// Waits up to `limite` for the child to end; its wait status, or nothing.
std::optional<int> EsperarFin(pid_t pid, std::chrono::milliseconds limite) {
    const auto fin = Reloj::now() + limite;
    for (;;) {
        int estado = 0;
        const pid_t r = ::waitpid(pid, &estado, WNOHANG);
        if (r == pid) return estado;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Reloj::now() >= fin) return std::nullopt;
        ::usleep(500);
    }
}

std::optional<double> Cierre(const std::string& yo, const std::string& dir) {
    const std::string iniciado = dir + "/iniciado";
    sistema::Borrar(iniciado);
    const auto hijo = IniciarHijo(yo, "--hijo-cierre", dir);
    if (!hijo) return std::nullopt;
    const int aviso = LeerAviso(hijo->tubo);
    const auto t0 = Reloj::now();
    const auto estado = aviso == 'c' ? EsperarFin(hijo->pid, std::chrono::seconds(10))
                                     : std::nullopt;
    const double t = Segundos(Reloj::now() - t0);
    if (!estado) {
        ::kill(hijo->pid, SIGKILL);
        prueba::Esperar(hijo->pid);
    }
    ::close(hijo->tubo);
    // The product is started before the process ends; give its shell a moment to write.
    for (int i = 0; i < 200 && !sistema::Existe(iniciado); ++i) ::usleep(10000);
    if (!estado || !WIFEXITED(*estado) || WEXITSTATUS(*estado) != 0 ||
        !sistema::Existe(iniciado)) {
        std::fprintf(stderr, "  %s\n",
                     aviso != 'c' ? "el hijo no llegó a esperar a la red"
                     : !estado    ? "el proceso no terminó en 10 s"
                     : !sistema::Existe(iniciado) ? "no arrancó el producto"
                                                  : "el proceso terminó con error");
        return std::nullopt;
    }
    std::fprintf(stderr, "  fin del proceso a los %.1f ms del cierre\n", t * 1000);
    return t;
}

std::string CifraCierre(const std::string& yo, const std::string& dir, int rondas) {
    const std::string titulo = "cierre durante una comprobación sin respuesta: ";
    prueba::ServidorHttp servidor([](const prueba::Peticion&) {
        prueba::Respuesta r;  // accepts, reads the request, never answers
        r.Fin = prueba::Final::Colgar;
        return r;
    });
    UsarProxy(servidor);
    const std::string producto = dir + "/Morvane.exe";
    if (!prueba::Escribir(producto, "#!/bin/sh\ntouch \"$(dirname \"$0\")/iniciado\"\n", true)) {
        std::fprintf(stderr, "no se pudo escribir Morvane.exe\n");
        return titulo + "FALLO";
    }
    std::fprintf(stderr, "cierre durante la comprobación (%s --hijo-cierre), %d rondas\n",
                 yo.c_str(), rondas);
    const auto tiempos = Repetir(rondas, [&] { return Cierre(yo, dir); });
    if (!tiempos) return titulo + "FALLO (ver los detalles arriba)";
    sistema::Borrar(producto);
    sistema::Borrar(dir + "/iniciado");
    char linea[200];
    std::snprintf(linea, sizeof linea,
                  "%.0f ms del cierre al fin del proceso (mediana de %d; objetivo <= 500 ms)",
                  Mediana(*tiempos) * 1000, rondas);
    return titulo + linea;
}

std::string EsteEjecutable() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

bool EsFallo(const std::string& cifra) { return cifra.find("FALLO") != std::string::npos; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::string(argv[1]) == "--hijo" || std::string(argv[1]) == "--hijo-cierre"))
        return Hijo(argv[0], std::atoi(argv[2]), argv[3], std::string(argv[1]) == "--hijo-cierre");

    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rondas = argc > 2 ? std::atoi(argv[2]) : 5;
    // The component counts bytes in 32 bits.
    if (mib == 0 || mib > 2047 || rondas <= 0) {
        std::fprintf(stderr, "uso: bench_ventana [MiB (1-2047)] [rondas]\n");
        return 2;
    }
    const std::string yo = EsteEjecutable();
    if (yo.empty()) {
        std::fprintf(stderr, "no se encuentra el propio ejecutable\n");
        return 1;
    }

    prueba::LimpiarProxyDelEntorno();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    internet::BibliotecaInternet biblioteca;
    char* argvQt[] = {argv[0], nullptr};
    int argcQt = 1;
    QApplication aplicacion(argcQt, argvQt);

    prueba::DirectorioTemporal directorio("bench_ventana_");
    const std::string dir = directorio.Ruta();
    sesion::Entorno entorno = sesion::EntornoDelProceso();
    entorno.Carpeta = dir;

    std::vector<std::string> cifras;
    {
        Form1 ventana(entorno);
        ventana.Timer1.stop();  // no start-up check: the flows are driven from here
        ventana.show();
        cifras.push_back(CifraDescarga(ventana, dir, mib, rondas));
        cifras.push_back(CifraInstalacion(dir, 3));
        cifras.push_back(CifraCancelar(ventana, dir, 5));
    }
    cifras.push_back(CifraArranque(yo, dir, 7));
    cifras.push_back(CifraCierre(yo, dir, 5));


    int codigo = 0;
    for (const auto& c : cifras) {
        std::printf("%s\n", c.c_str());
        if (EsFallo(c)) codigo = 1;
    }
    return codigo;
}
