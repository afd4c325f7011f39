// The component's surface without a server: defaults, documentation texts, the proxy
// switches, URL splitting, the port and the status setter.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "descarga_comun.h"

namespace {

using P = zkDownloadPrueba;

TEST(Superficie, ValoresAlCrear) {
    zkDownload d;
    EXPECT_EQ(d.BytesBloqueDescarga(), 512);
    EXPECT_TRUE(d.QContentLength());
    for (bool sw : {d.QContentType(), d.QExpires(), d.QLastModified(), d.QPragma(),
                    d.QVersion(), d.QRawHeaders(), d.QRawHeadersCrLf(), d.QForwarded(),
                    d.QServer(), d.QRequestMethod()})
        EXPECT_FALSE(sw);
    for (const std::string& t :
         {d.QExpiresStr(), d.QRawHeadersCrLfStr(), d.QVersionStr(), d.QServerStr(),
          d.QRequestMethodStr(), d.QRawHeadersStr(), d.QPragmaStr(), d.QLastModifiedStr(),
          d.QForwardedStr(), d.QContentTypeStr(), d.QContentLengthStr(),
          d.ContenidoDescargado(), d.Fichero(), d.Password(), d.Usuario(), d.NoUsarProxy(),
          d.UsarProxy(), d.StatusText(), d.StatusCode(), d.URL()})
        EXPECT_EQ(t, "");
    EXPECT_EQ(d.Puerto(), 0);
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});
    EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
    EXPECT_LT(d.FechaDisco, *sistema::Fecha::Crear(1, 1, 1));
    EXPECT_EQ(P::Servicio(d), internet::INTERNET_SERVICE_HTTP);
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PRECONFIG);
    EXPECT_FALSE(P::UrlUtilizable(d));
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    EXPECT_FALSE(d.Progreso);
}

// Only QExpiresStr and QRawHeadersCrLfStr of the eleven results can be assigned.
template <class T>
concept AsignaVersion = requires(T d) { d.QVersionStr(std::string()); };
template <class T>
concept AsignaExpires = requires(T d) { d.QExpiresStr(std::string()); };
template <class T>
concept AsignaCrLf = requires(T d) { d.QRawHeadersCrLfStr(std::string()); };
static_assert(AsignaExpires<zkDownload> && AsignaCrLf<zkDownload>);
static_assert(!AsignaVersion<zkDownload>);

TEST(Superficie, ResultadosAsignablesYValoresGuardadosTalCual) {
    zkDownload d;
    d.QExpiresStr("mañana");
    d.QRawHeadersCrLfStr("HTTP/1.1 200 OK\r\n");
    d.BytesBloqueDescarga(-7);
    d.Puerto(-1);
    d.Usuario("  u ");
    EXPECT_EQ(d.QExpiresStr(), "mañana");
    EXPECT_EQ(d.QRawHeadersCrLfStr(), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(d.BytesBloqueDescarga(), -7);
    EXPECT_EQ(d.Puerto(), -1);
    EXPECT_EQ(d.Usuario(), "  u ");
}

TEST(Superficie, FicheroSeLeeSinBlancosDeLosExtremos) {
    zkDownload d;
    d.Fichero("  /tmp/a b.zip   ");
    EXPECT_EQ(d.Fichero(), "/tmp/a b.zip");
    d.Fichero("    ");
    EXPECT_EQ(d.Fichero(), "");
    d.Fichero("\tx\t");
    EXPECT_EQ(d.Fichero(), "\tx\t");  // only blanks are trimmed
}

TEST(Superficie, ListasDeProxyEligenElTipoDeAcceso) {
    zkDownload d;
    d.UsarProxy("127.0.0.1:3128");
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PROXY);
    d.UsarProxy("");
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PRECONFIG);
    d.NoUsarProxy("<local>");
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PROXY);
    EXPECT_EQ(d.UsarProxy(), "");
    d.UsarProxy("x:1");
    d.NoUsarProxy("");
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PROXY);
    d.UsarProxy(" ");  // blanks are not empty
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PROXY);
    d.UsarProxy("");
    EXPECT_EQ(P::TipoAcceso(d), internet::INTERNET_OPEN_TYPE_PRECONFIG);
}

TEST(Superficie, TablaDeDocumentacion) {
    const auto& tabla = zkDownload::Documentacion();
    const std::vector<std::string> orden = {
        "BytesBloqueDescarga", "QExpiresStr", "QExpires", "QRawHeadersCrLfStr",
        "QVersionStr", "QServerStr", "QRequestMethodStr", "QRawHeadersStr", "QPragmaStr",
        "QLastModifiedStr", "QForwardedStr", "QContentTypeStr", "QContentLengthStr",
        "QPragma", "QRequestMethod", "QServer", "QForwarded", "QRawHeadersCrLf",
        "QRawHeaders", "QVersion", "QLastModified", "QContentLength", "QContentType",
        "Descargar", "Puerto", "ContenidoDescargado", "Fichero", "Password", "Usuario",
        "NoUsarProxy", "UsarProxy", "StatusText", "StatusCode", "HuboError", "URL"};
    ASSERT_EQ(tabla.size(), orden.size());
    std::map<std::string, std::string> texto;
    for (size_t i = 0; i < tabla.size(); ++i) {
        EXPECT_EQ(tabla[i].first, orden[i]) << "posición " << i;
        EXPECT_FALSE(tabla[i].second.empty()) << tabla[i].first;
        texto[std::string(tabla[i].first)] = std::string(tabla[i].second);
    }
    // The irregular texts must survive as written: doubled blanks, a trailing blank,
    // missing blanks, "as true".
    EXPECT_EQ(texto["NoUsarProxy"],
              "Establece la lista dedirecciones para las que no se usará el  proxy a usar. "
              "Si se deja vacía se usará la configuración predeterminada del sistema.");
    EXPECT_EQ(texto["Fichero"],
              "Devuelve o establece el nombre del fichero donde se guardará el contenido "
              "descargado. Si se deja en blanco el contenido descargado se devolverá  en la "
              "propiedad ContenidoDescargado.");
    EXPECT_EQ(texto["BytesBloqueDescarga"].back(), ' ');
    EXPECT_EQ(texto["QExpires"],
              "Devuelve o establece si queremos obtener el valor de la cabeceraEXPIRES.");
    EXPECT_EQ(texto["QContentLengthStr"],
              "Devuelve la información de la cabecera CONTENT_LENGTH, si la propiedad "
              "QContentLength as true.");
    EXPECT_EQ(texto["QContentType"],
              "Devuelve o establece si deseamos recuperar la cabecera CONTENT_TYPE");
    EXPECT_EQ(texto["QVersion"],
              "Devuelve o establece si deseamos recuperar la cabecera VERSION.");
    EXPECT_EQ(texto["HuboError"],
              "Devuelve si la operación causó un error. Consultar StatusCode y StatusText "
              "para más información.");
    EXPECT_EQ(texto["Descargar"],
              "Descarga la información o el contenido solicitado. Para determinar qué "
              "información descargar revise las propiedades que comienzan con Q.");
    EXPECT_EQ(texto["URL"], "Devuelve y establece la URL que queremos descargar");
}

struct CasoUrl {
    std::string url;
    bool utilizable;
    std::string esquema, host, ruta;
};

TEST(AnalizarURL, PartesDeLaDireccion) {
    const std::vector<CasoUrl> casos = {
        {"http://servidor/web/lurenet/Morvane.zip", true, "http", "servidor",
         "/web/lurenet/Morvane.zip"},
        {"HTTPS://Servidor.Example/A/B?x=1#f", true, "https", "Servidor.Example",
         "/A/B?x=1#f"},
        {"HtTp://h:8080/x", true, "http", "h:8080", "/x"},
        {"servidor/ruta/a.zip", true, "http", "servidor", "/ruta/a.zip"},
        {"http://servidor/", true, "http", "servidor", ""},
        {"http://servidor", true, "http", "servidor", ""},
        {"http://usuario:clave@h/x", true, "http", "usuario:clave@h", "/x"},
        {"http://h//", true, "http", "h", "//"},
        {"http://", true, "http", "", ""},
        {"http:///x", true, "http", "", "/x"},
        {"", true, "http", "", ""},
        {"/", true, "http", "", ""},
        {"h", true, "http", "h", ""},
    };
    for (const CasoUrl& c : casos) {
        zkDownload d;
        d.URL(c.url);
        EXPECT_EQ(d.URL(), c.url);
        EXPECT_EQ(P::UrlUtilizable(d), c.utilizable) << c.url;
        EXPECT_EQ(P::Esquema(d), c.esquema) << c.url;
        EXPECT_EQ(P::Host(d), c.host) << c.url;
        EXPECT_EQ(P::Ruta(d), c.ruta) << c.url;
        EXPECT_FALSE(d.HuboError()) << c.url;
        EXPECT_EQ(d.StatusCode(), "") << c.url;
    }
}

TEST(AnalizarURL, EsquemasNoAdmitidosDanCodigo1AlEstablecer) {
    for (const std::string url :
         {"ftp://h/x", "://h/x", "file:///etc/passwd", "h/x?y=http://z/", "htt://h",
          "https ://h/"}) {
        zkDownload d;
        d.URL(url);
        EXPECT_FALSE(P::UrlUtilizable(d)) << url;
        EXPECT_TRUE(d.HuboError()) << url;
        EXPECT_EQ(d.StatusCode(), "001") << url;
        EXPECT_EQ(d.StatusText(), "URL incorrecta.") << url;
        EXPECT_EQ(d.Puerto(), 0) << url;
    }
}

TEST(AnalizarURL, ElCodigo1SeSustituyeAlEmpezarDescargar) {
    prueba::Instalacion instalacion;
    zkDownload d;
    d.URL("ftp://h/x");
    ASSERT_EQ(d.StatusCode(), "001");
    d.URL("http:///x");  // usable, but names no host: the connection cannot be made
    EXPECT_EQ(d.StatusCode(), "001");  // a usable URL does not clear the report
    d.Descargar();
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(d.StatusText(), "Error en InternetConnect.");
    EXPECT_FALSE(P::AlgunHandleAbierto(d));

    d.URL("gopher://h/");
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "001");
    EXPECT_TRUE(d.HuboError());
    EXPECT_TRUE(instalacion.Temporales().empty());
    EXPECT_FALSE(prueba::fs::exists(instalacion.Archivo()));
}

TEST(Puerto, PorDefectoSegunElEsquemaYElGuardadoGana) {
    zkDownload d;
    EXPECT_EQ(d.Puerto(), 0);
    d.URL("http://h/");
    EXPECT_EQ(d.Puerto(), 80);
    d.URL("HTTPS://h/");
    EXPECT_EQ(d.Puerto(), 443);
    d.Puerto(8443);
    EXPECT_EQ(d.Puerto(), 8443);
    d.URL("http://h/");
    EXPECT_EQ(d.Puerto(), 8443);
    d.URL("ftp://h/");
    EXPECT_EQ(d.Puerto(), 8443);
    d.Puerto(0);
    EXPECT_EQ(d.Puerto(), 0);
}

TEST(EstablecerError, CodigosYMensajes) {
    const std::vector<std::tuple<int32_t, std::string, std::string>> tabla = {
        {1, "001", "URL incorrecta."},
        {2, "002", "Error en InternetOpen."},
        {3, "003", "Error en InternetConnect."},
        {4, "004", "Error en InternetOpenRequest."},
        {5, "005", "Error en InternetSendRequest."},
        {6, "006", "Error en InternetQueryInfo."},
        {7, "007", "Error en InternetReadFile."},
        {8, "008", "No se ha podido crear el fichero de destino."},
        {998, "998", "Descarga cancelada por el usuario."},
        {999, "999", "Ha ocurrido un error durante la descarga."},
    };
    for (const auto& [codigo, texto, mensaje] : tabla) {
        zkDownload d;
        P::EstablecerError(d, codigo);
        EXPECT_TRUE(d.HuboError());
        EXPECT_EQ(d.StatusCode(), texto);
        EXPECT_EQ(d.StatusText(), mensaje);
    }
}

TEST(EstablecerError, OtrosCodigosConservanElTextoAnterior) {
    zkDownload d;
    P::EstablecerError(d, 5);
    P::EstablecerError(d, 404);
    EXPECT_EQ(d.StatusCode(), "404");
    EXPECT_EQ(d.StatusText(), "Error en InternetSendRequest.");
    P::EstablecerError(d, 12);
    EXPECT_EQ(d.StatusCode(), "012");
    P::EstablecerError(d, 1234);
    EXPECT_EQ(d.StatusCode(), "1234");
    P::EstablecerError(d, 0);
    EXPECT_EQ(d.StatusCode(), "000");
    EXPECT_EQ(d.StatusText(), "Error en InternetSendRequest.");
    EXPECT_TRUE(d.HuboError());
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
}

}  // namespace
