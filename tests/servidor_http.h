// A scripted HTTP server for the tests, the demo and the benchmarks.
//
// It listens on 127.0.0.1 only, on a port the system picks, and serves on a thread of its
// own until it is destroyed. Every request is answered by a script chosen by the test: any
// status line and headers, a body in pieces with pauses, an early close, a reset, a stall
// or plain garbage. It can also act as a forward proxy (absolute-form requests), relaying
// to servers on 127.0.0.1 only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace prueba {

// A request as the server read it.
struct Peticion {
    std::string Metodo;    // "GET"
    std::string Destino;   // "/web/x.zip", or "http://host:port/x" when sent to a proxy
    std::string Version;   // "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> Cabeceras;  // as sent, in order
    std::string Bruta;     // the whole request head, bytes as received

    // Value of the first header of that name (case-insensitive), or "" when absent.
    std::string Cabecera(const std::string& nombre) const;
    bool Tiene(const std::string& nombre) const;
};

// One piece of a reply: wait `Pausa`, then send `Datos`.
struct Trozo {
    std::chrono::milliseconds Pausa{0};
    std::string Datos;
};

// How the connection ends after the last piece.
enum class Final {
    Cerrar,     // orderly close (FIN)
    Reiniciar,  // abortive close (RST)
    Colgar,     // keep the connection open and silent until the server is destroyed
    Seguir,     // keep the connection open and answer the next request on it
};

// The script of one reply. The head is sent exactly as given (no header is added), then
// the pieces, then the body generator's bytes, then the ending.
struct Respuesta {
    std::string Cabecera;           // status line, headers and the blank line, raw
    std::vector<Trozo> Cuerpo;      // body pieces with their pauses
    uint64_t BytesGenerados = 0;    // then this many bytes of a fixed pattern (benchmarks)
    Final Fin = Final::Cerrar;

    // "HTTP/1.1 <estado>\r\n" + headers + (Content-Length when `conLongitud`) + blank line,
    // with `cuerpo` as one piece. Headers are "Name: value" lines without CRLF.
    static Respuesta Simple(const std::string& estado, const std::string& cuerpo,
                            const std::vector<std::string>& cabeceras = {},
                            bool conLongitud = true);
    // The head exactly as given (it may also be left empty and sent in the pieces).
    static Respuesta Cruda(const std::string& cabecera, std::vector<Trozo> cuerpo = {},
                           Final fin = Final::Cerrar);
};

// The pattern BytesGenerados sends: byte i of the body is Patron(i).
inline char Patron(uint64_t i) { return static_cast<char>('a' + i % 26); }

class ServidorHttp {
public:
    using Guion = std::function<Respuesta(const Peticion&)>;

    explicit ServidorHttp(Guion guion = {});
    ~ServidorHttp();  // stops serving, closes every connection (also stalled ones)
    ServidorHttp(const ServidorHttp&) = delete;
    ServidorHttp& operator=(const ServidorHttp&) = delete;

    void Responder(Guion guion);  // replaces the script; applies to later requests

    uint16_t Puerto() const;
    std::string Direccion() const;                  // "127.0.0.1:<port>"
    std::string Url(const std::string& ruta) const;  // "http://127.0.0.1:<port>" + ruta

    std::vector<Peticion> Peticiones() const;  // every request so far, in order
    int Conexiones() const;                    // connections accepted so far
    // Reply bytes the kernel has taken so far, heads and bodies (not what a script asked
    // to send: a reply the peer cut short counts only what left before).
    uint64_t Enviados() const;

private:
    struct Estado;
    std::shared_ptr<Estado> estado_;
};

// A forward proxy on 127.0.0.1: takes absolute-form requests ("GET http://127.0.0.1:P/x
// HTTP/1.0"), records them, and relays them to that address, which must be 127.0.0.1;
// anything else gets "502 Bad Gateway". The reply is relayed byte for byte.
class ProxyHttp {
public:
    ProxyHttp();
    ~ProxyHttp();
    ProxyHttp(const ProxyHttp&) = delete;
    ProxyHttp& operator=(const ProxyHttp&) = delete;

    uint16_t Puerto() const;
    std::string Direccion() const;  // "127.0.0.1:<port>"
    std::vector<Peticion> Peticiones() const;

private:
    struct Estado;
    std::shared_ptr<Estado> estado_;
};

// An HTTPS server on 127.0.0.1: `openssl s_server -HTTP` serving the files under `carpeta`
// (a request for /a/b gets the file a/b, which holds the whole reply: status line, headers,
// blank line, body). It ends by itself after `conexiones` connections, and at destruction.
class ServidorTls {
public:
    ServidorTls(const std::string& carpeta, const std::string& certificado,
                const std::string& clave, int conexiones);
    ~ServidorTls();
    ServidorTls(const ServidorTls&) = delete;
    ServidorTls& operator=(const ServidorTls&) = delete;

    uint16_t Puerto() const { return puerto_; }  // 0 when it did not start

private:
    int pid_ = -1;
    uint16_t puerto_ = 0;
};

}  // namespace prueba
