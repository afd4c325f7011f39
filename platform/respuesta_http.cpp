#include "respuesta_http.h"

#include <charconv>
#include <cmath>
#include <system_error>

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

int64_t LongitudAnunciada(std::string_view t) {
    t = Recortar(t);
    bool negativo = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negativo = t.front() == '-';
        t.remove_prefix(1);
    }
    // Plain decimal notation only: digits, an optional fraction and exponent.
    size_t i = 0, cifras = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++cifras;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++cifras;
    }
    if (cifras == 0) return -1;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (i == t.size() || t[i] < '0' || t[i] > '9') return -1;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    }
    if (i != t.size()) return -1;

    double valor = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), valor);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return -1;
    const double redondeado = std::nearbyint(negativo ? -valor : valor);
    // 2^63 is the first double past INT64_MAX.
    if (!(redondeado >= 0 && redondeado < 9223372036854775808.0)) return -1;
    return static_cast<int64_t>(redondeado);
}

int32_t LongitudDeContenido(std::string_view t) {
    const int64_t n = LongitudAnunciada(t);
    return n <= INT32_MAX ? static_cast<int32_t>(n) : -1;
}

Papel PapelDeCabeza(const Cabeza& cabeza, bool conUsuario) {
    const int e = cabeza.estado;
    if (e >= 100 && e < 200) return Papel::Intermedia;
    std::string ubicacion;
    // An empty Location (values are trimmed) names nowhere: the answer is its own.
    if ((e == 300 || e == 301 || e == 302 || e == 303 || e == 307 || e == 308) &&
        BuscarCampo(cabeza.campos, "Location", 0, ubicacion) && !ubicacion.empty())
        return Papel::Redireccion;
    if ((e == 401 && conUsuario) || e == 407) return Papel::Desafio;
    return Papel::Final;
}

bool LectorCabezas::Linea(std::string_view linea) {
    while (!linea.empty() && (linea.back() == '\n' || linea.back() == '\r'))
        linea.remove_suffix(1);
    if (cabeza_.completa || cabeza_.lineas.empty()) {
        // Only a status line starts a response; anything else here is a trailer field
        // after a chunked body (or noise) and belongs to no head.
        if (linea.size() < 5 || !IgualesSinCaso(linea.substr(0, 5), "HTTP/")) return false;
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

namespace {

// One line (without its line end) with the passwords of its URLs masked.
void SinContrasenas(std::string& linea) {
    size_t desde = 0;
    for (;;) {
        const size_t esquema = linea.find("://", desde);
        if (esquema == std::string::npos) return;
        const size_t inicio = esquema + 3;
        size_t fin = linea.find_first_of("/?#'\"<> \t", inicio);
        if (fin == std::string::npos) fin = linea.size();
        const size_t arroba = linea.rfind('@', fin == 0 ? 0 : fin - 1);
        desde = fin;
        if (arroba == std::string::npos || arroba < inicio) continue;
        const size_t dos = linea.find(':', inicio);
        if (dos == std::string::npos || dos > arroba) continue;
        linea.replace(dos + 1, arroba - dos - 1, "***");
        desde = dos + 4;
    }
}

bool EsCampoDeCredencial(std::string_view nombre) {
    for (std::string_view c : {"Authorization", "Proxy-Authorization", "Cookie", "Set-Cookie"})
        if (IgualesSinCaso(nombre, c)) return true;
    return false;
}

}  // namespace

std::string SinCredenciales(std::string_view texto) {
    std::string r;
    r.reserve(texto.size());
    while (!texto.empty()) {
        size_t n = texto.find('\n');
        n = n == std::string_view::npos ? texto.size() : n + 1;
        const std::string_view completa = texto.substr(0, n);
        texto.remove_prefix(n);
        size_t cuerpo = completa.size();
        while (cuerpo > 0 && (completa[cuerpo - 1] == '\n' || completa[cuerpo - 1] == '\r'))
            --cuerpo;
        std::string linea(completa.substr(0, cuerpo));
        const size_t dp = linea.find(':');
        const std::string_view nombre =
            dp == std::string::npos ? std::string_view() : Recortar(std::string_view(linea).substr(0, dp));
        if (!nombre.empty() && !EsBlanco(linea.front()) && EsCampoDeCredencial(nombre)) {
            size_t valor = dp + 1;
            while (valor < linea.size() && EsBlanco(linea[valor])) ++valor;
            if (valor < linea.size()) {
                // An authorization's scheme (Basic, Bearer, ...) says nothing secret.
                const size_t blanco = linea.find(' ', valor);
                if (blanco != std::string::npos && !IgualesSinCaso(nombre, "Cookie") &&
                    !IgualesSinCaso(nombre, "Set-Cookie"))
                    valor = blanco + 1;
                linea.replace(valor, std::string::npos, "***");
            }
        } else {
            SinContrasenas(linea);
        }
        r += linea;
        r += completa.substr(cuerpo);
    }
    return r;
}

}  // namespace internet
