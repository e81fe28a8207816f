#include "core/base/numtext.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace ecm {

std::string py_repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";

    // Shortest round-trip digits in scientific form, e.g. "-1.234e-05".
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    if (res.ec != std::errc()) throw std::runtime_error("py_repr: cannot format number");
    std::string sci(buf, res.ptr);

    bool negative = false;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        negative = true;
        pos = 1;
    }
    std::size_t epos = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < epos; ++i)
        if (sci[i] != '.') digits += sci[i];
    int exp10 = std::atoi(sci.c_str() + epos + 1);

    std::string out = negative ? "-" : "";
    if (exp10 >= -4 && exp10 < 16) {
        if (exp10 < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp10 - 1), '0');
            out += digits;
        } else {
            std::size_t int_len = static_cast<std::size_t>(exp10) + 1;
            if (digits.size() <= int_len) {
                out += digits;
                out.append(int_len - digits.size(), '0');
                out += ".0";
            } else {
                out += digits.substr(0, int_len);
                out += '.';
                out += digits.substr(int_len);
            }
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'e';
        out += exp10 < 0 ? '-' : '+';
        int a = std::abs(exp10);
        if (a < 10) out += '0';
        out += std::to_string(a);
    }
    return out;
}

std::string fixed_text(double x, int decimals) {
    if (!std::isfinite(x)) return py_repr(x);
    if (decimals < 0) decimals = 0;
    // Largest double has 309 integer digits; the smallest subnormal needs
    // about 330 decimals under the model rule. Size the buffer for any request.
    std::string buf(static_cast<std::size_t>(decimals) + 400, '\0');
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) throw std::runtime_error("fixed_text: cannot format number");
    buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
    return buf;
}

int model_number_decimals(double x) {
    int exp2 = 0;
    std::frexp(x, &exp2);
    // log10(2) as the double NumPy's log10(2) returns; the product and the
    // floor are taken in double precision.
    const double log10_2 = 0.30102999566398120;
    double scaled = static_cast<double>(exp2) * log10_2;
    return static_cast<int>(std::fabs(std::floor(scaled))) + 3;
}

std::string model_number_text(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
    std::string s = py_repr(x);
    if (s.find('e') == std::string::npos) return s;
    return fixed_text(x, model_number_decimals(x));
}

namespace {

void append_u_escape(std::string& out, std::uint32_t unit) {
    static const char hex[] = "0123456789abcdef";
    out += "\\u";
    out += hex[(unit >> 12) & 0xF];
    out += hex[(unit >> 8) & 0xF];
    out += hex[(unit >> 4) & 0xF];
    out += hex[unit & 0xF];
}

// Decodes one UTF-8 sequence starting at s[i]; returns its code point and
// advances i. Invalid sequences give U+FFFD and consume one byte.
std::uint32_t decode_utf8(const std::string& s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > s.size()) {
        ++i;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    // Reject overlong forms and values beyond U+10FFFF.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F)
                        append_u_escape(out, c);
                    else
                        out += static_cast<char>(c);
            }
            continue;
        }
        std::uint32_t cp = decode_utf8(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            append_u_escape(out, 0xD800 + (cp >> 10));
            append_u_escape(out, 0xDC00 + (cp & 0x3FF));
        } else {
            append_u_escape(out, cp);
        }
    }
    out += '"';
    return out;
}

}  // namespace ecm
