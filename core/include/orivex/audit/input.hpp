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
Result<std::optional<MaskImage>> read_optional_mask_image(const std::optional<std::string>& mask);

// What a careful reader would want to know about a mask that has the DWI's voxel count yet may
// not be its mask: a placement in the scanner that differs from the DWI's by more than half a
// voxel at some corner of the grid, a 4-D image of which only the first volume is used, NaN
// voxels (counted inside). One note each, in that order.
std::vector<std::string> mask_notes(const MaskImage& mask, const VolumeInfo& dwi);

}  // namespace orivex
