#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "core/base/numtext.hpp"

using ecm::fixed_text;
using ecm::json_string;
using ecm::model_number_decimals;
using ecm::model_number_text;
using ecm::py_repr;

TEST(PyRepr, PositionalBetweenExponentsMinus4And15) {
    EXPECT_EQ(py_repr(0.0), "0.0");
    EXPECT_EQ(py_repr(-0.0), "-0.0");
    EXPECT_EQ(py_repr(2.0), "2.0");
    EXPECT_EQ(py_repr(25.0), "25.0");
    EXPECT_EQ(py_repr(0.005), "0.005");
    EXPECT_EQ(py_repr(0.0001), "0.0001");
    EXPECT_EQ(py_repr(0.0001234), "0.0001234");
    EXPECT_EQ(py_repr(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(py_repr(35 * 0.005), "0.17500000000000002");
    EXPECT_EQ(py_repr(1520.4), "1520.4");
    EXPECT_EQ(py_repr(-3.5), "-3.5");
    EXPECT_EQ(py_repr(1e15), "1000000000000000.0");
    EXPECT_EQ(py_repr(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(py_repr(123456789012345.6), "123456789012345.6");
}

TEST(PyRepr, ExponentNotationOutsideThatRange) {
    EXPECT_EQ(py_repr(1e-05), "1e-05");
    EXPECT_EQ(py_repr(1.234e-05), "1.234e-05");
    EXPECT_EQ(py_repr(-5.2e-05), "-5.2e-05");
    EXPECT_EQ(py_repr(1e16), "1e+16");
    EXPECT_EQ(py_repr(1.5e16), "1.5e+16");
    EXPECT_EQ(py_repr(1e100), "1e+100");
    EXPECT_EQ(py_repr(5e-324), "5e-324");
    EXPECT_EQ(py_repr(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
}

TEST(PyRepr, NonFinite) {
    EXPECT_EQ(py_repr(std::nan("")), "nan");
    EXPECT_EQ(py_repr(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(py_repr(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(PyRepr, RoundTripsRandomBitPatterns) {
    std::mt19937_64 gen(12345);
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t bits = gen();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isfinite(x)) continue;
        std::string s = py_repr(x);
        double back = std::strtod(s.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0) << s;
        // Positional text only for decimal exponents in [-4, 16).
        double a = std::fabs(x);
        bool positional = a == 0.0 || (a >= 1e-4 && a < 1e16);
        ASSERT_EQ(s.find('e') == std::string::npos, positional) << s;
    }
}

TEST(ModelNumberText, WorkedExamples) {
    EXPECT_EQ(model_number_text(0.005), "0.005");
    EXPECT_EQ(model_number_text(25.0), "25.0");
    EXPECT_EQ(model_number_text(0.0001234), "0.0001234");
    EXPECT_EQ(model_number_text(1.234e-05), "0.00001234");
    EXPECT_EQ(model_number_text(-5.2e-05), "-0.00005200");
    EXPECT_EQ(model_number_text(9.9e-05), "0.0000990");
    EXPECT_EQ(model_number_text(1e-07), "0.0000001000");
    EXPECT_EQ(model_number_text(1.5e16), "15000000000000000.0000000000000000000");
}

TEST(ModelNumberText, DecimalsFromPowerOfTwoExponent) {
    EXPECT_EQ(model_number_decimals(1.234e-05), 8);  // exp2 -16
    EXPECT_EQ(model_number_decimals(-5.2e-05), 8);   // exp2 -14
    EXPECT_EQ(model_number_decimals(9.9e-05), 7);    // exp2 -13
    EXPECT_EQ(model_number_decimals(1e-07), 10);     // exp2 -23
    EXPECT_EQ(model_number_decimals(1.5e16), 19);    // exp2 54
    EXPECT_EQ(model_number_decimals(5e-324), 327);   // exp2 -1073
}

TEST(ModelNumberText, NeverExponentNotationAndReadsBackClose) {
    const double values[] = {5e-324, 2.2250738585072014e-308,           1e-300, 3.3e-9, -7.77e-6, 1e16, 2.5e20,
                             1e300,  std::numeric_limits<double>::max()};
    for (double v : values) {
        std::string s = model_number_text(v);
        EXPECT_EQ(s.find('e'), std::string::npos) << s;
        double back = std::strtod(s.c_str(), nullptr);
        // The fixed text keeps at least three significant digits.
        EXPECT_NEAR(back, v, std::fabs(v) * 1e-2 + 1e-320) << s;
    }
    EXPECT_EQ(model_number_text(1e16), "10000000000000000.0000000000000000000");
}

TEST(ModelNumberText, NonFiniteAsJsonReadersSpellThem) {
    EXPECT_EQ(model_number_text(std::nan("")), "NaN");
    EXPECT_EQ(model_number_text(std::numeric_limits<double>::infinity()), "Infinity");
    EXPECT_EQ(model_number_text(-std::numeric_limits<double>::infinity()), "-Infinity");
}

TEST(FixedText, CorrectlyRounded) {
    EXPECT_EQ(fixed_text(2.5, 0), "2");       // exactly half: to even
    EXPECT_EQ(fixed_text(0.125, 2), "0.12");  // exactly half: to even
    EXPECT_EQ(fixed_text(0.1, 20), "0.10000000000000000555");
    EXPECT_EQ(fixed_text(-1.5e-05, 6), "-0.000015");
}

TEST(JsonString, EscapesLikePythonJsonDumps) {
    EXPECT_EQ(json_string("CELL01"), "\"CELL01\"");
    EXPECT_EQ(json_string(""), "\"\"");
    EXPECT_EQ(json_string("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(json_string("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(json_string("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(json_string("Zelle \xc3\xa4"), "\"Zelle \\u00e4\"");     // U+00E4
    EXPECT_EQ(json_string("\xe2\x82\xac"), "\"\\u20ac\"");             // U+20AC
    EXPECT_EQ(json_string("\xf0\x9f\x98\x80"), "\"\\ud83d\\ude00\"");  // U+1F600
    EXPECT_EQ(json_string("\xed\xb3\xbf"), "\"\\udcff\"");             // lone surrogate
    EXPECT_EQ(json_string("\xff"), "\"\\ufffd\"");                     // not UTF-8
    EXPECT_EQ(json_string("\xc3"), "\"\\ufffd\"");                     // truncated
}
