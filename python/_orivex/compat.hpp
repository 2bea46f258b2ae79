// The few CPython calls newer than the oldest Python the modules build for (3.10), with
// equivalents made of the calls that Python has.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
// PyModule_Add (3.13): adds `value` under `name`, stealing the reference even on failure.
inline int PyModule_Add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  const int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc;
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// PyErr_GetRaisedException / PyErr_SetRaisedException (3.12): the raised exception as one
// normalised object, and back.
inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
  return value;
}

inline void PyErr_SetRaisedException(PyObject* exc) {
  if (exc == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
  PyObject* traceback = PyException_GetTraceback(exc);
  PyErr_Restore(type, exc, traceback);
}
#endif
