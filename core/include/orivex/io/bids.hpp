// BIDS datasets: discovery of DWI runs by file-name rules, and the run's JSON sidecar record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orivex/support/error.hpp"

namespace orivex::io::bids {

// One DWI run and the files beside it. Paths hold the bytes the OS gave (not necessarily UTF-8).
struct DwiEntry {
  std::string dwi;
  std::string bvec;
  std::string bval;
  std::vector<std::string> masks;  // sorted, possibly empty
  std::optional<std::string> sidecar;
};

// The three acquisition facts the batch run notes; other sidecar keys are ignored.
struct BidsSidecar {
  std::optional<std::string> phase_encoding_direction;  // PhaseEncodingDirection
  std::optional<double> total_readout_time;             // TotalReadoutTime
  std::optional<std::uint32_t> multiband_acceleration_factor;  // MultibandAccelerationFactor
};

// Every DWI run under `root`, sorted by path component-wise. A missing root, or a root that is
// a file, gives an empty list. The only error is an Io error from a directory that could not be
// listed (or an entry that could not be read from a listing); its text() is the bare system text.
Result<std::vector<DwiEntry>> discover(const std::string& root);

// Appends every non-directory path below `dir`, skipping directories named exactly
// "derivatives" beneath it. Directory links are followed, but each real directory (device and
// inode) is walked once, by the first path to it in name order: link cycles end, and links
// that reach one directory along many paths cost one visit. On error `out` keeps what was
// appended before it.
Result<void> walk(const std::string& dir, std::vector<std::string>& out);

// The run's base path (the NIfTI path without .nii/.nii.gz, same directory), or absent when
// `path` does not name a DWI NIfTI ("*_dwi.nii" or "*_dwi.nii.gz").
std::optional<std::string> nifti_base(const std::string& path);

// The mask candidates in `dir`, sorted; empty when the directory cannot be listed.
std::vector<std::string> find_masks(const std::string& dir);

// Sorts paths component by component, each component by its bytes, so a directory's contents
// precede a sibling whose name merely extends the directory's name ("a/z" before "a-b/c").
void sort_paths(std::vector<std::string>& paths);

// Joins a directory and a name with one separator ("" joins to the name alone).
std::string join(const std::string& dir, std::string_view name);

// Replaces the file name's extension (from its last point, a leading point not counting), or
// appends one: "d/sub-01_dwi" with "bvec" gives "d/sub-01_dwi.bvec".
std::string with_extension(const std::string& path, std::string_view ext);

// One JSON document holding an object. Refuses a repeated PhaseEncodingDirection,
// TotalReadoutTime or MultibandAccelerationFactor, and values of the wrong type (the readout time
// must be a number, the multiband factor a whole number in 0..2^32-1); null counts as missing.
// Failures are Json errors.
Result<BidsSidecar> parse_sidecar(std::string_view text);
// Reads the file (Io error) and parses it.
Result<BidsSidecar> read_sidecar(const std::string& path);

}  // namespace orivex::io::bids
