// Number texts whose exact form is fixed: JSON floats, plain shortest decimals, fixed decimals.
#pragma once

#include <string>

namespace orivex::numfmt {

// Shortest round-trip digits, positional for decimal exponents -5..15 with a trailing ".0" on
// whole values, otherwise d.ddde±X; NaN and infinities as "null".
std::string json_number(double v);

// Shortest round-trip digits, always positional, no trailing ".0" (0, 1000, 998.5, 0.00003);
// NaN as "NaN", infinities as "inf"/"-inf".
std::string shortest_plain(double v);

// A direction component of a table file: six decimals, an exact zero of either sign as
// "0.000000" (a small negative value that rounds to zero keeps its sign).
std::string six_decimals(double v);

// Exactly `decimals` digits after the point, rounded from the exact binary value (ties to even);
// NaN as "NaN", infinities as "inf"/"-inf".
std::string fixed(double v, int decimals);

}  // namespace orivex::numfmt
