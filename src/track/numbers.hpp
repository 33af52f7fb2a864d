// Numbers as GPX files write them, and as Python's float() reads them.
//
// Only the plain forms are taken on trust: whatever else float() or int()
// accepts (exponents, a plus sign, underscores, inf and nan, non-ASCII
// digits) gpxpy may read differently from a reader, so such text is left to
// gpxpy.
#pragma once

#include <string_view>

namespace track {

// The whitespace XML allows around a value.
std::string_view trimmed(std::string_view text);

// -ddd, -ddd.ddd, -ddd. or -.ddd (the sign optional).
bool plain_decimal(std::string_view text);

// -ddd (the sign optional).
bool plain_integer(std::string_view text);

// float() of a plain decimal: correctly rounded from all digits, however
// many. Beyond the doubles it gives infinity, below them zero, both signed.
double decimal_value(std::string_view plain);

// float() of `text` when it is a plain decimal between XML whitespace; false
// otherwise. The same as decimal_value(trimmed(text)), in one pass for the
// short numbers files hold.
bool read_decimal(std::string_view text, double& value);

}  // namespace track
