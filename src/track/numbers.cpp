#include "track/numbers.hpp"

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace track {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

bool plain_decimal(std::string_view text) {
    std::size_t i = 0, n = text.size();
    if (i < n && text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && is_digit(text[i])) ++i, ++digits;
    }
    return digits > 0 && i == n;
}

bool plain_integer(std::string_view text) {
    std::size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i)
        if (!is_digit(text[i])) return false;
    return true;
}

double decimal_value(std::string_view plain) {
    double result = 0;
    if (std::from_chars(plain.data(), plain.data() + plain.size(), result).ec != std::errc::result_out_of_range)
        return result;
    // Out of range: any nonzero digit before the point means beyond the
    // doubles, none means below them.
    bool negative = !plain.empty() && plain[0] == '-';
    bool beyond = false;
    for (char c : plain.substr(negative ? 1 : 0)) {
        if (c == '.') break;
        if (c != '0') beyond = true;
    }
    result = beyond ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -result : result;
}

bool read_decimal(std::string_view text, double& value) {
    text = trimmed(text);
    const char* p = text.data();
    const char* end = p + text.size();
    bool negative = p < end && *p == '-';
    if (negative) ++p;
    // Up to 19 digits fit a 64-bit integer; leading zeros count among them.
    std::uint64_t digits = 0;
    std::size_t count = 0, fraction = 0;
    for (; p < end && is_digit(*p); ++p, ++count)
        if (count < 19) digits = digits * 10 + std::uint64_t(*p - '0');
    if (p < end && *p == '.') {
        const char* point = p++;
        for (; p < end && is_digit(*p); ++p, ++count)
            if (count < 19) digits = digits * 10 + std::uint64_t(*p - '0');
        fraction = static_cast<std::size_t>(p - point - 1);
    }
    if (count == 0 || p != end) return false;
#if FLT_EVAL_METHOD == 0
    // Both the digits (below 2^53) and the power of ten (10^22 at most) are
    // doubles exactly, and IEEE division rounds correctly, to even on a tie:
    // the quotient is the correctly rounded value of the decimal, as float()
    // gives it (Clinger's fast path).
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (count <= 19 && digits <= (std::uint64_t(1) << 53) && fraction <= 22) {
        double magnitude = static_cast<double>(digits) / kPowers[fraction];
        value = negative ? -magnitude : magnitude;
        return true;
    }
#endif
    value = decimal_value(text);
    return true;
}

}  // namespace track
