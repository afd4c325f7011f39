// Proxy and bypass lists: the choice is one entry of the proxy list or none, a host named
// in the bypass list goes direct, and the wildcard match agrees with a plain (quadratic)
// reference.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "comprobar.h"
#include "texto_http.h"
#include "lista_proxy.h"

namespace {

// Dynamic programming over both texts: whether patron[i..] matches texto[j..].
bool Referencia(std::string_view patron, std::string_view texto) {
    std::vector<std::vector<char>> m(patron.size() + 1, std::vector<char>(texto.size() + 1, 0));
    m[patron.size()][texto.size()] = 1;
    for (size_t i = patron.size(); i-- > 0;)
        for (size_t j = texto.size() + 1; j-- > 0;)
            m[i][j] = patron[i] == '*'
                          ? (m[i + 1][j] || (j < texto.size() && m[i][j + 1]))
                          : (j < texto.size() && internet::texto::Minuscula(patron[i]) ==
                                                     internet::texto::Minuscula(texto[j]) &&
                             m[i + 1][j + 1]);
    return m[0][0];
}

std::vector<std::string> Entradas(const std::string& lista, const char* separadores) {
    std::vector<std::string> r;
    size_t i = 0;
    while (i <= lista.size()) {
        const size_t j = std::min(lista.find_first_of(separadores, i), lista.size());
        if (j > i) r.push_back(lista.substr(i, j - i));
        i = j + 1;
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    FuzzedDataProvider entrada(datos, n);
    const std::string usar = entrada.ConsumeRandomLengthString(256);
    const std::string noUsar = entrada.ConsumeRandomLengthString(256);
    const std::string esquema = entrada.ConsumeBool() ? "http" : "https";
    const std::string host = entrada.ConsumeRandomLengthString(256);
    const internet::ProxyElegido r = internet::TraducirProxy(usar, noUsar, esquema, host);

    Comprobar(r.Directo == r.Proxy.empty(), "direct exactly when no proxy is named");
    if (!r.Directo) {
        Comprobar(usar.find(r.Proxy) != std::string::npos, "the proxy comes from the list");
        Comprobar(r.Proxy.find_first_of(" \t\r\n;") == std::string::npos,
                  "the proxy is within one entry");
    }
    for (const std::string& e : Entradas(noUsar, " \t\r\n;,"))
        if (e.find('*') == std::string::npos && internet::texto::IgualesSinCaso(e, host))
            Comprobar(r.Directo, "a host named in the bypass list goes direct");

    if (noUsar.size() <= 64 && host.size() <= 64)
        Comprobar(internet::CoincideComodin(noUsar, host) == Referencia(noUsar, host),
                  "the wildcard match agrees with the reference");
    return 0;
}
