// Classes built by the interpreter's own machinery, as a class statement would.
#include "pfnc/classes.hpp"

namespace pfnc {

namespace {

Str s_abstractmethod{"abstractmethod"};

// exec_body for types.new_class: stores the collected pairs in the namespace
// that the metaclass prepared (Enum's records member order, for instance).
// items is a tuple: the metaclass's code runs in between and can reach it.
PyObject* fill_namespace(PyObject* items, PyObject* ns) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyTuple_GET_ITEM(items, i);
    if (PyObject_SetItem(ns, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef fill_namespace_def = {"exec_body", fill_namespace, METH_O, nullptr};

}  // namespace

ClassBody::ClassBody(const Module& module, const char* name, const char* doc) noexcept
    : module_(module), name_(name), items_(steal(PyList_New(0))), ok_(static_cast<bool>(items_)) {
  Ref qualname = steal(PyUnicode_FromString(name));
  Ref docstring = steal(doc != nullptr ? PyUnicode_FromString(doc) : Py_NewRef(Py_None));
  ok_ = ok_ && qualname && docstring;
  if (ok_) {
    Ref key = steal(PyUnicode_InternFromString("__module__"));
    ok_ = key && add(key.get(), module.name());
  }
  if (ok_) {
    Ref key = steal(PyUnicode_InternFromString("__qualname__"));
    ok_ = key && add(key.get(), qualname.get());
  }
  if (ok_) {
    Ref key = steal(PyUnicode_InternFromString("__doc__"));
    ok_ = key && add(key.get(), docstring.get());
  }
}

bool ClassBody::add(PyObject* name, PyObject* value) noexcept {
  Ref pair = steal(PyTuple_Pack(2, name, value));
  return pair && PyList_Append(items_.get(), pair.get()) == 0;
}

ClassBody& ClassBody::annotate(const char* field, const char* annotation) noexcept {
  if (!ok_) return *this;
  if (!annotations_) {
    annotations_ = steal(PyDict_New());
    Ref key = steal(PyUnicode_InternFromString("__annotations__"));
    ok_ = annotations_ && key && add(key.get(), annotations_.get());
    if (!ok_) return *this;
  }
  Ref value = steal(PyUnicode_FromString(annotation));
  ok_ = value && PyDict_SetItemString(annotations_.get(), field, value.get()) == 0;
  return *this;
}

ClassBody& ClassBody::def(const FunctionSpec& spec, Kind kind) noexcept {
  if (!ok_) return *this;
  Ref f = module_.function(spec);
  if (f && (kind == Kind::abstract || kind == Kind::abstract_class_method)) {
    f = module_.call(s_abstractmethod, {f.get()});
  }
  if (f && kind == Kind::static_method) f = steal(PyStaticMethod_New(f.get()));
  if (f && (kind == Kind::class_method || kind == Kind::abstract_class_method)) f = steal(PyClassMethod_New(f.get()));
  return set(spec.name, std::move(f));
}

ClassBody& ClassBody::set(const char* name, Ref value) noexcept {
  if (!ok_) return *this;
  Ref key = steal(PyUnicode_InternFromString(name));
  ok_ = value && key && add(key.get(), value.get());
  return *this;
}

Ref ClassBody::build(PyObject* bases, PyObject* keywords) noexcept {
  if (!ok_) return {};
  Ref types = steal(PyImport_ImportModule("types"));
  Ref new_class = types ? steal(PyObject_GetAttrString(types.get(), "new_class")) : Ref();
  Ref items = steal(PyList_AsTuple(items_.get()));
  Ref exec_body = items ? steal(PyCFunction_New(&fill_namespace_def, items.get())) : Ref();
  Ref name = steal(PyUnicode_FromString(name_));
  Ref no_bases = steal(PyTuple_New(0));
  if (!new_class || !exec_body || !name || !no_bases) return {};
  PyObject* args[] = {name.get(), bases != nullptr ? bases : no_bases.get(),
                      keywords != nullptr ? keywords : Py_None, exec_body.get()};
  return steal(PyObject_Vectorcall(new_class.get(), args, 4, nullptr));
}

Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
  Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return {};
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
  return tuple;
}

bool look_up_along_mro(PyTypeObject* type, PyObject* name, Ref& found) noexcept {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && !found; ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return false;
    Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* value = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), name, &value) < 0) {
      PyErr_Clear();
      return false;
    }
    found = steal(value);
  }
  return true;
}

}  // namespace pfnc
