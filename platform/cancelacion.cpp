#include "cancelacion.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace sistema {

Cancelacion::Cancelacion() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Cancelacion::~Cancelacion() {
    if (fd_ >= 0) ::close(fd_);
}

void Cancelacion::Activar() noexcept {
    activa_.store(true, std::memory_order_release);
    if (fd_ < 0) return;
    const uint64_t uno = 1;
    // EAGAIN only when the counter is full, which is active all the same.
    while (::write(fd_, &uno, sizeof uno) < 0 && errno == EINTR) {
    }
}

void Cancelacion::Reiniciar() noexcept {
    activa_.store(false, std::memory_order_release);
    if (fd_ < 0) return;
    uint64_t valor;
    while (::read(fd_, &valor, sizeof valor) < 0 && errno == EINTR) {
    }
}

bool Cancelacion::Dormir(int milisegundos) const noexcept {
    using Reloj = std::chrono::steady_clock;
    const auto fin = Reloj::now() + std::chrono::milliseconds(milisegundos);
    for (;;) {
        if (Activa()) return false;
        const auto falta = std::chrono::ceil<std::chrono::milliseconds>(fin - Reloj::now()).count();
        if (falta <= 0) return true;
        if (fd_ < 0) {
            // Without an eventfd the token is looked at every 10 ms.
            ::usleep(static_cast<useconds_t>(std::min<long long>(falta, 10) * 1000));
            continue;
        }
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(falta));
    }
}

}  // namespace sistema
