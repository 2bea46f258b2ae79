#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>

#include "orivex/io/file.hpp"
#include "orivex/io/fsl.hpp"
#include "orivex/io/mrtrix.hpp"
#include "orivex/audit/recompute.hpp"
#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;
namespace fs = std::filesystem;

namespace {

// Lengths 0, 1, 0.7071 and 0.5 under one stored b-value of 1000.
GradientTable amplitude_table() {
  return *GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0.7071, 0, 0}, {0, 0.5, 0}},
                                {0, 1000, 1000, 1000});
}

RecomputeSpec spec_in(const TempDir& d) {
  RecomputeSpec s;
  s.out_bvec = d / "r.bvec";
  s.out_bval = d / "r.bval";
  return s;
}

const std::string kSummaryNoOutputs =
    "{\"b_nominal\":1000.0,\"max_norm\":1.0,\"b_min\":250.0,\"b_max\":1000.0,"
    "\"before\":[{\"nominal_b\":0.0,\"count\":1},{\"nominal_b\":1000.0,\"count\":3}],"
    "\"after\":[{\"nominal_b\":0.0,\"count\":1},{\"nominal_b\":250.0,\"count\":1},"
    "{\"nominal_b\":500.0,\"count\":1},{\"nominal_b\":1000.0,\"count\":1}],\"outputs\":[]}";

}  // namespace

TEST(RecomputeBval, DryRunRecoversAndWritesNothing) {
  TempDir d;
  RecomputeSpec s = spec_in(d);
  s.dry_run = true;
  s.out_grad = d / "r.grad";
  s.provenance = d / "r.json";
  auto r = recompute_bval(amplitude_table(), {}, s, 50.0, 0.05);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->table.bvals(), (std::vector<double>{0, 1000, 500, 250}));
  EXPECT_EQ(r->b_nominal, 1000.0);
  EXPECT_EQ(r->max_norm, 1.0);
  EXPECT_EQ(r->b_min, 250.0);
  EXPECT_EQ(r->b_max, 1000.0);
  EXPECT_TRUE(r->outputs.empty());
  EXPECT_TRUE(r->backups.empty());
  EXPECT_EQ(recompute_summary_json(*r), kSummaryNoOutputs);
  EXPECT_TRUE(d.listing().empty());
}

TEST(RecomputeBval, WritesBvecBvalGradAndProvenanceInOrder) {
  TempDir d;
  RecomputeSpec s = spec_in(d);
  s.out_grad = d / "r.grad";
  s.provenance = d / "r.json";
  auto r = recompute_bval(amplitude_table(), {InputFile::from_bytes("in.bvec", "")}, s, 50.0, 0.05);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->outputs, (std::vector<std::string>{s.out_bvec, s.out_bval, *s.out_grad}));
  EXPECT_EQ(*io::read_bytes(s.out_bvec), io::fsl::render_bvec(r->table));
  EXPECT_EQ(*io::read_bytes(s.out_bval), "0 1000 500 250\n");
  EXPECT_EQ(*io::read_bytes(*s.out_grad), io::mrtrix::render(r->table));
  std::string prov = *io::read_bytes(*s.provenance);
  EXPECT_NE(prov.find("\"notes\": [\n    \"recompute-bval: recovered b-values from "
                      "amplitude-encoded bvecs (b_nominal=1000, max |g|=1.0000); directions "
                      "unit-normalized.\"\n  ]"),
            std::string::npos);
  EXPECT_EQ(prov.find("\"flip\""), std::string::npos);
  EXPECT_EQ(prov.find("\"frame\""), std::string::npos);
  EXPECT_EQ(recompute_summary_json(*r).substr(recompute_summary_json(*r).find("\"outputs\"")),
            "\"outputs\":[\"" + s.out_bvec + "\",\"" + s.out_bval + "\",\"" + *s.out_grad + "\"]}");
}

TEST(RecomputeBval, UnitTableRecoversTheNominalValue) {
  auto t = *GradientTable::create({{0, 0, 0}, {1, 0, 0}, {0, 0.6, 0.8}}, {5, 995, 1000});
  TempDir d;
  RecomputeSpec s = spec_in(d);
  s.dry_run = true;
  auto r = recompute_bval(t, {}, s, 50.0, 0.05);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->table.bvals(), (std::vector<double>{0, 1000, 1000}));
}

TEST(RecomputeBval, NoUsableDirectionFailsBeforeWriting) {
  TempDir d;
  auto zero = *GradientTable::create({{0, 0, 0}, {0, 0, 0}}, {0, 1000});
  auto b0_only = *GradientTable::create({{1, 0, 0}}, {0});
  for (const GradientTable& t : {zero, b0_only}) {
    auto r = recompute_bval(t, {}, spec_in(d), 50.0, 0.05);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "no usable non-b0 shell for flip detection");
  }
  EXPECT_TRUE(d.listing().empty());
}

TEST(RecomputeBval, InPlaceBacksUpAndRefusesOtherwise) {
  TempDir d;
  RecomputeSpec s = spec_in(d);
  ASSERT_TRUE(io::write_bytes(s.out_bvec, "original bvec"));
  ASSERT_TRUE(io::write_bytes(s.out_bval, "original bval"));
  auto before = d.listing();
  auto refused = recompute_bval(amplitude_table(), {}, s, 50.0, 0.05);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "refusing to overwrite existing file: " + s.out_bvec + " (pass --force to allow)");
  EXPECT_EQ(d.listing(), before);
  s.in_place = true;
  auto r = recompute_bval(amplitude_table(), {}, s, 50.0, 0.05);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->backups, (std::vector<std::string>{s.out_bvec + ".bak", s.out_bval + ".bak"}));
  EXPECT_EQ(*io::read_bytes(s.out_bvec + ".bak"), "original bvec");
  EXPECT_EQ(*io::read_bytes(s.out_bval + ".bak"), "original bval");
}

TEST(RecomputeBval, SameOutputTwiceIsRefusedBeforeAnything) {
  TempDir d;
  RecomputeSpec s = spec_in(d);
  s.out_bval = s.out_bvec;
  auto r = recompute_bval(amplitude_table(), {}, s, 50.0, 0.05);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error: output paths must differ: " + s.out_bvec +
                                     " names the same file as " + s.out_bvec);
  EXPECT_TRUE(d.listing().empty());
}

TEST(RecomputeBval, FailedWritePutsTheOriginalBack) {
  TempDir d;
  RecomputeSpec s = spec_in(d);
  ASSERT_TRUE(io::write_bytes(s.out_bvec, "original bvec"));
  s.out_bval = "/dev/full";
  s.in_place = true;
  auto before = d.listing();
  auto r = recompute_bval(amplitude_table(), {}, s, 50.0, 0.05);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error: No space left on device (os error 28)");
  EXPECT_EQ(d.listing(), before);
}
