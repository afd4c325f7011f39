// Checks of the scripted server itself: the behaviours the other suites build on and that
// would otherwise fail silently (a test passing because the server never sent what the
// script said).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "servidor_http.h"

namespace prueba {
namespace {

using namespace std::chrono_literals;

// A plain TCP client, so the server is checked without the HTTP layer under test.
class Cliente {
public:
    explicit Cliente(uint16_t puerto) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in dir{};
        dir.sin_family = AF_INET;
        dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dir.sin_port = htons(puerto);
        conectado_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&dir), sizeof dir) == 0;
    }
    ~Cliente() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Conectado() const { return conectado_; }

    bool Enviar(const std::string& s) {
        return ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }

    // Reads until `n` bytes are in or the connection ends.
    std::string Leer(size_t n) {
        std::string r;
        char buf[65536];
        while (r.size() < n) {
            ssize_t k = ::recv(fd_, buf, std::min(sizeof buf, n - r.size()), 0);
            if (k <= 0) {
                fin_ = k == 0 ? Fin::Cierre : (errno == ECONNRESET ? Fin::Reinicio : Fin::Error);
                break;
            }
            r.append(buf, static_cast<size_t>(k));
        }
        return r;
    }
    std::string LeerTodo() { return Leer(SIZE_MAX); }

    enum class Fin { Ninguno, Cierre, Reinicio, Error };
    Fin ComoTermino() const { return fin_; }

    // True when something (data or the end) can be read within `ms`.
    bool HayAlgo(std::chrono::milliseconds ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(ms.count())) > 0;
    }

private:
    int fd_;
    bool conectado_ = false;
    Fin fin_ = Fin::Ninguno;
};

std::string PeticionGet(const std::string& destino) {
    return "GET " + destino + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: prueba\r\n\r\n";
}

TEST(ServidorHttp, SendsTheRawHeadAsGivenAndRecordsTheRequest) {
    const std::string cabeza = "HTTP/1.1 299 Cosa Rara\r\nX-Uno: 1\nsin dos puntos\r\n\r\n";
    ServidorHttp servidor([&](const Peticion&) {
        Respuesta r;
        r.Cabecera = cabeza;
        r.Cuerpo = {{0ms, "hola"}};
        return r;
    });
    Cliente c(servidor.Puerto());
    ASSERT_TRUE(c.Conectado());
    const std::string peticion = "GET /web/x.zip?a=1 HTTP/1.0\r\nHost: h\r\nX-MAYUS:  valor \r\n\r\n";
    ASSERT_TRUE(c.Enviar(peticion));
    EXPECT_EQ(c.LeerTodo(), cabeza + "hola");
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Cierre);

    auto ps = servidor.Peticiones();
    ASSERT_EQ(ps.size(), 1u);
    EXPECT_EQ(ps[0].Metodo, "GET");
    EXPECT_EQ(ps[0].Destino, "/web/x.zip?a=1");
    EXPECT_EQ(ps[0].Version, "HTTP/1.0");
    EXPECT_EQ(ps[0].Bruta, peticion);
    EXPECT_EQ(ps[0].Cabecera("x-mayus"), "valor");
    EXPECT_TRUE(ps[0].Tiene("HOST"));
    EXPECT_FALSE(ps[0].Tiene("Accept"));
    EXPECT_EQ(servidor.Conexiones(), 1);
}

TEST(ServidorHttp, DefaultScriptIsNotFoundAndLfOnlyAndAbsoluteRequestsAreRead) {
    ServidorHttp servidor;
    Cliente c(servidor.Puerto());
    ASSERT_TRUE(c.Enviar("GET http://127.0.0.1:9/web/x.zip HTTP/1.0\nHost: a\n\n"));
    EXPECT_EQ(c.LeerTodo(), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    auto ps = servidor.Peticiones();
    ASSERT_EQ(ps.size(), 1u);
    EXPECT_EQ(ps[0].Destino, "http://127.0.0.1:9/web/x.zip");
    EXPECT_EQ(ps[0].Cabecera("Host"), "a");
}

TEST(ServidorHttp, SimpleReplyAddsContentLengthOnlyWhenAsked) {
    auto con = Respuesta::Simple("200 OK", "abc", {"Last-Modified: x"});
    EXPECT_EQ(con.Cabecera, "HTTP/1.1 200 OK\r\nLast-Modified: x\r\nContent-Length: 3\r\n\r\n");
    auto sin = Respuesta::Simple("200 OK", "abc", {}, false);
    EXPECT_EQ(sin.Cabecera, "HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(sin.Cuerpo.size(), 1u);
    EXPECT_EQ(sin.Cuerpo[0].Datos, "abc");
}

TEST(ServidorHttp, GeneratedBytesFollowThePatternAtTheirBodyOffset) {
    const uint64_t n = 3 * (1 << 20) + 7;  // several chunks and a partial one
    ServidorHttp servidor([&](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\n\r\n";
        r.Cuerpo = {{0ms, "abc"}};
        r.BytesGenerados = n;
        return r;
    });
    Cliente c(servidor.Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet("/")));
    std::string todo = c.LeerTodo();
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Cierre);
    const std::string cabeza = "HTTP/1.1 200 OK\r\n\r\n";
    ASSERT_EQ(todo.size(), cabeza.size() + 3 + n);
    std::string cuerpo = todo.substr(cabeza.size());
    size_t malos = 0;
    for (size_t i = 0; i < cuerpo.size(); ++i) malos += cuerpo[i] != Patron(i);
    EXPECT_EQ(malos, 0u);
}

// Destroying the server must end a long pause at once; if it did not, this test would sit
// out the 30 s pause and the suite's time-out would flag it.
TEST(ServidorHttp, PiecesArriveOneByOneAndDestructionEndsAPause) {
    auto servidor = std::make_unique<ServidorHttp>([](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\n\r\n";
        r.Cuerpo = {{0ms, "uno"}, {20ms, "dos"}, {30s, "nunca"}};
        return r;
    });
    Cliente c(servidor->Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet("/")));
    EXPECT_EQ(c.Leer(25), "HTTP/1.1 200 OK\r\n\r\nunodos");
    EXPECT_FALSE(c.HayAlgo(100ms));  // the third piece is held back by its pause
    servidor.reset();
    EXPECT_EQ(c.LeerTodo(), "");
    EXPECT_NE(c.ComoTermino(), Cliente::Fin::Ninguno);
}

TEST(ServidorHttp, ResetEndingIsSeenAsAReset) {
    ServidorHttp servidor([](const Peticion&) {
        auto r = Respuesta::Simple("200 OK", "corto", {"Content-Length: 100"}, false);
        r.Fin = Final::Reiniciar;
        return r;
    });
    Cliente c(servidor.Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet("/")));
    c.LeerTodo();
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Reinicio);
}

TEST(ServidorHttp, HangingConnectionStaysOpenUntilTheServerIsDestroyed) {
    auto servidor = std::make_unique<ServidorHttp>([](const Peticion&) {
        auto r = Respuesta::Simple("200 OK", "medio", {"Content-Length: 10"}, false);
        r.Fin = Final::Colgar;
        return r;
    });
    Cliente c(servidor->Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet("/")));
    const std::string esperado = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nmedio";
    EXPECT_EQ(c.Leer(esperado.size()), esperado);
    EXPECT_FALSE(c.HayAlgo(200ms));  // neither data nor an end
    servidor.reset();
    EXPECT_EQ(c.LeerTodo(), "");
    EXPECT_NE(c.ComoTermino(), Cliente::Fin::Ninguno);
}

TEST(ServidorHttp, SecondRequestOnTheSameConnectionGetsACleanClose) {
    ServidorHttp servidor([](const Peticion&) { return Respuesta::Simple("200 OK", "x"); });
    Cliente c(servidor.Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet("/a") + PeticionGet("/b")));
    EXPECT_EQ(c.LeerTodo(), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Cierre);
    // The server still serves others.
    Cliente otro(servidor.Puerto());
    ASSERT_TRUE(otro.Enviar(PeticionGet("/c")));
    EXPECT_EQ(otro.LeerTodo(), "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx");
}

TEST(ProxyHttp, RelaysToLoopbackInOriginFormAndRecordsBothSides) {
    ServidorHttp origen([](const Peticion& p) {
        return Respuesta::Simple("200 OK", "desde " + p.Destino, {"Server: origen"});
    });
    ProxyHttp proxy;
    Cliente c(proxy.Puerto());
    ASSERT_TRUE(c.Enviar("GET " + origen.Url("/web/x.zip") +
                         " HTTP/1.0\r\nHost: 127.0.0.1\r\nProxy-Connection: Keep-Alive\r\n\r\n"));
    EXPECT_EQ(c.LeerTodo(),
              "HTTP/1.1 200 OK\r\nServer: origen\r\nContent-Length: 16\r\n\r\ndesde /web/x.zip");
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Cierre);

    auto enProxy = proxy.Peticiones();
    ASSERT_EQ(enProxy.size(), 1u);
    EXPECT_EQ(enProxy[0].Destino, origen.Url("/web/x.zip"));
    auto enOrigen = origen.Peticiones();
    ASSERT_EQ(enOrigen.size(), 1u);
    EXPECT_EQ(enOrigen[0].Destino, "/web/x.zip");
    EXPECT_EQ(enOrigen[0].Cabecera("Host"), "127.0.0.1");
    EXPECT_FALSE(enOrigen[0].Tiene("Proxy-Connection"));
}

TEST(ProxyHttp, RefusesOtherHostsAndPassesAResetOn) {
    ServidorHttp origen([](const Peticion&) {
        auto r = Respuesta::Simple("200 OK", "corto", {"Content-Length: 100"}, false);
        r.Fin = Final::Reiniciar;
        return r;
    });
    ProxyHttp proxy;
    const std::string fueras[] = {"http://example.com/x",
                                  "http://localhost:" + std::to_string(origen.Puerto()) + "/x",
                                  "/relativa"};
    for (const std::string& fuera : fueras) {
        Cliente c(proxy.Puerto());
        ASSERT_TRUE(c.Enviar(PeticionGet(fuera)));
        EXPECT_EQ(c.LeerTodo().rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u) << fuera;
    }
    EXPECT_EQ(origen.Conexiones(), 0);

    Cliente c(proxy.Puerto());
    ASSERT_TRUE(c.Enviar(PeticionGet(origen.Url("/x"))));
    EXPECT_EQ(c.LeerTodo(), "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ncorto");
    EXPECT_EQ(c.ComoTermino(), Cliente::Fin::Reinicio);
    EXPECT_EQ(proxy.Peticiones().size(), 4u);
}

}  // namespace
}  // namespace prueba
