// Last-Modified reading at fixed positions: a date comes out exactly when the day, month
// and year positions hold one, and it is the date written there.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "comprobar.h"
#include "lecturas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    const std::string texto(reinterpret_cast<const char*>(datos), n);
    const auto fecha = lecturas::FechaDeCabecera(texto);

    // "Sun, 06 Nov 1994 08:49:37 GMT": day at 5, month at 8, year at 12; the shortest text
    // that reaches the year and still ends in four more characters has 20.
    static const char* const kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::optional<sistema::Fecha> esperada;
    if (texto.size() >= 20) {
        const std::string dia = texto.substr(5, 2), mes = texto.substr(8, 3),
                          anio = texto.substr(12, 4);
        int m = 0;
        for (int i = 0; i < 12; ++i)
            if (mes == kMeses[i]) m = i + 1;
        if (m != 0 && lecturas::SonDigitos(dia) && lecturas::SonDigitos(anio))
            esperada = sistema::Fecha::Crear(std::stoi(anio), m, std::stoi(dia));
    }
    Comprobar(fecha.has_value() == esperada.has_value(),
              "a date comes out exactly when the positions hold a valid one");
    if (!fecha) return 0;
    Comprobar(*fecha == *esperada, "the date is the one written at the positions");
    char dia[8], anio[8];
    std::snprintf(dia, sizeof dia, "%02d", fecha->Dia);
    std::snprintf(anio, sizeof anio, "%04d", fecha->Anio);
    Comprobar(texto.compare(5, 2, dia) == 0 && texto.compare(8, 3, kMeses[fecha->Mes - 1]) == 0 &&
                  texto.compare(12, 4, anio) == 0,
              "the date written back gives the same text at its positions");
    return 0;
}
