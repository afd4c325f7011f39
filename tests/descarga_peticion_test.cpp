// The request side of Descargar against a loopback server: status, header switches,
// failures of each step, proxies, authentication, redirects, repeated calls.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "descarga_comun.h"
#include "servidor_http.h"

extern char** environ;

namespace {

using P = zkDownloadPrueba;
using prueba::Peticion;
using prueba::Respuesta;

using Interruptor = void (zkDownload::*)(bool);

constexpr const char* kRuta = "/web/lurenet/Morvane.zip";

class Peticiones : public ::testing::Test {
protected:
    prueba::Instalacion instalacion;
    prueba::VentanaGrabadora ventana;
    prueba::ServidorHttp servidor;

    // The host name keeps whatever follows it, so the port goes through Puerto.
    void Apuntar(zkDownload& d, const std::string& ruta) {
        d.URL("http://127.0.0.1" + ruta);
        d.Puerto(prueba::Puerto16(servidor.Puerto()));
    }

    // Nothing of a failed or informative call may reach the install directory.
    void SinRastroEnDisco() {
        EXPECT_FALSE(prueba::fs::exists(instalacion.Archivo()));
        EXPECT_TRUE(instalacion.Temporales().empty());
    }
};

TEST_F(Peticiones, SoloInformacionConRespuesta200) {
    servidor.Responder([](const Peticion&) {
        return Respuesta::Simple("200 OK", "12345", {"Content-Type: application/zip"});
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.Fichero("/otro/sitio.zip");
    d.Descargar();

    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.StatusText(), "OK");
    EXPECT_EQ(d.QContentLengthStr(), "5");
    EXPECT_EQ(d.QContentTypeStr(), "");  // switch off
    EXPECT_EQ(d.Fichero(), instalacion.Archivo());
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    EXPECT_EQ(ventana.Eventos, 0);
    SinRastroEnDisco();

    const auto pedidas = servidor.Peticiones();
    ASSERT_EQ(pedidas.size(), 1u);
    EXPECT_EQ(pedidas[0].Metodo, "GET");
    EXPECT_EQ(pedidas[0].Destino, kRuta);
    EXPECT_EQ(pedidas[0].Version, "HTTP/1.0");
    EXPECT_EQ(pedidas[0].Cabecera("User-Agent"), "zkDownload");
    EXPECT_FALSE(pedidas[0].Tiene("Authorization"));
}

TEST_F(Peticiones, TodosLosInterruptoresLeenSuCabecera) {
    const std::string cabecera =
        "HTTP/1.1 200 Todo Bien\r\n"
        "Content-Type: application/zip\r\n"
        "Expires: Thu, 01 Jan 2099 00:00:00 GMT\r\n"
        "Forwarded: for=192.0.2.60\r\n"
        "Server: Prueba/1.0\r\n"
        "Content-Length: 3\r\n\r\n";
    servidor.Responder([&](const Peticion&) {
        Respuesta r;
        r.Cabecera = cabecera;
        r.Cuerpo.push_back({{}, "abc"});
        return r;
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.QContentType(true);
    d.QExpires(true);
    d.QPragma(true);
    d.QVersion(true);
    d.QRawHeaders(true);
    d.QRawHeadersCrLf(true);
    d.QForwarded(true);
    d.QServer(true);
    d.QRequestMethod(true);
    d.Descargar(0);

    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.StatusText(), "Todo Bien");
    EXPECT_EQ(d.QContentLengthStr(), "3");
    EXPECT_EQ(d.QContentTypeStr(), "application/zip");
    EXPECT_EQ(d.QExpiresStr(), "Thu, 01 Jan 2099 00:00:00 GMT");
    EXPECT_EQ(d.QPragmaStr(), "no-cache");  // the request's own, asking for no cache
    EXPECT_EQ(d.QVersionStr(), "HTTP/1.1");
    EXPECT_EQ(d.QRawHeadersStr(), "HTTP/1.1 200 Todo Bien");  // status line only
    EXPECT_EQ(d.QRawHeadersCrLfStr(), cabecera);
    EXPECT_EQ(d.QForwardedStr(), "for=192.0.2.60");
    EXPECT_EQ(d.QServerStr(), "Prueba/1.0");
    EXPECT_EQ(d.QRequestMethodStr(), "GET");
    EXPECT_EQ(d.QLastModifiedStr(), "");
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_EQ(servidor.Peticiones().at(0).Cabecera("Pragma"), "no-cache");
    SinRastroEnDisco();
}

TEST_F(Peticiones, CabecerasAusentesOApagadasDejanResultadosVacios) {
    servidor.Responder([](const Peticion&) {
        return Respuesta::Simple("200 OK", "x", {"Server: Apagado", "Forwarded: for=x"},
                                 /*conLongitud=*/false);
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.QContentType(true);
    d.QServer(false);
    d.QContentLength(true);
    d.Descargar();
    ASSERT_FALSE(d.HuboError());
    EXPECT_EQ(d.QContentTypeStr(), "");    // switched on, header missing
    EXPECT_EQ(d.QContentLengthStr(), "");  // header missing
    EXPECT_EQ(d.QServerStr(), "");         // header present, switch off

    // With QContentLength off the header is still read, but its text is not kept.
    servidor.Responder(
        [](const Peticion&) { return Respuesta::Simple("200 OK", "abcd", {}, true); });
    d.QContentLength(false);
    d.Descargar();
    ASSERT_FALSE(d.HuboError());
    EXPECT_EQ(d.QContentLengthStr(), "");
}

TEST_F(Peticiones, Valores1023Y1024Bytes) {
    const std::string v1023(1023, 's'), v1024(1024, 'e');
    servidor.Responder([&](const Peticion&) {
        return Respuesta::Simple("200 OK", "", {"Server: " + v1023, "Expires: " + v1024});
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.QServer(true);
    d.QExpires(true);
    d.QExpiresStr("anterior");
    d.QRawHeadersCrLf(true);
    d.QRawHeadersCrLfStr("anterior");
    d.QRawHeaders(true);
    d.Descargar();
    ASSERT_FALSE(d.HuboError());
    EXPECT_EQ(d.QServerStr(), v1023);
    EXPECT_EQ(d.QExpiresStr(), "anterior");  // too long: the query fails, nothing stored
    EXPECT_EQ(d.QRawHeadersCrLfStr(), "");   // the whole head does not fit either
    EXPECT_EQ(d.QRawHeadersStr(), "");
}

TEST_F(Peticiones, Respuesta204EsExito) {
    servidor.Responder([](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 204 No Content\r\nServer: S\r\n\r\n";
        return r;
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.QServer(true);
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "204");
    EXPECT_EQ(d.StatusText(), "No Content");
    EXPECT_EQ(d.QServerStr(), "S");
}

TEST_F(Peticiones, EstadosNoExitososConservanLaFraseYNoLeenCabeceras) {
    const std::vector<std::pair<std::string, std::string>> estados = {
        {"404", "Not Found"}, {"500", "Fallo Interno Propio"}, {"403", "Prohibido"}};
    for (const auto& [codigo, frase] : estados) {
        servidor.Responder([&](const Peticion&) {
            return Respuesta::Simple(
                codigo + " " + frase, "<html>error</html>",
                {"Content-Type: text/html", "Expires: mañana", "Server: S",
                 "Last-Modified: Sun, 06 Nov 2094 08:49:37 GMT"});
        });
        zkDownload d;
        Apuntar(d, kRuta);
        d.QContentType(true);
        d.QExpires(true);
        d.QServer(true);
        d.QLastModified(true);
        d.Descargar(1);
        EXPECT_TRUE(d.HuboError()) << codigo;
        EXPECT_EQ(d.StatusCode(), codigo);
        EXPECT_EQ(d.StatusText(), frase);
        EXPECT_EQ(d.QContentLengthStr(), "");
        EXPECT_EQ(d.QContentTypeStr(), "");
        EXPECT_EQ(d.QExpiresStr(), "");
        EXPECT_EQ(d.QServerStr(), "");
        EXPECT_EQ(d.QLastModifiedStr(), "");
        EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
        EXPECT_FALSE(P::AlgunHandleAbierto(d));
        SinRastroEnDisco();  // an error page is never saved
    }
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(Peticiones, PuertoQueNoCabeEn16BitsNoConecta) {
    zkDownload d;
    Apuntar(d, kRuta);
    d.Puerto(40000);
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(d.StatusText(), "Error en InternetConnect.");
    EXPECT_EQ(servidor.Conexiones(), 0);
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    SinRastroEnDisco();
}

TEST_F(Peticiones, PuertoEscritoEnElHostNoEsUnPuerto) {
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", ""); });
    zkDownload d;
    d.URL(servidor.Url(kRuta));  // "127.0.0.1:<port>" is taken whole as the host name
    d.Puerto(prueba::Puerto16(servidor.Puerto()));
    d.Descargar();
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(servidor.Conexiones(), 0);
}

TEST_F(Peticiones, FallosDeEnvio) {
    uint16_t cerrado = 0;
    {
        prueba::ServidorHttp efimero;
        cerrado = efimero.Puerto();
    }
    zkDownload d;
    d.URL("http://127.0.0.1/x");
    d.Puerto(prueba::Puerto16(cerrado));  // nobody listens there any more
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_EQ(d.StatusText(), "Error en InternetSendRequest.");
    EXPECT_FALSE(P::AlgunHandleAbierto(d));

    // Garbage instead of an HTTP answer.
    servidor.Responder([](const Peticion&) {
        Respuesta r;
        r.Cabecera = "esto no es HTTP\r\n\r\n";
        return r;
    });
    Apuntar(d, kRuta);
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    SinRastroEnDisco();
}

TEST_F(Peticiones, HttpsVaCifradoYVerificado) {
    // A plain HTTP server cannot complete a TLS handshake: the request must not quietly
    // fall back to clear text.
    prueba::TiemposCortos tiempos(std::chrono::milliseconds(500), std::chrono::milliseconds(500));
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "claro"); });
    zkDownload d;
    d.URL("https://127.0.0.1" + std::string(kRuta));
    d.Puerto(prueba::Puerto16(servidor.Puerto()));
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_TRUE(servidor.Peticiones().empty());
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    SinRastroEnDisco();
}

// A TLS server on loopback (openssl s_server) with a self-signed certificate for
// 127.0.0.1, stopped when the object goes.
class ServidorTlsAutofirmado {
public:
    explicit ServidorTlsAutofirmado(const std::string& carpeta) {
        const std::string clave = carpeta + "/clave.pem", cert = carpeta + "/cert.pem";
        const pid_t generador =
            Lanzar({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", clave, "-out", cert,
                    "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                    "subjectAltName=IP:127.0.0.1"});
        int estado = 0;
        if (generador <= 0 || ::waitpid(generador, &estado, 0) != generador ||
            !WIFEXITED(estado) || WEXITSTATUS(estado) != 0)
            return;
        puerto_ = PuertoLibre();
        pid_ = Lanzar({"openssl", "s_server", "-quiet", "-www", "-accept",
                       "127.0.0.1:" + std::to_string(puerto_), "-cert", cert, "-key", clave});
        if (pid_ <= 0) return;
        // Ready once it accepts connections; give up if it exits.
        for (int intento = 0; intento < 500 && !listo_; ++intento) {
            if (::waitpid(pid_, &estado, WNOHANG) == pid_) {
                pid_ = 0;
                return;
            }
            listo_ = Conecta(puerto_);
            if (!listo_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ServidorTlsAutofirmado() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool Listo() const { return listo_; }
    uint16_t Puerto() const { return puerto_; }

private:
    static pid_t Lanzar(const std::vector<std::string>& argumentos) {
        std::vector<char*> argv;
        for (const std::string& a : argumentos) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t acciones;
        posix_spawn_file_actions_init(&acciones);
        posix_spawn_file_actions_addopen(&acciones, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&acciones, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&acciones, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const int r = ::posix_spawnp(&pid, argv[0], &acciones, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&acciones);
        return r == 0 ? pid : 0;
    }
    static uint16_t PuertoLibre() {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in dir{};
        dir.sin_family = AF_INET;
        dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t largo = sizeof dir;
        ::bind(s, reinterpret_cast<sockaddr*>(&dir), sizeof dir);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&dir), &largo);
        ::close(s);
        return ntohs(dir.sin_port);
    }
    static bool Conecta(uint16_t puerto) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in dir{};
        dir.sin_family = AF_INET;
        dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dir.sin_port = htons(puerto);
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&dir), sizeof dir) == 0;
        ::close(s);
        return ok;
    }

    uint16_t puerto_ = 0;
    pid_t pid_ = 0;
    bool listo_ = false;
};

TEST_F(Peticiones, CertificadoNoVerificableEsFalloDeEnvio) {
    ServidorTlsAutofirmado tls(instalacion.Ruta());
    if (!tls.Listo()) GTEST_SKIP() << "openssl s_server is not available";
    zkDownload d;
    d.URL("https://127.0.0.1/web/lurenet/Morvane.zip");
    d.Puerto(prueba::Puerto16(tls.Puerto()));
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    SinRastroEnDisco();
}

TEST_F(Peticiones, ProxyExplicitoYLista) {
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "p"); });
    prueba::ProxyHttp proxy;
    zkDownload d;
    Apuntar(d, kRuta);
    d.UsarProxy(proxy.Direccion());
    d.Descargar();
    ASSERT_FALSE(d.HuboError()) << d.StatusCode() << " " << d.StatusText();
    ASSERT_EQ(proxy.Peticiones().size(), 1u);
    EXPECT_EQ(proxy.Peticiones()[0].Destino, servidor.Url(kRuta));
    EXPECT_EQ(servidor.Peticiones().size(), 1u);

    // A host in the bypass list goes direct.
    d.NoUsarProxy("127.0.0.1");
    d.Descargar();
    ASSERT_FALSE(d.HuboError());
    EXPECT_EQ(proxy.Peticiones().size(), 1u);
    EXPECT_EQ(servidor.Peticiones().size(), 2u);
}

// Sets an environment variable for one scope.
class VariableDeEntorno {
public:
    VariableDeEntorno(const char* nombre, const std::string& valor) : nombre_(nombre) {
        ::setenv(nombre, valor.c_str(), 1);
    }
    ~VariableDeEntorno() { ::unsetenv(nombre_); }

private:
    const char* nombre_;
};

TEST_F(Peticiones, ProxyDelSistemaSinListas) {
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "p"); });
    prueba::ProxyHttp proxy;
    {
        VariableDeEntorno http("http_proxy", "http://" + proxy.Direccion());
        zkDownload d;
        Apuntar(d, kRuta);
        d.Descargar();
        ASSERT_FALSE(d.HuboError()) << d.StatusCode();
        ASSERT_EQ(proxy.Peticiones().size(), 1u);
        EXPECT_EQ(proxy.Peticiones()[0].Destino, servidor.Url(kRuta));

        // An explicit bypass list switches to the lists and ignores the environment.
        d.NoUsarProxy("<local>");
        d.Descargar();
        ASSERT_FALSE(d.HuboError());
        EXPECT_EQ(proxy.Peticiones().size(), 1u);
    }
    EXPECT_EQ(servidor.Peticiones().size(), 2u);
}

TEST_F(Peticiones, AutenticacionBasica) {
    servidor.Responder([](const Peticion& p) {
        // "ana:se creta" in base64
        if (p.Cabecera("Authorization") == "Basic YW5hOnNlIGNyZXRh")
            return Respuesta::Simple("200 OK", "dentro");
        return Respuesta::Simple("401 Unauthorized", "",
                                 {"WWW-Authenticate: Basic realm=\"morvane\""});
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.Descargar();
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "401");
    EXPECT_EQ(d.StatusText(), "Unauthorized");

    d.Usuario("ana");
    d.Password("se creta");
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "dentro");

    d.Password("mala");
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "401");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "dentro");
}

TEST_F(Peticiones, RedireccionLeeLaRespuestaFinal) {
    servidor.Responder([this](const Peticion& p) {
        if (p.Destino == "/viejo")
            return Respuesta::Simple("302 Found", "movido",
                                     {"Location: " + servidor.Url("/nuevo"), "Server: Viejo"});
        return Respuesta::Simple("200 OK", "archivo nuevo", {"Server: Nuevo"});
    });
    zkDownload d;
    Apuntar(d, "/viejo");
    d.QServer(true);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.QServerStr(), "Nuevo");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "archivo nuevo");
    EXPECT_EQ(servidor.Peticiones().size(), 2u);
}

TEST_F(Peticiones, LlamadasRepetidasReinicianElEstadoSalvoExpires) {
    int llamada = 0;
    servidor.Responder([&](const Peticion&) {
        ++llamada;
        if (llamada == 1)
            return Respuesta::Simple("404 Not Found", "");
        if (llamada == 2)
            return Respuesta::Simple(
                "200 OK", "",
                {"Expires: primero", "Server: S1", "Content-Type: a/b", "Forwarded: f",
                 "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"});
        return Respuesta::Simple("200 Bien", "", {}, /*conLongitud=*/false);
    });
    zkDownload d;
    Apuntar(d, kRuta);
    d.QExpires(true);
    d.QServer(true);
    d.Descargar();
    ASSERT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "404");

    const std::initializer_list<Interruptor> todos = {
        &zkDownload::QContentType, &zkDownload::QLastModified,    &zkDownload::QPragma,
        &zkDownload::QVersion,     &zkDownload::QRawHeaders,      &zkDownload::QRawHeadersCrLf,
        &zkDownload::QForwarded,   &zkDownload::QRequestMethod};
    for (Interruptor sw : todos)
        (d.*sw)(true);
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.StatusText(), "OK");
    EXPECT_EQ(d.QExpiresStr(), "primero");
    EXPECT_EQ(d.QServerStr(), "S1");
    for (const std::string& t :
         {d.QContentLengthStr(), d.QContentTypeStr(), d.QForwardedStr(), d.QLastModifiedStr(),
          d.QPragmaStr(), d.QRawHeadersStr(), d.QRequestMethodStr(), d.QVersionStr(),
          d.QRawHeadersCrLfStr()})
        EXPECT_NE(t, "");

    // Third call: headers missing and the request's own switched off. Ten results are
    // emptied at entry; QExpiresStr keeps the text of the earlier call.
    const std::initializer_list<Interruptor> propios = {
        &zkDownload::QPragma, &zkDownload::QVersion, &zkDownload::QRawHeaders,
        &zkDownload::QRawHeadersCrLf, &zkDownload::QRequestMethod};
    for (Interruptor sw : propios)
        (d.*sw)(false);
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusText(), "Bien");
    EXPECT_EQ(d.QExpiresStr(), "primero");
    for (const std::string& t :
         {d.QContentLengthStr(), d.QContentTypeStr(), d.QForwardedStr(), d.QLastModifiedStr(),
          d.QPragmaStr(), d.QRawHeadersStr(), d.QRequestMethodStr(), d.QServerStr(),
          d.QVersionStr(), d.QRawHeadersCrLfStr()})
        EXPECT_EQ(t, "");
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
}

}  // namespace
