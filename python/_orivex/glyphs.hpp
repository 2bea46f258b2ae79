// The glyph payload: per-voxel fibre directions, FA, signal and coherence mask for drawing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "orivex/analysis/flip.hpp"
#include "orivex/io/volume.hpp"

namespace orivex::py {

// Building blocks of payload dictionaries; each returns nullptr with the exception set on failure.
// Steals `value`; false (with the exception set) when it is null or the insertion fails.
bool put(PyObject* dict, const char* key, PyObject* value);
PyObject* bytes_of(const std::string& data);
PyObject* shape_list(const std::array<std::size_t, 3>& dims);

template <std::size_t N>
PyObject* float_list(const std::array<double, N>& values) {
  PyObject* list = PyList_New(N);
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

template <std::size_t R, std::size_t C>
PyObject* rows_list(const std::array<std::array<double, C>, R>& m) {
  PyObject* list = PyList_New(R);
  if (list == nullptr) return nullptr;
  for (std::size_t r = 0; r < R; ++r) {
    PyObject* row = float_list(m[r]);
    if (row == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(r), row);
  }
  return list;
}

// Each value rounded to the nearest 32-bit float, four little-endian bytes each, in order.
std::string f32_bytes(const std::vector<double>& values);

// New dictionary with the eight keys in order, or nullptr with the exception set.
PyObject* glyph_payload(const GlyphData& glyphs, const VolumeInfo& info);

}  // namespace orivex::py
