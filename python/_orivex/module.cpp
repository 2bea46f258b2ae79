// The _orivex extension module: function table and module initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "call.hpp"
#include "functions.hpp"

namespace {

using namespace orivex::py;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

#define ORIVEX_PY_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// The docstrings of the functions with arguments are generated from their parameter tables at
// initialisation (see `docstring`), so the defaults they show are the core's.
PyMethodDef functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"build_features", build_features, METH_NOARGS, "build_features()\n--\n\n"},
    {"inspect", ORIVEX_PY_FAST(inspect), fastcall, nullptr},
    {"audit", ORIVEX_PY_FAST(audit), fastcall, nullptr},
    {"audit_with_glyphs", ORIVEX_PY_FAST(audit_with_glyphs), fastcall, nullptr},
    {"audit_profiled", ORIVEX_PY_FAST(audit_profiled), fastcall, nullptr},
    {"audit_profiled_with_glyphs", ORIVEX_PY_FAST(audit_profiled_with_glyphs), fastcall, nullptr},
    {"audit_bids", ORIVEX_PY_FAST(audit_bids), fastcall, nullptr},
    {"detect_flip", ORIVEX_PY_FAST(detect_flip), fastcall, nullptr},
    {"detect_flip_with_glyphs", ORIVEX_PY_FAST(detect_flip_with_glyphs), fastcall, nullptr},
    {"repair", ORIVEX_PY_FAST(repair), fastcall, nullptr},
    {"repair_with_glyphs", ORIVEX_PY_FAST(repair_with_glyphs), fastcall, nullptr},
    {"recompute_bval", ORIVEX_PY_FAST(recompute_bval), fastcall, nullptr},
};

// Parallel to `functions`.
const Signature* const signatures[] = {
    nullptr,
    nullptr,
    &inspect_signature,
    &audit_signature,
    &audit_with_glyphs_signature,
    &audit_profiled_signature,
    &audit_profiled_with_glyphs_signature,
    &audit_bids_signature,
    &detect_flip_signature,
    &detect_flip_with_glyphs_signature,
    &repair_signature,
    &repair_with_glyphs_signature,
    &recompute_bval_signature,
};
static_assert(std::size(signatures) == std::size(functions));

// Function objects keep pointing at these texts, so they are made once and never replaced.
void set_docstrings() {
  static std::array<std::string, std::size(functions)> docs;
  static std::once_flag once;
  std::call_once(once, [] {
    for (std::size_t i = 0; i < std::size(functions); ++i) {
      if (signatures[i] == nullptr) continue;
      docs[i] = docstring(*signatures[i]);
      functions[i].ml_doc = docs[i].c_str();
    }
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_orivex",
    "",
    0,  // no module state; 0 rather than -1 so every interpreter runs PyInit (see below)
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The process-wide worker pool and the PanicException type are shared by everything loaded in
// this process, so the module belongs to the first interpreter that imports it. An m_size of 0
// makes CPython call PyInit again in any other interpreter (instead of copying a cached module
// dict), which is where that interpreter is refused.
std::int64_t owner_interpreter = -1;

}  // namespace

PyMODINIT_FUNC PyInit__orivex() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (owner_interpreter >= 0 && owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_orivex cannot be loaded into more than one interpreter of a process");
    return nullptr;
  }
  if (panic_exception_type() == nullptr) return nullptr;
  set_docstrings();

  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  for (PyMethodDef& def : functions) {
    PyObject* fn = PyCFunction_NewEx(&def, module, name);
    if (fn == nullptr || PyModule_Add(module, def.ml_name, fn) < 0) {
      Py_DECREF(name);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(name);
  owner_interpreter = id;
  return module;
}
