// The thirteen module functions, in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orivex::py {

#define ORIVEX_PY_FASTCALL(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

PyObject* version(PyObject* self, PyObject* unused);
PyObject* build_features(PyObject* self, PyObject* unused);
ORIVEX_PY_FASTCALL(inspect);
ORIVEX_PY_FASTCALL(audit);
ORIVEX_PY_FASTCALL(audit_with_glyphs);
ORIVEX_PY_FASTCALL(audit_profiled);
ORIVEX_PY_FASTCALL(audit_profiled_with_glyphs);
ORIVEX_PY_FASTCALL(audit_bids);
ORIVEX_PY_FASTCALL(detect_flip);
ORIVEX_PY_FASTCALL(detect_flip_with_glyphs);
ORIVEX_PY_FASTCALL(repair);
ORIVEX_PY_FASTCALL(repair_with_glyphs);
ORIVEX_PY_FASTCALL(recompute_bval);

}  // namespace orivex::py
