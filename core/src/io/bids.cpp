// BIDS discovery over raw POSIX listings (paths stay byte strings) and the sidecar reader.
#include "orivex/io/bids.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <compare>
#include <exception>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "detail/text.hpp"
#include "orivex/io/file.hpp"

namespace orivex::io::bids {

namespace {

using json = nlohmann::json;

// The identity of a real directory. Each is walked once, however many links or paths lead to
// it: a link back up would otherwise recurse forever, and "diamonds" (two links to the same
// directory at every level) would multiply the walk by two per level.
struct DirId {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const DirId&) const = default;
};

bool stat_follow(const std::string& path, struct stat& st) {
  return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return stat_follow(path, st) && S_ISREG(st.st_mode);
}

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The last component and the part before it ("" when there is no separator).
std::pair<std::string_view, std::string_view> split_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view{}, path};
  std::string_view parent = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
  return {parent, path.substr(slash + 1)};
}

// Names that may be runs or masks: AppleDouble companions ("._x") copied from macOS volumes
// carry the same names as the real files but hold resource forks, not images.
bool plausible_name(std::string_view name) {
  return name.size() > 1 && !starts_with(name, "._") && valid_utf8(name);
}

bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

struct Listed {
  std::string name;
  unsigned char type;  // d_type: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...
};

// Entries of a directory, or the errno that ended the listing.
int list_dir(const std::string& dir, std::vector<Listed>& entries) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return errno;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) {
      int err = errno;
      ::closedir(d);
      return err;
    }
    if (!is_dot_entry(e->d_name)) entries.push_back({e->d_name, e->d_type});
  }
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) out.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

Result<void> walk_into(const std::string& dir, std::vector<std::string>& out,
                       std::set<DirId>& visited) {
  struct stat st {};
  if (!stat_follow(dir, st) || !S_ISDIR(st.st_mode)) return {};
  if (!visited.insert(DirId{st.st_dev, st.st_ino}).second) return {};
  std::vector<Listed> entries;
  if (int err = list_dir(dir, entries); err != 0) return Error::io_errno(err);
  // In name order, so that of several paths to one directory the first in sorted order is the
  // one walked, whatever order the file system lists them in.
  std::sort(entries.begin(), entries.end(),
            [](const Listed& a, const Listed& b) { return a.name < b.name; });
  for (const Listed& entry : entries) {
    const std::string& name = entry.name;
    std::string path = join(dir, name);
    bool is_dir = entry.type == DT_DIR;
    // A plain file needs no stat (a dataset is mostly plain files); links and entries of
    // unknown type are resolved to what they point at.
    if (entry.type != DT_REG && entry.type != DT_DIR) {
      struct stat est {};
      if (!stat_follow(path, est)) continue;  // broken link, vanished entry, no permission
      is_dir = S_ISDIR(est.st_mode);
    }
    if (is_dir) {
      // Derivatives hold processed copies of the runs (often our own reports beside other
      // tools' DWI outputs); auditing them would duplicate or misattribute runs.
      if (name == "derivatives") continue;
      auto r = walk_into(path, out, visited);
      if (!r) return std::move(r).error();
    } else {
      out.push_back(std::move(path));
    }
  }
  return {};
}

// Text for a value of the wrong type, in the form "invalid type: string \"3\", expected u32".
std::string invalid_type(const json& v, std::string_view expected) {
  std::string what;
  switch (v.type()) {
    case json::value_t::string: what = "string " + v.dump(); break;
    case json::value_t::boolean: what = std::string("boolean `") + v.dump() + "`"; break;
    case json::value_t::number_float: what = "floating point `" + v.dump() + "`"; break;
    case json::value_t::number_integer: what = "integer `" + v.dump() + "`"; break;
    case json::value_t::number_unsigned: what = "integer `" + v.dump() + "`"; break;
    case json::value_t::array: what = "sequence"; break;
    case json::value_t::object: what = "map"; break;
    default: what = v.type_name(); break;
  }
  return "invalid type: " + what + ", expected " + std::string(expected);
}

constexpr const char* key_pe = "PhaseEncodingDirection";
constexpr const char* key_trt = "TotalReadoutTime";
constexpr const char* key_mb = "MultibandAccelerationFactor";

Result<BidsSidecar> sidecar_from(const json& doc) {
  if (!doc.is_object()) return Error::json(invalid_type(doc, "struct BidsSidecar"));
  BidsSidecar out;
  if (auto it = doc.find(key_pe); it != doc.end() && !it->is_null()) {
    if (!it->is_string()) return Error::json(invalid_type(*it, "a string"));
    out.phase_encoding_direction = it->get<std::string>();
  }
  if (auto it = doc.find(key_trt); it != doc.end() && !it->is_null()) {
    if (!it->is_number()) return Error::json(invalid_type(*it, "f64"));
    // 1e999 reads as infinity, which no readout lasts.
    if (!std::isfinite(it->get<double>()))
      return Error::json("invalid value: `" + it->dump() + "`, expected a finite f64");
    out.total_readout_time = it->get<double>();
  }
  if (auto it = doc.find(key_mb); it != doc.end() && !it->is_null()) {
    constexpr auto max = std::numeric_limits<std::uint32_t>::max();
    if (it->is_number_unsigned()) {
      auto v = it->get<std::uint64_t>();
      if (v > max) return Error::json("invalid value: integer `" + it->dump() + "`, expected u32");
      out.multiband_acceleration_factor = static_cast<std::uint32_t>(v);
    } else if (it->is_number_integer()) {
      // The parser files "-0" and negative literals as signed integers.
      auto v = it->get<std::int64_t>();
      if (v < 0) return Error::json("invalid value: integer `" + it->dump() + "`, expected u32");
      out.multiband_acceleration_factor = static_cast<std::uint32_t>(v);
    } else {
      // 2.5, and also 3.0: a factor written with a point is not a whole number literal.
      return Error::json(invalid_type(*it, "u32"));
    }
  }
  return out;
}

}  // namespace

std::string join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string out = dir;
  if (out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string with_extension(const std::string& path, std::string_view ext) {
  std::size_t name_start = path.rfind('/');
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  std::size_t dot = path.rfind('.');
  std::string out = path;
  if (dot != std::string::npos && dot > name_start) out.resize(dot);
  out.push_back('.');
  out.append(ext);
  return out;
}

void sort_paths(std::vector<std::string>& paths) {
  // Split each path once; comparing re-split paths would dominate discovery of large datasets.
  struct Key {
    bool absolute;
    std::vector<std::string_view> parts;
    std::size_t index;
  };
  std::vector<Key> keys;
  keys.reserve(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i)
    keys.push_back({!paths[i].empty() && paths[i].front() == '/', components(paths[i]), i});
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    // Keep absolute paths apart from relative ones.
    if (a.absolute != b.absolute) return a.absolute;
    // std::string_view compares through char_traits<char>, i.e. as unsigned bytes.
    return std::lexicographical_compare(a.parts.begin(), a.parts.end(), b.parts.begin(),
                                        b.parts.end());
  });
  std::vector<std::string> sorted;
  sorted.reserve(paths.size());
  for (const Key& k : keys) sorted.push_back(std::move(paths[k.index]));
  paths = std::move(sorted);
}

Result<void> walk(const std::string& dir, std::vector<std::string>& out) {
  std::set<DirId> visited;
  return walk_into(dir, out, visited);
}

std::optional<std::string> nifti_base(const std::string& path) {
  auto [parent, name] = split_name(path);
  if (name.empty() || name == "." || name == ".." || !plausible_name(name)) return std::nullopt;
  std::string_view stem;
  if (ends_with(name, ".nii.gz")) {
    stem = name.substr(0, name.size() - 7);
  } else if (ends_with(name, ".nii")) {
    stem = name.substr(0, name.size() - 4);
  } else {
    return std::nullopt;
  }
  if (!ends_with(stem, "_dwi")) return std::nullopt;
  std::size_t name_pos = static_cast<std::size_t>(name.data() - path.data());
  return path.substr(0, name_pos) + std::string(stem);
}

std::vector<std::string> find_masks(const std::string& dir) {
  std::vector<Listed> entries;
  if (list_dir(dir, entries) != 0) return {};
  std::vector<std::string> out;
  for (const Listed& entry : entries) {
    const std::string& name = entry.name;
    if (!plausible_name(name)) continue;
    std::string lower = detail::lower_ascii(name);
    if (lower.find("mask") == std::string::npos) continue;
    if (!ends_with(lower, ".nii") && !ends_with(lower, ".nii.gz")) continue;
    std::string path = join(dir, name);
    if (!is_regular_file(path)) continue;
    out.push_back(std::move(path));
  }
  sort_paths(out);
  return out;
}

Result<std::vector<DwiEntry>> discover(const std::string& root) {
  std::vector<std::string> files;
  ORIVEX_TRY(walk(root, files));
  sort_paths(files);
  std::vector<DwiEntry> entries;
  for (const std::string& file : files) {
    auto base = nifti_base(file);
    if (!base) continue;
    DwiEntry e;
    e.dwi = file;
    // FSL names the pair bvecs/bvals (dtifit, eddy), BIDS names it bvec/bval; prefer BIDS.
    if (std::string p = with_extension(*base, "bvec"); is_regular_file(p)) {
      e.bvec = std::move(p);
    } else if (std::string q = with_extension(*base, "bvecs"); is_regular_file(q)) {
      e.bvec = std::move(q);
    } else {
      continue;
    }
    if (std::string p = with_extension(*base, "bval"); is_regular_file(p)) {
      e.bval = std::move(p);
    } else if (std::string q = with_extension(*base, "bvals"); is_regular_file(q)) {
      e.bval = std::move(q);
    } else {
      continue;
    }
    if (std::string p = with_extension(*base, "json"); is_regular_file(p)) e.sidecar = std::move(p);
    auto [parent, name] = split_name(file);
    (void)name;
    // A bare file name has the empty directory as its parent, which lists nothing.
    e.masks = find_masks(std::string(parent));
    entries.push_back(std::move(e));
  }
  return entries;
}

Result<BidsSidecar> parse_sidecar(std::string_view text) {
  // The parser keeps the last of repeated keys; a sidecar stating two readout times is
  // contradictory, so repeats of the keys we use are seen here and refused.
  std::string duplicate;
  std::vector<std::string> seen;
  auto callback = [&](int depth, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::key && depth == 1 && duplicate.empty() && parsed.is_string()) {
      const auto& k = parsed.get_ref<const std::string&>();
      if (k == key_pe || k == key_trt || k == key_mb) {
        if (std::find(seen.begin(), seen.end(), k) != seen.end()) {
          duplicate = k;
        } else {
          seen.push_back(k);
        }
      }
    }
    return true;
  };
  json doc;
  try {
    doc = json::parse(text.begin(), text.end(), callback);
  } catch (const std::exception& e) {
    return Error::json(e.what());
  }
  if (!duplicate.empty()) return Error::json("duplicate field `" + duplicate + "`");
  try {
    return sidecar_from(doc);
  } catch (const std::exception& e) {
    return Error::json(e.what());
  }
}

Result<BidsSidecar> read_sidecar(const std::string& path) {
  ORIVEX_ASSIGN(std::string text, read_bytes(path, max_text_bytes));
  return parse_sidecar(text);
}

}  // namespace orivex::io::bids
