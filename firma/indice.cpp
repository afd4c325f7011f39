#include "indice.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace firma {

namespace {

constexpr std::string_view kCabecera = "morvane-update indice 1";

class Categoria : public std::error_category {
public:
    const char* name() const noexcept override { return "indice"; }
    std::string message(int c) const override {
        switch (static_cast<ErrorIndice>(c)) {
            case ErrorIndice::Grande: return "the index is too large";
            case ErrorIndice::Forma: return "the index is malformed";
            case ErrorIndice::SinFirma: return "the index is not signed";
            case ErrorIndice::FirmaIncorrecta: return "the index's signature does not verify";
            case ErrorIndice::OtroArchivo: return "the index names another archive";
            case ErrorIndice::NombreInseguro: return "the index names an unsafe path";
            case ErrorIndice::NombreRepetido: return "the index names a path twice";
            case ErrorIndice::RangoFuera: return "the index names bytes beyond the archive";
            case ErrorIndice::RangosSolapados: return "the index's ranges overlap";
        }
        return "unknown index error";
    }
};

// Decimal without sign or leading zero; at most 19 digits, so it fits.
bool LeerNumero(std::string_view t, uint64_t& v) {
    if (t.empty() || t.size() > 19 || (t[0] == '0' && t.size() > 1)) return false;
    v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// The next field up to a blank at `pos`, moving past the blank.
std::string_view Campo(std::string_view linea, std::size_t& pos) {
    const std::size_t fin = linea.find(' ', pos);
    const std::string_view c = linea.substr(pos, fin == std::string_view::npos ? linea.npos : fin - pos);
    pos = fin == std::string_view::npos ? linea.size() + 1 : fin + 1;
    return c;
}

std::string Numero(uint64_t v) { return std::to_string(v); }

}  // namespace

const std::error_category& CategoriaIndice() {
    static const Categoria c;
    return c;
}

std::error_code make_error_code(ErrorIndice e) { return {static_cast<int>(e), CategoriaIndice()}; }

bool NombreSeguro(std::string_view nombre) {
    if (nombre.empty() || nombre.front() == '/') return false;
    std::size_t inicio = 0;
    for (;;) {
        const std::size_t barra = nombre.find('/', inicio);
        const std::string_view c =
            nombre.substr(inicio, barra == std::string_view::npos ? nombre.npos : barra - inicio);
        if (c.empty() || c == "." || c == "..") return false;
        if (barra == std::string_view::npos) break;
        inicio = barra + 1;
    }
    // unzip reads a backslash as a separator, so "..\\x" would climb out.
    for (unsigned char ch : nombre)
        if (ch < 0x20 || ch == 0x7f || ch == '\\') return false;
    return true;
}

std::string TextoIndice(const Indice& indice) {
    try {
        std::string t;
        t.reserve(256 + indice.Entradas.size() * 240);
        t += kCabecera;
        t += "\narchivo Morvane.zip\ntamaño " + Numero(indice.Tamano) + "\nsha256 " +
             Hex(indice.Sha256) + "\ndirectorio " + Numero(indice.Directorio.Inicio) + " " +
             Numero(indice.Directorio.Longitud) + " " + Hex(indice.Sha256Directorio) +
             "\nentradas " + Numero(indice.Entradas.size()) + "\n";
        for (const Entrada& e : indice.Entradas) {
            if (e.Nombre.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) return {};
            t += "entrada " + Numero(e.EnArchivo.Inicio) + " " + Numero(e.EnArchivo.Longitud) + " " +
                 Hex(e.Sha256Rango) + " " + Numero(e.Tamano) + " " + Hex(e.Sha256) + " " +
                 e.Nombre + "\n";
        }
        return t;
    } catch (...) {
        return {};
    }
}

std::error_code LeerFormaIndice(std::string_view texto, Indice& salida,
                                std::vector<unsigned char>* firmaBytes) {
    using E = ErrorIndice;
    try {
        if (texto.size() > kLimiteIndice) return E::Grande;
        if (texto.empty() || texto.back() != '\n') return E::Forma;
        std::vector<std::string_view> lineas;
        for (std::size_t inicio = 0; inicio < texto.size();) {
            const std::size_t fin = texto.find('\n', inicio);
            lineas.push_back(texto.substr(inicio, fin - inicio));
            inicio = fin + 1;
        }
        if (lineas.size() < 7 || lineas[0] != kCabecera || lineas[1] != "archivo Morvane.zip")
            return E::Forma;

        Indice ind;
        std::size_t pos = 0;
        auto cabeza = [&](std::string_view linea, std::string_view nombre) {
            pos = 0;
            return Campo(linea, pos) == nombre;
        };
        if (!cabeza(lineas[2], "tamaño") || !LeerNumero(Campo(lineas[2], pos), ind.Tamano) ||
            pos <= lineas[2].size() || ind.Tamano == 0)
            return E::Forma;
        if (!cabeza(lineas[3], "sha256")) return E::Forma;
        const auto sha = LeerHex(Campo(lineas[3], pos));
        if (!sha || pos <= lineas[3].size()) return E::Forma;
        ind.Sha256 = *sha;
        if (!cabeza(lineas[4], "directorio") ||
            !LeerNumero(Campo(lineas[4], pos), ind.Directorio.Inicio) ||
            !LeerNumero(Campo(lineas[4], pos), ind.Directorio.Longitud))
            return E::Forma;
        const auto shaDir = LeerHex(Campo(lineas[4], pos));
        if (!shaDir || pos <= lineas[4].size()) return E::Forma;
        ind.Sha256Directorio = *shaDir;
        uint64_t cuantas = 0;
        if (!cabeza(lineas[5], "entradas") || !LeerNumero(Campo(lineas[5], pos), cuantas) ||
            pos <= lineas[5].size())
            return E::Forma;
        if (cuantas > kMaximoEntradas) return E::Grande;
        if (lineas.size() != 7 + cuantas) {
            // The signature line is where the count says; anything else is a broken index.
            if (lineas.size() == 6 + cuantas && cabeza(lineas.back(), "entrada")) return E::SinFirma;
            return E::Forma;
        }

        ind.Entradas.reserve(cuantas);
        for (std::size_t i = 0; i < cuantas; ++i) {
            const std::string_view l = lineas[6 + i];
            Entrada e;
            if (!cabeza(l, "entrada") || !LeerNumero(Campo(l, pos), e.EnArchivo.Inicio) ||
                !LeerNumero(Campo(l, pos), e.EnArchivo.Longitud))
                return E::Forma;
            const auto shaRango = LeerHex(Campo(l, pos));
            if (!shaRango || !LeerNumero(Campo(l, pos), e.Tamano)) return E::Forma;
            const auto shaDatos = LeerHex(Campo(l, pos));
            if (!shaDatos || pos > l.size()) return E::Forma;
            e.Sha256Rango = *shaRango;
            e.Sha256 = *shaDatos;
            e.Nombre = std::string(l.substr(pos));
            ind.Entradas.push_back(std::move(e));
        }

        const std::string_view ultima = lineas.back();
        if (!cabeza(ultima, "firma")) return E::SinFirma;
        // The decoder skips blanks (keys arrive wrapped); this line is not signed, so only
        // its one spelling is read.
        const auto bytes = DecodificarBase64(ultima.substr(pos));
        if (pos > ultima.size() || !bytes || bytes->size() != kBytesFirma ||
            CodificarBase64(bytes->data(), bytes->size()) != ultima.substr(pos))
            return E::Forma;

        // Consistency: the directory ends the archive, every range lies before it, in order
        // and apart, each a whole local header at least (30 bytes).
        const Rango& dir = ind.Directorio;
        if (dir.Longitud < 22 || dir.Inicio > ind.Tamano || dir.Longitud != ind.Tamano - dir.Inicio)
            return E::RangoFuera;
        uint64_t hasta = 0;
        std::unordered_set<std::string_view> carpetas, ficheros;
        for (const Entrada& e : ind.Entradas) {
            if (e.EnArchivo.Longitud < 30 || e.EnArchivo.Inicio > dir.Inicio ||
                e.EnArchivo.Longitud > dir.Inicio - e.EnArchivo.Inicio)
                return E::RangoFuera;
            if (e.EnArchivo.Inicio < hasta) return E::RangosSolapados;
            hasta = e.EnArchivo.Fin();
            std::string_view ruta = e.Nombre;
            if (e.EsCarpeta()) {
                ruta.remove_suffix(1);
                if (e.Tamano != 0) return E::Forma;
            }
            if (!NombreSeguro(ruta)) return E::NombreInseguro;
            if (!(e.EsCarpeta() ? carpetas : ficheros).insert(ruta).second) return E::NombreRepetido;
        }
        // A file where another entry needs a folder would have unzip write through it.
        for (const Entrada& e : ind.Entradas) {
            const std::string_view ruta = e.Nombre;
            for (std::size_t barra = ruta.find('/'); barra != std::string_view::npos && barra + 1 < ruta.size();
                 barra = ruta.find('/', barra + 1))
                if (ficheros.count(ruta.substr(0, barra))) return E::NombreRepetido;
            if (!e.EsCarpeta() && carpetas.count(ruta)) return E::NombreRepetido;
        }

        if (firmaBytes) *firmaBytes = *bytes;
        salida = std::move(ind);
        return {};
    } catch (...) {
        return E::Forma;
    }
}

std::error_code LeerIndice(std::string_view texto, std::string_view clave,
                           const Declaracion& declaracion, Indice& salida) {
    try {
        Indice ind;
        std::vector<unsigned char> firmaBytes;
        if (const auto error = LeerFormaIndice(texto, ind, &firmaBytes)) return error;
        const auto claveBytes = DecodificarBase64(clave);
        const std::size_t firmado = texto.rfind('\n', texto.size() - 2) + 1;
        // One spelling: what was read, written again, is what was signed.
        if (!claveBytes || TextoIndice(ind) != texto.substr(0, firmado) ||
            !VerificarEd25519(*claveBytes, firmaBytes, texto.substr(0, firmado)))
            return ErrorIndice::FirmaIncorrecta;
        if (ind.Tamano != declaracion.Tamano || ind.Sha256 != declaracion.Sha256)
            return ErrorIndice::OtroArchivo;
        salida = std::move(ind);
        return {};
    } catch (...) {
        return ErrorIndice::Forma;
    }
}

}  // namespace firma
