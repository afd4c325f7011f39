// Set-up shared by the test programs' main functions.
#pragma once

#include <cstdlib>

namespace prueba {

// Tests talk only to servers they start on loopback: a proxy configured on the machine
// (CI may have one) must not capture their requests. Tests that need a proxy set these
// variables themselves.
inline void LimpiarProxyDelEntorno() {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                          "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
        ::unsetenv(v);
}

}  // namespace prueba
