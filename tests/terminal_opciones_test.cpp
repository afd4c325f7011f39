// --check and --update run as an administrator or a script runs them: the installed
// program (copied into an install directory of its own) with no display at all, the
// scripted server as the machine's proxy.
#include <gtest/gtest.h>

#include <grp.h>

#include <pwd.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <optional>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "servidor_http.h"
#include "sesion.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using prueba::Escribir;
using prueba::Leer;

const std::string kNueva = "Sun, 06 Nov 2011 08:49:37 GMT";  // newer than the product
const std::string kVieja = "Sun, 06 Nov 1994 08:49:37 GMT";

prueba::Respuesta Archivo(const std::string& cuerpo, const std::string& fecha, int trozos = 1,
                          std::chrono::milliseconds pausa = 0ms) {
    prueba::Respuesta r;
    r.Cabecera = "HTTP/1.1 200 OK\r\nLast-Modified: " + fecha +
                 "\r\nContent-Length: " + std::to_string(cuerpo.size()) + "\r\n\r\n";
    const size_t tam = (cuerpo.size() + trozos - 1) / trozos;
    for (size_t i = 0; i < cuerpo.size(); i += tam)
        r.Cuerpo.push_back({i == 0 ? 0ms : pausa, cuerpo.substr(i, tam)});
    return r;
}

struct Salida {
    int codigo = -1;  // exit status, or -1 when ended by a signal
    int senal = 0;
    std::string out, err;
};

class TerminalPrueba : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(MORVANE_UPDATE_BIN, En("morvane-update"));
        Escribir(En("Morvane.exe"),
                 "#!/bin/sh\necho x >> \"$(dirname \"$0\")/producto-iniciado\"\n", true);
        prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
        Kelunzip(0);
    }

    // The unzip tool stand-in: records its arguments and whether the archive was there.
    void Kelunzip(int estado) {
        Escribir(En("Kelunzip"),
                 "#!/bin/sh\nprintf '%s' \"$*\" > kelunzip-llamada\n"
                 "cp Morvane.zip desempaquetado\nexit " + std::to_string(estado) + "\n", true);
    }

    // Runs the program with `argumentos`, without DISPLAY, WAYLAND_DISPLAY or a Qt platform,
    // with TERM as in term_ (none: unset). With `tty`, its stderr is a pseudo-terminal of
    // columnas_ columns, whose master is maestro_ meanwhile. `alLeer` sees stderr as it
    // grows and may signal the child.
    Salida Correr(std::vector<std::string> argumentos, bool tty = false,
                  std::function<void(const std::string&, pid_t)> alLeer = {},
                  bool sinSalidas = false) {
        int out[2], err[2] = {-1, -1}, maestro = -1;
        if (::pipe(out) != 0) return {};
        if (tty) {
            int esclavo = -1;
            winsize ws{};
            ws.ws_row = 24;
            ws.ws_col = columnas_;
            if (::openpty(&maestro, &esclavo, nullptr, nullptr, &ws) != 0) return {};
            maestro_ = maestro;
            err[0] = maestro;
            err[1] = esclavo;
        } else if (::pipe(err) != 0) {
            return {};
        }
        const std::string proxy = "http://" + servidor_.Direccion();
        const std::string programa = En("morvane-update");
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (sinSalidas) {  // started as with `>&- 2>&-`
                ::close(1);
                ::close(2);
            }
            if (comoNadie_) {
                const passwd* nadie = ::getpwnam("nobody");
                if (!nadie || ::setgroups(0, nullptr) != 0 || ::setgid(nadie->pw_gid) != 0 ||
                    ::setuid(nadie->pw_uid) != 0)
                    ::_exit(126);
            }
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("QT_QPA_PLATFORM");
            if (term_) ::setenv("TERM", term_->c_str(), 1);
            else ::unsetenv("TERM");
            ::setenv("http_proxy", proxy.c_str(), 1);
            std::vector<char*> args{const_cast<char*>(programa.c_str())};
            for (auto& a : argumentos) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(programa.c_str(), args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        Salida s;
        pollfd pfd[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int abiertos = 2;
        const auto limite = std::chrono::steady_clock::now() + 20s;
        while (abiertos > 0 && std::chrono::steady_clock::now() < limite) {
            if (::poll(pfd, 2, 100) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char b[4096];
                const ssize_t n = ::read(pfd[i].fd, b, sizeof b);
                if (n <= 0) {  // a pty reads EIO once the child has gone
                    pfd[i].fd = -1;
                    --abiertos;
                    continue;
                }
                (i == 0 ? s.out : s.err).append(b, static_cast<size_t>(n));
                if (i == 1 && alLeer) alLeer(s.err, pid);
            }
        }
        ::close(out[0]);
        ::close(err[0]);
        maestro_ = -1;
        int estado = 0;
        ::waitpid(pid, &estado, 0);
        if (WIFEXITED(estado)) s.codigo = WEXITSTATUS(estado);
        if (WIFSIGNALED(estado)) s.senal = WTERMSIG(estado);
        return s;
    }

    std::string En(const std::string& n) const { return dir_.En(n); }
    bool Hay(const std::string& n) const { return dir_.Hay(n); }

    prueba::ServidorHttp servidor_;
    prueba::DirectorioTemporal dir_{"terminal "};
    bool comoNadie_ = false;  // run the program as "nobody" (root only)
    std::optional<std::string> term_ = "xterm";
    unsigned short columnas_ = 80;
    int maestro_ = -1;
};

std::string Archivo1k() { return std::string(1000, 'z'); }

// Each exit code of --check, with the strip's text on stdout; nothing is downloaded,
// installed or started.
TEST_F(TerminalPrueba, ComprobarDiceElVeredictoConSuCodigo) {
    struct Caso {
        const char* nombre;
        prueba::Respuesta respuesta;
        int codigo;
        std::string out, err;
    } casos[] = {
        {"nueva", Archivo(Archivo1k(), kNueva), 100, "Existe una actualización\n", ""},
        {"vieja", Archivo(Archivo1k(), kVieja), 0, "No existen actualizaciones\n", ""},
        {"404", prueba::Respuesta::Simple("404 Not Found", ""), 1,
         "No se pudo comprobar si existen actualizaciones\n",
         "morvane-update: No se pudo comprobar si existen actualizaciones: 404 Not Found\n"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        servidor_.Responder([&](const prueba::Peticion&) { return c.respuesta; });
        const Salida s = Correr({"--check"});
        EXPECT_EQ(s.codigo, c.codigo) << s.err;
        EXPECT_EQ(s.out, c.out);
        EXPECT_NE(s.err.find(c.err), std::string::npos) << s.err;
        EXPECT_NE(s.err.find(" comprobación " + std::string(URLActualizacion) + ": "),
                  std::string::npos) << s.err;
        EXPECT_FALSE(Hay("Morvane.zip"));
        EXPECT_FALSE(Hay("kelunzip-llamada"));
        EXPECT_FALSE(Hay("producto-iniciado"));
    }
}

// --update installs as the window's click does, but never starts the product; without an
// update it does nothing and succeeds.
TEST_F(TerminalPrueba, ActualizarInstalaSinIniciarElProducto) {
    const std::string cuerpo = Archivo1k();
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kNueva); });
    Salida s = Correr({"--update"});
    EXPECT_EQ(s.codigo, 0) << s.err;
    EXPECT_EQ(s.out, "Morvane actualizado\n");
    // The install's own log line, as the check's and the download's: the two files the
    // stand-in unpacked.
    EXPECT_TRUE(std::regex_search(s.err, std::regex("(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d instalación " +
                                                    std::regex_replace(dir_.Ruta(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                                                    ": Morvane actualizado, 2 ficheros, \\d+\\.\\d\\d s\n")))
        << s.err;
    EXPECT_EQ(Leer(En("kelunzip-llamada")), "-d -o Morvane.zip");
    EXPECT_EQ(Leer(En("desempaquetado")), cuerpo);
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_GT(prueba::FechaDe(En("Morvane.exe")), prueba::HoraLocal(2020, 1, 1));
    ::usleep(200 * 1000);  // the product would have been started at once
    EXPECT_FALSE(Hay("producto-iniciado"));

    // With stdout and stderr closed the same, and no log line lands in the archive.
    prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
    fs::remove(En("desempaquetado"));
    s = Correr({"--update"}, false, {}, true);
    EXPECT_EQ(s.codigo, 0) << s.senal;
    EXPECT_EQ(Leer(En("desempaquetado")), cuerpo);

    fs::remove(En("kelunzip-llamada"));
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kVieja); });
    s = Correr({"--update", "--quiet"});
    EXPECT_EQ(s.codigo, 0) << s.err;
    // Even --quiet says whether it installed: a script needs the difference.
    EXPECT_EQ(s.out, "No existen actualizaciones\n");
    EXPECT_FALSE(Hay("kelunzip-llamada"));
    prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kNueva); });
    s = Correr({"--update", "--quiet"});
    EXPECT_EQ(s.codigo, 0) << s.err;
    EXPECT_EQ(s.out, "Morvane actualizado\n");
}

// A failure exits 1 with its reason: the old archive stays as it was and no temporary file
// is left; a failed unzip tool is a failure too, and leaves no archive behind.
TEST_F(TerminalPrueba, ActualizarFallidoDejaElArchivoAnterior) {
    Escribir(En("Morvane.zip"), "archivo anterior");
    // Headers for 1000 bytes, then the connection closes: with no byte to continue from,
    // the download fails at once.
    servidor_.Responder([&](const prueba::Peticion& p) {
        if (p.Metodo != "GET") return prueba::Respuesta::Simple("405 No", "");
        prueba::Respuesta r = Archivo(Archivo1k(), kNueva);
        r.Cuerpo = {};
        return r;
    });
    Salida s = Correr({"--update"});
    EXPECT_EQ(s.codigo, 1);
    EXPECT_NE(s.err.find("morvane-update: Error en la descarga: "), std::string::npos) << s.err;
    EXPECT_EQ(Leer(En("Morvane.zip")), "archivo anterior");
    EXPECT_TRUE(dir_.Temporales().empty());
    EXPECT_FALSE(Hay("kelunzip-llamada"));

    Kelunzip(1);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(Archivo1k(), kNueva); });
    s = Correr({"--update"});
    EXPECT_EQ(s.codigo, 1);
    EXPECT_NE(s.err.find("morvane-update: Error al instalar la actualización\n"),
              std::string::npos) << s.err;
    EXPECT_FALSE(Hay("Morvane.zip"));  // the space comes back; the update is offered again
    EXPECT_FALSE(Hay("producto-iniciado"));

    // Where this user may not install (another user's directory, or a staging directory
    // another user left), --update says why and downloads nothing: the check's request only.
    if (::geteuid() == 0) {
        Kelunzip(0);
        ::chmod(dir_.Ruta().c_str(), 0755);
        for (const bool ajena : {false, true}) {
            SCOPED_TRACE(ajena ? "another user's staging" : "another user's directory");
            comoNadie_ = !ajena;
            if (ajena) {
                fs::create_directory(En(".Morvane-instalacion"));
                const passwd* nadie = ::getpwnam("nobody");
                ASSERT_TRUE(nadie);
                ASSERT_EQ(::chown(En(".Morvane-instalacion").c_str(), nadie->pw_uid, nadie->pw_gid), 0);
            }
            const size_t antes = servidor_.Peticiones().size();
            s = Correr({"--update"});
            comoNadie_ = false;
            EXPECT_EQ(s.codigo, 1);
            EXPECT_NE(s.err.find("morvane-update: Existe una actualización, pero no tiene permiso para instalarla\n"),
                      std::string::npos) << s.err;
            EXPECT_NE(s.err.find(ajena ? "instalación: hay una instalación a medias que no es de este usuario: " + En(".Morvane-instalacion") + " (propietario "
                                       : "instalación: el directorio de instalación es de otro usuario: " + dir_.Ruta() + " (propietario 0, modo 0755)"),
                      std::string::npos) << s.err;
            EXPECT_EQ(servidor_.Peticiones().size(), antes + 1);
            EXPECT_FALSE(Hay("Morvane.zip"));
            EXPECT_FALSE(Hay("kelunzip-llamada"));
        }
        fs::remove(En(".Morvane-instalacion"));
        ::chmod(dir_.Ruta().c_str(), 0700);
    }

    // A check that fails ends --update too; --quiet keeps stdout empty, not the reason.
    servidor_.Responder(
        [](const prueba::Peticion&) { return prueba::Respuesta::Simple("404 Not Found", ""); });
    s = Correr({"--quiet", "--update"});
    EXPECT_EQ(s.codigo, 1);
    EXPECT_EQ(s.out, "");
    EXPECT_NE(s.err.find("morvane-update: No se pudo comprobar si existen actualizaciones: "
                         "404 Not Found\n"),
              std::string::npos) << s.err;
}

// Two --update started together: the second waits for the first to end, then finds the
// product current and succeeds, instead of downloading the same release again and failing
// on the install's lock.
TEST_F(TerminalPrueba, DosActualizacionesALaVezInstalanUnaVez) {
    Escribir(En("Kelunzip"), "#!/bin/sh\necho x >> ../../kelunzip-veces\ncp Morvane.zip desempaquetado\n", true);
    const std::string cuerpo = Archivo1k();
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kNueva, 4, 300ms); });
    std::atomic<bool> descargando{false};
    Salida primera;
    std::thread hilo([&] {
        primera = Correr({"--update"}, false, [&](const std::string& err, pid_t) {
            if (err.find("descargando") != std::string::npos) descargando = true;
        });
    });
    for (int i = 0; i < 500 && !descargando; ++i) ::usleep(10000);
    const Salida segunda = Correr({"--update"});
    hilo.join();
    EXPECT_TRUE(descargando);
    EXPECT_EQ(primera.codigo, 0) << primera.err;
    EXPECT_EQ(primera.out, "Morvane actualizado\n");
    EXPECT_EQ(segunda.codigo, 0) << segunda.err;
    EXPECT_EQ(segunda.out, "No existen actualizaciones\n");
    EXPECT_EQ(Leer(En("kelunzip-veces")), "x\n");
}

// SIGINT in the middle of a download: the transfer is cancelled, nothing is left behind,
// and the process ends by that signal.
TEST_F(TerminalPrueba, SigintDuranteLaDescargaTerminaPorLaSenal) {
    Escribir(En("Morvane.zip"), "archivo anterior");
    servidor_.Responder([&](const prueba::Peticion&) {
        return Archivo(std::string(100000, 'z'), kNueva, 100, 50ms);
    });
    bool enviada = false;
    const Salida s = Correr({"--update"}, false, [&](const std::string& err, pid_t pid) {
        if (!enviada && err.find("descargando\n") != std::string::npos) {
            enviada = true;
            ::usleep(150 * 1000);  // some pieces in
            ::kill(pid, SIGINT);
        }
    });
    EXPECT_TRUE(enviada);
    EXPECT_EQ(s.senal, SIGINT) << s.codigo << " " << s.err;
    EXPECT_EQ(Leer(En("Morvane.zip")), "archivo anterior");
    EXPECT_TRUE(dir_.Temporales().empty());
    EXPECT_FALSE(Hay("kelunzip-llamada"));
    EXPECT_FALSE(Hay("producto-iniciado"));
}

// SIGTERM once the unzip tool has ended: the files are placed all the same (the new release
// whole), and the process still ends by that signal. A helper the stand-in leaves behind
// signals the updater as soon as the tool has been reaped; many staged files make the
// placing last well beyond that.
TEST_F(TerminalPrueba, SigtermDuranteLaColocacionTerminaPorLaSenal) {
    Escribir(En("Kelunzip"),
             "#!/bin/sh\nupd=$PPID k=$$ d=$(cd ../.. && pwd)\n"
             "i=0; while [ $i -lt 1000 ]; do echo n > f$i; i=$((i+1)); done\n"
             "( while kill -0 $k 2>/dev/null; do :; done\n"
             "  kill -TERM $upd && echo x > \"$d/senal-enviada\" ) &\n",
             true);
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(Archivo1k(), kNueva); });
    const Salida s = Correr({"--update"});
    ASSERT_TRUE(Hay("senal-enviada")) << s.err;  // else the placing was over before a look
    EXPECT_EQ(s.senal, SIGTERM) << s.codigo << " " << s.err;
    EXPECT_TRUE(Hay("f999"));
    EXPECT_FALSE(Hay(".Morvane-instalacion"));
    EXPECT_FALSE(Hay("Morvane.zip"));
    EXPECT_FALSE(Hay("producto-iniciado"));
}

// Progress: on a terminal one line redrawn in place with the figures and the stage; into
// a pipe one plain line per stage and no control characters; --quiet only the log lines.
TEST_F(TerminalPrueba, ElProgresoSegunDondeVaStderr) {
    const std::string cuerpo(300000, 'z');
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kNueva, 3, 150ms); });

    Salida s = Correr({"--update"}, true);
    EXPECT_EQ(s.codigo, 0) << s.err;
    EXPECT_NE(s.err.find("\r100%  293.0 KiB / 293.0 KiB  "), std::string::npos) << s.err;
    EXPECT_NE(s.err.find(" descargando\033[K"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("\rinstalando...\033[K"), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("/s  quedan "), std::string::npos) << s.err;

    const auto deNuevoViejo = [&] {
        prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
    };
    deNuevoViejo();
    s = Correr({"--update"});
    EXPECT_EQ(s.codigo, 0) << s.err;
    for (const char* etapa : {"comprobando", "descargando", "instalando"})
        EXPECT_NE(s.err.find(std::string("morvane-update: ") + etapa + "\n"), std::string::npos)
            << s.err;
    for (char c : s.err)
        EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);

    deNuevoViejo();
    fs::remove(En("desempaquetado"));
    s = Correr({"--update", "--quiet"}, true);
    EXPECT_EQ(s.codigo, 0) << s.err;
    EXPECT_TRUE(Hay("desempaquetado"));
    EXPECT_EQ(s.err.find('\033'), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find("morvane-update:"), std::string::npos) << s.err;
}

// The redrawn line never reaches the last column, where it would wrap and leave a stale
// line at every redraw: at 40 columns the least useful figures give way, and a terminal
// narrowed during the download is measured again. A terminal that cannot redraw (TERM
// "dumb" or unset) gets the plain stage lines.
TEST_F(TerminalPrueba, LaLineaCabeEnLaTerminalYSinTerminalCapazNoHayEscapes) {
    const std::string cuerpo(300000, 'z');
    servidor_.Responder([&](const prueba::Peticion&) { return Archivo(cuerpo, kNueva, 4, 150ms); });
    // The lines drawn, each as the terminal shows it, the column count when it came.
    const auto lineas = [](const std::string& err) {
        std::vector<std::string> v;
        size_t i = 0;
        while (i < err.size()) {
            const size_t fin = err.find_first_of("\r\n", i);
            std::string l = err.substr(i, fin == std::string::npos ? std::string::npos : fin - i);
            for (size_t k; (k = l.find("\033[K")) != std::string::npos;) l.erase(k, 3);
            v.push_back(l);
            if (fin == std::string::npos) break;
            i = fin + 1;
        }
        return v;
    };

    columnas_ = 40;
    Salida s = Correr({"--update"}, true);
    EXPECT_EQ(s.codigo, 0) << s.err;
    bool cifras = false;
    for (const std::string& l : lineas(s.err)) {
        if (std::regex_search(l, std::regex("^\\d{4}-\\d\\d-\\d\\d \\S+ (comprobación|descarga|instalación) ")))
            continue;  // the log lines are whole, once, each on a line of its own
        EXPECT_LE(l.size(), 39u) << l;
        // The percentage and the stage stay; the rate went first.
        if (l.find("100%  ") == 0 && l.find("  descargando") != std::string::npos) cifras = true;
        EXPECT_EQ(l.find("/s"), std::string::npos) << l;
    }
    EXPECT_TRUE(cifras) << s.err;

    // Narrowed from 80 to 30 columns once the download is under way.
    prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
    columnas_ = 80;
    size_t estrechada = std::string::npos;
    s = Correr({"--update"}, true, [&](const std::string& err, pid_t) {
        if (estrechada != std::string::npos || err.find("descargando\033[K") == std::string::npos) return;
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = 30;
        ::ioctl(maestro_, TIOCSWINSZ, &ws);
        estrechada = err.size();
    });
    EXPECT_EQ(s.codigo, 0) << s.err;
    ASSERT_NE(estrechada, std::string::npos) << s.err;
    EXPECT_NE(s.err.substr(0, estrechada).find("/s  quedan "), std::string::npos) << s.err;
    int despues = 0;
    for (const std::string& l : lineas(s.err.substr(estrechada))) {
        if (std::regex_search(l, std::regex("^\\d{4}-\\d\\d-\\d\\d \\S+ (descarga|instalación) "))) continue;
        EXPECT_LE(l.size(), 29u) << l;
        despues += !l.empty();
    }
    EXPECT_GT(despues, 0) << s.err;

    for (const std::optional<std::string>& term : {std::optional<std::string>("dumb"),
                                                    std::optional<std::string>()}) {
        SCOPED_TRACE(term ? *term : "unset");
        prueba::FijarFecha(En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
        term_ = term;
        s = Correr({"--update"}, true);
        EXPECT_EQ(s.codigo, 0) << s.err;
        EXPECT_EQ(s.err.find('\033'), std::string::npos) << s.err;
        for (size_t r = s.err.find('\r'); r != std::string::npos; r = s.err.find('\r', r + 1))
            EXPECT_EQ(s.err.compare(r, 2, "\r\n"), 0) << s.err;  // the pty's own line ends only
        for (const char* etapa : {"comprobando", "descargando", "instalando"})
            EXPECT_NE(s.err.find(std::string("morvane-update: ") + etapa), std::string::npos)
                << s.err;
    }
}

}  // namespace
