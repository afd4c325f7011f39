// Response heads, one line at a time as libcurl hands them over: a head starts only at a
// status line and ends only at a blank line, keeps its lines without their ends, and is
// given exactly one role once complete.
// The same text as the trace shows it: credentials masked, every line kept where it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "comprobar.h"
#include "texto_http.h"
#include "respuesta_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    const std::string_view todo(reinterpret_cast<const char*>(datos), n);
    internet::LectorCabezas lector;
    bool dentro = false;  // the model: inside a head that has not ended yet
    size_t i = 0;
    while (i < todo.size()) {
        const size_t fin = std::min(todo.find('\n', i), todo.size() - 1) + 1;
        const std::string_view linea = todo.substr(i, fin - i);
        i = fin;
        std::string_view sinFin = linea;
        while (!sinFin.empty() && (sinFin.back() == '\n' || sinFin.back() == '\r'))
            sinFin.remove_suffix(1);

        const bool termina = lector.Linea(linea);
        const internet::Cabeza& c = lector.Actual();
        if (!dentro) {
            dentro = sinFin.size() >= 5 &&
                     internet::texto::IgualesSinCaso(sinFin.substr(0, 5), "HTTP/");
            Comprobar(!termina, "only a head that has begun can end");
            if (dentro)
                Comprobar(c.lineas.size() == 1 && c.lineas[0] == sinFin && !c.completa,
                          "a status line begins a new head");
        } else {
            Comprobar(termina == sinFin.empty(), "a head ends exactly at a blank line");
            dentro = !termina;
            Comprobar(c.completa == termina, "the head is complete once it ended");
        }
        if (c.lineas.empty()) continue;
        Comprobar(internet::texto::IgualesSinCaso(c.lineas[0].substr(0, 5), "HTTP/"),
                  "every head begins with a status line");
        Comprobar(c.campos.size() < c.lineas.size(), "each field comes from a line of its own");
        for (const std::string& l : c.lineas)
            Comprobar(!l.empty() && l.back() != '\r' && l.find('\n') == std::string::npos,
                      "lines are kept without their ends");
        for (const auto& [nombre, valor] : c.campos)
            Comprobar(nombre.find(':') == std::string::npos, "a field name holds no colon");
        Comprobar(c.estado >= 0 && c.estado <= 9999, "the status has at most four digits");
        if (termina) {
            const auto papel = internet::PapelDeCabeza(c, true);
            std::string ubicacion;
            if (papel == internet::Papel::Redireccion)
                Comprobar(internet::BuscarCampo(c.campos, "Location", 0, ubicacion),
                          "a redirect has somewhere to go");
            if (c.estado >= 200 && c.estado < 300)
                Comprobar(papel == internet::Papel::Final, "a 2xx answer is final");
        }
    }

    const std::string limpio = internet::SinCredenciales(todo);
    Comprobar(std::count(limpio.begin(), limpio.end(), '\n') ==
                  std::count(todo.begin(), todo.end(), '\n'),
              "masking keeps every line");
    Comprobar(internet::SinCredenciales(limpio) == limpio, "masking twice changes nothing more");
    for (size_t j = 0; j < limpio.size();) {
        const size_t fin = std::min(limpio.find('\n', j), limpio.size());
        std::string_view l = std::string_view(limpio).substr(j, fin - j);
        j = fin + 1;
        while (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        const size_t dp = l.find(':');
        if (dp == std::string_view::npos || l.empty() || l.front() == ' ' || l.front() == '\t')
            continue;
        const std::string_view nombre = internet::texto::Recortar(l.substr(0, dp));
        for (const char* c : {"Authorization", "Proxy-Authorization", "Cookie", "Set-Cookie"})
            if (internet::texto::IgualesSinCaso(nombre, c))
                Comprobar(internet::texto::Recortar(l.substr(dp + 1)).empty() ||
                              (l.size() >= 3 && l.substr(l.size() - 3) == "***"),
                          "a credential's value is masked");
    }
    return 0;
}
