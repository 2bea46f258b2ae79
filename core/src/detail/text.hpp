// Text helpers of the table readers: UTF-8 tokenising under the Unicode White_Space set,
// debug-escaping of tokens, ASCII case folding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orivex::detail {

// Decodes one code point of valid UTF-8 at s[i], advancing i.
char32_t next_code_point(std::string_view s, std::size_t& i);
bool is_white_space(char32_t c);
std::string_view trim(std::string_view s);
std::vector<std::string_view> tokens(std::string_view s);
// Lines ended by LF, one CR before the LF removed; the last line needs no LF.
std::vector<std::string_view> lines(std::string_view s);
// The token in double quotes as a debug string: \\ and \" escaped, non-printable as \u{hex}.
std::string debug_quoted(std::string_view token);
// ASCII letters folded to lower case, every other byte kept.
std::string lower_ascii(std::string_view s);
// A number by the decimal grammar (sign, digits, point, exponent; inf/infinity/nan any case).
bool parse_number(std::string_view token, double& out);

}  // namespace orivex::detail
