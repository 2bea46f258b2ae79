// The one error type of the core: a closed set of kinds with fixed display texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <variant>

namespace orivex {

enum class ErrorKind : std::uint8_t {
  Io = 0,
  Nifti,
  Json,
  Parse,
  TableMismatch,
  VolumeMismatch,
  MaskMismatch,
  InvalidThreads,
  ThreadPool,
  TensorFit,
  NoUsableShell,
  InvalidMargin,
  AmplitudeEncoded,
  RefuseOverwrite,
  // An option outside the range the package's entry points accept (_orivex reads such values
  // as its documented algorithms do, so it never raises this).
  InvalidOption,
};

inline constexpr std::size_t error_kind_count = 15;

// The system's text for an errno value: "<strerror(code)> (os error <code>)", never a path.
std::string errno_text(int code);

class Error {
 public:
  // `text` is the wrapped library's own text; for OS errors use io_errno.
  static Error io(std::string text);
  // Io with errno_text(code).
  static Error io_errno(int code);
  static Error nifti(std::string text);
  static Error json(std::string text);
  static Error parse(std::string path, std::string detail);
  static Error table_mismatch(std::size_t directions, std::size_t bvals);
  static Error volume_mismatch(std::size_t gradients, std::size_t volumes);
  static Error mask_mismatch(std::size_t mask_voxels, std::size_t grid_voxels);
  static Error invalid_threads();
  static Error thread_pool(std::string text);
  static Error tensor_fit(std::string detail);
  static Error no_usable_shell();
  static Error invalid_margin(double threshold);
  static Error amplitude_encoded(std::string detail);
  static Error refuse_overwrite(std::string path);
  // "{name} must be {rule}: {value}"; without a value, "{name} must be {rule}".
  static Error invalid_option(std::string name, std::string rule, std::string value = {});

  // Named cases of the kinds above, so every fixed text lives in this table.
  // Parse: a token that is not a number / is inf, nan or overflows / is a b-value below zero.
  static Error invalid_number(std::string path, std::string_view token);
  static Error non_finite_number(std::string path, std::string_view token);
  static Error negative_bvalue(std::string path, std::string_view token);
  // Parse: a text input longer than `limit` bytes, refused before it is read whole.
  static Error text_too_large(std::string path, std::size_t limit);
  // Parse: a table file without a single volume, which no check can vouch for.
  static Error empty_table(std::string path);
  // TensorFit: no voxel (of the caller's mask, when there is one) has a usable tensor.
  static Error no_usable_voxels();
  // Nifti: an image whose voxel-to-world rotation and scaling hold NaN or infinity.
  static Error non_finite_affine();
  // Io: outputs that would replace an input, follow a link or write into a block device.
  static Error output_is_input(std::string path);
  static Error output_through_link(std::string path);
  static Error output_not_a_file(std::string path);

  // The same error, its text extended with the backups that a failed rollback left behind, so
  // the user learns where the originals are.
  Error with_backups_kept(const std::vector<std::string>& backups) &&;

  ErrorKind kind() const { return kind_; }
  // The display text.
  std::string message() const;
  // Payload texts (wrapped text, path or detail) and numbers, for tests and callers that inspect them.
  const std::string& text() const { return text_; }
  const std::string& detail() const { return detail_; }

 private:
  Error(ErrorKind kind, std::string text = {}, std::string detail = {}, std::size_t a = 0,
        std::size_t b = 0, double x = 0.0)
      : kind_(kind), text_(std::move(text)), detail_(std::move(detail)), a_(a), b_(b), x_(x) {}

  std::string display() const;

  ErrorKind kind_;
  std::string text_;
  std::string detail_;
  std::string kept_;  // appended to the display text by with_backups_kept
  std::size_t a_;
  std::size_t b_;
  double x_;
};

// A value or an error (an Error unless stated), returned by value. Mirrors the member names of
// std::expected.
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : e_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return e_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  void value() const {}
  E& error() & { return std::get<1>(e_); }
  const E& error() const& { return std::get<1>(e_); }
  E&& error() && { return std::get<1>(std::move(e_)); }

 private:
  std::variant<std::monostate, E> e_;
};

}  // namespace orivex

// Propagate an Error from a Result-returning expression.
#define ORIVEX_TRY(expr)                                  \
  do {                                                     \
    auto&& orivex_try_r_ = (expr);                         \
    if (!orivex_try_r_) return std::move(orivex_try_r_).error(); \
  } while (0)

// Bind the value of a Result-returning expression or propagate its Error.
#define ORIVEX_CONCAT_INNER(a, b) a##b
#define ORIVEX_CONCAT(a, b) ORIVEX_CONCAT_INNER(a, b)
#define ORIVEX_ASSIGN(lhs, expr) ORIVEX_ASSIGN_IMPL(ORIVEX_CONCAT(orivex_r_, __LINE__), lhs, expr)
#define ORIVEX_ASSIGN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                       \
  if (!tmp) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
