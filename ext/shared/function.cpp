// The function type of the package: binds as a method like a Python function.
#include "pfnc/function.hpp"

#include "pfnc/kept.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace pfnc {

namespace {

// A PyTypeObject. One per extension, not shared: each extension may be
// imported alone, and a type object is all it costs.
Kept function_type;

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  Py_ssize_t nparams;
  Py_ssize_t nrequired;
  PyObject* names[max_params];  // interned parameter names, for keywords
  PyObject* name;
  PyObject* qualname;
  PyObject* globals;  // the defining module's dict, as a Python function's __globals__
};

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

PyObject* default_object(Default d) noexcept { return d == Default::none ? Py_None : Py_False; }

// --- calling: the interpreter's own messages for counts and keywords ---

void raise_positional_count(FunctionObject* f, Py_ssize_t given) noexcept {
  if (f->nrequired == f->nparams) {
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname,
                 f->nparams, f->nparams == 1 ? "" : "s", given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                 f->qualname, f->nrequired, f->nparams, given, given == 1 ? "was" : "were");
  }
}

void raise_missing(FunctionObject* f, PyObject* const* args) noexcept {
  Ref missing = steal(PyList_New(0));
  if (!missing) return;
  for (Py_ssize_t i = 0; i < f->nrequired; ++i) {
    if (args[i] != nullptr) continue;
    Ref quoted = steal(PyUnicode_FromFormat("'%U'", f->names[i]));
    if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) return;
  }
  Py_ssize_t n = PyList_GET_SIZE(missing.get());
  Ref text;
  if (n == 1) {
    text = borrow(PyList_GET_ITEM(missing.get(), 0));
  } else {
    Ref last = steal(PySequence_GetItem(missing.get(), n - 1));
    Ref head = steal(PyList_GetSlice(missing.get(), 0, n - 1));
    Ref sep = steal(PyUnicode_FromString(n == 2 ? "" : ","));
    Ref comma = steal(PyUnicode_FromString(", "));
    if (!last || !head || !sep || !comma) return;
    Ref joined = steal(PyUnicode_Join(comma.get(), head.get()));
    if (!joined) return;
    text = steal(PyUnicode_FromFormat("%U%U and %U", joined.get(), sep.get(), last.get()));
  }
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n,
               n == 1 ? "" : "s", text.get());
}

Py_ssize_t find_keyword(FunctionObject* f, PyObject* key) noexcept {
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    if (f->names[i] == key) return i;  // interned: the usual case
  }
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    int eq = PyUnicode_Compare(f->names[i], key) == 0;
    if (eq) return i;
  }
  return -1;
}

// --- "Did you mean": the interpreter's suggestion for an unknown keyword ---
//
// The same measure as the interpreter's, quirks included, so that messages
// match: a weighted edit distance over UTF-8 bytes where a move costs 2 and
// an ASCII case flip 1, giving up beyond 40 bytes or once past the limit.

constexpr std::size_t move_cost = 2;
constexpr std::size_t longest_compared = 40;

std::size_t replace_cost(char a, char b) noexcept {
  if (a == b) return 0;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(a) == lower(b) ? 1 : move_cost;
}

// Anything above `limit` means "too far".
std::size_t edit_distance(const char* a, std::size_t na, const char* b, std::size_t nb, std::size_t limit) noexcept {
  while (na != 0 && nb != 0 && a[0] == b[0]) ++a, ++b, --na, --nb;
  while (na != 0 && nb != 0 && a[na - 1] == b[nb - 1]) --na, --nb;
  if (na == 0 || nb == 0) return (na + nb) * move_cost;
  if (na > longest_compared || nb > longest_compared) return limit + 1;
  if (nb < na) std::swap(a, b), std::swap(na, nb);
  if ((nb - na) * move_cost > limit) return limit + 1;
  std::size_t row[longest_compared];
  for (std::size_t i = 0; i < na; ++i) row[i] = (i + 1) * move_cost;
  std::size_t result = 0;
  for (std::size_t j = 0; j < nb; ++j) {
    // The interpreter seeds the row's first cell with j moves, not j + 1.
    std::size_t diagonal = j * move_cost;
    result = diagonal;
    std::size_t smallest = SIZE_MAX;
    for (std::size_t i = 0; i < na; ++i) {
      std::size_t replaced = diagonal + replace_cost(b[j], a[i]);
      diagonal = row[i];
      result = std::min(std::min(result, diagonal) + move_cost, replaced);
      row[i] = result;
      smallest = std::min(smallest, result);
    }
    if (smallest > limit) return limit + 1;
  }
  return result;
}

// The parameter name closest to `key`, or null when none is close enough.
PyObject* suggested_parameter(FunctionObject* f, PyObject* key) noexcept {
  Py_ssize_t key_size;
  const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
  if (key_text == nullptr) {
    PyErr_Clear();  // not encodable: no suggestion, as in the interpreter
    return nullptr;
  }
  PyObject* best = nullptr;
  Py_ssize_t best_distance = PY_SSIZE_T_MAX;
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(f->names[i], &size);
    if (text == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    // At most a third of the characters involved may change, and a later
    // name must beat the one found.
    Py_ssize_t limit = std::min((key_size + size + 3) * static_cast<Py_ssize_t>(move_cost) / 6, best_distance - 1);
    if (limit < 0) continue;
    auto distance = static_cast<Py_ssize_t>(edit_distance(key_text, static_cast<std::size_t>(key_size), text,
                                                          static_cast<std::size_t>(size),
                                                          static_cast<std::size_t>(limit)));
    if (distance > limit) continue;
    best = f->names[i];
    best_distance = distance;
  }
  return best;
}

void raise_unexpected_keyword(FunctionObject* f, PyObject* key) noexcept {
  if (PyObject* suggestion = suggested_parameter(f, key)) {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname,
                 key, suggestion);
  } else {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
  }
}

// Keywords, defaults and wrong counts, out of the way of the usual call.
[[gnu::noinline]] PyObject* call_with_keywords(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) noexcept {
  PyObject* full[max_params] = {};
  for (Py_ssize_t i = 0; i < nargs && i < f->nparams; ++i) full[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t i = find_keyword(f, key);
      if (i < 0) {
        raise_unexpected_keyword(f, key);
        return nullptr;
      }
      if (full[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
        return nullptr;
      }
      full[i] = args[nargs + k];
    }
  }
  // After the keywords, as the interpreter does: a wrong keyword is reported first.
  if (nargs > f->nparams) {
    raise_positional_count(f, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    if (full[i] != nullptr) continue;
    if (i < f->nrequired) {
      raise_missing(f, full);
      return nullptr;
    }
    full[i] = default_object(f->spec->params[i].default_value);
  }
  return f->spec->impl(full);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  FunctionObject* f = as_function(self);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames == nullptr && nargs == f->nparams) return f->spec->impl(args);
  return call_with_keywords(f, args, nargs, kwnames);
}

// --- the type's slots ---

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->globals);
  return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->globals);
  PyObject_ClearManagedDict(self);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);  // before anything that may run callbacks
  PyObject_ClearWeakRefs(self);
  function_clear(self);
  FunctionObject* f = as_function(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickles as a reference to the global it is reached by, like a Python function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
// tp_clear empties it; it reads as None then rather than as a null pointer.
PyObject* get_globals(PyObject* self, void*) {
  PyObject* globals = as_function(self)->globals;
  return Py_NewRef(globals != nullptr ? globals : Py_None);
}

int set_str(PyObject** slot, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_str(&as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_str(&as_function(self)->qualname, value, "__qualname__");
}

// inspect.signature() reads this: the parameters with their defaults and the
// string annotations of __annotations__ (which the user may have replaced).
PyObject* get_signature(PyObject* self, void*) {
  FunctionObject* f = as_function(self);
  Ref inspect = steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter = steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  Ref empty = parameter ? steal(PyObject_GetAttrString(parameter.get(), "empty")) : Ref();
  Ref kind = parameter ? steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
  Ref annotations = steal(PyObject_GetAttrString(self, "__annotations__"));
  Ref params = steal(PyList_New(0));
  if (!signature || !empty || !kind || !annotations || !params) return nullptr;
  auto annotation_of = [&](PyObject* key) -> Ref {
    PyObject* found = nullptr;
    if (PyDict_Check(annotations.get())) {
      if (PyDict_GetItemRef(annotations.get(), key, &found) < 0) return {};
      if (found != nullptr) return steal(found);
    }
    return borrow(empty.get());
  };
  for (Py_ssize_t i = 0; i < f->nparams; ++i) {
    const Param& p = f->spec->params[i];
    Ref annotation = annotation_of(f->names[i]);
    Ref kwargs = steal(PyDict_New());
    if (!annotation || !kwargs || PyDict_SetItemString(kwargs.get(), "annotation", annotation.get()) < 0) {
      return nullptr;
    }
    if (p.default_value != Default::required &&
        PyDict_SetItemString(kwargs.get(), "default", default_object(p.default_value)) < 0) {
      return nullptr;
    }
    Ref args = steal(PyTuple_Pack(2, f->names[i], kind.get()));
    Ref param = args ? steal(PyObject_Call(parameter.get(), args.get(), kwargs.get())) : Ref();
    if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
  }
  Ref return_key = steal(PyUnicode_InternFromString("return"));
  Ref returns = return_key ? annotation_of(return_key.get()) : Ref();
  if (!returns) return nullptr;
  Ref kwnames = steal(Py_BuildValue("(s)", "return_annotation"));
  if (!kwnames) return nullptr;
  PyObject* call_args[] = {params.get(), returns.get()};
  return PyObject_Vectorcall(signature.get(), call_args, 1, kwnames.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_doc, const_cast<char*>("A function or method of corvella.pfnc, written in C++.")},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// METHOD_DESCRIPTOR: f.__get__(obj)(*a) is f(obj, *a), so the interpreter may
// call f with obj in front instead of making a bound method.
PyType_Spec function_spec = {
    "corvella.pfnc.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

bool set_annotations(PyObject* function, const FunctionSpec& spec) noexcept {
  Ref annotations = steal(PyDict_New());
  if (!annotations) return false;
  for (const Param& p : spec.params) {
    if (p.name == nullptr || p.annotation == nullptr) continue;
    Ref value = steal(PyUnicode_FromString(p.annotation));
    if (!value || PyDict_SetItemString(annotations.get(), p.name, value.get()) < 0) return false;
  }
  if (spec.returns != nullptr) {
    Ref value = steal(PyUnicode_FromString(spec.returns));
    if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0) return false;
  }
  return PyObject_SetAttrString(function, "__annotations__", annotations.get()) == 0;
}

}  // namespace

Impl direct_impl(PyObject* f, Py_ssize_t nargs) noexcept {
  // As function_vectorcall's first line: positional arguments, one per parameter.
  if (!function_type || !Py_IS_TYPE(f, reinterpret_cast<PyTypeObject*>(function_type.get()))) return nullptr;
  return as_function(f)->nparams == nargs ? as_function(f)->spec->impl : nullptr;
}

bool init_function_type() noexcept {
  if (!function_type) function_type.set(steal(PyType_FromSpec(&function_spec)));
  return static_cast<bool>(function_type);
}

Ref make_function(const FunctionSpec& spec, PyObject* module_name, PyObject* globals) noexcept {
  // tp_alloc zeroes the object (the managed dict too) and tracks it.
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(function_type.get());
  FunctionObject* f = reinterpret_cast<FunctionObject*>(type->tp_alloc(type, 0));
  if (f == nullptr) return {};
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  Ref self = steal(reinterpret_cast<PyObject*>(f));
  for (const Param& p : spec.params) {
    if (p.name == nullptr) break;
    // Names are interned for good: keyword lookups compare them by identity.
    f->names[f->nparams] = PyUnicode_InternFromString(p.name);
    if (f->names[f->nparams] == nullptr) return {};
    if (p.default_value == Default::required) f->nrequired = f->nparams + 1;
    ++f->nparams;
  }
  f->name = PyUnicode_FromString(spec.name);
  f->qualname = PyUnicode_FromString(spec.qualname);
  f->globals = Py_NewRef(globals);
  if (f->name == nullptr || f->qualname == nullptr) return {};
  // __module__ and __doc__ live in the instance dict: the type keeps its own
  // in its dict, where type(f).__module__ and type(f).__doc__ look.
  Ref doc = steal(spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None));
  if (!doc || PyObject_SetAttrString(self.get(), "__module__", module_name) < 0 ||
      PyObject_SetAttrString(self.get(), "__doc__", doc.get()) < 0 || !set_annotations(self.get(), spec)) {
    return {};
  }
  return self;
}

}  // namespace pfnc
