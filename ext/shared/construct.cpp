// Calling a class from C++ as Python code does, at the cost Python code pays.
#include "pfnc/construct.hpp"

#include <utility>

namespace pfnc {

namespace {
PyObject* s_init = nullptr;
constexpr size_t max_args = 4;
}  // namespace

bool Construct::learn(PyTypeObject* type) noexcept {
  tag_ = 0;
  // Exactly what type.__call__ then object.__new__ would do without running
  // anything of the class's: no metaclass of its own, no __new__, nothing abstract.
  if (Py_TYPE(type) != &PyType_Type || type->tp_new != PyBaseObject_Type.tp_new ||
      type->tp_alloc != PyType_GenericAlloc || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
    return false;
  }
  if (s_init == nullptr && (s_init = PyUnicode_InternFromString("__init__")) == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnstable_Type_AssignVersionTag(type)) return false;
  unsigned int tag = type->tp_version_tag;
  // __init__ as the class's own lookup finds it, through the MRO's dicts:
  // no descriptor of the class's is run.
  PyObject* mro = type->tp_mro;
  Ref init;
  for (Py_ssize_t i = 0; mro != nullptr && PyTuple_Check(mro) && i < PyTuple_GET_SIZE(mro) && !init; ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return false;
    Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), s_init, &found) < 0) {
      PyErr_Clear();
      return false;
    }
    init = steal(found);
  }
  if (!init || !PyFunction_Check(init.get()) || tag == 0 || type->tp_version_tag != tag) return false;
  type_ = type;
  tag_ = tag;
  PyObject* old = std::exchange(init_, init.release());
  Py_XDECREF(old);
  return true;
}

Ref Construct::operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept {
  PyTypeObject* type = PyType_Check(cls) ? reinterpret_cast<PyTypeObject*>(cls) : nullptr;
  bool known = type != nullptr && args.size() < max_args && Py_TYPE(cls) == &PyType_Type &&
               ((type == type_ && tag_ != 0 && type->tp_version_tag == tag_) || learn(type));
  if (!known) return steal(PyObject_Vectorcall(cls, args.begin(), args.size(), nullptr));
  // Held for the call: __init__ may replace what this object remembers.
  Ref init = borrow(init_);
  Ref self = steal(type->tp_alloc(type, 0));
  if (!self) return {};
  PyObject* stack[max_args + 1] = {self.get()};
  size_t n = 1;
  for (PyObject* arg : args) stack[n++] = arg;
  Ref result = steal(PyObject_Vectorcall(init.get(), stack, n, nullptr));
  if (!result) return {};
  if (result.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
    return {};
  }
  return self;
}

}  // namespace pfnc
