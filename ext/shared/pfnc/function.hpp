// Functions and methods written in C++: declared once, called through vectorcall.
#pragma once

#include "pfnc/ref.hpp"

namespace pfnc {

enum class Default : unsigned char { required, none, false_ };

struct Param {
  const char* name = nullptr;
  const char* annotation = nullptr;  // stored as a string, never evaluated
  Default default_value = Default::required;
};

inline constexpr int max_params = 5;

// Everything about a function that does not change: the parser fills one
// argument per parameter (defaults included) and hands them to impl, which
// returns a new reference or nullptr with an exception set.
struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;
  Param params[max_params];
  const char* returns = nullptr;
  PyObject* (*impl)(PyObject* const* args) = nullptr;
};

// A new function object for spec, with __module__ set to module_name and
// __globals__ to globals (so typing.get_type_hints can resolve annotations).
Ref make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* globals) noexcept;

// What calling f with nargs positional arguments (no keywords) runs, when f
// is a function of this extension: the call is then impl(args), without the
// interpreter's call protocol. nullptr for any other callable.
using Impl = PyObject* (*)(PyObject* const* args);
Impl direct_impl(PyObject* f, Py_ssize_t nargs) noexcept;

// Creates the function type; once per interpreter, before make_function.
[[nodiscard]] bool init_function_type() noexcept;

}  // namespace pfnc
