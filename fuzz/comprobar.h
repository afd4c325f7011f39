// What a fuzz target does when an invariant fails: say which, and abort so that libFuzzer
// keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Comprobar(bool cumple, const char* invariante) {
    if (cumple) return;
    std::fprintf(stderr, "invariant broken: %s\n", invariante);
    std::abort();
}

}  // namespace fuzz
