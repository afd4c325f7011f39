// A cancel token: how a Cancelar, a close or a termination signal reaches a flow that is
// waiting on the network, the disk or a child process on another thread. It is an eventfd:
// a wait polls its descriptor beside the socket, so it wakes at once instead of looking
// every few milliseconds, and nobody's event loop is run from inside the wait.
//
// Activar may be called from any thread and from a signal handler; it stays active until
// Reiniciar. Nothing here throws.
#pragma once

#include <atomic>

namespace sistema {

class Cancelacion {
public:
    Cancelacion();   // Descriptor() < 0 when no eventfd could be made: Activa still works
    ~Cancelacion();
    Cancelacion(const Cancelacion&) = delete;
    Cancelacion& operator=(const Cancelacion&) = delete;

    void Activar() noexcept;
    bool Activa() const noexcept { return activa_.load(std::memory_order_acquire); }
    // Back to inactive, for the next flow; only while no wait watches it.
    void Reiniciar() noexcept;
    // Readable (POLLIN) while active.
    int Descriptor() const noexcept { return fd_; }

    // Sleeps `milisegundos`, or less when the token is (or becomes) active. False when it
    // ended because of the token.
    bool Dormir(int milisegundos) const noexcept;

private:
    int fd_ = -1;
    std::atomic<bool> activa_{false};
};

}  // namespace sistema
