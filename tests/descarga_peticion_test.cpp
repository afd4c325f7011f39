// The request side of Descargar against a loopback server: status, header switches,
// failures of each step, TLS, proxies, authentication, redirects, repeated calls; and the
// fetch of a signature beside the archive.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "descarga_comun.h"
#include "declaracion.h"
#include "internet.h"
#include "texto_remoto.h"

namespace {


using prueba::Peticion;
using prueba::Respuesta;
using Interruptor = void (zkDownload::*)(bool);

void Poner(zkDownload& d, std::initializer_list<Interruptor> interruptores, bool valor) {
    for (Interruptor sw : interruptores) (d.*sw)(valor);
}

using prueba::kRuta;

class Peticiones : public prueba::DescargaConServidor {
protected:
    // After any call: no handle left open, and nothing but a completed body on disk.
    void SinRastro(bool archivo = false) {
        EXPECT_EQ(internet::HandlesAbiertos(), 0u);
        EXPECT_EQ(prueba::fs::exists(instalacion.Archivo()), archivo);
        EXPECT_TRUE(instalacion.Temporales().empty());
    }
};

TEST_F(Peticiones, SoloInformacion) {
    Servir(Respuesta::Simple("200 OK", "12345", {"Content-Type: application/zip"}));
    d.Fichero("/otro/sitio.zip");
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.StatusText(), "OK");
    EXPECT_EQ(d.QContentLengthStr(), "5");
    EXPECT_EQ(d.QContentTypeStr(), "");  // switch off
    EXPECT_EQ(d.Fichero(), instalacion.Archivo());
    SinRastro();

    const Peticion p = servidor.Peticiones().at(0);
    EXPECT_EQ(p.Metodo + " " + p.Destino + " " + p.Version, "GET " + std::string(kRuta) +
                                                                 " HTTP/1.0");
    EXPECT_EQ(p.Cabecera("User-Agent"), "zkDownload");
    EXPECT_EQ(p.Cabecera("Pragma"), "no-cache");
    EXPECT_FALSE(p.Tiene("Authorization"));

    // A 204 is a success too.
    Respuesta r;
    r.Cabecera = "HTTP/1.1 204 No Content\r\n\r\n";
    Servir(r);
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "204 No Content");
}

TEST_F(Peticiones, CadaInterruptorLeeSuCabecera) {
    Respuesta r;
    r.Cabecera =
        "HTTP/1.1 200 Todo Bien\r\nContent-Type: application/zip\r\n"
        "Expires: Thu, 01 Jan 2099 00:00:00 GMT\r\nForwarded: for=192.0.2.60\r\n"
        "Server: Prueba/1.0\r\nContent-Length: 0\r\n\r\n";
    Servir(r);
    Poner(d,
          {&zkDownload::QContentType, &zkDownload::QExpires, &zkDownload::QPragma,
           &zkDownload::QVersion, &zkDownload::QRawHeaders, &zkDownload::QRawHeadersCrLf,
           &zkDownload::QForwarded, &zkDownload::QServer, &zkDownload::QRequestMethod},
          true);
    d.Descargar();
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.StatusText(), "Todo Bien");
    EXPECT_EQ(d.QContentLengthStr(), "0");
    EXPECT_EQ(d.QContentTypeStr(), "application/zip");
    EXPECT_EQ(d.QExpiresStr(), "Thu, 01 Jan 2099 00:00:00 GMT");
    EXPECT_EQ(d.QPragmaStr(), "no-cache");  // the request's own
    EXPECT_EQ(d.QVersionStr(), "HTTP/1.1");
    EXPECT_EQ(d.QRawHeadersStr(), "HTTP/1.1 200 Todo Bien");  // status line only
    EXPECT_EQ(d.QRawHeadersCrLfStr(), r.Cabecera);
    EXPECT_EQ(d.QForwardedStr(), "for=192.0.2.60");
    EXPECT_EQ(d.QServerStr(), "Prueba/1.0");
    EXPECT_EQ(d.QRequestMethodStr(), "GET");
    EXPECT_EQ(d.QLastModifiedStr(), "");
    EXPECT_TRUE(ventana.Dibujos.empty());
    SinRastro();

    // Headers missing, or present with their switch off, leave empty results.
    Servir(Respuesta::Simple("200 OK", "", {"Server: S"}, /*conLongitud=*/false));
    d.QServer(false);
    d.Descargar();
    EXPECT_EQ(d.QContentTypeStr() + d.QContentLengthStr() + d.QServerStr(), "");
    Servir(Respuesta::Simple("200 OK", "abcd"));
    d.QContentLength(false);
    d.Descargar();
    EXPECT_EQ(d.QContentLengthStr(), "");
}

TEST_F(Peticiones, Valores1023Y1024Bytes) {
    const std::string v1023(1023, 's'), v1024(1024, 'e');
    Servir(Respuesta::Simple("200 OK", "", {"Server: " + v1023, "Expires: " + v1024}));
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

TEST_F(Peticiones, EstadosNoExitososConservanLaFraseYNoLeenCabeceras) {
    for (const std::string estado : {"404 Not Found", "500 Fallo Interno Propio"}) {
        Servir(Respuesta::Simple(estado, "<html>error</html>",
                                 {"Content-Type: text/html", "Expires: mañana",
                                  "Last-Modified: Sun, 06 Nov 2094 08:49:37 GMT"}));
        d.QContentType(true);
        d.QExpires(true);
        d.QLastModified(true);
        d.Descargar(1);
        EXPECT_TRUE(d.HuboError()) << estado;
        EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), estado);
        EXPECT_EQ(d.QContentLengthStr() + d.QContentTypeStr() + d.QExpiresStr() +
                      d.QLastModifiedStr(),
                  "");
        EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
        SinRastro();  // an error page is never saved
    }
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(Peticiones, PuertosQueNoSePuedenUsar) {
    d.Puerto(40000);  // does not fit a signed 16-bit port
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(d.StatusText(), "Error en InternetConnect.");
    SinRastro();

    d.URL(servidor.Url(kRuta));  // "127.0.0.1:<port>" is taken whole as the host name
    d.Puerto(prueba::Puerto16(servidor.Puerto()));
    d.Descargar();
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(servidor.Conexiones(), 0);
}

TEST_F(Peticiones, FallosDeEnvio) {
    Respuesta basura;
    basura.Cabecera = "esto no es HTTP\r\n\r\n";
    Servir(basura);
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_EQ(d.StatusText(), "Error en InternetSendRequest.");
    SinRastro();

    {
        prueba::ServidorHttp efimero;
        d.Puerto(prueba::Puerto16(efimero.Puerto()));
    }  // nobody listens there any more
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    SinRastro();
}

TEST_F(Peticiones, HttpsVaCifradoYVerificado) {
    d.Opciones.EsperaConexion = d.Opciones.EsperaInactividad = std::chrono::milliseconds(500);
    // A plain HTTP server: the request must not quietly fall back to clear text.
    Servir(Respuesta::Simple("200 OK", "claro"));
    d.URL(std::string("https://127.0.0.1") + kRuta);
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_TRUE(servidor.Peticiones().empty());
    SinRastro();

    // A TLS server with a certificate from a CA the test makes: refused while that CA is
    // not trusted; trusted, the archive and its signature come through and verify.
    d.Opciones.EsperaConexion = d.Opciones.EsperaInactividad = std::chrono::seconds(30);
    const std::string dir = instalacion.Ruta() + "/", q = prueba::Citar(dir);
    const prueba::Salida ca = prueba::Ejecutar(
        "cd " + q + " && openssl req -x509 -newkey ed25519 -nodes -keyout ca.key -out ca.pem"
        " -days 1 -subj /CN=Prueba 2>/dev/null && openssl req -newkey ed25519 -nodes -keyout"
        " srv.key -out srv.csr -subj /CN=127.0.0.1 2>/dev/null && printf"
        " 'subjectAltName=IP:127.0.0.1\\n' > ext && openssl x509 -req -in srv.csr -CA ca.pem"
        " -CAkey ca.key -CAcreateserial -days 1 -extfile ext -out srv.pem 2>/dev/null &&"
        " mkdir -p servidor/web/lurenet");
    ASSERT_EQ(ca.Estado, 0);
    const std::string cuerpo(70000, 'z');
    prueba::Escribir(dir + "firmado.zip", cuerpo);
    const std::string publica = prueba::ClaveOpenssl(dir + "clave.pem");
    const std::string firmaTexto = prueba::DeclaracionOpenssl(dir + "clave.pem", dir + "firmado.zip");
    prueba::Escribir(dir + "servidor" + kRuta, "HTTP/1.0 200 OK\r\nContent-Length: " +
                                                   std::to_string(cuerpo.size()) + "\r\n\r\n" + cuerpo);
    prueba::Escribir(dir + "servidor" + kRuta + ".sig",
                     "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + firmaTexto);
    prueba::ServidorTls tls(dir + "servidor", dir + "srv.pem", dir + "srv.key", 8);
    ASSERT_NE(tls.Puerto(), 0);
    d.Puerto(prueba::Puerto16(tls.Puerto()));
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_TRUE(servidor.Peticiones().empty());
    SinRastro();

    // The CA is this component's own: another one in the same process, made before or
    // after it, still trusts only the system's store, and keeps its own time-outs.
    zkDownload otro;
    otro.Opciones.Carpeta = instalacion.En("otro");
    prueba::fs::create_directory(otro.Opciones.Carpeta);
    otro.URL(d.URL());
    otro.Puerto(d.Puerto());
    d.Opciones.AutoridadPruebas = dir + "ca.pem";
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode() << " " << d.StatusText();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
    otro.Descargar(1);
    EXPECT_EQ(otro.StatusCode(), "005");
    EXPECT_FALSE(prueba::fs::exists(otro.Opciones.Carpeta + "/Morvane.zip"));
    const auto firmaLeida = LeerTextoRemoto(d.URL() + ".sig", d.Puerto(), 4096, d.Opciones).Texto;
    ASSERT_TRUE(firmaLeida);
    EXPECT_EQ(LeerTextoRemoto(d.URL() + ".sig", d.Puerto(), 4096, otro.Opciones).Texto,
              std::nullopt);
    const auto declaracion = firma::LeerDeclaracion(*firmaLeida, publica);
    ASSERT_TRUE(declaracion);
    EXPECT_EQ(declaracion->Sha256, firma::ResumenFichero(instalacion.Archivo()));

    // Redirects of a secure request are followed to https only.
    const std::string aTls = "https://127.0.0.1:" + std::to_string(tls.Puerto()) + kRuta;
    prueba::Escribir(dir + "servidor/a-https",
                     "HTTP/1.0 302 Found\r\nLocation: " + aTls + "\r\nContent-Length: 0\r\n\r\n");
    prueba::Escribir(dir + "servidor/a-http", "HTTP/1.0 302 Found\r\nLocation: " +
                                                  servidor.Url("/x") + "\r\nContent-Length: 0\r\n\r\n");
    prueba::fs::remove(instalacion.Archivo());
    d.URL("https://127.0.0.1/a-https");
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
    d.URL("https://127.0.0.1/a-http");
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "005");
    EXPECT_TRUE(servidor.Peticiones().empty());
    SinRastro(/*archivo=*/true);
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
}

// The signature's fetch: the archive's request, and nothing but a whole 2xx body within the
// limit counts.
TEST_F(Peticiones, TextoRemotoSoloConUnCuerpo2xxCompletoDentroDelLimite) {
    const std::string url = std::string("http://127.0.0.1") + kRuta + ".sig";
    const int32_t puerto = prueba::Puerto16(servidor.Puerto());
    struct Caso {
        const char* nombre;
        Respuesta respuesta;
        std::optional<std::string> esperado;
        std::string sinRespuesta = "";  // nothing known of the text: the code it fails with
    };
    Respuesta cortada = Respuesta::Simple("200 OK", "corta", {"Content-Length: 100"}, false);
    const std::vector<Caso> casos = {
        {"en el límite", Respuesta::Simple("200 OK", std::string(4096, 'A')), std::string(4096, 'A')},
        {"sobre el límite, sin longitud", Respuesta::Simple("200 OK", std::string(4097, 'A'), {}, false), std::nullopt},
        {"cortada", cortada, std::nullopt, "999"},
        // The server said there is none; a network or a server that failed said nothing.
        {"404", Respuesta::Simple("404 Not Found", "no"), std::nullopt},
        {"sin respuesta", Respuesta::Cruda(""), std::nullopt, "005"},
        {"502 del proxy", Respuesta::Simple("502 Bad Gateway", ""), std::nullopt, "502"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        Servir(c.respuesta);
        const TextoRemoto t = LeerTextoRemoto(url, puerto, 4096, d.Opciones);
        EXPECT_EQ(t.Texto, c.esperado);
        EXPECT_EQ(t.SinRespuesta ? t.Codigo : "", c.sinRespuesta);
        EXPECT_EQ(t.MotivoRed.empty(), c.sinRespuesta != "005" && c.sinRespuesta != "999")
            << t.MotivoRed;
        EXPECT_EQ(!t.Causa, t.MotivoRed.empty()) << t.Causa.message();
    }
    const Peticion p = servidor.Peticiones().front();
    EXPECT_EQ(p.Metodo + " " + p.Destino + " " + p.Version, "GET " + std::string(kRuta) + ".sig HTTP/1.0");
    EXPECT_EQ(p.Cabecera("User-Agent"), "zkDownload");
    EXPECT_EQ(p.Cabecera("Pragma"), "no-cache");
    const size_t vistas = servidor.Peticiones().size();
    EXPECT_EQ(LeerTextoRemoto("ftp://127.0.0.1/x.sig", puerto, 4096, d.Opciones).Texto,
              std::nullopt);
    EXPECT_EQ(servidor.Peticiones().size(), vistas);
}

TEST_F(Peticiones, Proxies) {
    Servir(Respuesta::Simple("200 OK", "p"));
    prueba::ProxyHttp proxy;
    d.UsarProxy(proxy.Direccion());
    d.Descargar();
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    ASSERT_EQ(proxy.Peticiones().size(), 1u);
    EXPECT_EQ(proxy.Peticiones()[0].Destino, servidor.Url(kRuta));
    d.NoUsarProxy("127.0.0.1");  // a host of the bypass list goes direct
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(proxy.Peticiones().size(), 1u);

    // With both lists empty, the system's setting (here the environment) applies.
    ::setenv("http_proxy", ("http://" + proxy.Direccion()).c_str(), 1);
    d.UsarProxy("");
    d.NoUsarProxy("");
    d.Descargar();
    ::unsetenv("http_proxy");
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(proxy.Peticiones().size(), 2u);
    EXPECT_EQ(servidor.Peticiones().size(), 3u);

    // The lists are read again for every hop: through the proxy to 127.0.0.1, whose
    // redirect to localhost (bypassed) goes direct.
    servidor.Responder([this](const Peticion& p) {
        if (p.Destino == "/nuevo") return Respuesta::Simple("200 OK", "directo");
        return Respuesta::Simple(
            "302 Found", "", {"Location: http://localhost:" + std::to_string(servidor.Puerto()) +
                                  "/nuevo"});
    });
    d.UsarProxy(proxy.Direccion());
    d.NoUsarProxy("localhost");
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "directo");
    EXPECT_EQ(proxy.Peticiones().size(), 3u);
    EXPECT_EQ(servidor.Peticiones().back().Destino, "/nuevo");
}

// CR, LF and NUL in what the caller sets never reach a request: the step that would pass
// them fails with its own code before anything is sent.
TEST_F(Peticiones, SaltosDeLineaYNulesNoLleganALaPeticion) {
    servidor.Responder([](const Peticion& p) {
        if (p.Tiene("Authorization")) return Respuesta::Simple("200 OK", "dentro");
        return Respuesta::Simple("401 Unauthorized", "",
                                 {"WWW-Authenticate: Digest realm=\"m\", nonce=\"abc\""});
    });
    const std::string nul("\0", 1);
    const std::string local = "http://127.0.0.1";
    struct Caso {
        std::string url, usuario, password, usarProxy, noUsarProxy, codigo;
    };
    for (const Caso& c : std::vector<Caso>{
             {local + kRuta, "ana\r\nX-Inyectada: 1", "x", "", "", "003"},
             {local + kRuta, "ana", "x\nX-Inyectada: 1", "", "", "003"},
             {local + kRuta, "ana" + nul + "X", "x", "", "", "003"},
             {local + kRuta, "ana", "x" + nul, "", "", "003"},
             {local + nul + ".otro" + kRuta, "", "", "", "", "003"},
             {local + kRuta + nul + ".otro", "", "", "", "", "004"},
             {local + kRuta, "", "", "127.0.0.1:1\r\nX-Inyectada: 1", "", "002"},
             {local + kRuta, "", "", "", "otro\nX-Inyectada: 1", "002"},
             {local + kRuta, "", "", "127.0.0.1:1" + nul, "", "002"},
             {local + kRuta, "", "", "", "<local>" + nul, "002"},
         }) {
        SCOPED_TRACE(testing::PrintToString(c.url + "|" + c.usuario + "|" + c.password + "|" +
                                            c.usarProxy + "|" + c.noUsarProxy));
        d.URL(c.url);
        d.Usuario(c.usuario);
        d.Password(c.password);
        d.UsarProxy(c.usarProxy);
        d.NoUsarProxy(c.noUsarProxy);
        d.Descargar(1);
        EXPECT_EQ(d.StatusCode(), c.codigo);
        SinRastro();
    }
    EXPECT_TRUE(servidor.Peticiones().empty());

    // In the path, CR and LF travel percent-encoded.
    d.URL(local + "/web/a\r\nX-Inyectada: 1");
    d.Usuario("ana");
    d.Password("x");
    d.UsarProxy("");
    d.NoUsarProxy("");
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    const auto vistas = servidor.Peticiones();
    ASSERT_EQ(vistas.size(), 2u);
    for (const Peticion& p : vistas) {
        EXPECT_EQ(p.Destino, "/web/a%0D%0AX-Inyectada:%201");
        EXPECT_FALSE(p.Tiene("X-Inyectada"));
    }
}

TEST_F(Peticiones, AutenticacionBasica) {
    servidor.Responder([](const Peticion& p) {
        if (p.Cabecera("Authorization") == "Basic YW5hOnNlIGNyZXRh")  // ana:se creta
            return Respuesta::Simple("200 OK", "dentro");
        return Respuesta::Simple("401 Unauthorized", "",
                                 {"WWW-Authenticate: Basic realm=\"morvane\""});
    });
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "401 Unauthorized");
    d.Usuario("ana");
    d.Password("se creta");
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "dentro");
}

TEST_F(Peticiones, RedireccionLeeLaRespuestaFinal) {
    servidor.Responder([this](const Peticion& p) {
        if (p.Destino == kRuta)
            return Respuesta::Simple("302 Found", "movido",
                                     {"Location: " + servidor.Url("/nuevo"), "Server: Viejo"});
        return Respuesta::Simple("200 OK", "archivo nuevo", {"Server: Nuevo"});
    });
    d.QServer(true);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.QServerStr(), "Nuevo");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "archivo nuevo");
}

TEST_F(Peticiones, LlamadasRepetidasReinicianElEstadoSalvoExpires) {
    Servir(Respuesta::Simple("404 Not Found", ""));
    d.Descargar();
    ASSERT_EQ(d.StatusCode(), "404");

    Servir(Respuesta::Simple("200 OK", "",
                             {"Expires: primero", "Server: S1", "Content-Type: a/b",
                              "Forwarded: f", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT"}));
    Poner(d,
          {&zkDownload::QContentType, &zkDownload::QExpires, &zkDownload::QLastModified,
           &zkDownload::QPragma, &zkDownload::QVersion, &zkDownload::QRawHeaders,
           &zkDownload::QServer, &zkDownload::QRawHeadersCrLf, &zkDownload::QForwarded,
           &zkDownload::QRequestMethod},
          true);
    d.Descargar();
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "200 OK");
    auto resultados = [this] {
        return std::vector<std::string>{
            d.QContentLengthStr(), d.QContentTypeStr(), d.QForwardedStr(), d.QLastModifiedStr(),
            d.QPragmaStr(),        d.QRawHeadersStr(),  d.QRequestMethodStr(), d.QServerStr(),
            d.QVersionStr(),       d.QRawHeadersCrLfStr()};
    };
    for (const std::string& t : resultados()) EXPECT_NE(t, "");

    // Headers missing and the request's own switched off: ten results are emptied at
    // entry, QExpiresStr keeps the text of the earlier call.
    Servir(Respuesta::Simple("200 Bien", "", {}, /*conLongitud=*/false));
    Poner(d,
          {&zkDownload::QPragma, &zkDownload::QVersion, &zkDownload::QRawHeaders,
           &zkDownload::QRawHeadersCrLf, &zkDownload::QRequestMethod},
          false);
    d.Descargar();
    EXPECT_EQ(d.StatusText(), "Bien");
    EXPECT_EQ(d.QExpiresStr(), "primero");
    for (const std::string& t : resultados()) EXPECT_EQ(t, "");
    SinRastro();
}

}  // namespace
