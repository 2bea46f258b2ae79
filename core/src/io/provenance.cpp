// Provenance records: which tool wrote corrected files, from which bytes, with what evidence.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "orivex/io/provenance.hpp"
#include "orivex/json_writer.hpp"
#include "orivex/numfmt.hpp"
#include "orivex/report.hpp"

namespace orivex {

namespace {

// The value of the one optional section set in `r`, as compact JSON. Reports keep `notes`
// last, so with empty notes the section's value runs from its key to the closing `,"notes":[]}`.
std::string section_json(const Report& r, std::string_view key) {
  std::string text = to_json(r);
  std::string opener = "\"" + std::string(key) + "\":";
  std::size_t start = text.find(opener);
  constexpr std::string_view tail = ",\"notes\":[]}";
  if (start == std::string::npos || text.size() < tail.size()) return "null";
  start += opener.size();
  return text.substr(start, text.size() - tail.size() - start);
}

std::string matrix_json(const Mat3& m) {
  JsonWriter w;
  write_json(w, m);
  return std::move(w).str();
}

std::string strings_json(const std::vector<std::string>& items) {
  JsonWriter w;
  w.array(items);
  return std::move(w).str();
}

std::string frame_json(const FrameProvenance& f) {
  JsonWriter w;
  w.begin_object();
  w.member("input_format", f.input_format);
  w.member("affine_determinant_sign", f.affine_determinant_sign);
  w.key("rotation");
  write_json(w, f.rotation);
  w.key("fsl_voxel_map");
  write_json(w, f.fsl_voxel_map);
  w.key("world_voxel_map");
  write_json(w, f.world_voxel_map);
  w.member("frames_divergent", f.frames_divergent);
  w.member("emitted_fsl", f.emitted_fsl);
  w.member("emitted_mrtrix", f.emitted_mrtrix);
  w.end_object();
  return std::move(w).str();
}

std::string to_compact_json(const Provenance& p) {
  std::string out = "{";
  auto member = [&](std::string_view key, const std::string& value_json) {
    if (out.size() > 1) out += ',';
    out += json_string(key);
    out += ':';
    out += value_json;
  };
  member("schema_version", std::to_string(p.schema_version));
  member("tool", json_string(p.tool));
  member("tool_version", json_string(p.tool_version));
  member("timestamp", json_string(p.timestamp));
  {
    JsonWriter w;
    w.begin_array();
    for (const InputFile& f : p.inputs) write_json(w, f);
    w.end_array();
    member("inputs", std::move(w).str());
  }
  // The nested records are written exactly as a report writes them, so the two documents can
  // never disagree about a section's keys or numbers.
  if (p.shells) {
    Report r;
    r.shells = p.shells;
    member("shells", section_json(r, "shells"));
  }
  if (p.angular) {
    Report r;
    r.angular = p.angular;
    member("angular", section_json(r, "angular"));
  }
  if (p.flip) {
    Report r;
    r.flip = p.flip;
    member("flip", section_json(r, "flip"));
  }
  if (p.applied_transform) member("applied_transform", matrix_json(*p.applied_transform));
  if (p.applied_label) member("applied_label", json_string(*p.applied_label));
  if (p.frame) member("frame", frame_json(*p.frame));
  member("outputs", strings_json(p.outputs));
  member("notes", strings_json(p.notes));
  out += '}';
  return out;
}

void newline_indent(std::string& out, std::size_t depth) {
  out += '\n';
  out.append(2 * depth, ' ');
}

// Re-lays compact JSON (no whitespace between tokens) in the two-space pretty layout, copying
// every scalar token verbatim so numbers keep their exact digits.
std::string pretty_from_compact(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 2);
  std::size_t depth = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    switch (c) {
      case '"': {
        std::size_t j = i + 1;
        while (j < in.size() && in[j] != '"') j += (in[j] == '\\') ? 2 : 1;
        out.append(in.substr(i, j + 1 - i));
        i = j;
        break;
      }
      case '{':
      case '[': {
        char close = c == '{' ? '}' : ']';
        if (i + 1 < in.size() && in[i + 1] == close) {
          out += c;
          out += close;
          ++i;
        } else {
          out += c;
          newline_indent(out, ++depth);
        }
        break;
      }
      case '}':
      case ']':
        newline_indent(out, --depth);
        out += c;
        break;
      case ',':
        out += ',';
        newline_indent(out, depth);
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

Provenance Provenance::create(std::vector<InputFile> inputs) {
  Provenance p;
  p.tool = tool_name;
  p.tool_version = orivex::tool_version;
  p.timestamp = rfc3339_now();
  p.inputs = std::move(inputs);
  return p;
}

Provenance Provenance::with_flip(const FlipResult& flip) && {
  this->flip = flip;
  applied_transform = flip.recommended_transform;
  applied_label = flip.recommended_label;
  return std::move(*this);
}

Provenance Provenance::with_outputs(std::vector<std::string> outputs) && {
  this->outputs = std::move(outputs);
  return std::move(*this);
}

std::string to_pretty_json(const Provenance& record) {
  return pretty_from_compact(to_compact_json(record));
}

namespace io::provenance {

namespace {

constexpr std::size_t buffer_size = 8192;

// Writes all of `data`; the errno of the failure otherwise.
int write_all(int fd, const char* data, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(w);
  }
  return 0;
}

std::string os_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

Result<void> write(const std::string& path, const Provenance& record) {
  if (path.find('\0') != std::string::npos)
    return Error::io("file name contained an unexpected NUL byte");
  std::string text = to_pretty_json(record);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::io_errno(errno);

  // Full buffers go out while the record is being encoded into them: a failure there is a
  // failure of the JSON serialisation; only the last, partial buffer is the final flush.
  char buffer[buffer_size];
  std::size_t used = 0;
  for (char c : text) {
    if (used == buffer_size) {
      if (int e = write_all(fd, buffer, used); e != 0) {
        ::close(fd);
        return Error::json(os_text(e));
      }
      used = 0;
    }
    buffer[used++] = c;
  }
  if (int e = write_all(fd, buffer, used); e != 0) {
    ::close(fd);
    return Error::io_errno(e);
  }
  if (::close(fd) != 0) return Error::io_errno(errno);
  return {};
}

}  // namespace io::provenance

}  // namespace orivex
