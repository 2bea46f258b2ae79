// Whole-file reads and writes over POSIX descriptors, so every failure keeps its errno.
#include "orivex/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace orivex::io {

Result<void> check_path(std::string_view path) {
  if (has_nul(path)) return Error::io(nul_in_path_text);
  return {};
}

int write_all(int fd, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Result<std::string> read_bytes(const std::string& path) {
  ORIVEX_TRY(check_path(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::io_errno(errno);
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      return Error::io_errno(e);
    }
    if (n == 0) break;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

Result<std::string> read_text(const std::string& path) {
  ORIVEX_ASSIGN(std::string data, read_bytes(path));
  if (!valid_utf8(data)) return Error::io("stream did not contain valid UTF-8");
  return data;
}

Result<void> write_bytes(const std::string& path, std::string_view data) {
  ORIVEX_TRY(check_path(path));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::io_errno(errno);
  if (int e = write_all(fd, data); e != 0) {
    ::close(fd);
    return Error::io_errno(e);
  }
  if (::close(fd) != 0) return Error::io_errno(errno);
  return {};
}

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is invalid.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
  return len;
}

}  // namespace

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_sequence(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string lossy_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_sequence(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      // Skip the maximal invalid prefix one byte at a time, like the usual lossy decoders.
      ++i;
      while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80 &&
             utf8_sequence(s, i) == 0)
        ++i;
      continue;
    }
    out.append(s.substr(i, n));
    i += n;
  }
  return out;
}

}  // namespace orivex::io
