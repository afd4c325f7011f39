// What an update costs the server and the client, on three signed, indexed releases of a
// 256 MiB product of 50 files made once per run by generar_entregas.sh:
//   - 2 files changed: the bytes the server sent for the whole update against the changed
//     entries' ranges plus the index and 64 KiB, and the update's time (check, fetch,
//     verify, install) against curl fetching the same ranges plus unzip on those entries;
//   - every file changed: the bytes sent against the archive;
//   - one check, with a key and without: the body bytes the server sent;
//   - a signed whole download's CPU (user + system, the client's process) minus an
//     unsigned one's, against sha256sum's CPU on the same archive.
//
//   bench_parcial [rounds]      (default 5)
//
// Details on stderr, one figure line per measurement on stdout. The session runs in this
// process with its steps inline; the server is ours (it counts what it sends) on 127.0.0.1,
// reached as the machine's proxy so the build's URL leads to it.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "comun_prueba.h"
#include "descarga_firmada.h"
#include "entorno_prueba.h"
#include "indice.h"
#include "internet.h"
#include "medicion.h"
#include "publicacion.h"
#include "seleccion.h"
#include "servidor_rangos.h"
#include "sesion.h"
#include "sesion_prueba.h"
#include "sistema.h"
#include "zkDownload.h"

namespace {

namespace fs = std::filesystem;
using medicion::Mediana;
using medicion::Reloj;
using medicion::Segundos;
using medicion::ServidorRangos;


// The path of the build's URL ("/web/lurenet/Morvane.zip").
std::string RutaDeUrl() {
    const std::string u = URLActualizacion;
    const size_t esquema = u.find("://");
    return u.substr(u.find('/', esquema == std::string::npos ? 0 : esquema + 3));
}

std::string LeerTodo(const std::string& ruta) {
    std::ifstream f(ruta, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::optional<firma::Indice> IndiceDe(const std::string& entrega) {
    firma::Indice i;
    if (firma::LeerFormaIndice(LeerTodo(entrega + "/Morvane.zip.indice"), i)) return std::nullopt;
    return i;
}

// The files of `nuevo` that are not byte for byte those of `viejo` (by the index).
std::vector<firma::Entrada> Cambiadas(const firma::Indice& viejo, const firma::Indice& nuevo) {
    std::map<std::string, const firma::Entrada*> antes;
    for (const auto& e : viejo.Entradas) antes[e.Nombre] = &e;
    std::vector<firma::Entrada> r;
    for (const auto& e : nuevo.Entradas) {
        if (e.EsCarpeta()) continue;
        const auto it = antes.find(e.Nombre);
        if (it == antes.end() || it->second->Tamano != e.Tamano || it->second->Sha256 != e.Sha256)
            r.push_back(e);
    }
    return r;
}

// The first file of `referencia` that `instalada` does not hold byte for byte; "" when none.
std::string Diferencia(const std::string& referencia, const std::string& instalada) {
    std::vector<char> a(1 << 20), b(1 << 20);
    for (const auto& e : fs::recursive_directory_iterator(referencia)) {
        if (!e.is_regular_file()) continue;
        const std::string nombre = fs::relative(e.path(), referencia).string();
        std::ifstream fa(e.path(), std::ios::binary), fb(instalada + "/" + nombre, std::ios::binary);
        if (!fb) return nombre;
        while (fa) {
            fa.read(a.data(), static_cast<std::streamsize>(a.size()));
            fb.read(b.data(), static_cast<std::streamsize>(b.size()));
            if (fa.gcount() != fb.gcount() ||
                !std::equal(a.begin(), a.begin() + fa.gcount(), b.begin()))
                return nombre;
        }
        if (fb.peek() != std::char_traits<char>::eof()) return nombre;
    }
    return "";
}

// The install back at the first release with no record of a signed one: the files the
// last update replaced restored, the product dated old.
void VolverAPrimera(const std::string& primera, const std::string& carpeta,
                    const std::vector<firma::Entrada>& tocadas) {
    for (const auto& e : tocadas)
        fs::copy_file(primera + "/arbol/" + e.Nombre, carpeta + "/" + e.Nombre,
                      fs::copy_options::overwrite_existing);
    sistema::Borrar(carpeta + "/" + publicacion::kRegistro);
    prueba::FijarFecha(carpeta + "/Morvane.exe", prueba::HoraLocal(2001, 1, 1));
}

sesion::Entorno EntornoDe(const std::string& carpeta, const std::string& clave) {
    sesion::Entorno e;
    e.Carpeta = carpeta;
    e.URL = URLActualizacion;
    e.Clave = clave;
    e.EsperaConexion = e.EsperaInactividad = std::chrono::seconds(10);
    return e;
}

struct Vuelta {
    bool Bien = false;
    double Segundos = 0;
};

// A check and, when it finds a newer release, the update, as the window runs them.
Vuelta Actualizar(const std::string& carpeta, const std::string& clave) {
    prueba::Mudo mudo;
    prueba::EnLinea hilos;
    sesion::Sesion s(EntornoDe(carpeta, clave), mudo, hilos);
    Vuelta v;
    const auto t0 = Reloj::now();
    s.BuscarActualizacion();
    if (s.UltimoResultado() == sesion::Resultado::HayActualizacion) s.Actualizar();
    v.Segundos = Segundos(Reloj::now() - t0);
    v.Bien = s.UltimoResultado() == sesion::Resultado::Actualizado;
    if (!v.Bien) std::fprintf(stderr, "  sesión: %s (%s)\n", s.Texto().c_str(), s.Motivo().c_str());
    return v;
}

// The check alone; true when it reached a verdict.
bool Comprobar(const std::string& carpeta, const std::string& clave) {
    prueba::Mudo mudo;
    prueba::EnLinea hilos;
    sesion::Sesion s(EntornoDe(carpeta, clave), mudo, hilos);
    s.BuscarActualizacion();
    const auto r = s.UltimoResultado();
    return r == sesion::Resultado::HayActualizacion || r == sesion::Resultado::SinActualizacion;
}

// The CPU seconds (user + system) of a child that exited 0; nothing otherwise.
// Its standard output goes nowhere: only figure lines go to ours.
std::optional<double> CpuDe(std::vector<std::string> args) {
    posix_spawn_file_actions_t acciones;
    posix_spawn_file_actions_init(&acciones);
    posix_spawn_file_actions_addopen(&acciones, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto pid = prueba::Iniciar(std::move(args), &acciones);
    posix_spawn_file_actions_destroy(&acciones);
    if (!pid) return std::nullopt;
    const std::optional<rusage> uso = medicion::UsoDelHijo(*pid);
    if (!uso) return std::nullopt;
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(uso->ru_utime) + s(uso->ru_stime);
}

// Spawns and waits; true when it exited 0.
bool Correr(std::vector<std::string> args) {
    const auto pid = prueba::Iniciar(std::move(args));
    if (!pid) return false;
    const int estado = prueba::Esperar(*pid);
    return WIFEXITED(estado) && WEXITSTATUS(estado) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    internet::BibliotecaInternet biblioteca;
    if (argc == 5 && std::string(argv[1]) == "--una")
        return medicion::DescargarArchivo(URLActualizacion, std::string(argv[2]) == "firmada", argv[3],
                                          argv[4]) ? 0 : 1;
    prueba::LimpiarProxyDelEntorno();
    const int rondas = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rondas <= 0) {
        std::fprintf(stderr, "uso: bench_parcial [rondas]\n");
        return 2;
    }
    std::vector<std::string> cifras;
    const auto fallo = [&](const char* que) {
        cifras.push_back(std::string(que) + ": FALLO (ver los detalles arriba)");
    };
    char linea[400];

    prueba::DirectorioTemporal directorio("bench_parcial_");
    const std::string entregas = directorio.En("entregas");
    std::fprintf(stderr, "generando las tres entregas de 256 MiB...\n");
    if (!Correr({"bash", MORVANE_GENERAR, MORVANE_SIGN_BIN, entregas})) {
        std::printf("actualización parcial: FALLO (no se generaron las entregas)\n");
        return 1;
    }
    std::string clave = LeerTodo(entregas + "/clave.pub");
    while (!clave.empty() && (clave.back() == '\n' || clave.back() == '\r')) clave.pop_back();
    const std::string primera = entregas + "/primera", segunda = entregas + "/segunda",
                      todas = entregas + "/todas";
    const auto iPrimera = IndiceDe(primera), iSegunda = IndiceDe(segunda), iTodas = IndiceDe(todas);
    if (!iPrimera || !iSegunda || !iTodas) {
        std::printf("actualización parcial: FALLO (un índice ilegible)\n");
        return 1;
    }
    const auto cambiadasSegunda = Cambiadas(*iPrimera, *iSegunda);
    const auto cambiadasTodas = Cambiadas(*iPrimera, *iTodas);

    // The product as the first release installed it, with an unzip tool that unpacks.
    const std::string inst = directorio.En("instalada");
    fs::copy(primera + "/arbol", inst, fs::copy_options::recursive);
    prueba::Escribir(inst + "/Kelunzip", "#!/bin/sh\nexec unzip -q -o Morvane.zip\n", true);
    VolverAPrimera(primera, inst, {});

    const std::string ruta = RutaDeUrl();
    const auto servir = [&](const std::string& entrega) {
        return std::map<std::string, std::string>{{ruta, entrega + "/Morvane.zip"},
                                                  {ruta + ".sig", entrega + "/Morvane.zip.sig"},
                                                  {ruta + ".indice", entrega + "/Morvane.zip.indice"}};
    };
    ServidorRangos servidor(servir(segunda));
    if (!servidor.Escuchando()) {
        std::printf("actualización parcial: FALLO (el servidor no escucha)\n");
        return 1;
    }
    const std::string proxy = "http://" + servidor.Direccion();
    ::setenv("http_proxy", proxy.c_str(), 1);

    // 1. Two files changed.
    uint64_t rangos = 0;
    std::vector<std::string> nombres;
    for (const auto& e : cambiadasSegunda) {
        rangos += e.EnArchivo.Longitud;
        nombres.push_back(e.Nombre);
    }
    const uint64_t indiceBytes = *medicion::Tamano(segunda + "/Morvane.zip.indice");
    const uint64_t limite = rangos + indiceBytes + 64 * 1024;
    std::fprintf(stderr, "segunda: %zu ficheros cambiados, %llu bytes de rangos, índice %llu bytes\n",
                 nombres.size(), static_cast<unsigned long long>(rangos),
                 static_cast<unsigned long long>(indiceBytes));
    std::vector<uint64_t> enviados;
    std::vector<std::string> pedidos;  // the Range headers of the last update
    servidor.Tomar();
    const std::string salidaCurl = directorio.En("curl.out"), salidaUnzip = directorio.En("unzip");
    const auto tiempos = medicion::Rondas(
        rondas,
        [&]() -> std::optional<double> {
            VolverAPrimera(primera, inst, cambiadasSegunda);
            const Vuelta v = Actualizar(inst, clave);
            const auto reg = servidor.Tomar();
            std::vector<std::string> r;
            for (const auto& x : reg)
                if (x.Destino == ruta) {
                    r.push_back(x.Range);
                    std::fprintf(stderr, "    %d %s: %llu bytes\n", x.Estado,
                                 x.Range.empty() ? "(entero)" : x.Range.c_str(),
                                 static_cast<unsigned long long>(x.Cabecera + x.Cuerpo));
                }
            std::fprintf(stderr, "  actualización: %.3f s, %llu bytes enviados en %zu peticiones\n",
                         v.Segundos, static_cast<unsigned long long>(ServidorRangos::Total(reg)), reg.size());
            if (!v.Bien) return std::nullopt;
            const std::string mal = Diferencia(segunda + "/arbol", inst);
            if (!mal.empty()) {
                std::fprintf(stderr, "  el árbol instalado no es el de la segunda: %s\n", mal.c_str());
                return std::nullopt;
            }
            enviados.push_back(ServidorRangos::Total(reg));
            pedidos = r;
            return v.Segundos;
        },
        [&]() -> std::optional<double> {
            if (pedidos.empty() || pedidos.front().empty()) {
                std::fprintf(stderr, "  curl: no hay rangos que pedir\n");
                return std::nullopt;
            }
            const auto t0 = Reloj::now();
            for (const auto& r : pedidos)
                if (!Correr({"curl", "-s", "-f", "-o", salidaCurl, "-x", proxy, "-H", "Range: " + r,
                             URLActualizacion})) {
                    std::fprintf(stderr, "  curl: falló\n");
                    return std::nullopt;
                }
            std::vector<std::string> unzip = {"unzip", "-q", "-o", segunda + "/Morvane.zip"};
            unzip.insert(unzip.end(), nombres.begin(), nombres.end());
            unzip.insert(unzip.end(), {"-d", salidaUnzip});
            const bool bien = Correr(unzip);
            const double t = Segundos(Reloj::now() - t0);
            servidor.Tomar();
            std::fprintf(stderr, "  curl y unzip: %.3f s%s\n", t, bien ? "" : " (unzip falló)");
            sistema::Borrar(salidaCurl);
            fs::remove_all(salidaUnzip);
            if (!bien) return std::nullopt;
            return t;
        });
    if (!tiempos || enviados.empty()) {
        fallo("actualización parcial, 2 ficheros cambiados");
    } else {
        const double e = static_cast<double>(enviados.back());
        std::snprintf(linea, sizeof linea,
                      "actualización parcial 256 MiB, 2 ficheros cambiados: bytes enviados/(rangos + "
                      "índice + 64 KiB) = %.3f (%.0f bytes; rangos %llu, índice %llu; objetivo <= 1.05)",
                      e / static_cast<double>(limite), e, static_cast<unsigned long long>(rangos),
                      static_cast<unsigned long long>(indiceBytes));
        cifras.push_back(linea);
        // How much of it is telling what changed: every installed file of an entry's size
        // is hashed, and here all 50 have one size.
        std::vector<double> sel;
        VolverAPrimera(primera, inst, cambiadasSegunda);
        for (int i = 0; i < 3; ++i) {
            std::vector<std::size_t> elegidas;
            const auto t0 = Reloj::now();
            parcial::Seleccionar(*iSegunda, inst, elegidas);
            sel.push_back(Segundos(Reloj::now() - t0));
            std::fprintf(stderr, "  selección: %zu entradas, %.3f s\n", elegidas.size(), sel.back());
        }
        const double mp = Mediana(tiempos->Propio), mc = Mediana(tiempos->Curl);
        std::snprintf(linea, sizeof linea,
                      "actualización parcial 256 MiB: comprobación, descarga, verificación e "
                      "instalación/(curl de los mismos rangos + unzip) = %.2f (%.3f s, de ellos %.3f s "
                      "comparando lo instalado; curl y unzip %.3f s, mediana de %d; objetivo <= 1.2)",
                      mp / mc, mp, Mediana(sel), mc, rondas);
        cifras.push_back(linea);
    }

    // 2. Every file changed: the whole archive, and nothing much besides.
    {
        VolverAPrimera(primera, inst, cambiadasSegunda);
        servidor.Ficheros(servir(todas));
        servidor.Tomar();
        const Vuelta v = Actualizar(inst, clave);
        const auto reg = servidor.Tomar();
        const uint64_t archivo = *medicion::Tamano(todas + "/Morvane.zip");
        std::fprintf(stderr, "todas: %.3f s, %llu bytes enviados en %zu peticiones\n", v.Segundos,
                     static_cast<unsigned long long>(ServidorRangos::Total(reg)), reg.size());
        const std::string mal = v.Bien ? Diferencia(todas + "/arbol", inst) : "(sin actualizar)";
        if (!mal.empty()) {
            std::fprintf(stderr, "  el árbol instalado no es el de todas: %s\n", mal.c_str());
            fallo("actualización con todo cambiado");
        } else {
            const double e = static_cast<double>(ServidorRangos::Total(reg));
            std::snprintf(linea, sizeof linea,
                          "actualización con todo cambiado 256 MiB: bytes enviados/archivo = %.4f "
                          "(%.0f bytes de %llu; objetivo <= 1.02)",
                          e / static_cast<double>(archivo), e, static_cast<unsigned long long>(archivo));
            cifras.push_back(linea);
        }
        VolverAPrimera(primera, inst, cambiadasTodas);
        servidor.Ficheros(servir(segunda));
    }

    // 3. One check, with a key and without.
    {
        std::vector<double> conClave, conClaveTotal, sinClave;
        bool bien = true;
        for (int i = 0; i < 5 && bien; ++i) {
            servidor.Tomar();
            bien = Comprobar(inst, clave);
            const auto a = servidor.Tomar();
            bien = bien && Comprobar(inst, "");
            const auto b = servidor.Tomar();
            conClave.push_back(static_cast<double>(ServidorRangos::Total(a, true)));
            conClaveTotal.push_back(static_cast<double>(ServidorRangos::Total(a)));
            sinClave.push_back(static_cast<double>(ServidorRangos::Total(b, true)));
            std::fprintf(stderr, "comprobación: con clave %zu peticiones, %.0f bytes de cuerpo; sin clave "
                         "%.0f bytes de cuerpo\n", a.size(), conClave.back(), sinClave.back());
        }
        if (!bien) {
            fallo("comprobación");
        } else {
            std::snprintf(linea, sizeof linea,
                          "comprobación con clave: %.0f bytes de cuerpo enviados (%.0f con las "
                          "cabeceras, mediana de 5; objetivo < 1024)",
                          Mediana(conClave), Mediana(conClaveTotal));
            cifras.push_back(linea);
            std::snprintf(linea, sizeof linea,
                          "comprobación sin clave: %.0f bytes de cuerpo enviados (mediana de 5, de %.0f "
                          "a %.0f; sin objetivo)",
                          Mediana(sinClave), *std::min_element(sinClave.begin(), sinClave.end()),
                          *std::max_element(sinClave.begin(), sinClave.end()));
            cifras.push_back(linea);
        }
    }

    // 4. A signed whole download's CPU against sha256sum's, each in a process of its own.
    {
        const std::string dir = directorio.En("entera");
        fs::create_directory(dir);  // no Morvane.exe: any release is newer
        const std::string archivo = segunda + "/Morvane.zip";
        std::vector<double> firmada, sin, sha;
        bool bien = true;
        for (int i = 0; i < rondas && bien; ++i) {
            const auto f = CpuDe({"/proc/self/exe", "--una", "firmada", dir, clave});
            const bool fb = f && medicion::Tamano(dir + "/Morvane.zip") == medicion::Tamano(archivo);
            sistema::Borrar(dir + "/Morvane.zip");
            const auto s = CpuDe({"/proc/self/exe", "--una", "sin", dir, clave});
            const bool sb = s && medicion::Tamano(dir + "/Morvane.zip") == medicion::Tamano(archivo);
            sistema::Borrar(dir + "/Morvane.zip");
            const auto h = CpuDe({"sha256sum", archivo});
            servidor.Tomar();
            bien = fb && sb && h;
            if (!bien) break;
            firmada.push_back(*f);
            sin.push_back(*s);
            sha.push_back(*h);
            std::fprintf(stderr, "CPU: firmada %.3f s, sin firmar %.3f s, sha256sum %.3f s\n", *f, *s, *h);
        }
        if (!bien) {
            fallo("descarga firmada en CPU");
        } else {
            const double mf = Mediana(firmada), ms = Mediana(sin), mh = Mediana(sha);
            std::snprintf(linea, sizeof linea,
                          "descarga firmada 256 MiB en CPU del cliente: (firmada - sin firmar)/sha256sum "
                          "= %.2f (firmada %.3f s, sin firmar %.3f s, sha256sum %.3f s, mediana de %d; "
                          "objetivo <= 1.2)",
                          (mf - ms) / mh, mf, ms, mh, rondas);
            cifras.push_back(linea);
        }
    }
    ::unsetenv("http_proxy");

    int codigo = 0;
    for (const auto& c : cifras) {
        std::printf("%s\n", c.c_str());
        if (c.find("FALLO") != std::string::npos) codigo = 1;
    }
    return codigo;
}
