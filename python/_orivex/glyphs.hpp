// The glyph payload: per-voxel fibre directions, FA, signal and coherence mask for drawing.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "orivex/analysis/flip.hpp"
#include "orivex/io/volume.hpp"

namespace orivex::py {

// Each value rounded to the nearest 32-bit float, four little-endian bytes each, in order.
std::string f32_bytes(const std::vector<double>& values);

// New dictionary with the eight keys in order, or nullptr with the exception set.
PyObject* glyph_payload(const GlyphData& glyphs, const VolumeInfo& info);

}  // namespace orivex::py
