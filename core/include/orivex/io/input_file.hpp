// Records that identify input files by path, size and SHA-256 digest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orivex/support/error.hpp"

namespace orivex {

struct InputFile {
  std::string path;    // as the caller wrote it (invalid UTF-8 replaced by U+FFFD)
  std::string sha256;  // 64 lower-case hex digits
  std::uint64_t bytes = 0;

  // Reads the whole file once and digests it.
  static Result<InputFile> of(const std::string& path);
  // Digests bytes that were already read (so the record matches what was parsed).
  static InputFile from_bytes(const std::string& path, std::string_view content);
};

std::string sha256_hex(std::string_view data);

}  // namespace orivex
