#include "descarga_rangos.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "internet.h"
#include "lecturas.h"
#include "rangos.h"
#include "respuesta_rango.h"
#include "texto_remoto.h"
#include "zkDownload_detalle.h"

namespace parcial {

namespace {

using namespace internet;

// The component's bound on resuming: this many attempts in a row that each take the fetch
// less than kAvanceMinimo beyond where it had ever been, and it gives up.
constexpr int kIntentosSinAvance = 5;
constexpr uint64_t kAvanceMinimo = 64 * 1024;
constexpr std::chrono::milliseconds kEsperaMaxima{16000};
constexpr uint32_t kPieza = 64 * 1024;

uint64_t Bytes(const std::vector<firma::Rango>& rangos) {
    uint64_t n = 0;
    for (const firma::Rango& r : rangos) n += r.Longitud;
    return n;
}

// A response header's value, "" when absent.
std::string Cabecera(HINTERNET peticion, uint32_t nivel) {
    std::string valor(256, '\0');
    uint32_t longitud = static_cast<uint32_t>(valor.size());
    if (!HttpQueryInfoA(peticion, nivel, valor.data(), &longitud, nullptr)) {
        if (longitud <= valor.size() || longitud > 64 * 1024) return {};
        valor.assign(longitud, '\0');
        if (!HttpQueryInfoA(peticion, nivel, valor.data(), &longitud, nullptr)) return {};
    }
    valor.resize(longitud);
    return valor;
}

// One line per attempt, as the component writes for a resumed archive.
void Anotar(const std::string& url, int intento, const char* motivo, uint64_t bytes) {
    const std::time_t ahora = std::time(nullptr);
    std::tm local{};
    char hora[32] = "";
    if (::localtime_r(&ahora, &local)) std::strftime(hora, sizeof hora, "%Y-%m-%d %H:%M:%S", &local);
    std::string limpia;
    for (char c : url) limpia.push_back(static_cast<unsigned char>(c) < 0x20 ? '?' : c);
    std::fprintf(stderr, "%s reintento %d %s: %s, %llu bytes\n", hora, intento, limpia.c_str(), motivo,
                 static_cast<unsigned long long>(bytes));
}

// How one request ended.
enum class Final {
    Completa,  // its answer was read to the end and took it
    Rota,      // broke off or fell short: what is still pending may be asked for again
    Hecho,     // the result is set; nothing more is asked
};

class Descarga {
public:
    Descarga(const zkDownload::Ajustes& ajustes, Ensamblador& ensamblador,
             const std::function<void(uint64_t)>& progreso, ResultadoRangos& r)
        : ajustes_(ajustes), ensamblador_(ensamblador), progreso_(progreso), r_(r),
          quiere_(Bytes(ensamblador.Pendientes())) {}

    uint64_t Tomados() const { return quiere_ - std::min(quiere_, Bytes(ensamblador_.Pendientes())); }

    // Ends the fetch with the component's status `codigo` and the reason `error`.
    Final Fallar(int32_t codigo, std::error_code error, std::string motivoRed = {}) {
        r_.Error = error;
        r_.Codigo = zkdetalle::FormatearCodigo(codigo);
        r_.Mensaje = zkdetalle::Estado(codigo).message();
        r_.MotivoRed = std::move(motivoRed);
        return Final::Hecho;
    }
    Final Cancelar() { return Fallar(998, std::make_error_code(std::errc::operation_canceled)); }

    // A call on `peticion` failed: a cancel ends the fetch, anything else may be resumed
    // (unless `reanudable` is false), and is the fetch's reason if it gives up.
    Final FalloDeRed(HINTERNET peticion, int32_t codigo, bool reanudable) {
        if (Fallo(peticion) == std::errc::operation_canceled) return Cancelar();
        Fallar(codigo, Fallo(peticion), MotivoDelFallo(peticion));
        return reanudable ? Final::Rota : Final::Hecho;
    }

    Final Pedir(HINTERNET conexion, const lecturas::PartesURL& partes, const std::vector<firma::Rango>& rangos,
                bool reanudable) {
        if (ajustes_.Cancelacion && ajustes_.Cancelacion->Activa()) return Cancelar();
        Handle peticion(AbrirPeticionGet(conexion, partes.Esquema, partes.Ruta));
        if (!peticion) return Fallar(4, zkdetalle::Estado(4));
        const std::string cabeceras = "Range: " + CabeceraRange(rangos) + "\r\n";
        ++r_.Peticiones;
        if (!HttpSendRequestA(peticion.get(), cabeceras.c_str(), static_cast<uint32_t>(cabeceras.size()), nullptr, 0))
            return FalloDeRed(peticion.get(), 5, reanudable);

        const std::string codigo = Cabecera(peticion.get(), HTTP_QUERY_STATUS_CODE);
        if (codigo.empty()) return Fallar(6, zkdetalle::Estado(6));
        if (codigo != "206") {
            // A 200 is the whole archive: the caller fetches it as such. Anything else is the
            // server's own answer, reported with its code as the component reports it.
            r_.Entero = codigo == "200";
            r_.Error = r_.Entero ? Error::ArchivoEntero : Error::Estado;
            r_.Codigo = codigo;
            r_.Mensaje = Cabecera(peticion.get(), HTTP_QUERY_STATUS_TEXT);
            r_.MotivoRed.clear();
            return Final::Hecho;
        }
        LectorRespuesta lector(206, Cabecera(peticion.get(), HTTP_QUERY_CONTENT_TYPE),
                               Cabecera(peticion.get(), HTTP_QUERY_CONTENT_RANGE), ensamblador_.Archivo().Tamano,
                               [this](uint64_t inicio, const unsigned char* p, std::size_t n) {
                                   return ensamblador_.Recibir(inicio, p, n);
                               });
        if (lector.Error()) return Fallar(999, lector.Error());

        std::unique_ptr<unsigned char[]> pieza(new unsigned char[kPieza]);
        for (;;) {
            uint32_t leidos = 0;
            if (!InternetReadFile(peticion.get(), pieza.get(), kPieza, &leidos))
                return FalloDeRed(peticion.get(), 999, true);
            if (leidos == 0) break;
            r_.Recibidos += leidos;
            if (const auto e = lector.Anadir(pieza.get(), leidos))
                // The disk's failure is the destination's; a tampered or unreadable answer is
                // never asked for again.
                return Fallar(e.category() == std::generic_category() ? 8 : 999, e);
            if (progreso_) progreso_(Tomados());
        }
        if (const auto e = lector.Terminar()) {
            if (e != Error::Incompleta) return Fallar(999, e);
            Fallar(999, e);
            return Final::Rota;
        }
        // A server may answer fewer ranges than it was asked for.
        const auto pendientes = ensamblador_.Pendientes();
        for (const firma::Rango& p : pendientes)
            for (const firma::Rango& a : rangos)
                if (p.Inicio < a.Fin() && a.Inicio < p.Fin()) {
                    Fallar(999, Error::Incompleta);
                    return Final::Rota;
                }
        return Final::Completa;
    }

private:
    const zkDownload::Ajustes& ajustes_;
    Ensamblador& ensamblador_;
    const std::function<void(uint64_t)>& progreso_;
    ResultadoRangos& r_;
    const uint64_t quiere_;
};

}  // namespace

ResultadoRangos DescargarRangos(const std::string& url, int32_t puerto, const zkDownload::Ajustes& ajustes,
                                Ensamblador& ensamblador, const std::function<void(uint64_t)>& progreso) {
    ResultadoRangos r;
    try {
        Descarga d(ajustes, ensamblador, progreso, r);
        const lecturas::PartesURL partes = lecturas::DividirURL(url);
        if (!partes.Admitido || puerto < INT16_MIN || puerto > INT16_MAX) {
            d.Fallar(1, zkdetalle::Estado(1));
            return r;
        }
        Handle sesion(InternetOpenA(kAgenteDescarga, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (!sesion || !EstablecerAjustes(sesion.get(), AjustesDeRed(ajustes))) {
            d.Fallar(2, zkdetalle::Estado(2));
            return r;
        }
        Handle conexion(InternetConnectA(sesion.get(), partes.Host.c_str(), static_cast<int16_t>(puerto), "", "",
                                         INTERNET_SERVICE_HTTP, 0, 0));
        if (!conexion) {
            d.Fallar(3, zkdetalle::Estado(3));
            return r;
        }

        const std::chrono::milliseconds primera = std::max(std::chrono::milliseconds(0), ajustes.EsperaEntreIntentos);
        std::chrono::milliseconds espera = primera;
        uint64_t maximo = 0;       // the most ever taken
        int sinAvanzar = 0;        // attempts in a row that did not get kAvanceMinimo past maximo
        int intento = 0;
        bool rota = false;         // the last request broke off: the next one resumes it
        bool primeraRotura = true; // nothing has broken off since the last request completed
        const char* motivo = "cuerpo interrumpido";
        for (;;) {
            const std::vector<firma::Rango> pendientes = ensamblador.Pendientes();
            if (pendientes.empty()) {
                r.Error.clear();
                r.Codigo.clear();
                r.Mensaje.clear();
                r.MotivoRed.clear();
                return r;
            }
            if (rota) {
                const uint64_t tomados = d.Tomados();
                if (!primeraRotura && tomados < maximo + kAvanceMinimo) {
                    if (++sinAvanzar >= kIntentosSinAvance) return r;  // with the last attempt's failure
                } else {
                    sinAvanzar = 0;
                    espera = primera;
                }
                primeraRotura = false;
                maximo = std::max(maximo, tomados);
                Anotar(url, ++intento, motivo, tomados);
                if (!Esperar(espera, ajustes.Cancelacion)) {
                    d.Cancelar();
                    return r;
                }
                espera = std::min(espera * 2, kEsperaMaxima);
            }
            std::vector<firma::Rango> rangos = Coalescer(pendientes);
            if (rangos.size() > kRangosPorPeticion) rangos.resize(kRangosPorPeticion);
            // A first request that reaches nobody is the component's "no answer" at once;
            // once bytes have come, the server is worth asking again.
            const Final fin = d.Pedir(conexion.get(), partes, rangos, r.Peticiones > 0);
            if (fin == Final::Hecho) return r;
            rota = fin == Final::Rota;
            if (rota) {
                motivo = r.Codigo == "005" ? "sin respuesta" : "cuerpo interrumpido";
            } else {
                primeraRotura = true;
                sinAvanzar = 0;
                espera = primera;
            }
        }
    } catch (...) {
        r.Error = std::make_error_code(std::errc::not_enough_memory);
        r.Codigo = "999";
        r.Mensaje = zkdetalle::Estado(999).message();
        return r;
    }
}

}  // namespace parcial
