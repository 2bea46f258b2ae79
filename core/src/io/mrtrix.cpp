// MRtrix grad reading (comments, at least four numbers per row) and writing.
#include "orivex/io/mrtrix.hpp"

#include <cmath>

#include "detail/text.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex::io::mrtrix {

Result<std::array<double, 4>> parse_row(std::string_view line, const std::string& path) {
  std::array<double, 4> row{};
  std::size_t found = 0;
  for (std::string_view tok : detail::tokens(line)) {
    if (found == 4) break;  // later tokens are never parsed
    double v;
    if (!detail::parse_number(tok, v)) return Error::invalid_number(path, tok);
    if (!std::isfinite(v)) return Error::non_finite_number(path, tok);
    if (found == 3 && v < 0.0) return Error::negative_bvalue(path, tok);
    row[found++] = v;
  }
  if (found < 4) return Error::parse(path, "expected 4 values per row, found " + std::to_string(found));
  return row;
}

Result<GradientTable> parse(std::string_view text, const std::string& path) {
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  for (std::string_view line : detail::lines(text)) {
    std::string_view t = detail::trim(line);
    if (t.empty() || t.front() == '#') continue;
    ORIVEX_ASSIGN(auto row, parse_row(t, path));
    if (bvals.size() == max_table_volumes) {
      std::size_t n = bvals.size() + 1;
      for (std::string_view rest : detail::lines(text.substr(static_cast<std::size_t>(t.data() - text.data()) + t.size()))) {
        std::string_view r = detail::trim(rest);
        if (!r.empty() && r.front() != '#') ++n;
      }
      return io::fsl::too_many_volumes(path, n);
    }
    dirs.push_back({row[0], row[1], row[2]});
    bvals.push_back(row[3]);
  }
  return GradientTable::create(std::move(dirs), std::move(bvals));
}

std::string render(const GradientTable& table) {
  std::string out;
  const std::size_t n = std::min(table.bvecs().size(), table.bvals().size());
  for (std::size_t i = 0; i < n; ++i) {
    const Vec3& d = table.bvecs()[i];
    const double b = table.bvals()[i];
    out += numfmt::six_decimals(d[0]) + ' ' + numfmt::six_decimals(d[1]) + ' ' +
           numfmt::six_decimals(d[2]) + ' ' + numfmt::shortest_plain(b) + '\n';
  }
  return out;
}

}  // namespace orivex::io::mrtrix
