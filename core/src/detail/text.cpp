// Tokenising of table files: Unicode whitespace, strict decimal numbers, debug quoting.
#include "detail/text.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orivex::detail {

char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (int k = 1; k < len && i + static_cast<std::size_t>(k) < s.size(); ++k)
    cp = (cp << 6) | (b(i + static_cast<std::size_t>(k)) & 0x3F);
  i += static_cast<std::size_t>(len);
  return cp;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view s) {
  std::size_t start = s.size(), end = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t at = i;
    if (!is_white_space(next_code_point(s, i))) {
      if (start == s.size()) start = at;
      end = i;
    }
  }
  if (start == s.size()) return {};
  return s.substr(start, end - start);
}

std::vector<std::string_view> tokens(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  bool in_token = false;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t at = i;
    bool ws = is_white_space(next_code_point(s, i));
    if (ws && in_token) {
      out.push_back(s.substr(start, at - start));
      in_token = false;
    } else if (!ws && !in_token) {
      start = at;
      in_token = true;
    }
  }
  if (in_token) out.push_back(s.substr(start));
  return out;
}

std::vector<std::string_view> lines(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start < s.size()) {
    std::size_t lf = s.find('\n', start);
    if (lf == std::string_view::npos) {
      out.push_back(s.substr(start));
      break;
    }
    std::size_t end = lf;
    if (end > start && s[end - 1] == '\r') --end;
    out.push_back(s.substr(start, end - start));
    start = lf + 1;
  }
  return out;
}

namespace {

bool printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  // Format characters, separators and non-characters that a debug rendering escapes.
  if (c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF0 && c <= 0xFFFB) ||
      c == 0xFFFE || c == 0xFFFF || c == 0x2028 || c == 0x2029 || (c >= 0xE000 && c <= 0xF8FF) ||
      c >= 0xF0000)
    return false;
  return true;
}

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::string debug_quoted(std::string_view token) {
  std::string out = "\"";
  for (std::size_t i = 0; i < token.size();) {
    std::size_t at = i;
    char32_t c = next_code_point(token, i);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == 0) {
      out += "\\0";
    } else if (!printable(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(token.substr(at, i - at));
    }
  }
  out += '"';
  return out;
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool parse_number(std::string_view t, double& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    negative = t[i] == '-';
    ++i;
  }
  std::string_view body = t.substr(i);
  if (iequal(body, "inf") || iequal(body, "infinity")) {
    out = negative ? -std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::infinity();
    return true;
  }
  if (iequal(body, "nan")) {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  std::size_t k = 0, int_digits = 0, frac_digits = 0;
  while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++int_digits;
  if (k < body.size() && body[k] == '.') {
    ++k;
    while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (k < body.size() && (body[k] == 'e' || body[k] == 'E')) {
    ++k;
    if (k < body.size() && (body[k] == '+' || body[k] == '-')) ++k;
    std::size_t exp_digits = 0;
    while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (k != body.size()) return false;
  double v = 0.0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    // Overflow to infinity and underflow to zero, as correctly rounded parsing gives.
    std::string copy(body);
    v = std::strtod(copy.c_str(), nullptr);
  } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
    return false;
  }
  out = negative ? -v : v;
  return true;
}

}  // namespace orivex::detail
