// Whole-file reads and create-or-truncate writes, with OS failures as the Io error.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "orivex/support/error.hpp"

namespace orivex::io {

// Ceiling of every text input (tables, sidecars). A 32,767-volume table is about 2 MiB and
// sidecars are kilobytes; the ceiling stops /dev/zero, a runaway pipe or a sparse giant file
// before it fills memory.
inline constexpr std::size_t max_text_bytes = std::size_t{16} << 20;

// The file's bytes, read in one pass. More than `limit` bytes fail with text_too_large (a
// Parse error naming the file) as soon as the size or the read shows it, before reading on.
Result<std::string> read_bytes(const std::string& path,
                               std::size_t limit = std::numeric_limits<std::size_t>::max());
// The file's bytes, at most max_text_bytes, which must be valid UTF-8 ("stream did not contain
// valid UTF-8" otherwise).
Result<std::string> read_text(const std::string& path);
// Creates or truncates `path` and writes `data` whole. After a failure the file may be
// partially written (or empty); callers that must not lose data back it up first.
Result<void> write_bytes(const std::string& path, std::string_view data);

// Writes all of `data` to `fd`, resuming after interrupted calls: 0, or the errno of the failure.
int write_all(int fd, std::string_view data);

// A directory held open to write files into. The descriptor pins the directory itself, so a
// link swapped into its path later cannot redirect the writes.
class OutputDir {
 public:
  // `path` as the caller named it (a link there is the caller's choice and is followed), then
  // each name of `below` in turn, created when missing (0777 before the umask). Those must be
  // real directories: a symbolic link among them is refused (output_through_link), so a planted
  // link cannot send the files elsewhere.
  static Result<OutputDir> open(const std::string& path,
                                std::initializer_list<std::string_view> below = {});
  OutputDir(OutputDir&& other) noexcept;
  OutputDir& operator=(OutputDir&& other) noexcept;
  OutputDir(const OutputDir&) = delete;
  OutputDir& operator=(const OutputDir&) = delete;
  ~OutputDir();

  // Writes `data` to a fresh hidden sibling, flushes it to disk and renames it over `name`.
  // After any failure (a full disk included) `name` is exactly as it was and no sibling remains;
  // whatever stood at `name`, a symbolic link included, is replaced and never written through.
  Result<void> replace(std::string_view name, std::string_view data) const;
  const std::string& path() const { return path_; }

 private:
  OutputDir(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// Replaces the file at `path` as OutputDir::replace does in its directory (the directory part
// of `path` is the caller's and may pass through links). A character device or FIFO standing at
// `path` itself holds no file to replace and is written through; a directory fails with EISDIR
// and a block device with output_not_a_file.
Result<void> replace_file(const std::string& path, std::string_view data);

bool valid_utf8(std::string_view s);

// A path with a NUL byte cannot be handed to the OS without silently naming a different file.
inline constexpr const char* nul_in_path_text = "file name contained an unexpected NUL byte";
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }
// Io error for such a path.
Result<void> check_path(std::string_view path);
// Each invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);

}  // namespace orivex::io
