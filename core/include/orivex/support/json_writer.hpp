// A streaming JSON writer with the compact and the two-space pretty layouts of every JSON output.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orivex {

// `text` as a JSON string literal, quotes included: `"`, `\` and control characters escaped
// (lower-case \u00xx where no short form exists); everything else, non-ASCII too, kept as is.
std::string json_string(std::string_view text);

// Writes one JSON document token by token. The caller is trusted to nest calls properly (a key
// before every object member, balanced begin/end); the writer only decides separators and layout.
//
// Compact: no whitespace at all. Pretty: every member and element on its own line, two spaces of
// indentation per level, ": " after keys, closing brackets at the parent's indentation; empty
// containers stay `[]` and `{}`. No line feed follows the document.
class JsonWriter {
 public:
  enum class Layout { Compact, Pretty };

  explicit JsonWriter(Layout layout = Layout::Compact) : layout_(layout) {}

  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view name);

  // Floats in shortest round-trip form, whole values with ".0", NaN and infinities as null.
  JsonWriter& value(double v);
  JsonWriter& value(std::uint64_t v);
  JsonWriter& value(std::int64_t v);
  JsonWriter& value(bool v);
  JsonWriter& value(std::string_view v);
  JsonWriter& value(const char* v) { return value(std::string_view(v)); }
  JsonWriter& value(const std::string& v) { return value(std::string_view(v)); }
  JsonWriter& null();

  // Any other integer type (sizes, 32-bit counts) without ambiguity.
  template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, std::uint64_t> &&
             !std::same_as<T, std::int64_t>)
  JsonWriter& value(T v) {
    if constexpr (std::is_signed_v<T>) return value(static_cast<std::int64_t>(v));
    else return value(static_cast<std::uint64_t>(v));
  }
  template <std::floating_point T>
    requires(!std::same_as<T, double>)
  JsonWriter& value(T v) {
    return value(static_cast<double>(v));
  }

  // A member in one call: key(name) then value(v).
  template <class T>
  JsonWriter& member(std::string_view name, const T& v) {
    key(name);
    return value(v);
  }

  // An array of values, e.g. a list of b-values or of indices.
  template <class Range>
  JsonWriter& array(const Range& values) {
    begin_array();
    for (const auto& v : values) value(v);
    return end_array();
  }

  const std::string& str() const& { return out_; }
  std::string str() && { return std::move(out_); }

 private:
  struct Level {
    bool is_object = false;
    std::size_t count = 0;
  };

  // Separator and indentation before a new array element or object key.
  void open_slot();
  // Called before every value: an array element needs its own slot, a member value follows its key.
  void before_value();
  void newline_indent(std::size_t depth);
  JsonWriter& close(char bracket);

  Layout layout_;
  std::string out_;
  std::vector<Level> stack_;
  bool after_key_ = false;
};

}  // namespace orivex
