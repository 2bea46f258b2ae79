#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "orivex/audit/call_params.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/audit/pipeline.hpp"
#include "orivex/audit/repair.hpp"

using namespace orivex;
namespace fs = std::filesystem;

namespace {

const std::string kPhantom = std::string(ORIVEX_TEST_DATA) + "/../../python/orivex/data/phantom";

GradientTable table_of(std::size_t n) {
  std::vector<Vec3> g(n, Vec3{1, 0, 0});
  std::vector<double> b(n, 1000.0);
  b[0] = 0.0;
  return *GradientTable::create(g, b);
}

FloatArray zeros(std::vector<std::size_t> shape) {
  FloatArray a;
  a.shape = shape;
  std::size_t n = 1;
  for (std::size_t s : shape) n *= s;
  a.data.assign(n, 0.0f);
  return a;
}

// Every request that takes a volume, so the input checks are proved once for all of them.
std::vector<std::pair<const char*, std::function<Result<Report>(const GradientTable&,
                                                                const FloatArray&, const Mask*)>>>
entry_points() {
  AuditParams p;
  auto run = [p](PipelineRequest request) {
    return [=](auto& t, auto& v, auto* m) -> Result<Report> {
      auto r = run_pipeline(t, &v, m, {}, p, request);
      if (!r) return r.error();
      return r->report;
    };
  };
  return {
      {"audit", [p](auto& t, auto& v, auto* m) { return audit(t, &v, m, {}, p); }},
      {"audit timed", run({.timings = true})},
      {"audit with glyphs", run({.glyphs = true})},
      {"audit timed with glyphs", run({.timings = true, .glyphs = true})},
      {"detect", [p](auto& t, auto& v, auto* m) { return detect(t, v, m, {}, p); }},
      {"detect with glyphs", run({.scheme = false, .glyphs = true})},
  };
}

struct Phantom {
  LoadedVolume volume;
  GradientTable truth;
  GradientTable xflip;
  std::vector<InputFile> inputs;
};

const Phantom& phantom() {
  static const Phantom p = [] {
    Phantom out;
    auto v = read_volume_with_info(kPhantom + "/dwi.nii.gz");
    EXPECT_TRUE(v) << (v ? "" : v.error().message());
    if (v) out.volume = std::move(*v);
    auto bval = *io::read_bytes(kPhantom + "/dwi.bval");
    auto t = io::fsl::parse_pair(*io::read_bytes(kPhantom + "/dwi.bvec"), "dwi.bvec", bval, "dwi.bval");
    auto x = io::fsl::parse_pair(*io::read_bytes(kPhantom + "/dwi_xflip.bvec"), "dwi_xflip.bvec", bval,
                                 "dwi.bval");
    if (t) out.truth = *t;
    if (x) out.xflip = *x;
    out.inputs = {InputFile::from_bytes("dwi.bval", bval)};
    return out;
  }();
  return p;
}

// As the binding fills it for a bvec/bval pair: FSL frame map and the grid's default step.
AuditParams phantom_params() {
  return image_audit_params(CallOptions{}, phantom().volume.info, false);
}

}  // namespace

TEST(PipelineChecks, VolumeCountMismatchNamesBothCounts) {
  FloatArray dwi = zeros({2, 2, 2, 64});
  for (auto& [name, run] : entry_points()) {
    SCOPED_TRACE(name);
    auto r = run(table_of(65), dwi, nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::VolumeMismatch);
    EXPECT_EQ(r.error().message(), "volume mismatch: 65 gradients but 64 DWI volumes");
  }
}

TEST(PipelineChecks, ThreeDimensionalImageIsOneVolume) {
  FloatArray dwi = zeros({2, 2, 2});
  for (auto& [name, run] : entry_points()) {
    SCOPED_TRACE(name);
    auto r = run(table_of(2), dwi, nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "volume mismatch: 2 gradients but 1 DWI volumes");
  }
}

TEST(PipelineChecks, MaskLengthAndTheOrderOfTheTwoChecks) {
  FloatArray dwi = zeros({10, 10, 10, 3});
  Mask mask(999, 1);
  for (auto& [name, run] : entry_points()) {
    SCOPED_TRACE(name);
    auto r = run(table_of(3), dwi, &mask);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::MaskMismatch);
    EXPECT_EQ(r.error().message(),
              "mask grid mismatch: mask has 999 voxels but the DWI grid has 1000");
    auto both = run(table_of(4), dwi, &mask);
    ASSERT_FALSE(both);
    EXPECT_EQ(both.error().kind(), ErrorKind::VolumeMismatch);
  }
}

TEST(PickShell, NearestNonB0ShellEarlierWinsTies) {
  const std::vector<double> b{0, 1000, 1000, 3000, 3000, 5};
  struct Case {
    double requested;
    double expected;
  };
  for (Case c : {Case{2000, 1000}, Case{2001, 3000}, Case{0, 1000}, Case{1e9, 3000}}) {
    SCOPED_TRACE(c.requested);
    auto s = pick_shell(b, 50.0, 0.05, c.requested);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->nominal_b, c.expected);
    EXPECT_FALSE(s->is_b0);
  }
  auto none = pick_shell({0, 10, 49}, 50.0, 0.05, 1000);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().message(), "no usable non-b0 shell for flip detection");
}

TEST(PipelineChecks, RequestedShellWithoutNonB0ShellFails) {
  FloatArray dwi = zeros({2, 2, 2, 2});
  auto t = *GradientTable::create({{0, 0, 0}, {0, 0, 0}}, {0, 10});
  AuditParams p;
  p.shell = 1000;
  auto r = detect(t, dwi, nullptr, {}, p);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "no usable non-b0 shell for flip detection");
}

TEST(NoteLowMaskFa, OnlyStrictlyBetweenZeroAndPointThree) {
  const std::string tail =
      " is low (looks whole-brain) — flip-detection sensitivity is reduced; supply a WM mask "
      "(FA-thresholded) for a wider margin";
  struct Case {
    double fa;
    std::string note;  // empty: no note
  };
  const std::vector<Case> cases{
      {0.25, "coherence mask mean FA 0.25" + tail},
      {0.1, "coherence mask mean FA 0.10" + tail},
      {0.2999, "coherence mask mean FA 0.30" + tail},
      {0.3, ""},
      {0.0, ""},
      {0.5, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fa);
    Report r = Report::create(SchemeTable{});
    r.notes = {"earlier"};
    r.flip = FlipResult{};
    r.flip->mask_mean_fa = c.fa;
    note_low_mask_fa(r);
    if (c.note.empty()) {
      EXPECT_EQ(r.notes.size(), 1u);
    } else {
      ASSERT_EQ(r.notes.size(), 2u);
      EXPECT_EQ(r.notes[1], c.note);
    }
  }
  Report no_flip = Report::create(SchemeTable{});
  note_low_mask_fa(no_flip);
  EXPECT_TRUE(no_flip.notes.empty());
}

TEST(PathStr, InvalidUtf8IsReplaced) {
  EXPECT_EQ(path_str("run/dwi.bvec"), "run/dwi.bvec");
  EXPECT_EQ(path_str("a\xff" "b"), "a\xEF\xBF\xBD" "b");
}

TEST(Audit, WithoutVolumeIsTheTableOnlyAudit) {
  auto r = audit(table_of(4), nullptr, nullptr, {InputFile::from_bytes("t", "")}, AuditParams{});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(r->shells && r->angular && r->norm_stats);
  EXPECT_FALSE(r->flip || r->b0_drift || r->repair);
  ASSERT_EQ(r->inputs.size(), 1u);
  EXPECT_EQ(r->inputs[0].path, "t");
}

TEST(Audit, PhantomTrueTablePasses) {
  const Phantom& p = phantom();
  auto r = audit(p.truth, &p.volume.array, nullptr, p.inputs, phantom_params());
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->flip);
  EXPECT_EQ(r->flip->decision, Decision::PASS);
  EXPECT_EQ(r->flip->best.label, "+x+y+z");
  ASSERT_TRUE(r->b0_drift);
  EXPECT_EQ(r->b0_drift->indices, p.truth.b0_indices(50.0));
  EXPECT_TRUE(r->shells && r->angular && r->norm_stats);
  EXPECT_EQ(r->inputs.size(), 1u);
}

TEST(Detect, PhantomReportHasOnlyTheFlipSection) {
  const Phantom& p = phantom();
  auto r = detect(p.xflip, p.volume.array, nullptr, p.inputs, phantom_params());
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->flip);
  EXPECT_EQ(r->flip->decision, Decision::FLAG);
  EXPECT_EQ(r->status, Status::FLAG);
  EXPECT_EQ(r->flip->recommended_label, "-x+y+z");
  EXPECT_FALSE(r->shells || r->angular || r->norm_stats || r->b0_drift);
  EXPECT_EQ(r->scheme.bvals, p.xflip.bvals());
  EXPECT_EQ(r->inputs.size(), 1u);
}

TEST(Audit, VariantsAgreeAndCarryTheirExtras) {
  const Phantom& p = phantom();
  AuditParams params = phantom_params();
  auto plain = audit(p.xflip, &p.volume.array, nullptr, {}, params);
  const FloatArray* dwi = &p.volume.array;
  auto timed = run_pipeline(p.xflip, dwi, nullptr, {}, params, {.timings = true});
  auto glyphs = run_pipeline(p.xflip, dwi, nullptr, {}, params, {.glyphs = true});
  auto both = run_pipeline(p.xflip, dwi, nullptr, {}, params, {.timings = true, .glyphs = true});
  auto dglyphs = run_pipeline(p.xflip, dwi, nullptr, {}, params, {.scheme = false, .glyphs = true});
  ASSERT_TRUE(plain && timed && glyphs && both && dglyphs);
  for (const Report* r : {&timed->report, &glyphs->report, &both->report}) {
    EXPECT_EQ(r->status, plain->status);
    EXPECT_EQ(r->flip->best.label, plain->flip->best.label);
    EXPECT_EQ(r->notes, plain->notes);
  }
  EXPECT_FALSE(timed->glyphs);
  EXPECT_TRUE(glyphs->glyphs && both->glyphs && dglyphs->glyphs);
  EXPECT_GT(timed->timings.fit_time.seconds() + timed->timings.rank_time.seconds(), 0.0);
  EXPECT_FALSE(dglyphs->report.shells);
}

TEST(Repair, PhantomXFlipRepairedInPlaceThenPasses) {
  const Phantom& p = phantom();
  std::string tmpl = (fs::temp_directory_path() / "orivex-roundtrip-XXXXXX").string();
  fs::path dir = ::mkdtemp(tmpl.data());
  const std::string bvec = (dir / "dwi.bvec").string(), bval = (dir / "dwi.bval").string();
  ASSERT_TRUE(io::write_bytes(bvec, io::fsl::render_bvec(p.xflip)));
  ASSERT_TRUE(io::write_bytes(bval, io::fsl::render_bval(p.xflip)));
  const std::string flipped = *io::read_bytes(bvec);
  RepairSpec s;
  s.out_bvec = bvec;
  s.out_bval = bval;
  s.in_place = true;
  s.provenance = (dir / "provenance.json").string();
  auto r = repair(p.xflip, p.volume.array, nullptr, p.inputs, phantom_params(), s);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->report.repair);
  EXPECT_EQ(r->report.repair->label, "-x+y+z");
  EXPECT_EQ(r->backups, (std::vector<std::string>{bvec + ".bak", bval + ".bak"}));
  EXPECT_EQ(*io::read_bytes(bvec + ".bak"), flipped);
  auto back = io::fsl::parse_pair(*io::read_bytes(bvec), bvec, *io::read_bytes(bval), bval);
  ASSERT_TRUE(back);
  auto again = audit(*back, &p.volume.array, nullptr, {}, phantom_params());
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(again->flip->decision, Decision::PASS);
  EXPECT_EQ(again->flip->best.label, "+x+y+z");
  EXPECT_TRUE(fs::exists(*s.provenance));
  std::error_code ec;
  fs::remove_all(dir, ec);
}
