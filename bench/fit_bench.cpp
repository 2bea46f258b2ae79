// Times the per-voxel tensor fit on a synthetic 96x96x60 series (10 b0 + 60 directions), and
// optionally the loading of a NIfTI file given as the first argument.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "orivex/support/execution.hpp"
#include "orivex/analysis/tensor.hpp"
#include "orivex/io/volume.hpp"

using namespace orivex;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t nx = 96, ny = 96, nz = 60, n_b0 = 10, n_dir = 60;
  const std::size_t nt = n_b0 + n_dir;
  std::vector<Vec3> dirs;
  std::vector<double> bvals;
  std::vector<std::size_t> b0, shell;
  const double golden = M_PI * (3.0 - std::sqrt(5.0));
  for (std::size_t i = 0; i < nt; ++i) {
    if (i < n_b0) {
      dirs.push_back({0, 0, 0});
      bvals.push_back(0);
      b0.push_back(i);
      continue;
    }
    const double k = static_cast<double>(i - n_b0);
    const double z = 1.0 - (k + 0.5) / static_cast<double>(n_dir);
    const double r = std::sqrt(1.0 - z * z);
    dirs.push_back({r * std::cos(golden * k), r * std::sin(golden * k), z});
    bvals.push_back(1000);
    shell.push_back(i);
  }
  const GradientTable table = *GradientTable::create(dirs, bvals);

  // Fibres curling around the z axis inside an ellipsoidal "brain"; background outside.
  FloatArray dwi{{nx, ny, nz, nt}, FloatData(nx * ny * nz * nt, 0.0f)};
  for (std::size_t x = 0; x < nx; ++x)
    for (std::size_t y = 0; y < ny; ++y)
      for (std::size_t z = 0; z < nz; ++z) {
        const double px = (x - 48.0) / 44.0, py = (y - 48.0) / 44.0, pz = (z - 30.0) / 28.0;
        if (px * px + py * py + pz * pz > 1.0) continue;
        const double phi = std::atan2(py, px);
        const double e[3] = {-std::sin(phi), std::cos(phi), 0.0};
        const double l1 = 1.6e-3, l2 = 0.4e-3, s0 = 800.0;
        float* s = dwi.data.data() + ((x * ny + y) * nz + z) * nt;
        for (std::size_t t = 0; t < nt; ++t) {
          const Vec3& g = dirs[t];
          const double dot = g[0] * e[0] + g[1] * e[1] + g[2] * e[2];
          const double adc = l2 + (l1 - l2) * dot * dot;
          s[t] = static_cast<float>(s0 * std::exp(-bvals[t] * adc));
        }
      }

  const double voxels = static_cast<double>(nx * ny * nz);
  for (std::uint64_t threads : {0, 1}) {
    auto exec = Execution::create(threads ? std::optional<std::uint64_t>(threads) : std::nullopt);
    double best = 1e300;
    std::size_t valid = 0;
    for (int rep = 0; rep < 3; ++rep) {
      const auto t0 = std::chrono::steady_clock::now();
      valid = 0;
      exec->run_void([&] {
        const auto field = fit_dti(dwi, table, b0, shell, 1.0);
        if (field)
          for (auto v : field->valid) valid += v;
      });
      best = std::min(best, seconds_since(t0));
    }
    std::printf("fit_dti %s: %.3f s, %.3g voxels/s (%zu valid of %.0f)\n",
                threads ? "1 worker" : "default pool", best, voxels / best, valid, voxels);
  }

  if (argc > 1) {
    const auto t0 = std::chrono::steady_clock::now();
    auto v = read_volume_with_info_timed(argv[1]);
    const double total = seconds_since(t0);
    if (!v) {
      std::printf("%s\n", v.error().message().c_str());
      return 1;
    }
    std::printf("read %s: %.3f s (decompress %.3f s, convert %.3f s), %zu floats\n", argv[1], total,
                v->decompress.seconds(), v->convert.seconds(), v->volume.array.size());
  }
  return 0;
}
