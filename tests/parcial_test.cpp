// Partial updates: the signer's index read back and its refusals, which installed files
// count as changed, the ranges asked for, the reading of range answers, and the zip of the
// changed entries, unpacked by unzip into the very files of the new release.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <numeric>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "comun_prueba.h"
#include "cancelacion.h"
#include "declaracion.h"
#include "descarga_rangos.h"
#include "ensamblado.h"
#include "indice.h"
#include "rangos.h"
#include "respuesta_rango.h"
#include "seleccion.h"
#include "sesion.h"
#include "sesion_prueba.h"
#include "servidor_http.h"

namespace {

namespace fs = std::filesystem;
using prueba::Citar;
using prueba::Ejecutar;
using prueba::Escribir;
using prueba::Leer;
using firma::ErrorIndice;
using firma::Rango;

// Bytes no compressor shrinks, the same for the same seed.
std::string Ruido(std::size_t n, uint32_t semilla) {
    std::string t(n, '\0');
    for (char& c : t) {
        semilla = semilla * 1664525u + 1013904223u;
        c = static_cast<char>(semilla >> 24);
    }
    return t;
}

// Two releases of a small product, signed by morvane-sign, made once for the whole suite.
// The second changes one file (same size), adds one, and keeps the rest.
class Parcial : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new prueba::DirectorioTemporal("parcial ");
        std::map<std::string, std::string> v1 = {
            {"Morvane.exe", Ruido(150000, 1)},
            {"lib/datos.bin", Ruido(300000, 2)},
            {"lib/vacio", ""},
            {"leeme.txt", std::string(90000, 'a')},  // deflated
            {"otro espacio/ñ.txt", "hola\n"},
        };
        auto v2 = v1;
        v2["leeme.txt"] = std::string(89999, 'a') + "b";
        v2["nuevo.txt"] = Ruido(70000, 3);
        Hacer("v1", v1);
        Hacer("v2", v2);
        clave_ = Ejecutar(Citar(MORVANE_SIGN) + " key " + Citar(En("clave.pem"))).Texto;
        while (!clave_.empty() && clave_.back() == '\n') clave_.pop_back();
        for (const char* v : {"v1", "v2"})
            ASSERT_EQ(Ejecutar(Citar(MORVANE_SIGN) + " sign " + Citar(En("clave.pem")) + " " +
                               Citar(En(std::string(v) + "/Morvane.zip")))
                          .Estado,
                      0);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static std::string En(const std::string& n) { return dir_->En(n); }
    static void Hacer(const std::string& v, const std::map<std::string, std::string>& ficheros) {
        for (const auto& [nombre, contenido] : ficheros) {
            fs::create_directories(fs::path(En(v + "/arbol/" + nombre)).parent_path());
            Escribir(En(v + "/arbol/" + nombre), contenido);
        }
        ASSERT_EQ(Ejecutar("cd " + Citar(En(v + "/arbol")) + " && zip -q -r -X ../Morvane.zip .").Estado, 0);
    }

    // The release's statement and index, read and checked as the updater will.
    static firma::Indice IndiceDe(const std::string& v) {
        const auto d = firma::LeerDeclaracion(Leer(En(v + "/Morvane.zip.sig")), clave_);
        EXPECT_TRUE(d);
        firma::Indice indice;
        EXPECT_FALSE(firma::LeerIndice(Leer(En(v + "/Morvane.zip.indice")), clave_, *d, indice));
        return indice;
    }
    static std::vector<std::string> Nombres(const firma::Indice& indice, const std::vector<std::size_t>& sel) {
        std::vector<std::string> n;
        for (std::size_t i : sel) n.push_back(indice.Entradas[i].Nombre);
        std::sort(n.begin(), n.end());
        return n;
    }

    static prueba::DirectorioTemporal* dir_;
    static std::string clave_;
};
prueba::DirectorioTemporal* Parcial::dir_ = nullptr;
std::string Parcial::clave_;

TEST_F(Parcial, ElIndiceDelFirmanteDescribeElArchivoYSeRechazaAlterado) {
    const firma::Indice indice = IndiceDe("v1");
    const std::string zip = Leer(En("v1/Morvane.zip"));
    ASSERT_EQ(indice.Tamano, zip.size());
    std::size_t ficheros = 0;
    for (const auto& e : indice.Entradas) {
        SCOPED_TRACE(e.Nombre);
        // Each range is the entry's bytes in the archive, and its data what unzip gives.
        firma::Sha256 sha;
        sha.Anadir(zip.data() + e.EnArchivo.Inicio, e.EnArchivo.Longitud);
        EXPECT_EQ(sha.Final(), e.Sha256Rango);
        EXPECT_EQ(zip.compare(e.EnArchivo.Inicio, 4, "PK\3\4"), 0);
        if (e.EsCarpeta()) continue;
        ++ficheros;
        EXPECT_EQ(e.Tamano, fs::file_size(En("v1/arbol/" + e.Nombre)));
        EXPECT_EQ(firma::ResumenFichero(En("v1/arbol/" + e.Nombre)), e.Sha256);
    }
    EXPECT_EQ(ficheros, 5u);
    EXPECT_EQ(indice.Directorio.Fin(), zip.size());

    // A streamed archive (data descriptors) made by another writer is indexed as well.
    ASSERT_EQ(Ejecutar("cd " + Citar(En("v1/arbol")) +
                       " && python3 -c 'import os, sys, zipfile\n"
                       "with zipfile.ZipFile(sys.stdout.buffer, \"w\", zipfile.ZIP_DEFLATED) as z:\n"
                       "  for n in sorted(os.path.relpath(os.path.join(r, f)) for r, _, fs in os.walk(\".\") for f in fs): z.write(n)'"
                       " | cat > " + Citar(En("flujo.zip")) + " && " + Citar(MORVANE_SIGN) + " sign " + Citar(En("clave.pem")) + " " + Citar(En("flujo.zip")))
                  .Estado,
              0);
    firma::Indice flujo;
    const auto dFlujo = firma::LeerDeclaracion(Leer(En("flujo.zip.sig")), clave_);
    ASSERT_TRUE(dFlujo);
    ASSERT_FALSE(firma::LeerIndice(Leer(En("flujo.zip.indice")), clave_, *dFlujo, flujo));
    ASSERT_EQ(flujo.Entradas.size(), ficheros);  // no folder entries in this one
    EXPECT_EQ(Leer(En("flujo.zip")).compare(flujo.Entradas[0].EnArchivo.Fin() - 16, 4, "PK\7\x08"), 0);
    for (const auto& e : flujo.Entradas)
        EXPECT_EQ(firma::ResumenFichero(En("v1/arbol/" + e.Nombre)), e.Sha256) << e.Nombre;

    // Not a zip: signed all the same, without an index, and an old one is not left to
    // contradict the new statement.
    fs::create_directory(En("nozip"));
    ASSERT_TRUE(Escribir(En("nozip/Morvane.zip"), Ruido(1000, 4)));
    fs::copy_file(En("v1/Morvane.zip.indice"), En("nozip/Morvane.zip.indice"));
    EXPECT_EQ(Ejecutar(Citar(MORVANE_SIGN) + " sign " + Citar(En("clave.pem")) + " " + Citar(En("nozip/Morvane.zip")) +
                       " 2>/dev/null")
                  .Estado,
              0);
    EXPECT_TRUE(fs::exists(En("nozip/Morvane.zip.sig")));
    EXPECT_FALSE(fs::exists(En("nozip/Morvane.zip.indice")));

    // Refusals. Rows re-signed with the same key reach the checks behind the signature.
    const std::string texto = Leer(En("v1/Morvane.zip.indice"));
    const std::string firmado = texto.substr(0, texto.rfind("firma "));
    const auto d = *firma::LeerDeclaracion(Leer(En("v1/Morvane.zip.sig")), clave_);
    auto Firmar = [&](const std::string& t) { return t + "firma " + prueba::FirmaOpenssl(En("clave.pem"), t) + "\n"; };
    auto Cambiar = [&](std::string t, const std::string& de, const std::string& a) {
        const std::size_t p = t.find(de);
        EXPECT_NE(p, std::string::npos) << de;
        return p == std::string::npos ? t : t.replace(p, de.size(), a);
    };
    std::vector<firma::Entrada> ficherosIndice;
    std::copy_if(indice.Entradas.begin(), indice.Entradas.end(), std::back_inserter(ficherosIndice),
                 [](const firma::Entrada& e) { return !e.EsCarpeta(); });
    const firma::Entrada& primera = ficherosIndice[0];
    const firma::Entrada& segunda = ficherosIndice[1];
    const std::string lineaSegunda = "entrada " + std::to_string(segunda.EnArchivo.Inicio) + " ";
    firma::Declaracion otra = d;
    otra.Sha256[0] ^= 1;
    std::string clavePropia = prueba::ClaveOpenssl(En("otra.pem"));
    struct Caso {
        const char* Que;
        std::string Texto;
        std::string Clave;
        firma::Declaracion Declaracion;
        ErrorIndice Esperado;
    };
    const std::vector<Caso> casos = {
        {"un byte cambiado", Cambiar(texto, " " + primera.Nombre + "\n", " " + primera.Nombre + "x\n"), clave_, d,
         ErrorIndice::FirmaIncorrecta},
        {"otra clave", texto, clavePropia, d, ErrorIndice::FirmaIncorrecta},
        {"otro archivo", texto, clave_, otra, ErrorIndice::OtroArchivo},
        {"sin firma", firmado, clave_, d, ErrorIndice::SinFirma},
        // The signature line is not signed: only its one spelling is read.
        {"firma con un retorno de carro", Cambiar(texto, "firma ", "firma \r"), clave_, d, ErrorIndice::Forma},
        {"nombre que sale", Firmar(Cambiar(firmado, " " + primera.Nombre + "\n", " ../x\n")), clave_, d,
         ErrorIndice::NombreInseguro},
        {"nombre absoluto", Firmar(Cambiar(firmado, " " + primera.Nombre + "\n", " /etc/x\n")), clave_, d,
         ErrorIndice::NombreInseguro},
        {"componente vacío", Firmar(Cambiar(firmado, " " + primera.Nombre + "\n", " a//x\n")), clave_, d,
         ErrorIndice::NombreInseguro},
        {"nombre repetido", Firmar(Cambiar(firmado, " " + segunda.Nombre + "\n", " " + primera.Nombre + "\n")), clave_,
         d, ErrorIndice::NombreRepetido},
        {"rangos solapados",
         Firmar(Cambiar(firmado, lineaSegunda, "entrada " + std::to_string(segunda.EnArchivo.Inicio - 1) + " ")),
         clave_, d, ErrorIndice::RangosSolapados},
        {"más allá del archivo",
         Firmar(Cambiar(firmado, "directorio " + std::to_string(indice.Directorio.Inicio) + " " +
                                     std::to_string(indice.Directorio.Longitud),
                        "directorio " + std::to_string(indice.Directorio.Inicio) + " " +
                            std::to_string(indice.Directorio.Longitud + 1))),
         clave_, d, ErrorIndice::RangoFuera},
        {"demasiado grande", texto + std::string(firma::kLimiteIndice, 'x'), clave_, d, ErrorIndice::Grande},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        firma::Indice leido;
        leido.Tamano = 7;
        EXPECT_EQ(firma::LeerIndice(c.Texto, c.Clave, c.Declaracion, leido), make_error_code(c.Esperado));
        EXPECT_EQ(leido.Tamano, 7u);  // nothing is handed out of a refused index
    }
}

TEST_F(Parcial, SeEligenLosFicherosQueDifierenFaltanOSonEnlaces) {
    const firma::Indice indice = IndiceDe("v2");
    struct Caso {
        const char* Que;
        std::function<void(const std::string& instalada)> Preparar;
        std::vector<std::string> Esperadas;
    };
    const std::vector<std::string> deLaVersion = {"leeme.txt", "nuevo.txt"};
    auto Mas = [&](std::vector<std::string> v, const std::string& n) {
        v.push_back(n);
        std::sort(v.begin(), v.end());
        return v;
    };
    const std::vector<Caso> casos = {
        {"la versión anterior tal cual", [](const std::string&) {}, deLaVersion},
        {"un fichero cambiado aquí", [](const std::string& c) { Escribir(c + "/lib/datos.bin", "mío"); },
         Mas(deLaVersion, "lib/datos.bin")},
        {"mismo tamaño, otro contenido",
         [](const std::string& c) {
             std::string t = Leer(c + "/Morvane.exe");
             t[t.size() / 2] ^= 1;
             Escribir(c + "/Morvane.exe", t);
         },
         Mas(deLaVersion, "Morvane.exe")},
        {"un enlace al fichero bueno",
         [&](const std::string& c) {
             fs::remove(c + "/Morvane.exe");
             fs::create_symlink(En("v2/arbol/Morvane.exe"), c + "/Morvane.exe");
         },
         Mas(deLaVersion, "Morvane.exe")},
        {"una carpeta enlazada",
         [&](const std::string& c) {
             fs::remove_all(c + "/lib");
             fs::create_directory_symlink(En("v2/arbol/lib"), c + "/lib");
         },
         Mas(Mas(deLaVersion, "lib/datos.bin"), "lib/vacio")},
        {"una carpeta donde va un fichero",
         [](const std::string& c) {
             fs::remove(c + "/leeme.txt");
             fs::create_directory(c + "/leeme.txt");
         },
         deLaVersion},
        {"una fifo donde va un fichero vacío",
         [](const std::string& c) {
             fs::remove(c + "/lib/vacio");
             ASSERT_EQ(::mkfifo((c + "/lib/vacio").c_str(), 0600), 0);
         },
         Mas(deLaVersion, "lib/vacio")},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        prueba::DirectorioTemporal instalada("instalada ");
        fs::copy(En("v1/arbol"), instalada.Ruta(), fs::copy_options::recursive);
        c.Preparar(instalada.Ruta());
        std::vector<std::size_t> sel;
        ASSERT_FALSE(parcial::Seleccionar(indice, instalada.Ruta(), sel));
        EXPECT_EQ(Nombres(indice, sel), c.Esperadas);
    }
    std::vector<std::size_t> sel = {99};
    EXPECT_TRUE(parcial::Seleccionar(indice, En("no existe"), sel));
    EXPECT_TRUE(sel.empty());
    // A Cancelar ends the reading of the product, with nothing selected.
    sel = {99};
    EXPECT_EQ(parcial::Seleccionar(indice, En("v1/arbol"), sel, [] { return false; }),
              std::errc::operation_canceled);
    EXPECT_TRUE(sel.empty());
}

// What a selection learnt is kept so that an unchanged file is not read again, yet an edit
// that keeps the size and puts the date back is still seen, a file written just before is
// not kept, and a record someone else could have written is not believed.
TEST_F(Parcial, LoAprendidoNoOcultaUnCambio) {
    const firma::Indice indice = IndiceDe("v2");
    const std::vector<std::string> deLaVersion = {"leeme.txt", "nuevo.txt"};
    const std::vector<std::string> conExe = {"Morvane.exe", "leeme.txt", "nuevo.txt"};
    prueba::DirectorioTemporal instalada("instalada ");
    fs::copy(En("v1/arbol"), instalada.Ruta(), fs::copy_options::recursive);
    const std::string registro = instalada.En(parcial::kResumenes);
    auto Elegir = [&] {
        std::vector<std::size_t> sel;
        EXPECT_FALSE(parcial::Seleccionar(indice, instalada.Ruta(), sel));
        return Nombres(indice, sel);
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the copies settle
    Escribir(instalada.En("otro espacio/ñ.txt"), "hola\n");
    EXPECT_EQ(Elegir(), deLaVersion);
    const std::string aprendido = Leer(registro);
    EXPECT_NE(aprendido.find(" lib/datos.bin\n"), std::string::npos);
    EXPECT_EQ(aprendido.find("ñ.txt"), std::string::npos);

    // Believed: a record saying Morvane.exe has another digest makes it change, unless
    // the record is not ours alone.
    const std::size_t exe = aprendido.find(" Morvane.exe\n");
    ASSERT_NE(exe, std::string::npos);
    std::string falso = aprendido;
    falso.replace(exe - 64, 64, std::string(64, '0'));
    struct Caso {
        const char* Que;
        std::function<void()> Preparar;
        bool Creido;
    };
    const std::vector<Caso> casos = {
        {"nuestro", [] {}, true},
        {"escribible por otros", [&] { ::chmod(registro.c_str(), 0666); }, false},
        {"de otro usuario", [&] { ASSERT_EQ(::chown(registro.c_str(), 65534, 65534), 0); }, false},
        {"un enlace",
         [&] {
             fs::rename(registro, instalada.En("falso"));
             fs::create_symlink("falso", registro);
         },
         false},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        fs::remove(registro);
        Escribir(registro, falso);
        ::chmod(registro.c_str(), 0600);
        c.Preparar();
        EXPECT_EQ(Elegir(), c.Creido ? conExe : deLaVersion);
    }

    // One byte edited in place and the date put back: same inode, size and date.
    const std::string ruta = instalada.En("Morvane.exe");
    struct stat antes {};
    ASSERT_EQ(::stat(ruta.c_str(), &antes), 0);
    {
        const int fd = ::open(ruta.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        char c = 0;
        EXPECT_EQ(::pread(fd, &c, 1, 1000), 1);
        c ^= 1;
        EXPECT_EQ(::pwrite(fd, &c, 1, 1000), 1);
        ::close(fd);
    }
    const struct timespec fechas[2] = {antes.st_atim, antes.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, ruta.c_str(), fechas, 0), 0);
    ASSERT_NE(Leer(registro).find(" Morvane.exe\n"), std::string::npos);
    EXPECT_EQ(Elegir(), conExe);
}

TEST(ParcialRangos, LosCercanosSeJuntanYElDirectorioVaSiempre) {
    struct Caso {
        const char* Que;
        std::vector<Rango> Entrada;
        uint64_t Hueco;
        std::vector<Rango> Esperado;
    };
    const std::vector<Caso> casos = {
        {"contiguos", {{0, 10}, {10, 5}}, 0, {{0, 15}}},
        {"hueco bajo el umbral", {{100, 10}, {0, 10}, {65646, 5}}, 65536, {{0, 110}, {65646, 5}}},
        {"hueco del umbral", {{0, 10}, {65546, 5}}, 65536, {{0, 10}, {65546, 5}}},
        {"uno dentro de otro", {{0, 100}, {10, 5}, {200, 1}}, 0, {{0, 100}, {200, 1}}},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        EXPECT_EQ(parcial::Coalescer(c.Entrada, c.Hueco), c.Esperado);
    }

    firma::Indice indice;
    indice.Tamano = 10'000'000;
    indice.Directorio = {9'000'000, 1'000'000};
    for (uint64_t i = 0; i < 20; ++i) indice.Entradas.push_back({std::to_string(i), {i * 400'000, 100'000}});
    const auto plan = parcial::Planear(indice, {0, 2, 4, 6, 8, 10, 12, 14, 16, 18}, 65536, 4);
    ASSERT_EQ(plan.Peticiones.size(), 3u);  // 10 entries and the directory, 4 a request
    EXPECT_EQ(plan.Peticiones[2].back(), indice.Directorio);
    EXPECT_EQ(plan.Bytes, 2'000'000u);
    EXPECT_FALSE(plan.ArchivoEntero);
    EXPECT_EQ(parcial::CabeceraRange(plan.Peticiones[0]), "bytes=0-99999,800000-899999,1600000-1699999,2400000-2499999");
    std::vector<std::size_t> todas(20);
    std::iota(todas.begin(), todas.end(), 0);
    EXPECT_FALSE(parcial::Planear(indice, todas, 65536).ArchivoEntero);  // 3 MB of 10
    EXPECT_TRUE(parcial::Planear(indice, todas, 300'001).ArchivoEntero);  // the gaps too: 8.7 MB
    EXPECT_TRUE(parcial::Planear(indice, {}).Peticiones.empty());
}

// One 206 body for `rangos` of `archivo`: multipart when there are several.
struct Respuesta {
    std::string Tipo, ContentRange, Cuerpo;
};
Respuesta Responder(const std::string& archivo, const std::vector<Rango>& rangos) {
    auto Cr = [&](const Rango& r) {
        return "bytes " + std::to_string(r.Inicio) + "-" + std::to_string(r.Fin() - 1) + "/" + std::to_string(archivo.size());
    };
    if (rangos.size() == 1) return {"application/zip", Cr(rangos[0]), archivo.substr(rangos[0].Inicio, rangos[0].Longitud)};
    Respuesta r{"multipart/byteranges; boundary=\"3d6b6a416f9b5\"", "", ""};
    for (const Rango& x : rangos)
        r.Cuerpo += "\r\n--3d6b6a416f9b5\r\nContent-Type: application/zip\r\nContent-Range: " + Cr(x) + "\r\n\r\n" +
                    archivo.substr(x.Inicio, x.Longitud);
    r.Cuerpo += "\r\n--3d6b6a416f9b5--\r\n";
    return r;
}

TEST(ParcialRespuesta, SeLeenLasFormasQueDanLosServidores) {
    const std::string archivo = Ruido(5000, 9) + "--3d6b6a416f9b5\r\n" + Ruido(1000, 10);
    struct Caso {
        const char* Que;
        int Estado;
        Respuesta R;
        std::vector<Rango> Esperado;  // the runs handed on
        std::error_code Error;
    };
    Respuesta cortada = Responder(archivo, {{0, 100}, {4990, 40}});
    cortada.Cuerpo.resize(cortada.Cuerpo.size() - 30);
    Respuesta larga = Responder(archivo, {{0, 100}, {4990, 40}});
    larga.Cuerpo.replace(larga.Cuerpo.find("0-99/"), 5, "0-98/");  // one byte more than it says
    Respuesta malDelimitada = Responder(archivo, {{0, 100}, {4990, 40}});
    malDelimitada.Cuerpo.replace(malDelimitada.Cuerpo.find("--3d6b", 10), 2, "XX");
    Respuesta otroTamano = Responder(archivo, {{10, 20}});
    otroTamano.ContentRange = "bytes 10-29/6018";
    const std::vector<Caso> casos = {
        {"un rango", 206, Responder(archivo, {{10, 20}}), {{10, 20}}, {}},
        {"dos partes, la frontera en los datos", 206, Responder(archivo, {{0, 100}, {4990, 40}}), {{0, 100}, {4990, 40}}, {}},
        {"un rango que junta dos pedidos", 206, Responder(archivo, {{0, 6000}}), {{0, 6000}}, {}},
        {"el archivo entero", 200, {"application/zip", "", archivo}, {}, parcial::Error::ArchivoEntero},
        {"un 416", 416, {"text/html", "", "no"}, {}, parcial::Error::Estado},
        {"de otro tamaño", 206, otroTamano, {}, parcial::Error::OtroArchivo},
        {"cortada", 206, cortada, {{0, 100}, {4990, 31}}, parcial::Error::Incompleta},
        {"una parte más larga que su rango", 206, larga, {{0, 99}}, parcial::Error::RespuestaMalformada},
        {"otra cosa donde va el delimitador", 206, malDelimitada, {{0, 100}}, parcial::Error::RespuestaMalformada},
        {"más de lo pedido", 206, {"application/zip", "bytes 0-9/" + std::to_string(archivo.size()), archivo.substr(0, 11)},
         {{0, 10}}, parcial::Error::RespuestaMalformada},
    };
    for (const Caso& c : casos) {
        for (std::size_t pieza : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
            SCOPED_TRACE(std::string(c.Que) + ", piezas de " + std::to_string(pieza));
            std::vector<Rango> vistos;
            bool bien = true;
            parcial::LectorRespuesta lector(c.Estado, c.R.Tipo, c.R.ContentRange, archivo.size(),
                                            [&](uint64_t inicio, const unsigned char* p, std::size_t n) {
                                                bien = bien && archivo.compare(inicio, n, reinterpret_cast<const char*>(p), n) == 0;
                                                if (!vistos.empty() && vistos.back().Fin() == inicio) vistos.back().Longitud += n;
                                                else vistos.push_back({inicio, n});
                                                return std::error_code();
                                            });
            EXPECT_EQ(lector.Entero(), c.Estado == 200);
            const auto* p = reinterpret_cast<const unsigned char*>(c.R.Cuerpo.data());
            std::error_code error;
            for (std::size_t i = 0; i < c.R.Cuerpo.size() && !error; i += pieza)
                error = lector.Anadir(p + i, std::min(pieza, c.R.Cuerpo.size() - i));
            if (!error) error = lector.Terminar();
            EXPECT_EQ(error, c.Error);
            EXPECT_EQ(vistos, c.Esperado);
            EXPECT_TRUE(bien);
        }
    }
}

// The changed entries of v2, fetched from its archive by range answers, assembled, unpacked
// by unzip and checked: the files are v2's, byte for byte.
TEST_F(Parcial, ElZipDeLoCambiadoDesempaquetaLaVersionNueva) {
    const firma::Indice indice = IndiceDe("v2");
    const std::string archivo = Leer(En("v2/Morvane.zip"));
    prueba::DirectorioTemporal instalada("instalada ");
    fs::copy(En("v1/arbol"), instalada.Ruta(), fs::copy_options::recursive);
    std::vector<std::size_t> sel;
    ASSERT_FALSE(parcial::Seleccionar(indice, instalada.Ruta(), sel));
    ASSERT_EQ(Nombres(indice, sel), (std::vector<std::string>{"leeme.txt", "nuevo.txt"}));
    // Merged over other entries' bytes, which the assembly must drop.
    const auto plan = parcial::Planear(indice, sel);
    ASSERT_EQ(plan.Peticiones.size(), 1u);

    // Answered with everything but the last 100 bytes, then the rest asked for again.
    prueba::DirectorioTemporal preparacion("preparacion ");
    parcial::Ensamblador ensamblador(indice, sel);
    ASSERT_FALSE(ensamblador.Abrir(preparacion.Ruta(), "Morvane.zip"));
    auto Servir = [&](const std::vector<Rango>& rangos, std::size_t quitar) {
        Respuesta r = Responder(archivo, rangos);
        r.Cuerpo.resize(r.Cuerpo.size() - quitar);
        parcial::LectorRespuesta lector(206, r.Tipo, r.ContentRange, archivo.size(),
                                        [&](uint64_t i, const unsigned char* p, std::size_t n) {
                                            return ensamblador.Recibir(i, p, n);
                                        });
        const auto e = lector.Anadir(reinterpret_cast<const unsigned char*>(r.Cuerpo.data()), r.Cuerpo.size());
        return e ? e : lector.Terminar();
    };
    const Rango dir = indice.Directorio;
    // A run that skips ahead within an entry is not taken: the entry's digest covers it.
    for (std::size_t i : sel)
        if (indice.Entradas[i].Nombre == "nuevo.txt") {
            const uint64_t salto = indice.Entradas[i].EnArchivo.Inicio + 10;
            ASSERT_FALSE(ensamblador.Recibir(salto, reinterpret_cast<const unsigned char*>(archivo.data()) + salto, 50));
        }
    ASSERT_EQ(Servir(plan.Peticiones[0], 100 + 21), parcial::Error::Incompleta);  // and the closing line
    EXPECT_EQ(ensamblador.Terminar(), parcial::Error::Incompleta);
    EXPECT_EQ(ensamblador.Pendientes(), (std::vector<Rango>{{dir.Fin() - 100, 100}}));
    ASSERT_FALSE(Servir(ensamblador.Pendientes(), 0));
    ASSERT_FALSE(ensamblador.Terminar());

    prueba::DirectorioTemporal fuera("fuera ");
    ASSERT_EQ(Ejecutar("cd " + Citar(fuera.Ruta()) + " && unzip -q " + Citar(preparacion.En("Morvane.zip"))).Estado, 0);
    std::vector<std::string> unzipados;
    for (const auto& e : fs::recursive_directory_iterator(fuera.Ruta()))
        if (e.is_regular_file()) unzipados.push_back(fs::relative(e.path(), fuera.Ruta()).string());
    std::sort(unzipados.begin(), unzipados.end());
    EXPECT_EQ(unzipados, Nombres(indice, sel));
    for (const std::string& n : unzipados) EXPECT_EQ(Leer(fuera.En(n)), Leer(En("v2/arbol/" + n))) << n;
    std::string detalle;
    EXPECT_FALSE(parcial::Comprobar(indice, sel, fuera.Ruta(), &detalle));
    Escribir(fuera.En("nuevo.txt"), Leer(fuera.En("nuevo.txt")) + "x");
    EXPECT_EQ(parcial::Comprobar(indice, sel, fuera.Ruta(), &detalle), parcial::Error::Distinto);
    EXPECT_EQ(detalle, "nuevo.txt");

    // A range with one byte changed is refused at once, and so is a central directory with
    // one byte changed once every entry is in: neither leaves a file behind.
    uint64_t enEntrada = 0;
    for (std::size_t i : sel)
        if (indice.Entradas[i].Nombre == "nuevo.txt") enEntrada = indice.Entradas[i].EnArchivo.Inicio + 200;
    struct Alteracion {
        uint64_t Donde;
        std::error_code AlLeer, AlTerminar;
    };
    prueba::DirectorioTemporal otra("otra ");
    for (const Alteracion& c : {Alteracion{enEntrada, parcial::Error::RangoAlterado, parcial::Error::RangoAlterado},
                                Alteracion{dir.Inicio + 16, {}, parcial::Error::DirectorioAlterado}}) {
        SCOPED_TRACE(c.Donde);
        std::string alterado = archivo;
        alterado[c.Donde] ^= 1;
        {
            parcial::Ensamblador malo(indice, sel);
            ASSERT_FALSE(malo.Abrir(otra.Ruta(), "Morvane.zip"));
            const Respuesta r = Responder(alterado, plan.Peticiones[0]);
            parcial::LectorRespuesta lector(206, r.Tipo, r.ContentRange, archivo.size(),
                                            [&](uint64_t i, const unsigned char* p, std::size_t n) {
                                                return malo.Recibir(i, p, n);
                                            });
            EXPECT_EQ(lector.Anadir(reinterpret_cast<const unsigned char*>(r.Cuerpo.data()), r.Cuerpo.size()),
                      c.AlLeer);
            EXPECT_EQ(malo.Terminar(), c.AlTerminar);
            EXPECT_FALSE(otra.Hay("Morvane.zip"));
        }
        EXPECT_TRUE(fs::is_empty(otra.Ruta()));
    }
}

// The ranges named by a Range header "bytes=a-b,c-d".
std::vector<Rango> RangosPedidos(const std::string& cabecera) {
    std::vector<Rango> rangos;
    std::size_t p = cabecera.find('=');
    while (p != std::string::npos) {
        const std::size_t guion = cabecera.find('-', p), coma = cabecera.find(',', p + 1);
        const uint64_t a = std::stoull(cabecera.substr(p + 1, guion - p - 1));
        const uint64_t b = std::stoull(cabecera.substr(guion + 1, coma - guion - 1));
        rangos.push_back({a, b - a + 1});
        p = coma;
    }
    return rangos;
}

// Two entries far apart fetched from a real server on loopback, answered each way servers
// answer, broken off, tampered with or cancelled; what was asked is read from its log.
TEST_F(Parcial, LosRangosSePidenAlServidorYSeReanudanSinTocarLoAjeno) {
    const firma::Indice indice = IndiceDe("v2");
    const std::string archivo = Leer(En("v2/Morvane.zip"));
    std::vector<std::size_t> sel;
    for (std::size_t i = 0; i < indice.Entradas.size(); ++i)
        if (!indice.Entradas[i].EsCarpeta()) sel.push_back(i);
    sel = {sel.front(), sel.back()};
    const auto inicial = parcial::Coalescer(
        {indice.Entradas[sel[0]].EnArchivo, indice.Entradas[sel[1]].EnArchivo, indice.Directorio});
    ASSERT_GE(inicial.size(), 2u);  // a multipart answer, then
    const Rango dir = indice.Directorio;
    const uint64_t falta = std::min<uint64_t>(100, dir.Longitud / 2);
    std::string alterado = archivo;
    alterado[indice.Entradas[sel[0]].EnArchivo.Inicio + 40] ^= 1;

    auto Parcial206 = [](const Respuesta& r) {
        std::vector<std::string> h = {"Content-Type: " + r.Tipo};
        if (!r.ContentRange.empty()) h.push_back("Content-Range: " + r.ContentRange);
        return prueba::Respuesta::Simple("206 Partial Content", r.Cuerpo, h);
    };
    sistema::Cancelacion cancelacion;
    struct Caso {
        const char* Que;
        std::function<prueba::Respuesta(const std::vector<Rango>& pedidos, std::size_t vez)> Guion;
        std::error_code Error;
        std::vector<std::string> Pedidos;  // the Range headers the server saw
    };
    const std::vector<Caso> casos = {
        {"multiparte", [&](const auto& p, std::size_t) { return Parcial206(Responder(archivo, p)); }, {},
         {parcial::CabeceraRange(inicial)}},
        {"un rango que los junta",
         [&](const auto& p, std::size_t) {
             return Parcial206(Responder(archivo, {{p.front().Inicio, p.back().Fin() - p.front().Inicio}}));
         },
         {}, {parcial::CabeceraRange(inicial)}},
        {"un servidor que no atiende Range",
         [&](const auto&, std::size_t) { return prueba::Respuesta::Simple("200 OK", archivo); },
         parcial::Error::ArchivoEntero, {parcial::CabeceraRange(inicial)}},
        {"un 416", [&](const auto&, std::size_t) { return prueba::Respuesta::Simple("416 Range Not Satisfiable", ""); },
         parcial::Error::Estado, {parcial::CabeceraRange(inicial)}},
        {"cortada y reanudada",
         [&](const auto& p, std::size_t vez) {
             prueba::Respuesta r = Parcial206(Responder(archivo, p));
             if (vez == 0) r.Cuerpo[0].Datos.resize(r.Cuerpo[0].Datos.size() - falta - 21);  // and the closing line
             return r;
         },
         {}, {parcial::CabeceraRange(inicial), parcial::CabeceraRange({{dir.Fin() - falta, falta}})}},
        {"un byte alterado", [&](const auto& p, std::size_t) { return Parcial206(Responder(alterado, p)); },
         parcial::Error::RangoAlterado, {parcial::CabeceraRange(inicial)}},
        {"cancelada mientras el servidor calla",
         [&](const auto&, std::size_t) {
             cancelacion.Activar();
             return prueba::Respuesta::Cruda("", {}, prueba::Final::Colgar);
         },
         std::make_error_code(std::errc::operation_canceled), {parcial::CabeceraRange(inicial)}},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        cancelacion.Reiniciar();
        std::size_t vez = 0;
        prueba::ServidorHttp servidor([&](const prueba::Peticion& p) { return c.Guion(RangosPedidos(p.Cabecera("Range")), vez++); });
        zkDownload::Ajustes ajustes;
        // Long enough that only the token can end a silent server inside the test's time.
        ajustes.EsperaConexion = ajustes.EsperaInactividad = ajustes.SueloVelocidad = std::chrono::hours(1);
        ajustes.EsperaEntreIntentos = std::chrono::milliseconds(1);
        ajustes.Cancelacion = &cancelacion;
        prueba::DirectorioTemporal preparacion("preparacion ");
        {
            parcial::Ensamblador ensamblador(indice, sel);
            ASSERT_FALSE(ensamblador.Abrir(preparacion.Ruta(), "Morvane.zip"));
            uint64_t visto = 0;
            const auto r = parcial::DescargarRangos("http://127.0.0.1/web/lurenet/Morvane.zip",
                                                    prueba::Puerto16(servidor.Puerto()), ajustes, ensamblador,
                                                    [&](uint64_t n) { visto = n; });
            EXPECT_EQ(r.Error, c.Error) << r.Codigo << " " << r.Mensaje << " " << r.MotivoRed;
            EXPECT_EQ(r.Entero, c.Error == parcial::Error::ArchivoEntero);
            std::vector<std::string> pedidos;
            for (const auto& p : servidor.Peticiones()) pedidos.push_back(p.Cabecera("Range"));
            EXPECT_EQ(pedidos, c.Pedidos);
            EXPECT_EQ(r.Peticiones, static_cast<int>(c.Pedidos.size()));
            if (!c.Error) {
                EXPECT_EQ(visto, indice.Entradas[sel[0]].EnArchivo.Longitud +
                                     indice.Entradas[sel[1]].EnArchivo.Longitud + dir.Longitud);
                ASSERT_FALSE(ensamblador.Terminar());
            }
        }
        if (c.Error) {
            EXPECT_TRUE(fs::is_empty(preparacion.Ruta()));
            continue;
        }
        prueba::DirectorioTemporal fuera("fuera ");
        ASSERT_EQ(Ejecutar("cd " + Citar(fuera.Ruta()) + " && unzip -q " + Citar(preparacion.En("Morvane.zip"))).Estado, 0);
        for (std::size_t i : sel)
            EXPECT_EQ(Leer(fuera.En(indice.Entradas[i].Nombre)), Leer(En("v2/arbol/" + indice.Entradas[i].Nombre)));
    }
}

// Through the whole session with a key, from v1 with one file the user changed: what
// differs from v2 comes by range and only that, and the tree is v2's byte for byte; a
// server that ignores Range gives the same tree from the whole archive; bytes or an index
// that are not the signed ones are refused, the product as it was and nothing left behind.
TEST_F(Parcial, LaSesionTraeSoloLoQueCambio) {
    const std::string url = URLActualizacion;
    const std::string archivo = Leer(En("v2/Morvane.zip"));
    const firma::Indice indice = IndiceDe("v2");
    std::string alterado = archivo;
    for (const auto& e : indice.Entradas)
        if (e.Nombre == "leeme.txt") alterado[e.EnArchivo.Inicio + e.EnArchivo.Longitud / 2] ^= 1;
    struct Caso {
        const char* Que;
        bool IgnoraRange = false, Alterar = false, IndiceAjeno = false;
        sesion::Resultado Resultado;
        // What unpacks the archive: unzip, or a tool that leaves something else.
        std::string Kelunzip = "#!/bin/sh\nexec unzip -q -o Morvane.zip\n";
    };
    const std::vector<Caso> casos = {
        {"lo cambiado, por rangos", false, false, false, sesion::Resultado::Actualizado},
        {"un servidor que no atiende Range", true, false, false, sesion::Resultado::Actualizado},
        {"un rango alterado", false, true, false, sesion::Resultado::FirmaNoValida},
        {"el índice de otra publicación", false, false, true, sesion::Resultado::FirmaNoValida},
        {"lo desempaquetado no es lo firmado", false, false, false, sesion::Resultado::ErrorInstalacion,
         "#!/bin/sh\nunzip -q -o Morvane.zip && echo más >> leeme.txt\n"},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.Que);
        prueba::ServidorHttp servidor([&](const prueba::Peticion& p) {
            if (p.Destino == url + ".sig") return prueba::Respuesta::Simple("200 OK", Leer(En("v2/Morvane.zip.sig")));
            if (p.Destino == url + ".indice")
                return prueba::Respuesta::Simple("200 OK", Leer(En(c.IndiceAjeno ? "v1/Morvane.zip.indice"
                                                                                 : "v2/Morvane.zip.indice")));
            if (p.Destino != url) return prueba::Respuesta::Simple("404 Not Found", "");
            if (!p.Tiene("Range") || c.IgnoraRange) return prueba::Respuesta::Simple("200 OK", archivo);
            const Respuesta r = Responder(c.Alterar ? alterado : archivo, RangosPedidos(p.Cabecera("Range")));
            std::vector<std::string> h = {"Content-Type: " + r.Tipo};
            if (!r.ContentRange.empty()) h.push_back("Content-Range: " + r.ContentRange);
            return prueba::Respuesta::Simple("206 Partial Content", r.Cuerpo, h);
        });
        ::setenv("http_proxy", ("http://" + servidor.Direccion()).c_str(), 1);
        prueba::DirectorioTemporal inst("instalada ");
        fs::copy(En("v1/arbol"), inst.Ruta(), fs::copy_options::recursive);
        Escribir(inst.En("otro espacio/ñ.txt"), "adiós\n");  // the user's own change
        Escribir(inst.En("Kelunzip"), c.Kelunzip, true);
        prueba::FijarFecha(inst.En("Morvane.exe"), prueba::HoraLocal(2001, 1, 1));
        const std::string antes = Leer(inst.En("otro espacio/ñ.txt"));

        prueba::Mudo mudo;
        prueba::EnLinea hilos;
        sesion::Sesion s({inst.Ruta(), url, clave_, std::chrono::seconds(5), std::chrono::seconds(5)}, mudo, hilos);
        s.Actualizar();
        ::unsetenv("http_proxy");
        EXPECT_EQ(s.UltimoResultado(), c.Resultado) << s.Texto() << " " << s.Motivo();

        uint64_t pedidos = 0;
        bool entero = false;
        for (const auto& p : servidor.Peticiones()) {
            if (p.Destino != url) continue;
            entero = entero || !p.Tiene("Range");
            for (const Rango& r : RangosPedidos(p.Cabecera("Range"))) pedidos += r.Longitud;
        }
        if (c.Resultado == sesion::Resultado::Actualizado) {
            for (const auto& e : fs::recursive_directory_iterator(En("v2/arbol"))) {
                if (!e.is_regular_file()) continue;
                const std::string nombre = fs::relative(e.path(), En("v2/arbol")).string();
                EXPECT_TRUE(Leer(inst.En(nombre)) == Leer(e.path().string())) << nombre;
            }
            // Only the changed entries and the directory crossed the network, in ranges.
            if (!c.IgnoraRange) {
                EXPECT_FALSE(entero);
                EXPECT_GT(pedidos, 0u);
                EXPECT_LT(pedidos, archivo.size() / 2);
            }
        } else {
            // Nothing of the new release placed, nor a whole archive fetched after a refusal.
            EXPECT_EQ(Leer(inst.En("otro espacio/ñ.txt")), antes);
            EXPECT_TRUE(Leer(inst.En("leeme.txt")) == Leer(En("v1/arbol/leeme.txt")));
            EXPECT_FALSE(inst.Hay("nuevo.txt"));
            EXPECT_FALSE(entero);
        }
        EXPECT_FALSE(inst.Hay("Morvane.zip"));
        EXPECT_FALSE(inst.Hay(".Morvane-parcial.zip"));
        EXPECT_FALSE(inst.Hay(".Morvane-instalacion"));
        EXPECT_TRUE(inst.Temporales().empty());
    }
}

}  // namespace
