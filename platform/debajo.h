// Paths resolved beneath a directory descriptor, never through a symlink, so that whoever
// can rename things inside a tree cannot make us open, write or remove something outside
// it. The same rule as systemd's chase() and openat2's RESOLVE_BENEATH: every component of
// a relative path is a real directory (or, for the last, whatever the caller then looks
// at without following it).
//
// Nothing here throws. Failures come back as errno values (ELOOP or ENOTDIR for a symlink
// in the way, EINVAL for a path that is not plainly relative).
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace sistema {

// One open descriptor, closed when the object goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& o) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Obtener() const { return fd_; }
    bool Valido() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A relative path made only of components that are neither empty, "." nor "..", with no
// NUL or line break: what a journal or an archive may name inside the installation.
bool RutaRelativaValida(std::string_view ruta);

class Disco;

// The directory `relativa` beneath `base` ("" is `base` itself), opened read-only without
// following any symlink on the way. Given a disk `crear`, missing components are made
// through it with `modo` (`rutaBase` names `base` for its witness; syncing their parents
// is the caller's business).
Descriptor AbrirCarpetaDebajo(int base, std::string_view relativa, std::error_code& error,
                              const Disco* crear = nullptr, unsigned modo = 0700,
                              const std::string& rutaBase = {});

// The directory named by `ruta`, where the caller chose it (the installation directory):
// opened read-only; symlinks on that path are the administrator's and are followed.
Descriptor AbrirCarpeta(const std::string& ruta, std::error_code& error);

// Text before the last '/' ("" when there is none) and after it.
std::pair<std::string, std::string> PadreYNombre(std::string_view relativa);

}  // namespace sistema
