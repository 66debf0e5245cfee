// The generic name-to-value registry with snapshots: Registry, MappingSnapshot.
#include "pfnc/pfnc.hpp"

namespace {

using pfnc::borrow;
using pfnc::call_method;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

bool registry_body(pfnc::Module& m) noexcept;

struct State {
  // copy.copy as it was at import: while snapshot() finds this very function,
  // it copies an exact dict itself, as copy.copy would (dict.copy).
  pfnc::Kept copy_function;
};

pfnc::ModuleWith<State> registry("registry", "Registry base class that is used for most custom type registrations.",
                      registry_body);

Str s_copy{"copy"};
Str s_MappingSnapshot{"MappingSnapshot"};
Str s_DuplicateRegistrationError{"DuplicateRegistrationError"};
Str s_NotRegisteredError{"NotRegisteredError"};
Str s_registry{"_registry"};
Str s_mapping{"mapping"};
Str s_empty{""};
Str s_get{"get"};
Str s_clear{"clear"};
Str s_update{"update"};

Ref registry_of(PyObject* self) noexcept { return pfnc::attr(self, s_registry); }

// The one a reader asks for every letter, remembered for it.
pfnc::InstanceAttribute read_registry(s_registry);

// ---------------------------------------------------------------- Registry

PyObject* registry_register(PyObject* const* args) noexcept {
  PyObject* name = args[1];
  Ref names = registry_of(args[0]);
  if (!names) return nullptr;
  int taken = PySequence_Contains(names.get(), name);
  if (taken < 0) return nullptr;
  if (taken) {
    Ref shown = steal(PyObject_Repr(name));
    Ref message = shown ? steal(PyUnicode_FromFormat("Value already registered: %U", shown.get())) : Ref();
    return message ? registry.raise(s_DuplicateRegistrationError, message.get()) : nullptr;
  }
  if (PyObject_SetItem(names.get(), name, args[2]) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Looks things up in the order `MappingSnapshot(mapping=copy.copy(self._registry))` does.
PyObject* registry_snapshot(PyObject* const* args) noexcept {
  Ref snapshot_class = registry.global(s_MappingSnapshot);
  if (!snapshot_class) return nullptr;
  Ref copy_module = registry.global(s_copy);
  if (!copy_module) return nullptr;
  Ref copy = pfnc::attr(copy_module.get(), s_copy);
  if (!copy) return nullptr;
  Ref names = registry_of(args[0]);
  if (!names) return nullptr;
  Ref copied;
  if (copy.get() == registry.state.copy_function.get() && PyDict_CheckExact(names.get())) {
    copied = steal(PyDict_Copy(names.get()));
  } else {
    copied = steal(PyObject_CallOneArg(copy.get(), names.get()));
  }
  if (!copied) return nullptr;
  PyObject* kwnames = s_mapping.keywords();
  if (kwnames == nullptr) return nullptr;
  PyObject* call_args[] = {copied.get()};
  return PyObject_Vectorcall(snapshot_class.get(), call_args, 0, kwnames);
}

// dict(mapping): a mapping, or an iterable of pairs.
Ref dict_of(PyObject* mapping) noexcept {
  if (PyDict_CheckExact(mapping)) return steal(PyDict_Copy(mapping));
  Ref contents = steal(PyDict_New());
  if (!contents || !call_method(s_update, {contents.get(), mapping})) return {};
  return contents;
}

// Reads the whole snapshot before touching the registry, so a snapshot that
// cannot be read, or one of the registry's own dict, loses nothing.
PyObject* registry_restore(PyObject* const* args) noexcept {
  Ref mapping = pfnc::attr(args[1], s_mapping);
  if (!mapping) return nullptr;
  Ref contents = dict_of(mapping.get());
  if (!contents) return nullptr;
  Ref names = registry_of(args[0]);
  if (!names) return nullptr;
  if (PyDict_CheckExact(names.get())) {
    PyDict_Clear(names.get());
    if (PyDict_Update(names.get(), contents.get()) < 0) return nullptr;
  } else if (!call_method(s_clear, {names.get()}) || !call_method(s_update, {names.get(), contents.get()})) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* registry_resolve(PyObject* const* args) noexcept {
  PyObject* name = args[1];
  Ref names = read_registry(args[0]);
  if (!names) return nullptr;
  Ref caught;
  if (PyDict_CheckExact(names.get())) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(names.get(), name, &value);
    if (found > 0) return value;
    if (found == 0) {
      // Raised, not just made, so it chains whatever the caller is handling.
      Ref missing = steal(PyObject_CallOneArg(PyExc_KeyError, name));
      if (!missing) return nullptr;
      PyErr_SetObject(PyExc_KeyError, missing.get());
    } else if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
      return nullptr;  // a KeyError from the name's own __hash__ or __eq__ is a miss too
    }
    caught = steal(PyErr_GetRaisedException());
  } else {
    if (PyObject* value = PyObject_GetItem(names.get(), name)) return value;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    caught = steal(PyErr_GetRaisedException());
  }
  pfnc::Handling handling(caught.get());
  Ref text = steal(PyObject_Format(name, s_empty.get()));
  Ref message = text ? steal(PyUnicode_FromFormat("%U not registered.", text.get())) : Ref();
  return message ? registry.raise(s_NotRegisteredError, message.get()) : nullptr;
}

PyObject* registry_get(PyObject* const* args) noexcept {
  Ref names = registry_of(args[0]);
  if (!names) return nullptr;
  if (PyDict_CheckExact(names.get())) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(names.get(), args[1], &value);
    if (found != 0) return value;
    return Py_NewRef(args[2]);
  }
  PyObject* call_args[] = {names.get(), args[1], args[2]};
  return PyObject_VectorcallMethod(s_get.get(), call_args, 3, nullptr);
}

PyObject* registry_iter(PyObject* const* args) noexcept {
  Ref names = registry_of(args[0]);
  return names ? PyObject_GetIter(names.get()) : nullptr;
}

// ---------------------------------------------------------------- classes

const pfnc::FunctionSpec register_spec{
    .name = "register",
    .qualname = "Registry.register",
    .doc = "Registry.register(self, name: K, value: T) -> None\n\n"
           "Register.\n\n"
           "Args:\n    name: Alias string uniquely identifying the value\n    value: The registered value type.\n\n"
           "Raises:\n    DuplicateRegistrationError: If already registered.",
    .params = {{"self"}, {"name", "K"}, {"value", "T"}},
    .returns = "None",
    .impl = registry_register,
};

const pfnc::FunctionSpec snapshot_spec{
    .name = "snapshot",
    .qualname = "Registry.snapshot",
    .doc = "Registry.snapshot(self) -> MappingSnapshot[K, T]\n\nSnapshot current state.",
    .params = {{"self"}},
    .returns = "MappingSnapshot[K, T]",
    .impl = registry_snapshot,
};

const pfnc::FunctionSpec restore_spec{
    .name = "restore",
    .qualname = "Registry.restore",
    .doc = "Registry.restore(self, snap: MappingSnapshot[K, T]) -> None\n\nRestore a snapshot.",
    .params = {{"self"}, {"snap", "MappingSnapshot[K, T]"}},
    .returns = "None",
    .impl = registry_restore,
};

const pfnc::FunctionSpec resolve_spec{
    .name = "resolve",
    .qualname = "Registry.resolve",
    .doc = "Registry.resolve(self, name: K) -> T\n\nResolve alias to type.",
    .params = {{"self"}, {"name", "K"}},
    .returns = "T",
    .impl = registry_resolve,
};

const pfnc::FunctionSpec get_spec{
    .name = "get",
    .qualname = "Registry.get",
    .doc = "Registry.get(self, key: K, default_value: T | None = None) -> T | None\n\n"
           "Return the value for key if key is registered, else default_value.\n\n"
           "Args:\n    key: Name to look up.\n    default_value: Value to return if key is not registered.\n\n"
           "Returns:\n    The registered value or default_value if key is missing.",
    .params = {{"self"}, {"key", "K"}, {"default_value", "T | None", pfnc::Default::none}},
    .returns = "T | None",
    .impl = registry_get,
};

const pfnc::FunctionSpec iter_spec{
    .name = "__iter__",
    .qualname = "Registry.__iter__",
    .doc = "Registry.__iter__(self) -> Iterator[K]\n\nIterate over registered names.",
    .params = {{"self"}},
    .returns = "Iterator[K]",
    .impl = registry_iter,
};

Str s_TypeVar{"TypeVar"};
Str s_Generic{"Generic"};
Str s_dataclass{"dataclass"};
Str s_field{"field"};

// name = TypeVar("name"), bound as a global; the type variable is returned.
Ref type_var(pfnc::Module& m, const char* name) noexcept {
  Ref text = steal(PyUnicode_FromString(name));
  if (!text) return {};
  Ref type = m.call(s_TypeVar, {text.get()});
  if (!type || !m.set(name, borrow(type.get()))) return {};
  return type;
}

bool registry_body(pfnc::Module& m) noexcept {
  if (!m.import_module("copy") || !m.import_from("collections.abc", {"Iterator"}) ||
      !m.import_from("dataclasses", {"dataclass", "field"}) || !m.import_from("typing", {"Generic", "TypeVar"}) ||
      !m.import_from("corvella.pfnc.exceptions", {"DuplicateRegistrationError", "NotRegisteredError"})) {
    return false;
  }
  Ref type_t = type_var(m, "T");
  if (!type_t) return false;
  Ref type_k = type_var(m, "K");
  if (!type_k) return false;
  // Generic[K, T]
  Ref generic = m.global(s_Generic);
  if (!generic) return false;
  Ref params = pfnc::tuple_of({type_k.get(), type_t.get()});
  if (!params) return false;
  Ref base = steal(PyObject_GetItem(generic.get(), params.get()));
  if (!base) return false;
  Ref bases = pfnc::tuple_of({base.get()});
  if (!bases) return false;

  Ref copy = m.global(s_copy);
  if (!copy) return false;
  // Replaced if an import is retried.
  registry.state.copy_function.set(steal(PyObject_GetAttr(copy.get(), s_copy.get())));
  if (!registry.state.copy_function) return false;

  Ref snapshot_class = pfnc::ClassBody(m, "MappingSnapshot", "Snapshot for a single mapping-based registry.")
                           .annotate("mapping", "dict[K, T]")
                           .build(bases.get());
  if (!snapshot_class) return false;
  // dataclass(frozen=True)
  Ref frozen = steal(PyDict_New());
  if (!frozen || PyDict_SetItemString(frozen.get(), "frozen", Py_True) < 0) return false;
  Ref dataclass = m.global(s_dataclass);
  if (!dataclass) return false;
  Ref no_args = steal(PyTuple_New(0));
  if (!no_args) return false;
  Ref frozen_dataclass = steal(PyObject_Call(dataclass.get(), no_args.get(), frozen.get()));
  if (!frozen_dataclass) return false;
  if (!m.set("MappingSnapshot", steal(PyObject_CallOneArg(frozen_dataclass.get(), snapshot_class.get())))) {
    return false;
  }

  Ref field = m.global(s_field);
  Ref factory = steal(PyDict_New());
  if (!field || !factory ||
      PyDict_SetItemString(factory.get(), "default_factory", reinterpret_cast<PyObject*>(&PyDict_Type)) < 0) {
    return false;
  }
  Ref registry_class = pfnc::ClassBody(m, "Registry", "Registry.")
                           .annotate("_registry", "dict[K, T]")
                           .set("_registry", steal(PyObject_Call(field.get(), no_args.get(), factory.get())))
                           .def(register_spec)
                           .def(snapshot_spec)
                           .def(restore_spec)
                           .def(resolve_spec)
                           .def(get_spec)
                           .def(iter_spec)
                           .build(bases.get());
  return registry_class && m.set("Registry", m.call(s_dataclass, {registry_class.get()}));
}

}  // namespace

PFNC_MODULE(registry, registry)
