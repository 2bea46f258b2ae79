// Token-level JSON output shared by reports, provenance records and summaries.
#include "orivex/support/json_writer.hpp"

#include <string>

#include "orivex/support/numfmt.hpp"

namespace orivex {

std::string json_string(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xf]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

void JsonWriter::newline_indent(std::size_t depth) {
  out_.push_back('\n');
  out_.append(2 * depth, ' ');
}

void JsonWriter::open_slot() {
  Level& level = stack_.back();
  if (level.count > 0) out_.push_back(',');
  ++level.count;
  if (layout_ == Layout::Pretty) newline_indent(stack_.size());
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!stack_.empty()) open_slot();
}

JsonWriter& JsonWriter::begin_object() {
  before_value();
  out_.push_back('{');
  stack_.push_back({true, 0});
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  before_value();
  out_.push_back('[');
  stack_.push_back({false, 0});
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  const bool had_members = !stack_.empty() && stack_.back().count > 0;
  if (!stack_.empty()) stack_.pop_back();
  if (had_members && layout_ == Layout::Pretty) newline_indent(stack_.size());
  out_.push_back(bracket);
  return *this;
}

JsonWriter& JsonWriter::end_object() { return close('}'); }
JsonWriter& JsonWriter::end_array() { return close(']'); }

JsonWriter& JsonWriter::key(std::string_view name) {
  if (!stack_.empty()) open_slot();
  out_ += json_string(name);
  out_ += layout_ == Layout::Pretty ? ": " : ":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(double v) {
  before_value();
  out_ += numfmt::json_number(v);
  return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t v) {
  before_value();
  out_ += std::to_string(v);
  return *this;
}

JsonWriter& JsonWriter::value(std::int64_t v) {
  before_value();
  out_ += std::to_string(v);
  return *this;
}

JsonWriter& JsonWriter::value(bool v) {
  before_value();
  out_ += v ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view v) {
  before_value();
  out_ += json_string(v);
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  out_ += "null";
  return *this;
}

}  // namespace orivex
