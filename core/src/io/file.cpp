// Whole-file reads and writes over POSIX descriptors, so every failure keeps its errno.
#include "orivex/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

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

Result<std::string> read_bytes(const std::string& path, std::size_t limit) {
  ORIVEX_TRY(check_path(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::io_errno(errno);
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    // The size is only a hint (devices report 0, a file may grow), so the reads below check too.
    if (static_cast<std::uintmax_t>(st.st_size) > limit) {
      ::close(fd);
      return Error::text_too_large(path, limit);
    }
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
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
    if (static_cast<std::size_t>(n) > limit - data.size()) {
      ::close(fd);
      return Error::text_too_large(path, limit);
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

Result<std::string> read_text(const std::string& path) {
  ORIVEX_ASSIGN(std::string data, read_bytes(path, max_text_bytes));
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

std::string joined(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace

Result<OutputDir> OutputDir::open(const std::string& path,
                                  std::initializer_list<std::string_view> below) {
  ORIVEX_TRY(check_path(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Error::io_errno(errno);
  OutputDir dir(fd, path);
  for (std::string_view part : below) {
    const std::string name(part);
    const std::string shown = joined(dir.path_, name);
    if (::mkdirat(dir.fd_, name.c_str(), 0777) != 0 && errno != EEXIST) return Error::io_errno(errno);
    int sub = ::openat(dir.fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      const int err = errno;
      struct stat st {};
      if (::fstatat(dir.fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return Error::output_through_link(lossy_utf8(shown));
      return Error::io_errno(err);
    }
    dir = OutputDir(sub, shown);
  }
  return dir;
}

OutputDir::OutputDir(OutputDir&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

OutputDir& OutputDir::operator=(OutputDir&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

OutputDir::~OutputDir() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> OutputDir::replace(std::string_view name, std::string_view data) const {
  const std::string target(name);
  ORIVEX_TRY(check_path(target));
  if (target.empty()) return Error::io_errno(ENOENT);
  // A short hidden name: a sibling named after a long target could pass the name length limit.
  static std::atomic<std::uint64_t> counter{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    tmp = ".orivex-tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::openat(fd_, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return Error::io_errno(errno);
  }
  if (fd < 0) return Error::io_errno(EEXIST);
  auto fail = [&](int code) -> Result<void> {
    if (fd >= 0) ::close(fd);
    ::unlinkat(fd_, tmp.c_str(), 0);
    return Error::io_errno(code);
  };
  if (int e = write_all(fd, data); e != 0) return fail(e);
  // On disk before it takes the final name, so a crash cannot leave a truncated file there.
  if (::fsync(fd) != 0) return fail(errno);
  const int rc = ::close(fd);
  fd = -1;
  if (rc != 0) return fail(errno);
  if (::renameat(fd_, tmp.c_str(), fd_, target.c_str()) != 0) return fail(errno);
  ::fsync(fd_);  // the rename itself; a failure here cannot undo it and is not reported
  return {};
}

Result<void> replace_file(const std::string& path, std::string_view data) {
  ORIVEX_TRY(check_path(path));
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return write_bytes(path, data);
    if (S_ISDIR(st.st_mode)) return Error::io_errno(EISDIR);
    if (S_ISBLK(st.st_mode)) return Error::output_not_a_file(lossy_utf8(path));
  }
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return Error::io_errno(EISDIR);
  const std::string dir =
      slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
  ORIVEX_ASSIGN(OutputDir out, OutputDir::open(dir));
  return out.replace(name, data);
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
