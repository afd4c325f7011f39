// Content-Length reading: a byte count or -1, blind to surrounding blanks, agreeing with
// the C library's reading of a decimal number, and exact for plain digits.
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "comprobar.h"
#include "respuesta_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    const std::string texto(reinterpret_cast<const char*>(datos), n);
    const int32_t longitud = internet::LongitudDeContenido(texto);

    Comprobar(longitud >= -1, "a count, or -1 for unknown");
    Comprobar(internet::LongitudDeContenido(" \t" + texto + "\t ") == longitud,
              "blanks around the number change nothing");

    std::string_view t = texto;
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    if (longitud >= 0) {
        Comprobar(!t.empty() && t.find_first_not_of("0123456789+-.eE") == std::string_view::npos,
                  "only a decimal number has a length");
        const std::string numero(t);
        char* fin = nullptr;
        const double valor = std::strtod(numero.c_str(), &fin);
        Comprobar(fin == numero.c_str() + numero.size(), "the C library reads all of it");
        Comprobar(std::nearbyint(valor) == longitud, "the count is the number, rounded to even");
    }
    if (!t.empty() && t.size() <= 9 && t.find_first_not_of("0123456789") == std::string_view::npos)
        Comprobar(longitud == std::atoi(std::string(t).c_str()), "plain digits are read exactly");
    return 0;
}
