// Packing the flip detection's per-voxel data into the glyph payload dictionary.
#include "glyphs.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace orivex::py {

bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* bytes_of(const std::string& data) {
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

PyObject* shape_list(const std::array<std::size_t, 3>& dims) {
  PyObject* list = PyList_New(3);
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < 3; ++i) {
    PyObject* item = PyLong_FromSize_t(dims[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

std::string f32_bytes(const std::vector<double>& values) {
  std::string out(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    // The conversion rounds to nearest under the default floating-point environment.
    std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(values[i]));
    for (std::size_t b = 0; b < 4; ++b) {
      out[4 * i + b] = static_cast<char>((bits >> (8 * b)) & 0xFFu);
    }
  }
  return out;
}

PyObject* glyph_payload(const GlyphData& glyphs, const VolumeInfo& info) {
  const TensorField& field = glyphs.field;
  std::vector<double> evecs;
  evecs.reserve(field.evecs.size() * 3);
  for (const Vec3& v : field.evecs) evecs.insert(evecs.end(), v.begin(), v.end());
  const std::string v1 = f32_bytes(evecs);
  const std::string fa = f32_bytes(field.fa);
  const std::string s0 = f32_bytes(field.s0);
  std::string mask(glyphs.wm_mask.size(), '\0');
  for (std::size_t i = 0; i < glyphs.wm_mask.size(); ++i) {
    mask[i] = glyphs.wm_mask[i] != 0 ? 1 : 0;
  }

  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool ok = put(dict, "shape", shape_list(field.dims)) &&
                  put(dict, "affine", rows_list(info.affine)) &&
                  put(dict, "voxel_sizes", float_list(info.voxel_sizes)) &&
                  put(dict, "frame_map", rows_list(glyphs.frame_map)) &&
                  put(dict, "v1", bytes_of(v1)) && put(dict, "fa", bytes_of(fa)) &&
                  put(dict, "s0", bytes_of(s0)) && put(dict, "mask", bytes_of(mask));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace orivex::py
