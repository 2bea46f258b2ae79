// Error conversion at the module boundary.
#include "boundary.hpp"

#include <cstring>

namespace orivex::py {

PyObject* panic_exception_type() {
  // The type outlives every interpreter that could see it: the module refuses to load into a
  // second one, so one process-wide object is enough.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "_orivex.PanicException",
      "An internal failure of orivex that is not an input error (a bug); deliberately not an "
      "Exception subclass.",
      PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_value_error(const std::string& message) {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(PyExc_ValueError, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* raise_error(Error error) {
  const std::string message = error.message();
  return raise_value_error(message);
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // creating the type failed; that exception is already set
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace orivex::py
