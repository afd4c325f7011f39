#include "lista_proxy.h"

#include <string_view>
#include <vector>

#include "texto_http.h"

namespace internet {

namespace {

using namespace texto;

// First position of `pieza` in `texto`, case-insensitively, or npos. Knuth-Morris-Pratt:
// the text is read once, never stepping back.
size_t BuscarSinCaso(std::string_view texto, std::string_view pieza) {
    if (pieza.empty()) return 0;
    std::vector<size_t> borde(pieza.size(), 0);  // longest proper border of each prefix
    for (size_t i = 1, k = 0; i < pieza.size(); ++i) {
        while (k > 0 && Minuscula(pieza[i]) != Minuscula(pieza[k])) k = borde[k - 1];
        if (Minuscula(pieza[i]) == Minuscula(pieza[k])) ++k;
        borde[i] = k;
    }
    for (size_t i = 0, k = 0; i < texto.size(); ++i) {
        while (k > 0 && Minuscula(texto[i]) != Minuscula(pieza[k])) k = borde[k - 1];
        if (Minuscula(texto[i]) == Minuscula(pieza[k])) ++k;
        if (k == pieza.size()) return i + 1 - k;
    }
    return std::string_view::npos;
}

}  // namespace

bool CoincideComodin(std::string_view patron, std::string_view texto) {
    const size_t primera = patron.find('*');
    if (primera == std::string_view::npos) return IgualesSinCaso(patron, texto);
    // The text must begin with what precedes the first star and end with what follows
    // the last; the pieces between stars must appear in order in what lies between.
    // Taking each piece at its first place leaves the most room for the rest.
    const size_t ultima = patron.rfind('*');
    const std::string_view inicio = patron.substr(0, primera), fin = patron.substr(ultima + 1);
    if (texto.size() < inicio.size() + fin.size() ||
        !IgualesSinCaso(texto.substr(0, inicio.size()), inicio) ||
        !IgualesSinCaso(texto.substr(texto.size() - fin.size()), fin))
        return false;
    std::string_view resto = texto.substr(inicio.size(), texto.size() - inicio.size() - fin.size());
    std::string_view medio = patron.substr(primera + 1, ultima - primera);
    while (!medio.empty()) {
        const size_t estrella = medio.find('*');
        const std::string_view pieza = medio.substr(0, estrella);
        const size_t donde = BuscarSinCaso(resto, pieza);
        if (donde == std::string_view::npos) return false;
        resto.remove_prefix(donde + pieza.size());
        medio.remove_prefix(estrella + 1);
    }
    return true;
}

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
