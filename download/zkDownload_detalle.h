// The component's pure pieces, reachable by its tests: the values of a progress event, the
// status codes and their texts, and the access type the proxy lists select.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace zkdetalle {

// What one Progreso event carries besides the byte counts. Valido is false when a rounded
// value does not fit 32 bits (no event for that block), unless `acotar` holds such values
// at the 32-bit limits.
struct ValoresProgreso {
    double Porcentaje = 0;
    int32_t SegundosTranscurridos = 0;
    double SegundosRestantes = 0;
    int32_t BytesPorSegundo = 0;
    bool Valido = false;
};
ValoresProgreso CalcularProgreso(int32_t bytesTotales, int32_t bytesRecibidos,
                                 uint32_t milisegundos, bool acotar = false);

// The component's status codes (1-8, 998, 999) as error values; message() is the status
// text, empty for a code without one of its own (an HTTP status).
const std::error_category& CategoriaEstado();
inline std::error_code Estado(int32_t codigo) { return {codigo, CategoriaEstado()}; }

// A status code as at least three digits ("001", "404", "1234").
std::string FormatearCodigo(int32_t codigo);

// The access type of InternetOpenA the two proxy lists select: either list, even one of
// blanks, means the caller's proxy settings; both empty, the machine's.
int32_t TipoAcceso(const std::string& usarProxy, const std::string& noUsarProxy);

}  // namespace zkdetalle
