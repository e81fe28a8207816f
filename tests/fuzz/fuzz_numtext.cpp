// Fuzz target: number text and JSON string escaping.
//
// Checked against independent references (the C library's strtod and
// printf, a separate UTF-8 decoder written here):
//  - py_repr reads back through strtod as the same double (bit for bit, so
//    the sign of zero too), is the shortest such text, and never has an
//    exponent inside [1e-4, 1e16);
//  - fixed_text equals printf("%.*f"), which glibc rounds correctly;
//  - model_number_text never contains an exponent and lies within half a
//    unit of its last decimal of the value;
//  - json_string gives printable ASCII only, and decoding its escapes gives
//    back the input whenever the input is valid UTF-8.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/numtext.hpp"
#include "fuzz_common.hpp"

namespace {

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void check_number(double x, int decimals) {
    const std::string r = ecm::py_repr(x);
    FUZZ_CHECK(!r.empty() && r.size() < 32);
    if (std::isnan(x)) {
        FUZZ_CHECK(r == "nan");
        FUZZ_CHECK(ecm::model_number_text(x) == "NaN");
        return;
    }
    if (std::isinf(x)) {
        FUZZ_CHECK(r == (x > 0 ? "inf" : "-inf"));
        FUZZ_CHECK(ecm::model_number_text(x) == (x > 0 ? "Infinity" : "-Infinity"));
        return;
    }
    char* end = nullptr;
    const double back = std::strtod(r.c_str(), &end);
    FUZZ_CHECK(*end == '\0');
    FUZZ_CHECK(same_bits(back, x));

    // Shortest: one significant digit fewer no longer reads back as x.
    std::size_t digits = 0;
    const std::size_t epos = r.find('e');
    bool leading = true;
    std::string mant = r.substr(0, epos);
    // Significant digits of the mantissa (leading zeros do not count; trailing
    // ".0" of a whole number does not either).
    if (mant.size() > 2 && mant.compare(mant.size() - 2, 2, ".0") == 0) mant.resize(mant.size() - 2);
    std::size_t trailing_zeros = 0;
    for (char ch : mant) {
        if (ch < '0' || ch > '9') continue;
        if (leading && ch == '0') continue;
        leading = false;
        ++digits;
        trailing_zeros = ch == '0' ? trailing_zeros + 1 : 0;
    }
    if (mant.find('.') == std::string::npos) digits -= trailing_zeros;  // "12300" has 3 digits
    if (digits > 1 && x != 0.0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(digits) - 2, x);
        FUZZ_CHECK(!same_bits(std::strtod(buf, nullptr), x));
    }
    const double ax = std::fabs(x);
    if (ax == 0.0 || (ax >= 1e-4 && ax < 1e16))
        FUZZ_CHECK(epos == std::string::npos);
    else
        FUZZ_CHECK(epos != std::string::npos);

    // fixed_text against printf.
    {
        const std::string f = ecm::fixed_text(x, decimals);
        std::vector<char> buf(static_cast<std::size_t>(std::max(decimals, 0)) + 420);
        std::snprintf(buf.data(), buf.size(), "%.*f", std::max(decimals, 0), x);
        FUZZ_CHECK(f == buf.data());
    }

    // The model number rule.
    const std::string m = ecm::model_number_text(x);
    FUZZ_CHECK(m.find_first_of("eE") == std::string::npos);
    const double mv = std::strtod(m.c_str(), &end);
    FUZZ_CHECK(*end == '\0');
    if (epos == std::string::npos) {
        FUZZ_CHECK(m == r);
    } else {
        const int dec = ecm::model_number_decimals(x);
        FUZZ_CHECK(dec >= 3);
        // Within half a unit of the last decimal (plus the rounding of strtod).
        FUZZ_CHECK(std::fabs(mv - x) <= 0.5 * std::pow(10.0, -dec) * (1 + 1e-12) + std::fabs(x) * 1e-15);
    }
}

// A strict UTF-8 decoder (no surrogates, no overlong forms); false when the
// text is not valid UTF-8.
bool decode_strict(const std::string& s, std::vector<std::uint32_t>& cps) {
    for (std::size_t k = 0; k < s.size();) {
        const auto b = static_cast<unsigned char>(s[k]);
        std::uint32_t cp;
        std::size_t len;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1Fu;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0Fu;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07u;
            len = 4;
        } else
            return false;
        if (k + len > s.size()) return false;
        for (std::size_t j = 1; j < len; ++j) {
            const auto c = static_cast<unsigned char>(s[k + j]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        static const std::uint32_t min_of_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_of_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        cps.push_back(cp);
        k += len;
    }
    return true;
}

// Decodes a JSON string literal into UTF-16 code units joined back into code
// points; fails the run on any malformed escape.
std::vector<std::uint32_t> decode_json(const std::string& j) {
    FUZZ_CHECK(j.size() >= 2 && j.front() == '"' && j.back() == '"');
    std::vector<std::uint32_t> units;
    for (std::size_t k = 1; k + 1 < j.size(); ++k) {
        const auto c = static_cast<unsigned char>(j[k]);
        FUZZ_CHECK(c >= 0x20 && c < 0x7F);
        FUZZ_CHECK(c != '"');
        if (c != '\\') {
            units.push_back(c);
            continue;
        }
        FUZZ_CHECK(k + 2 < j.size());
        const char e = j[++k];
        switch (e) {
            case '"':
                units.push_back('"');
                break;
            case '\\':
                units.push_back('\\');
                break;
            case 'n':
                units.push_back('\n');
                break;
            case 'r':
                units.push_back('\r');
                break;
            case 't':
                units.push_back('\t');
                break;
            case 'b':
                units.push_back('\b');
                break;
            case 'f':
                units.push_back('\f');
                break;
            case 'u': {
                FUZZ_CHECK(k + 5 < j.size());
                std::uint32_t u = 0;
                for (int h = 1; h <= 4; ++h) {
                    const char d = j[k + h];
                    FUZZ_CHECK((d >= '0' && d <= '9') || (d >= 'a' && d <= 'f'));
                    u = u * 16 + static_cast<std::uint32_t>(d <= '9' ? d - '0' : d - 'a' + 10);
                }
                units.push_back(u);
                k += 4;
                break;
            }
            default:
                fuzz::fail("unknown JSON escape");
        }
    }
    std::vector<std::uint32_t> cps;
    for (std::size_t k = 0; k < units.size(); ++k) {
        const std::uint32_t u = units[k];
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] <= 0xDFFF) {
            cps.push_back(0x10000 + ((u - 0xD800) << 10) + (units[k + 1] - 0xDC00));
            ++k;
        } else {
            cps.push_back(u);
        }
    }
    return cps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    if (p.ConsumeBool()) {
        // Numbers: raw bit patterns reach every exponent and subnormals.
        for (int k = 0; k < 8 && p.remaining_bytes() > 0; ++k) {
            const double x = p.ConsumeBool() ? fuzz::any_double(p) : [&] {
                const auto bits = p.ConsumeIntegral<std::uint64_t>();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return d;
            }();
            check_number(x, p.ConsumeIntegralInRange<int>(-3, 400));
        }
        return 0;
    }
    const std::string text = p.ConsumeRemainingBytesAsString();
    const std::string j = ecm::json_string(text);
    const std::vector<std::uint32_t> got = decode_json(j);
    std::vector<std::uint32_t> want;
    if (decode_strict(text, want)) FUZZ_CHECK(got == want);
    return 0;
}
