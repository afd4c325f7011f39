#include "respuesta_http.h"

#include "texto_http.h"

namespace internet {

namespace {

using namespace texto;

void LeerLineaEstado(Cabeza& c, std::string_view linea) {
    const size_t a = linea.find(' ');
    c.version = std::string(linea.substr(0, a));
    if (a == std::string_view::npos) return;
    std::string_view resto = linea.substr(a + 1);
    const size_t b = resto.find(' ');
    c.codigo = std::string(resto.substr(0, b));
    if (b != std::string_view::npos) c.texto = std::string(resto.substr(b + 1));
    c.estado = 0;
    for (char d : c.codigo) {
        if (d < '0' || d > '9' || c.estado > 999) break;
        c.estado = c.estado * 10 + (d - '0');
    }
}

}  // namespace

bool BuscarCampo(const Campos& campos, std::string_view nombre, uint32_t indice,
                 std::string& valor) {
    for (const auto& [n, v] : campos) {
        if (!IgualesSinCaso(n, nombre)) continue;
        if (indice-- == 0) {
            valor = v;
            return true;
        }
    }
    return false;
}

bool LectorCabezas::Linea(std::string_view linea) {
    while (!linea.empty() && (linea.back() == '\n' || linea.back() == '\r'))
        linea.remove_suffix(1);
    if (cabeza_.completa || cabeza_.lineas.empty()) {
        if (linea.empty()) return false;
        cabeza_ = Cabeza{};  // a new response: redirect and challenge heads are replaced
        LeerLineaEstado(cabeza_, linea);
        cabeza_.lineas.emplace_back(linea);
        return false;
    }
    if (linea.empty()) {
        cabeza_.completa = true;
        return true;
    }
    cabeza_.lineas.emplace_back(linea);
    if (EsBlanco(linea.front())) {  // folded continuation of the previous header
        if (!cabeza_.campos.empty()) {
            auto& v = cabeza_.campos.back().second;
            v += ' ';
            v += Recortar(linea);
        }
        return false;
    }
    const size_t dp = linea.find(':');
    if (dp == std::string_view::npos) return false;
    cabeza_.campos.emplace_back(std::string(Recortar(linea.substr(0, dp))),
                                std::string(Recortar(linea.substr(dp + 1))));
    return false;
}

}  // namespace internet
