// Table repair: the transform, the forced-repair rule, backups, and the repair pipeline.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/frame.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/provenance.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/error.hpp"

namespace orivex {

// A transform chosen for a table and the table it produces.
struct Repair {
  GradientTable table;
  std::string label;
  Mat3 matrix{};

  // The best candidate of a WARN decision, unless it is the identity or its negation (which
  // leave every fibre axis where it was, so there is nothing to force).
  static std::optional<Repair> force_from_best(const GradientTable& table, const FlipResult& flip);
};

// Readies `path` for a new file. Absent or unexaminable: nothing to do. Existing regular file
// (or link to one): with `in_place` it is renamed to the next free backup name, which is
// returned; without it RefuseOverwrite. An existing non-regular file (device, FIFO) is never
// moved: with `in_place` it is written through, without it RefuseOverwrite.
// On failure nothing was renamed.
Result<std::optional<std::string>> prepare_output(const std::string& path, bool in_place);
// `path`.bak, else `path`.bak.1, `path`.bak.2, ...: the first name that does not exist.
std::string next_backup_path(const std::string& path);
std::string with_suffix(const std::string& path, const std::string& suffix);

// Where a corrected table goes: the FSL pair, optionally an MRtrix file and a provenance record.
// An existing output is refused unless `in_place`, which keeps the old file under its backup
// name; `dry_run` writes nothing.
struct OutputSet {
  std::string out_bvec;
  std::string out_bval;
  std::optional<std::string> out_grad;
  std::optional<std::string> provenance;
  bool dry_run = false;
  bool in_place = false;
};

// Io error unless every given output names a different file (compared by normalised path and,
// for existing files, by device and inode), so one output can never silently replace another.
Result<void> check_distinct_outputs(const std::vector<std::string>& paths);
// The same over the outputs of a set, in writing order.
Result<void> check_distinct_outputs(const OutputSet& set);

// Writes `data` to a fresh sibling of `path` and renames it over `path` only once it is complete.
// On failure `path` is exactly as it was (absent, or its old content) and no sibling remains.
// An existing non-regular `path` (a device such as /dev/full, a FIFO) cannot be replaced by a
// rename and is written through directly; whatever it accepted before the failure is gone.
Result<void> write_file_replacing(const std::string& path, std::string_view data);

struct WrittenOutputs {
  std::vector<std::string> outputs;  // display texts of the files written, in writing order
  std::vector<std::string> backups;  // in the order they were made
};

// Backs up and writes a corrected table: the FSL pair from `fsl` (both paths are readied before
// either is written), then the grad file, when the set has one, from `world`, then, when the set
// names a provenance path, the record that `record` makes from the written outputs.
// On disk after a failure: backups already made stay (so every replaced original is recoverable
// from its .bak name), outputs completed before the failing one stay, the failing output is
// absent (or untouched if it was not moved aside), and no provenance record is written unless
// its own write was the failure (then it may be partial).
Result<WrittenOutputs> write_outputs(
    const OutputSet& set, const GradientTable& fsl, const GradientTable& world,
    const std::function<Provenance(const std::vector<std::string>& outputs)>& record);

struct RepairSpec : OutputSet {
  std::optional<FrameMaps> frames;
  bool force_repair = false;
};

struct RepairOutput {
  Report report;
  std::optional<GradientTable> table;  // absent when no transform was applied
  std::vector<std::string> backups;    // in the order they were made
  std::optional<GlyphData> glyphs;     // with `glyphs` only
};

// Audit (keeping its glyph data when `glyphs`), then repair_from_report. Outputs that name the
// same file are refused before the audit. On disk after a failure: see repair_from_report (an
// audit failure touches nothing).
Result<RepairOutput> repair(const GradientTable& table, const FloatArray& dwi, const Mask* mask,
                            std::vector<InputFile> inputs, const AuditParams& params,
                            const RepairSpec& request, bool glyphs = false);
// Decides, then writes as write_outputs does (the same files after a failure).
Result<RepairOutput> repair_from_report(const GradientTable& table, Report report,
                                        const std::vector<InputFile>& inputs,
                                        const RepairSpec& request, double margin_threshold);

}  // namespace orivex
