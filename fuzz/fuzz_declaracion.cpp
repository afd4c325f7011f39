// The release statement's form: whatever is read back is the one spelling of its fields
// (written again, the same bytes), and its times are the calendar times they name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "comprobar.h"
#include "declaracion.h"
#include "firma.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    using fuzz::Comprobar;
    const std::string texto(reinterpret_cast<const char*>(datos), n);
    std::vector<unsigned char> firmaBytes;
    const auto d = firma::LeerForma(texto, &firmaBytes);
    if (d) {
        Comprobar(texto.size() <= firma::kLimiteDeclaracion, "never over the limit");
        Comprobar(d->Caduca > d->Publicado, "stale only after published");
        Comprobar(firmaBytes.size() == firma::kBytesFirma, "a whole signature");
        Comprobar(firma::TextoFirmado(*d) + "firma " +
                          firma::CodificarBase64(firmaBytes.data(), firmaBytes.size()) + "\n" ==
                      texto,
                  "only one spelling is read");
    }
    // A time read is written back as it was.
    if (n == 20) {
        if (const auto t = firma::LeerInstante(texto))
            Comprobar(firma::EscribirInstante(*t) == texto, "times round-trip");
    }
    return 0;
}
