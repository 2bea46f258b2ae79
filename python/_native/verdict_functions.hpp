// The functions of orivex._native: audit, detect_flip and repair with the tracking verdict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "args.hpp"
#include "orivex/audit/verdict.hpp"
#include "orivex/io/volume.hpp"

namespace orivex::py::native {

#define ORIVEX_NATIVE_FASTCALL(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

PyObject* version(PyObject* self, PyObject* unused);
PyObject* parameters(PyObject* self, PyObject* unused);
ORIVEX_NATIVE_FASTCALL(audit);
ORIVEX_NATIVE_FASTCALL(detect_flip);
ORIVEX_NATIVE_FASTCALL(repair);
// Raises the ValueError a call with these options would raise, before it opened any file.
ORIVEX_NATIVE_FASTCALL(check_options);

extern const Signature audit_signature;
extern const Signature detect_flip_signature;
extern const Signature repair_signature;
extern const Signature check_options_signature;

// The QC figure's data as a new dictionary, or nullptr with the exception set.
PyObject* qc_payload(const QcData& qc, const VolumeInfo& info);

}  // namespace orivex::py::native
