// The stages of one audit on a real series, each timed on its own:
//   stage_bench DWI BVEC BVAL [THREADS] [STAGES]
// STAGES is any of "load", "fit", "rank" (default all three). Under callgrind, name one stage
// and pass --toggle-collect on its function to count its instructions alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "orivex/analysis/flip.hpp"
#include "orivex/analysis/frame.hpp"
#include "orivex/analysis/tensor.hpp"
#include "orivex/audit/call_params.hpp"
#include "orivex/audit/input.hpp"
#include "orivex/io/volume.hpp"
#include "orivex/support/execution.hpp"

using namespace orivex;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DWI BVEC BVAL [THREADS] [STAGES]\n", argv[0]);
    return 2;
  }
  const std::optional<std::uint64_t> threads =
      argc > 4 ? std::optional<std::uint64_t>(std::strtoull(argv[4], nullptr, 10)) : std::nullopt;
  const std::string stages = argc > 5 ? argv[5] : "load,fit,rank";
  auto exec = Execution::create(threads);
  auto table = load_table(std::string(argv[2]), std::string(argv[3]), std::nullopt);
  if (!exec || !table || !*table) {
    std::fprintf(stderr, "cannot load the table\n");
    return 1;
  }
  const GradientTable& t = (*table)->table;
  return exec->run([&]() -> int {
    auto t0 = std::chrono::steady_clock::now();
    auto vol = read_volume_with_info_timed(argv[1]);
    if (!vol) {
      std::fprintf(stderr, "%s\n", vol.error().message().c_str());
      return 1;
    }
    if (stages.find("load") != std::string::npos)
      std::printf("load %.3f s (decompress %.3f, convert %.3f)\n", seconds_since(t0),
                  vol->decompress.seconds(), vol->convert.seconds());
    if (stages.find("fit") == std::string::npos && stages.find("rank") == std::string::npos)
      return 0;
    const FloatArray& dwi = vol->volume.array;
    FlipParams params;
    auto shell = select_working_shell(t, params.b0_threshold, params.tolerance);
    if (!shell) return 1;
    t0 = std::chrono::steady_clock::now();
    auto fm = fit_and_mask(dwi, t, nullptr, *shell, params);
    if (!fm) {
      std::fprintf(stderr, "%s\n", fm.error().message().c_str());
      return 1;
    }
    if (stages.find("fit") != std::string::npos)
      std::printf("fit %.3f s, %zu mask voxels\n", seconds_since(t0), fm->n_wm_voxels);
    if (stages.find("rank") == std::string::npos) return 0;
    const Mat3 map = voxel_frame_map(vol->volume.info, false);
    t0 = std::chrono::steady_clock::now();
    const auto ranking = rank_candidates(fm->field, fm->wm_mask, map, default_step(vol->volume.info.voxel_sizes));
    std::printf("rank %.3f s, best %s %.17g, runner-up %s %.17g\n", seconds_since(t0),
                ranking[0].label.c_str(), ranking[0].coherence, ranking[2].label.c_str(),
                ranking[2].coherence);
    return 0;
  });
}
