#include "track/numbers.hpp"

#include <charconv>
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

}  // namespace track
