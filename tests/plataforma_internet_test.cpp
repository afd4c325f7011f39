// The HTTP handle layer against the scripted server on loopback: what the download
// component relies on (status, headers, body, failures) and what keeps it safe (bounded
// memory, no success for a broken body).
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "comun_prueba.h"
#include "internet.h"
#include "servidor_http.h"

namespace {

using namespace internet;
using namespace std::chrono_literals;
using prueba::Final;
using prueba::Peticion;
using prueba::Respuesta;
using prueba::ServidorHttp;

// The settings every Llamada's session gets; each fixture sets its own.
Ajustes ajustes;

// A request opened the way the download component opens one.
struct Llamada {
    Handle sesion, conexion, peticion;

    explicit Llamada(uint16_t puerto, const std::string& ruta = "/",
                     uint32_t flags = INTERNET_FLAG_RELOAD, const char* usuario = "",
                     const char* password = "", int32_t acceso = INTERNET_OPEN_TYPE_PRECONFIG,
                     const char* proxy = nullptr, const char* bypass = nullptr) {
        sesion.reset(InternetOpenA("zkDownload", acceso, proxy, bypass, 0));
        if (sesion) {
            EXPECT_TRUE(EstablecerAjustes(sesion.get(), ajustes));
        }
        conexion.reset(InternetConnectA(sesion.get(), "127.0.0.1", prueba::Puerto16(puerto),
                                        usuario, password, INTERNET_SERVICE_HTTP, 0, 0));
        peticion.reset(HttpOpenRequestA(conexion.get(), "GET", ruta.c_str(), "HTTP/1.0",
                                        nullptr, nullptr, flags, 0));
    }
    bool Enviar() {
        EXPECT_TRUE(peticion) << "the request could not be opened";
        return HttpSendRequestA(peticion.get(), nullptr, 0, nullptr, 0);
    }
    // As the component reads a value: a 1024-byte buffer, the text before the first NUL.
    std::optional<std::string> Consultar(uint32_t nivel) {
        char buffer[1024] = {};
        uint32_t longitud = sizeof buffer, indice = 0;
        if (!HttpQueryInfoA(peticion.get(), nivel, buffer, &longitud, &indice)) return {};
        return std::string(buffer);
    }
    // Reads to the end in 512-byte blocks; the result of the last read.
    bool LeerTodo(std::string& cuerpo) {
        char bloque[512];
        uint32_t n = 0;
        for (;;) {
            if (!InternetReadFile(peticion.get(), bloque, sizeof bloque, &n)) return false;
            if (n == 0) return true;
            cuerpo.append(bloque, n);
        }
    }
};

class InternetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ajustes = {};
        ajustes.EsperaConexion = ajustes.EsperaInactividad = 5s;
    }
    void TearDown() override { ajustes = {}; }
    ServidorHttp servidor;
};

TEST_F(InternetTest, StatusCodeTextAndVersionAreReadFromTheStatusLine) {
    struct Caso {
        std::string linea, codigo, texto, version;
    };
    for (const Caso& c : std::vector<Caso>{
             {"HTTP/1.1 200 OK", "200", "OK", "HTTP/1.1"},
             {"HTTP/1.1 204 No Content", "204", "No Content", "HTTP/1.1"},
             {"HTTP/1.1 404 Not Found", "404", "Not Found", "HTTP/1.1"},
             {"HTTP/1.0 500 Se rompió el almacén", "500", "Se rompió el almacén", "HTTP/1.0"},
             {"HTTP/1.1 299", "299", "", "HTTP/1.1"}}) {
        SCOPED_TRACE(c.linea);
        servidor.Responder([&](const Peticion&) {
            return Respuesta::Cruda(c.linea + "\r\nContent-Length: 0\r\n\r\n");
        });
        Llamada l(servidor.Puerto());
        ASSERT_TRUE(l.Enviar());
        EXPECT_EQ(l.Consultar(HTTP_QUERY_STATUS_CODE), c.codigo);
        EXPECT_EQ(l.Consultar(HTTP_QUERY_STATUS_TEXT), c.texto);
        EXPECT_EQ(l.Consultar(HTTP_QUERY_VERSION), c.version);
    }
}

TEST_F(InternetTest, HeaderValuesOccurrencesAndBufferRule) {
    const std::string largo1023(1023, 's'), largo1024(1024, 't');
    servidor.Responder([&](const Peticion&) {
        return Respuesta::Simple("200 OK", "hola",
                                 {"content-TYPE:   text/plain  ", "Pragma: uno", "pragma: dos",
                                  "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT",
                                  "Server: " + largo1023, "Forwarded: " + largo1024});
    });
    Llamada l(servidor.Puerto());
    ASSERT_TRUE(l.Enviar());
    EXPECT_EQ(l.Consultar(HTTP_QUERY_CONTENT_TYPE), "text/plain");
    EXPECT_EQ(l.Consultar(HTTP_QUERY_CONTENT_LENGTH), "4");
    EXPECT_EQ(l.Consultar(HTTP_QUERY_LAST_MODIFIED), "Tue, 08 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(l.Consultar(HTTP_QUERY_EXPIRES), std::nullopt);

    // The index walks the occurrences and is advanced on success.
    char b[1024];
    uint32_t longitud = sizeof b, indice = 1;
    ASSERT_TRUE(HttpQueryInfoA(l.peticion.get(), HTTP_QUERY_PRAGMA, b, &longitud, &indice));
    EXPECT_STREQ(b, "dos");
    EXPECT_EQ(longitud, 3u);
    EXPECT_EQ(indice, 2u);
    longitud = sizeof b;
    EXPECT_FALSE(HttpQueryInfoA(l.peticion.get(), HTTP_QUERY_PRAGMA, b, &longitud, &indice));

    // 1023 bytes and the NUL fit 1024; 1024 bytes do not, and the buffer stays untouched.
    EXPECT_EQ(l.Consultar(HTTP_QUERY_SERVER), largo1023);
    std::string relleno(1024, '#');
    longitud = 1024;
    indice = 0;
    EXPECT_FALSE(
        HttpQueryInfoA(l.peticion.get(), HTTP_QUERY_FORWARDED, relleno.data(), &longitud, &indice));
    EXPECT_EQ(longitud, 1025u);
    EXPECT_EQ(relleno, std::string(1024, '#'));
    EXPECT_EQ(l.Consultar(HTTP_QUERY_RAW_HEADERS_CRLF), std::nullopt);  // head > 1023 bytes
}

TEST_F(InternetTest, RawHeadersKeepEveryLineOfTheFinalHead) {
    const std::string cabeza = "HTTP/1.1 200 OK\r\nServer: prueba\r\nContent-Length: 2\r\n\r\n";
    servidor.Responder([&](const Peticion&) { return Respuesta::Cruda(cabeza, {{0ms, "ok"}}); });
    Llamada l(servidor.Puerto());
    ASSERT_TRUE(l.Enviar());
    EXPECT_EQ(l.Consultar(HTTP_QUERY_RAW_HEADERS_CRLF), cabeza);
    EXPECT_EQ(l.Consultar(HTTP_QUERY_RAW_HEADERS), "HTTP/1.1 200 OK");

    char b[1024];
    uint32_t longitud = sizeof b, indice = 0;
    ASSERT_TRUE(HttpQueryInfoA(l.peticion.get(), HTTP_QUERY_RAW_HEADERS, b, &longitud, &indice));
    static constexpr char kEsperado[] = "HTTP/1.1 200 OK\0Server: prueba\0Content-Length: 2\0";
    const std::string esperado(kEsperado, sizeof kEsperado);  // with the literal's own NUL
    EXPECT_EQ(std::string(b, longitud + 1), esperado);
}

TEST_F(InternetTest, RequestGoesOutAsOpenedAndCanBeQueried) {
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", ""); });
    Llamada l(servidor.Puerto(), "/web/a b/ñ%41%zz?x=1");
    EXPECT_EQ(l.Consultar(HTTP_QUERY_STATUS_CODE), std::nullopt);  // nothing sent yet
    ASSERT_TRUE(l.Enviar());
    EXPECT_FALSE(l.Enviar());  // a request is sent once
    EXPECT_EQ(l.Consultar(HTTP_QUERY_REQUEST_METHOD | HTTP_QUERY_FLAG_REQUEST_HEADERS), "GET");
    EXPECT_EQ(l.Consultar(HTTP_QUERY_PRAGMA | HTTP_QUERY_FLAG_REQUEST_HEADERS), "no-cache");

    Llamada sinRecarga(servidor.Puerto(), "", 0);
    ASSERT_TRUE(sinRecarga.Enviar());
    EXPECT_EQ(sinRecarga.Consultar(HTTP_QUERY_PRAGMA | HTTP_QUERY_FLAG_REQUEST_HEADERS),
              std::nullopt);

    const auto vistas = servidor.Peticiones();
    ASSERT_EQ(vistas.size(), 2u);
    const Peticion& p = vistas[0];
    EXPECT_EQ(p.Metodo, "GET");
    EXPECT_EQ(p.Destino, "/web/a%20b/%C3%B1%41%25zz?x=1");
    EXPECT_EQ(p.Version, "HTTP/1.0");
    EXPECT_EQ(p.Cabecera("User-Agent"), "zkDownload");
    EXPECT_EQ(p.Cabecera("Pragma"), "no-cache");
    EXPECT_EQ(p.Cabecera("Cache-Control"), "no-cache");
    EXPECT_FALSE(p.Tiene("Accept-Encoding"));
    EXPECT_EQ(vistas[1].Destino, "/");
    EXPECT_FALSE(vistas[1].Tiene("Pragma"));
}

TEST_F(InternetTest, ExtraHeadersAndBodyGoOutWithTheRequest) {
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", ""); });
    Handle s(InternetOpenA("zkDownload", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    Handle c(InternetConnectA(s.get(), "127.0.0.1", prueba::Puerto16(servidor.Puerto()), "",
                              "", INTERNET_SERVICE_HTTP, 0, 0));
    Handle r(HttpOpenRequestA(c.get(), "POST", "/formulario", nullptr, nullptr, nullptr, 0, 0));
    const std::string extra = "X-Uno: 1\r\nX-Dos:  dos \r\n";
    ASSERT_TRUE(HttpSendRequestA(r.get(), extra.c_str(), UINT32_MAX, "abc", 3));
    const auto vistas = servidor.Peticiones();
    ASSERT_EQ(vistas.size(), 1u);
    EXPECT_EQ(vistas[0].Metodo, "POST");
    EXPECT_EQ(vistas[0].Version, "HTTP/1.1");
    EXPECT_EQ(vistas[0].Cabecera("X-Uno"), "1");
    EXPECT_EQ(vistas[0].Cabecera("X-Dos"), "dos");
    EXPECT_EQ(vistas[0].Cabecera("Content-Length"), "3");
}

TEST_F(InternetTest, RedirectsAreFollowedOverHttpOnly) {
    servidor.Responder([&](const Peticion& p) {
        if (p.Destino == "/vieja")
            return Respuesta::Simple("302 Found", "movido", {"Location: /nueva", "Server: vieja"});
        if (p.Destino == "/ftp")
            return Respuesta::Simple("302 Found", "", {"Location: ftp://127.0.0.1/x"});
        if (p.Destino == "/bucle")  // a fresh connection each time keeps the count exact
            return Respuesta::Simple("302 Found", "", {"Location: /bucle", "Connection: close"});
        if (p.Destino == "/vacia")
            return Respuesta::Simple("302 Found", "no es el archivo", {"Location:   "});
        if (p.Destino == "/permanente")
            return Respuesta::Simple("308 Permanent Redirect", "", {"Location: /nueva"});
        return Respuesta::Simple("200 OK", "contenido", {"Server: nueva"});
    });
    for (const char* ruta : {"/vieja", "/permanente"}) {
        SCOPED_TRACE(ruta);
        Llamada l(servidor.Puerto(), ruta);
        ASSERT_TRUE(l.Enviar());
        EXPECT_EQ(l.Consultar(HTTP_QUERY_STATUS_CODE), "200");
        EXPECT_EQ(l.Consultar(HTTP_QUERY_SERVER), "nueva");
        std::string cuerpo;
        EXPECT_TRUE(l.LeerTodo(cuerpo));
        EXPECT_EQ(cuerpo, "contenido");
    }
    // An empty Location names nowhere: the 302 is the answer.
    Llamada vacia(servidor.Puerto(), "/vacia");
    ASSERT_TRUE(vacia.Enviar());
    EXPECT_EQ(vacia.Consultar(HTTP_QUERY_STATUS_CODE), "302");

    // Queries describe the last request sent: a POST answered with 303 went on as a GET to
    // the other server.
    ServidorHttp otro([](const Peticion&) { return Respuesta::Simple("200 OK", ""); });
    servidor.Responder([&](const Peticion&) {
        return Respuesta::Simple("303 See Other", "", {"Location: " + otro.Url("/x")});
    });
    Llamada post(servidor.Puerto());
    post.peticion.reset(HttpOpenRequestA(post.conexion.get(), "POST", "/f", nullptr, nullptr,
                                         nullptr, 0, 0));
    ASSERT_TRUE(HttpSendRequestA(post.peticion.get(), nullptr, 0, "abc", 3));
    EXPECT_EQ(post.Consultar(HTTP_QUERY_REQUEST_METHOD | HTTP_QUERY_FLAG_REQUEST_HEADERS), "GET");
    EXPECT_EQ(post.Consultar(55 | HTTP_QUERY_FLAG_REQUEST_HEADERS), otro.Direccion());  // Host
    ASSERT_EQ(otro.Peticiones().size(), 1u);
    EXPECT_EQ(otro.Peticiones()[0].Metodo, "GET");
    servidor.Responder([&](const Peticion& p) {
        if (p.Destino == "/bucle")
            return Respuesta::Simple("302 Found", "", {"Location: /bucle", "Connection: close"});
        return Respuesta::Simple("302 Found", "", {"Location: ftp://127.0.0.1/x"});
    });

    EXPECT_FALSE(Llamada(servidor.Puerto(), "/ftp").Enviar());
    Llamada bucle(servidor.Puerto(), "/bucle");
    EXPECT_FALSE(bucle.Enviar());
    const auto vistas = servidor.Peticiones();
    EXPECT_EQ(std::count_if(vistas.begin(), vistas.end(),
                            [](const Peticion& p) { return p.Destino == "/bucle"; }),
              11);  // gives up after 10 redirects
    std::string nada;
    EXPECT_FALSE(bucle.LeerTodo(nada));
}

TEST_F(InternetTest, ChallengeIsAnsweredOnlyWithCredentials) {
    servidor.Responder([](const Peticion& p) {
        if (p.Cabecera("Authorization") == "Basic YW5hOnNlY3JldGE=")
            return Respuesta::Simple("200 OK", "dentro");
        return Respuesta::Simple("401 Unauthorized", "fuera",
                                 {"WWW-Authenticate: Basic realm=\"morvane\""});
    });
    Llamada con(servidor.Puerto(), "/", INTERNET_FLAG_RELOAD, "ana", "secreta");
    ASSERT_TRUE(con.Enviar());
    EXPECT_EQ(con.Consultar(HTTP_QUERY_STATUS_CODE), "200");
    std::string cuerpo;
    EXPECT_TRUE(con.LeerTodo(cuerpo));
    EXPECT_EQ(cuerpo, "dentro");
    auto vistas = servidor.Peticiones();
    ASSERT_EQ(vistas.size(), 2u);
    EXPECT_FALSE(vistas[0].Tiene("Authorization"));

    Llamada sin(servidor.Puerto());
    ASSERT_TRUE(sin.Enviar());
    EXPECT_EQ(sin.Consultar(HTTP_QUERY_STATUS_CODE), "401");
    EXPECT_EQ(sin.Consultar(HTTP_QUERY_STATUS_TEXT), "Unauthorized");
    cuerpo.clear();
    EXPECT_TRUE(sin.LeerTodo(cuerpo));
    EXPECT_EQ(cuerpo, "fuera");
    EXPECT_EQ(servidor.Peticiones().size(), 3u);

    // On a connection kept alive, an empty challenge is answered at once, and one that
    // cannot be answered is the answer.
    servidor.Responder([](const Peticion& p) {
        Respuesta r = p.Cabecera("Authorization") == "Basic YW5hOnNlY3JldGE="
                          ? Respuesta::Simple("200 OK", "dentro")
                      : p.Destino == "/proxy"
                          ? Respuesta::Simple("407 Proxy Authentication Required", "",
                                              {"Proxy-Authenticate: Basic realm=\"p\""})
                          : Respuesta::Simple("401 Unauthorized", "",
                                              {"WWW-Authenticate: Basic realm=\"morvane\""});
        r.Fin = Final::Seguir;
        return r;
    });
    for (const char* ruta : {"/", "/proxy"}) {
        SCOPED_TRACE(ruta);
        Llamada viva(servidor.Puerto(), ruta, INTERNET_FLAG_RELOAD, "ana", "secreta");
        viva.peticion.reset(HttpOpenRequestA(viva.conexion.get(), "GET", ruta, "HTTP/1.1",
                                             nullptr, nullptr, 0, 0));
        ASSERT_TRUE(viva.Enviar());
        EXPECT_EQ(viva.Consultar(HTTP_QUERY_STATUS_CODE), ruta[1] ? "407" : "200");
    }

    // Neither the user's credentials nor those in the caller's own headers follow a
    // redirect to another origin; other headers do.
    ServidorHttp otro([](const Peticion&) {
        return Respuesta::Simple("401 Unauthorized", "", {"WWW-Authenticate: Basic realm=\"o\""});
    });
    servidor.Responder([&](const Peticion&) {
        return Respuesta::Simple("302 Found", "", {"Location: " + otro.Url("/")});
    });
    Llamada fuera(servidor.Puerto(), "/", INTERNET_FLAG_RELOAD, "ana", "secreta");
    const std::string propias =
        "Authorization: Bearer t\r\nCookie: c=1\r\nProxy-Authorization: Basic p\r\nX-Otro: z\r\n";
    ASSERT_TRUE(HttpSendRequestA(fuera.peticion.get(), propias.c_str(), UINT32_MAX, nullptr, 0));
    EXPECT_EQ(fuera.Consultar(HTTP_QUERY_STATUS_CODE), "401");
    EXPECT_EQ(fuera.Consultar(44 | HTTP_QUERY_FLAG_REQUEST_HEADERS), std::nullopt);  // Cookie
    EXPECT_EQ(servidor.Peticiones().back().Cabecera("Cookie"), "c=1");
    vistas = otro.Peticiones();
    ASSERT_EQ(vistas.size(), 1u);
    for (const char* nombre : {"Authorization", "Cookie", "Proxy-Authorization"})
        EXPECT_FALSE(vistas[0].Tiene(nombre)) << nombre;
    EXPECT_EQ(vistas[0].Cabecera("X-Otro"), "z");
}

TEST_F(InternetTest, PreconfiguredAccessUsesTheEnvironmentProxy) {
    prueba::ProxyHttp proxy;
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "via"); });
    ASSERT_EQ(::setenv("http_proxy", ("http://" + proxy.Direccion()).c_str(), 1), 0);
    Llamada l(servidor.Puerto(), "/x");
    const bool enviada = l.Enviar();
    ::unsetenv("http_proxy");
    ASSERT_TRUE(enviada);
    std::string cuerpo;
    EXPECT_TRUE(l.LeerTodo(cuerpo));
    EXPECT_EQ(cuerpo, "via");
    ASSERT_EQ(proxy.Peticiones().size(), 1u);
    EXPECT_EQ(proxy.Peticiones()[0].Destino, servidor.Url("/x"));
}

// libcurl's trace goes into logs: a real exchange through a proxy with a password, a
// server's challenge answered and a cookie sent shows how each went, and no secret.
TEST_F(InternetTest, TheTraceNeverShowsACredential) {
    prueba::ProxyHttp proxy;
    servidor.Responder([](const Peticion& p) {
        if (p.Tiene("Authorization")) return Respuesta::Simple("200 OK", "dentro");
        return Respuesta::Simple("401 Unauthorized", "fuera",
                                 {"WWW-Authenticate: Basic realm=\"morvane\""});
    });
    prueba::DirectorioTemporal dir("traza ");
    bool enviada = false;
    {
        // stderr into a file for the length of the exchange.
        const int original = ::dup(STDERR_FILENO);
        const int fichero = ::open(dir.En("traza").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fichero, 0);
        ::dup2(fichero, STDERR_FILENO);
        ::setenv("http_proxy", ("http://ana:secreto-proxy@" + proxy.Direccion()).c_str(), 1);
        EstablecerTrazaCurl(true);
        Llamada l(servidor.Puerto(), "/x", INTERNET_FLAG_RELOAD, "ana", "secreto-servidor");
        const std::string galleta = "Cookie: sesion=secreto-galleta\r\n";
        enviada = HttpSendRequestA(l.peticion.get(), galleta.c_str(),
                                   static_cast<uint32_t>(galleta.size()), nullptr, 0);
        EstablecerTrazaCurl(false);
        ::unsetenv("http_proxy");
        std::fflush(stderr);
        ::dup2(original, STDERR_FILENO);
        ::close(original);
        ::close(fichero);
    }
    ASSERT_TRUE(enviada);
    // The credentials did go out: to the proxy, and to the server once it asked.
    ASSERT_EQ(proxy.Peticiones().size(), 2u);
    EXPECT_EQ(proxy.Peticiones()[0].Cabecera("Proxy-Authorization"),
              "Basic YW5hOnNlY3JldG8tcHJveHk=");
    EXPECT_TRUE(proxy.Peticiones()[1].Tiene("Authorization"));
    EXPECT_EQ(proxy.Peticiones()[1].Cabecera("Cookie"), "sesion=secreto-galleta");

    const std::string traza = prueba::Leer(dir.En("traza"));
    for (const char* visto : {"* Uses proxy env variable http_proxy == 'http://ana:***@",
                              "> Proxy-Authorization: Basic ***\r\n", "> Authorization: Basic ***\r\n",
                              "> Cookie: ***\r\n", "< HTTP/1.1 401 Unauthorized", "> GET http://"})
        EXPECT_NE(traza.find(visto), std::string::npos) << visto << "\n" << traza;
    for (const char* secreto : {"secreto", "YW5hOnNlY3JldG8t"})  // base64 of "ana:secreto-"
        EXPECT_EQ(traza.find(secreto), std::string::npos) << secreto << "\n" << traza;
}

TEST_F(InternetTest, ExplicitProxyListAndBypassList) {
    prueba::ProxyHttp proxy;
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "x"); });
    const std::string lista = "https=127.0.0.1:1 http=" + proxy.Direccion();
    auto enviar = [&](const std::string& usar, const char* noUsar) {
        Llamada l(servidor.Puerto(), "/", INTERNET_FLAG_RELOAD, "", "",
                  INTERNET_OPEN_TYPE_PROXY, usar.c_str(), noUsar);
        return l.Enviar();
    };
    ASSERT_TRUE(enviar(lista, ""));
    EXPECT_EQ(proxy.Peticiones().size(), 1u);
    ASSERT_TRUE(enviar(lista, "<local>; 127.0.0.*"));  // bypassed: straight to the server
    ASSERT_TRUE(enviar("https=" + proxy.Direccion(), nullptr));  // no entry for http
    ASSERT_TRUE(enviar(lista, "otro.example,127.0.0.1"));  // only a comma between them
    EXPECT_EQ(proxy.Peticiones().size(), 1u);
    EXPECT_EQ(servidor.Peticiones().size(), 4u);
}

// A body read to the end succeeds only when all of it came: with or without a length,
// chunked, or none at all. A broken one is never reported complete, invents nothing, and
// stays failed.
TEST_F(InternetTest, BodiesAreCompleteOnlyWhenAllOfThemArrived) {
    ajustes.EsperaInactividad = 300ms;
    struct Caso {
        const char* nombre;
        Respuesta r;
        std::optional<std::string> esperado;  // none: the body is broken
    };
    const std::string cien = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    const std::string cuarenta(40, 'a');
    const std::vector<Caso> casos{
        {"length, pieces with pauses",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n",
               {{0ms, "uno"}, {40ms, "dos"}, {40ms, "tres"}}),
         "unodostres"},
        {"no length, ends at close",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\n\r\n", {{0ms, "hasta"}, {20ms, " el cierre"}}),
         "hasta el cierre"},
        {"chunked",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
               {{0ms, "5\r\nhola \r\n"}, {30ms, "5\r\nmundo\r\n0\r\n\r\n"}}),
         "hola mundo"},
        {"204 without body", Respuesta::Cruda("HTTP/1.1 204 No Content\r\n\r\n"), ""},
        {"304 with the entity's length",
         Respuesta::Cruda("HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"), ""},
        {"closed before the length", Respuesta::Cruda(cien, {{0ms, cuarenta}}), std::nullopt},
        {"reset before the length", Respuesta::Cruda(cien, {{0ms, cuarenta}}, Final::Reiniciar),
         std::nullopt},
        {"reset without a length",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\n\r\n", {{0ms, cuarenta}}, Final::Reiniciar), std::nullopt},
        {"closed inside a chunk",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
                          {{0ms, "10\r\naaa"}}),
         std::nullopt},
        {"stalled", Respuesta::Cruda(cien, {{0ms, cuarenta}}, Final::Colgar), std::nullopt},
        {"length above 32 bits, closed early",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\n",
                          {{0ms, cuarenta}}),
         std::nullopt},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        servidor.Responder([&](const Peticion&) { return c.r; });
        Llamada l(servidor.Puerto());
        ASSERT_TRUE(l.Enviar());
        std::string cuerpo;
        EXPECT_EQ(l.LeerTodo(cuerpo), c.esperado.has_value());
        if (c.esperado) {
            EXPECT_EQ(cuerpo, *c.esperado);
        } else {
            EXPECT_NE(MotivoDelFallo(l.peticion.get()), "");
            EXPECT_TRUE(Fallo(l.peticion.get()));
            EXPECT_EQ(cuerpo, std::string(cuerpo.size(), 'a'));  // nothing invented
            EXPECT_FALSE(l.LeerTodo(cuerpo));
        }
    }

    // Silence counts from the start of each wait: a reader that pauses longer than the
    // time-out between reads of a healthy body still gets all of it.
    servidor.Responder([&](const Peticion&) {
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n",
                                {{0ms, "uno"}, {700ms, "dos"}});
    });
    Llamada pausada(servidor.Puerto());
    ASSERT_TRUE(pausada.Enviar());
    char tres[3];
    uint32_t n = 0;
    ASSERT_TRUE(InternetReadFile(pausada.peticion.get(), tres, sizeof tres, &n));
    std::this_thread::sleep_for(500ms);
    std::string resto;
    EXPECT_TRUE(pausada.LeerTodo(resto));
    EXPECT_EQ(resto, "dos");

    // A HEAD answer announces the length of a body that never comes.
    servidor.Responder([&](const Peticion&) { return Respuesta::Cruda(cien, {}, Final::Colgar); });
    Llamada cabeza(servidor.Puerto());
    cabeza.peticion.reset(HttpOpenRequestA(cabeza.conexion.get(), "HEAD", "/", "HTTP/1.0",
                                           nullptr, nullptr, 0, 0));
    ASSERT_TRUE(cabeza.Enviar());
    std::string cuerpo;
    EXPECT_TRUE(cabeza.LeerTodo(cuerpo));
    EXPECT_EQ(cuerpo, "");
}

TEST_F(InternetTest, SendFailsWithoutAFinalHead) {
    ajustes.EsperaConexion = 500ms;
    ajustes.EsperaInactividad = 300ms;
    servidor.Responder([](const Peticion& p) {
        if (p.Destino == "/basura") return Respuesta::Cruda("ESTO NO ES HTTP\r\n\r\nni esto\r\n");
        if (p.Destino == "/mudo") return Respuesta::Cruda("", {}, Final::Colgar);
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nServer: a medias\r\n", {}, Final::Colgar);
    });
    // Each failure says why, in the network's words (libcurl's, or this layer's limits).
    const std::pair<const char*, const char*> rutas[] = {
        {"/basura", "HTTP/0.9"}, {"/mudo", "Nothing received for 300 ms"},
        {"/a-medias", "Nothing received for 300 ms"}};
    for (const auto& [ruta, motivo] : rutas) {
        SCOPED_TRACE(ruta);
        Llamada l(servidor.Puerto(), ruta);
        EXPECT_FALSE(l.Enviar());
        const std::string dicho = MotivoDelFallo(l.peticion.get());
        EXPECT_NE(dicho.find(motivo), std::string::npos) << dicho;
        // The code is the layer's (curl's words are curl_easy_strerror's, without the
        // detail); nothing was cancelled.
        const std::error_code fallo = Fallo(l.peticion.get());
        EXPECT_EQ(&fallo.category(), &CategoriaInternet());
        if (std::string_view(ruta) != "/basura") {
            EXPECT_EQ(fallo.message(), motivo);
        }
        EXPECT_EQ(l.Consultar(HTTP_QUERY_STATUS_CODE), std::nullopt);
        std::string cuerpo;
        EXPECT_FALSE(l.LeerTodo(cuerpo));
    }
    // TLS towards a plain HTTP port cannot succeed.
    Llamada tls(servidor.Puerto(), "/", INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
    EXPECT_FALSE(tls.Enviar());

    uint16_t cerrado;
    {
        ServidorHttp efimero;
        cerrado = efimero.Puerto();
    }
    Llamada sinNadie(cerrado);
    EXPECT_FALSE(sinNadie.Enviar());
    EXPECT_EQ(Fallo(sinNadie.peticion.get()).message(), "Couldn't connect to server");
    EXPECT_NE(MotivoDelFallo(sinNadie.peticion.get()).find("Couldn't connect to server"),
              std::string::npos)
        << MotivoDelFallo(sinNadie.peticion.get());
    // A success leaves no reason behind.
    servidor.Responder([](const Peticion&) { return Respuesta::Simple("200 OK", "x"); });
    Llamada bien(servidor.Puerto());
    EXPECT_TRUE(bien.Enviar());
    EXPECT_FALSE(Fallo(bien.peticion.get()));
    EXPECT_EQ(MotivoDelFallo(bien.peticion.get()), "");
}

// A floor under the speed: a head or a body that trickles in counts as stalled, and
// interim answers are no progress.
TEST_F(InternetTest, TricklingHeadsAndBodiesCountAsStalled) {
    ajustes.SueloVelocidad = 400ms;
    auto goteo = [](const std::string& texto) {
        std::vector<prueba::Trozo> trozos;
        for (char c : texto) trozos.push_back({50ms, std::string(1, c)});
        return trozos;
    };
    servidor.Responder([&](const Peticion& p) {
        if (p.Destino == "/cabeza")
            return Respuesta::Cruda("", goteo("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx"));
        if (p.Destino == "/intermedias") {
            std::vector<prueba::Trozo> trozos;
            for (int i = 0; i < 20; ++i) trozos.push_back({50ms, "HTTP/1.1 102 Processing\r\n\r\n"});
            trozos.push_back({0ms, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx"});
            return Respuesta::Cruda("", trozos);
        }
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n",
                                goteo(std::string(40, 'a')));
    });
    for (const char* ruta : {"/cabeza", "/intermedias"}) {
        SCOPED_TRACE(ruta);
        EXPECT_FALSE(Llamada(servidor.Puerto(), ruta).Enviar());
    }
    Llamada cuerpo(servidor.Puerto(), "/cuerpo");
    ASSERT_TRUE(cuerpo.Enviar());
    std::string leido;
    EXPECT_FALSE(cuerpo.LeerTodo(leido));
    EXPECT_EQ(MotivoDelFallo(cuerpo.peticion.get()), "Less than 4096 bytes received in 400 ms");
    EXPECT_EQ(Fallo(cuerpo.peticion.get()).message(), "Less than 4096 bytes received in 400 ms");

    // 4 KiB in any period: a quick start does not buy a trickle after it (19 B/s for a
    // minute is 1140 bytes; here 2000 bytes a period, twice the old floor), and the
    // trickle is cut a period after it began, before this body's end.
    ajustes.SueloVelocidad = 1s;
    servidor.Responder([&](const Peticion&) {
        std::vector<prueba::Trozo> trozos{{0ms, std::string(16384, 'r')}};
        for (int i = 0; i < 16; ++i) trozos.push_back({100ms, std::string(200, 'g')});
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 19584\r\n\r\n", trozos);
    });
    Llamada lento(servidor.Puerto(), "/rapido-y-luego-goteo");
    ASSERT_TRUE(lento.Enviar());
    leido.clear();
    EXPECT_FALSE(lento.LeerTodo(leido));
    EXPECT_LT(leido.size(), 19584u);
}

TEST_F(InternetTest, MemoryStaysBoundedWhateverTheBodySize) {
    constexpr uint64_t kTamano = 24u << 20;
    servidor.Responder([](const Peticion&) {
        Respuesta r = Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: " +
                                       std::to_string(kTamano) + "\r\n\r\n");
        r.BytesGenerados = kTamano;
        return r;
    });
    Llamada l(servidor.Puerto());
    ASSERT_TRUE(l.Enviar());
    char bloque[512];
    uint32_t n = 0;
    uint64_t total = 0;
    size_t maximo = 0;
    while (InternetReadFile(l.peticion.get(), bloque, sizeof bloque, &n) && n > 0) {
        for (uint32_t i = 0; i < n; ++i)
            if (bloque[i] != prueba::Patron(total + i)) FAIL() << "byte " << total + i;
        total += n;
        maximo = std::max(maximo, BytesSinLeer(l.peticion.get()));
        ASSERT_LE(BytesSinLeer(l.peticion.get()), LimiteBufferCuerpo);
    }
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(total, kTamano);
    EXPECT_GT(maximo, 0u);
}

TEST(InternetHandles, BadArgumentsGiveNullOrFalse) {
    Handle sesion(InternetOpenA("zkDownload", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    ASSERT_TRUE(sesion);
    EXPECT_EQ(InternetOpenA("zkDownload", 1, nullptr, nullptr, 0), nullptr);
    for (const char* host : {"", "dos palabras", "h/x", "h?x", "h#x", "ana@h", "h:8080", "::1",
                             "h\tx", "[::1"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(InternetConnectA(sesion.get(), host, 80, "", "", INTERNET_SERVICE_HTTP, 0, 0),
                  nullptr);
    }
    EXPECT_EQ(InternetConnectA(nullptr, "h", 80, "", "", INTERNET_SERVICE_HTTP, 0, 0), nullptr);
    EXPECT_EQ(InternetConnectA(sesion.get(), "h", 80, "", "", 1, 0, 0), nullptr);
    Handle v6(InternetConnectA(sesion.get(), "[::1]", 80, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    EXPECT_TRUE(v6);
    EXPECT_EQ(HttpOpenRequestA(sesion.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0),
              nullptr);  // a session is not a connection
    EXPECT_EQ(HttpOpenRequestA(v6.get(), "GET", "/", "HTTP/2", nullptr, nullptr, 0, 0), nullptr);

    char b[16];
    uint32_t n = 0;
    EXPECT_FALSE(InternetReadFile(sesion.get(), b, sizeof b, &n));
    Handle peticion(HttpOpenRequestA(v6.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    ASSERT_TRUE(peticion);
    EXPECT_FALSE(InternetReadFile(peticion.get(), b, sizeof b, &n));  // not sent
    EXPECT_FALSE(InternetCloseHandle(nullptr));
}

}  // namespace
