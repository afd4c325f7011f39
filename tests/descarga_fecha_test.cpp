// The update-date check: the server's Last-Modified day against the local Morvane.exe,
// with the verdict drawn into a recording window.
#include <gtest/gtest.h>

#include "descarga_comun.h"
#include "servidor_http.h"

namespace {

using prueba::Peticion;
using prueba::Respuesta;

constexpr const char* kCabecera = "Sun, 06 Nov 1994 08:49:37 GMT";
const std::string kHay = "0|Existe una actualización";
const std::string kNoHay = "0|No existen actualizaciones";

class ComprobacionDeFecha : public ::testing::Test {
protected:
    prueba::Instalacion instalacion;
    prueba::VentanaGrabadora ventana;
    prueba::ServidorHttp servidor;
    zkDownload d;

    void SetUp() override {
        d.URL("http://127.0.0.1/web/lurenet/Morvane.zip");
        d.Puerto(prueba::Puerto16(servidor.Puerto()));
        d.QLastModified(true);
    }

    void Servir(const std::string& ultimaModificacion) {
        servidor.Responder([ultimaModificacion](const Peticion&) {
            std::vector<std::string> cabeceras;
            if (!ultimaModificacion.empty())
                cabeceras.push_back("Last-Modified: " + ultimaModificacion);
            return Respuesta::Simple("200 OK", "zip", cabeceras);
        });
    }

    void Ejecutable(int anio, int mes, int dia, int hora, int minuto) {
        prueba::Escribir(instalacion.En("Morvane.exe"), "exe");
        prueba::FijarFechaLocal(instalacion.En("Morvane.exe"), anio, mes, dia, hora, minuto);
    }

    // The check reports through the window only, never through the status.
    void EstadoIntacto() {
        EXPECT_FALSE(d.HuboError());
        EXPECT_EQ(d.StatusCode(), "200");
        EXPECT_EQ(d.StatusText(), "OK");
    }
};

TEST_F(ComprobacionDeFecha, ServidorMasNuevoHabilitaLaDescarga) {
    Servir(kCabecera);
    Ejecutable(1994, 11, 5, 23, 59);
    d.Descargar();
    EstadoIntacto();
    EXPECT_EQ(d.QLastModifiedStr(), kCabecera);
    EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(1994, 11, 5));
    EXPECT_EQ(d.FechaInternet, sistema::Fecha::Crear(1994, 11, 6));
    EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kHay});
    EXPECT_EQ(ventana.Habilitaciones, std::vector<bool>{true});
}

TEST_F(ComprobacionDeFecha, MismoDiaUOtroAnteriorNoEsActualizacion) {
    Servir(kCabecera);
    struct Caso {
        int anio, mes, dia, hora, minuto;
    };
    // Same calendar day whatever the hours (no time-zone conversion), and a newer file.
    for (const Caso& c : {Caso{1994, 11, 6, 8, 0}, Caso{1994, 11, 6, 23, 0},
                          Caso{1994, 11, 6, 0, 0}, Caso{1994, 11, 7, 0, 1},
                          Caso{2020, 1, 1, 12, 0}}) {
        ventana.Dibujos.clear();
        Ejecutable(c.anio, c.mes, c.dia, c.hora, c.minuto);
        d.Descargar();
        EstadoIntacto();
        EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(c.anio, c.mes, c.dia));
        EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kNoHay}) << c.dia << " " << c.hora;
    }
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(ComprobacionDeFecha, SinEjecutableHayActualizacion) {
    Servir(kCabecera);
    d.Descargar();
    EstadoIntacto();
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});
    EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kHay});
    EXPECT_EQ(ventana.Habilitaciones, std::vector<bool>{true});
}

TEST_F(ComprobacionDeFecha, FechaIlegibleNoDibujaVeredicto) {
    Ejecutable(1990, 1, 1, 12, 0);
    for (const std::string cabecera :
         {"Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 NOV 1994 08:49:37 GMT",
          "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994", "ayer"}) {
        Servir(cabecera);
        d.Descargar();
        EstadoIntacto();
        EXPECT_EQ(d.QLastModifiedStr(), cabecera);
        EXPECT_EQ(d.FechaInternet, sistema::Fecha{}) << cabecera;
    }
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(ComprobacionDeFecha, SinCabeceraOSinInterruptorNoHayComprobacion) {
    Ejecutable(1990, 1, 1, 12, 0);
    Servir("");
    d.Descargar();
    EstadoIntacto();
    EXPECT_EQ(d.QLastModifiedStr(), "");
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});  // the executable is not even looked at

    Servir(kCabecera);
    d.QLastModified(false);
    d.Descargar();
    EstadoIntacto();
    EXPECT_EQ(d.QLastModifiedStr(), "");
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});
    EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(ComprobacionDeFecha, LasFechasSeConservanEntreLlamadas) {
    Servir(kCabecera);
    Ejecutable(1994, 11, 5, 12, 0);
    d.Descargar();
    ASSERT_EQ(ventana.Dibujos, std::vector<std::string>{kHay});

    // Executable gone and an unreadable header: both days keep their values.
    std::filesystem::remove(instalacion.En("Morvane.exe"));
    Servir("Sun, 6 Nov 1994 08:49:37 GMT");
    d.Descargar();
    EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(1994, 11, 5));
    EXPECT_EQ(d.FechaInternet, sistema::Fecha::Crear(1994, 11, 6));
    EXPECT_EQ(ventana.Dibujos.size(), 1u);

    // Executable still gone, a readable header: the kept disk day decides.
    Servir("Sat, 05 Nov 1994 08:49:37 GMT");
    d.Descargar();
    EXPECT_EQ(ventana.Dibujos.back(), kNoHay);
}

TEST_F(ComprobacionDeFecha, TambienAntesDeUnaDescarga) {
    Servir(kCabecera);
    Ejecutable(1994, 11, 5, 12, 0);
    d.Descargar(1);
    EstadoIntacto();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "zip");
    EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kHay});
}

}  // namespace
