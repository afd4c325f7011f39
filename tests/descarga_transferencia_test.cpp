// Body transfers against the loopback server: the archive, progress events, cancelling,
// broken bodies, files that cannot be written or replaced, invalid block sizes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <stdexcept>

#include "descarga_comun.h"
#include "servidor_http.h"

namespace {

using P = zkDownloadPrueba;
using prueba::Peticion;
using prueba::Respuesta;
using prueba::Trozo;
using std::chrono::milliseconds;

struct Evento {
    int32_t Totales, Recibidos;
    double Porcentaje;
    int32_t Transcurridos;
    double Restantes;
    int32_t PorSegundo;
};

std::string Cuerpo(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + (i * 7) % 53);
    return s;
}

class Transferencias : public ::testing::Test {
protected:
    prueba::Instalacion instalacion;
    prueba::VentanaGrabadora ventana;
    prueba::ServidorHttp servidor;
    zkDownload d;
    std::vector<Evento> eventos;

    void SetUp() override {
        d.URL("http://127.0.0.1/web/lurenet/Morvane.zip");
        d.Puerto(prueba::Puerto16(servidor.Puerto()));
        d.Progreso = [this](int32_t t, int32_t r, double p, int32_t s, double rest,
                            int32_t& bps, bool&) { eventos.push_back({t, r, p, s, rest, bps}); };
    }

    // A body sent in `piezas` pieces, each after a pause, so blocks arrive over time.
    void Servir(const std::string& cuerpo, int piezas, bool conLongitud = true,
                prueba::Final fin = prueba::Final::Cerrar, size_t anunciado = 0) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\n";
        if (conLongitud)
            r.Cabecera += "Content-Length: " +
                          std::to_string(anunciado ? anunciado : cuerpo.size()) + "\r\n";
        r.Cabecera += "\r\n";
        const size_t trozo = (cuerpo.size() + piezas - 1) / piezas;
        for (size_t i = 0; i < cuerpo.size(); i += trozo)
            r.Cuerpo.push_back({milliseconds(20), cuerpo.substr(i, trozo)});
        r.Fin = fin;
        servidor.Responder([r](const Peticion&) { return r; });
    }

    // A failed transfer leaves the old archive as it was and no temporary file.
    void ArchivoAnteriorIntacto() {
        EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "archivo anterior");
        EXPECT_TRUE(instalacion.Temporales().empty());
        EXPECT_FALSE(P::AlgunHandleAbierto(d));
    }
};

TEST_F(Transferencias, CuerpoConLongitudReemplazaElArchivo) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    const std::string cuerpo = Cuerpo(5000);
    Servir(cuerpo, 4);
    d.Fichero("/no/se/usa.zip");
    d.Descargar(1);

    ASSERT_FALSE(d.HuboError()) << d.StatusCode() << " " << d.StatusText();
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.StatusText(), "OK");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
    EXPECT_TRUE(instalacion.Temporales().empty());
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
    EXPECT_EQ(d.ContenidoDescargado(), "");

    // The last piece comes after a pause, so at least its block raises an event.
    ASSERT_FALSE(eventos.empty());
    EXPECT_EQ(eventos.back().Recibidos, 5000);
    int32_t anterior = 0;
    for (const Evento& e : eventos) {
        EXPECT_EQ(e.Totales, 5000);
        EXPECT_GT(e.Recibidos, anterior);
        EXPECT_DOUBLE_EQ(e.Porcentaje, e.Recibidos * 100.0 / 5000);
        EXPECT_GE(e.Restantes, 0.0);
        EXPECT_EQ(e.Restantes, std::nearbyint(e.Restantes));
        EXPECT_GT(e.PorSegundo, 0);
        anterior = e.Recibidos;
    }
    // One pass of window events after every block, with or without an event; at most
    // 512 bytes a block.
    EXPECT_GE(ventana.Eventos, static_cast<long>(eventos.size()));
    EXPECT_GE(ventana.Eventos, 10);
}

TEST_F(Transferencias, CuerpoSinLongitud) {
    const std::string cuerpo = Cuerpo(3000);
    Servir(cuerpo, 3, /*conLongitud=*/false);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
    ASSERT_FALSE(eventos.empty());
    EXPECT_EQ(eventos.back().Recibidos, 3000);
    for (const Evento& e : eventos) {
        EXPECT_EQ(e.Totales, -1);
        EXPECT_EQ(e.Porcentaje, 0.0);
        EXPECT_EQ(e.Restantes, 0.0);
    }
}

TEST_F(Transferencias, CuerpoVacioDejaUnArchivoVacio) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    servidor.Responder([](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 204 No Content\r\n\r\n";
        return r;
    });
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(d.StatusCode(), "204");
    EXPECT_TRUE(prueba::fs::exists(instalacion.Archivo()));
    EXPECT_EQ(prueba::fs::file_size(instalacion.Archivo()), 0u);
    EXPECT_TRUE(eventos.empty());
    EXPECT_TRUE(instalacion.Temporales().empty());
}

TEST_F(Transferencias, CuerpoMayorQueElBufferDeEscritura) {
    // Several flushes of the write buffer, blocks that straddle its end, and a block size
    // larger than the buffer itself.
    const std::string cuerpo = Cuerpo(300 * 1024 + 77);
    servidor.Responder(
        [&](const Peticion&) { return Respuesta::Simple("200 OK", cuerpo); });
    d.BytesBloqueDescarga(1000);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_TRUE(prueba::Leer(instalacion.Archivo()) == cuerpo);
    // Blocks read in the very millisecond the transfer started have an infinite rate:
    // they raise no event, so every event carries a real rate.
    for (const Evento& e : eventos) EXPECT_GT(e.PorSegundo, 0);
    EXPECT_GE(ventana.Eventos, static_cast<long>(eventos.size()));

    d.BytesBloqueDescarga(100000);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_TRUE(prueba::Leer(instalacion.Archivo()) == cuerpo);
}

TEST_F(Transferencias, CuerpoGrandeLlegaIntacto) {
    constexpr uint64_t kTam = 20 * 1024 * 1024 + 333;
    servidor.Responder([](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTam) + "\r\n\r\n";
        r.BytesGenerados = kTam;
        return r;
    });
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    const std::string archivo = prueba::Leer(instalacion.Archivo());
    ASSERT_EQ(archivo.size(), kTam);
    uint64_t distintos = 0;
    for (uint64_t i = 0; i < kTam; ++i) distintos += archivo[i] != prueba::Patron(i);
    EXPECT_EQ(distintos, 0u);
    ASSERT_FALSE(eventos.empty());
    EXPECT_EQ(eventos.back().Recibidos, static_cast<int32_t>(kTam));
}

TEST_F(Transferencias, CancelarDejaElArchivoAnterior) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    Servir(Cuerpo(20000), 20);
    int llamadas = 0;
    int despuesDeCancelar = 0;
    bool cancelado = false;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t&, bool& Cancelar) {
        if (cancelado) ++despuesDeCancelar;
        if (++llamadas == 2) {
            Cancelar = true;
            cancelado = true;
        }
    };
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "998");
    EXPECT_EQ(d.StatusText(), "Descarga cancelada por el usuario.");
    EXPECT_EQ(llamadas, 2);
    EXPECT_EQ(despuesDeCancelar, 0);  // stopped before the next read
    ArchivoAnteriorIntacto();
}

TEST_F(Transferencias, CuerpoCortadoReiniciadoOColgadoEsError999) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    prueba::TiemposCortos tiempos(milliseconds(2000), milliseconds(300));
    struct Caso {
        const char* nombre;
        prueba::Final fin;
    };
    for (const Caso& c : {Caso{"cerrado antes de tiempo", prueba::Final::Cerrar},
                          Caso{"reiniciado", prueba::Final::Reiniciar},
                          Caso{"colgado", prueba::Final::Colgar}}) {
        eventos.clear();
        Servir(Cuerpo(3000), 2, true, c.fin, /*anunciado=*/10000);
        d.Descargar(1);
        EXPECT_TRUE(d.HuboError()) << c.nombre;
        EXPECT_EQ(d.StatusCode(), "999") << c.nombre;
        EXPECT_EQ(d.StatusText(), "Ha ocurrido un error durante la descarga.") << c.nombre;
        ArchivoAnteriorIntacto();
    }
}

TEST_F(Transferencias, TamanoDeBloqueNoPositivoNoTransfiereNada) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    Servir(Cuerpo(2000), 1);
    for (int32_t bloque : {0, -1, INT32_MIN}) {
        d.BytesBloqueDescarga(bloque);
        d.Descargar(1);
        EXPECT_TRUE(d.HuboError()) << bloque;
        EXPECT_EQ(d.StatusCode(), "007") << bloque;
        EXPECT_EQ(d.StatusText(), "Error en InternetReadFile.") << bloque;
        ArchivoAnteriorIntacto();
    }
    EXPECT_TRUE(eventos.empty());
    EXPECT_EQ(ventana.Eventos, 0);

    // Information only does not use the block size.
    d.Descargar(0);
    EXPECT_FALSE(d.HuboError());
}

TEST_F(Transferencias, CarpetaDeInstalacionInservible) {
    Servir(Cuerpo(2000), 1);
    // The install directory does not exist.
    sistema::EstablecerApp_Path(instalacion.En("no existe"));
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "008");
    EXPECT_EQ(d.StatusText(), "No se ha podido crear el fichero de destino.");
    EXPECT_FALSE(prueba::fs::exists(instalacion.En("no existe")));
    EXPECT_FALSE(P::AlgunHandleAbierto(d));

    // The install "directory" is a regular file.
    prueba::Escribir(instalacion.En("fichero"), "x");
    sistema::EstablecerApp_Path(instalacion.En("fichero"));
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "008");
    EXPECT_EQ(prueba::Leer(instalacion.En("fichero")), "x");
    EXPECT_TRUE(instalacion.Temporales().empty());
    EXPECT_TRUE(eventos.empty());
}

// A file size limit for one scope, with SIGXFSZ ignored so writes fail with EFBIG.
class LimiteDeTamano {
public:
    explicit LimiteDeTamano(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &anterior_);
        senal_ = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit nuevo = anterior_;
        nuevo.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &nuevo);
    }
    ~LimiteDeTamano() {
        ::setrlimit(RLIMIT_FSIZE, &anterior_);
        std::signal(SIGXFSZ, senal_);
    }

private:
    struct rlimit anterior_ {};
    void (*senal_)(int) = SIG_DFL;
};

TEST_F(Transferencias, EscrituraQueFallaEsError8) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    // Both a limit inside the write buffer's first flush and one after several flushes.
    for (rlim_t limite : {rlim_t{1000}, rlim_t{150 * 1024}}) {
        const std::string cuerpo = Cuerpo(400 * 1024);
        servidor.Responder(
            [&](const Peticion&) { return Respuesta::Simple("200 OK", cuerpo); });
        {
            LimiteDeTamano limiteDeTamano(limite);
            d.Descargar(1);
        }
        EXPECT_TRUE(d.HuboError()) << limite;
        EXPECT_EQ(d.StatusCode(), "008") << limite;
        EXPECT_EQ(d.StatusText(), "No se ha podido crear el fichero de destino.");
        ArchivoAnteriorIntacto();
    }
}

TEST_F(Transferencias, ReemplazoImposibleEsError8) {
    // The destination is a directory that holds a file: it cannot be renamed over.
    prueba::fs::create_directory(instalacion.Archivo());
    prueba::Escribir(instalacion.Archivo() + "/dentro", "dentro");
    Servir(Cuerpo(2000), 1);
    d.Descargar(1);
    EXPECT_TRUE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "008");
    EXPECT_TRUE(prueba::fs::is_directory(instalacion.Archivo()));
    EXPECT_EQ(prueba::Leer(instalacion.Archivo() + "/dentro"), "dentro");
    EXPECT_TRUE(instalacion.Temporales().empty());
    EXPECT_FALSE(P::AlgunHandleAbierto(d));
}

TEST_F(Transferencias, ElReceptorNoCambiaLaTasaNiElBloqueEnCurso) {
    const std::string cuerpo = Cuerpo(8192);
    // The whole body at once after a pause: reads are limited by the block size only.
    servidor.Responder([&](const Peticion&) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\nContent-Length: 8192\r\n\r\n";
        r.Cuerpo = {{milliseconds(30), cuerpo}};
        return r;
    });
    std::vector<int32_t> tasas;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t& BytesPorSegundo,
                     bool&) {
        tasas.push_back(BytesPorSegundo);
        BytesPorSegundo = -12345;
        d.BytesBloqueDescarga(1);
    };
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
    EXPECT_EQ(d.BytesBloqueDescarga(), 1);
    // Still blocks of up to 512 bytes: at least 16 of them, not thousands.
    EXPECT_GE(ventana.Eventos, 16);
    EXPECT_LT(ventana.Eventos, 200);
    ASSERT_GE(tasas.size(), 2u);
    for (int32_t t : tasas) EXPECT_GT(t, 0);
}

TEST_F(Transferencias, ReceptorQueLanzaNoInterrumpe) {
    const std::string cuerpo = Cuerpo(4000);
    Servir(cuerpo, 2);
    int llamadas = 0;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
        ++llamadas;
        throw std::runtime_error("fallo del receptor");
    };
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_GE(llamadas, 1);
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
}

TEST_F(Transferencias, SinReceptorNiVentana) {
    const std::string cuerpo = Cuerpo(3000);
    Servir(cuerpo, 2);
    d.Progreso = nullptr;
    sistema::RegistrarVentana(nullptr);
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
}

TEST_F(Transferencias, ErrorTrasExitoYExitoTrasError) {
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    Servir(Cuerpo(3000), 1, true, prueba::Final::Cerrar, 5000);
    d.Descargar(1);
    ASSERT_EQ(d.StatusCode(), "999");
    ArchivoAnteriorIntacto();

    const std::string cuerpo = Cuerpo(1234);
    Servir(cuerpo, 1);
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError());
    EXPECT_EQ(d.StatusCode(), "200");
    EXPECT_EQ(d.StatusText(), "OK");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
}

}  // namespace
