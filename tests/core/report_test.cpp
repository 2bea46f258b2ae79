#include "orivex/audit/report.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <regex>

#include <nlohmann/json.hpp>

#include "orivex/support/json_writer.hpp"

using namespace orivex;

namespace {

Report minimal_report() {
  Report r = Report::create(SchemeTable{{{1, 0, 0}, {0, 0.5, -1e-6}}, {0, 1000}});
  r.timestamp = "2024-01-02T03:04:05Z";
  return r;
}

CandidateScore score(std::string label, double coherence) {
  CandidateScore c;
  c.label = std::move(label);
  c.matrix = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  c.is_identity = true;
  c.coherence = coherence;
  c.n_samples = 7;
  return c;
}

std::vector<std::size_t> key_positions(const std::string& json, const std::vector<std::string>& keys) {
  std::vector<std::size_t> pos;
  for (const auto& k : keys) pos.push_back(json.find("\"" + k + "\":"));
  return pos;
}

// Drops the whitespace between tokens, keeping string contents intact.
std::string without_layout(const std::string& json) {
  std::string out;
  bool in_string = false;
  for (std::size_t k = 0; k < json.size(); ++k) {
    const char c = json[k];
    if (in_string) {
      out.push_back(c);
      if (c == '\\') out.push_back(json[++k]);
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
      out.push_back(c);
    } else if (c != ' ' && c != '\n') {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

TEST(JsonWriter, CompactHasNoWhitespace) {
  JsonWriter w;
  w.begin_object();
  w.member("a", 1.0).member("b", std::size_t{2}).member("c", true).member("d", "x y");
  w.key("e").null();
  w.key("f").begin_array().end_array();
  w.key("g").begin_object().end_object();
  w.key("h").array(std::vector<double>{0.5, -0.0});
  w.end_object();
  EXPECT_EQ(w.str(), R"({"a":1.0,"b":2,"c":true,"d":"x y","e":null,"f":[],"g":{},"h":[0.5,-0.0]})");
}

TEST(JsonWriter, PrettyIndentsEveryMemberAndElement) {
  JsonWriter w(JsonWriter::Layout::Pretty);
  w.begin_object();
  w.key("a").array(std::vector<int>{1, 2});
  w.key("empty").begin_array().end_array();
  w.key("none").begin_object().end_object();
  w.key("nested").begin_array().begin_object().member("k", "v").end_object().end_array();
  w.end_object();
  EXPECT_EQ(w.str(),
            "{\n"
            "  \"a\": [\n"
            "    1,\n"
            "    2\n"
            "  ],\n"
            "  \"empty\": [],\n"
            "  \"none\": {},\n"
            "  \"nested\": [\n"
            "    {\n"
            "      \"k\": \"v\"\n"
            "    }\n"
            "  ]\n"
            "}");
}

TEST(JsonWriter, TopLevelScalarsAndEmptyContainers) {
  EXPECT_EQ(JsonWriter(JsonWriter::Layout::Pretty).begin_array().end_array().str(), "[]");
  EXPECT_EQ(JsonWriter().value(std::numeric_limits<double>::quiet_NaN()).str(), "null");
  EXPECT_EQ(JsonWriter().value(-std::numeric_limits<double>::infinity()).str(), "null");
  EXPECT_EQ(JsonWriter().value(std::uint64_t{18446744073709551615u}).str(), "18446744073709551615");
  EXPECT_EQ(JsonWriter().value(1.5e16).str(), "1.5e+16");
  EXPECT_EQ(JsonWriter().value(1e15).str(), "1000000000000000.0");
}

TEST(JsonWriter, StringEscapes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\b", R"("a\\b")"},
      {"l1\nl2\r\t", R"("l1\nl2\r\t")"},
      {"\b\f", R"("\b\f")"},
      {std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
      {"\x7f/", "\"\x7f/\""},
      {"— – ° →", "\"— – ° →\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(json_string(c.in), c.out);
  }
}

TEST(Report, Rfc3339TrimsTrailingZerosOfNanoseconds) {
  using namespace std::chrono;
  const sys_days day = year{2024} / February / 29;
  const auto base = system_clock::time_point(day) + hours{13} + minutes{5} + seconds{9};
  struct Case {
    nanoseconds frac;
    const char* text;
  };
  for (const Case c : {Case{nanoseconds{0}, "2024-02-29T13:05:09Z"},
                       Case{milliseconds{500}, "2024-02-29T13:05:09.5Z"},
                       Case{nanoseconds{123456789}, "2024-02-29T13:05:09.123456789Z"},
                       Case{nanoseconds{1}, "2024-02-29T13:05:09.000000001Z"},
                       Case{microseconds{120}, "2024-02-29T13:05:09.00012Z"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(rfc3339(base + duration_cast<system_clock::duration>(c.frac)), c.text);
  }
  EXPECT_EQ(rfc3339(system_clock::time_point{}), "1970-01-01T00:00:00Z");
}

TEST(Report, CreateFillsFixedHeader) {
  const Report r = Report::create(SchemeTable{});
  EXPECT_EQ(r.schema_version, 1u);
  EXPECT_EQ(r.tool, "orivex");
  EXPECT_EQ(r.tool_version_, "1.1.6");
  EXPECT_EQ(r.status, Status::PASS);
  EXPECT_TRUE(std::regex_match(r.timestamp,
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d*[1-9])?Z)")))
      << r.timestamp;
  EXPECT_FALSE(r.shells || r.b0_drift || r.angular || r.flip || r.repair || r.norm_stats);
}

TEST(Report, MinimalCompactEncoding) {
  Report r = minimal_report();
  r.notes.push_back("say \"x\"\nline — 5.0°");
  EXPECT_EQ(to_json(r),
            R"({"schema_version":1,"tool":"orivex","tool_version":"1.1.6",)"
            R"("timestamp":"2024-01-02T03:04:05Z","status":"PASS","inputs":[],)"
            R"("scheme":{"directions":[[1.0,0.0,0.0],[0.0,0.5,-1e-6]],"bvals":[0.0,1000.0]},)"
            R"("notes":["say \"x\"\nline — 5.0°"]})");
}

TEST(Report, SectionsFollowDeclaredOrder) {
  Report r = minimal_report();
  r.notes.push_back("n");
  r.norm_stats = NormStats{3, 1, 1.0 / 3.0, 0.9, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.05};
  r = std::move(r).with_repair(RepairInfo{{}, "old", {}});
  r = std::move(r).with_repair(RepairInfo{{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, "flip x", {"out.bvec"}});
  r.flip = FlipResult{};
  r.angular = AngularSummary{5.0, {}};
  r.b0_drift = B0Drift{{0, 9}, {100, 99}, -0.1, 0.01};
  r.shells = ShellSummary{50.0, 0.05, {}, {}, {}};
  const std::string j = to_json(r);
  const auto pos = key_positions(j, {"schema_version", "tool", "tool_version", "timestamp",
                                     "status", "inputs", "scheme", "shells", "b0_drift", "angular",
                                     "flip", "repair", "norm_stats", "notes"});
  for (std::size_t k = 0; k < pos.size(); ++k) ASSERT_NE(pos[k], std::string::npos) << k;
  for (std::size_t k = 1; k < pos.size(); ++k) EXPECT_LT(pos[k - 1], pos[k]) << k;
  EXPECT_EQ(j.rfind(R"({"schema_version":1,)", 0), 0u);
  EXPECT_NE(j.find(R"("repair":{"matrix":[[-1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],)"
                   R"("label":"flip x","outputs":["out.bvec"]})"),
            std::string::npos);
  EXPECT_NE(j.find(R"("norm_stats":{"non_b0_count":3,"non_unit_count":1,)"
                   R"("non_unit_fraction":0.3333333333333333,"norm_min":0.9,"norm_max":null,)"
                   R"("norm_mean":1.0,"tolerance":0.05})"),
            std::string::npos);
}

TEST(Report, ShellAndAngularRecords) {
  Report r = minimal_report();
  Shell s{1000.0, 1000.5, 999.0, 1002.0, 2, {1, 4}, false};
  r.shells = ShellSummary{50.0, 0.05, {s}, B0Summary{2, {0, 3}, {3}}, {4}};
  ShellAngular a;
  a.nominal_b = 1000.0;
  a.count = 4;
  a.electrostatic_energy = 12.25;
  a.duplicates.push_back({1, 4, 0.0, true});
  r.angular = AngularSummary{5.0, {a}};
  const std::string j = to_json(r);
  EXPECT_NE(j.find(R"("shells":[{"nominal_b":1000.0,"mean_b":1000.5,"min_b":999.0,"max_b":1002.0,)"
                   R"("count":2,"indices":[1,4],"is_b0":false}],)"
                   R"("b0":{"count":2,"indices":[0,3],"spacings":[3]},"non_integer_bvals":[4]})"),
            std::string::npos);
  EXPECT_NE(j.find(R"("angular":{"duplicate_angle_deg":5.0,"shells":[{"nominal_b":1000.0,"count":4,)"
                   R"("electrostatic_energy":12.25,"condition_number":null,)"
                   R"("meets_dti_minimum":false,"meets_dti_recommended":false,)"
                   R"("meets_csd_minimum":false,)"
                   R"("duplicates":[{"i":1,"j":4,"angle_deg":0.0,"antipodal":true}]}]})"),
            std::string::npos);
}

TEST(Report, FlipOptionalMembers) {
  Report r = minimal_report();
  FlipResult f;
  f.working_b = 1000.0;
  f.n_wm_voxels = 42;
  f.mask_mean_fa = 0.25;
  f.ranking = {score("identity", 0.9)};
  f.best = score("identity", 0.9);
  f.runner_up = score("identity", 0.5);
  f.identity_coherence = 0.9;
  f.margin = 0.4;
  f.relative_margin = 0.4 / 0.9;
  f.decision = Decision::WARN;
  r.flip = f;
  std::string j = to_json(r);
  EXPECT_EQ(j.find("margin_threshold"), std::string::npos);
  const std::string cand =
      R"({"label":"identity","matrix":[[1.0,0.0,0.0],[0.0,1.0,0.0],[0.0,0.0,1.0]],)"
      R"("is_identity":true,"coherence":0.9,"n_samples":7})";
  EXPECT_NE(j.find(R"("flip":{"working_b":1000.0,"n_wm_voxels":42,"mask_mean_fa":0.25,)"
                   R"("ranking":[)" + cand + R"(],"best":)" + cand + R"(,"runner_up":)"),
            std::string::npos);
  EXPECT_NE(j.find(R"("margin":0.4,"relative_margin":0.4444444444444445,"decision":"WARN",)"
                   R"("recommended_transform":null,"recommended_label":null})"),
            std::string::npos);

  f.margin_threshold = 0.02;
  f.decision = Decision::FLAG;
  f.recommended_transform = Mat3{{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};
  f.recommended_label = "flip y";
  r.flip = f;
  j = to_json(r);
  EXPECT_NE(j.find(R"("relative_margin":0.4444444444444445,"margin_threshold":0.02,"decision":"FLAG",)"
                   R"("recommended_transform":[[1.0,0.0,0.0],[0.0,-1.0,0.0],[0.0,0.0,1.0]],)"
                   R"("recommended_label":"flip y"})"),
            std::string::npos);
}

TEST(Report, PrettyAndCompactDescribeTheSameDocument) {
  // nlohmann::json as an independent reader: both layouts must parse to equal documents, and
  // the pretty one must differ from the compact one only in whitespace between tokens.
  Report r = minimal_report();
  r.shells = ShellSummary{50.0, 0.05, {Shell{1000.0, 1000.0, 1000.0, 1000.0, 1, {1}, false}},
                          B0Summary{1, {0}, {}}, {}};
  r.angular = AngularSummary{5.0, {ShellAngular{}}};
  r.norm_stats = NormStats{1, 1, 1.0, 0.5, 0.5, 0.5, 0.05};
  r.notes = {"ünïcode — °", "tab\there"};
  const auto compact = nlohmann::json::parse(to_json(r));
  const auto pretty = nlohmann::json::parse(to_pretty_json(r));
  EXPECT_EQ(compact, pretty);
  EXPECT_EQ(without_layout(to_pretty_json(r)), to_json(r));
  EXPECT_EQ(compact["notes"][0], "ünïcode — °");
  EXPECT_NE(to_pretty_json(r).back(), '\n');
  EXPECT_NE(to_pretty_json(r).find("\n  \"inputs\": [],\n  \"scheme\": {\n    \"directions\": [\n"
                                   "      [\n        1.0,\n"),
            std::string::npos);
}
