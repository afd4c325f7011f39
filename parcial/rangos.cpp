#include "rangos.h"

#include <algorithm>

namespace parcial {

std::vector<firma::Rango> Coalescer(std::vector<firma::Rango> rangos, uint64_t hueco) {
    std::erase_if(rangos, [](const firma::Rango& r) { return r.Longitud == 0; });
    std::sort(rangos.begin(), rangos.end(),
              [](const firma::Rango& a, const firma::Rango& b) { return a.Inicio < b.Inicio; });
    std::vector<firma::Rango> juntos;
    for (const firma::Rango& r : rangos) {
        // Sorted: r starts at or after the last one. Touching or overlapping ranges are one,
        // and so are ranges whose gap is under `hueco`.
        if (!juntos.empty() &&
            (r.Inicio <= juntos.back().Fin() || r.Inicio - juntos.back().Fin() < hueco)) {
            firma::Rango& ultimo = juntos.back();
            ultimo.Longitud = std::max(ultimo.Fin(), r.Fin()) - ultimo.Inicio;
            continue;
        }
        juntos.push_back(r);
    }
    return juntos;
}

Plan Planear(const firma::Indice& indice, const std::vector<std::size_t>& seleccion, uint64_t hueco,
             std::size_t porPeticion) {
    Plan plan;
    std::vector<firma::Rango> rangos;
    for (std::size_t i : seleccion)
        if (i < indice.Entradas.size() && !indice.Entradas[i].EsCarpeta())
            rangos.push_back(indice.Entradas[i].EnArchivo);
    if (rangos.empty()) return plan;
    rangos.push_back(indice.Directorio);
    rangos = Coalescer(std::move(rangos), hueco);
    for (const firma::Rango& r : rangos) plan.Bytes += r.Longitud;
    plan.ArchivoEntero = plan.Bytes > indice.Tamano / 2;
    if (porPeticion == 0) porPeticion = 1;
    for (std::size_t i = 0; i < rangos.size(); i += porPeticion)
        plan.Peticiones.emplace_back(rangos.begin() + static_cast<std::ptrdiff_t>(i),
                                     rangos.begin() + static_cast<std::ptrdiff_t>(std::min(rangos.size(), i + porPeticion)));
    return plan;
}

std::string CabeceraRange(const std::vector<firma::Rango>& rangos) {
    std::string t = "bytes=";
    for (std::size_t i = 0; i < rangos.size(); ++i) {
        if (i) t += ',';
        t += std::to_string(rangos[i].Inicio) + "-" + std::to_string(rangos[i].Fin() - 1);
    }
    return t;
}

}  // namespace parcial
