// Small calls every module makes: attributes, method calls, result pairs.
#pragma once

#include <initializer_list>

#include "pfnc/ref.hpp"
#include "pfnc/str.hpp"

namespace pfnc {

// object.name
inline Ref attr(PyObject* object, const Str& name) noexcept { return steal(PyObject_GetAttr(object, name.get())); }

// args[0].name(*args[1:])
inline Ref call_method(const Str& name, std::initializer_list<PyObject*> args) noexcept {
  return steal(PyObject_VectorcallMethod(name.get(), args.begin(), args.size(), nullptr));
}

// (first, second): one candidate of a reader's result.
inline Ref pair(PyObject* first, PyObject* second) noexcept {
  PyObject* tuple = PyTuple_New(2);  // PyTuple_Pack walks a va_list for the same tuple
  if (tuple == nullptr) return {};
  PyTuple_SET_ITEM(tuple, 0, Py_NewRef(first));
  PyTuple_SET_ITEM(tuple, 1, Py_NewRef(second));
  return steal(tuple);
}

}  // namespace pfnc
