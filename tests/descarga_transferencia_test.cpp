// Body transfers against the loopback server: the archive, progress events, cancelling,
// broken bodies, files that cannot be written or replaced, invalid block sizes.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <stdexcept>
#include <thread>

#include "descarga_comun.h"
#include "internet.h"

namespace {


using prueba::Respuesta;
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

class Transferencias : public prueba::DescargaConServidor {
protected:
    std::vector<Evento> eventos;

    void SetUp() override {
        DescargaConServidor::SetUp();
        d.Progreso = [this](int32_t t, int32_t r, double p, int32_t s, double rest,
                            int32_t& bps, bool&) { eventos.push_back({t, r, p, s, rest, bps}); };
        prueba::Escribir(instalacion.Archivo(), "archivo anterior");
        d.Opciones.EsperaEntreIntentos = milliseconds(1);
    }
    void TearDown() override {
        if (activador.joinable()) activador.join();
    }
    // Activates the cancel token a moment from now, from another thread, as a Cancelar
    // click or a signal would while the transfer waits.
    void ActivarEnUnMomento() {
        if (activador.joinable()) return;
        activador = std::thread([this] {
            std::this_thread::sleep_for(milliseconds(100));
            cancelacion.Activar();
        });
    }
    std::thread activador;

    using DescargaConServidor::Servir;
    // The body in `piezas` pieces, each after a pause, so that blocks arrive over time;
    // `anunciado` > size announces more than is sent.
    void Servir(const std::string& cuerpo, size_t piezas, bool conLongitud = true,
                prueba::Final fin = prueba::Final::Cerrar, size_t anunciado = 0) {
        Respuesta r;
        r.Cabecera = "HTTP/1.1 200 OK\r\n";
        if (conLongitud)
            r.Cabecera += "Content-Length: " + std::to_string(std::max(anunciado, cuerpo.size())) +
                          "\r\n";
        r.Cabecera += "\r\n";
        const size_t trozo = (cuerpo.size() + piezas - 1) / piezas;
        for (size_t i = 0; i < cuerpo.size(); i += trozo)
            r.Cuerpo.push_back({milliseconds(20), cuerpo.substr(i, trozo)});
        r.Fin = fin;
        Servir(r);
    }

    // A failed transfer leaves the old archive as it was and no temporary file.
    void Fallo(const std::string& codigo, const std::string& texto) {
        EXPECT_TRUE(d.HuboError());
        EXPECT_EQ(d.StatusCode(), codigo);
        EXPECT_EQ(d.StatusText(), texto);
        EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "archivo anterior");
        EXPECT_TRUE(instalacion.Temporales().empty());
        EXPECT_EQ(internet::HandlesAbiertos(), 0u);
        if (codigo == "998") {
            EXPECT_EQ(d.Causa(), std::errc::operation_canceled);
        }
    }
    // `conEventos`: the body came in pieces after pauses, so its last block raised one.
    void Exito(const std::string& cuerpo, bool conEventos = true) {
        EXPECT_FALSE(d.HuboError()) << d.StatusCode() << " " << d.StatusText();
        EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "200 OK");
        EXPECT_TRUE(prueba::Leer(instalacion.Archivo()) == cuerpo);
        EXPECT_TRUE(instalacion.Temporales().empty());
        EXPECT_EQ(internet::HandlesAbiertos(), 0u);
        EXPECT_FALSE(d.Causa()) << d.Causa().message();
        if (conEventos) {
            ASSERT_FALSE(eventos.empty());
            EXPECT_EQ(eventos.back().Recibidos, static_cast<int32_t>(cuerpo.size()));
        }
    }
};

TEST_F(Transferencias, ConYSinLongitud) {
    const std::string cuerpo = Cuerpo(5000);
    Servir(cuerpo, 4);
    d.Fichero("/no/se/usa.zip");
    // A clock that moves at every look: every block raises its event.
    uint32_t reloj = 0;
    d.Opciones.Reloj = [&reloj] { return reloj += 7; };
    d.Descargar(1);
    Exito(cuerpo);
    EXPECT_GE(eventos.size(), 10u);  // blocks of at most 512 bytes
    d.Opciones.Reloj = nullptr;
    int32_t anterior = 0;
    for (const Evento& e : eventos) {
        EXPECT_EQ(e.Totales, 5000);
        EXPECT_GT(e.Recibidos, anterior);
        EXPECT_DOUBLE_EQ(e.Porcentaje, e.Recibidos * 100.0 / 5000);
        EXPECT_EQ(e.Restantes, std::nearbyint(e.Restantes));
        EXPECT_GE(e.Restantes, 0.0);
        EXPECT_GT(e.PorSegundo, 0);
        anterior = e.Recibidos;
    }

    eventos.clear();
    Servir(cuerpo, 3, /*conLongitud=*/false);
    d.Descargar(1);
    Exito(cuerpo);
    for (const Evento& e : eventos)
        EXPECT_TRUE(e.Totales == -1 && e.Porcentaje == 0 && e.Restantes == 0);
}

// The caller's body check: a body one byte past its limit, or one it does not accept, never
// takes the archive's name; each download starts with the refusal cleared.
TEST_F(Transferencias, ElLimiteYLaAceptacionDelLlamante) {
    const std::string cuerpo = Cuerpo(5000);
    struct Caso {
        int64_t limite;
        bool acepta, rechazado;
    } casos[] = {{5000, true, false}, {4999, true, true}, {-1, false, true}, {-1, true, false}};
    for (const Caso& c : casos) {
        SCOPED_TRACE(testing::Message() << c.limite << " " << c.acepta);
        Servir(cuerpo, 4);
        d.VerificarCuerpo.Limite = c.limite;
        d.VerificarCuerpo.Aceptar = [&c] { return c.acepta; };
        d.Descargar(1);
        EXPECT_EQ(d.VerificarCuerpo.Rechazado, c.rechazado);
        if (c.rechazado)
            Fallo("999", "Ha ocurrido un error durante la descarga.");
        else
            EXPECT_EQ(prueba::Leer(instalacion.Archivo()), cuerpo);
        prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    }
}

TEST_F(Transferencias, CuerpoVacioDejaUnArchivoVacio) {
    Respuesta r;
    r.Cabecera = "HTTP/1.1 204 No Content\r\n\r\n";
    Servir(r);
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError()) << d.StatusCode();
    EXPECT_EQ(prueba::Leer(instalacion.Archivo()), "");
    EXPECT_TRUE(eventos.empty());
}

TEST_F(Transferencias, CuerposGrandesLleganIntactos) {
    // Several flushes of the write buffer, blocks straddling its end, blocks larger than it.
    const std::string cuerpo = Cuerpo(300 * 1024 + 77);
    Servir(Respuesta::Simple("200 OK", cuerpo));
    for (int32_t bloque : {1000, 100000}) {
        d.BytesBloqueDescarga(bloque);
        d.Descargar(1);
        Exito(cuerpo, /*conEventos=*/false);
    }
    // Blocks read in the very millisecond the transfer started have an infinite rate and
    // raise no event, so every event carries a real rate.
    for (const Evento& e : eventos) EXPECT_GT(e.PorSegundo, 0);

    constexpr uint64_t kTam = 20 * 1024 * 1024 + 333;
    Respuesta generada;
    generada.Cabecera = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTam) + "\r\n\r\n";
    generada.BytesGenerados = kTam;
    Servir(generada);
    d.BytesBloqueDescarga(512);
    d.Descargar(1);
    ASSERT_FALSE(d.HuboError()) << d.StatusCode();
    const std::string archivo = prueba::Leer(instalacion.Archivo());
    ASSERT_EQ(archivo.size(), kTam);
    uint64_t distintos = 0;
    for (uint64_t i = 0; i < kTam; ++i) distintos += archivo[i] != prueba::Patron(i);
    EXPECT_EQ(distintos, 0u);
}

TEST_F(Transferencias, CancelarDejaElArchivoAnterior) {
    Servir(Cuerpo(20000), 20);
    int llamadas = 0;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t&, bool& Cancelar) {
        Cancelar = ++llamadas >= 2;
    };
    d.Descargar(1);
    EXPECT_EQ(llamadas, 2);  // stopped before the next read
    Fallo("998", "Descarga cancelada por el usuario.");
}

// Answers that are not the archive: a body cut short, reset or stalled (999) and final
// answers other than 2xx (their own code). None of them touches the old archive. A silent
// server or a stalled body: the cancel token ends the wait as a cancel at once, however
// long the time-outs; without it the wait lasts until the time-out, reported as a failure.
TEST_F(Transferencias, RespuestasQueNoSonElArchivoLoDejanComoEstaba) {
    d.Opciones.EsperaConexion = milliseconds(2000);
    d.Opciones.EsperaInactividad = milliseconds(300);
    const std::string k999 = "Ha ocurrido un error durante la descarga.";
    const std::string k998 = "Descarga cancelada por el usuario.";
    const std::string largo = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n";
    const std::string trozosConResumen =
        "\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX-Resumen: 1\r\n\r\n";
    enum Espera { Aguanta, Abandona, SinTestigo };
    struct Caso {
        const char* nombre;
        Respuesta r;
        std::string codigo, texto;
        Espera espera = Aguanta;
    };
    const std::vector<prueba::Trozo> parte{{milliseconds(20), Cuerpo(3000)}};
    using prueba::Final;
    const Respuesta detenido = Respuesta::Cruda(largo, parte, Final::Colgar);
    const Respuesta mudo = Respuesta::Cruda("", {}, Final::Colgar);
    const std::vector<Caso> casos{
        {"closed before the length", Respuesta::Cruda(largo, parte), "999", k999},
        {"reset before the length", Respuesta::Cruda(largo, parte, Final::Reiniciar), "999", k999},
        {"stalled", detenido, "999", k999},
        {"stalled, given up", detenido, "998", k998, Abandona},
        {"silent, given up", mudo, "998", k998, Abandona},
        {"stalled, no token", detenido, "999", k999, SinTestigo},
        {"silent, no token", mudo, "005", "Error en InternetSendRequest.", SinTestigo},
        {"1e3 is a thousand: five bytes are a cut body",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 1e3\r\n\r\n",
                          {{milliseconds(0), "hello"}}),
         "999", k999},
        {"304 is final",
         Respuesta::Cruda("HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n"), "304",
         "Not Modified"},
        {"300 without Location is final", Respuesta::Simple("300 Elige", "<a href=x>x</a>"),
         "300", "Elige"},
        {"302 with an empty Location is final",
         Respuesta::Simple("302 Found", "<html>indice</html>", {"Location: "}), "302", "Found"},
        {"a length above 32 bits and five bytes",
         Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: 3000000000\r\n\r\n",
                          {{milliseconds(0), "hello"}}),
         "999", k999},
        {"302 without Location, with a trailer",
         Respuesta::Cruda("HTTP/1.1 302 Found" + trozosConResumen), "302", "Found"},
        {"401 with a trailer", Respuesta::Cruda("HTTP/1.1 401 Unauthorized" + trozosConResumen),
         "401", "Unauthorized"},
        {"407 with a trailer",
         Respuesta::Cruda("HTTP/1.1 407 Proxy Authentication Required" + trozosConResumen), "407",
         "Proxy Authentication Required"},
    };
    const auto registrar = d.Progreso;
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        d.Opciones.Cancelacion = c.espera == SinTestigo ? nullptr : &cancelacion;
        if (c.espera == Abandona) {
            // Time-outs far beyond ctest's: only the token can end these waits.
            d.Opciones.EsperaConexion = d.Opciones.EsperaInactividad = std::chrono::hours(1);
            d.Opciones.SueloVelocidad = std::chrono::hours(1);
            const Respuesta r = c.r;
            // The head's wait: the token comes once the request is in; the body's: once
            // the first part of it has been read.
            servidor.Responder([this, r](const prueba::Peticion&) {
                if (r.Cabecera.empty()) cancelacion.Activar();
                return r;
            });
            d.Progreso = [this](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
                ActivarEnUnMomento();
            };
        } else {
            Servir(c.r);
        }
        d.Descargar(1);
        d.Progreso = registrar;
        if (activador.joinable()) activador.join();
        cancelacion.Reiniciar();
        d.Opciones.EsperaConexion = milliseconds(2000);
        d.Opciones.EsperaInactividad = milliseconds(300);
        d.Opciones.SueloVelocidad = milliseconds(60000);
        Fallo(c.codigo, c.texto);
        // The network's own reason comes with the network's failures only.
        const bool deLaRed = c.codigo == "999" || c.codigo == "005";
        EXPECT_EQ(d.MotivoRed().empty(), !deLaRed) << d.MotivoRed();
    }
    // A later good transfer leaves nothing of the failures.
    const std::string cuerpo = Cuerpo(1234);
    Servir(cuerpo, 1);
    d.Descargar(1);
    Exito(cuerpo);
}

// A body that breaks off is asked for again: the rest when the server honours Range with
// If-Range, else all of it; anything that is not the same archive ends the download.
TEST_F(Transferencias, UnCuerpoRotoSePideDeNuevo) {
    const std::string a = Cuerpo(3000), b = std::string(3000, 'b');
    auto entero = [](const std::string& c, size_t hasta, std::string etiqueta = "\"v1\"") {
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(c.size()) +
                                    "\r\nETag: " + etiqueta + "\r\n\r\n",
                                {{milliseconds(0), c.substr(0, hasta)}});
    };
    // The rest of `c` from `desde`, cut at `hasta`.
    auto parteDe = [](const std::string& c, size_t desde, size_t hasta) {
        const std::string n = std::to_string(c.size());
        return Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                                    std::to_string(desde) + "-" + std::to_string(c.size() - 1) +
                                    "/" + n + "\r\nContent-Length: " +
                                    std::to_string(c.size() - desde) + "\r\n\r\n",
                                {{milliseconds(0), c.substr(desde, hasta - desde)}});
    };
    auto parte = [&](size_t desde, size_t hasta) { return parteDe(a, desde, hasta); };
    // Progress is counted in steps of 64 KiB: a larger archive, cut 64 KiB apart.
    const std::string g = Cuerpo(200000);
    const size_t k1 = 1000, k2 = k1 + 64 * 1024;
    // A server that answers each attempt with one byte more.
    std::vector<Respuesta> rebanadas{entero(g, k1)};
    for (size_t i = k1; i < k1 + 20; ++i) rebanadas.push_back(parteDe(g, i, i + 1));
    // A first answer without a length: chunked, 1000 bytes, then the connection closes.
    const Respuesta troceada = Respuesta::Cruda(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nETag: \"v1\"\r\n\r\n",
        {{milliseconds(0), "3e8\r\n" + a.substr(0, 1000) + "\r\n"}});
    const std::string k999 = "Ha ocurrido un error durante la descarga.";
    struct Caso {
        const char* nombre;
        std::vector<Respuesta> respuestas;  // one per request, the last one repeated
        std::string codigo, archivo;        // archivo: the result on success
        size_t peticiones;
    };
    const std::vector<Caso> casos{
        {"honours Range, breaks twice", {entero(a, 1000), parte(1000, 2000), parte(2000, 3000)},
         "200", a, 3},
        {"ignores Range", {entero(a, 1000), entero(a, 3000)}, "200", a, 2},
        // The bound is on attempts in a row without progress, not on attempts in all.
        {"three empty answers, progress, three more",
         {entero(g, k1), parteDe(g, k1, k1), parteDe(g, k1, k1), parteDe(g, k1, k1),
          parteDe(g, k1, k2), parteDe(g, k2, k2), parteDe(g, k2, k2), parteDe(g, k2, k2),
          parteDe(g, k2, g.size())},
         "200", g, 9},
        // An attempt that brings less than 64 KiB is no progress: one byte each ends
        // after the five attempts.
        {"206 slices of one byte", rebanadas, "999", "", 6},
        {"ignores Range, always breaks at the same point", {entero(a, 1000)}, "999", "", 6},
        {"the archive changed", {entero(a, 1000), entero(b, 3000)}, "200", b, 2},
        {"the archive changed its length", {entero(a, 1000), entero(b.substr(0, 2000), 2000)},
         "200", b.substr(0, 2000), 2},
        {"416", {entero(a, 1000), Respuesta::Simple("416 Range Not Satisfiable", "")}, "416", "",
         2},
        {"206 for another range", {entero(a, 1000), parte(0, 3000)}, "999", "", 2},
        // The rest of some other archive, or more than the range holds, is not this one.
        {"206 for another archive's length",
         {entero(a, 1000),
          Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                           "1000-1999/2000\r\nContent-Length: 1000\r\n\r\n",
                           {{milliseconds(0), a.substr(1000, 1000)}})},
         "999", "", 2},
        {"206 longer than the archive",
         {entero(a, 1000),
          Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                           "1000-2999/3000\r\nContent-Length: 2500\r\n\r\n",
                           {{milliseconds(0), a.substr(1000) + std::string(500, 'x')}})},
         "999", "", 2},
        // A weak ETag cannot say the bytes are the same: no Range, so a 206 is not the rest.
        {"weak ETag", {entero(a, 1000, "W/\"v1\""), parte(1000, 3000)}, "999", "", 2},
        // A 206 whose range stops short is no whole archive: the rest is asked for again.
        {"206 for a range that stops short",
         {entero(a, 1000),
          Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                           "1000-1999/3000\r\nContent-Length: 1000\r\n\r\n",
                           {{milliseconds(0), a.substr(1000, 1000)}}),
          parte(2000, 3000)},
         "200", a, 3},
        // Nor is a 206 to a request that asked no range.
        {"206 to the first request, stops short",
         {Respuesta::Cruda("HTTP/1.1 206 OK\r\nETag: \"v1\"\r\nContent-Range: "
                           "bytes 0-999/3000\r\nContent-Length: 1000\r\n\r\n",
                           {{milliseconds(0), a.substr(0, 1000)}}),
          parte(1000, 3000)},
         "200", a, 2},
        // After a first answer without a length, the total of the first Content-Range is
        // the archive's: a range that stops short of it is asked on from; one that cannot
        // tell it ("/*") is no way to the end.
        {"chunked, then a 206 that stops short",
         {troceada,
          Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                           "1000-1999/3000\r\nContent-Length: 1000\r\n\r\n",
                           {{milliseconds(0), a.substr(1000, 1000)}}),
          parte(2000, 3000)},
         "200", a, 3},
        {"chunked, then a 206 of unknown total",
         {troceada,
          Respuesta::Cruda("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                           "1000-2999/*\r\nContent-Length: 2000\r\n\r\n",
                           {{milliseconds(0), a.substr(1000)}})},
         "999", "", 2},
        {"206 of unknown total to the first request",
         {Respuesta::Cruda("HTTP/1.1 206 OK\r\nContent-Range: bytes 0-2999/*\r\n"
                           "Content-Length: 3000\r\n\r\n",
                           {{milliseconds(0), a}})},
         "999", "", 1},
        {"206 to the first request, not from its start",
         {Respuesta::Cruda("HTTP/1.1 206 OK\r\nContent-Range: bytes 1000-2999/3000\r\n"
                           "Content-Length: 2000\r\n\r\n",
                           {{milliseconds(0), a.substr(1000)}})},
         "999", "", 1},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        prueba::Escribir(instalacion.Archivo(), "archivo anterior");
        const size_t antes = servidor.Peticiones().size();
        servidor.Responder([&](const prueba::Peticion&) {
            const size_t n = servidor.Peticiones().size() - antes - 1;
            return c.respuestas[std::min(n, c.respuestas.size() - 1)];
        });
        eventos.clear();
        // A caller's body check sees the archive's bytes once each, whatever the breaks.
        std::string visto;
        d.VerificarCuerpo.Reiniciar = [&] { visto.clear(); };
        d.VerificarCuerpo.Anadir = [&](const char* p, size_t n) { visto.append(p, n); };
        d.Descargar(1);
        const auto vistas = servidor.Peticiones();
        EXPECT_EQ(vistas.size() - antes, c.peticiones);
        if (c.codigo != "200") {
            Fallo(c.codigo, c.codigo == "999" ? k999 : "Range Not Satisfiable");
            continue;
        }
        EXPECT_FALSE(d.HuboError());
        EXPECT_EQ(d.StatusText(), "OK");
        EXPECT_EQ(prueba::Leer(instalacion.Archivo()), c.archivo);
        EXPECT_EQ(visto, c.archivo);
        EXPECT_TRUE(instalacion.Temporales().empty());
        ASSERT_FALSE(eventos.empty());
        EXPECT_EQ(eventos.back().Recibidos, static_cast<int32_t>(c.archivo.size()));
        EXPECT_EQ(eventos.back().Totales, static_cast<int32_t>(c.archivo.size()));
        if (c.peticiones == 3) {
            for (size_t i = 1; i < eventos.size(); ++i)
                EXPECT_GE(eventos[i].Recibidos, eventos[i - 1].Recibidos);
            EXPECT_FALSE(vistas[antes].Tiene("Range"));
            EXPECT_EQ(vistas[antes + 1].Cabecera("Range"), "bytes=1000-");
            EXPECT_EQ(vistas[antes + 2].Cabecera("Range"), "bytes=2000-");
            EXPECT_EQ(vistas[antes + 2].Cabecera("If-Range"), "\"v1\"");
        }
    }
}

// Handlers run inside the transfer: what they do to the instance must not reach released
// handles or a destroyed receiver.
TEST_F(Transferencias, ManejadoresQueTocanLaInstanciaDuranteLaTransferencia) {
    const std::string cuerpo = Cuerpo(4096);
    Servir(cuerpo, 4);
    // A receiver that clears Progreso, then uses what it holds (kept on the heap).
    const std::string propio(100, 'p');
    d.Progreso = [this, propio](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
        d.Progreso = nullptr;
        eventos.push_back({0, static_cast<int32_t>(propio.size()), 0, 0, 0, 0});
    };
    d.Descargar(1);
    Exito(cuerpo, false);
    ASSERT_EQ(eventos.size(), 1u);
    EXPECT_EQ(eventos[0].Recibidos, 100);

    // A nested Descargar from the receiver is refused without a trace.
    uint32_t reloj = 0;
    d.Opciones.Reloj = [&reloj] { return reloj += 7; };
    int anidadas = 0;
    d.Progreso = [&](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
        ++anidadas;
        d.Descargar(1);
    };
    const size_t antes = servidor.Peticiones().size();
    d.Descargar(1);
    Exito(cuerpo, false);
    EXPECT_GT(anidadas, 0);
    EXPECT_EQ(servidor.Peticiones().size() - antes, 1u);
    d.Opciones.Reloj = nullptr;

    // A bad URL set by the receiver releases the handles under the running call.
    prueba::Escribir(instalacion.Archivo(), "archivo anterior");
    d.Progreso = [this](int32_t, int32_t, double, int32_t, double, int32_t&, bool&) {
        d.URL("ftp://127.0.0.1/x");
    };
    d.Descargar(1);
    Fallo("999", "Ha ocurrido un error durante la descarga.");
}

// The body ends where its Content-Length, read as the component reads it, says: not
// earlier, not later, and without waiting for the close; a transfer coding overrides it.
// Silence is measured between arrivals, not over the whole answer. However quickly the
// body came, the last event counts all of it and carries the length the body had.
TEST_F(Transferencias, ElCuerpoTerminaDondeDiceSuLongitud) {
    d.Opciones.EsperaConexion = milliseconds(2000);
    d.Opciones.EsperaInactividad = milliseconds(1000);
    const auto con = [](const std::string& longitud, const std::string& cuerpo,
                        prueba::Final fin = prueba::Final::Cerrar) {
        return Respuesta::Cruda("HTTP/1.1 200 OK\r\nContent-Length: " + longitud + "\r\n\r\n",
                     {{milliseconds(0), cuerpo}}, fin);
    };
    const milliseconds hueco(400);
    struct Caso {
        const char* nombre;
        Respuesta r;
        std::string archivo, longitud;
        int32_t totales = 5;
    };
    const std::string largo = Cuerpo(1500);  // three blocks
    const std::vector<Caso> casos{
        {"not numeric: read to the close", con("abc", "hello"), "hello", "abc", -1},
        {"1.5 rounds to 2", con("1.5", "hello"), "he", "1.5", 2},
        {"bytes beyond the length are not written", con("5", "helloEXTRA"), "hello", "5"},
        {"the length is in: no wait for the close", con("5", "hello", prueba::Final::Colgar),
         "hello", "5"},
        {"chunked wins over Content-Length", Respuesta::Cruda(
             "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\n\r\n",
             {{milliseconds(0), "5dc\r\n" + largo + "\r\n0\r\n\r\n"}}), largo, "10", -1},
        {"all at once, several blocks", con("1500", largo), largo, "1500", 1500},
        {"a head in pieces, each gap shorter than the stall time-out",
         Respuesta::Cruda("", {{milliseconds(0), "HTTP/1.1 200 OK\r\n"},
                               {hueco, "Content-Length: 5\r\n"},
                               {hueco, "Server: lento\r\n"},
                               {hueco, "\r\n"},
                               {hueco, "hello"}}),
         "hello", "5"},
        {"a header line in pieces, each gap shorter than the stall time-out",
         Respuesta::Cruda("", {{milliseconds(0), "HTTP/1.1 200 OK\r\nCon"},
                               {hueco, "tent-"},
                               {hueco, "Length"},
                               {hueco, ": 5\r\n\r\nhello"}}),
         "hello", "5"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nombre);
        eventos.clear();
        Servir(c.r);
        d.Descargar(1);
        Exito(c.archivo);
        EXPECT_EQ(d.QContentLengthStr(), c.longitud);
        EXPECT_EQ(eventos.back().Totales, c.totales);
        EXPECT_EQ(eventos.back().Porcentaje, c.totales < 0 ? 0 : c.archivo.size() * 100.0 / c.totales);
    }
}

TEST_F(Transferencias, TamanoDeBloqueNoPositivoNoTransfiereNada) {
    Servir(Cuerpo(2000), 1);
    for (int32_t bloque : {0, -1, INT32_MIN}) {
        d.BytesBloqueDescarga(bloque);
        d.Descargar(1);
        Fallo("007", "Error en InternetReadFile.");
    }
    EXPECT_TRUE(eventos.empty());
    d.Descargar(0);  // information only does not use the block size
    EXPECT_FALSE(d.HuboError());
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

TEST_F(Transferencias, DestinoQueNoSePuedeEscribirEsError8) {
    const std::string mensaje = "No se ha podido crear el fichero de destino.";
    // Limits met by the final flush of a small body, by the first flush of the write
    // buffer, and after several flushes.
    for (auto [tam, limite] : {std::pair<size_t, rlim_t>{3000, 1000}, {400 * 1024, 1000},
                               {400 * 1024, 150 * 1024}}) {
        const std::string cuerpo = Cuerpo(tam);
        Servir(Respuesta::Simple("200 OK", cuerpo));
        {
            LimiteDeTamano limiteDeTamano(limite);
            d.Descargar(1);
        }
        Fallo("008", mensaje);
        EXPECT_EQ(d.Causa(), std::errc::file_too_large) << d.Causa().message();
    }
    // A full disk met only by the final sync: the status stays 8, and the reason is kept.
    d.Opciones.Disco = sistema::Disco([](sistema::OperacionDisco o, const std::string&) {
        return o == sistema::OperacionDisco::Sincronizar
                   ? std::make_error_code(std::errc::no_space_on_device)
                   : std::error_code{};
    });
    Servir(Cuerpo(2000), 1);
    d.Descargar(1);
    Fallo("008", mensaje);
    EXPECT_EQ(d.Causa(), std::errc::no_space_on_device) << d.Causa().message();
    d.Opciones.Disco = sistema::Disco::Real();
    // The destination is a directory holding a file: it cannot be replaced.
    prueba::fs::remove(instalacion.Archivo());
    prueba::fs::create_directory(instalacion.Archivo());
    prueba::Escribir(instalacion.Archivo() + "/dentro", "dentro");
    Servir(Cuerpo(2000), 1);
    d.Descargar(1);
    EXPECT_EQ(d.StatusCode(), "008");
    EXPECT_EQ(prueba::Leer(instalacion.Archivo() + "/dentro"), "dentro");
    EXPECT_TRUE(instalacion.Temporales().empty());

    // The install directory does not exist, or is a regular file: no temporary file.
    eventos.clear();
    for (const std::string& carpeta : {instalacion.En("no existe"), instalacion.En("fichero")}) {
        prueba::Escribir(instalacion.En("fichero"), "x");
        d.Opciones.Carpeta = carpeta;
        d.Descargar(1);
        EXPECT_EQ(d.StatusCode() + " " + d.StatusText(), "008 " + mensaje);
        EXPECT_EQ(internet::HandlesAbiertos(), 0u);
    }
    EXPECT_FALSE(prueba::fs::exists(instalacion.En("no existe")));
    EXPECT_EQ(prueba::Leer(instalacion.En("fichero")), "x");
    EXPECT_TRUE(eventos.empty());
}

TEST_F(Transferencias, ElReceptorNoCambiaLaTasaNiElBloqueEnCurso) {
    const std::string cuerpo = Cuerpo(8192);
    Servir(cuerpo, 1);  // the whole body at once: reads are limited by the block size only
    // A clock that moves at every look, so that every block raises its event.
    uint32_t reloj = 0;
    d.Opciones.Reloj = [&reloj] { return reloj += 3; };
    d.Progreso = [&](int32_t t, int32_t r, double p, int32_t s, double rest,
                     int32_t& BytesPorSegundo, bool&) {
        eventos.push_back({t, r, p, s, rest, BytesPorSegundo});
        BytesPorSegundo = -12345;
        d.BytesBloqueDescarga(1);
        throw std::runtime_error("un receptor que falla no detiene la descarga");
    };
    d.Descargar(1);
    Exito(cuerpo);
    EXPECT_EQ(d.BytesBloqueDescarga(), 1);
    EXPECT_GE(eventos.size(), 16u);  // still blocks of up to 512 bytes, not thousands
    EXPECT_LT(eventos.size(), 200u);
    ASSERT_GE(eventos.size(), 2u);
    for (const Evento& e : eventos) EXPECT_GT(e.PorSegundo, 0);

    // Nobody listening at all.
    d.Progreso = nullptr;
    d.BarraProgreso = nullptr;
    d.HabilitarDescargar = nullptr;
    d.Descargar(1);
    EXPECT_FALSE(d.HuboError());
    EXPECT_TRUE(prueba::Leer(instalacion.Archivo()) == cuerpo);
}

}  // namespace
