#include "sistema.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <iterator>

extern char** environ;

namespace sistema {

namespace {

bool EsBisiesto(int32_t anio) {
    return (anio % 4 == 0 && anio % 100 != 0) || anio % 400 == 0;
}


constexpr int kSenalesDeTerminacion[] = {SIGTERM, SIGHUP, SIGINT};
int g_tuboSenales[2] = {-1, -1};
struct sigaction g_accionesPrevias[std::size(kSenalesDeTerminacion)];

// Async-signal-safe: one byte, the signal's number, on the pipe.
void AnotarSenal(int senal) {
    const int errnoGuardado = errno;
    const unsigned char byte = static_cast<unsigned char>(senal);
    [[maybe_unused]] ssize_t r = ::write(g_tuboSenales[1], &byte, 1);
    errno = errnoGuardado;
}

bool EsEjecutable(const std::string& ruta) {
    struct stat st {};
    return ::stat(ruta.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(ruta.c_str(), X_OK) == 0;
}

std::string DirectorioActual() {
    std::string buf(PATH_MAX, '\0');
    if (::getcwd(buf.data(), buf.size()) == nullptr) return {};
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

// Application directory, then current directory, then PATH; empty when not found.
std::string ResolverPrograma(const std::string& programa) {
    if (programa.find('/') != std::string::npos) return programa;
    for (const std::string& dir : {App_Path(), DirectorioActual()}) {
        if (dir.empty()) continue;
        std::string candidato = Unir(dir, programa);
        if (EsEjecutable(candidato)) return candidato;
    }
    const char* path = std::getenv("PATH");
    std::string lista = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t inicio = 0;
    while (inicio <= lista.size()) {
        size_t fin = lista.find(':', inicio);
        if (fin == std::string::npos) fin = lista.size();
        std::string dir = lista.substr(inicio, fin - inicio);
        if (!dir.empty()) {
            std::string candidato = Unir(dir, programa);
            if (EsEjecutable(candidato)) return candidato;
        }
        inicio = fin + 1;
    }
    return {};
}

// posix_spawn attributes and file actions, released on every path.
struct AtributosSpawn {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t acciones;
    bool attrOk = false, accionesOk = false;
    AtributosSpawn() {
        attrOk = posix_spawnattr_init(&attr) == 0;
        accionesOk = posix_spawn_file_actions_init(&acciones) == 0;
    }
    ~AtributosSpawn() {
        if (attrOk) posix_spawnattr_destroy(&attr);
        if (accionesOk) posix_spawn_file_actions_destroy(&acciones);
    }
    AtributosSpawn(const AtributosSpawn&) = delete;
    AtributosSpawn& operator=(const AtributosSpawn&) = delete;
};

}  // namespace

std::optional<Fecha> Fecha::Crear(int32_t anio, int32_t mes, int32_t dia) {
    static constexpr int32_t kDias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (anio < 1 || anio > 9999 || mes < 1 || mes > 12 || dia < 1) return std::nullopt;
    int32_t maximo = kDias[mes - 1] + (mes == 2 && EsBisiesto(anio) ? 1 : 0);
    if (dia > maximo) return std::nullopt;
    return Fecha{anio, mes, dia};
}

std::optional<std::string> GetTempFileNameA(const std::string& directorio,
                                            const std::string& prefijo) {
    std::string plantilla = Unir(directorio, prefijo + "XXXXXX");
    int fd = ::mkstemp(plantilla.data());
    if (fd < 0) return std::nullopt;
    ::close(fd);
    return plantilla;
}

bool PermiteCrearFicheros(const std::string& carpeta) {
    const auto sinPermiso = [] { return errno == EACCES || errno == EPERM || errno == EROFS; };
    int fd;
    do {
        fd = ::open(carpeta.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    // EISDIR, EOPNOTSUPP: no files without a name here (an old kernel, some file systems).
    if (errno != EISDIR && errno != EOPNOTSUPP) return !sinPermiso();
    std::string plantilla = Unir(carpeta, ".permiso-XXXXXX");
    fd = ::mkstemp(plantilla.data());
    if (fd < 0) return !sinPermiso();
    ::unlink(plantilla.c_str());
    ::close(fd);
    return true;
}

uint32_t GetTickCount() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

std::optional<FechaHora> FechaModificacion(const std::string& ruta) {
    struct stat st {};
    if (::stat(ruta.c_str(), &st) != 0) return std::nullopt;
    struct tm local {};
    time_t t = st.st_mtim.tv_sec;
    if (::localtime_r(&t, &local) == nullptr) return std::nullopt;
    auto dia = Fecha::Crear(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    if (!dia) return std::nullopt;
    return FechaHora{*dia, local.tm_hour, local.tm_min, local.tm_sec};
}

bool TocarFichero(const std::string& ruta) {
    return ::utimensat(AT_FDCWD, ruta.c_str(), nullptr, 0) == 0;
}

std::string App_Path() {
    std::string buf(PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return DirectorioActual();
    buf.resize(static_cast<size_t>(n));
    return ObtenerCarpeta(buf);
}

std::string Unir(const std::string& dir, const std::string& nombre) {
    if (dir.empty() || dir.back() == '/') return dir + nombre;
    return dir + "/" + nombre;
}

std::string ObtenerCarpeta(const std::string& ruta) {
    size_t pos = ruta.rfind('/');
    if (pos == std::string::npos) return DirectorioActual();
    if (pos == 0) return "/";
    return ruta.substr(0, pos);
}

bool Existe(const std::string& ruta) {
    struct stat st {};
    return ::stat(ruta.c_str(), &st) == 0;
}

bool Borrar(const std::string& ruta) { return ::unlink(ruta.c_str()) == 0; }

bool Renombrar(const std::string& origen, const std::string& destino) {
    return ::rename(origen.c_str(), destino.c_str()) == 0;
}

std::optional<int> IniciarProceso(const std::string& programa,
                                  const std::vector<std::string>& argumentos,
                                  const std::string& directorio) {
    try {
        std::string ruta = ResolverPrograma(programa);
        if (ruta.empty()) return std::nullopt;

        std::vector<char*> argv;
        argv.reserve(argumentos.size() + 2);
        argv.push_back(const_cast<char*>(programa.c_str()));
        for (const std::string& a : argumentos) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        AtributosSpawn s;
        if (!s.attrOk || !s.accionesOk) return std::nullopt;
        // A session of its own, default signal dispositions and an empty signal mask:
        // the child must not inherit what this process ignores or blocks.
        sigset_t vacio, porDefecto;
        sigemptyset(&vacio);
        sigemptyset(&porDefecto);
        for (int senal : {SIGPIPE, SIGXFSZ, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM,
                          SIGALRM, SIGUSR1, SIGUSR2})
            sigaddset(&porDefecto, senal);
        if (posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETSIGDEF) != 0 ||
            posix_spawnattr_setsigmask(&s.attr, &vacio) != 0 ||
            posix_spawnattr_setsigdefault(&s.attr, &porDefecto) != 0)
            return std::nullopt;
        // Descriptors opened without close-on-exec (libcurl's sockets among them) would
        // otherwise keep connections of ours alive in the child.
        if (posix_spawn_file_actions_addopen(&s.acciones, STDIN_FILENO, "/dev/null", O_RDONLY,
                                             0) != 0 ||
            posix_spawn_file_actions_addclosefrom_np(&s.acciones, STDERR_FILENO + 1) != 0)
            return std::nullopt;
        if (!directorio.empty() &&
            posix_spawn_file_actions_addchdir_np(&s.acciones, directorio.c_str()) != 0)
            return std::nullopt;

        pid_t pid = 0;
        if (posix_spawn(&pid, ruta.c_str(), &s.acciones, &s.attr, argv.data(), environ) != 0)
            return std::nullopt;
        return static_cast<int>(pid);
    } catch (...) {
        return std::nullopt;
    }
}

EstadoProceso ConsultarProceso(int pid) {
    int estado = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &estado, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return EstadoProceso::EnMarcha;
    if (r < 0) return EstadoProceso::Fallido;
    return (WIFEXITED(estado) && WEXITSTATUS(estado) == 0) ? EstadoProceso::Terminado
                                                           : EstadoProceso::Fallido;
}

AvisoDeTerminacion::AvisoDeTerminacion() {
    if (g_tuboSenales[0] >= 0 || ::pipe2(g_tuboSenales, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction accion {};
    accion.sa_handler = &AnotarSenal;
    accion.sa_flags = SA_RESTART;
    sigemptyset(&accion.sa_mask);
    for (size_t i = 0; i < std::size(kSenalesDeTerminacion); ++i)
        ::sigaction(kSenalesDeTerminacion[i], &accion, &g_accionesPrevias[i]);
    instalado_ = true;
}

AvisoDeTerminacion::~AvisoDeTerminacion() {
    if (!instalado_) return;
    for (size_t i = 0; i < std::size(kSenalesDeTerminacion); ++i)
        ::sigaction(kSenalesDeTerminacion[i], &g_accionesPrevias[i], nullptr);
    ::close(g_tuboSenales[0]);
    ::close(g_tuboSenales[1]);
    g_tuboSenales[0] = g_tuboSenales[1] = -1;
}

int AvisoDeTerminacion::Descriptor() const { return instalado_ ? g_tuboSenales[0] : -1; }

int AvisoDeTerminacion::Leer() {
    if (!instalado_) return 0;
    unsigned char byte = 0;
    ssize_t r;
    do {
        r = ::read(g_tuboSenales[0], &byte, 1);
    } while (r < 0 && errno == EINTR);
    return r == 1 ? byte : 0;
}

void FinalizarConSenal(int senal) {
    ::signal(senal, SIG_DFL);
    sigset_t conjunto;
    sigemptyset(&conjunto);
    sigaddset(&conjunto, senal);
    ::sigprocmask(SIG_UNBLOCK, &conjunto, nullptr);
    ::raise(senal);
    ::_exit(128 + senal);
}

}  // namespace sistema
