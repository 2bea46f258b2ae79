#include "orivex/audit/scheme_qc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "orivex/audit/pipeline.hpp"

using namespace orivex;
using Notes = std::vector<std::string>;

namespace {

ShellAngular shell_of(std::size_t count, std::optional<double> condition) {
  ShellAngular s;
  s.nominal_b = 1000.0;
  s.count = count;
  s.condition_number = condition;
  s.meets_dti_minimum = count >= 6;
  s.meets_dti_recommended = count >= 30;
  s.meets_csd_minimum = count >= 45;
  return s;
}

Report report_with(std::vector<ShellAngular> shells) {
  Report r = Report::create(SchemeTable{});
  r.angular = AngularSummary{5.0, std::move(shells)};
  return r;
}

Report applied(Report r, bool strict) {
  auto out = scheme_qc::apply(std::move(r), strict);
  EXPECT_TRUE(out);
  return std::move(out).value();
}

GradientTable table_of(std::vector<Vec3> dirs, std::vector<double> bvals) {
  auto t = GradientTable::create(std::move(dirs), std::move(bvals));
  EXPECT_TRUE(t);
  return std::move(t).value();
}

const char* const amplitude_note =
    "100% of non-b0 directions are not unit-length (norm 0.500–0.500, mean 0.500; tol 5%) — "
    "likely amplitude-encoded bvecs: the b-values cannot be trusted and orivex will not "
    "auto-correct them; recover explicitly with `orivex recompute-bval`.";

}  // namespace

TEST(SchemeQc, BelowRecommendedIsNotSevere) {
  for (bool strict : {false, true}) {
    const Report r = applied(report_with({shell_of(20, 3.0)}), strict);
    EXPECT_EQ(r.notes, (Notes{"shell b=1000: 20 directions, below the recommended 30 for a "
                              "robust DTI fit"}));
    EXPECT_EQ(r.status, Status::PASS);
  }
}

TEST(SchemeQc, BelowDtiMinimumSkipsRankNoteAndPromotesUnderStrict) {
  const std::string note =
      "shell b=1000: 4 directions, below the DTI minimum of 6 — the tensor fit is underdetermined";
  Report r = applied(report_with({shell_of(4, std::nullopt)}), false);
  EXPECT_EQ(r.notes, (Notes{note}));
  EXPECT_EQ(r.status, Status::PASS);
  r = applied(report_with({shell_of(4, std::nullopt)}), true);
  EXPECT_EQ(r.notes,
            (Notes{note, "strict: severe scheme-quality issue(s) promoted status PASS → WARN"}));
  EXPECT_EQ(r.status, Status::WARN);
}

TEST(SchemeQc, IdenticalDirectionsGiveRankAndDuplicateNotes) {
  const auto t = table_of(std::vector<Vec3>(8, Vec3{0, 0, 1}), std::vector<double>(8, 1000.0));
  const Report r = applied(scheme_report(t, {}, AuditParams{}), false);
  EXPECT_EQ(r.notes,
            (Notes{"shell b=1000: 8 directions, below the recommended 30 for a robust DTI fit",
                   "shell b=1000: DTI design matrix is rank-deficient (degenerate gradient "
                   "directions)",
                   "shell b=1000: 0 antipodal + 28 near-duplicate direction pair(s) within 5.0°"}));
}

TEST(SchemeQc, ConditionNumberBoundaries) {
  struct Case {
    double v;
    const char* note;  // nullptr: none
    bool severe;
  };
  const Case cases[] = {
      {9.99, nullptr, false},
      {10.0, "shell b=1000: DTI design-matrix condition number 10.0 is elevated", false},
      {49.96, "shell b=1000: DTI design-matrix condition number 50.0 is elevated", false},
      {50.0, "shell b=1000: DTI design-matrix condition number 50.0 is very high "
             "(ill-conditioned scheme)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v);
    const auto f = scheme_qc::findings(report_with({shell_of(60, c.v)}));
    if (!c.note) {
      EXPECT_TRUE(f.empty());
      continue;
    }
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].message, c.note);
    EXPECT_EQ(f[0].severe, c.severe);
  }
}

TEST(SchemeQc, CountsAntipodalAndPlainDuplicatesSeparately) {
  ShellAngular s = shell_of(60, 2.0);
  s.nominal_b = 2999.5;  // shown with no decimals
  s.duplicates = {{1, 2, 0.0, true}, {1, 3, 1.0, false}, {2, 3, 1.0, true}};
  Report r = report_with({s});
  r.angular->duplicate_angle_deg = 4.25;
  const auto f = scheme_qc::findings(r);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].message, "shell b=3000: 2 antipodal + 1 near-duplicate direction pair(s) within 4.2°");
  EXPECT_FALSE(f[0].severe);
}

TEST(SchemeQc, DriftThresholds) {
  struct Case {
    double r;
    const char* note;
    bool severe;
  };
  const Case cases[] = {
      {0.049, nullptr, false},
      {std::numeric_limits<double>::quiet_NaN(), nullptr, false},
      {0.05, "b0 signal drift is 5.0% peak-to-peak", false},
      {0.07, "b0 signal drift is 7.0% peak-to-peak", false},
      {0.1, "b0 signal drift is large (10.0% peak-to-peak) — check scanner stability", true},
      {0.12, "b0 signal drift is large (12.0% peak-to-peak) — check scanner stability", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.r);
    Report r = Report::create(SchemeTable{});
    r.b0_drift = B0Drift{{}, {}, 0.0, c.r};
    const auto f = scheme_qc::findings(r);
    if (!c.note) {
      EXPECT_TRUE(f.empty());
      continue;
    }
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].message, c.note);
    EXPECT_EQ(f[0].severe, c.severe);
  }
}

TEST(SchemeQc, FindingsFollowShellsThenBvaluesThenDrift) {
  Report r = report_with({shell_of(4, std::nullopt), shell_of(20, 12.0)});
  r.angular->shells[1].nominal_b = 2000.0;
  r.shells = ShellSummary{50.0, 0.05, {}, {}, {3, 7}};
  r.b0_drift = B0Drift{{}, {}, 0.0, 0.2};
  r.status = Status::FLAG;
  r = applied(std::move(r), true);
  EXPECT_EQ(r.notes,
            (Notes{"shell b=1000: 4 directions, below the DTI minimum of 6 — the tensor fit is "
                   "underdetermined",
                   "shell b=2000: 20 directions, below the recommended 30 for a robust DTI fit",
                   "shell b=2000: DTI design-matrix condition number 12.0 is elevated",
                   "2 volume(s) have non-integer b-values (ramp sampling or rounding)",
                   "b0 signal drift is large (20.0% peak-to-peak) — check scanner stability"}));
  EXPECT_EQ(r.status, Status::FLAG);  // no promotion note either
}

TEST(SchemeQc, AmplitudeEncodedDirectionsWarn) {
  const auto t = table_of({{0, 0, 0}, {0.5, 0, 0}, {0, 0.5, 0}, {0, 0, 0.5}}, {0, 1000, 1000, 1000});
  AuditParams p;
  Report r = scheme_report(t, {}, p);
  r.angular.reset();  // only the gate is under test here
  r = applied(std::move(r), false);
  EXPECT_EQ(r.notes, (Notes{amplitude_note}));
  EXPECT_EQ(r.status, Status::WARN);
}

TEST(SchemeQc, AmplitudeEncodedDirectionsFailUnderStrict) {
  const auto t = table_of({{0.5, 0, 0}, {0, 0.5, 0}}, {1000, 1000});
  Report r = scheme_report(t, {}, AuditParams{});
  auto out = scheme_qc::amplitude_gate(std::move(r), true);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind(), ErrorKind::AmplitudeEncoded);
  EXPECT_EQ(out.error().message(), std::string("amplitude-encoded bvecs (--strict): ") + amplitude_note);
}

TEST(SchemeQc, AmplitudeGateBoundaries) {
  Report r = Report::create(SchemeTable{});
  r.norm_stats = NormStats{4, 2, 0.5, 0.5, 1.0, 0.75, 0.05};  // exactly half: not gated
  auto out = scheme_qc::amplitude_gate(r, true);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->notes.empty());
  r.norm_stats = NormStats{0, 0, 0.75, 0.0, 0.0, 0.0, 0.05};  // no non-b0 volumes
  out = scheme_qc::amplitude_gate(r, true);
  ASSERT_TRUE(out);
  r.norm_stats.reset();
  EXPECT_TRUE(scheme_qc::amplitude_gate(r, true));
}

TEST(SchemeQc, FlagSurvivesPromotionAndGate) {
  Report r = report_with({shell_of(4, std::nullopt)});
  r.norm_stats = NormStats{3, 3, 1.0, 0.5, 0.5, 0.5, 0.05};
  r.status = Status::FLAG;
  r = applied(std::move(r), false);
  EXPECT_EQ(r.status, Status::FLAG);
  ASSERT_EQ(r.notes.size(), 2u);
  EXPECT_EQ(r.notes[1], amplitude_note);
}

TEST(SchemeReport, FillsTableOnlySections) {
  const auto t = table_of({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {0, 1000.5, 1000, 2000});
  AuditParams p;
  p.b0_threshold = 10.0;
  p.tolerance = 0.1;
  p.norm_tolerance = 0.2;
  const Report r = scheme_report(t, {InputFile{"x.bval", "00", 3}}, p);
  EXPECT_EQ(r.status, Status::PASS);
  ASSERT_EQ(r.inputs.size(), 1u);
  EXPECT_EQ(r.inputs[0].path, "x.bval");
  EXPECT_EQ(r.scheme.bvals, t.bvals());
  EXPECT_EQ(r.scheme.directions, t.bvecs());
  ASSERT_TRUE(r.shells && r.angular && r.norm_stats);
  EXPECT_FALSE(r.b0_drift || r.flip || r.repair);
  EXPECT_EQ(r.shells->b0_threshold, 10.0);
  EXPECT_EQ(r.shells->tolerance, 0.1);
  EXPECT_EQ(r.shells->shells.size(), 3u);  // b0, {1000, 1000.5}, 2000
  EXPECT_EQ(r.shells->b0.indices, (std::vector<std::size_t>{0}));
  EXPECT_EQ(r.shells->non_integer_bvals, (std::vector<std::size_t>{1}));
  EXPECT_EQ(r.angular->duplicate_angle_deg, 5.0);
  EXPECT_EQ(r.angular->shells.size(), 2u);
  EXPECT_EQ(r.norm_stats->non_b0_count, 3u);
  EXPECT_EQ(r.norm_stats->tolerance, 0.2);
  EXPECT_TRUE(r.notes.empty());
}

TEST(SchemeReport, ShellCountsFollowDetectedShells) {
  const auto counts = shell_counts({0, 1000, 3000, 1000, 5}, 50.0, 0.05);
  ASSERT_EQ(counts.size(), 3u);
  EXPECT_EQ(counts[0].nominal_b, 3.0);  // b0 mean 2.5 rounds away from zero
  EXPECT_EQ(counts[0].count, 2u);
  EXPECT_EQ(counts[1].nominal_b, 1000.0);
  EXPECT_EQ(counts[1].count, 2u);
  EXPECT_EQ(counts[2].nominal_b, 3000.0);
  EXPECT_EQ(counts[2].count, 1u);
}
