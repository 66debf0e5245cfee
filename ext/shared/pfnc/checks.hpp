// Argument checks at the boundary, with the messages callers see.
#pragma once

#include "pfnc/ref.hpp"

namespace pfnc {

// The TypeError of an argument that is not of the builtin type.
void raise_argument_type(PyObject* arg, PyTypeObject* type, const char* arg_name) noexcept;

// The exact builtin type and nothing else: no subclass, no None.
[[nodiscard]] bool check_exact(PyObject* arg, PyTypeObject* type, const char* arg_name) noexcept;
[[nodiscard]] inline bool check_str(PyObject* arg, const char* arg_name) noexcept {
  return PyUnicode_CheckExact(arg) || check_exact(arg, &PyUnicode_Type, arg_name);
}

// An int as it is; any other object of the number protocol through int().
Ref to_int_other(PyObject* arg, const char* arg_name) noexcept;
inline Ref to_int(PyObject* arg, const char* arg_name) noexcept {
  return PyLong_CheckExact(arg) ? borrow(arg) : to_int_other(arg, arg_name);
}

// PyLong_AsLongLongAndOverflow, answered inline for the small ints of every
// call (one digit or none), which need neither a call nor a loop.
inline long long long_long_of(PyObject* an_int, int* overflow) noexcept {
  auto* as_long = reinterpret_cast<PyLongObject*>(an_int);
  if (PyLong_CheckExact(an_int) && PyUnstable_Long_IsCompact(as_long)) {
    *overflow = 0;
    return PyUnstable_Long_CompactValue(as_long);
  }
  return PyLong_AsLongLongAndOverflow(an_int, overflow);
}

// The same rule for a value met inside an algorithm rather than at a call:
// "Expected int, got <type>".
Ref to_int_value(PyObject* value) noexcept;

// "Expected <expected>, got <type of value>" as a TypeError.
void raise_expected(const char* expected, PyObject* value) noexcept;

}  // namespace pfnc
