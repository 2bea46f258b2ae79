#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "orivex/io/file.hpp"
#include "orivex/audit/provenance.hpp"
#include "test_support.hpp"

using namespace orivex;
using namespace orivex::test_support;
namespace fs = std::filesystem;

namespace {

Provenance minimal() {
  Provenance p = Provenance::create({InputFile::from_bytes("a.bvec", "abc")});
  p.timestamp = "2024-01-02T03:04:05Z";
  return p;
}

FlipResult flip(bool recommended) {
  FlipResult f;
  f.working_b = 1000;
  f.best = CandidateScore{"-x+y+z", kXFlip, false, 0.5, 10};
  f.runner_up = CandidateScore{"+x+y+z", {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, true, 0.25, 10};
  f.decision = recommended ? Decision::FLAG : Decision::WARN;
  if (recommended) {
    f.recommended_transform = kXFlip;
    f.recommended_label = "-x+y+z";
  }
  return f;
}

}  // namespace

TEST(Provenance, NewRecordDefaults) {
  Provenance p = Provenance::create({});
  EXPECT_EQ(p.schema_version, 1u);
  EXPECT_EQ(p.tool, "orivex");
  EXPECT_EQ(p.tool_version, "1.1.6");
  EXPECT_FALSE(p.timestamp.empty());
  EXPECT_EQ(p.timestamp.back(), 'Z');
  EXPECT_FALSE(p.shells || p.angular || p.flip || p.applied_transform || p.applied_label ||
               p.frame);
}

TEST(Provenance, MinimalRecordExactText) {
  EXPECT_EQ(to_pretty_json(minimal()),
            "{\n"
            "  \"schema_version\": 1,\n"
            "  \"tool\": \"orivex\",\n"
            "  \"tool_version\": \"1.1.6\",\n"
            "  \"timestamp\": \"2024-01-02T03:04:05Z\",\n"
            "  \"inputs\": [\n"
            "    {\n"
            "      \"path\": \"a.bvec\",\n"
            "      \"sha256\": "
            "\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\",\n"
            "      \"bytes\": 3\n"
            "    }\n"
            "  ],\n"
            "  \"outputs\": [],\n"
            "  \"notes\": []\n"
            "}");
}

TEST(Provenance, FlipWithoutRecommendationHasNoAppliedKeys) {
  std::string text = to_pretty_json(minimal().with_flip(flip(false)));
  EXPECT_NE(text.find("\"flip\": {"), std::string::npos);
  EXPECT_NE(text.find("\"recommended_transform\": null"), std::string::npos);
  EXPECT_EQ(text.find("applied_transform"), std::string::npos);
  EXPECT_EQ(text.find("applied_label"), std::string::npos);
}

TEST(Provenance, RecommendationBecomesTheAppliedTransformInKeyOrder) {
  Provenance p = minimal().with_flip(flip(true)).with_outputs({"o.bvec", "o.bval"});
  FrameProvenance f;
  f.input_format = "mrtrix";
  f.affine_determinant_sign = -1.0;
  f.emitted_fsl = true;
  p.frame = f;
  p.notes = {"n"};
  ASSERT_TRUE(p.applied_transform);
  EXPECT_EQ(*p.applied_transform, kXFlip);
  std::string text = to_pretty_json(p);
  const char* keys[] = {"\"schema_version\"", "\"inputs\"", "\"flip\"", "\"applied_transform\"",
                        "\"applied_label\"", "\"frame\"", "\"input_format\"",
                        "\"affine_determinant_sign\"", "\"rotation\"", "\"fsl_voxel_map\"",
                        "\"world_voxel_map\"", "\"frames_divergent\"", "\"emitted_fsl\"",
                        "\"emitted_mrtrix\"", "\"outputs\"", "\"notes\""};
  std::size_t at = 0;
  for (const char* k : keys) {
    SCOPED_TRACE(k);
    std::size_t next = text.find(k, at);
    ASSERT_NE(next, std::string::npos);
    at = next;
  }
  EXPECT_NE(text.find("\"applied_transform\": [\n    [\n      -1.0,\n      0.0,\n      0.0\n    ],"),
            std::string::npos);
  EXPECT_NE(text.find("\"affine_determinant_sign\": -1.0"), std::string::npos);
  EXPECT_NE(text.find("\"outputs\": [\n    \"o.bvec\",\n    \"o.bval\"\n  ]"), std::string::npos);
}

TEST(ProvenanceWrite, WritesTheTextWithoutFinalLineFeedAndReplaces) {
  TempDir d;
  const std::string p = d / "prov.json";
  ASSERT_TRUE(io::write_bytes(p, std::string(20000, 'x')));
  ASSERT_TRUE(io::provenance::write(p, minimal()));
  EXPECT_EQ(*io::read_bytes(p), to_pretty_json(minimal()));
  EXPECT_FALSE(fs::exists(p + ".bak"));
}

TEST(ProvenanceWrite, LargeRecordsCrossTheBufferIntact) {
  TempDir d;
  Provenance big = minimal();
  for (int i = 0; i < 1200; ++i) big.notes.push_back("note number " + std::to_string(i));
  ASSERT_GT(to_pretty_json(big).size(), 3u * 8192);
  ASSERT_TRUE(io::provenance::write(d / "big.json", big));
  EXPECT_EQ(*io::read_bytes(d / "big.json"), to_pretty_json(big));
}

TEST(ProvenanceWrite, Failures) {
  TempDir d;
  Provenance big = minimal();
  for (int i = 0; i < 1200; ++i) big.notes.push_back("note number " + std::to_string(i));
  struct Case {
    const char* name;
    std::string path;
    const Provenance* record;
    std::string message;
  };
  const Provenance small = minimal();
  const std::vector<Case> cases{
      {"missing directory", d / "no/such/p.json", &small,
       "I/O error: No such file or directory (os error 2)"},
      {"directory", d.path.string(), &small, "I/O error: Is a directory (os error 21)"},
      {"nul byte", std::string("p\0q.json", 8), &small,
       "I/O error: file name contained an unexpected NUL byte"},
      {"full device", "/dev/full", &small, "I/O error: No space left on device (os error 28)"},
      {"full device, large record", "/dev/full", &big,
       "I/O error: No space left on device (os error 28)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = io::provenance::write(c.path, *c.record);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
  }
}
