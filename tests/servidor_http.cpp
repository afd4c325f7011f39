// The scripted loopback server, the forward proxy and the TLS file server of the tests.
//
// Both share one listener: an accept thread and one thread per connection, every blocking
// wait a poll() that also watches a stop eventfd, so destroying the object ends pauses,
// stalls and half-read requests at once. Sockets are non-blocking; sends use MSG_NOSIGNAL
// so a client that goes away costs an EPIPE, never a signal.
#include "servidor_http.h"

#include "comun_prueba.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <list>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace prueba {

namespace {

// Owner of one file descriptor.
class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& o) noexcept : fd_(o.liberar()) {}
    Descriptor& operator=(Descriptor&& o) noexcept {
        if (this != &o) {
            cerrar();
            fd_ = o.liberar();
        }
        return *this;
    }
    ~Descriptor() { cerrar(); }

    int get() const noexcept { return fd_; }
    int liberar() noexcept { return std::exchange(fd_, -1); }
    void cerrar() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

[[noreturn]] void FalloDeSistema(const char* que) {
    throw std::system_error(errno, std::generic_category(), que);
}

bool IgualSinMayusculas(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string_view Recortar(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The stop signal every wait of a listener watches: an eventfd that becomes readable
// once and stays so.
class Parada {
public:
    Parada() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_.get() < 0) FalloDeSistema("eventfd");
    }
    void Activar() noexcept {
        uint64_t uno = 1;
        [[maybe_unused]] auto r = ::write(fd_.get(), &uno, sizeof uno);
        activa_ = true;
    }
    bool Activa() const noexcept { return activa_; }
    int fd() const noexcept { return fd_.get(); }

    // Waits until `fd` is ready for `eventos`, the stop is signalled or `ms` pass (-1:
    // no limit). True only when `fd` is ready (or in error: the next call reports it).
    bool Esperar(int fd, short eventos, int ms = -1) const {
        pollfd p[2] = {{fd_.get(), POLLIN, 0}, {fd, eventos, 0}};
        for (;;) {
            int n = ::poll(p, fd >= 0 ? 2 : 1, ms);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || p[0].revents) return false;
            return p[1].revents != 0;
        }
    }
    // Sleeps `ms`; false when the stop came first.
    bool Dormir(std::chrono::milliseconds ms) const {
        auto fin = std::chrono::steady_clock::now() + ms;
        for (;;) {
            auto queda = std::chrono::duration_cast<std::chrono::milliseconds>(
                fin - std::chrono::steady_clock::now());
            if (queda.count() <= 0) return !activa_;
            pollfd p{fd_.get(), POLLIN, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(queda.count(), 1 << 30)));
            if (n > 0) return false;
            if (n < 0 && errno != EINTR) return false;
        }
    }

private:
    Descriptor fd_;
    std::atomic<bool> activa_{false};
};

// Sends all `n` bytes, adding what the kernel took to `cuenta` when given; false when the
// peer went away or the stop came.
bool EnviarTodo(const Parada& parada, int fd, const char* datos, size_t n,
                std::atomic<uint64_t>* cuenta = nullptr) {
    while (n > 0) {
        ssize_t r = ::send(fd, datos, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            if (cuenta) *cuenta += static_cast<uint64_t>(r);
            datos += r;
            n -= static_cast<size_t>(r);
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!parada.Esperar(fd, POLLOUT)) return false;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

// Reads one request head (up to CRLF CRLF, or LF LF) into `cabeza`; bytes read past it go
// to `resto`. False when the peer closed first, the head grew absurdly or the stop came.
bool LeerCabeza(const Parada& parada, int fd, std::string& cabeza, std::string& resto) {
    constexpr size_t kMaximo = 1 << 20;
    std::string leido;
    char buf[8192];
    for (;;) {
        size_t fin = std::string::npos;
        size_t crlf = leido.find("\r\n\r\n");
        size_t lf = leido.find("\n\n");
        if (crlf != std::string::npos) fin = crlf + 4;
        if (lf != std::string::npos && (fin == std::string::npos || lf + 2 < fin)) fin = lf + 2;
        if (fin != std::string::npos) {
            cabeza = leido.substr(0, fin);
            resto = leido.substr(fin);
            return true;
        }
        if (leido.size() > kMaximo) return false;
        ssize_t r = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) {
            leido.append(buf, static_cast<size_t>(r));
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!parada.Esperar(fd, POLLIN)) return false;
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
}

Peticion Analizar(const std::string& cabeza) {
    Peticion p;
    p.Bruta = cabeza;
    std::string_view resto = cabeza;
    bool primera = true;
    while (!resto.empty()) {
        size_t nl = resto.find('\n');
        std::string_view linea = resto.substr(0, nl);
        resto = nl == std::string_view::npos ? std::string_view{} : resto.substr(nl + 1);
        if (!linea.empty() && linea.back() == '\r') linea.remove_suffix(1);
        if (primera) {
            primera = false;
            size_t a = linea.find(' ');
            size_t b = a == std::string_view::npos ? a : linea.find(' ', a + 1);
            p.Metodo = std::string(linea.substr(0, a));
            if (a != std::string_view::npos)
                p.Destino = std::string(linea.substr(a + 1, b == std::string_view::npos
                                                                ? std::string_view::npos
                                                                : b - a - 1));
            if (b != std::string_view::npos) p.Version = std::string(Recortar(linea.substr(b + 1)));
            continue;
        }
        if (linea.empty()) break;
        size_t dos = linea.find(':');
        if (dos == std::string_view::npos) {
            p.Cabeceras.emplace_back(std::string(Recortar(linea)), "");
        } else {
            p.Cabeceras.emplace_back(std::string(Recortar(linea.substr(0, dos))),
                                     std::string(Recortar(linea.substr(dos + 1))));
        }
    }
    return p;
}

// Ends a connection in an orderly way: FIN first, then whatever the client still sends is
// read and dropped for a short while, so that unread input does not turn the close into a
// reset (a client that pipelined a second request must see a clean end).
void CerrarOrdenado(const Parada& parada, Descriptor& fd) {
    ::shutdown(fd.get(), SHUT_WR);
    char buf[4096];
    auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        ssize_t r = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (r > 0) continue;
        if (r == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) break;
        auto queda = std::chrono::duration_cast<std::chrono::milliseconds>(
            limite - std::chrono::steady_clock::now());
        if (queda.count() <= 0) break;
        if (!parada.Esperar(fd.get(), POLLIN, static_cast<int>(queda.count()))) break;
    }
    fd.cerrar();
}

void CerrarConReinicio(Descriptor& fd) {
    linger l{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.cerrar();
}

// A listening socket on 127.0.0.1 with its accept thread and one thread per connection.
// The handler runs on the connection's thread and owns the descriptor it is given.
class Escucha {
public:
    using Manejador = std::function<void(Descriptor, const Parada&)>;

    explicit Escucha(Manejador manejador) : manejador_(std::move(manejador)) {
        Descriptor s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (s.get() < 0) FalloDeSistema("socket");
        int uno = 1;
        if (::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &uno, sizeof uno) != 0)
            FalloDeSistema("setsockopt");
        sockaddr_in dir{};
        dir.sin_family = AF_INET;
        dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dir.sin_port = 0;
        if (::bind(s.get(), reinterpret_cast<sockaddr*>(&dir), sizeof dir) != 0)
            FalloDeSistema("bind");
        if (::listen(s.get(), 128) != 0) FalloDeSistema("listen");
        socklen_t largo = sizeof dir;
        if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&dir), &largo) != 0)
            FalloDeSistema("getsockname");
        puerto_ = ntohs(dir.sin_port);
        socket_ = std::move(s);
        aceptador_ = std::thread([this] { Aceptar(); });
    }

    // Stops accepting, wakes every wait and joins every thread.
    ~Escucha() {
        parada_.Activar();
        if (aceptador_.joinable()) aceptador_.join();
        for (auto& h : hilos_) h.hilo.join();
    }

    uint16_t Puerto() const { return puerto_; }
    int Conexiones() const { return conexiones_.load(); }

private:
    struct Hilo {
        std::thread hilo;
        std::shared_ptr<std::atomic<bool>> hecho;
    };

    void Aceptar() {
        while (parada_.Esperar(socket_.get(), POLLIN)) {
            Descriptor c(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (c.get() < 0) continue;  // EAGAIN, ECONNABORTED, EMFILE: try again
            int uno = 1;
            ::setsockopt(c.get(), IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
            ++conexiones_;
            Recoger();
            auto hecho = std::make_shared<std::atomic<bool>>(false);
            int fd = c.get();
            try {
                hilos_.push_back({std::thread([this, hecho, fd] {
                                      try {
                                          manejador_(Descriptor(fd), parada_);
                                      } catch (...) {
                                      }
                                      hecho->store(true);
                                  }),
                                  hecho});
                c.liberar();  // the thread owns it now
            } catch (const std::system_error&) {
                // No thread could be started: `c` closes the connection.
            }
        }
    }

    // Joins the threads whose connections are over, so a long-lived server does not pile
    // them up.
    void Recoger() {
        for (auto it = hilos_.begin(); it != hilos_.end();) {
            if (it->hecho->load()) {
                it->hilo.join();
                it = hilos_.erase(it);
            } else {
                ++it;
            }
        }
    }

    Manejador manejador_;
    Parada parada_;
    Descriptor socket_;
    uint16_t puerto_ = 0;
    std::atomic<int> conexiones_{0};
    std::list<Hilo> hilos_;  // touched by the accept thread only, then by the destructor
    std::thread aceptador_;
};

// The body generator's source: the pattern from offset 0, one period longer than a chunk
// so a chunk can start at any phase. Built once, shared, never written again.
constexpr size_t kTrozoGenerado = 1 << 20;
const char* BufferPatron() {
    static const std::vector<char> buf = [] {
        std::vector<char> b(kTrozoGenerado + 26);
        for (size_t i = 0; i < b.size(); ++i) b[i] = Patron(i);
        return b;
    }();
    return buf.data();
}

std::string Direccion127(uint16_t puerto) { return "127.0.0.1:" + std::to_string(puerto); }

}  // namespace

std::string Peticion::Cabecera(const std::string& nombre) const {
    for (const auto& [n, v] : Cabeceras)
        if (IgualSinMayusculas(n, nombre)) return v;
    return {};
}

bool Peticion::Tiene(const std::string& nombre) const {
    return std::any_of(Cabeceras.begin(), Cabeceras.end(),
                       [&](const auto& c) { return IgualSinMayusculas(c.first, nombre); });
}

Respuesta Respuesta::Simple(const std::string& estado, const std::string& cuerpo,
                            const std::vector<std::string>& cabeceras, bool conLongitud) {
    Respuesta r;
    r.Cabecera = "HTTP/1.1 " + estado + "\r\n";
    for (const auto& c : cabeceras) r.Cabecera += c + "\r\n";
    if (conLongitud) r.Cabecera += "Content-Length: " + std::to_string(cuerpo.size()) + "\r\n";
    r.Cabecera += "\r\n";
    r.Cuerpo.push_back({std::chrono::milliseconds(0), cuerpo});
    return r;
}

Respuesta Respuesta::Cruda(const std::string& cabecera, std::vector<Trozo> cuerpo, Final fin) {
    Respuesta r;
    r.Cabecera = cabecera;
    r.Cuerpo = std::move(cuerpo);
    r.Fin = fin;
    return r;
}

// ---------------------------------------------------------------------------------------
// ServidorHttp

struct ServidorHttp::Estado {
    mutable std::mutex mutex;
    Guion guion;
    std::vector<Peticion> peticiones;
    std::atomic<uint64_t> enviados{0};  // reply bytes the kernel took, heads and bodies
    std::unique_ptr<Escucha> escucha;  // last: its threads use the members above

    void Atender(Descriptor fd, const Parada& parada) {
        Final fin = Final::Seguir;
        while (fin == Final::Seguir) fin = AtenderUna(fd, parada);
    }

    // One request on the connection; how the connection ends (Seguir: it goes on).
    Final AtenderUna(Descriptor& fd, const Parada& parada) {
        std::string cabeza, resto;
        if (!LeerCabeza(parada, fd.get(), cabeza, resto)) return Final::Cerrar;
        Peticion p = Analizar(cabeza);
        Guion g;
        {
            std::lock_guard<std::mutex> l(mutex);
            peticiones.push_back(p);
            g = guion;
        }
        Respuesta r;
        try {
            r = g ? g(p) : Respuesta::Simple("404 Not Found", "");
        } catch (...) {
            r = Respuesta::Simple("500 Internal Server Error", "");
        }
        if (!Enviar(parada, fd.get(), r, enviados)) return Final::Cerrar;
        if (r.Fin == Final::Seguir) return Final::Seguir;
        Terminar(parada, fd, r.Fin);
        return r.Fin;
    }

    static bool Enviar(const Parada& parada, int fd, const Respuesta& r,
                       std::atomic<uint64_t>& cuenta) {
        if (!EnviarTodo(parada, fd, r.Cabecera.data(), r.Cabecera.size(), &cuenta)) return false;
        uint64_t posicion = 0;  // offset in the body, for the generator's phase
        for (const auto& t : r.Cuerpo) {
            if (t.Pausa.count() > 0 && !parada.Dormir(t.Pausa)) return false;
            if (!EnviarTodo(parada, fd, t.Datos.data(), t.Datos.size(), &cuenta)) return false;
            posicion += t.Datos.size();
        }
        const char* patron = BufferPatron();
        for (uint64_t queda = r.BytesGenerados; queda > 0;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(queda, kTrozoGenerado));
            if (!EnviarTodo(parada, fd, patron + posicion % 26, n, &cuenta)) return false;
            posicion += n;
            queda -= n;
        }
        return true;
    }

    static void Terminar(const Parada& parada, Descriptor& fd, Final fin) {
        switch (fin) {
            case Final::Cerrar:
                CerrarOrdenado(parada, fd);
                break;
            case Final::Reiniciar:
                CerrarConReinicio(fd);
                break;
            case Final::Colgar:
                parada.Dormir(std::chrono::hours(24 * 365));
                break;
            case Final::Seguir:
                break;
        }
    }
};

ServidorHttp::ServidorHttp(Guion guion) : estado_(std::make_shared<Estado>()) {
    estado_->guion = std::move(guion);
    Estado* e = estado_.get();
    estado_->escucha = std::make_unique<Escucha>([e](Descriptor fd, const Parada& parada) { e->Atender(std::move(fd), parada); });
}

ServidorHttp::~ServidorHttp() { estado_->escucha.reset(); }

void ServidorHttp::Responder(Guion guion) {
    std::lock_guard<std::mutex> l(estado_->mutex);
    estado_->guion = std::move(guion);
}

uint16_t ServidorHttp::Puerto() const { return estado_->escucha->Puerto(); }
std::string ServidorHttp::Direccion() const { return Direccion127(Puerto()); }
std::string ServidorHttp::Url(const std::string& ruta) const {
    return "http://" + Direccion() + ruta;
}

std::vector<Peticion> ServidorHttp::Peticiones() const {
    std::lock_guard<std::mutex> l(estado_->mutex);
    return estado_->peticiones;
}

int ServidorHttp::Conexiones() const { return estado_->escucha->Conexiones(); }
uint64_t ServidorHttp::Enviados() const { return estado_->enviados.load(); }

// ---------------------------------------------------------------------------------------
// ProxyHttp

struct ProxyHttp::Estado {
    mutable std::mutex mutex;
    std::vector<Peticion> peticiones;
    std::unique_ptr<Escucha> escucha;

    void Atender(Descriptor cliente, const Parada& parada) {
        std::string cabeza, resto;
        if (!LeerCabeza(parada, cliente.get(), cabeza, resto)) return;
        Peticion p = Analizar(cabeza);
        {
            std::lock_guard<std::mutex> l(mutex);
            peticiones.push_back(p);
        }
        Descriptor origen;
        std::string ruta;
        if (auto puerto = DestinoLocal(p.Destino, ruta)) origen = Conectar(parada, *puerto);
        if (origen.get() < 0) {
            static const std::string k502 =
                "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            if (EnviarTodo(parada, cliente.get(), k502.data(), k502.size()))
                CerrarOrdenado(parada, cliente);
            return;
        }
        std::string salida = Reescribir(p, cabeza, ruta) + resto;
        if (!EnviarTodo(parada, origen.get(), salida.data(), salida.size())) return;
        Relevar(parada, cliente, origen);
    }

    // Port of an "http://127.0.0.1[:port]/path" target, with the path in origin form.
    static std::optional<uint16_t> DestinoLocal(const std::string& destino, std::string& ruta) {
        static const std::string kPrefijo = "http://";
        if (destino.size() < kPrefijo.size() ||
            !IgualSinMayusculas(std::string_view(destino).substr(0, kPrefijo.size()), kPrefijo))
            return std::nullopt;
        std::string resto = destino.substr(kPrefijo.size());
        size_t barra = resto.find_first_of("/?");
        std::string autoridad = resto.substr(0, barra);
        ruta = barra == std::string::npos ? "/" : resto.substr(barra);
        if (ruta.front() == '?') ruta = "/" + ruta;
        std::string host = autoridad;
        unsigned long puerto = 80;
        if (size_t dos = autoridad.rfind(':'); dos != std::string::npos) {
            host = autoridad.substr(0, dos);
            std::string numero = autoridad.substr(dos + 1);
            if (numero.empty() || numero.size() > 5 ||
                !std::all_of(numero.begin(), numero.end(), ::isdigit))
                return std::nullopt;
            puerto = std::stoul(numero);
        }
        if (host != "127.0.0.1" || puerto == 0 || puerto > 65535) return std::nullopt;
        return static_cast<uint16_t>(puerto);
    }

    static Descriptor Conectar(const Parada& parada, uint16_t puerto) {
        Descriptor s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (s.get() < 0) return {};
        sockaddr_in dir{};
        dir.sin_family = AF_INET;
        dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dir.sin_port = htons(puerto);
        if (::connect(s.get(), reinterpret_cast<sockaddr*>(&dir), sizeof dir) != 0) {
            if (errno != EINPROGRESS || !parada.Esperar(s.get(), POLLOUT)) return {};
            int err = 0;
            socklen_t largo = sizeof err;
            if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &largo) != 0 || err != 0)
                return {};
        }
        int uno = 1;
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
        return s;
    }

    // The head the origin gets: the request line in origin form, the proxy's own headers
    // dropped, every other line byte for byte.
    static std::string Reescribir(const Peticion& p, const std::string& cabeza,
                                  const std::string& ruta) {
        std::string salida = p.Metodo + " " + ruta + " " + p.Version + "\r\n";
        size_t inicio = cabeza.find('\n');
        inicio = inicio == std::string::npos ? cabeza.size() : inicio + 1;
        while (inicio < cabeza.size()) {
            size_t nl = cabeza.find('\n', inicio);
            size_t fin = nl == std::string::npos ? cabeza.size() : nl + 1;
            std::string_view linea(cabeza.data() + inicio, fin - inicio);
            size_t dos = linea.find(':');
            std::string_view nombre = dos == std::string_view::npos ? "" : Recortar(linea.substr(0, dos));
            if (!IgualSinMayusculas(nombre, "Proxy-Connection") &&
                !IgualSinMayusculas(nombre, "Proxy-Authorization"))
                salida.append(linea);
            inicio = fin;
        }
        return salida;
    }

    // Copies bytes both ways until the origin closes. An origin reset becomes a reset
    // towards the client, so the client sees what it would have seen directly.
    static void Relevar(const Parada& parada, Descriptor& cliente, Descriptor& origen) {
        std::vector<char> buf(256 * 1024);
        bool clienteAbierto = true;
        for (;;) {
            pollfd p[3] = {{parada.fd(), POLLIN, 0},
                           {origen.get(), POLLIN, 0},
                           {clienteAbierto ? cliente.get() : -1, POLLIN, 0}};
            int n = ::poll(p, 3, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || p[0].revents) return;
            if (p[1].revents) {
                ssize_t r = ::recv(origen.get(), buf.data(), buf.size(), MSG_DONTWAIT);
                if (r > 0) {
                    if (!EnviarTodo(parada, cliente.get(), buf.data(), static_cast<size_t>(r)))
                        return;
                } else if (r == 0) {
                    CerrarOrdenado(parada, cliente);
                    return;
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    CerrarConReinicio(cliente);
                    return;
                }
            }
            if (p[2].revents) {
                ssize_t r = ::recv(cliente.get(), buf.data(), buf.size(), MSG_DONTWAIT);
                if (r > 0) {
                    if (!EnviarTodo(parada, origen.get(), buf.data(), static_cast<size_t>(r)))
                        return;
                } else if (r == 0) {
                    clienteAbierto = false;
                    ::shutdown(origen.get(), SHUT_WR);
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    return;
                }
            }
        }
    }
};

ProxyHttp::ProxyHttp() : estado_(std::make_shared<Estado>()) {
    Estado* e = estado_.get();
    estado_->escucha = std::make_unique<Escucha>([e](Descriptor fd, const Parada& parada) { e->Atender(std::move(fd), parada); });
}

ProxyHttp::~ProxyHttp() { estado_->escucha.reset(); }

uint16_t ProxyHttp::Puerto() const { return estado_->escucha->Puerto(); }
std::string ProxyHttp::Direccion() const { return Direccion127(Puerto()); }

std::vector<Peticion> ProxyHttp::Peticiones() const {
    std::lock_guard<std::mutex> l(estado_->mutex);
    return estado_->peticiones;
}

ServidorTls::ServidorTls(const std::string& carpeta, const std::string& certificado,
                         const std::string& clave, int conexiones) {
    // Started in the background with its output in a file; it prints
    // "ACCEPT 127.0.0.1:<port>" once it listens.
    const std::string registro = carpeta + "/.s_server";
    const Salida s = Ejecutar("cd " + Citar(carpeta) + " && { openssl s_server -accept 127.0.0.1:0"
                              " -cert " + Citar(certificado) + " -key " + Citar(clave) +
                              " -HTTP -naccept " + std::to_string(conexiones) +
                              " </dev/null >.s_server 2>&1 & echo $!; }");
    pid_ = std::atoi(s.Texto.c_str());
    for (int intento = 0; pid_ > 0 && puerto_ == 0 && intento < 1000; ++intento) {
        const std::string texto = Leer(registro);
        const size_t pos = texto.find("ACCEPT 127.0.0.1:");
        if (pos != std::string::npos && texto.find('\n', pos) != std::string::npos)
            puerto_ = static_cast<uint16_t>(std::atoi(texto.c_str() + pos + 17));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ServidorTls::~ServidorTls() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
}

}  // namespace prueba
