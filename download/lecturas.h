// The component's readings of texts that come from the caller or from the network, as
// pure functions so each can be tested and fuzzed alone: the URL split and the
// Last-Modified date. (The Content-Length reading belongs to the HTTP layer, whose body
// check shares it: internet::LongitudDeContenido.)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sistema.h"

namespace lecturas {

// A URL split into what the connection and the request need.
struct PartesURL {
    std::string Esquema;  // lower case; "http" when the URL holds no "://"
    std::string Host;     // everything between "://" and the next "/", as written
    std::string Ruta;     // empty, or "/" and the rest of the URL
    bool Admitido = false;  // the scheme is http or https; otherwise Host and Ruta are empty
};

// Splits at the first "://" and the first "/" after it; the host is not examined further
// (a port or user information stays in it). A "/" that ends the URL gives no path.
PartesURL DividirURL(const std::string& url);

// The day of a Last-Modified text read at fixed positions ("Sun, 06 Nov 1994 ...");
// nothing when those positions form no valid date.
std::optional<sistema::Fecha> FechaDeCabecera(const std::string& texto);

// Non-empty and only the digits 0-9.
bool SonDigitos(std::string_view texto);

}  // namespace lecturas
