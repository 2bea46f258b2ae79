// Argument binding with the interpreter's own TypeError wording for Python-level functions.
#include "args.hpp"

#include <cstring>

#include "compat.hpp"
#include "orivex/support/numfmt.hpp"

namespace orivex::py {

namespace {

std::string fname(const Signature& sig) { return std::string(sig.name) + "()"; }

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const std::size_t max = sig.params.size();
  const std::string verb = given == 1 ? "was" : "were";
  std::string takes;
  if (sig.required == max) {
    takes = std::to_string(max) + (max == 1 ? " positional argument" : " positional arguments");
  } else {
    takes = "from " + std::to_string(sig.required) + " to " + std::to_string(max) +
            " positional arguments";
  }
  PyErr_Format(PyExc_TypeError, "%s takes %s but %zd %s given", fname(sig).c_str(),
               takes.c_str(), given, verb.c_str());
}

void missing_required(const Signature& sig, const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        list += " and ";
      } else {
        list += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    list.append("'").append(names[i]).append("'");
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               fname(sig).c_str(), names.size(), names.size() == 1 ? "argument" : "arguments",
               list.c_str());
}

// Each converter returns false with a Python exception set.

bool wrong_type(const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "expected %s, got %s", expected, Py_TYPE(obj)->tp_name);
  return false;
}

bool convert_path(PyObject* obj, Value& out, bool fs_bytes) {
  if (!PyUnicode_Check(obj)) return wrong_type("str", obj);
  if (fs_bytes) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(obj);
    if (bytes == nullptr) return false;
    out = std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return true;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out = std::string(utf8, static_cast<std::size_t>(size));
  return true;
}

bool convert_real(PyObject* obj, Value& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// NumPy is not linked in; its boolean scalar is recognised by its type name (numpy.bool_ in
// NumPy 1, numpy.bool in NumPy 2).
bool is_numpy_bool(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool convert_flag(PyObject* obj, Value& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  return wrong_type("bool", obj);
}

bool convert_threads(PyObject* obj, Value& out, bool saturate) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() && saturate &&
      PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyObject* zero = PyLong_FromLong(0);
    const int positive = zero == nullptr ? -1 : PyObject_RichCompareBool(index, zero, Py_GT);
    Py_XDECREF(zero);
    if (positive >= 0) {
      PyErr_Clear();
      Py_DECREF(index);
      out = positive == 1 ? ~std::uint64_t{0} : std::uint64_t{0};
      return true;
    }
  }
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool convert(const Signature& sig, const Param& p, bool required, PyObject* obj, Value& out) {
  const bool absent = obj == nullptr;
  const bool none_is_absent =
      !required && (p.kind == Kind::OptPath || p.kind == Kind::OptReal ||
                    p.kind == Kind::Threads || p.kind == Kind::OptCount);
  if (absent || (none_is_absent && obj == Py_None)) {
    if (p.kind == Kind::Real) out = p.real_default;
    if (p.kind == Kind::Flag) out = false;
    if (p.kind == Kind::OptCount && p.count_default != 0) out = p.count_default;
    return true;
  }
  switch (p.kind) {
    case Kind::OptPath:
      return convert_path(obj, out, sig.package);
    case Kind::Real:
    case Kind::OptReal:
      return convert_real(obj, out);
    case Kind::Flag:
      return convert_flag(obj, out);
    case Kind::Threads:
    case Kind::OptCount:
      return convert_threads(obj, out, sig.package);
  }
  return true;
}

// Only a TypeError is re-worded to name the parameter; anything else (an OverflowError from a
// negative worker count, a UnicodeEncodeError from a lone surrogate) passes through as raised.
void name_conversion_error(const Param& p) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* cause = PyErr_GetRaisedException();
  PyObject* text = PyObject_Str(cause);
  if (text == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyObject* reworded = PyUnicode_FromFormat("argument '%s': %U", p.name, text);
  Py_DECREF(text);
  if (reworded == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyObject* exc = PyObject_CallOneArg(PyExc_TypeError, reworded);
  Py_DECREF(reworded);
  if (exc == nullptr) {
    Py_DECREF(cause);
    return;
  }
  PyException_SetContext(exc, Py_NewRef(cause));
  PyException_SetCause(exc, cause);  // steals the reference
  PyErr_SetRaisedException(exc);
}

}  // namespace

std::optional<Bound> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  const std::size_t n = sig.params.size();
  if (static_cast<std::size_t>(nargs) > n) {
    too_many_positional(sig, nargs);
    return std::nullopt;
  }
  std::vector<PyObject*> slots(n, nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t found = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
        found = i;
        break;
      }
    }
    if (found == n) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                   fname(sig).c_str(), key);
      return std::nullopt;
    }
    if (slots[found] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   fname(sig).c_str(), sig.params[found].name);
      return std::nullopt;
    }
    slots[found] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    missing_required(sig, missing);
    return std::nullopt;
  }

  std::vector<Value> values(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (!convert(sig, sig.params[i], i < sig.required, slots[i], values[i])) {
      name_conversion_error(sig.params[i]);
      return std::nullopt;
    }
  }
  return Bound(sig, std::move(values));
}

const Value& Bound::at(const char* name) const {
  for (std::size_t i = 0; i < sig_->params.size(); ++i) {
    if (std::strcmp(sig_->params[i].name, name) == 0) return values_[i];
  }
  static const Value none;
  return none;
}

bool Bound::has(const char* name) const {
  for (const Param& p : sig_->params) {
    if (std::strcmp(p.name, name) == 0) return true;
  }
  return false;
}

std::optional<std::string> Bound::path(const char* name) const {
  if (const auto* s = std::get_if<std::string>(&at(name))) return *s;
  return std::nullopt;
}

double Bound::real(const char* name) const {
  const auto* v = std::get_if<double>(&at(name));
  return v != nullptr ? *v : 0.0;
}

std::optional<double> Bound::opt_real(const char* name) const {
  if (const auto* v = std::get_if<double>(&at(name))) return *v;
  return std::nullopt;
}

bool Bound::flag(const char* name) const {
  const auto* v = std::get_if<bool>(&at(name));
  return v != nullptr && *v;
}

std::optional<std::uint64_t> Bound::threads() const { return count("threads"); }

std::optional<std::uint64_t> Bound::count(const char* name) const {
  if (const auto* v = std::get_if<std::uint64_t>(&at(name))) return *v;
  return std::nullopt;
}

std::string docstring(const Signature& sig) {
  std::string doc = std::string(sig.name) + "(";
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    const Param& p = sig.params[i];
    if (i > 0) doc += ", ";
    doc += p.name;
    if (i < sig.required) continue;
    switch (p.kind) {
      case Kind::Real: doc.append("=").append(numfmt::json_number(p.real_default)); break;
      case Kind::Flag: doc += "=False"; break;
      case Kind::OptCount:
        doc += "=";
        doc += p.count_default != 0 ? std::to_string(p.count_default) : "None";
        break;
      case Kind::OptPath:
      case Kind::OptReal:
      case Kind::Threads: doc += "=None"; break;
    }
  }
  return doc + ")\n--\n\n" + sig.description;
}

}  // namespace orivex::py
