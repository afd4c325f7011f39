#include "lista_proxy.h"

#include <string_view>

#include "texto_http.h"

namespace internet {

namespace {

using namespace texto;

// Case-insensitive match where '*' stands for any run of characters.
bool CoincideComodin(std::string_view patron, std::string_view texto) {
    size_t p = 0, t = 0, estrella = std::string_view::npos, marca = 0;
    while (t < texto.size()) {
        if (p < patron.size() && patron[p] == '*') {
            estrella = p++;
            marca = t;
        } else if (p < patron.size() && Minuscula(patron[p]) == Minuscula(texto[t])) {
            ++p;
            ++t;
        } else if (estrella != std::string_view::npos) {
            p = estrella + 1;
            t = ++marca;
        } else {
            return false;
        }
    }
    while (p < patron.size() && patron[p] == '*') ++p;
    return p == patron.size();
}

}  // namespace

ProxyElegido TraducirProxy(const std::string& UsarProxy, const std::string& NoUsarProxy,
                           const std::string& esquema, const std::string& host) {
    ProxyElegido r;
    for (std::string_view entrada : Partir(NoUsarProxy, " \t\r\n;,")) {
        if (IgualesSinCaso(entrada, "<local>") ? host.find('.') == std::string::npos
                                               : CoincideComodin(entrada, host))
            return r;
    }
    std::string_view especifico, general;
    for (std::string_view entrada : Partir(UsarProxy, " \t\r\n;")) {
        const size_t igual = entrada.find('=');
        if (igual == std::string_view::npos) {
            if (general.empty()) general = entrada;
        } else if (especifico.empty() && igual + 1 < entrada.size() &&
                   IgualesSinCaso(entrada.substr(0, igual), esquema)) {
            especifico = entrada.substr(igual + 1);
        }
    }
    const std::string_view elegido = especifico.empty() ? general : especifico;
    if (!elegido.empty()) {
        r.Directo = false;
        r.Proxy = std::string(elegido);
    }
    return r;
}

}  // namespace internet
