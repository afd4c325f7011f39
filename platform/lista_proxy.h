// The platform's proxy list and bypass list syntax, read for one request. Pure functions:
// no I/O, no curl.
#pragma once

#include <string>
#include <string_view>

namespace internet {

// What an explicit proxy list and bypass list mean for one request.
struct ProxyElegido {
    bool Directo = true;  // no proxy at all: the machine's setting is ignored as well
    std::string Proxy;    // "host:port" or "scheme://host:port" for curl's proxy option
};

// Reads the platform's list syntax and decides for one request, without any I/O.
// Proxy list: entries separated by blanks or ';'. An entry "scheme=address" applies to
// that URL scheme only (http, https); a bare "address" applies to every scheme; the first
// matching entry wins, a scheme-specific one before a bare one.
// Bypass list: entries separated by blanks, ';' or ','. "<local>" matches a host name
// without a dot; other entries match the host name case-insensitively, with '*' standing
// for any run of characters ("*.example.com", "10.*"). A host that matches goes direct.
ProxyElegido TraducirProxy(const std::string& UsarProxy, const std::string& NoUsarProxy,
                           const std::string& esquema, const std::string& host);

// Whether `texto` matches `patron` case-insensitively, '*' standing for any run of
// characters. Linear in the two lengths, whatever the pattern.
bool CoincideComodin(std::string_view patron, std::string_view texto);

}  // namespace internet
