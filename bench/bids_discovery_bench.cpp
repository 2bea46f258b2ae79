// Times discover over a dataset of 10,000 files, none of them a DWI run (the walk and sort alone).
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "orivex/io/bids.hpp"

namespace fs = std::filesystem;

namespace {

// 100 subjects × 2 sessions × 5 folders × 10 files: the shape of a large anatomical/functional
// dataset, with a derivatives tree the walk must skip.
void make_dataset(const std::string& root) {
  const char* folders[] = {"anat", "func", "fmap", "perf", "beh"};
  for (int s = 1; s <= 100; ++s) {
    for (int ses = 1; ses <= 2; ++ses) {
      char sub[64];
      std::snprintf(sub, sizeof sub, "sub-%03d/ses-%d", s, ses);
      for (const char* folder : folders) {
        fs::path dir = fs::path(root) / sub / folder;
        fs::create_directories(dir);
        for (int f = 0; f < 10; ++f) {
          char name[96];
          std::snprintf(name, sizeof name, "sub-%03d_ses-%d_run-%d_%s.%s", s, ses, f / 2 + 1, folder,
                        f % 2 == 0 ? "nii.gz" : "json");
          std::ofstream(dir / name) << "x";
        }
      }
    }
  }
  fs::create_directories(fs::path(root) / "derivatives" / "fmriprep");
  std::ofstream(fs::path(root) / "derivatives" / "fmriprep" / "sub-001_dwi.nii.gz") << "x";
}

}  // namespace

int main() {
  std::string tmpl = (fs::temp_directory_path() / "orivex-bids-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  make_dataset(tmpl);

  double best = 1e300;
  std::size_t found = 0;
  for (int rep = 0; rep < 5; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    auto r = orivex::io::bids::discover(tmpl);
    auto t1 = std::chrono::steady_clock::now();
    if (!r) {
      std::fprintf(stderr, "discover failed: %s\n", r.error().message().c_str());
      break;
    }
    found = r->size();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  std::printf("discover: 10000 files (+1 DWI under derivatives), %zu runs, best of 5: %.1f ms\n", found, best * 1e3);

  std::error_code ec;
  fs::remove_all(tmpl, ec);
  return 0;
}
