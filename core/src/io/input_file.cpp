// Input file records: SHA-256 over exactly the bytes read.
#include "orivex/io/input_file.hpp"

#include <openssl/evp.h>

#include "orivex/io/file.hpp"

namespace orivex {

std::string sha256_hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0xF];
  }
  return out;
}

InputFile InputFile::from_bytes(const std::string& path, std::string_view content) {
  return InputFile{io::lossy_utf8(path), sha256_hex(content), content.size()};
}

Result<InputFile> InputFile::of(const std::string& path) {
  ORIVEX_ASSIGN(std::string content, io::read_bytes(path));
  return from_bytes(path, content);
}

}  // namespace orivex
