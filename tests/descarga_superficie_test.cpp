// The component's surface without a server: defaults, documentation texts, the proxy
// switches, URL splitting, the port and the status setter.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "descarga_comun.h"

namespace {


using internet::INTERNET_OPEN_TYPE_PRECONFIG;
using internet::INTERNET_OPEN_TYPE_PROXY;

TEST(Superficie, ValoresAlCrear) {
    zkDownload d;
    EXPECT_EQ(d.BytesBloqueDescarga(), 512);
    EXPECT_TRUE(d.QContentLength());
    for (bool sw : {d.QContentType(), d.QExpires(), d.QLastModified(), d.QPragma(),
                    d.QVersion(), d.QRawHeaders(), d.QRawHeadersCrLf(), d.QForwarded(),
                    d.QServer(), d.QRequestMethod(), d.HuboError()})
        EXPECT_FALSE(sw);
    for (const std::string& t :
         {d.QExpiresStr(), d.QRawHeadersCrLfStr(), d.QVersionStr(), d.QServerStr(),
          d.QRequestMethodStr(), d.QRawHeadersStr(), d.QPragmaStr(), d.QLastModifiedStr(),
          d.QForwardedStr(), d.QContentTypeStr(), d.QContentLengthStr(),
          d.ContenidoDescargado(), d.Fichero(), d.Password(), d.Usuario(), d.NoUsarProxy(),
          d.UsarProxy(), d.StatusText(), d.StatusCode(), d.URL()})
        EXPECT_EQ(t, "");
    EXPECT_EQ(d.Puerto(), 0);
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});
    EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
    EXPECT_LT(d.FechaDisco, *sistema::Fecha::Crear(1, 1, 1));
    EXPECT_EQ(zkdetalle::TipoAcceso(d.UsarProxy(), d.NoUsarProxy()), INTERNET_OPEN_TYPE_PRECONFIG);
    EXPECT_EQ(internet::HandlesAbiertos(), 0u);
}

// Of the eleven results only QExpiresStr and QRawHeadersCrLfStr can be assigned.
template <class T>
concept AsignaVersion = requires(T d) { d.QVersionStr(std::string()); };
template <class T>
concept AsignaAmbos = requires(T d) {
    d.QExpiresStr(std::string());
    d.QRawHeadersCrLfStr(std::string());
};
static_assert(AsignaAmbos<zkDownload> && !AsignaVersion<zkDownload>);

TEST(Superficie, FicheroYListasDeProxy) {
    zkDownload d;
    d.Fichero("  /tmp/a b.zip   ");
    EXPECT_EQ(d.Fichero(), "/tmp/a b.zip");
    d.Fichero("\tx ");
    EXPECT_EQ(d.Fichero(), "\tx");  // only blanks are trimmed

    d.UsarProxy("127.0.0.1:3128");
    EXPECT_EQ(zkdetalle::TipoAcceso(d.UsarProxy(), d.NoUsarProxy()), INTERNET_OPEN_TYPE_PROXY);
    d.UsarProxy("");
    EXPECT_EQ(zkdetalle::TipoAcceso(d.UsarProxy(), d.NoUsarProxy()), INTERNET_OPEN_TYPE_PRECONFIG);
    d.NoUsarProxy(" ");  // blanks are not empty
    EXPECT_EQ(zkdetalle::TipoAcceso(d.UsarProxy(), d.NoUsarProxy()), INTERNET_OPEN_TYPE_PROXY);
    d.NoUsarProxy("");
    EXPECT_EQ(zkdetalle::TipoAcceso(d.UsarProxy(), d.NoUsarProxy()), INTERNET_OPEN_TYPE_PRECONFIG);
}

TEST(Superficie, TablaDeDocumentacion) {
    const std::vector<std::string> orden = {
        "BytesBloqueDescarga", "QExpiresStr", "QExpires", "QRawHeadersCrLfStr",
        "QVersionStr", "QServerStr", "QRequestMethodStr", "QRawHeadersStr", "QPragmaStr",
        "QLastModifiedStr", "QForwardedStr", "QContentTypeStr", "QContentLengthStr",
        "QPragma", "QRequestMethod", "QServer", "QForwarded", "QRawHeadersCrLf",
        "QRawHeaders", "QVersion", "QLastModified", "QContentLength", "QContentType",
        "Descargar", "Puerto", "ContenidoDescargado", "Fichero", "Password", "Usuario",
        "NoUsarProxy", "UsarProxy", "StatusText", "StatusCode", "HuboError", "URL"};
    const auto& tabla = zkDownload::Documentacion();
    ASSERT_EQ(tabla.size(), orden.size());
    std::map<std::string, std::string> texto;
    for (size_t i = 0; i < tabla.size(); ++i) {
        EXPECT_EQ(tabla[i].first, orden[i]);
        texto[orden[i]] = tabla[i].second;
    }
    // The irregular texts survive as written: doubled, trailing and missing blanks.
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
    EXPECT_EQ(texto["QContentType"],
              "Devuelve o establece si deseamos recuperar la cabecera CONTENT_TYPE");
}

TEST(AnalizarURL, PartesDeLaDireccion) {
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> casos = {
        {"http://servidor/web/lurenet/Morvane.zip", "http", "servidor",
         "/web/lurenet/Morvane.zip"},
        {"HTTPS://Servidor.Example/A/B?x=1#f", "https", "Servidor.Example", "/A/B?x=1#f"},
        {"HtTp://usuario:clave@h:8080/x", "http", "usuario:clave@h:8080", "/x"},
        {"servidor/ruta/a.zip", "http", "servidor", "/ruta/a.zip"},
        {"http://servidor/", "http", "servidor", ""},
        {"http://servidor", "http", "servidor", ""},
        {"http://h//", "http", "h", "//"},
        {"http:///x", "http", "", "/x"},
        {"http://", "http", "", ""},
        {"", "http", "", ""},
        {"/", "http", "", ""},
    };
    for (const auto& [url, esquema, host, ruta] : casos) {
        zkDownload d;
        d.URL(url);
        EXPECT_EQ(d.URL(), url);
        const lecturas::PartesURL partes = lecturas::DividirURL(url);
        EXPECT_TRUE(partes.Admitido) << url;
        EXPECT_EQ(partes.Esquema, esquema) << url;
        EXPECT_EQ(partes.Host, host) << url;
        EXPECT_EQ(partes.Ruta, ruta) << url;
        EXPECT_FALSE(d.HuboError()) << url;
    }
}

TEST(AnalizarURL, EsquemasNoAdmitidosYPuerto) {
    for (const std::string url :
         {"ftp://h/x", "://h/x", "file:///etc/passwd", "h/x?y=http://z/", "https ://h/"}) {
        zkDownload d;
        d.URL(url);
        EXPECT_FALSE(lecturas::DividirURL(url).Admitido) << url;
        EXPECT_TRUE(d.HuboError()) << url;
        EXPECT_EQ(d.StatusCode(), "001") << url;
        EXPECT_EQ(d.StatusText(), "URL incorrecta.") << url;
        EXPECT_EQ(d.Puerto(), 0) << url;
    }
    zkDownload d;
    d.URL("http://h/");
    EXPECT_EQ(d.Puerto(), 80);
    d.URL("HTTPS://h/");
    EXPECT_EQ(d.Puerto(), 443);
    d.Puerto(8443);
    d.URL("http://h/");
    EXPECT_EQ(d.Puerto(), 8443);
}

TEST(AnalizarURL, ElCodigo1SeSustituyeAlEmpezarDescargar) {
    prueba::Instalacion instalacion;
    zkDownload d;
    d.Opciones.Carpeta = instalacion.Ruta();
    d.URL("ftp://h/x");
    d.URL("http:///x");  // usable (but no host): the earlier report stays visible
    EXPECT_EQ(d.StatusCode(), "001");
    d.Descargar();
    EXPECT_EQ(d.StatusCode(), "003");
    EXPECT_EQ(d.StatusText(), "Error en InternetConnect.");

    d.URL("gopher://h/");
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "001");
    EXPECT_FALSE(prueba::fs::exists(instalacion.Archivo()));
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
        // Codes without a message of their own keep the text already there.
        {404, "404", ""},
        {12, "012", ""},
        {1234, "1234", ""},
    };
    for (const auto& [codigo, texto, mensaje] : tabla) {
        EXPECT_EQ(zkdetalle::FormatearCodigo(codigo), texto);
        EXPECT_EQ(zkdetalle::Estado(codigo).message(), mensaje);
    }
}

}  // namespace
