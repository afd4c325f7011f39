// How an explicit proxy list and bypass list decide one request.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lista_proxy.h"

namespace {

using internet::TraducirProxy;

struct Caso {
    std::string usar, noUsar, esquema, host;
    std::string proxy;  // "" = direct
};

void Comprobar(const std::vector<Caso>& casos) {
    for (const Caso& c : casos) {
        SCOPED_TRACE("'" + c.usar + "' / '" + c.noUsar + "' for " + c.esquema + "://" + c.host);
        const internet::ProxyElegido r = TraducirProxy(c.usar, c.noUsar, c.esquema, c.host);
        EXPECT_EQ(r.Directo, c.proxy.empty());
        EXPECT_EQ(r.Proxy, c.proxy);
    }
}

TEST(TraducirProxy, PicksTheEntryForTheScheme) {
    Comprobar({
        {"", "", "http", "h", ""},
        {"p:8080", "", "http", "h", "p:8080"},
        {"p:8080", "", "https", "h", "p:8080"},
        {"http=p1:1 https=p2:2", "", "https", "h", "p2:2"},
        {"http=p1:1;https=p2:2", "", "http", "h", "p1:1"},
        {"p0:9 http=p1:1", "", "http", "h", "p1:1"},  // specific before bare, wherever it stands
        {"https=p2:2", "", "http", "h", ""},          // nothing for http: direct
        {"HTTP=p1:1", "", "http", "h", "p1:1"},
        {"ftp=f:21 socks=s:1080 p0:9", "", "http", "h", "p0:9"},
        {"  p0:9 ;; p3:3 ", "", "http", "h", "p0:9"},
        {"http= p0:9", "", "http", "h", "p0:9"},  // an empty address is no entry
        {"http=a:1 http=b:2", "", "http", "h", "a:1"},
        {"http://p:8080", "", "http", "h", "http://p:8080"},
        {"http=http://p:8080", "", "http", "h", "http://p:8080"},
    });
}

TEST(TraducirProxy, BypassListSendsMatchingHostsDirect) {
    Comprobar({
        {"p:1", "<local>", "http", "servidor", ""},
        {"p:1", "<LOCAL>", "http", "servidor", ""},
        {"p:1", "<local>", "http", "servidor.lan", "p:1"},
        {"p:1", "*.Example.com", "http", "www.example.COM", ""},
        {"p:1", "*.example.com", "http", "example.com", "p:1"},
        {"p:1", "10.*", "http", "10.1.2.3", ""},
        {"p:1", "10.*", "http", "110.1.2.3", "p:1"},
        {"p:1", "a*b*c", "http", "axxbyyc", ""},
        {"p:1", "a*b*c", "http", "axxbyy", "p:1"},
        {"p:1", "uno;dos,tres\tcuatro cinco", "http", "cuatro", ""},
        {"p:1", "uno;dos,tres\tcuatro cinco", "http", "seis", "p:1"},
        {"p:1", "host", "http", "host.lan", "p:1"},  // whole names only
        {"p:1", ";;, ,", "http", "h", "p:1"},
        {"", "h", "http", "h", ""},
    });
}

}  // namespace
