// The report document: creation, the timestamp, and its JSON encodings.
#include "orivex/audit/report.hpp"

#include <cstdio>

namespace orivex {

const char* status_name(Status s) {
  switch (s) {
    case Status::PASS: return "PASS";
    case Status::WARN: return "WARN";
    case Status::FLAG: return "FLAG";
  }
  return "PASS";
}

const char* decision_name(Decision d) {
  switch (d) {
    case Decision::PASS: return "PASS";
    case Decision::WARN: return "WARN";
    case Decision::FLAG: return "FLAG";
  }
  return "PASS";
}

std::string rfc3339(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ns = floor<nanoseconds>(t);
  const auto day = floor<days>(ns);
  const year_month_day ymd{day};
  const int year = static_cast<int>(ymd.year());
  // RFC 3339 has room for four year digits only.
  if (!ymd.ok() || year < 0 || year > 9999) return {};
  const hh_mm_ss hms{ns - day};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", year,
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  std::string out = buf;
  const long long frac = hms.subseconds().count();
  if (frac != 0) {
    std::snprintf(buf, sizeof buf, "%09lld", frac);
    std::string digits = buf;
    digits.erase(digits.find_last_not_of('0') + 1);
    out += '.';
    out += digits;
  }
  out += 'Z';
  return out;
}

std::string rfc3339_now() { return rfc3339(std::chrono::system_clock::now()); }

Report Report::create(SchemeTable scheme) {
  Report r;
  r.timestamp = rfc3339_now();
  r.scheme = std::move(scheme);
  return r;
}

Report Report::with_repair(RepairInfo info) && {
  repair = std::move(info);
  return std::move(*this);
}

namespace {

void write_vec(JsonWriter& w, const Vec3& v) { w.array(v); }

void write_optional(JsonWriter& w, const std::optional<double>& v) {
  if (v) w.value(*v);
  else w.null();
}

}  // namespace

void write_json(JsonWriter& w, const Shell& s) {
  w.begin_object();
  w.member("nominal_b", s.nominal_b);
  w.member("mean_b", s.mean_b);
  w.member("min_b", s.min_b);
  w.member("max_b", s.max_b);
  w.member("count", s.count);
  w.key("indices").array(s.indices);
  w.member("is_b0", s.is_b0);
  w.end_object();
}

void write_json(JsonWriter& w, const ShellSummary& s) {
  w.begin_object();
  w.member("b0_threshold", s.b0_threshold);
  w.member("tolerance", s.tolerance);
  w.key("shells").begin_array();
  for (const Shell& shell : s.shells) write_json(w, shell);
  w.end_array();
  w.key("b0").begin_object();
  w.member("count", s.b0.count);
  w.key("indices").array(s.b0.indices);
  w.key("spacings").array(s.b0.spacings);
  w.end_object();
  w.key("non_integer_bvals").array(s.non_integer_bvals);
  w.end_object();
}

void write_json(JsonWriter& w, const B0Drift& d) {
  w.begin_object();
  w.key("indices").array(d.indices);
  w.key("mean_signal").array(d.mean_signal);
  w.member("slope", d.slope);
  w.member("relative_drift", d.relative_drift);
  w.end_object();
}

void write_json(JsonWriter& w, const AngularSummary& a) {
  w.begin_object();
  w.member("duplicate_angle_deg", a.duplicate_angle_deg);
  w.key("shells").begin_array();
  for (const ShellAngular& s : a.shells) {
    w.begin_object();
    w.member("nominal_b", s.nominal_b);
    w.member("count", s.count);
    w.member("electrostatic_energy", s.electrostatic_energy);
    w.key("condition_number");
    write_optional(w, s.condition_number);
    w.member("meets_dti_minimum", s.meets_dti_minimum);
    w.member("meets_dti_recommended", s.meets_dti_recommended);
    w.member("meets_csd_minimum", s.meets_csd_minimum);
    w.key("duplicates").begin_array();
    for (const DuplicatePair& p : s.duplicates) {
      w.begin_object();
      w.member("i", p.i);
      w.member("j", p.j);
      w.member("angle_deg", p.angle_deg);
      w.member("antipodal", p.antipodal);
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.end_object();
}

void write_json(JsonWriter& w, const CandidateScore& c) {
  w.begin_object();
  w.member("label", c.label);
  w.key("matrix");
  write_json(w, c.matrix);
  w.member("is_identity", c.is_identity);
  w.member("coherence", c.coherence);
  w.member("n_samples", c.n_samples);
  w.end_object();
}

void write_json(JsonWriter& w, const FlipResult& f) {
  w.begin_object();
  w.member("working_b", f.working_b);
  w.member("n_wm_voxels", f.n_wm_voxels);
  w.member("mask_mean_fa", f.mask_mean_fa);
  w.key("ranking").begin_array();
  for (const CandidateScore& c : f.ranking) write_json(w, c);
  w.end_array();
  w.key("best");
  write_json(w, f.best);
  w.key("runner_up");
  write_json(w, f.runner_up);
  w.member("identity_coherence", f.identity_coherence);
  w.member("margin", f.margin);
  w.member("relative_margin", f.relative_margin);
  if (f.margin_threshold) w.member("margin_threshold", *f.margin_threshold);
  w.member("decision", decision_name(f.decision));
  w.key("recommended_transform");
  if (f.recommended_transform) write_json(w, *f.recommended_transform);
  else w.null();
  w.key("recommended_label");
  if (f.recommended_label) w.value(*f.recommended_label);
  else w.null();
  w.end_object();
}

void write_json(JsonWriter& w, const RepairInfo& r) {
  w.begin_object();
  w.key("matrix");
  write_json(w, r.matrix);
  w.member("label", r.label);
  w.key("outputs").array(r.outputs);
  w.end_object();
}

void write_json(JsonWriter& w, const NormStats& n) {
  w.begin_object();
  w.member("non_b0_count", n.non_b0_count);
  w.member("non_unit_count", n.non_unit_count);
  w.member("non_unit_fraction", n.non_unit_fraction);
  w.member("norm_min", n.norm_min);
  w.member("norm_max", n.norm_max);
  w.member("norm_mean", n.norm_mean);
  w.member("tolerance", n.tolerance);
  w.end_object();
}

void write_json(JsonWriter& w, const Mat3& m) {
  w.begin_array();
  for (const auto& row : m) w.array(row);
  w.end_array();
}

void write_json(JsonWriter& w, const InputFile& input) {
  w.begin_object();
  w.member("path", input.path);
  w.member("sha256", input.sha256);
  w.member("bytes", input.bytes);
  w.end_object();
}

void write_json(JsonWriter& w, const Report& r) {
  w.begin_object();
  w.member("schema_version", r.schema_version);
  w.member("tool", r.tool);
  w.member("tool_version", r.tool_version_);
  w.member("timestamp", r.timestamp);
  w.member("status", status_name(r.status));
  w.key("inputs").begin_array();
  for (const InputFile& f : r.inputs) write_json(w, f);
  w.end_array();
  w.key("scheme").begin_object();
  w.key("directions").begin_array();
  for (const Vec3& d : r.scheme.directions) write_vec(w, d);
  w.end_array();
  w.key("bvals").array(r.scheme.bvals);
  w.end_object();
  if (r.shells) write_json(w.key("shells"), *r.shells);
  if (r.b0_drift) write_json(w.key("b0_drift"), *r.b0_drift);
  if (r.angular) write_json(w.key("angular"), *r.angular);
  if (r.flip) write_json(w.key("flip"), *r.flip);
  if (r.repair) write_json(w.key("repair"), *r.repair);
  if (r.norm_stats) write_json(w.key("norm_stats"), *r.norm_stats);
  w.key("notes").array(r.notes);
  w.end_object();
}

std::string to_json(const Report& report) {
  JsonWriter w(JsonWriter::Layout::Compact);
  write_json(w, report);
  return std::move(w).str();
}

std::string to_pretty_json(const Report& report) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  write_json(w, report);
  return std::move(w).str();
}

}  // namespace orivex
