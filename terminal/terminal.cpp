#include "terminal.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace terminal {

namespace {

using Reloj = std::chrono::steady_clock;

// A transfer raises an event per block; the signal descriptor and the redrawn line are
// looked at no more often than this.
constexpr auto kIntervaloEventos = std::chrono::milliseconds(10);
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

class Observador : public sesion::Observador {
public:
    Observador(const Opciones& opciones, sistema::AvisoDeTerminacion& aviso)
        : opciones_(opciones),
          aviso_(aviso),
          senales_(aviso.Descriptor()),
          tty_(TerminalCapaz()) {}

    void Atender(sesion::Sesion& s) { sesion_ = &s; }
    int Senal() const { return senal_; }
    // A signal that came while nothing was looking (a placing of files is let finish
    // without a glance at signals) still ends the program by it.
    void RecogerSenales() {
        while (const int s = aviso_.Leer()) senal_ = s;
    }
    const std::string& UltimoEstado() const { return ultimoEstado_; }

    void Limpiar() override {}
    void Estado(int32_t /*Porcentaje*/, const std::string& Dato) override { ultimoEstado_ = Dato; }
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

    void ProcesarEventos() override { MirarSenales(0); }

    void DoEvents() override {
        const Reloj::time_point ahora = Reloj::now();
        if (ahora - ultimaMirada_ < kIntervaloEventos) return;
        ultimaMirada_ = ahora;
        MirarSenales(0);
    }

    // Sleeps on the signal descriptor, so that a signal ends the wait's slice at once.
    void Esperar(int32_t Milisegundos) override {
        const Reloj::time_point fin = Reloj::now() + std::chrono::milliseconds(Milisegundos);
        for (;;) {
            const auto resta =
                std::chrono::duration_cast<std::chrono::milliseconds>(fin - Reloj::now()).count();
            if (resta <= 0) return;
            MirarSenales(static_cast<int>(resta));
        }
    }

private:
    void MirarSenales(int milisegundos) {
        if (senales_ < 0) {
            if (milisegundos > 0) ::poll(nullptr, 0, milisegundos);
            return;
        }
        pollfd pfd{senales_, POLLIN, 0};
        if (::poll(&pfd, 1, milisegundos) <= 0) return;
        while (const int s = aviso_.Leer()) senal_ = s;
        // A signal ends the session as a close of the window does, without the product.
        if (senal_ != 0 && sesion_) {
            sesion_->AnularInicioDelProducto();
            sesion_->Cerrar(false);
        }
    }

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
    sistema::AvisoDeTerminacion& aviso_;
    const int senales_;
    const bool tty_;
    sesion::Sesion* sesion_ = nullptr;
    int senal_ = 0;
    std::string ultimoEstado_;
    sesion::Fase etapa_ = sesion::Fase::Reposo;
    bool lineaPuesta_ = false;
    Reloj::time_point ultimaLinea_{}, ultimaMirada_{};
};

}  // namespace

int Ejecutar(const Opciones& opciones, sesion::Entorno entorno) {
    sistema::AvisoDeTerminacion aviso;
    Observador observador(opciones, aviso);
    int codigo = kFallo;
    {
        sesion::Sesion s(std::move(entorno), observador);
        observador.Atender(s);
        // The component's waits serve the session, which asks the terminal about signals.
        sistema::RegistrarVentana(&s);

        s.BuscarActualizacion();
        const sesion::Resultado comprobacion = s.UltimoResultado();
        // --check's verdict is its output; --update --quiet says only whether it installed.
        const bool decir = opciones.orden == Orden::Comprobar || !opciones.silencioso;
        if (comprobacion == sesion::Resultado::ErrorComprobacion) {
            if (decir) std::printf("%s\n", observador.UltimoEstado().c_str());
            std::fprintf(stderr, "%s: %s: %s\n", opciones.programa,
                         observador.UltimoEstado().c_str(), s.Motivo().c_str());
        } else if (comprobacion == sesion::Resultado::SinPermiso) {
            // An update exists; installing it here is for someone who may write here.
            if (opciones.orden == Orden::Comprobar) {
                std::printf("%s\n", observador.UltimoEstado().c_str());
                codigo = kHayActualizacion;
            } else {
                std::fprintf(stderr, "%s: %s\n", opciones.programa,
                             observador.UltimoEstado().c_str());
            }
        } else if (comprobacion == sesion::Resultado::SinActualizacion) {
            // Also with --quiet: a script needs to tell this from an install.
            std::printf("%s\n", observador.UltimoEstado().c_str());
            codigo = kAlDia;
        } else if (comprobacion == sesion::Resultado::HayActualizacion) {
            if (opciones.orden == Orden::Comprobar) {
                std::printf("%s\n", observador.UltimoEstado().c_str());
                codigo = kHayActualizacion;
            } else {
                s.Actualizar();
                // Current by the time the statement was judged again (another updater
                // installed it meanwhile): nothing to do, as after the check.
                if (s.UltimoResultado() == sesion::Resultado::Actualizado ||
                    s.UltimoResultado() == sesion::Resultado::SinActualizacion) {
                    std::printf("%s\n", observador.UltimoEstado().c_str());
                    codigo = kAlDia;
                } else if (observador.Senal() == 0) {
                    std::fprintf(stderr, "%s: %s\n", opciones.programa,
                                 observador.UltimoEstado().c_str());
                }
            }
        }
        sistema::RegistrarVentana(nullptr);
    }
    observador.RecogerSenales();
    std::fflush(stdout);
    if (observador.Senal() != 0) sistema::FinalizarConSenal(observador.Senal());
    return codigo;
}

}  // namespace terminal
