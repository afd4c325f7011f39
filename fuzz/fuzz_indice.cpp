// The signed index's form and the reading of range answers. The first byte picks which.
//
// Index: whatever is read back is the one spelling of its fields (written again, the same
// bytes), within the bounds, with safe names and ranges in order inside the archive.
// Range answer (status, Content-Type and Content-Range on the next two lines, then the
// body fed in pieces whose sizes the input chooses): every run handed on lies inside the
// archive, and once an error is reported nothing more is handed on.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "comprobar.h"
#include "indice.h"
#include "respuesta_rango.h"

namespace {

void Indice(std::string_view texto) {
    using fuzz::Comprobar;
    firma::Indice indice;
    std::vector<unsigned char> firmaBytes;
    if (firma::LeerFormaIndice(texto, indice, &firmaBytes)) return;
    Comprobar(texto.size() <= firma::kLimiteIndice, "never over the limit");
    Comprobar(indice.Entradas.size() <= firma::kMaximoEntradas, "never over the entries");
    Comprobar(firma::TextoIndice(indice) + "firma " +
                      firma::CodificarBase64(firmaBytes.data(), firmaBytes.size()) + "\n" ==
                  texto,
              "only one spelling is read");
    Comprobar(indice.Directorio.Fin() == indice.Tamano, "the directory ends the archive");
    uint64_t hasta = 0;
    for (const firma::Entrada& e : indice.Entradas) {
        Comprobar(e.EnArchivo.Inicio >= hasta && e.EnArchivo.Fin() <= indice.Directorio.Inicio,
                  "ranges in order, apart, before the directory");
        hasta = e.EnArchivo.Fin();
        std::string_view nombre = e.Nombre;
        if (e.EsCarpeta()) nombre.remove_suffix(1);
        Comprobar(firma::NombreSeguro(nombre), "only safe names");
    }
}

void Respuesta(std::string_view datos) {
    using fuzz::Comprobar;
    if (datos.size() < 2) return;
    static constexpr int kEstados[] = {200, 206, 206, 206, 416, 500};
    const int estado = kEstados[static_cast<unsigned char>(datos[0]) % 6];
    const std::size_t pieza = static_cast<unsigned char>(datos[1]) % 64 + 1;
    datos.remove_prefix(2);
    auto Linea = [&datos]() {
        const std::size_t fin = datos.find('\n');
        const std::string_view l = datos.substr(0, fin);
        datos.remove_prefix(fin == std::string_view::npos ? datos.size() : fin + 1);
        return l;
    };
    const std::string_view tipo = Linea(), rango = Linea();
    constexpr uint64_t kTamano = 100000;
    bool fallado = false;
    parcial::LectorRespuesta lector(estado, tipo, rango, kTamano,
                                    [&](uint64_t inicio, const unsigned char*, std::size_t n) {
                                        Comprobar(!fallado, "nothing after a failure");
                                        Comprobar(n > 0 && inicio < kTamano && n <= kTamano - inicio,
                                                  "runs inside the archive");
                                        return std::error_code();
                                    });
    Comprobar(lector.Entero() == (estado == 200), "a 200 is the whole archive");
    const auto* p = reinterpret_cast<const unsigned char*>(datos.data());
    for (std::size_t i = 0; i < datos.size(); i += pieza)
        if (lector.Anadir(p + i, std::min(pieza, datos.size() - i))) fallado = true;
    if (lector.Terminar()) fallado = true;
    Comprobar(!fallado || lector.Error(), "a failure stays reported");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    if (n == 0) return 0;
    const std::string_view texto(reinterpret_cast<const char*>(datos) + 1, n - 1);
    if (datos[0] & 1) Respuesta(texto);
    else Indice(texto);
    return 0;
}
