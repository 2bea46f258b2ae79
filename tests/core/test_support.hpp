// Helpers shared by the core tests: a scratch directory, common matrices, M·g.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "orivex/io/file.hpp"
#include "orivex/support/mat3.hpp"

namespace orivex::test_support {

inline const Mat3 kIdentity{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
inline const Mat3 kXFlip{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// M·g written out, independently of the core's own helpers.
inline Vec3 mul(const Mat3& m, const Vec3& g) {
  return {m[0][0] * g[0] + m[0][1] * g[1] + m[0][2] * g[2],
          m[1][0] * g[0] + m[1][1] * g[1] + m[1][2] * g[2],
          m[2][0] * g[0] + m[2][1] * g[1] + m[2][2] * g[2]};
}

// A scratch directory, removed with everything below it (permissions restored first).
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orivex-test-XXXXXX").string();
    EXPECT_NE(::mkdtemp(tmpl.data()), nullptr);
    path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(path, std::filesystem::directory_options::skip_permission_denied, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    }
    for (const auto& d : locked_) ::chmod(d.c_str(), 0755);
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string str() const { return path.string(); }
  std::string operator/(const std::string& rel) const { return str() + "/" + rel; }
  // Creates the file (and its folders) with `content`.
  std::string touch(const std::string& rel, const std::string& content = "x") const {
    std::string p = *this / rel;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  // Takes every permission from `rel` until the directory is removed.
  void lock(const std::string& rel) {
    locked_.push_back(*this / rel);
    ::chmod(locked_.back().c_str(), 0);
  }
  // Name -> content of every entry, so a test can say "nothing changed" in one comparison.
  std::map<std::string, std::string> listing() const {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path))
      out[e.path().filename().string()] = *io::read_bytes(e.path().string());
    return out;
  }

  std::filesystem::path path;

 private:
  std::vector<std::string> locked_;
};

}  // namespace orivex::test_support
