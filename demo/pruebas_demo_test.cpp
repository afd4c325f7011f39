// The demo's own parts: the update server's replies, the Kelunzip and Morvane.exe
// stand-ins, and the globe icon files the window ships.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <QFile>
#include <QImageReader>
#include <QXmlStreamReader>
#include <QSet>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "entorno_prueba.h"
#include "guion_demo.h"
#include "servidor_http.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFuentes = MORVANE_FUENTES;

using prueba::Escribir;
using prueba::FechaDe;
using prueba::FechaHttp;
using prueba::FijarFecha;
using prueba::Leer;

// Runs a program in `carpeta` with standard output and error discarded; returns its exit
// status, or -1 when it could not run or died from a signal.
int Ejecutar(const std::vector<std::string>& args, const fs::path& carpeta) {
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_addchdir_np(&acciones, carpeta.c_str());
    posix_spawn_file_actions_addopen(&acciones, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&acciones, 2, "/dev/null", O_WRONLY, 0);
    const auto pid = prueba::Iniciar(args, &acciones);
    posix_spawn_file_actions_destroy(&acciones);
    const int estado = pid ? prueba::Esperar(*pid) : -1;
    return WIFEXITED(estado) ? WEXITSTATUS(estado) : -1;
}

class CarpetaTemporal : public ::testing::Test {
protected:
    prueba::DirectorioTemporal carpeta_{"demo-prueba"};
    const fs::path dir_ = carpeta_.Ruta();
};

// ---- the update server --------------------------------------------------------------

TEST(FechaHttpTest, FixedFormGmtWithTwoDigitDay) {
    EXPECT_EQ(FechaHttp(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(FechaHttp(1000000000), "Sun, 09 Sep 2001 01:46:40 GMT");
    EXPECT_EQ(FechaHttp(0), "Thu, 01 Jan 1970 00:00:00 GMT");

    // The local time zone must not leak in.
    const char* antes = std::getenv("TZ");
    std::string guardado = antes ? antes : "";
    ::setenv("TZ", "Pacific/Auckland", 1);
    ::tzset();
    std::string enOtraZona = FechaHttp(784111777);
    if (antes) ::setenv("TZ", guardado.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(enOtraZona, "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(PideArchivoTest, OnlyTargetsEndingWithTheArchivePath) {
    EXPECT_TRUE(demo::PideArchivo("/web/lurenet/Morvane.zip"));
    EXPECT_TRUE(demo::PideArchivo("http://actualizaciones.morvane.example/web/lurenet/Morvane.zip"));
    EXPECT_TRUE(demo::PideArchivo("http://h:8080/web/lurenet/Morvane.zip?x=1"));
    EXPECT_FALSE(demo::PideArchivo("/web/lurenet/Morvane.zip.part"));
    EXPECT_TRUE(demo::PideFirma("http://h/web/lurenet/Morvane.zip.sig"));
    EXPECT_FALSE(demo::PideFirma("/web/lurenet/Morvane.zip"));
    EXPECT_FALSE(demo::PideArchivo("/web/lurenet/morvane.zip"));
    EXPECT_FALSE(demo::PideArchivo("/Morvane.zip"));
    EXPECT_FALSE(demo::PideArchivo("/"));
    EXPECT_FALSE(demo::PideArchivo(""));
}

class ServidorDemoTest : public CarpetaTemporal {
protected:
    struct Resultado {
        long Estado = 0;
        std::string Cuerpo;
        std::string Cabeceras;
        CURLcode Codigo = CURLE_OK;
    };

    // A GET (or HEAD) through libcurl; `proxy` non-empty sends it in absolute form.
    static Resultado Pedir(const std::string& url, const std::string& proxy = "",
                           bool head = false) {
        Resultado r;
        CURL* c = curl_easy_init();
        auto guardar = +[](char* p, size_t t, size_t n, void* d) {
            static_cast<std::string*>(d)->append(p, t * n);
            return t * n;
        };
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(c, CURLOPT_NOBODY, head ? 1L : 0L);
        curl_easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, guardar);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.Cuerpo);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, guardar);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.Cabeceras);
        r.Codigo = curl_easy_perform(c);
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.Estado);
        curl_easy_cleanup(c);
        return r;
    }

    demo::OpcionesArchivo Opciones() const {
        demo::OpcionesArchivo o;
        o.Ruta = (dir_ / "Morvane.zip").string();
        o.Duracion = std::chrono::milliseconds(50);
        return o;
    }
};

TEST_F(ServidorDemoTest, ServesTheArchiveToAProxyRequestWithItsDateAndLength) {
    std::string datos;
    for (int i = 0; i < 40000; ++i) datos += static_cast<char>((i * 7919) % 251);
    Escribir(dir_ / "Morvane.zip", datos);
    FijarFecha(dir_ / "Morvane.zip", 784111777);

    auto opciones = Opciones();
    prueba::ServidorHttp servidor(
        [opciones](const prueba::Peticion& p) { return demo::ResponderArchivo(opciones, p); });

    Resultado r = Pedir("http://actualizaciones.morvane.example/web/lurenet/Morvane.zip",
                        servidor.Url(""));
    ASSERT_EQ(r.Codigo, CURLE_OK);
    EXPECT_EQ(r.Estado, 200);
    EXPECT_EQ(r.Cuerpo, datos);
    EXPECT_NE(r.Cabeceras.find("Content-Length: 40000\r\n"), std::string::npos) << r.Cabeceras;
    EXPECT_NE(r.Cabeceras.find("Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"),
              std::string::npos) << r.Cabeceras;
    auto peticiones = servidor.Peticiones();
    ASSERT_EQ(peticiones.size(), 1u);
    EXPECT_EQ(peticiones[0].Destino,
              "http://actualizaciones.morvane.example/web/lurenet/Morvane.zip");

    // The file is read per request: a replaced archive is served with its new date.
    Escribir(dir_ / "Morvane.zip", "PK-new");
    FijarFecha(dir_ / "Morvane.zip", 1000000000);
    r = Pedir(servidor.Url(demo::kRutaArchivo));
    EXPECT_EQ(r.Cuerpo, "PK-new");
    EXPECT_NE(r.Cabeceras.find("Last-Modified: Sun, 09 Sep 2001 01:46:40 GMT\r\n"),
              std::string::npos) << r.Cabeceras;

    r = Pedir(servidor.Url(demo::kRutaArchivo), "", true);
    EXPECT_EQ(r.Estado, 200);
    EXPECT_TRUE(r.Cuerpo.empty());
    EXPECT_NE(r.Cabeceras.find("Content-Length: 6\r\n"), std::string::npos) << r.Cabeceras;
}

TEST_F(ServidorDemoTest, OtherPathsAreNotFoundAndAMissingArchiveIsAnError) {
    Escribir(dir_ / "Morvane.zip", "PK");
    auto opciones = Opciones();
    prueba::ServidorHttp servidor(
        [opciones](const prueba::Peticion& p) { return demo::ResponderArchivo(opciones, p); });

    Resultado r = Pedir(servidor.Url("/web/lurenet/Otro.zip"));
    EXPECT_EQ(r.Estado, 404);
    EXPECT_EQ(r.Cabeceras.find("Last-Modified"), std::string::npos);
    EXPECT_EQ(Pedir(servidor.Url("/")).Estado, 404);
    // The signature beside the archive, when there is one.
    EXPECT_EQ(Pedir(servidor.Url(demo::kRutaArchivo) + ".sig").Estado, 404);
    Escribir(dir_ / "Morvane.zip.sig", "Zmlyb2E=\n");
    r = Pedir(servidor.Url(demo::kRutaArchivo) + ".sig");
    EXPECT_EQ(r.Estado, 200);
    EXPECT_EQ(r.Cuerpo, "Zmlyb2E=\n");

    fs::remove(dir_ / "Morvane.zip");
    r = Pedir(servidor.Url(demo::kRutaArchivo));
    EXPECT_EQ(r.Estado, 500);
    EXPECT_EQ(r.Cabeceras.find("Last-Modified"), std::string::npos);
}

// With --rangos: the ranges asked for and only those, and the index; without, neither.
TEST_F(ServidorDemoTest, RangesAndTheIndexOnlyWhenAsked) {
    std::string datos(5000, '\0');
    for (size_t i = 0; i < datos.size(); ++i) datos[i] = static_cast<char>('a' + i % 26);
    Escribir(dir_ / "Morvane.zip", datos);
    Escribir(dir_ / "Morvane.zip.indice", "indice\n");
    auto opciones = Opciones();
    prueba::Peticion get;
    get.Metodo = "GET";
    get.Destino = demo::kRutaArchivo;
    get.Cabeceras = {{"Range", "bytes=10-19"}};
    prueba::Peticion indice = get;
    indice.Destino = std::string(demo::kRutaArchivo) + ".indice";
    EXPECT_EQ(demo::ResponderArchivo(opciones, get).Cabecera.rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_EQ(demo::ResponderArchivo(opciones, indice).Cabecera.rfind("HTTP/1.1 404", 0), 0u);

    opciones.Rangos = true;
    prueba::Respuesta r = demo::ResponderArchivo(opciones, get);
    EXPECT_EQ(r.Cabecera.rfind("HTTP/1.1 206 Partial Content", 0), 0u);
    EXPECT_NE(r.Cabecera.find("Content-Range: bytes 10-19/5000\r\n"), std::string::npos);
    ASSERT_EQ(r.Cuerpo.size(), 1u);
    EXPECT_EQ(r.Cuerpo[0].Datos, datos.substr(10, 10));
    get.Cabeceras = {{"Range", "bytes=0-1,4998-"}};
    r = demo::ResponderArchivo(opciones, get);
    ASSERT_EQ(r.Cuerpo.size(), 1u);
    EXPECT_NE(r.Cabecera.find("multipart/byteranges"), std::string::npos);
    EXPECT_NE(r.Cuerpo[0].Datos.find("Content-Range: bytes 0-1/5000\r\n\r\nab\r\n"), std::string::npos);
    EXPECT_NE(r.Cuerpo[0].Datos.find("Content-Range: bytes 4998-4999/5000\r\n\r\n" + datos.substr(4998)),
              std::string::npos);
    get.Cabeceras = {{"Range", "bytes=6000-"}};
    EXPECT_EQ(demo::ResponderArchivo(opciones, get).Cabecera.rfind("HTTP/1.1 416", 0), 0u);
    r = demo::ResponderArchivo(opciones, indice);
    ASSERT_EQ(r.Cuerpo.size(), 1u);
    EXPECT_EQ(r.Cuerpo[0].Datos, "indice\n");
}

TEST_F(ServidorDemoTest, BodyIsSentInPacedPiecesThatAddUpToTheFile) {
    std::string datos(300000, '\0');
    for (size_t i = 0; i < datos.size(); ++i) datos[i] = static_cast<char>(i % 253);
    Escribir(dir_ / "Morvane.zip", datos);
    auto opciones = Opciones();
    opciones.Duracion = std::chrono::milliseconds(3000);

    prueba::Peticion get;
    get.Metodo = "GET";
    get.Destino = demo::kRutaArchivo;
    prueba::Respuesta r = demo::ResponderArchivo(opciones, get);
    ASSERT_GT(r.Cuerpo.size(), 10u);
    std::string junto;
    std::chrono::milliseconds pausas{0};
    for (const auto& t : r.Cuerpo) {
        junto += t.Datos;
        pausas += t.Pausa;
        EXPECT_GT(t.Pausa.count(), 0);
    }
    EXPECT_EQ(junto, datos);
    EXPECT_LE(pausas, opciones.Duracion);
    EXPECT_GT(pausas, opciones.Duracion / 2);

    // A tiny archive is still one piece, and an empty one has no body at all.
    Escribir(dir_ / "Morvane.zip", "PK");
    r = demo::ResponderArchivo(opciones, get);
    ASSERT_EQ(r.Cuerpo.size(), 1u);
    EXPECT_EQ(r.Cuerpo[0].Datos, "PK");
    Escribir(dir_ / "Morvane.zip", "");
    r = demo::ResponderArchivo(opciones, get);
    EXPECT_TRUE(r.Cuerpo.empty());
    EXPECT_NE(r.Cabecera.find("Content-Length: 0\r\n"), std::string::npos);
}

// ---- the Kelunzip stand-in ----------------------------------------------------------

class KelunzipTest : public CarpetaTemporal {
protected:
    void SetUp() override {
        fs::path fuente = dir_ / "fuente";
        fs::create_directories(fuente / "datos");
        Escribir(fuente / "Morvane.exe", "new exe");
        Escribir(fuente / "datos" / "tabla.dat", "new table");
        FijarFecha(fuente / "Morvane.exe", 1000000000);
        fs::create_directories(dir_ / "inst");
        ASSERT_EQ(Ejecutar({"zip", "-qr", (dir_ / "inst" / "Morvane.zip").string(), "."}, fuente),
                  0);
        inst_ = dir_ / "inst";
    }
    int Kelunzip(std::vector<std::string> args) {
        args.insert(args.begin(), (kFuentes / "demo" / "Kelunzip").string());
        return Ejecutar(args, inst_);
    }
    fs::path inst_;
};

TEST_F(KelunzipTest, KeepsFoldersAndOverwritesWithDAndO) {
    Escribir(inst_ / "Morvane.exe", "old exe");
    ASSERT_EQ(Kelunzip({"-d", "-o", "Morvane.zip"}), 0);
    EXPECT_EQ(Leer(inst_ / "Morvane.exe"), "new exe");
    EXPECT_EQ(Leer(inst_ / "datos" / "tabla.dat"), "new table");
    EXPECT_FALSE(fs::exists(inst_ / "tabla.dat"));
    // Files keep the dates stored in the archive; the updater refreshes Morvane.exe itself.
    EXPECT_LE(std::abs(FechaDe(inst_ / "Morvane.exe") - 1000000000), 2);
}

TEST_F(KelunzipTest, WithoutOptionsJunksFoldersAndKeepsExistingFiles) {
    Escribir(inst_ / "Morvane.exe", "old exe");
    ASSERT_EQ(Kelunzip({"Morvane.zip"}), 0);
    EXPECT_EQ(Leer(inst_ / "Morvane.exe"), "old exe");
    EXPECT_EQ(Leer(inst_ / "tabla.dat"), "new table");
    EXPECT_FALSE(fs::exists(inst_ / "datos"));
}

TEST_F(KelunzipTest, FindsTheArchiveWhateverTheCaseOfItsName) {
    ASSERT_EQ(Kelunzip({"-d", "-o", "morvane.zip"}), 0);
    EXPECT_EQ(Leer(inst_ / "Morvane.exe"), "new exe");
}

TEST_F(KelunzipTest, FailsWithoutTouchingFilesOnBadInput) {
    Escribir(inst_ / "Morvane.exe", "old exe");
    EXPECT_NE(Kelunzip({"-d", "-o", "Otro.zip"}), 0);
    Escribir(inst_ / "roto.zip", "this is not a zip archive");
    EXPECT_NE(Kelunzip({"-d", "-o", "roto.zip"}), 0);
    EXPECT_NE(Kelunzip({"-d", "-o"}), 0);
    EXPECT_NE(Kelunzip({"-x", "Morvane.zip"}), 0);
    EXPECT_EQ(Leer(inst_ / "Morvane.exe"), "old exe");
    EXPECT_FALSE(fs::exists(inst_ / "datos"));
}

// ---- the Morvane.exe stand-in ---------------------------------------------------------

class ProductoTest : public CarpetaTemporal {};

TEST_F(ProductoTest, StandInRecordsEachStartBesideItself) {
    fs::path inst = dir_ / "con blanco";
    fs::create_directories(inst);
    fs::copy_file(kFuentes / "demo" / "Morvane.exe", inst / "Morvane.exe");
    std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::unsetenv("DISPLAY");  // no window: it only records
    int primero = Ejecutar({(inst / "Morvane.exe").string()}, dir_);
    int segundo = Ejecutar({(inst / "Morvane.exe").string()}, fs::path("/"));
    if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(primero, 0);
    EXPECT_EQ(segundo, 0);

    std::ifstream registro(inst / "morvane-iniciado.txt");
    std::vector<std::string> lineas;
    for (std::string l; std::getline(registro, l);) lineas.push_back(l);
    ASSERT_EQ(lineas.size(), 2u);
    for (const auto& l : lineas) EXPECT_EQ(l.rfind("Morvane started: version 1.0, ", 0), 0u) << l;
    EXPECT_FALSE(fs::exists(dir_ / "morvane-iniciado.txt"));
}

// ---- the globe icon ---------------------------------------------------------------------

const std::set<QRgb>& PaletaVga() {
    static const std::set<QRgb> paleta = {
        qRgb(0x00, 0x00, 0x00), qRgb(0x00, 0x00, 0xAA), qRgb(0x00, 0xAA, 0x00),
        qRgb(0x00, 0xAA, 0xAA), qRgb(0xAA, 0x00, 0x00), qRgb(0xAA, 0x00, 0xAA),
        qRgb(0xAA, 0x55, 0x00), qRgb(0xAA, 0xAA, 0xAA), qRgb(0x55, 0x55, 0x55),
        qRgb(0x55, 0x55, 0xFF), qRgb(0x55, 0xFF, 0x55), qRgb(0x55, 0xFF, 0xFF),
        qRgb(0xFF, 0x55, 0x55), qRgb(0xFF, 0x55, 0xFF), qRgb(0xFF, 0xFF, 0x55),
        qRgb(0xFF, 0xFF, 0xFF)};
    return paleta;
}

// A round, opaque disc on a transparent square, in VGA colours, with sea and land.
void ComprobarGlobo(const QImage& original, int lado) {
    ASSERT_FALSE(original.isNull());
    ASSERT_EQ(original.width(), lado);
    ASSERT_EQ(original.height(), lado);
    QImage img = original.convertToFormat(QImage::Format_ARGB32);
    for (QPoint esquina : {QPoint(0, 0), QPoint(lado - 1, 0), QPoint(0, lado - 1),
                           QPoint(lado - 1, lado - 1)})
        EXPECT_EQ(qAlpha(img.pixel(esquina)), 0) << esquina.x() << "," << esquina.y();
    int azul = 0, verde = 0;
    std::set<QRgb> colores;
    for (int y = 0; y < lado; ++y)
        for (int x = 0; x < lado; ++x) {
            QRgb p = img.pixel(x, y);
            double dx = x + 0.5 - lado / 2.0, dy = y + 0.5 - lado / 2.0;
            bool enDisco = dx * dx + dy * dy <= (lado / 2.0 - 1) * (lado / 2.0 - 1);
            if (enDisco) {
                EXPECT_EQ(qAlpha(p), 255) << x << "," << y;
            }
            if (qAlpha(p) == 0) continue;
            QRgb rgb = p | 0xFF000000u;
            colores.insert(rgb);
            EXPECT_TRUE(PaletaVga().count(rgb)) << std::hex << rgb;
            if (qBlue(rgb) > qGreen(rgb) && qBlue(rgb) > qRed(rgb)) ++azul;
            if (qGreen(rgb) > qBlue(rgb) && qGreen(rgb) > qRed(rgb)) ++verde;
        }
    EXPECT_LE(colores.size(), 16u);
    EXPECT_GT(azul, lado * lado / 6) << "too little sea";
    EXPECT_GT(verde, lado * lado / 12) << "too little land";
}

TEST(IconoTest, PngFilesAreGlobesIn16Colours) {
    ComprobarGlobo(QImage(QString::fromStdString((kFuentes / "updater/iconos/globo-48.png").string())), 48);
    ComprobarGlobo(QImage(QString::fromStdString((kFuentes / "updater/iconos/globo-32.png").string())), 32);
    ComprobarGlobo(QImage(QString::fromStdString((kFuentes / "updater/iconos/globo-16.png").string())), 16);
}

TEST(IconoTest, IcoHoldsBothSizesMatchingThePngs) {
    QImageReader lector(QString::fromStdString((kFuentes / "updater/iconos/globo.ico").string()));
    ASSERT_TRUE(lector.canRead()) << lector.errorString().toStdString();
    ASSERT_EQ(lector.imageCount(), 2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(lector.jumpToImage(i));
        QImage img = lector.read();
        ASSERT_FALSE(img.isNull()) << lector.errorString().toStdString();
        int lado = img.width();
        ASSERT_TRUE(lado == 32 || lado == 16) << lado;
        ComprobarGlobo(img, lado);
        QImage png(QString::fromStdString(
            (kFuentes / ("updater/iconos/globo-" + std::to_string(lado) + ".png")).string()));
        // Premultiplied, so every transparent pixel compares equal whatever its colour.
        EXPECT_EQ(img.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                  png.convertToFormat(QImage::Format_ARGB32_Premultiplied))
            << "the .ico and the PNG of " << lado << " px differ";
    }
}

// The scalable icon: well-formed, 48 units square, a disc of sea with the continents drawn
// in the PNGs' colours (no renderer is at hand to compare pixels).
TEST(IconoTest, SvgIsTheGlobeInTheSameColours) {
    QFile fichero(QString::fromStdString((kFuentes / "updater/iconos/globo.svg").string()));
    ASSERT_TRUE(fichero.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&fichero);
    std::set<QRgb> colores;
    int tierras = 0, discos = 0;
    bool raiz = true;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (raiz) {
            EXPECT_EQ(xml.name(), u"svg");
            EXPECT_EQ(a.value("viewBox"), u"0 0 48 48");
            EXPECT_EQ(a.value("width"), u"48");
            raiz = false;
        }
        for (const char* pintura : {"fill", "stroke"}) {
            const QString c = a.value(pintura).toString();
            if (c.startsWith('#')) colores.insert(QColor(c).rgb());
        }
        if (xml.name() == u"path" && a.value("d").count(' ') > 10) ++tierras;
        if (xml.name() == u"circle" && a.value("r").toDouble() == 24) ++discos;
    }
    ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_GE(tierras, 5);
    EXPECT_GE(discos, 1);
    EXPECT_EQ(colores, (std::set<QRgb>{qRgb(0x00, 0x00, 0xAA), qRgb(0x55, 0x55, 0xFF),
                                      qRgb(0x00, 0xAA, 0x00), qRgb(0x55, 0xFF, 0x55),
                                      qRgb(0x00, 0x00, 0x00)}));
}

}  // namespace

int main(int argc, char** argv) {
    prueba::LimpiarProxyDelEntorno();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    int r = RUN_ALL_TESTS();
    curl_global_cleanup();
    return r;
}
