// The provenance record written beside corrected gradient files, and its JSON encoding.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/angular.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/shell.hpp"
#include "orivex/audit/report.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/support/error.hpp"
#include "orivex/support/json_writer.hpp"

namespace orivex {

// The coordinate frames a repair wrote its outputs in.
struct FrameProvenance {
  std::string input_format;  // "fsl" or "mrtrix"
  double affine_determinant_sign = 1.0;
  Mat3 rotation{};  // transpose of world_voxel_map
  Mat3 fsl_voxel_map{};
  Mat3 world_voxel_map{};
  bool frames_divergent = false;
  bool emitted_fsl = false;
  bool emitted_mrtrix = false;
};

// A section a later stage adds to the record (the verdict's `tracking` and `verdict`), written
// by that stage's own writer so the record and the report agree on it.
struct ProvenanceSection {
  std::string key;
  std::function<void(JsonWriter&)> write;
};

// The record written beside corrected gradient files: who wrote them, from which bytes, and why.
struct Provenance {
  std::uint32_t schema_version = 1;
  std::string tool;
  std::string tool_version;
  std::string timestamp;
  std::vector<InputFile> inputs;
  std::optional<ShellSummary> shells;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  std::vector<ProvenanceSection> sections;  // after `flip`, in this order
  std::optional<Mat3> applied_transform;
  std::optional<std::string> applied_label;
  std::optional<FrameProvenance> frame;
  std::vector<std::string> outputs;
  std::vector<std::string> notes;

  // Stamped now, every optional member absent, no outputs or notes.
  static Provenance create(std::vector<InputFile> inputs);
  // Copies `flip`; the applied transform and label follow its recommendation (absent without one).
  Provenance with_flip(const FlipResult& flip) &&;
  Provenance with_outputs(std::vector<std::string> outputs) &&;
};

// In declared key order, absent optional members left out entirely.
void write_json(JsonWriter& w, const Provenance& record);
std::string to_pretty_json(const Provenance& record);

namespace io::provenance {

// Writes the record pretty-printed, with no final line feed, by io::replace_file: after a
// failure (Io) an existing record at `path` is exactly as it was, never truncated.
Result<void> write(const std::string& path, const Provenance& record);

}  // namespace io::provenance

}  // namespace orivex
