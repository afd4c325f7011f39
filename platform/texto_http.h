// Small text helpers shared by the files of the HTTP layer: ASCII case folding, blanks,
// splitting of lists. Internal to platform/.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace internet::texto {

inline char Minuscula(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool IgualesSinCaso(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Minuscula(a[i]) != Minuscula(b[i])) return false;
    return true;
}

inline bool EsBlanco(char c) { return c == ' ' || c == '\t'; }

inline std::string_view Recortar(std::string_view s) {
    while (!s.empty() && EsBlanco(s.front())) s.remove_prefix(1);
    while (!s.empty() && EsBlanco(s.back())) s.remove_suffix(1);
    return s;
}

inline bool EsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Splits at any of `separadores`, skipping empty pieces.
inline std::vector<std::string_view> Partir(std::string_view s, std::string_view separadores) {
    std::vector<std::string_view> partes;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find_first_of(separadores, i);
        if (j == std::string_view::npos) j = s.size();
        if (j > i) partes.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return partes;
}

}  // namespace internet::texto
