// Memos of a name reader that last while nothing a reading depends on changes.
#include <utility>

#include "memo.hpp"

namespace memo_module {

namespace {
bool memo_body(pfnc::Module& m) noexcept;
}  // namespace

pfnc::ModuleWith<State> memo_extension("_memo",
                                       "Memos of name readers that last while nothing a reading depends on\n"
                                       "changes.\n",
                                       memo_body);

namespace {

using pfnc::borrow;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

Str s_update_wrapper{"update_wrapper"};

constexpr Py_ssize_t memo_limit = 4096;
State& state = memo_extension.state;

// ---------------------------------------------------------------- the memo

struct Reader {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* read;
  PyObject* memo;     // dict: exact str or int -> reading
  PyObject* watched;  // list of what else was asked to be watched, kept alive
  bool off;           // something could not be watched: read every time
  unsigned long long dict_epoch;  // the epochs memo is valid for; 0: empty, not yet valid
  unsigned long long type_epoch;
};

Reader* as_reader(PyObject* self) noexcept { return reinterpret_cast<Reader*>(self); }

// The memo holds for the world as it is now; empties it first when it does not.
bool memo_valid(Reader* r) noexcept {
  if (r->dict_epoch == pfnc::Module::epoch() && r->type_epoch == state.type_epoch && world_holds()) return true;
  r->dict_epoch = r->type_epoch = 0;
  // Both may run code (a reading's finaliser, the collector), which may clear the reader too.
  Ref memo = borrow(r->memo);
  PyDict_Clear(memo.get());
  // A world that cannot be memoised (a caller's subclass, say) is not looked at again until it changes.
  if (!world_current()) rebuild_world();
  if (!world_holds() || r->watched == nullptr) return false;
  // The classes watched for this reader alone tell the watcher only while they have a tag.
  // A package's modules are looked for again: one may have been imported since.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(r->watched); ++i) {
    PyObject* item = PyList_GET_ITEM(r->watched, i);
    if (PyType_Check(item) && !PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject*>(item))) return false;
    if (is_package(item) && !watch_package(item)) return false;
  }
  r->dict_epoch = pfnc::Module::epoch();
  r->type_epoch = state.type_epoch;
  return true;
}

// A cleared reader (a cycle being collected) has nothing left to read with.
PyObject* cleared() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "cached reader has been cleared");
  return nullptr;
}

PyObject* reader_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  Reader* r = as_reader(self);
  if (r->read == nullptr) return cleared();
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (r->off || nargs != 1 || kwnames != nullptr || !(PyUnicode_CheckExact(args[0]) || PyLong_CheckExact(args[0]))) {
    return PyObject_Vectorcall(r->read, args, nargsf, kwnames);
  }
  PyObject* key = args[0];
  if (r->dict_epoch == pfnc::Module::epoch() && r->type_epoch == state.type_epoch && world_holds()) {
    PyObject* hit = nullptr;
    if (PyDict_GetItemRef(r->memo, key, &hit) != 0) return hit;
  } else if (!memo_valid(r)) {
    if (r->read == nullptr) return cleared();
    return PyObject_Vectorcall(r->read, args, 1, nullptr);
  }
  unsigned long long dict_epoch = r->dict_epoch, types = r->type_epoch;
  Ref read = borrow(r->read);
  Ref memo = borrow(r->memo);
  Ref reading = steal(PyObject_Vectorcall(read.get(), args, 1, nullptr));
  // Kept only if nothing changed while it was read (reading may run any code).
  if (!reading || dict_epoch != pfnc::Module::epoch() || types != state.type_epoch || r->dict_epoch != dict_epoch ||
      r->type_epoch != types || memo.get() != r->memo || !world_holds()) {
    return reading.release();
  }
  if (PyDict_GET_SIZE(memo.get()) < memo_limit) {
    return PyDict_SetItem(memo.get(), key, reading.get()) < 0 ? nullptr : reading.release();
  }
  // Full: a fresh memo, so that the old one's readings are released (which may
  // run code, and read through this reader) only once nothing is left to do.
  Ref fresh = steal(PyDict_New());
  if (!fresh || PyDict_SetItem(fresh.get(), key, reading.get()) < 0) return nullptr;
  Ref old = steal(std::exchange(r->memo, fresh.release()));
  return reading.release();
}

// What watch= names: a module's globals, a dict, or a class's attributes (a
// package's modules are watched as the memo is checked).
bool watch_one(Reader* r, PyObject* item) noexcept {
  PyObject* dict = PyModule_Check(item) ? PyModule_GetDict(item) : PyDict_CheckExact(item) ? item : nullptr;
  if (dict != nullptr) {
    if (!pfnc::Module::watch(dict)) return false;  // no exception: no watcher
  } else if (PyType_Check(item)) {
    if (!watch_type(reinterpret_cast<PyTypeObject*>(item))) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "cached_reader() can watch modules, dicts and classes, not '%.200s'",
                 Py_TYPE(item)->tp_name);
    return false;
  }
  r->dict_epoch = r->type_epoch = 0;
  return PyList_Append(r->watched, item) == 0;
}

// With no watcher to spare the memo stays off, which changes no result.
bool watch_or_off(Reader* r, PyObject* item) noexcept {
  if (watch_one(r, item)) return true;
  if (PyErr_Occurred()) return false;
  r->off = true;
  PyDict_Clear(r->memo);
  return true;
}

PyObject* reader_new(PyObject* read, PyObject* watch) noexcept {
  if (!PyCallable_Check(read)) {
    PyErr_Format(PyExc_TypeError, "cached_reader() needs a callable, not '%.200s'", Py_TYPE(read)->tp_name);
    return nullptr;
  }
  Ref self = steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(state.reader_type.get()), 0));
  if (!self) return nullptr;
  Reader* r = as_reader(self.get());
  r->vectorcall = reader_vectorcall;
  r->read = Py_NewRef(read);
  r->memo = PyDict_New();
  r->watched = PyList_New(0);
  if (r->memo == nullptr || r->watched == nullptr) return nullptr;
  Ref functools = steal(PyImport_ImportModule("functools"));
  Ref update_wrapper = functools ? steal(PyObject_GetAttr(functools.get(), s_update_wrapper.get())) : Ref();
  if (!update_wrapper || !steal(PyObject_CallFunctionObjArgs(update_wrapper.get(), self.get(), read, nullptr))) {
    return nullptr;
  }
  // A Python reader looks its own module's names up when it reads.
  if (PyFunction_Check(read) && !watch_or_off(r, PyFunction_GetGlobals(read))) return nullptr;
  if (watch != Py_None) {
    Ref it = steal(PyObject_GetIter(watch));
    if (!it) return nullptr;
    while (Ref item = steal(PyIter_Next(it.get()))) {
      if (!watch_or_off(r, item.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return self.release();
}

PyObject* reader_set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "__set_name__() takes 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  if (as_reader(self)->read == nullptr) return cleared();
  // The class that holds the memo builds the readings: its attributes count too.
  if (PyType_Check(args[0]) && !watch_or_off(as_reader(self), args[0])) return nullptr;
  Py_RETURN_NONE;
}

// Like staticmethod: through the class or an instance, the reader itself.
// Only a method, not the slot, so that loading it from the class stays the
// interpreter's fast plain-attribute load.
PyObject* reader_get(PyObject* self, PyObject* const*, Py_ssize_t nargs) noexcept {
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "__get__() takes 1 or 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  return Py_NewRef(self);
}

PyObject* reader_cache_clear(PyObject* self, PyObject*) noexcept {
  if (as_reader(self)->memo != nullptr) PyDict_Clear(as_reader(self)->memo);  // nullptr: cleared by the collector
  Py_RETURN_NONE;
}

PyObject* reader_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<cached reader %R>", as_reader(self)->read);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Reader* r = as_reader(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(r->read);
  Py_VISIT(r->memo);
  Py_VISIT(r->watched);
  return PyObject_VisitManagedDict(self, visit, arg);
}

int reader_clear(PyObject* self) noexcept {
  Reader* r = as_reader(self);
  Py_CLEAR(r->read);
  Py_CLEAR(r->memo);
  Py_CLEAR(r->watched);
  PyObject_ClearManagedDict(self);
  return 0;
}

void reader_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reader_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef reader_methods[] = {
    {"__get__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_get)), METH_FASTCALL,
     "__get__($self, instance, owner=None, /)\n--\n\nReturn the reader itself, as staticmethod does."},
    {"__set_name__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_set_name)), METH_FASTCALL,
     "__set_name__($self, owner, name, /)\n--\n\nWatch the class the reader is defined in."},
    {"cache_clear", reader_cache_clear, METH_NOARGS, "Forget every reading."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef reader_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Reader, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_getset, reader_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(reader_repr)},
    {Py_tp_methods, reader_methods},
    {Py_tp_members, reader_members},
    {Py_tp_doc, const_cast<char*>("A name reader with a memo; see cached_reader().")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    .name = "corvella.pfnc.names._memo.CachedReader",
    .basicsize = sizeof(Reader),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = reader_slots,
};

PyObject* memo_cached_reader(PyObject* const* args) noexcept { return reader_new(args[0], args[1]); }

const pfnc::FunctionSpec cached_reader_spec{
    .name = "cached_reader",
    .qualname = "cached_reader",
    .doc = "cached_reader(read, watch=None)\n\n"
           "Wrap the one-argument reader ``read`` in a memo of its readings.\n\n"
           "A call with one positional argument of type exactly ``str`` or ``int`` is\n"
           "answered from the memo, or read and kept if ``read`` returns. Any other call\n"
           "goes to ``read`` unchanged. The memo is forgotten whenever anything a reading\n"
           "depends on changes: the globals of the widths, scalars and layouts modules and\n"
           "the builtins, ``DATA_TYPE_REGISTRY``, the classes those modules define and\n"
           "their subclasses, ``read``'s own module globals, the class the reader is\n"
           "defined in, and the modules, dicts and classes given in ``watch``. A package\n"
           "in ``watch`` stands for every module of it, imported now or later, and the\n"
           "classes they define. While a family holds a class defined elsewhere,\n"
           "nothing is kept.",
    .params = {{"read", "Callable[[Any], Any]"}, {"watch", "Iterable[object] | None", pfnc::Default::none}},
    .returns = "CachedReader",
    .impl = memo_cached_reader,
};

bool memo_body(pfnc::Module& m) noexcept {
  add_type_watcher();
  state.reader_type.set(steal(PyType_FromSpec(&reader_spec)));
  return m.set("CachedReader", borrow(state.reader_type.get())) && m.def(cached_reader_spec);
}

}  // namespace

}  // namespace memo_module

PFNC_MODULE(_memo, memo_module::memo_extension)
