// Helpers shared by every test program, the demo's server and the benchmarks: temporary
// directories, whole-file reads and writes, file dates, HTTP dates, the port in the form
// the component takes it, starting and waiting for a program, and update keys and
// signatures made with the openssl tool. Standard library and POSIX only, so that anything
// on the test side can include it.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace prueba {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, whose name starts with
// `nombre` (blanks and accents welcome); removed with everything in it at the end.
class DirectorioTemporal {
public:
    explicit DirectorioTemporal(const std::string& nombre) {
        std::string plantilla = (fs::temp_directory_path() / (nombre + "XXXXXX")).string();
        if (!::mkdtemp(plantilla.data())) throw std::runtime_error("mkdtemp " + plantilla);
        ruta_ = plantilla;
    }
    ~DirectorioTemporal() {
        std::error_code ec;
        fs::remove_all(ruta_, ec);
    }
    DirectorioTemporal(const DirectorioTemporal&) = delete;
    DirectorioTemporal& operator=(const DirectorioTemporal&) = delete;

    const std::string& Ruta() const { return ruta_; }
    std::string En(const std::string& nombre) const { return ruta_ + "/" + nombre; }
    bool Hay(const std::string& nombre) const { return fs::exists(En(nombre)); }

    // The download component's temporary files ("zkD...") left in the directory.
    std::vector<std::string> Temporales() const {
        std::vector<std::string> nombres;
        for (const auto& e : fs::directory_iterator(ruta_)) {
            std::string n = e.path().filename().string();
            if (n.rfind("zkD", 0) == 0) nombres.push_back(n);
        }
        return nombres;
    }

private:
    std::string ruta_;
};

// Replaces the file's contents with `texto`, byte for byte; false when that failed.
inline bool Escribir(const std::string& ruta, const std::string& texto, bool ejecutable = false) {
    {
        std::ofstream f(ruta, std::ios::binary | std::ios::trunc);
        f << texto;
        if (!f) return false;
    }
    return !ejecutable || ::chmod(ruta.c_str(), 0755) == 0;
}

// The whole file, byte for byte; "" when it cannot be read.
inline std::string Leer(const std::string& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// That local date and time as a clock value, whatever the machine's zone.
inline time_t HoraLocal(int anio, int mes, int dia, int hora = 12, int minuto = 0) {
    struct tm t {};
    t.tm_year = anio - 1900;
    t.tm_mon = mes - 1;
    t.tm_mday = dia;
    t.tm_hour = hora;
    t.tm_min = minuto;
    t.tm_isdst = -1;
    return ::mktime(&t);
}

// Sets the file's modification (and access) time.
inline void FijarFecha(const std::string& ruta, time_t instante) {
    const struct timespec veces[2] = {{instante, 0}, {instante, 0}};
    if (::utimensat(AT_FDCWD, ruta.c_str(), veces, 0) != 0)
        throw std::runtime_error("utimensat " + ruta);
}

// The file's modification time; -1 when there is no such file.
inline time_t FechaDe(const std::string& ruta) {
    struct stat st {};
    return ::stat(ruta.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

// An HTTP date in the fixed form "Sun, 06 Nov 1994 08:49:37 GMT": always a two-digit day
// and English names, spelled out by hand because the C library's follow the locale (which
// the GUI toolkit installs).
inline std::string FechaHttp(time_t instante) {
    static constexpr const char* kDias[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t {};
    if (::gmtime_r(&instante, &t) == nullptr) return {};
    char texto[64];
    std::snprintf(texto, sizeof texto, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDias[t.tm_wday],
                  t.tm_mday, kMeses[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return texto;
}

// The port reaches the platform as a signed 16-bit value, read there as unsigned, so a
// loopback port above 32767 (every ephemeral port) is given in its signed 16-bit form.
inline int16_t Puerto16(uint16_t puerto) { return static_cast<int16_t>(puerto); }

// Starts `args` (the program is args[0], looked up on PATH) with the given file actions;
// nothing when it could not be started.
inline std::optional<pid_t> Iniciar(std::vector<std::string> args,
                                    const posix_spawn_file_actions_t* acciones = nullptr) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], acciones, nullptr, argv.data(), environ) != 0)
        return std::nullopt;
    return pid;
}

// The child's wait status; -1 (neither an exit nor a signal) when it cannot be had.
inline int Esperar(pid_t pid) {
    int estado = 0;
    while (::waitpid(pid, &estado, 0) < 0)
        if (errno != EINTR) return -1;
    return estado;
}

// `texto` as one word of a shell command line.
inline std::string Citar(const std::string& texto) {
    std::string r = "'";
    for (char c : texto) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

// Runs a shell command line; its exit status (-1: no exit) and its standard output.
struct Salida {
    int Estado = -1;
    std::string Texto;
};
inline Salida Ejecutar(const std::string& orden) {
    Salida s;
    FILE* f = ::popen(orden.c_str(), "r");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.Texto.append(buf, n);
    const int estado = ::pclose(f);
    if (estado != -1 && WIFEXITED(estado)) s.Estado = WEXITSTATUS(estado);
    return s;
}

// A new Ed25519 private key made by openssl in the PEM file `pem`; returns its public key
// in the form the build takes (base64 of the raw 32 bytes).
inline std::string ClaveOpenssl(const std::string& pem) {
    Ejecutar("openssl genpkey -algorithm ed25519 -out " + Citar(pem));
    std::string b64 = Ejecutar("openssl pkey -in " + Citar(pem) +
                               " -pubout -outform DER | tail -c 32 | base64")
                          .Texto;
    while (!b64.empty() && b64.back() == '\n') b64.pop_back();
    return b64;
}

// `datos` signed (pure Ed25519) by the key in `pem` with the openssl tool, as base64.
inline std::string FirmaOpenssl(const std::string& pem, const std::string& datos) {
    char plantilla[] = "/tmp/firmadoXXXXXX";
    const int fd = ::mkstemp(plantilla);
    if (fd < 0) return {};
    ::close(fd);
    Escribir(plantilla, datos);
    std::string b64 = Ejecutar("openssl pkeyutl -sign -inkey " + Citar(pem) + " -rawin -in " +
                               Citar(plantilla) + " | base64 -w0").Texto;
    ::unlink(plantilla);
    return b64;
}

// The release statement of `archivo` signed by the key in `pem`, made with coreutils and
// the openssl tool as a maker without morvane-sign would (the README's recipe).
inline std::string DeclaracionOpenssl(const std::string& pem, const std::string& archivo,
                                      const std::string& publicado = "2011-11-06T08:49:37Z",
                                      const std::string& caduca = "2099-01-01T00:00:00Z") {
    const std::string a = Citar(archivo), d = Citar(archivo + ".declaracion");
    return Ejecutar("printf 'morvane-update firma 2\narchivo Morvane.zip\ntamaño %s\nsha256 %s\n"
                    "publicado %s\ncaduca %s\n' \"$(stat -c %s " + a + ")\" \"$(sha256sum < " + a +
                    " | cut -c1-64)\" " + publicado + " " + caduca + " > " + d + " && cat " + d +
                    " && printf 'firma %s\n' \"$(openssl pkeyutl -sign -inkey " + Citar(pem) +
                    " -rawin -in " + d + " | base64 -w0)\"; rm -f " + d)
        .Texto;
}

// A stand-in program (a shell script) that lists the descriptors it was started with into
// "descriptores" beside itself, as `ls -l` shows them, then runs `despues`.
inline std::string GuionQueListaDescriptores(const std::string& despues) {
    return "#!/bin/sh\nd=$(dirname \"$0\")\nls -l /proc/self/fd > \"$d/descriptores\"\n" +
           despues + "exit 0\n";
}

// The lines of such a listing for descriptors above 2, except the one ls reads through.
inline std::vector<std::string> DescriptoresHeredados(const std::string& listado) {
    std::vector<std::string> heredados;
    std::istringstream lineas(Leer(listado));
    for (std::string l; std::getline(lineas, l);) {
        const size_t flecha = l.find(" -> ");
        if (flecha == std::string::npos || l.find("/fd", flecha) != std::string::npos) continue;
        if (std::atoi(l.c_str() + l.rfind(' ', flecha - 1) + 1) > 2) heredados.push_back(l);
    }
    return heredados;
}

// Waits (a few seconds at most) until every other thread of this process sleeps in the
// kernel, so that a fork now copies no lock that one of them holds halfway.
inline void EsperarHilosQuietos() {
    const std::string propio = std::to_string(::gettid());
    for (int vuelta = 0; vuelta < 300; ++vuelta) {
        bool quietos = true;
        for (const auto& h : fs::directory_iterator("/proc/self/task")) {
            if (h.path().filename() == propio) continue;
            const std::string stat = Leer(h.path().string() + "/stat");
            const size_t fin = stat.rfind(')');
            if (fin != std::string::npos && fin + 2 < stat.size() && stat[fin + 2] != 'S') quietos = false;
        }
        if (quietos) return;
        ::usleep(10000);
    }
}

}  // namespace prueba
