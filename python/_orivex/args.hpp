// Parameter tables and the binder that turns a vectorcall into converted argument values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace orivex::py {

// A parameter among a signature's leading `required` ones must be given, and None is not
// accepted for it; the Opt kinds take None as absent elsewhere.
enum class Kind {
  OptPath,  // str (or a subclass), or None / omitted for absent
  Real,     // float conversion; None refused
  OptReal,  // float conversion, or None / omitted for absent
  Flag,     // bool or a NumPy boolean scalar; int refused
  Threads,  // None, or an index that fits an unsigned 64-bit value
  OptCount, // like Threads, for any other count; absent means count_default when that is set
};

struct Param {
  const char* name;
  Kind kind;
  double real_default = 0.0;         // for Kind::Real only
  std::uint64_t count_default = 0;   // for Kind::OptCount: 0 for none
  const char* doc = "";              // one line, as the command line's help shows it
};

struct Signature {
  const char* name;  // function name, used in the TypeError texts
  std::span<const Param> params;
  std::size_t required;  // leading parameters without a default
  const char* description = "";  // the docstring after the text signature
  // The second module's rules: paths are taken as the file system spells them (os.fsencode:
  // the lone surrogates of a name that is not UTF-8 become its bytes again), and a count outside
  // 64 bits saturates (a negative one to 0), so the range checks of the core name the option
  // rather than overflow.
  bool package = false;
};

// "name(a, b=None, tolerance=0.05)\n--\n\n" and the description: the text signature CPython
// reads from a docstring, with every default taken from the parameter table.
std::string docstring(const Signature& sig);

using Value = std::variant<std::monostate, std::string, double, bool, std::uint64_t>;

class Bound {
 public:
  Bound(const Signature& sig, std::vector<Value> values) : sig_(&sig), values_(std::move(values)) {}

  bool has(const char* name) const;
  // The call is one of the second module's (Signature::package).
  bool package() const { return sig_->package; }
  std::optional<std::string> path(const char* name) const;
  double real(const char* name) const;
  std::optional<double> opt_real(const char* name) const;
  bool flag(const char* name) const;
  std::optional<std::uint64_t> threads() const;
  std::optional<std::uint64_t> count(const char* name) const;

 private:
  const Value& at(const char* name) const;
  const Signature* sig_;
  std::vector<Value> values_;
};

// Binds positional and keyword arguments to the table, then converts each parameter in
// declared order. Returns nothing with a Python exception set on the first failure.
std::optional<Bound> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

}  // namespace orivex::py
