// The QC figure's data: FA, the tracking region and the traced tracks, packed as bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "glyphs.hpp"
#include "verdict_functions.hpp"

namespace orivex::py::native {

namespace {

// Every point's x, y, z (voxel coordinates) as 32-bit floats, and each track's point count as a
// little-endian unsigned 32-bit integer.
PyObject* track_dict(const QcTracks& t) {
  std::vector<double> points;
  std::string counts;
  for (const std::vector<Vec3>& line : t.lines) {
    for (const Vec3& p : line) points.insert(points.end(), p.begin(), p.end());
    const auto n = static_cast<std::uint32_t>(line.size());
    for (int b = 0; b < 4; ++b) counts.push_back(static_cast<char>((n >> (8 * b)) & 0xFFu));
  }
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  const bool ok = put(dict, "label", PyUnicode_FromString(t.label.c_str())) &&
                  put(dict, "matrix", rows_list(t.matrix)) &&
                  put(dict, "points", bytes_of(f32_bytes(points))) &&
                  put(dict, "counts", bytes_of(counts));
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace

PyObject* qc_payload(const QcData& qc, const VolumeInfo& info) {
  std::string region(qc.region.size(), '\0');
  for (std::size_t i = 0; i < qc.region.size(); ++i) region[i] = qc.region[i] != 0 ? 1 : 0;
  PyObject* tracks = PyList_New(0);
  if (tracks == nullptr) return nullptr;
  for (const QcTracks& t : qc.tracks) {
    PyObject* item = track_dict(t);
    if (item == nullptr || PyList_Append(tracks, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(tracks);
      return nullptr;
    }
    Py_DECREF(item);
  }
  PyObject* dict = PyDict_New();
  if (dict == nullptr) {
    Py_DECREF(tracks);
    return nullptr;
  }
  const bool ok = put(dict, "shape", shape_list(qc.dims)) &&
                  put(dict, "affine", rows_list(info.affine)) &&
                  put(dict, "voxel_sizes", float_list(info.voxel_sizes)) &&
                  put(dict, "fa", bytes_of(f32_bytes(qc.fa))) &&
                  put(dict, "region", bytes_of(region)) && put(dict, "tracks", tracks);
  if (!ok) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

}  // namespace orivex::py::native
