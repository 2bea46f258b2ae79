// Whole-file reads and create-or-truncate writes, with OS failures as the Io error.
#pragma once

#include <string>
#include <string_view>

#include "orivex/support/error.hpp"

namespace orivex::io {

// The file's bytes, read in one pass.
Result<std::string> read_bytes(const std::string& path);
// The file's bytes, which must be valid UTF-8 ("stream did not contain valid UTF-8" otherwise).
Result<std::string> read_text(const std::string& path);
// Creates or truncates `path` and writes `data` whole. After a failure the file may be
// partially written (or empty); callers that must not lose data back it up first.
Result<void> write_bytes(const std::string& path, std::string_view data);

// Writes all of `data` to `fd`, resuming after interrupted calls: 0, or the errno of the failure.
int write_all(int fd, std::string_view data);

bool valid_utf8(std::string_view s);

// A path with a NUL byte cannot be handed to the OS without silently naming a different file.
inline constexpr const char* nul_in_path_text = "file name contained an unexpected NUL byte";
inline bool has_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }
// Io error for such a path.
Result<void> check_path(std::string_view path);
// Each invalid UTF-8 sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view s);

}  // namespace orivex::io
