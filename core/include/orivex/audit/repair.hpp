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

// Readies `path` for a new file. Absent or unexaminable: nothing to do. Anything standing at
// `path` (a dangling link included) without `in_place`: RefuseOverwrite. With `in_place`, a
// regular file, or a symbolic link to one or to nothing, is renamed to the next free backup name,
// which is returned (a link is moved as the link: its target is never touched or written); a
// link to anything else is refused (output_through_link); a block device is refused
// (output_not_a_file); a character device or FIFO is left to be written through.
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

// Writes `data` to a fresh sibling of `path` and renames it over `path` only once it is complete
// (io::replace_file). On failure `path` is exactly as it was (absent, or its old content) and no
// sibling remains; a link at `path` is replaced, never written through. A character device or
// FIFO at `path` (such as /dev/full) cannot be replaced by a rename and is written through.
Result<void> write_file_replacing(const std::string& path, std::string_view data);

// Io error when `path` names one of the call's input files.
Result<void> check_not_input(const std::string& path, const std::vector<InputFile>& inputs);

// The files of one repair or b-value recovery, written as a unit. Every target is prepared
// (refused, or moved aside in place) before anything is written; after a failure roll_back
// puts every original back under its own name and removes the files that were created where
// nothing stood, so a failed call leaves the disk as it found it.
class OutputFiles {
 public:
  explicit OutputFiles(bool in_place) : in_place_(in_place) {}
  Result<void> prepare(const std::string& path);
  Result<void> write(const std::string& path, std::string_view data);
  // Returns `cause`; when an original cannot be put back its text names every backup left.
  Error roll_back(Error cause);
  // The backups made, in the order they were made.
  std::vector<std::string> backups() const;

 private:
  struct Target {
    std::string path;
    std::optional<std::string> backup;
    bool was_absent = false;
    bool written = false;
  };
  bool in_place_;
  std::vector<Target> targets_;
};

struct WrittenOutputs {
  std::vector<std::string> outputs;  // display texts of the files written, in writing order
  std::vector<std::string> backups;  // in the order they were made
};

// Backs up and writes a corrected table as one OutputFiles: every target of the set is readied
// first, then the FSL pair from `fsl`, the grad file, when the set has one, from `world`, and,
// when the set names a provenance path, the record that `record` makes from the written
// outputs. After a failure every original is back under its own name and nothing new remains
// (or the error names the backups that could not be put back).
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
// Decides, then writes as write_outputs does (the same files after a failure). A provenance
// path naming an input table is refused before anything is touched. `amend`, when given, has the
// last word on the provenance record before it is written.
Result<RepairOutput> repair_from_report(
    const GradientTable& table, Report report, const std::vector<InputFile>& inputs,
    const RepairSpec& request, double margin_threshold,
    const std::function<void(Provenance&)>& amend = {});

}  // namespace orivex
