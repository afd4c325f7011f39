// What a fuzz target does when an invariant fails: say which, and abort so that libFuzzer
// keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

inline void Comprobar(bool cumple, const char* invariante) {
    if (cumple) return;
    std::fprintf(stderr, "invariant broken: %s\n", invariante);
    std::abort();
}

inline char Minuscula(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool IgualesSinCaso(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Minuscula(a[i]) != Minuscula(b[i])) return false;
    return true;
}

}  // namespace fuzz
