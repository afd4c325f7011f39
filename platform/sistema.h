// Operating-system services the component and the window rely on: files, temporary
// names, clocks, file dates, the application directory, starting processes.
//
// Nothing here throws. Failures are reported through return values.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sistema {

// A calendar day. The default value (0/0/0) is earlier than every real date.
struct Fecha {
    int32_t Anio = 0;
    int32_t Mes = 0;
    int32_t Dia = 0;

    // The date of that day, or nothing when the three numbers form no date of the
    // Gregorian calendar (month 1-12, day within the month, year 1-9999).
    static std::optional<Fecha> Crear(int32_t anio, int32_t mes, int32_t dia);

    auto operator<=>(const Fecha&) const = default;
};

// Local date and time of a file's last modification, to the second.
struct FechaHora {
    Fecha Dia;
    int32_t Hora = 0;
    int32_t Minuto = 0;
    int32_t Segundo = 0;
};

// Creates an empty file with a unique name "<prefix>XXXXXX" in `directorio` (mode 0600)
// and returns its full path, or nothing when it cannot be created (errno tells why).
std::optional<std::string> GetTempFileNameA(const std::string& directorio,
                                            const std::string& prefijo);

// Whether this process may create files in `carpeta`, found by creating one (with no name
// where the file system allows it, otherwise named and removed at once): the mode bits
// alone do not tell, since ACLs, a read-only mount and the superuser decide too. False only
// when the system refuses for lack of permission (EACCES, EPERM, EROFS); any other failure
// is not a matter of permission and gives true.
bool PermiteCrearFicheros(const std::string& carpeta);

// Milliseconds of a monotonic clock, wrapping at 2^32 like the platform's tick count.
uint32_t GetTickCount();

// Last modification of `ruta` in local time; nothing when the file cannot be examined.
std::optional<FechaHora> FechaModificacion(const std::string& ruta);

// Sets the modification (and access) time of `ruta` to now.
bool TocarFichero(const std::string& ruta);

// Directory of the running executable, without a trailing '/' except at the root.
std::string App_Path();

// `nombre` inside the directory `dir` ("" and "/" need no separator added).
std::string Unir(const std::string& dir, const std::string& nombre);

// Directory part of `ruta` (text before its last '/'); the current directory when
// `ruta` holds no '/'; "/" for a file at the root.
std::string ObtenerCarpeta(const std::string& ruta);

bool Existe(const std::string& ruta);   // a file or directory of that name exists
bool Borrar(const std::string& ruta);   // unlinks a file
bool Renombrar(const std::string& origen, const std::string& destino);

// Starting processes. No shell is involved: `programa` is one exact path when it holds a
// '/', otherwise it is looked up in the application directory, then the current directory,
// then PATH. The child starts in `directorio` (the caller's current directory when empty),
// in a session of its own, with standard input from /dev/null, output and error shared
// with this process and no other descriptor of it. Returns its process id, or nothing
// when it could not be started.
std::optional<int> IniciarProceso(const std::string& programa,
                                  const std::vector<std::string>& argumentos,
                                  const std::string& directorio = {});

// State of a child started by IniciarProceso, checked without blocking.
enum class EstadoProceso { EnMarcha, Terminado, Fallido };
// Terminado: exited with status 0. Fallido: exited non-zero, killed by a signal, or the
// pid is not a child of ours. Once it reports Terminado or Fallido the child is reaped.
EstadoProceso ConsultarProceso(int pid);

// Termination requests (SIGTERM, SIGHUP, SIGINT) turned into bytes on a descriptor while
// an instance lives, so that an event loop can end the program in order instead of the
// process dying in the middle of a download or an install. One instance at a time.
class AvisoDeTerminacion {
public:
    AvisoDeTerminacion();   // Descriptor() < 0 when the requests could not be caught
    ~AvisoDeTerminacion();  // restores the previous handling; a request still unread is lost
    AvisoDeTerminacion(const AvisoDeTerminacion&) = delete;
    AvisoDeTerminacion& operator=(const AvisoDeTerminacion&) = delete;

    int Descriptor() const;  // readable when a request has arrived
    int Leer();              // the next request's signal number; 0 when none is pending

private:
    bool instalado_ = false;
};

// Ends the process by `senal` with its default action, so that whoever started it sees
// how it ended. For a request caught by AvisoDeTerminacion, once the program has wound up.
[[noreturn]] void FinalizarConSenal(int senal);

}  // namespace sistema
