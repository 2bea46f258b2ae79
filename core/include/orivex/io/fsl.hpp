// FSL gradient files: a bvec of directions and a bval of b-values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orivex/support/error.hpp"
#include "orivex/io/gradient.hpp"

namespace orivex::io::fsl {

// The b-values of a bval text: every token a finite number of at least zero (Parse error).
Result<std::vector<double>> parse_floats(std::string_view text, const std::string& path);
// The rows of a bvec text, one per non-empty line: every token a finite number.
Result<std::vector<std::vector<double>>> parse_rows(std::string_view text, const std::string& path);
// Three axis rows of n numbers, else n rows of three; otherwise a Parse error on the bvec path.
Result<std::vector<Vec3>> to_directions(const std::vector<std::vector<double>>& rows, std::size_t n,
                                        const std::string& bvec_path);

// The Parse error of a table longer than any NIfTI-1 series.
Error too_many_volumes(const std::string& path, std::size_t n);

// Parses already-read texts in the fixed order: bval, bvec, orientation, table. A bval longer
// than max_table_volumes is refused before the bvec is looked at.
Result<GradientTable> parse_pair(std::string_view bvec_text, const std::string& bvec_path,
                                 std::string_view bval_text, const std::string& bval_path);

struct FslPair {
  GradientTable table;
  std::string bvec_text;  // the bytes parsed, for the input records
  std::string bval_text;
};

// Reads and parses the files in the same fixed order, the bval read and parsed before the bvec
// is opened, so a broken bval is reported ahead of anything wrong with the bvec.
Result<FslPair> read_pair(const std::string& bvec_path, const std::string& bval_path);

// The file texts; repair writes them (see write_outputs).
std::string render_bvec(const GradientTable& table);
std::string render_bval(const GradientTable& table);

}  // namespace orivex::io::fsl
