// The update-date check: the server's Last-Modified day against the local Morvane.exe,
// with the verdict drawn into a recording window.
#include <gtest/gtest.h>

#include "descarga_comun.h"

namespace {

using prueba::Respuesta;

constexpr const char* kCabecera = "Sun, 06 Nov 1994 08:49:37 GMT";
const std::string kHay = "0|Existe una actualización";
const std::string kNoHay = "0|No existen actualizaciones";

class ComprobacionDeFecha : public prueba::DescargaConServidor {
protected:
    void SetUp() override {
        DescargaConServidor::SetUp();
        d.QLastModified(true);
    }

    // One check: the header (none when empty) and the executable's local time (none when
    // anio is 0). The check reports through the window only, never through the status.
    void Comprobar(const std::string& cabecera, int anio, int mes = 1, int dia = 1,
                   int hora = 0, int32_t tipoAccion = 0) {
        std::vector<std::string> cabeceras;
        if (!cabecera.empty()) cabeceras.push_back("Last-Modified: " + cabecera);
        Servir(Respuesta::Simple("200 OK", "zip", cabeceras));
        const std::string exe = instalacion.En("Morvane.exe");
        std::filesystem::remove(exe);
        if (anio) {
            prueba::Escribir(exe, "exe");
            prueba::FijarFecha(exe, prueba::HoraLocal(anio, mes, dia, hora));
        }
        d.Descargar(tipoAccion);
        EXPECT_FALSE(d.HuboError());
        EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "200 OK");
        EXPECT_EQ(d.QLastModifiedStr(), d.QLastModified() ? cabecera : "");
    }
};

TEST_F(ComprobacionDeFecha, ServidorMasNuevoOSinEjecutableHabilitaLaDescarga) {
    Comprobar(kCabecera, 1994, 11, 5, 23);
    EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(1994, 11, 5));
    EXPECT_EQ(d.FechaInternet, sistema::Fecha::Crear(1994, 11, 6));
    EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kHay});
    EXPECT_EQ(ventana.Habilitaciones, std::vector<bool>{true});

    d.FechaDisco = {};  // as on a fresh instance: no executable counts as the oldest
    Comprobar(kCabecera, 0, 0, 0, 0, /*tipoAccion=*/1);  // also before a transfer
    EXPECT_EQ(d.FechaDisco, sistema::Fecha{});
    EXPECT_EQ(ventana.Dibujos, (std::vector<std::string>{kHay, kHay}));
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "zip");
}

TEST_F(ComprobacionDeFecha, MismoDiaOEjecutableMasNuevoNoEsActualizacion) {
    // Calendar days only, whatever the hours and without any time-zone conversion.
    struct Caso {
        int anio, mes, dia, hora;
    };
    for (const Caso& c : {Caso{1994, 11, 6, 0}, Caso{1994, 11, 6, 8}, Caso{1994, 11, 6, 23},
                          Caso{1994, 11, 7, 0}, Caso{2020, 1, 1, 12}}) {
        ventana.Dibujos.clear();
        Comprobar(kCabecera, c.anio, c.mes, c.dia, c.hora);
        EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(c.anio, c.mes, c.dia));
        EXPECT_EQ(ventana.Dibujos, std::vector<std::string>{kNoHay}) << c.dia << " " << c.hora;
    }
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(ComprobacionDeFecha, SinFechaLegibleNoHayVeredicto) {
    for (const std::string cabecera :
         {"Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 NOV 1994 08:49:37 GMT",
          "Sunday, 06-Nov-94 08:49:37 GMT", "ayer"}) {
        Comprobar(cabecera, 1990);
        EXPECT_EQ(d.FechaInternet, sistema::Fecha{}) << cabecera;
    }
    // No header, or the switch off: no check at all.
    Comprobar("", 1990);
    d.QLastModified(false);
    Comprobar(kCabecera, 1990);
    EXPECT_EQ(d.FechaInternet, sistema::Fecha{});
    EXPECT_TRUE(ventana.Dibujos.empty());
    EXPECT_TRUE(ventana.Habilitaciones.empty());
}

TEST_F(ComprobacionDeFecha, LasFechasSeConservanEntreLlamadas) {
    Comprobar(kCabecera, 1994, 11, 5, 12);
    // Executable gone and an unreadable header: both days keep their values.
    Comprobar("Sun, 6 Nov 1994 08:49:37 GMT", 0);
    EXPECT_EQ(d.FechaDisco, sistema::Fecha::Crear(1994, 11, 5));
    EXPECT_EQ(d.FechaInternet, sistema::Fecha::Crear(1994, 11, 6));
    // Executable still gone, a readable header: the kept disk day decides.
    Comprobar("Sat, 05 Nov 1994 08:49:37 GMT", 0);
    EXPECT_EQ(ventana.Dibujos, (std::vector<std::string>{kHay, kNoHay}));
}

}  // namespace
