// Turning a call's table and mask arguments into a loaded table, its input records and a mask.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

// Not an Error variant: the caller gave no usable combination of table arguments, and nothing
// was read. The binding raises it as its own ValueError.
inline constexpr const char* no_table_message = "provide bvec and bval, or grad";

struct LoadedTable {
  GradientTable table;
  // grad alone for an MRtrix input; bvec then bval for an FSL pair.
  std::vector<InputFile> inputs;
  // True when the table came from a grad file, so its directions are in the world frame.
  bool from_grad = false;
};

// grad wins over bvec+bval (which are then never touched); with neither a grad nor both FSL
// paths the result is an empty optional and no file is opened. The records digest the very
// bytes that were parsed, each file being read once.
Result<std::optional<LoadedTable>> load_table(const std::optional<std::string>& bvec,
                                              const std::optional<std::string>& bval,
                                              const std::optional<std::string>& grad);

// The table of an FSL pair and its records, bvec then bval (the files are read bval first).
Result<LoadedTable> load_fsl(const std::string& bvec, const std::string& bval);

// Absent without a path; otherwise the mask of the image (first volume of a 4-D image).
Result<std::optional<Mask>> read_optional_mask(const std::optional<std::string>& mask);

}  // namespace orivex
