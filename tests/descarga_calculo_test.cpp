// The pure computations of the component: progress values, the Content-Length reading and
// the fixed-position reading of a Last-Modified date.
#include <gtest/gtest.h>

#include <climits>

#include "descarga_comun.h"

namespace {



TEST(CalcularProgreso, ValoresDeReferencia) {
    struct Caso {
        int32_t total, recibidos;
        uint32_t ms;
        int32_t porSegundo;
        double porcentaje, restantes;
        int32_t transcurridos;
    };
    for (const Caso& c : {
             Caso{10000, 2048, 1500, 1365, 20.48, 6, 2},  // 5.824 s left, 1.5 s to even
             Caso{10000, 4096, 2500, 1638, 40.96, 4, 2},  // 3.603 s left, 2.5 s to even
             Caso{-1, 1024, 800, 1280, 0, 0, 1},          // unknown length
             Caso{-1, 5, 2000, 2, 0, 0, 2},               // 2.5 B/s to even
             Caso{-1, 7, 3500, 2, 0, 0, 4},               // 3.5 s to even
             Caso{1000, 3000, 2000, 1500, 300, 0, 2},     // longer body: never negative
         }) {
        const auto v = zkdetalle::CalcularProgreso(c.total, c.recibidos, c.ms);
        ASSERT_TRUE(v.Valido) << c.recibidos;
        EXPECT_EQ(v.BytesPorSegundo, c.porSegundo) << c.recibidos;
        EXPECT_DOUBLE_EQ(v.Porcentaje, c.porcentaje) << c.recibidos;
        EXPECT_EQ(v.SegundosRestantes, c.restantes) << c.recibidos;
        EXPECT_EQ(v.SegundosTranscurridos, c.transcurridos) << c.recibidos;
    }
}

TEST(CalcularProgreso, ValoresQueNoCabenNoDanEvento) {
    EXPECT_FALSE(zkdetalle::CalcularProgreso(10000, 512, 0).Valido);  // infinite rate
    EXPECT_FALSE(zkdetalle::CalcularProgreso(-1, INT32_MAX, 1).Valido);
    EXPECT_TRUE(zkdetalle::CalcularProgreso(-1, INT32_MAX, 1000).Valido);
    // The last block's event is raised anyway, with what does not fit held at the limit.
    const auto ultimo = zkdetalle::CalcularProgreso(10000, 10000, 0, true);
    ASSERT_TRUE(ultimo.Valido);
    EXPECT_EQ(ultimo.BytesPorSegundo, INT32_MAX);
    EXPECT_DOUBLE_EQ(ultimo.Porcentaje, 100);
    EXPECT_EQ(ultimo.SegundosRestantes, 0);
    // The tick difference is unsigned: no negative elapsed time after a wrap.
    EXPECT_EQ(zkdetalle::CalcularProgreso(-1, 1000, 4000000000u).SegundosTranscurridos, 4000000);
}

TEST(LongitudDeContenido, NumerosValidosYDesconocidos) {
    const std::vector<std::pair<std::string, int32_t>> casos = {
        {"10000", 10000}, {"0", 0}, {" 42 ", 42}, {"+7", 7}, {"2.5", 2}, {"3.5", 4},
        {"1e3", 1000}, {"2147483647", INT32_MAX},
        // Not numeric, negative or beyond 32 bits: unknown.
        {"", -1}, {"abc", -1}, {"12abc", -1}, {"0x10", -1}, {"-1", -1}, {"-5000", -1},
        {"2147483648", -1}, {"99999999999999999999", -1}, {"1e10", -1}, {"inf", -1},
        {"nan", -1}, {".", -1}, {"1e", -1}, {"1 2", -1}};
    for (const auto& [texto, valor] : casos)
        EXPECT_EQ(internet::LongitudDeContenido(texto), valor) << '"' << texto << '"';
}

TEST(FechaDeCabecera, LecturaEnPosicionesFijas) {
    EXPECT_EQ(lecturas::FechaDeCabecera("Sun, 06 Nov 1994 08:49:37 GMT"),
              sistema::Fecha::Crear(1994, 11, 6));
    EXPECT_EQ(lecturas::FechaDeCabecera("Thu, 29 Feb 2024 00:00:00 GMT"),
              sistema::Fecha::Crear(2024, 2, 29));
    // Only the positions matter, not what stands around them.
    EXPECT_EQ(lecturas::FechaDeCabecera("xxxx 01-Jan-2000 ......... zzzz"),
              sistema::Fecha::Crear(2000, 1, 1));
    const char* meses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m)
        EXPECT_EQ(lecturas::FechaDeCabecera(std::string("Mon, 15 ") + meses[m] + " 2001 10:00:00 GMT"),
                  sistema::Fecha::Crear(2001, m + 1, 15));

    for (const std::string t :
         {"Sun, 6 Nov 1994 08:49:37 GMT", "Sun,  6 Nov 1994 08:49:37 GMT",
          "Sun, 06 NOV 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
          "Sun Nov  6 08:49:37 1994", "Sun, 31 Feb 1994 08:49:37 GMT",
          "Sun, 00 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 19x4 08:49:37 GMT",
          "Sun, 06 Nov 1994", "123456789", ""})
        EXPECT_EQ(lecturas::FechaDeCabecera(t), std::nullopt) << '"' << t << '"';
}

}  // namespace
