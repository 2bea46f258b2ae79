// FSL bvec/bval reading (both orientations) and writing.
#include "orivex/io/fsl.hpp"

#include <cmath>
#include <cstdio>

#include "detail/text.hpp"
#include "orivex/io/file.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex::io::fsl {

namespace {

// Every token a finite number: inf, nan and literals that overflow a double would pass through
// the analyses as nulls and NaN verdicts. A b-value below zero has no meaning either.
Result<std::vector<double>> parse_values(std::string_view text, const std::string& path,
                                         bool bvalues) {
  std::vector<double> out;
  for (std::string_view tok : detail::tokens(text)) {
    double v;
    if (!detail::parse_number(tok, v)) return Error::invalid_number(path, tok);
    if (!std::isfinite(v)) return Error::non_finite_number(path, tok);
    if (bvalues && v < 0.0) return Error::negative_bvalue(path, tok);
    out.push_back(v);
  }
  return out;
}

}  // namespace

Result<std::vector<double>> parse_floats(std::string_view text, const std::string& path) {
  return parse_values(text, path, true);
}

Result<std::vector<std::vector<double>>> parse_rows(std::string_view text,
                                                    const std::string& path) {
  std::vector<std::vector<double>> rows;
  for (std::string_view line : detail::lines(text)) {
    std::string_view t = detail::trim(line);
    if (t.empty()) continue;
    ORIVEX_ASSIGN(auto row, parse_values(t, path, false));
    rows.push_back(std::move(row));
  }
  return rows;
}

Result<std::vector<Vec3>> to_directions(const std::vector<std::vector<double>>& rows, std::size_t n,
                                        const std::string& bvec_path) {
  std::vector<Vec3> dirs;
  if (rows.size() == 3 && rows[0].size() == n && rows[1].size() == n && rows[2].size() == n) {
    for (std::size_t i = 0; i < n; ++i) dirs.push_back({rows[0][i], rows[1][i], rows[2][i]});
    return dirs;
  }
  if (rows.size() == n) {
    bool all_three = true;
    for (const auto& r : rows) all_three = all_three && r.size() == 3;
    if (all_three) {
      for (const auto& r : rows) dirs.push_back({r[0], r[1], r[2]});
      return dirs;
    }
  }
  return Error::parse(bvec_path, "bvec shape does not match the b-value count");
}

Error too_many_volumes(const std::string& path, std::size_t n) {
  return Error::parse(path, std::to_string(n) + " volumes, more than the " +
                                std::to_string(max_table_volumes) +
                                " a NIfTI-1 series can hold");
}

namespace {

Result<std::vector<double>> parse_bvals(std::string_view text, const std::string& path) {
  ORIVEX_ASSIGN(auto bvals, parse_floats(text, path));
  if (bvals.size() > max_table_volumes) return too_many_volumes(path, bvals.size());
  return bvals;
}

Result<GradientTable> parse_bvecs(std::string_view text, const std::string& path,
                                  std::vector<double> bvals) {
  ORIVEX_ASSIGN(auto rows, parse_rows(text, path));
  ORIVEX_ASSIGN(auto dirs, to_directions(rows, bvals.size(), path));
  return GradientTable::create(std::move(dirs), std::move(bvals));
}

}  // namespace

Result<GradientTable> parse_pair(std::string_view bvec_text, const std::string& bvec_path,
                                 std::string_view bval_text, const std::string& bval_path) {
  ORIVEX_ASSIGN(auto bvals, parse_bvals(bval_text, bval_path));
  return parse_bvecs(bvec_text, bvec_path, std::move(bvals));
}

Result<FslPair> read_pair(const std::string& bvec_path, const std::string& bval_path) {
  FslPair pair;
  ORIVEX_ASSIGN(pair.bval_text, read_text(bval_path));
  ORIVEX_ASSIGN(auto bvals, parse_bvals(pair.bval_text, bval_path));
  ORIVEX_ASSIGN(pair.bvec_text, read_text(bvec_path));
  ORIVEX_ASSIGN(pair.table, parse_bvecs(pair.bvec_text, bvec_path, std::move(bvals)));
  return pair;
}

std::string render_bvec(const GradientTable& table) {
  std::string out;
  for (int axis = 0; axis < 3; ++axis) {
    bool first = true;
    for (const Vec3& d : table.bvecs()) {
      if (!first) out += ' ';
      first = false;
      out += numfmt::six_decimals(d[static_cast<std::size_t>(axis)]);
    }
    out += '\n';
  }
  return out;
}

std::string render_bval(const GradientTable& table) {
  std::string out;
  bool first = true;
  for (double b : table.bvals()) {
    if (!first) out += ' ';
    first = false;
    out += numfmt::shortest_plain(b);
  }
  out += '\n';
  return out;
}

}  // namespace orivex::io::fsl
