// Stand-ins for a session's front-end, shared by the tests and benchmarks that run one.
#pragma once

#include <functional>
#include <string>

#include "sesion.h"

namespace prueba {

// Each step at once on the caller's thread, and its report right after it: the events
// come in one fixed order, without threads or an event loop.
class EnLinea : public sesion::Hilos {
public:
    void Lanzar(std::function<void()> paso) override { paso(); }
    void Entregar(std::function<void()> aviso) override { aviso(); }
    void Esperar() override {}
};

// A front-end that shows nothing: for those who read the outcome and the files.
class Mudo : public sesion::Observador {
public:
    void Limpiar() override {}
    void Estado(int32_t, const std::string&) override {}
    void Avance(const sesion::Progreso&) override {}
    void HabilitarBotonDescargar(bool) override {}
    void HabilitarCancelar(bool) override {}
    void RelojDeArena(bool) override {}
};

}  // namespace prueba
