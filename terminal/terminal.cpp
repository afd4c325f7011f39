#include "terminal.h"

#include "sistema.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace terminal {

namespace {

using Reloj = std::chrono::steady_clock;

// The redrawn line changes no more often than this.
constexpr auto kIntervaloLinea = std::chrono::milliseconds(100);

const char* NombreEtapa(sesion::Fase fase) {
    switch (fase) {
        case sesion::Fase::Comprobando: return "comprobando";
        case sesion::Fase::Descargando: return "descargando";
        case sesion::Fase::Verificando: return "verificando la firma";
        case sesion::Fase::Instalando: return "instalando";
        case sesion::Fase::Reposo: break;
    }
    return "";
}

// "512 B", "12.3 KiB", "115.2 MiB".
std::string Tamano(double bytes) {
    char texto[32];
    if (bytes < 1024)
        std::snprintf(texto, sizeof texto, "%.0f B", bytes);
    else if (bytes < 1024.0 * 1024)
        std::snprintf(texto, sizeof texto, "%.1f KiB", bytes / 1024);
    else if (bytes < 1024.0 * 1024 * 1024)
        std::snprintf(texto, sizeof texto, "%.1f MiB", bytes / (1024.0 * 1024));
    else
        std::snprintf(texto, sizeof texto, "%.2f GiB", bytes / (1024.0 * 1024 * 1024));
    return texto;
}

// A terminal that moves the cursor back and erases: a tty, with TERM set and not "dumb".
bool TerminalCapaz() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDERR_FILENO) == 1 && term && *term && std::strcmp(term, "dumb") != 0;
}

// Columns of stderr's terminal now (it may have been resized since the last line).
size_t Columnas() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// A piece of the progress line; the least important goes first when the line is too long.
struct Campo {
    std::string texto;
    int importancia;  // higher stays longer
};

// The fields that fit in `ancho` columns, in their order, two blanks apart; cut at the end
// when not even the most important fits. ASCII only: a byte is a column.
std::string QueCabe(std::vector<Campo> campos, size_t ancho) {
    const auto unir = [&] {
        std::string linea;
        for (const Campo& c : campos) linea += (linea.empty() ? "" : "  ") + c.texto;
        return linea;
    };
    std::string linea = unir();
    while (linea.size() > ancho && campos.size() > 1) {
        campos.erase(std::min_element(campos.begin(), campos.end(),
                                      [](const Campo& a, const Campo& b) {
                                          return a.importancia < b.importancia;
                                      }));
        linea = unir();
    }
    return linea.substr(0, ancho);
}

// The session's steps on their thread; their reports wait in a queue that the main
// thread's loop (Correr) runs, woken by an eventfd.
class HilosTerminal : public sesion::HiloDePasos {
public:
    HilosTerminal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~HilosTerminal() override {
        Esperar();
        if (fd_ >= 0) ::close(fd_);
    }
    void Entregar(std::function<void()> aviso) override {
        {
            std::lock_guard<std::mutex> cerrojo(mutex_);
            cola_.push_back(std::move(aviso));
        }
        const uint64_t uno = 1;
        if (fd_ >= 0) while (::write(fd_, &uno, sizeof uno) < 0 && errno == EINTR) {}
    }
    int Descriptor() const { return fd_; }
    // Runs the reports delivered so far, in order.
    void Atender() {
        uint64_t n;
        if (fd_ >= 0) while (::read(fd_, &n, sizeof n) < 0 && errno == EINTR) {}
        for (;;) {
            std::function<void()> aviso;
            {
                std::lock_guard<std::mutex> cerrojo(mutex_);
                if (cola_.empty()) return;
                aviso = std::move(cola_.front());
                cola_.pop_front();
            }
            aviso();
        }
    }

private:
    const int fd_;
    std::mutex mutex_;
    std::deque<std::function<void()>> cola_;
};

class Observador : public sesion::Observador {
public:
    explicit Observador(const Opciones& opciones) : opciones_(opciones), tty_(TerminalCapaz()) {}

    void Limpiar() override {}
    void Estado(int32_t, const std::string&) override {}
    void HabilitarBotonDescargar(bool) override {}
    void HabilitarCancelar(bool) override {}
    void RelojDeArena(bool) override {}

    void Avance(const sesion::Progreso& p) override {
        if (opciones_.silencioso || !tty_) return;
        const Reloj::time_point ahora = Reloj::now();
        if (p.BytesRecibidos != p.BytesTotales && ahora - ultimaLinea_ < kIntervaloLinea) return;
        ultimaLinea_ = ahora;
        char cifras[64];
        std::snprintf(cifras, sizeof cifras, "%3d%%", static_cast<int>(p.Porcentaje));
        std::vector<Campo> campos = {
            {cifras, 5},
            {Tamano(p.BytesRecibidos) + " / " + Tamano(p.BytesTotales), 2},
            {Tamano(p.BytesPorSegundo) + "/s", 1},
        };
        if (p.SegundosRestantes >= 0 && p.SegundosRestantes < 360000) {
            const long s = static_cast<long>(p.SegundosRestantes + 0.5);
            std::snprintf(cifras, sizeof cifras, "quedan %ld:%02ld", s / 60, s % 60);
            campos.push_back({cifras, 3});
        }
        campos.push_back({NombreEtapa(etapa_), 4});
        Linea(campos);
    }

    void CambioDeFase(sesion::Fase fase) override {
        etapa_ = fase;
        if (opciones_.silencioso) return;
        if (fase == sesion::Fase::Reposo) {
            Borrar();
        } else if (tty_) {
            Linea({{std::string(NombreEtapa(fase)) + "...", 1}});
        } else {
            std::fprintf(stderr, "%s: %s\n", opciones_.programa, NombreEtapa(fase));
        }
    }

    // The log line starts on a line of its own.
    void FinDeTransferencia() override { Borrar(); }
    void AntesDelRegistro() override { Borrar(); }

private:
    // The one redrawn line: back to its start, the text, the rest of the old one erased.
    // It stays off the last column, where a terminal would wrap it, and a stale piece of
    // it would then stay on screen at every redraw.
    void Linea(const std::vector<Campo>& campos) {
        const std::string texto = QueCabe(campos, Columnas() - 1);
        std::fprintf(stderr, "\r%s\033[K", texto.c_str());
        std::fflush(stderr);
        lineaPuesta_ = true;
    }
    void Borrar() {
        if (!lineaPuesta_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        lineaPuesta_ = false;
    }

    const Opciones& opciones_;
    const bool tty_;
    sesion::Fase etapa_ = sesion::Fase::Reposo;
    bool lineaPuesta_ = false;
    Reloj::time_point ultimaLinea_{};
};

// Runs the reports of the session's steps and watches the signals until the flow has
// ended. A signal ends the session as a close of the window does, without the product.
void Correr(sesion::Sesion& s, HilosTerminal& hilos, sistema::AvisoDeTerminacion& aviso, int& senal) {
    while (s.EnFlujo()) {
        pollfd pfd[2] = {{hilos.Descriptor(), POLLIN, 0}, {aviso.Descriptor(), POLLIN, 0}};
        const int n = aviso.Descriptor() >= 0 ? 2 : 1;
        if (::poll(pfd, n, -1) < 0 && errno != EINTR) return;
        if (n == 2 && (pfd[1].revents & POLLIN)) {
            while (const int sn = aviso.Leer()) senal = sn;
            if (senal != 0) {
                s.AnularInicioDelProducto();
                s.Cerrar(false);
            }
        }
        hilos.Atender();
    }
}

}  // namespace

int Ejecutar(const Opciones& opciones, sesion::Entorno entorno) {
    sistema::AvisoDeTerminacion aviso;
    Observador observador(opciones);
    HilosTerminal hilos;
    int senal = 0;
    int codigo = kFallo;
    {
        sesion::Sesion s(std::move(entorno), observador, hilos);
        s.BuscarActualizacion();
        Correr(s, hilos, aviso, senal);
        const sesion::Resultado comprobacion = s.UltimoResultado();
        // --check's verdict is its output; --update --quiet says only whether it installed.
        const bool decir = opciones.orden == Orden::Comprobar || !opciones.silencioso;
        if (comprobacion == sesion::Resultado::ErrorComprobacion) {
            if (decir) std::printf("%s\n", s.Texto().c_str());
            std::fprintf(stderr, "%s: %s: %s\n", opciones.programa, s.Texto().c_str(), s.Motivo().c_str());
        } else if (comprobacion == sesion::Resultado::SinPermiso) {
            // An update exists; installing it here is for someone who may write here.
            if (opciones.orden == Orden::Comprobar) {
                std::printf("%s\n", s.Texto().c_str());
                codigo = kHayActualizacion;
            } else {
                std::fprintf(stderr, "%s: %s\n", opciones.programa, s.Texto().c_str());
            }
        } else if (comprobacion == sesion::Resultado::SinActualizacion) {
            // Also with --quiet: a script needs to tell this from an install.
            std::printf("%s\n", s.Texto().c_str());
            codigo = kAlDia;
        } else if (comprobacion == sesion::Resultado::HayActualizacion) {
            if (opciones.orden == Orden::Comprobar) {
                std::printf("%s\n", s.Texto().c_str());
                codigo = kHayActualizacion;
            } else {
                while (const int sn = aviso.Leer()) senal = sn;
                if (senal == 0) s.Actualizar();
                Correr(s, hilos, aviso, senal);
                // Current by the time the statement was judged again (another updater
                // installed it meanwhile): nothing to do, as after the check.
                if (s.UltimoResultado() == sesion::Resultado::Actualizado ||
                    s.UltimoResultado() == sesion::Resultado::SinActualizacion) {
                    std::printf("%s\n", s.Texto().c_str());
                    codigo = kAlDia;
                } else if (senal == 0) {
                    std::fprintf(stderr, "%s: %s\n", opciones.programa, s.Texto().c_str());
                }
            }
        }
    }
    // A signal that came while nothing was looking still ends the program by it.
    while (const int sn = aviso.Leer()) senal = sn;
    std::fflush(stdout);
    if (senal != 0) sistema::FinalizarConSenal(senal);
    return codigo;
}

}  // namespace terminal
