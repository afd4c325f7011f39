#include "respuesta_rango.h"

#include <algorithm>
#include <cctype>

namespace parcial {

namespace {

// Bounds on what is not the archive's bytes: a preamble, a part's headers.
constexpr std::size_t kLimitePreambulo = 4096;
constexpr std::size_t kLimiteCabeceras = 8192;

std::string_view Recortar(std::string_view t) {
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    return t;
}

bool IgualSinCaja(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool LeerNumero(std::string_view t, uint64_t& v) {
    if (t.empty() || t.size() > 19) return false;
    v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// The boundary of "multipart/byteranges; boundary=..." (quoted or not); "" when the type
// is another or the boundary is missing or not one RFC 2046 allows.
std::string Frontera(std::string_view tipo) {
    std::size_t pc = tipo.find(';');
    if (!IgualSinCaja(Recortar(tipo.substr(0, pc)), "multipart/byteranges")) return {};
    while (pc != std::string_view::npos) {
        tipo.remove_prefix(pc + 1);
        pc = tipo.find(';');
        const std::string_view parametro = Recortar(tipo.substr(0, pc));
        const std::size_t igual = parametro.find('=');
        if (igual == std::string_view::npos || !IgualSinCaja(Recortar(parametro.substr(0, igual)), "boundary"))
            continue;
        std::string_view valor = Recortar(parametro.substr(igual + 1));
        if (valor.size() >= 2 && valor.front() == '"' && valor.back() == '"')
            valor = valor.substr(1, valor.size() - 2);
        if (valor.empty() || valor.size() > 70 || valor.find_first_of("\"\\\r\n") != std::string_view::npos)
            return {};
        return std::string(valor);
    }
    return {};
}

}  // namespace

namespace {

// "bytes a-b/total" read, a <= b < total; the total not yet compared.
bool Partes(std::string_view texto, uint64_t& primero, uint64_t& ultimo, uint64_t& total) {
    texto = Recortar(texto);
    if (texto.size() < 6 || !IgualSinCaja(texto.substr(0, 5), "bytes") || (texto[5] != ' ' && texto[5] != '\t'))
        return false;
    texto = Recortar(texto.substr(6));
    const std::size_t guion = texto.find('-'), barra = texto.find('/');
    return guion != std::string_view::npos && barra != std::string_view::npos && guion < barra &&
           LeerNumero(texto.substr(0, guion), primero) &&
           LeerNumero(texto.substr(guion + 1, barra - guion - 1), ultimo) &&
           LeerNumero(texto.substr(barra + 1), total) && primero <= ultimo && ultimo < total;
}

// The run a Content-Range names in an archive of `tamano` bytes, or why it names none.
std::error_code Tramo(std::string_view texto, uint64_t tamano, uint64_t& posicion, uint64_t& cuantos) {
    uint64_t primero = 0, ultimo = 0, total = 0;
    if (!Partes(texto, primero, ultimo, total)) return Error::RespuestaMalformada;
    if (total != tamano) return Error::OtroArchivo;
    posicion = primero;
    cuantos = ultimo - primero + 1;
    return {};
}

}  // namespace

bool LeerContentRange(std::string_view texto, uint64_t tamano, uint64_t& primero, uint64_t& ultimo) {
    uint64_t total = 0;
    return Partes(texto, primero, ultimo, total) && total == tamano;
}

LectorRespuesta::LectorRespuesta(int estado, std::string_view tipo, std::string_view contentRange,
                                 uint64_t tamanoArchivo, Receptor receptor)
    : receptor_(std::move(receptor)), tamano_(tamanoArchivo) {
    try {
        if (estado == 200) {
            entero_ = true;
            error_ = Error::ArchivoEntero;
            return;
        }
        if (estado != 206) {
            error_ = Error::Estado;
            return;
        }
        const std::string frontera = Frontera(tipo);
        if (!frontera.empty()) {
            multiparte_ = true;
            delimitador_ = "--" + frontera;
            fase_ = Fase::Preambulo;
            return;
        }
        error_ = Tramo(contentRange, tamano_, posicion_, quedan_);
        if (error_) return;
        fase_ = Fase::Cuerpo;
    } catch (...) {
        error_ = Error::RespuestaMalformada;
    }
}

std::error_code LectorRespuesta::Fallar(std::error_code e) {
    if (!error_) error_ = e;
    fase_ = Fase::Fin;
    return error_;
}

std::error_code LectorRespuesta::Cuerpo(const unsigned char*& p, std::size_t& n) {
    const std::size_t m = static_cast<std::size_t>(std::min<uint64_t>(n, quedan_));
    if (m > 0) {
        if (const auto e = receptor_ ? receptor_(posicion_, p, m) : std::error_code()) return Fallar(e);
        posicion_ += m;
        quedan_ -= m;
        p += m;
        n -= m;
    }
    if (quedan_ == 0) {
        acumulado_.clear();
        fase_ = multiparte_ ? Fase::TrasCuerpo : Fase::Fin;
    }
    return {};
}

std::error_code LectorRespuesta::LeerCabecerasParte() {
    std::string_view resto = acumulado_;
    std::string_view rango;
    bool hay = false;
    while (!resto.empty()) {
        const std::size_t fin = resto.find("\r\n");
        const std::string_view linea = resto.substr(0, fin);
        resto.remove_prefix(fin == std::string_view::npos ? resto.size() : fin + 2);
        const std::size_t dos = linea.find(':');
        if (dos == std::string_view::npos || !IgualSinCaja(Recortar(linea.substr(0, dos)), "content-range"))
            continue;
        if (hay) return Error::RespuestaMalformada;
        rango = linea.substr(dos + 1);
        hay = true;
    }
    if (!hay) return Error::RespuestaMalformada;
    return Tramo(rango, tamano_, posicion_, quedan_);
}

std::error_code LectorRespuesta::Anadir(const unsigned char* p, std::size_t n) {
    if (error_) return error_;
    try {
        while (n > 0) {
            if (fase_ == Fase::Cuerpo) {
                if (const auto e = Cuerpo(p, n)) return e;
                continue;
            }
            if (fase_ == Fase::Epilogo) return {};
            if (fase_ == Fase::Fin) return Fallar(Error::RespuestaMalformada);  // more than asked
            const char c = static_cast<char>(*p++);
            --n;
            acumulado_ += c;
            switch (fase_) {
                case Fase::Preambulo:
                    if (acumulado_.size() >= delimitador_.size() &&
                        acumulado_.compare(acumulado_.size() - delimitador_.size(), delimitador_.size(),
                                           delimitador_) == 0 &&
                        (acumulado_.size() == delimitador_.size() ||
                         acumulado_[acumulado_.size() - delimitador_.size() - 1] == '\n')) {
                        acumulado_.clear();
                        fase_ = Fase::Delimitador;
                    } else if (acumulado_.size() > kLimitePreambulo) {
                        return Fallar(Error::RespuestaMalformada);
                    }
                    break;
                case Fase::Delimitador:
                    // "--" closes the body; otherwise blanks may pad the line up to its CRLF.
                    if (acumulado_ == "--") {
                        fase_ = Fase::Epilogo;
                    } else if (acumulado_ == "-") {
                    } else if (c == '\r' || c == ' ' || c == '\t') {
                        if (acumulado_.size() > 80) return Fallar(Error::RespuestaMalformada);
                    } else if (c == '\n' && acumulado_.size() >= 2 && acumulado_[acumulado_.size() - 2] == '\r' &&
                               Recortar(std::string_view(acumulado_).substr(0, acumulado_.size() - 2)).empty()) {
                        acumulado_ = "\r\n";  // the headers start with an empty line's CRLF
                        fase_ = Fase::Cabeceras;
                    } else {
                        return Fallar(Error::RespuestaMalformada);
                    }
                    break;
                case Fase::Cabeceras:
                    if (acumulado_.size() >= 4 && acumulado_.compare(acumulado_.size() - 4, 4, "\r\n\r\n") == 0) {
                        if (const auto e = LeerCabecerasParte()) return Fallar(e);
                        acumulado_.clear();
                        fase_ = Fase::Cuerpo;
                    } else if (acumulado_.size() > kLimiteCabeceras) {
                        return Fallar(Error::RespuestaMalformada);
                    }
                    break;
                case Fase::TrasCuerpo: {
                    const std::size_t i = acumulado_.size() - 1;
                    const char esperado = i < 2 ? "\r\n"[i] : delimitador_[i - 2];
                    if (c != esperado) return Fallar(Error::RespuestaMalformada);
                    if (acumulado_.size() == delimitador_.size() + 2) {
                        acumulado_.clear();
                        fase_ = Fase::Delimitador;
                    }
                    break;
                }
                default:
                    break;
            }
        }
        return {};
    } catch (...) {
        return Fallar(Error::RespuestaMalformada);
    }
}

std::error_code LectorRespuesta::Terminar() {
    if (error_) return error_;
    const bool completa = multiparte_ ? fase_ == Fase::Epilogo : fase_ == Fase::Fin;
    if (!completa) return Fallar(Error::Incompleta);
    return {};
}

}  // namespace parcial
