// Calling a class from C++ as Python code does, at the cost Python code pays.
#include "pfnc/construct.hpp"

#include <utility>

namespace pfnc {

namespace {

Str s_init{"__init__"};
constexpr size_t max_args = 4;

// What type.__call__ itself does with a class: object.__new__, then __init__.
bool plain_call(PyTypeObject* type) noexcept {
  return Py_TYPE(type)->tp_call == PyType_Type.tp_call && type->tp_new == PyBaseObject_Type.tp_new &&
         type->tp_alloc == PyType_GenericAlloc && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT);
}

// slot_tp_init calls such an __init__ as init(self, *args) without binding it.
bool binds_as_function(PyObject* init) noexcept {
  PyTypeObject* kind = Py_TYPE(init);
  return PyFunction_Check(init) ||
         (PyType_HasFeature(kind, Py_TPFLAGS_METHOD_DESCRIPTOR) && PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE));
}

}  // namespace

Construct::Known* Construct::learn(PyTypeObject* type) noexcept {
  if (!plain_call(type) || !PyUnstable_Type_AssignVersionTag(type)) return nullptr;
  unsigned int tag = type->tp_version_tag;
  // __init__ as the class's own lookup finds it, through the MRO's dicts:
  // no descriptor of the class's is run.
  PyObject* mro = type->tp_mro;
  Ref init;
  for (Py_ssize_t i = 0; mro != nullptr && PyTuple_Check(mro) && i < PyTuple_GET_SIZE(mro) && !init; ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return nullptr;
    Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), s_init.get(), &found) < 0) {
      PyErr_Clear();
      return nullptr;
    }
    init = steal(found);
  }
  bool object_init = type->tp_init == PyBaseObject_Type.tp_init;
  if (!init || tag == 0 || type->tp_version_tag != tag || !(object_init || binds_as_function(init.get()))) {
    return nullptr;
  }
  Known& slot = known_[next_];
  next_ = (next_ + 1) % slots;
  slot.type = type;
  slot.tag = tag;
  PyObject* old = std::exchange(slot.init, object_init ? nullptr : init.release());
  Py_XDECREF(old);
  return &slot;
}

Ref Construct::operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept {
  Known* known = nullptr;
  if (PyType_Check(cls) && args.size() < max_args) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (Known& k : known_) {
      if (k.type == type && k.tag != 0 && type->tp_version_tag == k.tag) known = &k;
    }
    if (known == nullptr) {
      known = learn(type);
    } else if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call) {
      known = nullptr;  // the metaclass is not the class: its __call__ changes on its own
    }
    // object.__init__ takes no arguments: let type.__call__ say so.
    if (known != nullptr && known->init == nullptr && args.size() != 0) known = nullptr;
  }
  if (known == nullptr) return steal(PyObject_Vectorcall(cls, args.begin(), args.size(), nullptr));
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // Held for the call: __init__ may make this object forget it.
  Ref init = borrow(known->init);
  Ref self = steal(type->tp_alloc(type, 0));
  if (!self || !init) return self;
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
