#include "errores.h"

#include <string>

namespace parcial {

namespace {

class CategoriaParcial : public std::error_category {
public:
    const char* name() const noexcept override { return "parcial"; }
    std::string message(int c) const override {
        switch (static_cast<Error>(c)) {
            case Error::Estado: return "the server did not answer the range request";
            case Error::RespuestaMalformada: return "the range answer cannot be read";
            case Error::OtroArchivo: return "the range answer is of another archive";
            case Error::Incompleta: return "the range answer ended early";
            case Error::RangoAlterado: return "an entry's bytes are not the signed ones";
            case Error::DirectorioAlterado: return "the central directory is not the signed one";
            case Error::Distinto: return "an unpacked file is not the signed one";
            case Error::ArchivoEntero: return "the server sent the whole archive";
        }
        return "unknown partial update error";
    }
};

}  // namespace

const std::error_category& Categoria() {
    static const CategoriaParcial c;
    return c;
}

std::error_code make_error_code(Error e) { return {static_cast<int>(e), Categoria()}; }

}  // namespace parcial
