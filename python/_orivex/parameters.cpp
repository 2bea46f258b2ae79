// The parameter table handed to Python.
#include "parameters.hpp"

namespace orivex::py {

namespace {

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::OptPath: return "path";
    case Kind::Real:
    case Kind::OptReal: return "real";
    case Kind::Flag: return "flag";
    case Kind::OptCount: return "count";
    case Kind::Threads: return "threads";
  }
  return "";
}

// New reference, or nullptr with the exception set.
PyObject* default_of(const Param& p) {
  switch (p.kind) {
    case Kind::Real: return PyFloat_FromDouble(p.real_default);
    case Kind::Flag: return Py_NewRef(Py_False);
    case Kind::OptCount:
      if (p.count_default != 0) return PyLong_FromUnsignedLongLong(p.count_default);
      return Py_NewRef(Py_None);
    default: return Py_NewRef(Py_None);
  }
}

}  // namespace

PyObject* parameters_dict() {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const Param& p : parameter_table) {
    PyObject* fallback = default_of(p);
    PyObject* entry = fallback == nullptr ? nullptr
                                          : Py_BuildValue("(sNs)", kind_name(p.kind), fallback,
                                                          p.doc);
    if (entry == nullptr || PyDict_SetItemString(dict, p.name, entry) < 0) {
      Py_XDECREF(entry);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(entry);
  }
  return dict;
}

}  // namespace orivex::py
