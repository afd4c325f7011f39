// URL splitting: the pieces put back together give the URL again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "comprobar.h"
#include "texto_http.h"
#include "lecturas.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    const std::string url(reinterpret_cast<const char*>(datos), n);
    const lecturas::PartesURL r = lecturas::DividirURL(url);

    const size_t separador = url.find("://");
    const std::string prefijo = separador == std::string::npos ? "" : url.substr(0, separador + 3);
    Comprobar(separador == std::string::npos
                  ? r.Esquema == "http"
                  : internet::texto::IgualesSinCaso(r.Esquema, url.substr(0, separador)),
              "the scheme is what precedes the first ://, in lower case");
    for (char c : r.Esquema) Comprobar(c < 'A' || c > 'Z', "the scheme has no upper case");
    Comprobar(r.Admitido == (r.Esquema == "http" || r.Esquema == "https"),
              "only http and https are admitted");
    if (!r.Admitido) {
        Comprobar(r.Host.empty() && r.Ruta.empty(), "a refused URL gives no host or path");
        return 0;
    }
    Comprobar(r.Host.find('/') == std::string::npos, "the host holds no /");
    Comprobar(r.Ruta.empty() || r.Ruta[0] == '/', "the path is empty or begins with /");
    Comprobar(prefijo + r.Host + r.Ruta == url || (r.Ruta.empty() && prefijo + r.Host + "/" == url),
              "scheme, host and path put together give the URL");
    return 0;
}
