// Numbers as the reader takes them: only the plain forms, each read to the
// double that Python's float() gives.
#include "track/numbers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::uint64_t bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// glibc's strtod rounds correctly from all digits, as float() does.
double strtod_of(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The exact decimal form of a binary value (glibc prints every digit).
std::string exact(long double value) {
    std::vector<char> buffer(20000);
    int n = std::snprintf(buffer.data(), buffer.size(), "%.1100Lf", value);
    std::string text(buffer.data(), static_cast<std::size_t>(n));
    while (text.back() == '0') text.pop_back();
    return text;
}

TEST(Numbers, OnlyPlainFormsAreTaken) {
    for (const char* plain : {"0", "-0", "-0.0", "5.", ".5", "-.5", "00012.5", "45.123456789", "-180"})
        EXPECT_TRUE(track::plain_decimal(plain)) << plain;
    // float() reads all of these, some differently from how a GPX writer
    // meant them; the reader leaves them to gpxpy.
    for (const char* odd : {"", "-", ".", "-.", "+5", "1e1", "1E-3", "inf", "-inf", "Infinity", "nan", "NaN",
                            "0x1p3", "1_0", "5 .5", "1.2.3", "--1", " 5", "5\n", "\xd9\xa1\xd9\xa2"})
        EXPECT_FALSE(track::plain_decimal(odd)) << odd;
    for (const char* plain : {"12", "-3", "007", "-0"}) EXPECT_TRUE(track::plain_integer(plain)) << plain;
    for (const char* odd : {"", "-", "1.5", "+3", "1_0", " 3", "3.", "1e2"})
        EXPECT_FALSE(track::plain_integer(odd)) << odd;
}

TEST(Numbers, TrimmedOfXmlSpaceOnly) {
    EXPECT_EQ(track::trimmed(" \t\n\r-1.5 \r\n"), "-1.5");
    // float() strips these too, the XML parsers do not: left for gpxpy.
    EXPECT_FALSE(track::plain_decimal(track::trimmed("\v5")));
    EXPECT_FALSE(track::plain_decimal(track::trimmed("\xc2\xa0" "5")));
}

TEST(Numbers, ReadAsFloatReadsThem) {
    std::mt19937_64 rnd(20250104);
    std::uniform_real_distribution<double> degrees(-180, 180);
    std::uniform_int_distribution<int> places(0, 40), digit(0, 9);
    for (int i = 0; i < 20000; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", places(rnd) % 18, degrees(rnd));
        EXPECT_EQ(bits(track::decimal_value(text)), bits(strtod_of(text))) << text;
        // Long digit strings: correct rounding looks at every digit.
        std::string longer = text;
        if (longer.find('.') == std::string::npos) longer += '.';
        for (int k = places(rnd) * 20; k > 0; --k) longer += static_cast<char>('0' + digit(rnd));
        EXPECT_EQ(bits(track::decimal_value(longer)), bits(strtod_of(longer))) << longer;
    }
}

// read_decimal's one pass is decimal_value's reading, on the short numbers
// it takes by division and the longer ones it hands on.
TEST(Numbers, ReadDecimalReadsAsDecimalValue) {
    std::mt19937_64 rnd(53);
    std::uniform_int_distribution<int> length(1, 24), digit(0, 9), coin(0, 3);
    for (int i = 0; i < 200000; ++i) {
        std::string digits;
        for (int n = length(rnd); n > 0; --n) digits += static_cast<char>('0' + digit(rnd));
        std::size_t point = rnd() % (digits.size() + 1);
        std::string text = (coin(rnd) == 0 ? "-" : "") + digits.substr(0, point) + "." + digits.substr(point);
        if (coin(rnd) == 0) text = " \n" + text + "\t";
        double value = 0;
        ASSERT_TRUE(track::read_decimal(text, value)) << text;
        ASSERT_EQ(bits(value), bits(track::decimal_value(track::trimmed(text)))) << text;
    }
    // Around the ends of the fast way: 2^53, 19 digits, 10^22.
    for (const char* edge : {"9007199254740992", "9007199254740993", "-9007199254740993.", "1234567890123456789",
                             "12345678901234567891", "0.0000000000000000000001", "0.00000000000000000000001",
                             "4.9406564584124654e", "-0", "-0.0", "0", ".5"}) {
        double value = 0;
        bool plain = track::plain_decimal(edge);
        EXPECT_EQ(track::read_decimal(edge, value), plain) << edge;
        if (plain) {
            EXPECT_EQ(bits(value), bits(strtod_of(edge))) << edge;
        }
    }
    double unused = 0;
    for (const char* odd : {"", " ", "-", ".", "+5", "1e1", "1_0", "inf", "5 .5", "\xc2\xa0" "5"})
        EXPECT_FALSE(track::read_decimal(odd, unused)) << odd;
}

TEST(Numbers, HalfwayBetweenDoublesTiesToEven) {
    if (std::numeric_limits<long double>::digits < 54) GTEST_SKIP() << "no exact midpoints in long double here";
    std::mt19937_64 rnd(7);
    std::uniform_real_distribution<double> degrees(0, 180);
    std::uniform_int_distribution<int> scale(0, 8);
    for (int i = 0; i < 3000; ++i) {
        double low = degrees(rnd) * std::pow(10.0, -scale(rnd));
        double high = std::nextafter(low, 1000.0);
        std::string half = exact((static_cast<long double>(low) + high) / 2);
        double even = bits(low) % 2 == 0 ? low : high;
        EXPECT_EQ(bits(track::decimal_value(half)), bits(even)) << half;
        // A nonzero digit however far out breaks the tie.
        std::string above = half + std::string(2000, '0') + "1";
        EXPECT_EQ(bits(track::decimal_value(above)), bits(high)) << above.substr(0, 60);
        EXPECT_EQ(bits(track::decimal_value("-" + above)), bits(-high));
        EXPECT_EQ(bits(track::decimal_value(exact(low))), bits(low));
    }
    std::string one_half = exact((1.0L + std::nextafter(1.0, 2.0)) / 2);
    EXPECT_EQ(track::decimal_value(one_half + std::string(200000, '0')), 1.0);
    EXPECT_EQ(track::decimal_value(one_half + std::string(200000, '0') + "1"), std::nextafter(1.0, 2.0));
}

TEST(Numbers, BeyondAndBelowTheDoubles) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(track::decimal_value("1" + std::string(400, '0')), inf);
    EXPECT_EQ(track::decimal_value("-" + std::string(400, '9') + ".5"), -inf);
    EXPECT_EQ(track::decimal_value("000" + std::string(309, '9') + ".0"), inf);
    double below = track::decimal_value("0." + std::string(400, '0') + "1");
    EXPECT_EQ(bits(below), bits(0.0));
    double negative_below = track::decimal_value("-." + std::string(400, '0') + "7");
    EXPECT_EQ(bits(negative_below), bits(-0.0));  // float() keeps the sign
    EXPECT_EQ(bits(track::decimal_value("-0")), bits(-0.0));
    // Subnormal values are read, not taken for zero.
    std::string tiny = "0." + std::string(320, '0') + "123";
    EXPECT_EQ(bits(track::decimal_value(tiny)), bits(strtod_of(tiny)));
    EXPECT_GT(track::decimal_value(tiny), 0.0);
    std::string largest = exact(std::numeric_limits<double>::max());
    EXPECT_EQ(track::decimal_value(largest), std::numeric_limits<double>::max());
}

}  // namespace
