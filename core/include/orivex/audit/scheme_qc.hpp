// Scheme-quality findings: human-readable notes about a table's design, strict promotion, and
// the gate against amplitude-encoded directions.
#pragma once

#include <string>
#include <vector>

#include "orivex/support/error.hpp"
#include "orivex/audit/report.hpp"

namespace orivex::scheme_qc {

inline constexpr double amplitude_fraction_limit = 0.5;

struct Finding {
  std::string message;
  bool severe = false;
};

// The findings of a filled report, in the order they are noted (shells, b-values, drift).
std::vector<Finding> findings(const Report& report);

// Notes every finding, promotes PASS to WARN under `strict` when one is severe, then runs
// `amplitude_gate`. Fails only through the gate.
Result<Report> apply(Report report, bool strict);

// Warns (PASS → WARN) when most non-b0 directions are not unit length; under `strict` fails with
// AmplitudeEncoded instead.
Result<Report> amplitude_gate(Report report, bool strict);

}  // namespace orivex::scheme_qc
