// The one boundary every module function crosses: core errors become ValueError, anything that
// escapes becomes PanicException, and no C++ exception ever unwinds into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "compat.hpp"
#include "orivex/support/error.hpp"

namespace orivex::py {

// The BaseException subclass for broken invariants, created once per process.
PyObject* panic_exception_type();

// Sets ValueError(message) and returns nullptr.
PyObject* raise_value_error(const std::string& message);
// Renders the error's display text, drops the error, sets ValueError and returns nullptr.
PyObject* raise_error(Error error);
void raise_panic(const char* message);

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return nullptr;
}

// Runs core work with the GIL released, so that other Python threads (a notebook's, a Dask
// worker's) go on meanwhile. The work must not touch Python objects; the GIL is taken back
// however it ends, before anything is raised.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } held{PyEval_SaveThread()};
  return work();
}

}  // namespace orivex::py

// Binds the value of a core Result or returns from the wrapper with the ValueError set.
#define ORIVEX_PY_CONCAT_INNER(a, b) a##b
#define ORIVEX_PY_CONCAT(a, b) ORIVEX_PY_CONCAT_INNER(a, b)
#define ORIVEX_PY_ASSIGN(lhs, expr) \
  ORIVEX_PY_ASSIGN_IMPL(ORIVEX_PY_CONCAT(orivex_py_r_, __LINE__), lhs, expr)
#define ORIVEX_PY_ASSIGN_IMPL(tmp, lhs, expr)                          \
  auto tmp = (expr);                                                   \
  if (!tmp) return ::orivex::py::raise_error(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
