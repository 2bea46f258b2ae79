// The orivex._native extension module: the verdict functions the command line uses.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "orivex/support/execution.hpp"
#include "verdict_functions.hpp"

namespace {

using namespace orivex::py;
using namespace orivex::py::native;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

#define ORIVEX_NATIVE_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// The docstrings of the functions with arguments are generated from their parameter tables at
// initialisation, like _orivex's.
PyMethodDef functions[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"parameters", parameters, METH_NOARGS,
     "parameters()\n--\n\nEvery parameter of both modules: {name: (kind, default, doc)}."},
    {"audit", ORIVEX_NATIVE_FAST(audit), fastcall, nullptr},
    {"detect_flip", ORIVEX_NATIVE_FAST(detect_flip), fastcall, nullptr},
    {"repair", ORIVEX_NATIVE_FAST(repair), fastcall, nullptr},
    {"check_options", ORIVEX_NATIVE_FAST(check_options), fastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void set_docstrings() {
  static const Signature* const signatures[] = {&audit_signature, &detect_flip_signature,
                                                &repair_signature, &check_options_signature};
  static std::string docs[std::size(signatures)];
  static std::once_flag once;
  std::call_once(once, [] {
    for (std::size_t i = 0; i < std::size(signatures); ++i) {
      docs[i] = docstring(*signatures[i]);
      functions[i + 2].ml_doc = docs[i].c_str();
    }
  });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orivex._native", "", 0, functions, nullptr, nullptr, nullptr, nullptr,
};

// Like _orivex: the process-wide pool and exception type belong to the first interpreter.
std::int64_t owner_interpreter = -1;

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  if (owner_interpreter >= 0 && owner_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "orivex._native cannot be loaded into more than one interpreter of a process");
    return nullptr;
  }
  if (orivex::py::panic_exception_type() == nullptr) return nullptr;
  set_docstrings();
  // The main thread's kept pool ends with the interpreter, before the process tears down.
  static std::once_flag at_exit;
  std::call_once(at_exit, [] { Py_AtExit([] { orivex::Execution::release_kept_pool(); }); });
  PyObject* module = PyModule_Create(&module_def);
  if (module != nullptr) owner_interpreter = id;
  return module;
}
