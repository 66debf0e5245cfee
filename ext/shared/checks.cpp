// Argument checks at the boundary, with the messages callers see.
#include "pfnc/checks.hpp"

namespace pfnc {

namespace {
// int() would also parse strings and bytes; the rule only admits numbers.
bool has_number_protocol(PyObject* value) noexcept {
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr);
}
}  // namespace

void raise_argument_type(PyObject* arg, PyTypeObject* type, const char* arg_name) noexcept {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               arg_name, type->tp_name, Py_TYPE(arg)->tp_name);
}

bool check_exact(PyObject* arg, PyTypeObject* type, const char* arg_name) noexcept {
  if (Py_IS_TYPE(arg, type)) return true;
  raise_argument_type(arg, type, arg_name);
  return false;
}

Ref to_int_other(PyObject* arg, const char* arg_name) noexcept {
  if (has_number_protocol(arg)) return steal(PyNumber_Long(arg));
  raise_argument_type(arg, &PyLong_Type, arg_name);
  return {};
}

Ref to_int_value(PyObject* value) noexcept {
  if (PyLong_CheckExact(value)) return borrow(value);
  if (has_number_protocol(value)) return steal(PyNumber_Long(value));
  raise_expected("int", value);
  return {};
}

void raise_expected(const char* expected, PyObject* value) noexcept {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
}

}  // namespace pfnc
