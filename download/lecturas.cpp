#include "lecturas.h"

namespace lecturas {

namespace {

std::string Minusculas(std::string texto) {
    for (char& c : texto)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return texto;
}

}  // namespace

PartesURL DividirURL(const std::string& url) {
    PartesURL r;
    const size_t separador = url.find("://");
    size_t p = 0;
    if (separador != std::string::npos) {
        r.Esquema = Minusculas(url.substr(0, separador));
        p = separador + 3;
    } else {
        r.Esquema = "http";
    }
    if (r.Esquema != "http" && r.Esquema != "https") return r;
    r.Admitido = true;
    size_t q = url.find('/', p);
    if (q == std::string::npos) q = url.size();
    if (p < q) r.Host = url.substr(p, q - p);
    // A "/" that is the last character leaves no path either.
    if (q + 1 < url.size()) r.Ruta = url.substr(q);
    return r;
}

std::optional<sistema::Fecha> FechaDeCabecera(const std::string& texto) {
    // Fixed positions: drop "Sun, " and " GMT", then "dd Mmm yyyy".
    if (texto.size() < 9) return std::nullopt;
    const std::string_view parte = std::string_view(texto).substr(5, texto.size() - 9);
    if (parte.size() < 11) return std::nullopt;
    const std::string_view dia = parte.substr(0, 2), mes = parte.substr(3, 3),
                           anio = parte.substr(7, 4);
    static constexpr std::string_view kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int32_t numeroMes = 0;
    for (int32_t i = 0; i < 12; ++i)
        if (mes == kMeses[i]) numeroMes = i + 1;
    if (numeroMes == 0 || !SonDigitos(dia) || !SonDigitos(anio)) return std::nullopt;
    const int32_t numeroDia = (dia[0] - '0') * 10 + (dia[1] - '0');
    const int32_t numeroAnio =
        ((anio[0] - '0') * 10 + (anio[1] - '0')) * 100 + (anio[2] - '0') * 10 + (anio[3] - '0');
    return sistema::Fecha::Crear(numeroAnio, numeroMes, numeroDia);
}

bool SonDigitos(std::string_view texto) {
    if (texto.empty()) return false;
    for (char c : texto)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace lecturas
