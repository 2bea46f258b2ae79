// MRtrix gradient files: one "x y z b" row per volume.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "orivex/support/error.hpp"
#include "orivex/io/gradient.hpp"

namespace orivex::io::mrtrix {

// One trimmed, non-comment line: the first four numbers, all finite and b at least zero.
Result<std::array<double, 4>> parse_row(std::string_view line, const std::string& path);
Result<GradientTable> parse(std::string_view text, const std::string& path);
// The file text; repair writes it (see write_outputs).
std::string render(const GradientTable& table);

}  // namespace orivex::io::mrtrix
