// The HTTP handle API over libcurl's multi interface, as a pull-style reader.
//
// A request owns one easy handle and one multi handle. Sending drives the transfer until
// the head of the final response is in; each read is then served from a bounded buffer
// that the write callback fills. When a chunk does not fit, the callback pauses the
// transfer (libcurl keeps the chunk and stops reading the socket) and the next read that
// finds the buffer empty resumes it. The transfer is driven only while the caller waits
// for something, so a slow reader costs no memory beyond the buffer.
//
// Redirects are followed here, not by libcurl: each hop re-adds the same easy handle with
// its own URL, proxy and credentials. The reading of response heads lives in
// respuesta_http, the proxy lists in lista_proxy.
#include "internet.h"

#include <curl/curl.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "lista_proxy.h"
#include "respuesta_http.h"
#include "texto_http.h"

namespace internet {

namespace {

using namespace texto;
using Reloj = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- Owners of curl objects ------------------------------------------------------------

struct CerrarEasy {
    void operator()(CURL* e) const noexcept { curl_easy_cleanup(e); }
};
struct CerrarMulti {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};
struct LiberarLista {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, CerrarEasy>;
using Multi = std::unique_ptr<CURLM, CerrarMulti>;
using Lista = std::unique_ptr<curl_slist, LiberarLista>;

// An easy handle attached to a multi handle; detaching comes first on destruction, before
// either handle is cleaned up. Detaching a transfer in progress just drops its connection.
class Enganche {
public:
    Enganche() noexcept = default;
    Enganche(CURLM* m, CURL* e) noexcept : multi_(m), easy_(e) {}
    Enganche(Enganche&& o) noexcept
        : multi_(std::exchange(o.multi_, nullptr)), easy_(std::exchange(o.easy_, nullptr)) {}
    Enganche& operator=(Enganche&& o) noexcept {
        if (this != &o) {
            Soltar();
            multi_ = std::exchange(o.multi_, nullptr);
            easy_ = std::exchange(o.easy_, nullptr);
        }
        return *this;
    }
    Enganche(const Enganche&) = delete;
    Enganche& operator=(const Enganche&) = delete;
    ~Enganche() { Soltar(); }

    explicit operator bool() const noexcept { return multi_ != nullptr; }
    void Soltar() noexcept {
        if (multi_) curl_multi_remove_handle(multi_, easy_);
        multi_ = nullptr;
        easy_ = nullptr;
    }

private:
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
};

// A curl call that failed while a handle is being set up. Never leaves this file.
struct FalloCurl {};

template <class T>
void Fijar(CURL* e, CURLoption opcion, T valor) {
    if (curl_easy_setopt(e, opcion, valor) != CURLE_OK) throw FalloCurl{};
}

// ---- Settings and failures -------------------------------------------------------------

// The least a body must bring in any stretch of SueloVelocidad of waiting for it.
constexpr uint64_t kSueloBytes = 4096;
// The window of the body floor is sampled this many times per SueloVelocidad of waiting,
// so the stretch looked at is at most about two such parts longer than it, and the
// samples kept are bounded whatever the body's speed.
constexpr int kMuestrasSuelo = 60;
std::atomic<bool> gTrazaCurl{false};

// The layer's own failures. Those of a limit carry its milliseconds in the value, so the
// message names the limit that was met: value = kind << kBitsCifra | milliseconds.
enum class Propio : int {
    SinActividad = 1,   // "Nothing received for N ms"
    SinCabeza,          // "No response head within N ms"
    CuerpoLento,        // "Less than 4096 bytes received in N ms"
    CabezaIncompleta,
    RedireccionNoSeguida,
    NoIniciada,
    Interno,
};
constexpr int kBitsCifra = 26;
constexpr int kMaximaCifra = (1 << kBitsCifra) - 1;
// curl's codes are small; the layer's own start above all of them.
static_assert(CURL_LAST < (1 << kBitsCifra));

class Categoria final : public std::error_category {
public:
    const char* name() const noexcept override { return "internet"; }
    std::string message(int valor) const override {
        if (valor < (1 << kBitsCifra)) return curl_easy_strerror(static_cast<CURLcode>(valor));
        const std::string cifra = std::to_string(valor & kMaximaCifra);
        switch (static_cast<Propio>(valor >> kBitsCifra)) {
        case Propio::SinActividad: return "Nothing received for " + cifra + " ms";
        case Propio::SinCabeza: return "No response head within " + cifra + " ms";
        case Propio::CuerpoLento:
            return "Less than " + std::to_string(kSueloBytes) + " bytes received in " + cifra +
                   " ms";
        case Propio::CabezaIncompleta: return "Connection closed before a complete response head";
        case Propio::RedireccionNoSeguida:
            return "Redirect not followed: too many, or to an address not allowed";
        case Propio::NoIniciada: return "The transfer could not be started";
        case Propio::Interno: return "Internal error";
        }
        return "Unknown network failure";
    }
};

std::error_code DeCurl(CURLcode c) { return {static_cast<int>(c), CategoriaInternet()}; }

std::error_code Limite(Propio tipo, milliseconds cifra = {}) {
    const auto ms = std::clamp<int64_t>(cifra.count(), 0, kMaximaCifra);
    return {static_cast<int>(tipo) << kBitsCifra | static_cast<int>(ms), CategoriaInternet()};
}

std::error_code Cancelado() { return std::make_error_code(std::errc::operation_canceled); }

// libcurl hands at most this much to one write callback; the buffer is at least this big,
// so a chunk always fits an empty buffer and a paused transfer can always resume.
static_assert(LimiteBufferCuerpo >= CURL_MAX_WRITE_SIZE);
// One socket read fills libcurl's receive buffer; larger reads mean fewer wake-ups.
constexpr long kBufferRecepcion = 512 * 1024;

// A host name as it can stand in a URL: no blanks, controls or URL delimiters, and a colon
// only inside a bracketed IPv6 literal.
bool HostValido(std::string_view h) {
    if (h.empty()) return false;
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        for (char c : h.substr(1, h.size() - 2))
            if (!(EsHex(c) || c == ':' || c == '.')) return false;
        return true;
    }
    for (char c : h) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f) return false;
        if (std::strchr("/?#@:[]\\", c) != nullptr) return false;
    }
    return true;
}

// Text that may stand inside a request head: a CR or LF would start a line of its own.
bool SinSaltosDeLinea(std::string_view s) { return s.find_first_of("\r\n") == s.npos; }

// The object path as it goes on the wire: characters that cannot stand in a URL are
// percent-encoded; an existing "%XX" escape is kept.
std::string CodificarRuta(std::string_view ruta) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(ruta.size() + 1);
    if (ruta.empty() || ruta.front() != '/') r.push_back('/');
    for (size_t i = 0; i < ruta.size(); ++i) {
        const auto u = static_cast<unsigned char>(ruta[i]);
        const bool seguro = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                            (u >= '0' && u <= '9') ||
                            std::strchr("-._~!$&'()*+,;=:@/?#", u) != nullptr;
        const bool escape =
            u == '%' && i + 2 < ruta.size() && EsHex(ruta[i + 1]) && EsHex(ruta[i + 2]);
        if ((seguro && u != 0) || escape) {
            r.push_back(static_cast<char>(u));
        } else {
            r.push_back('%');
            r.push_back(kHex[u >> 4]);
            r.push_back(kHex[u & 15]);
        }
    }
    return r;
}

// Header names of the info levels that read one header.
const char* NombreDeNivel(uint32_t nivel) {
    static constexpr const char* kNombres[] = {
        "Mime-Version", "Content-Type", "Content-Transfer-Encoding", "Content-ID",
        "Content-Description", "Content-Length", "Content-Language", "Allow", "Public",
        "Date", "Expires", "Last-Modified", "Message-ID", "URI", "Derived-From", "Cost",
        "Link", "Pragma", nullptr, nullptr, nullptr, nullptr, nullptr, "Connection",
        "Accept", "Accept-Charset", "Accept-Encoding", "Accept-Language", "Authorization",
        "Content-Encoding", "Forwarded", "From", "If-Modified-Since", "Location",
        "Orig-URI", "Referer", "Retry-After", "Server", "Title", "User-Agent",
        "WWW-Authenticate", "Proxy-Authenticate", "Accept-Ranges", "Set-Cookie", "Cookie",
        nullptr, "Refresh", "Content-Disposition", "Age", "Cache-Control", "Content-Base",
        "Content-Location", "Content-MD5", "Content-Range", "ETag", "Host", "If-Match",
        "If-None-Match", "If-Range", "If-Unmodified-Since", "Max-Forwards",
        "Proxy-Authorization", "Range", "Transfer-Encoding", "Upgrade", "Vary", "Via",
        "Warning", "Expect", "Proxy-Connection", "Unless-Modified-Since"};
    return nivel < std::size(kNombres) ? kNombres[nivel] : nullptr;
}

std::string Unir(const std::vector<std::string>& lineas, bool crlf) {
    std::string r;
    for (const auto& l : lineas) {
        r += l;
        if (crlf)
            r += "\r\n";
        else
            r.push_back('\0');
    }
    if (crlf) r += "\r\n";
    return r;
}

}  // namespace

// ---- Handle objects --------------------------------------------------------------------

namespace {
std::atomic<size_t> gAbiertos{0};  // handle objects alive, for HandlesAbiertos
}  // namespace

struct Objeto {
    enum class Clase { Sesion, Conexion, Peticion };
    explicit Objeto(Clase c) : clase(c) { ++gAbiertos; }
    virtual ~Objeto() { --gAbiertos; }
    Objeto(const Objeto&) = delete;
    Objeto& operator=(const Objeto&) = delete;
    const Clase clase;
};

namespace {

struct Sesion final : Objeto {
    Sesion() : Objeto(Clase::Sesion) {}
    static constexpr Clase kClase = Clase::Sesion;
    std::string agente;
    bool proxyExplicito = false;
    std::string proxy, bypass;
    Ajustes ajustes;
};

struct Conexion final : Objeto {
    Conexion() : Objeto(Clase::Conexion) {}
    static constexpr Clase kClase = Clase::Conexion;
    Sesion sesion;  // a copy: the session may be closed first
    std::string host;
    uint16_t puerto = 0;  // 0: the default of the request's scheme
    std::string usuario, password;
};

template <class T>
T* Como(HINTERNET h) {
    return (h != nullptr && h->clase == T::kClase) ? static_cast<T*>(h) : nullptr;
}

// Owner of a parsed URL.
struct LiberarUrl {
    void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
};
using Url = std::unique_ptr<CURLU, LiberarUrl>;

std::string ParteDeUrl(CURLU* u, CURLUPart parte, unsigned int flags = 0) {
    char* texto = nullptr;
    if (curl_url_get(u, parte, &texto, flags) != CURLUE_OK) throw FalloCurl{};
    std::string r(texto);
    curl_free(texto);
    return r;
}

// One hop of a request: where it goes.
struct Destino {
    std::string url, esquema, host;
    long puerto = 0;
    std::string ruta;  // path and query, as on the request line
};

// `referencia` (absolute, or relative to `base`) as a destination; nothing when it is not a
// URL libcurl can read. The rules are libcurl's own for following a Location.
std::optional<Destino> Resolver(const std::string& base, const std::string& referencia) {
    Url u(curl_url());
    if (!u) return std::nullopt;
    const unsigned int flags = CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;
    if (!base.empty() && curl_url_set(u.get(), CURLUPART_URL, base.c_str(), flags) != CURLUE_OK)
        return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_URL, referencia.c_str(), flags) != CURLUE_OK)
        return std::nullopt;
    try {
        Destino d;
        d.url = ParteDeUrl(u.get(), CURLUPART_URL);
        d.esquema = ParteDeUrl(u.get(), CURLUPART_SCHEME);
        d.host = ParteDeUrl(u.get(), CURLUPART_HOST);
        d.puerto = std::stol(ParteDeUrl(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT));
        d.ruta = ParteDeUrl(u.get(), CURLUPART_PATH);
        char* consulta = nullptr;
        if (curl_url_get(u.get(), CURLUPART_QUERY, &consulta, 0) == CURLUE_OK) {
            d.ruta += "?";
            d.ruta += consulta;
            curl_free(consulta);
        }
        return d;
    } catch (...) {
        return std::nullopt;
    }
}

constexpr int kMaximoSaltos = 10;

struct Peticion final : Objeto {
    Peticion() : Objeto(Clase::Peticion) {}
    static constexpr Clase kClase = Clase::Peticion;

    // What the request was opened with.
    std::string verbo, version;
    Campos camposPropios;   // the headers this layer puts on the request, but Host
    Campos camposLlamante;  // the caller's own, as given to HttpSendRequestA
    std::vector<std::string> lineasLlamante;  // the same, as the lines that go out
    // The request as the current hop sends it.
    std::string metodo;
    bool mismoOrigen = true;  // the hop goes where the caller connected
    milliseconds inactividad{30000};
    milliseconds suelo{60000};
    const sistema::Cancelacion* cancelacion = nullptr;
    Reloj::time_point envio{};             // the current hop's request went out
    Reloj::duration esperaCuerpo{};        // time spent waiting for the final head's body
    // (esperaCuerpo, entregados) at moments of that waiting, oldest first: what the body
    // brought in the last `suelo` of it.
    std::deque<std::pair<Reloj::duration, uint64_t>> muestras;
    bool segura = false;  // https only, on every hop
    bool proxyExplicito = false;
    std::string proxy, bypass, usuario, password;
    Destino origen, actual;  // the first hop and the current one
    int saltos = 0;

    // libcurl's own words for a failed transfer; outlives the easy handle that writes them.
    char errorCurl[CURL_ERROR_SIZE] = {};
    // curl objects; the attachment is declared last so that it is undone first.
    Lista lista;
    Multi multi;
    Easy easy;
    Enganche enganche;

    // Body bytes not yet read: [ini, fin) of buffer.
    std::unique_ptr<char[]> buffer;
    size_t ini = 0, fin = 0;

    LectorCabezas lector;
    bool enviada = false;
    bool cabezaFinal = false;
    bool saltoPendiente = false;  // the current head redirects: the next hop is due
    int64_t esperados = -1;       // body length the final head announces; -1 unknown
    bool conectada = false;  // a connection is up: silence counts from here on
    bool pausada = false;
    bool terminada = false;
    bool fallida = false;  // a send or read failed: every later read fails
    CURLcode resultado = CURLE_OK;
    std::error_code fallo;  // why the last call failed, for Fallo
    std::string motivo;     // the same in words, for MotivoDelFallo
    uint64_t entregados = 0;  // body bytes handed to the buffer
    Reloj::time_point actividad{};

    size_t SinLeer() const noexcept { return fin - ini; }
    // The announced length has been delivered: the body is over, whatever follows.
    bool CuerpoLleno() const noexcept {
        return cabezaFinal && esperados >= 0 && entregados >= static_cast<uint64_t>(esperados);
    }

    size_t Servir(void* destino, uint32_t aLeer) noexcept {
        const size_t n = std::min<size_t>(SinLeer(), aLeer);
        std::memcpy(destino, buffer.get() + ini, n);
        ini += n;
        if (ini == fin) ini = fin = 0;
        return n;
    }

    void Apuntar(const Destino& d);
    void FijarCabeceras();
    Campos CamposEnviados() const;
    bool Saltar();
    void LineaCabecera(std::string_view linea);
    void FijarFinal();
    size_t Recibir(const char* datos, size_t n) noexcept;
    // Every later read fails; `causa` (when given) says why, and `razon` says it in the
    // network's words when they say more than the code's message.
    void Fallar(std::error_code causa, std::string_view razon = {}) noexcept {
        fallida = true;
        enganche.Soltar();
        if (!causa) return;
        fallo = causa;
        try {
            motivo = razon.empty() ? causa.message() : std::string(razon);
        } catch (...) {
        }
    }
    // libcurl's reason for the end of the transfer (masked: it goes into logs).
    std::string MotivoCurl() const {
        if (errorCurl[0] == '\0') return curl_easy_strerror(resultado);
        return SinCredenciales(std::string_view(errorCurl, ::strnlen(errorCurl, sizeof errorCurl)));
    }
    bool CuerpoLento();
    void RecogerMensajes() noexcept;
    enum class Espera { Lista, Terminada, Inactiva, Abandonada };
    bool Cancelada() const noexcept { return cancelacion && cancelacion->Activa(); }
    template <class Pred>
    Espera Impulsar(Pred lista);
    bool CuerpoCompleto() const;
};

// Points the easy handle at one hop. The proxy is chosen for the hop's own scheme and
// host; the credentials go only to the origin the caller connected to.
void Peticion::Apuntar(const Destino& d) {
    CURL* e = easy.get();
    Fijar(e, CURLOPT_URL, d.url.c_str());
    if (proxyExplicito) {
        const ProxyElegido elegido = TraducirProxy(proxy, bypass, d.esquema, d.host);
        Fijar(e, CURLOPT_PROXY, elegido.Directo ? "" : elegido.Proxy.c_str());
        // An HTTP proxy given without a port listens on 80, as the platform assumes
        // (libcurl's own default would be 1080).
        const bool http = elegido.Proxy.find("://") == std::string::npos ||
                          IgualesSinCaso(elegido.Proxy.substr(0, 7), "http://");
        Fijar(e, CURLOPT_PROXYPORT, !elegido.Directo && http ? 80L : 0L);
    }
    mismoOrigen = IgualesSinCaso(d.esquema, origen.esquema) &&
                  IgualesSinCaso(d.host, origen.host) && d.puerto == origen.puerto;
    if (!usuario.empty() && mismoOrigen) {
        Fijar(e, CURLOPT_USERNAME, usuario.c_str());
        Fijar(e, CURLOPT_PASSWORD, password.c_str());
        Fijar(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
    } else {
        Fijar(e, CURLOPT_USERNAME, static_cast<const char*>(nullptr));
        Fijar(e, CURLOPT_PASSWORD, static_cast<const char*>(nullptr));
    }
    actual = d;
    FijarCabeceras();
}

// Credentials the caller wrote into its own headers are for the origin it connected to.
bool EsCredencial(std::string_view nombre) {
    return IgualesSinCaso(nombre, "Authorization") || IgualesSinCaso(nombre, "Cookie") ||
           IgualesSinCaso(nombre, "Proxy-Authorization");
}

// The header list of the current hop. Host, User-Agent and Referer go through their own
// options.
void Peticion::FijarCabeceras() {
    Lista nueva;
    auto anadir = [&nueva](const std::string& linea) {
        curl_slist* l = curl_slist_append(nueva.get(), linea.c_str());
        if (!l) throw FalloCurl{};
        nueva.release();
        nueva.reset(l);
    };
    for (const auto& [n, val] : camposPropios)
        if (n != "User-Agent" && n != "Referer") anadir(n + ": " + val);
    for (size_t i = 0; i < lineasLlamante.size(); ++i)
        if (mismoOrigen || !EsCredencial(camposLlamante[i].first)) anadir(lineasLlamante[i]);
    Fijar(easy.get(), CURLOPT_HTTPHEADER, nueva.get());
    lista = std::move(nueva);
}

// The headers as the current hop sends them, in order.
Campos Peticion::CamposEnviados() const {
    const bool tls = IgualesSinCaso(actual.esquema, "https");
    std::string host = actual.host;
    if (actual.puerto != (tls ? 443 : 80)) host += ":" + std::to_string(actual.puerto);
    Campos r{{"Host", host}};
    r.insert(r.end(), camposPropios.begin(), camposPropios.end());
    for (const auto& campo : camposLlamante)
        if (mismoOrigen || !EsCredencial(campo.first)) r.push_back(campo);
    return r;
}

// Leaves the hop whose head redirects and starts the next one. False when the redirect
// cannot be followed: too many hops, no usable Location, or a scheme the request may not
// go to (a secure request stays on https).
bool Peticion::Saltar() {
    enganche.Soltar();  // drops the hop's connection and whatever body it still had
    std::string ubicacion;
    if (++saltos > kMaximoSaltos ||
        !BuscarCampo(lector.Actual().campos, "Location", 0, ubicacion))
        return false;
    const auto d = Resolver(actual.url, ubicacion);
    if (!d || !(IgualesSinCaso(d->esquema, "https") ||
                (!segura && IgualesSinCaso(d->esquema, "http"))))
        return false;
    const int estado = lector.Actual().estado;
    if (estado == 303 || ((estado == 301 || estado == 302) && verbo == "POST")) {
        Fijar(easy.get(), CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
        Fijar(easy.get(), CURLOPT_HTTPGET, 1L);
        metodo = "GET";
    }
    Apuntar(*d);
    envio = Reloj::now();
    saltoPendiente = conectada = pausada = terminada = false;
    resultado = CURLE_OK;
    if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) return false;
    enganche = Enganche(multi.get(), easy.get());
    return true;
}

// Decides, at the end of each head, whether it is the final one. Lines after the final
// head (trailers) and the rest of a hop being left change nothing.
void Peticion::LineaCabecera(std::string_view linea) {
    actividad = Reloj::now();
    if (cabezaFinal || saltoPendiente) return;
    const bool terminaCabeza = lector.Linea(linea);
    const Cabeza& c = lector.Actual();
    if (!terminaCabeza && c.lineas.size() == 1 && !c.completa) {
        // A challenge libcurl answers is followed by its request on the same connection,
        // so libcurl must know where its body ends: the head's Content-Length is left to
        // libcurl for 401 and 407 only, as it then reads the same number.
        Fijar(easy.get(), CURLOPT_IGNORE_CONTENT_LENGTH,
              c.estado == 401 || c.estado == 407 ? 0L : 1L);
    }
    if (!terminaCabeza) return;
    switch (PapelDeCabeza(lector.Actual(), !usuario.empty())) {
    case Papel::Intermedia:
        break;
    case Papel::Redireccion:
        saltoPendiente = true;
        break;
    case Papel::Desafio:
        // Settled by the first body byte (libcurl passes on none of an answered
        // challenge) or by the end of the transfer.
        break;
    case Papel::Final:
        FijarFinal();
        break;
    }
}

void Peticion::FijarFinal() {
    cabezaFinal = true;
    const Cabeza& c = lector.Actual();
    std::string v;
    const bool sinCuerpo = IgualesSinCaso(verbo, "HEAD") || c.estado < 200 ||
                           c.estado == 204 || c.estado == 304;
    if (!sinCuerpo && !BuscarCampo(c.campos, "Transfer-Encoding", 0, v) &&
        BuscarCampo(c.campos, "Content-Length", 0, v))
        esperados = LongitudAnunciada(v);
}

size_t Peticion::Recibir(const char* datos, size_t n) noexcept {
    actividad = Reloj::now();
    if (saltoPendiente) return n;  // the body of a redirect is nobody's
    if (!cabezaFinal && lector.Actual().completa) FijarFinal();
    // Nothing beyond the announced length is delivered.
    const size_t recibidos = n;
    if (esperados >= 0)
        n = static_cast<size_t>(
            std::min<uint64_t>(n, static_cast<uint64_t>(esperados) - entregados));
    if (n > LimiteBufferCuerpo - fin) {
        if (ini > 0) {
            std::memmove(buffer.get(), buffer.get() + ini, fin - ini);
            fin -= ini;
            ini = 0;
        }
        if (n > LimiteBufferCuerpo - fin) {
            pausada = true;
            return CURL_WRITEFUNC_PAUSE;
        }
    }
    std::memcpy(buffer.get() + fin, datos, n);
    fin += n;
    entregados += n;
    return recibidos;
}

void Peticion::RecogerMensajes() noexcept {
    int quedan = 0;
    while (CURLMsg* m = curl_multi_info_read(multi.get(), &quedan)) {
        if (m->msg == CURLMSG_DONE && m->easy_handle == easy.get()) {
            terminada = true;
            resultado = m->data.result;
        }
    }
}

// Runs the transfer until `lista()` holds or the transfer ends. Once connected, a wait
// that sees no byte at all for the inactivity time-out gives up. The cancel token's
// descriptor is polled beside the sockets: the wait ends as soon as it is active.
template <class Pred>
Peticion::Espera Peticion::Impulsar(Pred lista) {
    const auto inicio = Reloj::now();
    curl_waitfd testigo{};
    const bool conTestigo = cancelacion && cancelacion->Descriptor() >= 0;
    if (conTestigo) {
        testigo.fd = cancelacion->Descriptor();
        testigo.events = CURL_WAIT_POLLIN;
    }
    auto tramo = inicio;  // waiting since then not yet counted against the floor
    for (;;) {
        int activas = 0;
        if (curl_multi_perform(multi.get(), &activas) != CURLM_OK) {
            terminada = true;
            resultado = CURLE_FAILED_INIT;
        } else {
            RecogerMensajes();
        }
        const auto ahora = Reloj::now();
        if (cabezaFinal) esperaCuerpo += ahora - tramo;
        tramo = ahora;
        if (lista()) return Espera::Lista;
        if (terminada) return Espera::Terminada;
        if (Cancelada()) return Espera::Abandonada;
        milliseconds espera{1000};
        // A floor under the speed: the head must be in within `suelo` of the request
        // (interim answers do not count), and a body must bring kSueloBytes in any
        // `suelo` of waiting for it; a reader's own pauses are not waiting.
        if (cabezaFinal) {
            if (CuerpoLento()) {
                Fallar(Limite(Propio::CuerpoLento, suelo),
                       "Less than " + std::to_string(kSueloBytes) + " bytes received in " +
                           std::to_string(suelo.count()) + " ms");
                return Espera::Inactiva;
            }
            // Looked at once a part at least, so that a sample follows each arrival soon.
            espera = std::min(espera, std::max(milliseconds(1), suelo / kMuestrasSuelo));
        } else {
            const auto transcurrido = ahora - envio;
            if (transcurrido >= suelo) {
                Fallar(Limite(Propio::SinCabeza, suelo),
                       "No response head within " + std::to_string(suelo.count()) + " ms");
                return Espera::Inactiva;
            }
            espera = std::min(espera, std::chrono::ceil<milliseconds>(suelo - transcurrido));
        }
        if (conectada) {
            const auto quieto = ahora - std::max(inicio, actividad);
            if (quieto >= inactividad) {
                Fallar(Limite(Propio::SinActividad, inactividad),
                       "Nothing received for " + std::to_string(inactividad.count()) + " ms");
                return Espera::Inactiva;
            }
            espera = std::min(
                espera, std::chrono::ceil<milliseconds>(inactividad - quieto));
        }
        // A token without a descriptor can only be looked at: then every few milliseconds.
        if (cancelacion && !conTestigo) espera = std::min(espera, milliseconds(10));
        // Any arrival on the connection breaks the silence, also a piece of a header line
        // that libcurl hands on only once the line is whole. The token wakes the wait too.
        int conEventos = 0;
        testigo.revents = 0;
        if (curl_multi_poll(multi.get(), conTestigo ? &testigo : nullptr, conTestigo ? 1 : 0,
                            static_cast<int>(espera.count()), &conEventos) != CURLM_OK) {
            terminada = true;
            resultado = CURLE_FAILED_INIT;
        } else if (conEventos > (testigo.revents != 0 ? 1 : 0)) {
            actividad = Reloj::now();
        }
    }
}

// Whether the body is below the floor: once `suelo` of waiting for it has passed, the
// last `suelo` of that waiting brought less than kSueloBytes. A sample is taken at the
// first look a part (suelo / kMuestrasSuelo) after the last one that finds the count
// changed, and the waits look at least once a part, so the stretch measured is at most
// about two parts longer than `suelo`, and at most kMuestrasSuelo + 2 samples are kept.
bool Peticion::CuerpoLento() {
    if (muestras.empty()) muestras.emplace_back(Reloj::duration{}, 0);
    const auto parte = suelo / kMuestrasSuelo;
    if (entregados != muestras.back().second && esperaCuerpo - muestras.back().first >= parte)
        muestras.emplace_back(esperaCuerpo, entregados);
    if (esperaCuerpo < suelo) return false;
    const auto desde = esperaCuerpo - suelo;
    while (muestras.size() >= 2 && muestras[1].first <= desde) muestras.pop_front();
    return entregados - muestras.front().second < kSueloBytes;
}

// Whether the finished transfer delivered the whole body. libcurl is told to ignore
// Content-Length, so a length announced by the head is checked here, read the way the
// download component reads it; without one the body ends cleanly at the close (or at the
// end of the chunks).
bool Peticion::CuerpoCompleto() const {
    if (esperados >= 0) return CuerpoLleno();
    return resultado == CURLE_OK;
}

// ---- curl callbacks --------------------------------------------------------------------

size_t AlRecibirCabecera(char* datos, size_t, size_t n, void* yo) {
    try {
        static_cast<Peticion*>(yo)->LineaCabecera(std::string_view(datos, n));
        return n;
    } catch (...) {
        return 0;  // aborts the transfer
    }
}

size_t AlRecibirCuerpo(char* datos, size_t, size_t n, void* yo) {
    return static_cast<Peticion*>(yo)->Recibir(datos, n);
}

// libcurl's trace as libcurl itself writes it (notes "* ", heads out "> " and in "< ",
// no bodies), one prefix per line and every credential masked: the trace goes into logs.
int AlTrazar(CURL*, curl_infotype tipo, char* datos, size_t n, void*) {
    const char* prefijo = nullptr;
    switch (tipo) {
    case CURLINFO_TEXT: prefijo = "* "; break;
    case CURLINFO_HEADER_IN: prefijo = "< "; break;
    case CURLINFO_HEADER_OUT: prefijo = "> "; break;
    default: return 0;
    }
    try {
        const std::string limpio = SinCredenciales(std::string_view(datos, n));
        std::string salida;
        for (std::string_view resto = limpio; !resto.empty();) {
            size_t fin = resto.find('\n');
            fin = fin == std::string_view::npos ? resto.size() : fin + 1;
            salida += prefijo;
            salida += resto.substr(0, fin);
            resto.remove_prefix(fin);
        }
        if (!salida.empty() && salida.back() != '\n') salida += '\n';
        std::fwrite(salida.data(), 1, salida.size(), stderr);
    } catch (...) {
    }
    return 0;
}

int AlConectar(void* yo, char*, char*, int, int) {
    auto* p = static_cast<Peticion*>(yo);
    p->conectada = true;
    p->actividad = Reloj::now();
    return CURL_PREREQFUNC_OK;
}

}  // namespace

// ---- API -------------------------------------------------------------------------------

BibliotecaInternet::BibliotecaInternet() { curl_global_init(CURL_GLOBAL_DEFAULT); }
BibliotecaInternet::~BibliotecaInternet() { curl_global_cleanup(); }

HINTERNET InternetOpenA(const char* agente, int32_t tipoAcceso, const char* proxy,
                        const char* bypass, uint32_t /*flags*/) {
    try {
        if (tipoAcceso != INTERNET_OPEN_TYPE_PRECONFIG && tipoAcceso != INTERNET_OPEN_TYPE_PROXY)
            return nullptr;
        auto s = std::make_unique<Sesion>();
        s->agente = agente ? agente : "";
        s->proxyExplicito = tipoAcceso == INTERNET_OPEN_TYPE_PROXY;
        if (s->proxyExplicito) {
            s->proxy = proxy ? proxy : "";
            s->bypass = bypass ? bypass : "";
            if (!SinSaltosDeLinea(s->proxy) || !SinSaltosDeLinea(s->bypass)) return nullptr;
        }
        return s.release();
    } catch (...) {
        return nullptr;
    }
}

HINTERNET InternetConnectA(HINTERNET sesion, const char* servidor, int16_t puerto,
                           const char* usuario, const char* password, int32_t servicio,
                           uint32_t /*flags*/, uintptr_t /*contexto*/) {
    try {
        const Sesion* s = Como<Sesion>(sesion);
        if (!s || !servidor || !HostValido(servidor) || servicio != INTERNET_SERVICE_HTTP)
            return nullptr;
        auto c = std::make_unique<Conexion>();
        c->sesion.agente = s->agente;
        c->sesion.proxyExplicito = s->proxyExplicito;
        c->sesion.proxy = s->proxy;
        c->sesion.bypass = s->bypass;
        c->sesion.ajustes = s->ajustes;
        c->host = servidor;
        c->puerto = static_cast<uint16_t>(puerto);
        c->usuario = usuario ? usuario : "";
        c->password = password ? password : "";
        if (!SinSaltosDeLinea(c->usuario) || !SinSaltosDeLinea(c->password)) return nullptr;
        return c.release();
    } catch (...) {
        return nullptr;
    }
}

HINTERNET HttpOpenRequestA(HINTERNET conexion, const char* verbo, const char* objeto,
                           const char* version, const char* referente,
                           const char* const* tiposAceptados, uint32_t flags,
                           uintptr_t /*contexto*/) {
    try {
        const Conexion* c = Como<Conexion>(conexion);
        if (!c) return nullptr;
        const std::string_view v = (verbo && *verbo) ? verbo : "GET";
        for (char ch : v)
            if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7f) return nullptr;
        const std::string_view ver = (version && *version) ? version : "HTTP/1.1";
        long versionCurl;
        if (ver == "HTTP/1.0")
            versionCurl = CURL_HTTP_VERSION_1_0;
        else if (ver == "HTTP/1.1")
            versionCurl = CURL_HTTP_VERSION_1_1;
        else
            return nullptr;

        auto p = std::make_unique<Peticion>();
        p->verbo = v;
        p->version = ver;
        const Ajustes& ajustes = c->sesion.ajustes;
        p->inactividad = ajustes.EsperaInactividad;
        p->suelo = ajustes.SueloVelocidad;
        p->cancelacion = ajustes.Cancelacion;
        p->buffer = std::make_unique_for_overwrite<char[]>(LimiteBufferCuerpo);

        const bool segura = (flags & INTERNET_FLAG_SECURE) != 0;
        const std::string esquema = segura ? "https" : "http";
        const uint16_t porDefecto = segura ? 443 : 80;
        const uint16_t puerto = c->puerto ? c->puerto : porDefecto;
        const std::string ruta = CodificarRuta(objeto ? objeto : "");
        p->segura = segura;
        p->origen = {esquema + "://" + c->host + ":" + std::to_string(puerto) + ruta, esquema,
                     c->host, puerto, ruta};
        p->proxyExplicito = c->sesion.proxyExplicito;
        p->proxy = c->sesion.proxy;
        p->bypass = c->sesion.bypass;
        p->usuario = c->usuario;
        p->password = c->password;
        p->metodo = p->verbo;

        // Request headers, in the order they go out (Host first, from the hop).
        if (!c->sesion.agente.empty())
            p->camposPropios.emplace_back("User-Agent", c->sesion.agente);
        std::string aceptados;
        for (auto t = tiposAceptados; t && *t; ++t) {
            if (!aceptados.empty()) aceptados += ", ";
            aceptados += *t;
        }
        p->camposPropios.emplace_back("Accept", aceptados.empty() ? "*/*" : aceptados);
        if (referente && *referente) p->camposPropios.emplace_back("Referer", referente);
        if (flags & INTERNET_FLAG_RELOAD) {
            p->camposPropios.emplace_back("Pragma", "no-cache");
            p->camposPropios.emplace_back("Cache-Control", "no-cache");
        }

        p->easy.reset(curl_easy_init());
        p->multi.reset(curl_multi_init());
        if (!p->easy || !p->multi) return nullptr;
        CURL* e = p->easy.get();

        Fijar(e, CURLOPT_PATH_AS_IS, 1L);
        Fijar(e, CURLOPT_NOSIGNAL, 1L);
        // Redirects are followed here, hop by hop (see Saltar); a secure request never
        // leaves TLS.
        Fijar(e, CURLOPT_PROTOCOLS_STR, segura ? "https" : "http,https");
        Fijar(e, CURLOPT_REDIR_PROTOCOLS_STR, segura ? "https" : "http,https");
        Fijar(e, CURLOPT_FOLLOWLOCATION, 0L);
        // The body's length is decided here (see CuerpoCompleto): libcurl would read
        // "1e3" as 1 and refuse "abc".
        Fijar(e, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        Fijar(e, CURLOPT_HTTP_VERSION, versionCurl);
        Fijar(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ajustes.EsperaConexion.count()));
        Fijar(e, CURLOPT_BUFFERSIZE, kBufferRecepcion);
        Fijar(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        Fijar(e, CURLOPT_ERRORBUFFER, p->errorCurl);
        if (gTrazaCurl.load()) {
            Fijar(e, CURLOPT_DEBUGFUNCTION, &AlTrazar);
            Fijar(e, CURLOPT_VERBOSE, 1L);
        }
#if LIBCURL_VERSION_NUM >= 0x075700
        // A request given up during name resolution is dropped without waiting for the
        // resolver to answer.
        Fijar(e, CURLOPT_QUICK_EXIT, 1L);
#endif
        if (segura) {
            Fijar(e, CURLOPT_SSL_VERIFYPEER, 1L);
            Fijar(e, CURLOPT_SSL_VERIFYHOST, 2L);
            if (!ajustes.AutoridadPruebas.empty()) {
                // libcurl copies the text.
                Fijar(e, CURLOPT_CAINFO, ajustes.AutoridadPruebas.c_str());
                Fijar(e, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
            }
        }
        if (v == "GET")
            Fijar(e, CURLOPT_HTTPGET, 1L);
        else if (v == "HEAD")
            Fijar(e, CURLOPT_NOBODY, 1L);
        else
            Fijar(e, CURLOPT_CUSTOMREQUEST, p->verbo.c_str());
        if (!c->sesion.agente.empty()) Fijar(e, CURLOPT_USERAGENT, c->sesion.agente.c_str());
        p->Apuntar(p->origen);
        if (referente && *referente) Fijar(e, CURLOPT_REFERER, referente);

        Fijar(e, CURLOPT_HEADERFUNCTION, &AlRecibirCabecera);
        Fijar(e, CURLOPT_HEADERDATA, static_cast<void*>(p.get()));
        Fijar(e, CURLOPT_WRITEFUNCTION, &AlRecibirCuerpo);
        Fijar(e, CURLOPT_WRITEDATA, static_cast<void*>(p.get()));
        Fijar(e, CURLOPT_PREREQFUNCTION, &AlConectar);
        Fijar(e, CURLOPT_PREREQDATA, static_cast<void*>(p.get()));
        return p.release();
    } catch (...) {
        return nullptr;
    }
}

namespace {

// Ends a call on `p` as a failure, its reason kept on the request.
bool FallarLlamada(Peticion* p, std::error_code causa, std::string_view razon = {}) noexcept {
    p->Fallar(causa, razon);
    return false;
}

}  // namespace

bool HttpSendRequestA(HINTERNET peticion, const char* cabeceras, uint32_t longitudCabeceras,
                      const void* opcional, uint32_t longitudOpcional) {
    Peticion* p = Como<Peticion>(peticion);
    if (!p || p->enviada) return false;
    p->fallo.clear();
    p->motivo.clear();
    const auto fallo = [p](std::error_code causa, std::string_view razon = {}) noexcept {
        return FallarLlamada(p, causa, razon);
    };
    try {
        p->enviada = true;
        CURL* e = p->easy.get();

        if (cabeceras && longitudCabeceras) {
            const size_t n = longitudCabeceras == UINT32_MAX ? std::strlen(cabeceras)
                                                            : longitudCabeceras;
            for (std::string_view linea : Partir(std::string_view(cabeceras, n), "\r\n")) {
                const size_t dp = linea.find(':');
                if (dp == std::string_view::npos || dp == 0) continue;
                p->lineasLlamante.emplace_back(linea);
                p->camposLlamante.emplace_back(std::string(Recortar(linea.substr(0, dp))),
                                               std::string(Recortar(linea.substr(dp + 1))));
            }
            p->FijarCabeceras();
        }
        if (opcional && longitudOpcional) {
            Fijar(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(longitudOpcional));
            Fijar(e, CURLOPT_COPYPOSTFIELDS, static_cast<const char*>(opcional));
            if (p->verbo != "POST") Fijar(e, CURLOPT_CUSTOMREQUEST, p->verbo.c_str());
        }

        p->envio = Reloj::now();
        if (curl_multi_add_handle(p->multi.get(), e) != CURLM_OK)
            return fallo(Limite(Propio::NoIniciada));
        p->enganche = Enganche(p->multi.get(), e);

        for (;;) {
            const auto espera = p->Impulsar([p] { return p->cabezaFinal || p->saltoPendiente; });
            if (espera == Peticion::Espera::Lista && p->saltoPendiente) {
                if (p->Saltar()) continue;
                return fallo(Limite(Propio::RedireccionNoSeguida));
            }
            switch (espera) {
            case Peticion::Espera::Lista:
                return true;
            case Peticion::Espera::Terminada:
                // A head that could have been followed by another one, but was not.
                if (p->resultado == CURLE_OK && p->lector.Actual().completa) {
                    p->FijarFinal();
                    return true;
                }
                if (p->resultado != CURLE_OK) return fallo(DeCurl(p->resultado), p->MotivoCurl());
                return fallo(Limite(Propio::CabezaIncompleta));
            case Peticion::Espera::Inactiva:
                return fallo({});  // the wait gave its reason
            case Peticion::Espera::Abandonada:
                return fallo(Cancelado());
            }
            return fallo({});
        }
    } catch (...) {
        return fallo(Limite(Propio::Interno));
    }
}

bool HttpQueryInfoA(HINTERNET peticion, uint32_t nivel, void* buffer, uint32_t* longitud,
                    uint32_t* indice) {
    try {
        const Peticion* p = Como<Peticion>(peticion);
        if (!p || !longitud || !p->enviada) return false;
        const bool dePeticion = (nivel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
        const uint32_t base = nivel & ~HTTP_QUERY_FLAG_REQUEST_HEADERS;
        const uint32_t ocurrencia = indice ? *indice : 0;
        bool esCampo = false;
        std::string valor;

        if (dePeticion) {
            switch (base) {
            case HTTP_QUERY_REQUEST_METHOD: valor = p->metodo; break;
            case HTTP_QUERY_VERSION: valor = p->version; break;
            case HTTP_QUERY_RAW_HEADERS:
            case HTTP_QUERY_RAW_HEADERS_CRLF: {
                std::vector<std::string> lineas{p->metodo + " " + p->actual.ruta + " " +
                                                p->version};
                for (const auto& [n, v] : p->CamposEnviados()) lineas.push_back(n + ": " + v);
                valor = Unir(lineas, base == HTTP_QUERY_RAW_HEADERS_CRLF);
                break;
            }
            default: {
                const char* nombre = NombreDeNivel(base);
                if (!nombre || !BuscarCampo(p->CamposEnviados(), nombre, ocurrencia, valor))
                    return false;
                esCampo = true;
            }
            }
        } else {
            if (!p->cabezaFinal) return false;
            const Cabeza& c = p->lector.Actual();
            switch (base) {
            case HTTP_QUERY_STATUS_CODE: valor = c.codigo; break;
            case HTTP_QUERY_STATUS_TEXT: valor = c.texto; break;
            case HTTP_QUERY_VERSION: valor = c.version; break;
            case HTTP_QUERY_RAW_HEADERS:
            case HTTP_QUERY_RAW_HEADERS_CRLF:
                valor = Unir(c.lineas, base == HTTP_QUERY_RAW_HEADERS_CRLF);
                break;
            default: {
                const char* nombre = NombreDeNivel(base);
                if (!nombre || !BuscarCampo(c.campos, nombre, ocurrencia, valor)) return false;
                esCampo = true;
            }
            }
        }

        const uint64_t necesarios = static_cast<uint64_t>(valor.size()) + 1;
        if (!buffer || necesarios > *longitud) {
            *longitud = static_cast<uint32_t>(std::min<uint64_t>(necesarios, UINT32_MAX));
            return false;
        }
        std::memcpy(buffer, valor.data(), valor.size());
        static_cast<char*>(buffer)[valor.size()] = '\0';
        *longitud = static_cast<uint32_t>(valor.size());
        if (esCampo && indice) *indice = ocurrencia + 1;
        return true;
    } catch (...) {
        return false;
    }
}

bool InternetReadFile(HINTERNET peticion, void* buffer, uint32_t aLeer, uint32_t* leidos) {
    Peticion* p = Como<Peticion>(peticion);
    if (!p || !leidos || !buffer || aLeer == 0) return false;
    *leidos = 0;
    const auto fallo = [p](std::error_code causa, std::string_view razon = {}) noexcept {
        return FallarLlamada(p, causa, razon);
    };
    if (!p->enviada) return false;
    if (p->fallida) return false;  // the reason of the call that failed stays
    p->fallo.clear();
    p->motivo.clear();
    // The hot path: data is waiting.
    if (p->SinLeer() > 0) {
        *leidos = static_cast<uint32_t>(p->Servir(buffer, aLeer));
        return true;
    }
    if (p->CuerpoLleno()) return true;  // no need to wait for the close
    try {
        if (p->pausada) {
            p->pausada = false;
            // May deliver the held chunk right here, through the write callback.
            if (const CURLcode r = curl_easy_pause(p->easy.get(), CURLPAUSE_CONT); r != CURLE_OK)
                return fallo(DeCurl(r));
        }
        if (p->SinLeer() == 0 && !p->terminada) {
            const auto espera = p->Impulsar([p] { return p->SinLeer() > 0; });
            if (espera == Peticion::Espera::Abandonada) return fallo(Cancelado());
            if (espera == Peticion::Espera::Inactiva) return fallo({});  // reason given
        }
        if (p->SinLeer() > 0) {
            *leidos = static_cast<uint32_t>(p->Servir(buffer, aLeer));
            return true;
        }
        if (!p->CuerpoCompleto()) {
            if (p->resultado != CURLE_OK) return fallo(DeCurl(p->resultado), p->MotivoCurl());
            return fallo(DeCurl(CURLE_PARTIAL_FILE),
                         "Transfer closed with " +
                         std::to_string(static_cast<uint64_t>(p->esperados) - p->entregados) +
                         " bytes remaining to read");
        }
        return true;
    } catch (...) {
        return fallo(Limite(Propio::Interno));
    }
}

bool InternetCloseHandle(HINTERNET handle) {
    if (!handle) return false;
    delete handle;
    return true;
}

bool EstablecerAjustes(HINTERNET handle, const Ajustes& ajustes) {
    try {
        Sesion* s = Como<Sesion>(handle);
        if (Conexion* c = Como<Conexion>(handle)) s = &c->sesion;
        if (!s) return false;
        s->ajustes = ajustes;
        s->ajustes.EsperaConexion = std::max(milliseconds(1), ajustes.EsperaConexion);
        s->ajustes.EsperaInactividad = std::max(milliseconds(1), ajustes.EsperaInactividad);
        s->ajustes.SueloVelocidad = std::max(milliseconds(1), ajustes.SueloVelocidad);
        return true;
    } catch (...) {
        return false;
    }
}

const std::error_category& CategoriaInternet() {
    static const Categoria categoria;
    return categoria;
}

std::error_code Fallo(HINTERNET peticion) {
    const Peticion* p = Como<Peticion>(peticion);
    return p ? p->fallo : std::error_code{};
}

std::string MotivoDelFallo(HINTERNET peticion) {
    try {
        const Peticion* p = Como<Peticion>(peticion);
        return p ? p->motivo : std::string{};
    } catch (...) {
        return {};
    }
}

size_t HandlesAbiertos() { return gAbiertos.load(); }

size_t BytesSinLeer(HINTERNET peticion) {
    const Peticion* p = Como<Peticion>(peticion);
    return p ? p->SinLeer() : 0;
}

bool Esperar(std::chrono::milliseconds duracion, const sistema::Cancelacion* cancelacion) {
    if (!cancelacion) {
        if (duracion.count() > 0) {
            pollfd nada{-1, 0, 0};
            ::poll(&nada, 0, static_cast<int>(std::min<int64_t>(duracion.count(), INT32_MAX)));
        }
        return true;
    }
    return cancelacion->Dormir(static_cast<int>(std::min<int64_t>(duracion.count(), INT32_MAX)));
}

void EstablecerTrazaCurl(bool activa) { gTrazaCurl.store(activa); }

}  // namespace internet
