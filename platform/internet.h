// The HTTP handle API the download component calls, with the platform's names and
// contracts, written over libcurl. Nothing outside platform/ sees curl.
//
// Handles form a tree: session (InternetOpenA) -> connection (InternetConnectA) ->
// request (HttpOpenRequestA). Each handle holds copies of what it needs from its
// parents, so the order in which handles are closed does not matter for safety; each
// handle must be closed exactly once (InternetCloseHandle or a Handle owner).
//
// Everything runs on the caller's thread; calls block until they have an answer, and
// nothing else runs inside them. The settings of a session (Ajustes: time-outs, the speed
// floor, trusted CAs, a cancel token) are its own, copied to what is opened beneath it.
// A wait watches the session's cancel token beside the socket: once it is active the call
// ends as a failure whose reason is std::errc::operation_canceled. A failed call's reason
// stays on its request (Fallo, MotivoDelFallo). No function throws.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "cancelacion.h"

namespace internet {

struct Objeto;  // opaque handle object
using HINTERNET = Objeto*;

// Access types of InternetOpenA.
inline constexpr int32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;  // the machine's proxy setting
inline constexpr int32_t INTERNET_OPEN_TYPE_PROXY = 3;      // the given proxy lists

inline constexpr int32_t INTERNET_SERVICE_HTTP = 3;

// Request flags of HttpOpenRequestA.
inline constexpr uint32_t INTERNET_FLAG_RELOAD = 0x80000000u;  // from the server, never a cache
inline constexpr uint32_t INTERNET_FLAG_SECURE = 0x00800000u;  // TLS, verified

// Info levels of HttpQueryInfoA.
inline constexpr uint32_t HTTP_QUERY_CONTENT_TYPE = 1;
inline constexpr uint32_t HTTP_QUERY_CONTENT_LENGTH = 5;
inline constexpr uint32_t HTTP_QUERY_EXPIRES = 10;
inline constexpr uint32_t HTTP_QUERY_LAST_MODIFIED = 11;
inline constexpr uint32_t HTTP_QUERY_PRAGMA = 17;
inline constexpr uint32_t HTTP_QUERY_VERSION = 18;
inline constexpr uint32_t HTTP_QUERY_STATUS_CODE = 19;
inline constexpr uint32_t HTTP_QUERY_STATUS_TEXT = 20;
inline constexpr uint32_t HTTP_QUERY_RAW_HEADERS = 21;
inline constexpr uint32_t HTTP_QUERY_RAW_HEADERS_CRLF = 22;
inline constexpr uint32_t HTTP_QUERY_FORWARDED = 30;
inline constexpr uint32_t HTTP_QUERY_SERVER = 37;
inline constexpr uint32_t HTTP_QUERY_REQUEST_METHOD = 45;
inline constexpr uint32_t HTTP_QUERY_CONTENT_RANGE = 53;
inline constexpr uint32_t HTTP_QUERY_ETAG = 54;
inline constexpr uint32_t HTTP_QUERY_TRANSFER_ENCODING = 63;
inline constexpr uint32_t HTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000u;

// What a session's transfers may take and whom they trust. Set on a session before its
// connections are made (EstablecerAjustes); connections and requests keep a copy.
struct Ajustes {
    // Connecting (TCP and TLS) may take at most EsperaConexion; once connected, a transfer
    // that receives nothing for EsperaInactividad while the caller waits for data fails.
    std::chrono::milliseconds EsperaConexion{30000}, EsperaInactividad{30000};
    // The floor under the speed: the final head must be in within SueloVelocidad of
    // sending (interim 1xx answers do not count), and the body must bring at least 4 KiB
    // in any SueloVelocidad spent waiting for it (sampled every sixtieth of it, so the
    // stretch measured may be up to two sixtieths longer); otherwise the call fails.
    std::chrono::milliseconds SueloVelocidad{60000};
    // PEM file of the CAs https requests trust instead of the system's store; empty: the
    // store. Only tests set it, to trust a CA they made.
    std::string AutoridadPruebas;
    // Active: the running wait ends at once as a cancel, and so does every later one.
    const sistema::Cancelacion* Cancelacion = nullptr;
};

// Gives a session (or a connection) the settings of everything opened beneath it from now
// on. False for any other handle. Time-outs below 1 ms count as 1 ms.
bool EstablecerAjustes(HINTERNET handle, const Ajustes& ajustes);

// The category of this layer's failures: libcurl's codes (messages as libcurl's
// curl_easy_strerror gives them, e.g. "Couldn't connect to server") and the layer's own
// limits ("Nothing received for 30000 ms"). A cancel is std::errc::operation_canceled.
const std::error_category& CategoriaInternet();

// Why the last HttpSendRequestA or InternetReadFile on `peticion` failed; empty after one
// that succeeded, was given bad arguments, or for any other handle.
std::error_code Fallo(HINTERNET peticion);

// The same reason in the network's own words, with libcurl's detail when it gave one
// ("Failed to connect to 127.0.0.1 port 9 ...: Couldn't connect to server"). For logs:
// never a credential.
std::string MotivoDelFallo(HINTERNET peticion);

// Process-wide set-up of the HTTP library. Construct one in main() (and in each test
// program's main) before any other call of this API, on the main thread.
class BibliotecaInternet {
public:
    BibliotecaInternet();
    ~BibliotecaInternet();
    BibliotecaInternet(const BibliotecaInternet&) = delete;
    BibliotecaInternet& operator=(const BibliotecaInternet&) = delete;
};

// Opens a session. With INTERNET_OPEN_TYPE_PRECONFIG the proxy arguments must be null
// and the machine's setting applies (http_proxy, https_proxy, no_proxy, all_proxy in the
// environment). With INTERNET_OPEN_TYPE_PROXY, `proxy` is the proxy list and `bypass`
// the bypass list, in the platform's list syntax (see TraducirProxy in lista_proxy.h).
// Null on failure, also when a list holds a CR or LF.
HINTERNET InternetOpenA(const char* agente, int32_t tipoAcceso, const char* proxy,
                        const char* bypass, uint32_t flags);

// Records the server, port and credentials of a connection; contacts nobody. The port is
// 1-65535 read as unsigned 16 bits (0 = the service's default, 80; 443 for a request
// opened with INTERNET_FLAG_SECURE). Null on failure: no session, an empty or malformed
// host name, a CR or LF in the user name or password, an unknown service.
HINTERNET InternetConnectA(HINTERNET sesion, const char* servidor, int16_t puerto,
                           const char* usuario, const char* password, int32_t servicio,
                           uint32_t flags, uintptr_t contexto);

// Prepares a request for `objeto` (a path beginning with "/", or empty for "/") on the
// connection. `version` is "HTTP/1.0" or "HTTP/1.1" (null: 1.1). With
// INTERNET_FLAG_SECURE the request goes over TLS with certificate and host verification.
// Null on failure.
HINTERNET HttpOpenRequestA(HINTERNET conexion, const char* verbo, const char* objeto,
                           const char* version, const char* referente,
                           const char* const* tiposAceptados, uint32_t flags,
                           uintptr_t contexto);

// Sends the request and returns once the headers of the final response are in:
// redirects are followed (at most 10; from https to https only, from http to http or
// https; a redirect without a Location, or with an empty one, is the answer), each hop
// with the proxy its own scheme and host call for; a 401 challenge is answered with the
// connection's user name and password, sent to that server only, and so are the
// caller's own Authorization, Cookie and Proxy-Authorization headers. False
// when no final response arrived: no connection, TLS verification failed, a time-out,
// garbage instead of HTTP, a redirect that cannot be followed. A request is sent at most
// once.
bool HttpSendRequestA(HINTERNET peticion, const char* cabeceras, uint32_t longitudCabeceras,
                      const void* opcional, uint32_t longitudOpcional);

// Copies one piece of the response (or, with HTTP_QUERY_FLAG_REQUEST_HEADERS, of the
// request as its last hop sent it) into `buffer` with a terminating NUL. *longitud is the buffer size in
// bytes on entry. When the value with its NUL does not fit, returns false, leaves the
// buffer untouched and sets *longitud to the size needed. Returns false when the header
// is absent. On success *longitud is the length of the value without its NUL.
// *indice selects the occurrence of a header (0 = first) and is advanced on success.
// RAW_HEADERS gives every line of the response head, each ended by a NUL, and one more
// NUL at the end; RAW_HEADERS_CRLF gives the head with CRLF line ends and a blank line.
bool HttpQueryInfoA(HINTERNET peticion, uint32_t nivel, void* buffer, uint32_t* longitud,
                    uint32_t* indice);

// Reads up to `aLeer` bytes of the body. True with *leidos = 0 means the body ended
// completely: the Content-Length (read as LongitudAnunciada reads it) has arrived, or,
// without a usable one, the server closed cleanly; bytes beyond that length are never
// delivered. False means the body cannot be completed (connection reset or closed before
// the length arrived, a stall past the time-out, a receive error).
// Memory stays bounded whatever the body size: the transfer pauses while unread data
// fills the layer's buffer.
bool InternetReadFile(HINTERNET peticion, void* buffer, uint32_t aLeer, uint32_t* leidos);

// The most body data a request holds for its reader at any time.
inline constexpr std::size_t LimiteBufferCuerpo = 256 * 1024;

// Body bytes received on a request and not yet read (0 for any other handle); never more
// than LimiteBufferCuerpo. Lets tests see that memory stays bounded.
std::size_t BytesSinLeer(HINTERNET peticion);

// Handles of any kind open in the process (a Conexion holds a copy of its session, which
// counts too). Lets tests see that every handle is released.
std::size_t HandlesAbiertos();

// Closes a handle of any kind and frees it. Null is ignored (returns false).
bool InternetCloseHandle(HINTERNET handle);

// Owner of one handle: closes it exactly once.
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(HINTERNET h) noexcept : h_(h) {}
    Handle(Handle&& o) noexcept : h_(o.release()) {}
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HINTERNET get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    HINTERNET release() noexcept {
        HINTERNET h = h_;
        h_ = nullptr;
        return h;
    }
    void reset(HINTERNET h = nullptr) noexcept {
        if (h_) InternetCloseHandle(h_);
        h_ = h;
    }

private:
    HINTERNET h_ = nullptr;
};

// Waits `duracion`, or less when `cancelacion` is (or becomes) active: false then.
bool Esperar(std::chrono::milliseconds duracion, const sistema::Cancelacion* cancelacion);

// With `activa`, every request opened afterwards writes libcurl's own trace of the
// exchange to stderr (notes and heads, no bodies), with every credential masked: the
// passwords in URLs (a proxy's from http_proxy included) and the values of Authorization,
// Proxy-Authorization, Cookie and Set-Cookie. Off by default; main sets it once.
void EstablecerTrazaCurl(bool activa);

}  // namespace internet
