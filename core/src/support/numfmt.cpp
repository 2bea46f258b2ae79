// Number texts whose exact form is fixed by the file and JSON formats.
#include "orivex/support/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace orivex::numfmt {
namespace {

struct Decimal {
  bool negative = false;
  std::string digits;  // significant digits, no leading zeros ("0" for zero)
  int exponent = 0;    // decimal exponent of the first digit
};

// Shortest round-trip digits of a finite value, split into sign, digits and exponent.
Decimal decompose(double v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, res.ptr);
  Decimal d;
  std::size_t i = 0;
  if (s[i] == '-') {
    d.negative = true;
    ++i;
  }
  std::size_t e = s.find('e');
  for (std::size_t k = i; k < e; ++k)
    if (s[k] != '.') d.digits.push_back(s[k]);
  d.exponent = std::stoi(s.substr(e + 1));
  return d;
}

std::string positional(const Decimal& d, bool keep_point_zero) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out += d.digits;
  } else if (d.exponent + 1 >= n) {
    out += d.digits;
    out.append(static_cast<std::size_t>(d.exponent + 1 - n), '0');
    if (keep_point_zero) out += ".0";
  } else {
    out += d.digits.substr(0, static_cast<std::size_t>(d.exponent + 1));
    out += '.';
    out += d.digits.substr(static_cast<std::size_t>(d.exponent + 1));
  }
  return out;
}

std::string non_finite(double v) {
  if (std::isnan(v)) return "NaN";
  return v > 0 ? "inf" : "-inf";
}

}  // namespace

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  if (v == 0.0) return std::signbit(v) ? "-0.0" : "0.0";
  Decimal d = decompose(v);
  if (d.exponent >= -5 && d.exponent <= 15) return positional(d, true);
  std::string out = d.negative ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += d.exponent < 0 ? '-' : '+';
  out += std::to_string(d.exponent < 0 ? -d.exponent : d.exponent);
  return out;
}

std::string shortest_plain(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  if (v == 0.0) return std::signbit(v) ? "-0" : "0";
  return positional(decompose(v), false);
}

std::string fixed(double v, int decimals) {
  if (!std::isfinite(v)) return non_finite(v);
  const int n = std::snprintf(nullptr, 0, "%.*f", decimals, v);
  if (n <= 0) return {};  // not reached: a finite value has at least one digit
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), "%.*f", decimals, v);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string six_decimals(double v) { return v == 0.0 ? "0.000000" : fixed(v, 6); }

}  // namespace orivex::numfmt
