// The report document of one call and its compact and pretty JSON encodings.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "orivex/analysis/angular.hpp"
#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/shell.hpp"
#include "orivex/io/gradient.hpp"
#include "orivex/io/input_file.hpp"
#include "orivex/support/json_writer.hpp"
#include "orivex/support/version.hpp"

namespace orivex {

enum class Status { PASS, WARN, FLAG };

const char* status_name(Status s);
const char* decision_name(Decision d);

struct SchemeTable {
  std::vector<Vec3> directions;
  std::vector<double> bvals;
};

struct RepairInfo {
  Mat3 matrix{};
  std::string label;
  std::vector<std::string> outputs;
};

struct Report {
  std::uint32_t schema_version = 1;
  std::string tool = tool_name;
  std::string tool_version_ = tool_version;
  std::string timestamp;
  Status status = Status::PASS;
  std::vector<InputFile> inputs;
  SchemeTable scheme;
  std::optional<ShellSummary> shells;
  std::optional<B0Drift> b0_drift;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  std::optional<RepairInfo> repair;
  std::optional<NormStats> norm_stats;
  std::vector<std::string> notes;

  // schema 1, tool, version, the current UTC time, PASS, empty inputs and notes.
  static Report create(SchemeTable scheme);
  Report with_repair(RepairInfo info) &&;
};

// RFC 3339 UTC with nanoseconds, trailing zeros removed; "" if the time cannot be formatted.
std::string rfc3339_now();
std::string rfc3339(std::chrono::system_clock::time_point t);

// The report (or one of its records) as the next value of `w`, in declared key order.
void write_json(JsonWriter& w, const Report& report);
void write_json(JsonWriter& w, const InputFile& input);
void write_json(JsonWriter& w, const Mat3& m);
void write_json(JsonWriter& w, const Shell& shell);
void write_json(JsonWriter& w, const ShellSummary& shells);
void write_json(JsonWriter& w, const B0Drift& drift);
void write_json(JsonWriter& w, const AngularSummary& angular);
void write_json(JsonWriter& w, const CandidateScore& score);
void write_json(JsonWriter& w, const FlipResult& flip);
void write_json(JsonWriter& w, const RepairInfo& repair);
void write_json(JsonWriter& w, const NormStats& stats);

std::string to_json(const Report& report);         // compact
std::string to_pretty_json(const Report& report);  // two-space layout, no final line feed

}  // namespace orivex
