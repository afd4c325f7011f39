#include "declaracion.h"

#include <cstdio>
#include <vector>

namespace firma {

namespace {

constexpr std::string_view kCabecera = "morvane-update firma 2";

bool EsDigito(char c) { return c >= '0' && c <= '9'; }

// The number written by exactly `n` digits at `t`.
std::optional<int64_t> Cifras(std::string_view t, std::size_t desde, std::size_t n) {
    int64_t v = 0;
    for (std::size_t i = desde; i < desde + n; ++i) {
        if (!EsDigito(t[i])) return std::nullopt;
        v = v * 10 + (t[i] - '0');
    }
    return v;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DiasDesdeEpoca(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = y / 400;
    const int64_t ano = y - era * 400;
    const int64_t diaDelAno = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t diaDeEra = ano * 365 + ano / 4 - ano / 100 + diaDelAno;
    return era * 146097 + diaDeEra - 719468;
}

bool Bisiesto(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// "<nombre> <valor>" with nothing else on the line: the value, or nothing.
std::optional<std::string_view> Campo(std::string_view linea, std::string_view nombre) {
    if (linea.size() <= nombre.size() + 1 || linea.substr(0, nombre.size()) != nombre ||
        linea[nombre.size()] != ' ')
        return std::nullopt;
    return linea.substr(nombre.size() + 1);
}

std::optional<uint64_t> LeerTamano(std::string_view t) {
    // Decimal, no sign, no leading zero; an archive is never empty.
    if (t.empty() || t.size() > 19 || t[0] == '0') return std::nullopt;
    uint64_t v = 0;
    for (char c : t) {
        if (!EsDigito(c)) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return v;
}

bool SoloBase64(std::string_view t) {
    for (char c : t)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || EsDigito(c) || c == '+' ||
              c == '/' || c == '='))
            return false;
    return true;
}

}  // namespace

std::optional<Resumen> LeerHex(std::string_view t) {
    if (t.size() != 64) return std::nullopt;
    Resumen r{};
    for (std::size_t i = 0; i < 64; ++i) {
        const char c = t[i];
        int v;
        if (EsDigito(c)) v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else return std::nullopt;  // upper case too: one spelling only
        r[i / 2] = static_cast<unsigned char>(i % 2 ? (r[i / 2] | v) : v << 4);
    }
    return r;
}

std::string Hex(const Resumen& r) {
    std::string t;
    for (unsigned char b : r) {
        t += "0123456789abcdef"[b >> 4];
        t += "0123456789abcdef"[b & 15];
    }
    return t;
}

std::optional<int64_t> LeerInstante(std::string_view t) {
    // YYYY-MM-DDTHH:MM:SSZ
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
        t[16] != ':' || t[19] != 'Z')
        return std::nullopt;
    const auto y = Cifras(t, 0, 4), m = Cifras(t, 5, 2), d = Cifras(t, 8, 2),
               h = Cifras(t, 11, 2), mi = Cifras(t, 14, 2), s = Cifras(t, 17, 2);
    if (!y || !m || !d || !h || !mi || !s) return std::nullopt;
    static constexpr int kDias[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (*y < 1970 || *m < 1 || *m > 12 || *d < 1 ||
        *d > kDias[*m - 1] + (*m == 2 && Bisiesto(*y)) || *h > 23 || *mi > 59 || *s > 59)
        return std::nullopt;
    return DiasDesdeEpoca(*y, *m, *d) * 86400 + *h * 3600 + *mi * 60 + *s;
}

std::string EscribirInstante(int64_t segundos) {
    int64_t dias = segundos / 86400, resto = segundos % 86400;
    if (resto < 0) resto += 86400, --dias;
    // The inverse of DiasDesdeEpoca.
    const int64_t z = dias + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t diaDeEra = z - era * 146097;
    const int64_t anoDeEra = (diaDeEra - diaDeEra / 1460 + diaDeEra / 36524 - diaDeEra / 146096) / 365;
    const int64_t diaDelAno = diaDeEra - (365 * anoDeEra + anoDeEra / 4 - anoDeEra / 100);
    const int64_t mp = (5 * diaDelAno + 2) / 153;
    const int64_t d = diaDelAno - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = anoDeEra + era * 400 + (m <= 2);
    char texto[128];
    std::snprintf(texto, sizeof texto, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), static_cast<long long>(m), static_cast<long long>(d),
                  static_cast<long long>(resto / 3600), static_cast<long long>(resto / 60 % 60),
                  static_cast<long long>(resto % 60));
    return texto;
}

std::string TextoFirmado(const Declaracion& d) {
    try {
        return std::string(kCabecera) + "\narchivo Morvane.zip\ntamaño " +
               std::to_string(d.Tamano) + "\nsha256 " + Hex(d.Sha256) + "\npublicado " +
               EscribirInstante(d.Publicado) + "\ncaduca " + EscribirInstante(d.Caduca) + "\n";
    } catch (...) {
        return {};
    }
}

std::optional<Declaracion> LeerForma(std::string_view texto, std::vector<unsigned char>* firma) {
    try {
        if (texto.size() > kLimiteDeclaracion || texto.empty() || texto.back() != '\n')
            return std::nullopt;
        std::vector<std::string_view> lineas;
        for (std::size_t inicio = 0; inicio < texto.size();) {
            const std::size_t fin = texto.find('\n', inicio);
            lineas.push_back(texto.substr(inicio, fin - inicio));
            inicio = fin + 1;
        }
        if (lineas.size() != 7 || lineas[0] != kCabecera || lineas[1] != "archivo Morvane.zip")
            return std::nullopt;
        const auto tamano = Campo(lineas[2], "tamaño");
        const auto sha = Campo(lineas[3], "sha256");
        const auto publicado = Campo(lineas[4], "publicado");
        const auto caduca = Campo(lineas[5], "caduca");
        const auto firmaTexto = Campo(lineas[6], "firma");
        if (!tamano || !sha || !publicado || !caduca || !firmaTexto || !SoloBase64(*firmaTexto))
            return std::nullopt;

        Declaracion d;
        const auto t = LeerTamano(*tamano);
        const auto r = LeerHex(*sha);
        const auto p = LeerInstante(*publicado);
        const auto c = LeerInstante(*caduca);
        const auto bytes = DecodificarBase64(*firmaTexto);
        if (!t || !r || !p || !c || *c <= *p || !bytes || bytes->size() != kBytesFirma)
            return std::nullopt;
        d.Tamano = *t;
        d.Sha256 = *r;
        d.Publicado = *p;
        d.Caduca = *c;
        if (firma) *firma = *bytes;
        return d;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<Declaracion> LeerDeclaracion(std::string_view texto, std::string_view clave) {
    try {
        std::vector<unsigned char> firma;
        const auto d = LeerForma(texto, &firma);
        const auto claveBytes = DecodificarBase64(clave);
        if (!d || !claveBytes) return std::nullopt;
        // Everything above the signature line, its LF included, exactly as received: the
        // form is the one spelling, so that is TextoFirmado of the fields.
        const std::size_t firmado = texto.rfind('\n', texto.size() - 2) + 1;
        if (!VerificarEd25519(*claveBytes, firma, texto.substr(0, firmado))) return std::nullopt;
        return d;
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace firma
