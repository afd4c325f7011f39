// The pure computations of the component: progress values, the Content-Length reading and
// the fixed-position reading of a Last-Modified date.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "descarga_comun.h"

namespace {

using P = zkDownloadPrueba;

TEST(CalcularProgreso, ValoresDeReferencia) {
    auto v = P::CalcularProgreso(10000, 2048, 1500);
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.BytesPorSegundo, 1365);
    EXPECT_DOUBLE_EQ(v.Porcentaje, 20.48);
    EXPECT_EQ(v.SegundosRestantes, 6.0);  // from 5.824...
    EXPECT_EQ(v.SegundosTranscurridos, 2);  // 1.5 goes to the even neighbour

    v = P::CalcularProgreso(10000, 4096, 2500);
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.BytesPorSegundo, 1638);
    EXPECT_DOUBLE_EQ(v.Porcentaje, 40.96);
    EXPECT_EQ(v.SegundosRestantes, 4.0);  // from 3.603...
    EXPECT_EQ(v.SegundosTranscurridos, 2);  // 2.5 goes to the even neighbour

    v = P::CalcularProgreso(-1, 1024, 800);
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.BytesPorSegundo, 1280);
    EXPECT_EQ(v.Porcentaje, 0.0);
    EXPECT_EQ(v.SegundosRestantes, 0.0);
    EXPECT_EQ(v.SegundosTranscurridos, 1);
}

TEST(CalcularProgreso, MitadesAlParYRestantesNoNegativos) {
    // 3500 ms: 3.5 s rounds up to 4; a rate of 2.5 B/s rounds down to 2.
    auto v = P::CalcularProgreso(-1, 5, 2000);
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.BytesPorSegundo, 2);
    v = P::CalcularProgreso(-1, 7, 2000);
    EXPECT_EQ(v.BytesPorSegundo, 4);  // 3.5
    v = P::CalcularProgreso(-1, 1, 3500);
    EXPECT_EQ(v.SegundosTranscurridos, 4);

    // More than announced: above 100 per cent, remaining time never negative.
    v = P::CalcularProgreso(1000, 1500, 1000);
    ASSERT_TRUE(v.Valido);
    EXPECT_DOUBLE_EQ(v.Porcentaje, 150.0);
    EXPECT_EQ(v.SegundosRestantes, 0.0);
    v = P::CalcularProgreso(1000, 3000, 2000);  // would be -1.33
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.SegundosRestantes, 0.0);
}

TEST(CalcularProgreso, SinTiempoTranscurridoNoHayEvento) {
    EXPECT_FALSE(P::CalcularProgreso(10000, 512, 0).Valido);
    EXPECT_FALSE(P::CalcularProgreso(-1, 512, 0).Valido);
    // A rate that does not fit 32 bits either.
    EXPECT_FALSE(P::CalcularProgreso(-1, INT32_MAX, 1).Valido);
    EXPECT_TRUE(P::CalcularProgreso(-1, INT32_MAX, 1000).Valido);
    // Elapsed time is read as unsigned milliseconds (the tick difference modulo 2^32).
    auto v = P::CalcularProgreso(-1, 1000, 4000000000u);
    ASSERT_TRUE(v.Valido);
    EXPECT_EQ(v.SegundosTranscurridos, 4000000);
}

TEST(LongitudDeContenido, NumerosValidosYDesconocidos) {
    EXPECT_EQ(P::LongitudDeContenido("10000"), 10000);
    EXPECT_EQ(P::LongitudDeContenido("0"), 0);
    EXPECT_EQ(P::LongitudDeContenido(" 42 "), 42);
    EXPECT_EQ(P::LongitudDeContenido("+7"), 7);
    EXPECT_EQ(P::LongitudDeContenido("2.5"), 2);  // halves to the even neighbour
    EXPECT_EQ(P::LongitudDeContenido("3.5"), 4);
    EXPECT_EQ(P::LongitudDeContenido("1e3"), 1000);
    EXPECT_EQ(P::LongitudDeContenido("2147483647"), INT32_MAX);
    // Not numeric, negative, or beyond 32 bits: unknown.
    for (const std::string t : {"", "abc", "12abc", "0x10", "-1", "-5000", "2147483648",
                                "99999999999999999999", "1e10", "inf", "nan", ".", "1e",
                                "1 2"})
        EXPECT_EQ(P::LongitudDeContenido(t), -1) << '"' << t << '"';
}

TEST(FechaDeCabecera, LecturaEnPosicionesFijas) {
    EXPECT_EQ(P::FechaDeCabecera("Sun, 06 Nov 1994 08:49:37 GMT"),
              sistema::Fecha::Crear(1994, 11, 6));
    EXPECT_EQ(P::FechaDeCabecera("Wed, 31 Dec 2025 23:59:59 GMT"),
              sistema::Fecha::Crear(2025, 12, 31));
    EXPECT_EQ(P::FechaDeCabecera("Thu, 29 Feb 2024 00:00:00 GMT"),
              sistema::Fecha::Crear(2024, 2, 29));
    // Only the positions matter, not what stands around them.
    EXPECT_EQ(P::FechaDeCabecera("xxxx 01-Jan-2000 ......... zzzz"),
              sistema::Fecha::Crear(2000, 1, 1));
    const char* meses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m)
        EXPECT_EQ(P::FechaDeCabecera(std::string("Mon, 15 ") + meses[m] + " 2001 10:00:00 GMT"),
                  sistema::Fecha::Crear(2001, m + 1, 15))
            << meses[m];
}

TEST(FechaDeCabecera, TextosQueNoFormanFecha) {
    for (const std::string t :
         {"Sun, 6 Nov 1994 08:49:37 GMT",       // one-digit day
          "Sun, 06 NOV 1994 08:49:37 GMT",      // month in capitals
          "Sunday, 06-Nov-94 08:49:37 GMT",     // another format
          "Sun Nov  6 08:49:37 1994",           // asctime format
          "Sun, 31 Feb 1994 08:49:37 GMT",      // no such day
          "Sun, 00 Nov 1994 08:49:37 GMT",
          "Sun, 06 Nov 0000 08:49:37 GMT",
          "Sun, 06 Nov 19x4 08:49:37 GMT",
          "Sun,  6 Nov 1994 08:49:37 GMT",
          "Sun, 06 Nov 1994", "123456789", "corto", ""})
        EXPECT_EQ(P::FechaDeCabecera(t), std::nullopt) << '"' << t << '"';
}

}  // namespace
