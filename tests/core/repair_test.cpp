#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "orivex/analysis/frame.hpp"
#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/audit/repair.hpp"
#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;
namespace fs = std::filesystem;

namespace {

const Mat3 kMinusIdentity{{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}};
const Mat3 kSwapXY{{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}}};

void put(const std::string& path, const std::string& text) {
  ASSERT_TRUE(io::write_bytes(path, text));
}
std::string get(const std::string& path) {
  auto r = io::read_bytes(path);
  return r ? *r : "<missing>";
}

GradientTable table() {
  return *GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.6, 0, 0.8}},
                                {0, 1000, 1000, 1000});
}

CandidateScore score(const std::string& label, const Mat3& m, double coherence) {
  return CandidateScore{label, m, m == kIdentity, coherence, 100};
}

// A report whose flip result says `decision` with `best` ranked first.
Report report_with(Decision decision, const CandidateScore& best, double relative_margin = 0.5) {
  Report r = Report::create(SchemeTable{table().bvecs(), table().bvals()});
  FlipResult f;
  f.working_b = 1000;
  f.best = best;
  f.runner_up = score("+x+y+z", kIdentity, 0.1);
  f.ranking = {f.best, f.runner_up};
  f.relative_margin = relative_margin;
  f.decision = decision;
  if (decision == Decision::FLAG) {
    f.recommended_transform = best.matrix;
    f.recommended_label = best.label;
  }
  r.flip = f;
  r.status = decision == Decision::FLAG ? Status::FLAG
             : decision == Decision::WARN ? Status::WARN
                                          : Status::PASS;
  return r;
}

RepairSpec spec_in(const TempDir& d) {
  RepairSpec s;
  s.out_bvec = d / "x.bvec";
  s.out_bval = d / "x.bval";
  return s;
}

const std::string kOriginalBvec = "0 1 0 0.6\n0 0 1 0\n0 0 0 0.8\n";
const std::string kOriginalBval = "0 1000 1000 1000\n";

}  // namespace

TEST(ApplyTransform, MultipliesByRowsAndNeverStoresNegativeZero) {
  GradientTable t = apply_transform(table(), kXFlip);
  ASSERT_EQ(t.size(), 4u);
  // The b0 row and the zero components of the flipped rows would be -0 without the rule.
  for (const Vec3& g : t.bvecs()) {
    for (double c : g) {
      if (c == 0.0) {
        EXPECT_FALSE(std::signbit(c));
      }
    }
  }
  EXPECT_EQ(t.bvecs()[1], (Vec3{-1, 0, 0}));
  EXPECT_EQ(t.bvecs()[3], (Vec3{-0.6, 0, 0.8}));
  EXPECT_EQ(t.bvals(), table().bvals());
  GradientTable s = apply_transform(table(), kSwapXY);
  EXPECT_EQ(s.bvecs()[1], (Vec3{0, 1, 0}));
  EXPECT_EQ(s.bvecs()[3], (Vec3{0, 0.6, 0.8}));
  EXPECT_EQ(io::fsl::render_bvec(t).find("-0.000000"), std::string::npos);
}

TEST(ForceFromBest, NothingToForceForIdentityOrItsNegation) {
  FlipResult f;
  f.best = score("+x+y+z", kIdentity, 1);
  EXPECT_FALSE(Repair::force_from_best(table(), f));
  f.best = score("-x-y-z", kMinusIdentity, 1);
  EXPECT_FALSE(Repair::force_from_best(table(), f));
  f.best = score("-x+y+z", kXFlip, 1);
  auto r = Repair::force_from_best(table(), f);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->label, "-x+y+z");
  EXPECT_EQ(r->matrix, kXFlip);
  EXPECT_EQ(r->table.bvecs()[1], (Vec3{-1, 0, 0}));
}

TEST(Backups, SuffixIsAppendedToTheWholeName) {
  EXPECT_EQ(with_suffix("run/dwi.bvec", "bak"), "run/dwi.bvec.bak");
  EXPECT_EQ(with_suffix("run/dwi.bvec", "bak.3"), "run/dwi.bvec.bak.3");
}

TEST(Backups, FirstFreeNameOfTheSeries) {
  TempDir d;
  const std::string p = d / "x.bvec";
  EXPECT_EQ(next_backup_path(p), p + ".bak");
  put(p + ".bak", "first");
  EXPECT_EQ(next_backup_path(p), p + ".bak.1");
  put(p + ".bak.1", "second");
  EXPECT_EQ(next_backup_path(p), p + ".bak.2");
  // A dangling link is still a name in use.
  fs::create_symlink(d / "nowhere", p + ".bak.2");
  EXPECT_EQ(next_backup_path(p), p + ".bak.3");
}

TEST(PrepareOutput, AbsentRefusedAndMovedAside) {
  TempDir d;
  const std::string p = d / "x.bvec";
  auto none = prepare_output(p, false);
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);
  put(p, "old");
  auto refused = prepare_output(p, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::RefuseOverwrite);
  EXPECT_EQ(refused.error().message(),
            "refusing to overwrite existing file: " + p + " (pass --force to allow)");
  EXPECT_EQ(get(p), "old");
  put(p + ".bak", "older");
  auto moved = prepare_output(p, true);
  ASSERT_TRUE(moved);
  EXPECT_EQ(**moved, p + ".bak.1");
  EXPECT_EQ(get(p + ".bak.1"), "old");
  EXPECT_EQ(get(p + ".bak"), "older");
  EXPECT_FALSE(fs::exists(p));
}

TEST(PrepareOutput, DevicesAreNeverMoved) {
  auto r = prepare_output("/dev/full", true);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_TRUE(fs::exists("/dev/full"));
  EXPECT_FALSE(fs::exists("/dev/full.bak"));
  // Writing into a block device would destroy a disk, not replace a file.
  for (const auto& e : fs::directory_iterator("/dev")) {
    if (!fs::is_block_file(fs::symlink_status(e.path()))) continue;
    auto b = prepare_output(e.path().string(), true);
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().message(),
              "I/O error: refusing to write into a block device: " + e.path().string());
    break;
  }
}

TEST(DistinctOutputs, SameFileUnderAnyNameIsRefused) {
  TempDir d;
  put(d / "a", "x");
  fs::create_hard_link(d / "a", d / "hard");
  struct Case {
    std::vector<std::string> paths;
    std::string clash;  // empty: accepted
  };
  const std::string dir = d.path.string();
  const std::vector<Case> cases{
      {{dir + "/x.bvec", dir + "/x.bval"}, ""},
      {{dir + "/x.bvec", dir + "/x.bvec"},
       "output paths must differ: " + dir + "/x.bvec names the same file as " + dir + "/x.bvec"},
      {{dir + "/x.bvec", dir + "/sub/../x.bvec"},
       "output paths must differ: " + dir + "/sub/../x.bvec names the same file as " + dir +
           "/x.bvec"},
      {{dir + "/x.bvec", dir + "/x.bval", dir + "/x.bval"},
       "output paths must differ: " + dir + "/x.bval names the same file as " + dir + "/x.bval"},
      {{dir + "/a", dir + "/b", dir + "/hard"},
       "output paths must differ: " + dir + "/hard names the same file as " + dir + "/a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.paths.back());
    auto r = check_distinct_outputs(c.paths);
    if (c.clash.empty()) {
      EXPECT_TRUE(r);
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), ErrorKind::Io);
      EXPECT_EQ(r.error().message(), "I/O error: " + c.clash);
    }
  }
}

TEST(WriteFileReplacing, CompleteOrNothing) {
  TempDir d;
  put(d / "t", "old content");
  ASSERT_TRUE(write_file_replacing(d / "t", "new"));
  EXPECT_EQ(get(d / "t"), "new");
  auto r = write_file_replacing(d / "missing-dir/t", "new");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error: No such file or directory (os error 2)");
  auto full = write_file_replacing("/dev/full", "data");
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().message(), "I/O error: No space left on device (os error 28)");
  // No temporary sibling is left behind.
  EXPECT_EQ(d.listing().size(), 1u);
}

TEST(RepairFromReport, FlagDryRunRecordsTheRepairAndWritesNothing) {
  TempDir d;
  put(d / "x.bvec", kOriginalBvec);
  auto before = d.listing();
  struct stat st_before {};
  ::stat((d / "x.bvec").c_str(), &st_before);
  RepairSpec s = spec_in(d);
  s.dry_run = true;
  s.out_grad = d / "x.grad";
  s.provenance = d / "x.json";
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), {},
                              s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_TRUE(r->report.repair);
  EXPECT_EQ(r->report.repair->matrix, kXFlip);
  EXPECT_EQ(r->report.repair->label, "-x+y+z");
  EXPECT_TRUE(r->report.repair->outputs.empty());
  ASSERT_TRUE(r->table);
  EXPECT_EQ(r->table->bvecs()[1], (Vec3{-1, 0, 0}));
  EXPECT_TRUE(r->backups.empty());
  EXPECT_EQ(d.listing(), before);
  struct stat st_after {};
  ::stat((d / "x.bvec").c_str(), &st_after);
  EXPECT_EQ(st_before.st_mtim.tv_sec, st_after.st_mtim.tv_sec);
  EXPECT_EQ(st_before.st_mtim.tv_nsec, st_after.st_mtim.tv_nsec);
}

TEST(RepairFromReport, DecisionsThatRepairNothing) {
  struct Case {
    const char* name;
    Decision decision;
    CandidateScore best;
    bool force;
  };
  const std::vector<Case> cases{
      {"warn without force", Decision::WARN, score("-x+y+z", kXFlip, 1), false},
      {"warn forced on identity", Decision::WARN, score("+x+y+z", kIdentity, 1), true},
      {"warn forced on minus identity", Decision::WARN, score("-x-y-z", kMinusIdentity, 1), true},
      {"pass forced", Decision::PASS, score("-x+y+z", kXFlip, 1), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    RepairSpec s = spec_in(d);
    s.force_repair = c.force;
    auto r = repair_from_report(table(), report_with(c.decision, c.best, 0.0123), {}, s, 0.02);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_FALSE(r->report.repair);
    EXPECT_FALSE(r->table);
    EXPECT_TRUE(r->report.notes.empty());
    EXPECT_TRUE(d.listing().empty());
  }
}

TEST(RepairFromReport, ForcedWarnWritesAndNotesItsNumbers) {
  TempDir d;
  RepairSpec s = spec_in(d);
  s.force_repair = true;
  auto r = repair_from_report(table(), report_with(Decision::WARN, score("-x+y+z", kXFlip, 1), 0.0123),
                              {}, s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->report.notes.size(), 1u);
  EXPECT_EQ(r->report.notes[0],
            "repair force-applied on a WARN decision (--force-repair); margin 1.23% is below the "
            "2% auto-repair threshold — verify the result.");
  ASSERT_TRUE(r->report.repair);
  EXPECT_EQ(r->report.repair->label, "-x+y+z");
  EXPECT_EQ(r->report.repair->outputs, (std::vector<std::string>{s.out_bvec, s.out_bval}));
  EXPECT_EQ(get(s.out_bvec), io::fsl::render_bvec(apply_transform(table(), kXFlip)));
}

TEST(RepairFromReport, NoFlipResultReturnsTheReportUnchanged) {
  TempDir d;
  Report rep = Report::create(SchemeTable{});
  auto r = repair_from_report(table(), rep, {}, spec_in(d), 0.02);
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->report.repair);
  EXPECT_TRUE(d.listing().empty());
}

TEST(RepairFromReport, InPlaceKeepsTheOriginalsAsBackups) {
  TempDir d;
  put(d / "x.bvec", kOriginalBvec);
  put(d / "x.bval", kOriginalBval);
  put(d / "x.bvec.bak", "earlier backup");
  RepairSpec s = spec_in(d);
  s.in_place = true;
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), {},
                              s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->backups, (std::vector<std::string>{d / "x.bvec.bak.1", d / "x.bval.bak"}));
  EXPECT_EQ(get(d / "x.bvec.bak.1"), kOriginalBvec);
  EXPECT_EQ(get(d / "x.bval.bak"), kOriginalBval);
  EXPECT_EQ(get(d / "x.bvec.bak"), "earlier backup");
  // The written pair reads back as the repaired table under the six-decimal rule.
  auto back = io::fsl::parse_pair(get(s.out_bvec), s.out_bvec, get(s.out_bval), s.out_bval);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->bvecs(), apply_transform(table(), kXFlip).bvecs());
  EXPECT_EQ(back->bvals(), table().bvals());
  EXPECT_EQ(d.listing().size(), 5u);  // no temporary sibling left
}

TEST(RepairFromReport, WithoutInPlaceAnExistingOutputIsRefusedAndNothingChanges) {
  TempDir d;
  put(d / "x.bvec", kOriginalBvec);
  auto before = d.listing();
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), {},
                              spec_in(d), 0.02);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "refusing to overwrite existing file: " + (d / "x.bvec") + " (pass --force to allow)");
  EXPECT_EQ(d.listing(), before);
}

TEST(RepairFromReport, ExistingBvalIsCheckedBeforeTheBvecIsWritten) {
  TempDir d;
  put(d / "x.bval", kOriginalBval);
  auto before = d.listing();
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), {},
                              spec_in(d), 0.02);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::RefuseOverwrite);
  EXPECT_EQ(d.listing(), before);
}

TEST(RepairFromReport, OutputsNamingOneFileAreRefusedBeforeAnyWrite) {
  TempDir d;
  put(d / "x.bvec", kOriginalBvec);
  auto before = d.listing();
  struct Case {
    std::string bvec, bval;
    std::optional<std::string> grad, prov;
    std::string later, earlier;
  };
  const std::vector<Case> cases{
      {d / "x.bvec", d / "x.bvec", {}, {}, d / "x.bvec", d / "x.bvec"},
      {d / "x.bvec", d / "y.bval", d / "./y.bval", {}, d / "./y.bval", d / "y.bval"},
      {d / "x.bvec", d / "y.bval", {}, d / "x.bvec", d / "x.bvec", d / "x.bvec"},
  };
  for (bool dry : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.later + (dry ? " dry" : ""));
      RepairSpec s;
      s.out_bvec = c.bvec;
      s.out_bval = c.bval;
      s.out_grad = c.grad;
      s.provenance = c.prov;
      s.in_place = true;
      s.dry_run = dry;
      auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)),
                                  {}, s, 0.02);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().message(), "I/O error: output paths must differ: " + c.later +
                                         " names the same file as " + c.earlier);
      EXPECT_EQ(d.listing(), before);
    }
  }
}

TEST(RepairFromReport, AnyFailureRollsEveryFileBack) {
  // A failing write (/dev/full stands in for a full disk) after the originals were moved aside,
  // at each stage: the first table, the second, the grad, the provenance record. Whatever
  // failed, the directory is exactly as before the call.
  const std::vector<std::string> stages{"bvec", "bval", "grad", "provenance"};
  for (const std::string& failing : stages) {
    SCOPED_TRACE(failing);
    TempDir d;
    put(d / "x.bvec", kOriginalBvec);
    put(d / "x.bval", kOriginalBval);
    put(d / "x.grad", "old grad");
    put(d / "p.json", "{\"old\": true}");
    RepairSpec s = spec_in(d);
    s.out_grad = d / "x.grad";
    s.provenance = d / "p.json";
    s.in_place = true;
    if (failing == "bvec") s.out_bvec = "/dev/full";
    if (failing == "bval") s.out_bval = "/dev/full";
    if (failing == "grad") s.out_grad = "/dev/full";
    if (failing == "provenance") s.provenance = "/dev/full";
    auto before = d.listing();
    auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)),
                                {}, s, 0.02);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "I/O error: No space left on device (os error 28)");
    EXPECT_EQ(d.listing(), before);
    EXPECT_TRUE(fs::exists("/dev/full"));
  }
}

TEST(RepairFromReport, ExistingGradOrProvenanceIsRefusedBeforeAnythingIsWritten) {
  for (const std::string name : {"x.grad", "p.json"}) {
    TempDir d;
    put(d / name, "old");
    RepairSpec s = spec_in(d);
    s.out_grad = d / "x.grad";
    s.provenance = d / "p.json";
    auto before = d.listing();
    auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)),
                                {}, s, 0.02);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::RefuseOverwrite);
    EXPECT_EQ(d.listing(), before);
  }
}

TEST(RepairFromReport, ProvenanceOverAnInputIsRefused) {
  TempDir d;
  put(d / "in.bvec", kOriginalBvec);
  RepairSpec s = spec_in(d);
  s.provenance = d / "sub/../in.bvec";
  s.in_place = true;
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)),
                              {*InputFile::of(d / "in.bvec")}, s, 0.02);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(),
            "I/O error: refusing to overwrite an input file: " + *s.provenance);
  EXPECT_EQ(get(d / "in.bvec"), kOriginalBvec);
  EXPECT_EQ(d.listing().size(), 1u);
}

TEST(OutputFiles, FailedRollbackNamesEveryBackupLeft) {
  // The original cannot go back: a directory now stands at its name.
  TempDir d;
  put(d / "a", "original a");
  put(d / "b", "original b");
  OutputFiles files(true);
  ASSERT_TRUE(files.prepare(d / "a"));
  ASSERT_TRUE(files.prepare(d / "b"));
  fs::create_directory(d / "a");
  put(d / "a/keep", "x");
  Error e = files.roll_back(Error::io_errno(ENOSPC));
  EXPECT_EQ(e.kind(), ErrorKind::Io);
  EXPECT_EQ(e.message(), "I/O error: No space left on device (os error 28); the originals could "
                         "not be put back and are kept as " + (d / "a.bak"));
  EXPECT_EQ(get(d / "a.bak"), "original a");
  EXPECT_EQ(get(d / "b"), "original b");
}

TEST(Outputs, LinksAreMovedOrReplacedNeverWrittenThrough) {
  TempDir d;
  put(d / "target", "precious");
  fs::create_symlink(d / "target", d / "link");
  fs::create_symlink("/dev/null", d / "devlink");
  fs::create_symlink(d / "nowhere", d / "dangling");
  EXPECT_EQ(prepare_output(d / "dangling", false).error().kind(), ErrorKind::RefuseOverwrite);
  EXPECT_EQ(**prepare_output(d / "link", true), d / "link.bak");  // the link itself is the backup
  EXPECT_EQ(prepare_output(d / "devlink", true).error().message(),
            "I/O error: refusing to write through a symbolic link: " + (d / "devlink"));
  ASSERT_TRUE(write_file_replacing(d / "link.bak", "new"));
  EXPECT_FALSE(fs::is_symlink(d / "link.bak"));
  EXPECT_EQ(get(d / "target"), "precious");
}

TEST(RepairFromReport, WithoutFramesEveryOutputHoldsTheRepairedTable) {
  TempDir d;
  RepairSpec s = spec_in(d);
  s.out_grad = d / "x.grad";
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-y+x+z", kSwapXY, 1)), {},
                              s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  GradientTable fixed = apply_transform(table(), kSwapXY);
  EXPECT_EQ(get(s.out_bvec), io::fsl::render_bvec(fixed));
  EXPECT_EQ(get(s.out_bval), io::fsl::render_bval(fixed));
  EXPECT_EQ(get(*s.out_grad), io::mrtrix::render(fixed));
  EXPECT_EQ(r->report.repair->outputs,
            (std::vector<std::string>{s.out_bvec, s.out_bval, *s.out_grad}));
}

TEST(RepairFromReport, FslTableKeepsItsFrameAndOnlyTheGradIsConverted) {
  VolumeInfo info;
  info.dims = {2, 2, 2, 4};
  info.voxel_sizes = {2, 2, 2};
  info.affine = Mat4{{{{0, 0, 2, 0}}, {{2, 0, 0, 0}}, {{0, 2, 0, 0}}, {{0, 0, 0, 1}}}};
  FrameMaps maps = FrameMaps::resolve(TableFrame::Fsl, info);
  TempDir d;
  RepairSpec s = spec_in(d);
  s.out_grad = d / "x.grad";
  s.frames = maps;
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), {},
                              s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  GradientTable fixed = apply_transform(table(), kXFlip);
  EXPECT_EQ(get(s.out_bvec), io::fsl::render_bvec(fixed));
  EXPECT_EQ(get(*s.out_grad), io::mrtrix::render(apply_transform(fixed, maps.to_world())));
  EXPECT_NE(get(*s.out_grad), io::mrtrix::render(fixed));
}

TEST(RepairFromReport, DivergentFramesAreNotedOnEveryCall) {
  VolumeInfo info;
  info.dims = {2, 2, 2, 4};
  info.affine = Mat4{{{{-2, 0, 0, 0}}, {{0, -2, 0, 0}}, {{0, 0, 2, 0}}, {{0, 0, 0, 1}}}};
  RepairSpec base;
  base.frames = FrameMaps::resolve(TableFrame::Fsl, info);
  ASSERT_TRUE(base.frames->divergent);
  const std::string note =
      "FSL and world frames diverge for this image (positive affine determinant with a "
      "multi-axis rotation); confirm the gradient is in the frame you intend before consuming a "
      "cross-format output";
  struct Case {
    const char* name;
    Report report;
    bool dry;
  };
  std::vector<Case> cases{
      {"no flip", Report::create(SchemeTable{}), false},
      {"pass", report_with(Decision::PASS, score("+x+y+z", kIdentity, 1)), false},
      {"dry flag", report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), true},
      {"flag", report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)), false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir d;
    RepairSpec s = base;
    s.out_bvec = d / "x.bvec";
    s.out_bval = d / "x.bval";
    s.dry_run = c.dry;
    auto r = repair_from_report(table(), c.report, {}, s, 0.02);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_FALSE(r->report.notes.empty());
    EXPECT_EQ(r->report.notes.front(), note);
  }
}

TEST(RepairFromReport, ProvenanceRecordDescribesTheWrite) {
  VolumeInfo info;
  info.dims = {2, 2, 2, 4};
  info.affine = Mat4{{{{2, 0, 0, 0}}, {{0, 2, 0, 0}}, {{0, 0, 2, 0}}, {{0, 0, 0, 1}}}};
  TempDir d;
  RepairSpec s = spec_in(d);
  s.frames = FrameMaps::resolve(TableFrame::Fsl, info);
  s.provenance = d / "prov.json";
  put(*s.provenance, "stale record");
  s.in_place = true;
  std::vector<InputFile> inputs{InputFile::from_bytes("in.bvec", "abc")};
  auto r = repair_from_report(table(), report_with(Decision::FLAG, score("-x+y+z", kXFlip, 1)),
                              inputs, s, 0.02);
  ASSERT_TRUE(r) << r.error().message();
  std::string text = get(*s.provenance);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.find("\"input_format\": \"fsl\""), std::string::npos);
  EXPECT_NE(text.find("\"emitted_fsl\": true"), std::string::npos);
  EXPECT_NE(text.find("\"emitted_mrtrix\": false"), std::string::npos);
  EXPECT_NE(text.find("\"applied_label\": \"-x+y+z\""), std::string::npos);
  EXPECT_NE(text.find("\"path\": \"in.bvec\""), std::string::npos);
  EXPECT_EQ(text.find("\"shells\""), std::string::npos);  // the report had none
  EXPECT_EQ(get(*s.provenance + ".bak"), "stale record");
}
