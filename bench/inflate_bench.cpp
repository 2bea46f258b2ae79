// The loader's inflate in pieces against its inflate in order, on the same pool:
//   inflate_bench DWI [THREADS] [ROUNDS]
// Prints, per mode, the load's read time (the inflate and what waits on it) and its whole
// time, as medians over the rounds, alternating the modes within each round so that a busy
// machine penalises both alike.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "orivex/io/volume.hpp"
#include "orivex/support/execution.hpp"

using namespace orivex;

namespace {

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DWI [THREADS] [ROUNDS]\n", argv[0]);
    return 2;
  }
  const std::uint64_t threads = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  auto exec = Execution::create(threads);
  if (!exec) return 2;
  std::vector<double> read[2], whole[2];
  // One load first, not counted: the pool's threads and the process's memory start up.
  for (int r = -1; r < rounds; ++r)
    for (int pieces = 0; pieces < 2; ++pieces) {
      LoadOptions options;
      options.inflate_in_pieces = pieces == 1;
      const auto t0 = std::chrono::steady_clock::now();
      const std::string path = argv[1];
      auto v = exec->run([&] { return read_volume_with_info_timed(path, options); });
      if (!v) {
        std::fprintf(stderr, "%s\n", v.error().message().c_str());
        return 1;
      }
      if (r < 0) continue;
      whole[pieces].push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      read[pieces].push_back(v->decompress.seconds());
    }
  std::printf("{\"threads\": %llu, \"in_order\": {\"read\": %.4f, \"load\": %.4f}, "
              "\"in_pieces\": {\"read\": %.4f, \"load\": %.4f}}\n",
              static_cast<unsigned long long>(threads), median(read[0]), median(whole[0]),
              median(read[1]), median(whole[1]));
  return 0;
}
