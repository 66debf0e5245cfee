// The data-type designators of the scalars module: DefaultDataType, DataType, their registry.
#include "scalars.hpp"

namespace scalars_module {

namespace {

using pfnc::attr;
using pfnc::borrow;
using pfnc::call_method;
using pfnc::pair;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

Str s_DefaultDataType{"DefaultDataType"};
Str s_DataType{"DataType"};
Str s_DataTypeRegistry{"DataTypeRegistry"};
Str s_Registry{"Registry"};
Str s_Enum{"Enum"};
Str s_get_args{"get_args"};
Str s_is_data_type{"is_data_type"};
Str s_datatype_name{"datatype_name"};
Str s_DuplicateRegistrationError{"DuplicateRegistrationError"};
Str s_UNSIGNED{"UNSIGNED"};
Str s_value{"value"};
Str s_registry{"_registry"};
Str s_default_keys{"_default_keys"};
Str s_register_defaults{"_register_defaults"};
Str s_validate{"_validate"};
Str s_register{"register"};
Str s_snapshot{"snapshot"};
Str s_mapping{"mapping"};
Str s_init{"__init__"};
Str s_add{"add"};
Str s_get{"get"};
Str s_clear{"clear"};
Str s_update{"update"};
Str s_empty{""};
Str s_s{"s"};
Str s_f{"f"};
Str s_u{"u"};
Str s_multiple_designators{"multiple_designators"};
Str s_globals{"__globals__"};


State& state() noexcept { return scalars.state; }

// ---------------------------------------------------------------- DataTypeRegistry

// self._default_keys.add(key)
bool add_default_key(PyObject* self, PyObject* key) noexcept {
  Ref keys = attr(self, s_default_keys);
  if (!keys) return false;
  if (PySet_CheckExact(keys.get())) return PySet_Add(keys.get(), key) == 0;
  return static_cast<bool>(call_method(s_add, {keys.get(), key}));
}

// key in self._default_keys: 1, 0, or -1 on error.
int is_default_key(PyObject* self, PyObject* key) noexcept {
  Ref keys = attr(self, s_default_keys);
  return keys ? PySequence_Contains(keys.get(), key) : -1;
}

// Registry.register, the base method as the globals name it now.
Ref base_register() noexcept {
  Ref base = scalars.global(s_Registry);
  return base ? attr(base.get(), s_register) : Ref();
}

bool call_register(PyObject* method, PyObject* self, PyObject* name, PyObject* value) noexcept {
  PyObject* args[] = {self, name, value};
  return static_cast<bool>(steal(PyObject_Vectorcall(method, args, 3, nullptr)));
}

// super() in a method of DataTypeRegistry.
Ref super_of(PyObject* self) noexcept {
  PyObject* super_args[] = {state().registry_class.get(), self};
  return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
}

PyObject* registry_init(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref base = super_of(self);
  if (!base || !call_method(s_init, {base.get()})) return nullptr;
  Ref keys = steal(PySet_New(nullptr));
  if (!keys || PyObject_SetAttr(self, s_default_keys.get(), keys.get()) < 0) return nullptr;
  if (!call_method(s_register_defaults, {self})) return nullptr;
  Py_RETURN_NONE;
}

// {member.value: member for member in members}.items(), as a tuple: the
// loop over it runs Python code, which must find no container of ours to change.
Ref default_pairs(PyObject* members) noexcept {
  Ref defaults = steal(PyDict_New());
  Ref it = defaults ? steal(PyObject_GetIter(members)) : Ref();
  if (!it) return {};
  while (Ref member = steal(PyIter_Next(it.get()))) {
    Ref key = attr(member.get(), s_value);
    if (!key || PyDict_SetItem(defaults.get(), key.get(), member.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  Ref items = steal(PyDict_Items(defaults.get()));
  return items ? steal(PyList_AsTuple(items.get())) : Ref();
}

PyObject* registry_register_defaults(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  Ref members = scalars.global(s_DefaultDataType);
  if (!members) return nullptr;
  bool own = members.get() == state().own_members.get();
  Ref pairs = own ? borrow(state().own_default_pairs.get()) : default_pairs(members.get());
  if (!pairs) return nullptr;
  // The base register: ours refuses exactly these names.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs.get()); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(pairs.get(), i);
    if (!add_default_key(self, PyTuple_GET_ITEM(pair, 0))) return nullptr;
    Ref method = base_register();
    if (!method || !call_register(method.get(), self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1))) {
      return nullptr;
    }
  }
  // "u" spells unsigned where it must be visible among other letters ("us").
  if (!add_default_key(self, s_u.get())) return nullptr;
  Ref method = base_register();
  if (!method) return nullptr;
  members = scalars.global(s_DefaultDataType);
  if (!members) return nullptr;
  own = members.get() == state().own_members.get();
  Ref unsigned_type = own ? borrow(state().own_unsigned.get()) : attr(members.get(), s_UNSIGNED);
  if (!unsigned_type || !call_register(method.get(), self, s_u.get(), unsigned_type.get())) return nullptr;
  Py_RETURN_NONE;
}

PyObject* registry_register(PyObject* const* args) noexcept {
  PyObject *self = args[0], *name = args[1];
  if (!pfnc::check_str(name, "name")) return nullptr;
  PyObject* value = args[2] == Py_None ? name : args[2];
  int taken = is_default_key(self, name);
  if (taken < 0) return nullptr;
  if (taken) {
    Ref message = steal(PyUnicode_FromFormat("Value already registered: %R", name));
    return message ? scalars.raise(s_DuplicateRegistrationError, message.get()) : nullptr;
  }
  if (!call_method(s_validate, {self, name, value})) return nullptr;
  // super(), so that a mixin between this class and Registry takes part.
  Ref base = super_of(self);
  if (!base || !call_method(s_register, {base.get(), name, value})) return nullptr;
  Py_RETURN_NONE;
}

PyObject* registry_validate(PyObject* const* args) noexcept {
  PyObject* name = args[1];
  if (!pfnc::check_str(name, "name")) return nullptr;
  int is_default = is_default_key(args[0], name);
  if (is_default < 0) return nullptr;
  // The reader takes one character per channel: a longer custom name could never be read back.
  if (!is_default && PyUnicode_GET_LENGTH(name) != 1) {
    PyErr_SetString(PyExc_ValueError, "Custom data types are only allowed to contain one letter.");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// ValueError unless mapping holds key with the value the registry has for it now.
bool check_default_kept(PyObject* self, PyObject* mapping, PyObject* key) noexcept {
  Ref names = attr(self, s_registry);
  if (!names) return false;
  Ref current;
  if (PyDict_CheckExact(names.get())) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(names.get(), key, &found) < 0) return false;
    current = found != nullptr ? steal(found) : borrow(Py_None);
  } else {
    current = call_method(s_get, {names.get(), key});
    if (!current) return false;
  }
  PyObject* given = nullptr;
  int present = PyDict_GetItemRef(mapping, key, &given);
  if (present < 0) return false;
  Ref kept = steal(given);
  if (present) {
    Ref differs = steal(PyObject_RichCompare(kept.get(), current.get(), Py_NE));
    int truth = differs ? PyObject_IsTrue(differs.get()) : -1;
    if (truth <= 0) return truth == 0;
  }
  PyErr_Format(PyExc_ValueError, "Snapshot needs to contain default key value mapping %S -> %S.", key,
               current.get());
  return false;
}

// self.<attribute>.clear(), straight to the dict or set when it is an exact one.
bool clear_attribute(PyObject* self, const Str& attribute) noexcept {
  Ref target = attr(self, attribute);
  if (!target) return false;
  if (PyDict_CheckExact(target.get())) {
    PyDict_Clear(target.get());
    return true;
  }
  if (PySet_CheckExact(target.get())) return PySet_Clear(target.get()) == 0;
  return static_cast<bool>(call_method(s_clear, {target.get()}));
}

PyObject* registry_restore(PyObject* const* args) noexcept {
  PyObject* self = args[0];
  // A copy first: the snapshot may share its dict with this registry, which
  // the clear() below would otherwise empty before it is read.
  Ref given = attr(args[1], s_mapping);
  Ref mapping = given ? steal(PyDict_New()) : Ref();
  if (!mapping || !call_method(s_update, {mapping.get(), given.get()})) return nullptr;

  // Everything is checked before anything changes. _validate may be anyone's
  // code, and the copy is reachable: the pairs are walked as a tuple of their own.
  Ref items = steal(PyDict_Items(mapping.get()));
  Ref pairs = items ? steal(PyList_AsTuple(items.get())) : Ref();
  if (!pairs) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs.get()); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(pairs.get(), i);
    if (!call_method(s_validate, {self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)})) return nullptr;
  }
  Ref keys = attr(self, s_default_keys);
  Ref it = keys ? steal(PyObject_GetIter(keys.get())) : Ref();
  if (!it) return nullptr;
  while (Ref default_key = steal(PyIter_Next(it.get()))) {
    if (!check_default_kept(self, mapping.get(), default_key.get())) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;

  // Rebuilding the defaults puts them first, ahead of the others in the snapshot's order.
  if (!clear_attribute(self, s_registry) || !clear_attribute(self, s_default_keys) ||
      !call_method(s_register_defaults, {self})) {
    return nullptr;
  }
  Ref names = attr(self, s_registry);
  if (!names) return nullptr;
  if (PyDict_CheckExact(names.get())) {
    if (PyDict_Update(names.get(), mapping.get()) < 0) return nullptr;
  } else if (!call_method(s_update, {names.get(), mapping.get()})) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* registry_default_snapshot(PyObject* const*) noexcept {
  // DataTypeRegistry, not cls: a subclass's extra names are no default data types.
  Ref fresh = scalars.call(s_DataTypeRegistry, {});
  return fresh ? call_method(s_snapshot, {fresh.get()}).release() : nullptr;
}

// ---------------------------------------------------------------- is_data_type, datatype_name

// The tags under which own_unsigned is what DefaultDataType.UNSIGNED reads:
// type.__getattribute__ looks in the metaclass's dicts and then the class's.
void remember_unsigned(PyObject* members) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(members);
  PyTypeObject* meta = Py_TYPE(members);
  bool tagged = meta->tp_getattro == PyType_Type.tp_getattro && PyUnstable_Type_AssignVersionTag(type) &&
                PyUnstable_Type_AssignVersionTag(meta);
  state().own_members_tag = tagged ? type->tp_version_tag : 0;
  state().own_meta_tag = tagged ? meta->tp_version_tag : 0;
}

PyTypeObject* union_type = nullptr;  // static in the interpreter: outlives every interpreter

// get_args(DataType) as the globals name them now. *cached: whether that is
// the cached tuple, which it is for typing's own get_args and a union.
Ref data_type_members(bool* cached = nullptr) noexcept {
  Ref get_args = scalars.global(s_get_args);
  Ref data_type = get_args ? scalars.global(s_DataType) : Ref();
  if (!data_type) return {};
  bool pure = get_args.get() == state().typing_get_args.get() && Py_IS_TYPE(data_type.get(), union_type);
  if (cached != nullptr) *cached = pure;
  if (pure && data_type.get() == state().cached_data_type.get()) return borrow(state().cached_members.get());
  Ref members = steal(PyObject_CallOneArg(get_args.get(), data_type.get()));
  if (pure && members && PyTuple_CheckExact(members.get())) {
    // Strong references: an object at the same address is then the same object.
    state().cached_data_type.set(borrow(data_type.get()));
    state().cached_members.set(borrow(members.get()));
  } else if (cached != nullptr) {
    *cached = false;
  }
  return members;
}

// 1 if candidate is an instance of one of members, 0 if not, -1 on error.
int is_instance_of_any(PyObject* candidate, PyObject* members) noexcept {
  if (PyTuple_CheckExact(members)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
      int found = PyObject_IsInstance(candidate, PyTuple_GET_ITEM(members, i));
      if (found != 0) return found;
    }
    return 0;
  }
  Ref it = steal(PyObject_GetIter(members));
  if (!it) return -1;
  while (Ref member = steal(PyIter_Next(it.get()))) {
    int found = PyObject_IsInstance(candidate, member.get());
    if (found != 0) return found;
  }
  return PyErr_Occurred() ? -1 : 0;
}

// 1 if candidate is an instance of a member of DataType, 0 if not, -1 on error.
int is_data_type_of(PyObject* candidate) noexcept {
  Ref members = data_type_members();
  return members ? is_instance_of_any(candidate, members.get()) : -1;
}

PyObject* is_data_type(PyObject* const* args) noexcept {
  int found = is_data_type_of(args[0]);
  return found < 0 ? nullptr : Py_NewRef(found ? Py_True : Py_False);
}

Ref datatype_name_of(PyObject* data_type, bool multiple_designators) noexcept {
  Ref members = scalars.global(s_DefaultDataType);
  if (!members) return {};
  int is_default = PyObject_IsInstance(data_type, members.get());
  if (is_default < 0) return {};
  Ref name;
  if (!is_default) {
    name = borrow(data_type);
  } else {
    if (multiple_designators) {
      // Among other letters an unsigned channel must be visible: "u", not "".
      Ref unsigned_type = attr(members.get(), s_UNSIGNED);
      if (!unsigned_type) return {};
      if (data_type == unsigned_type.get()) return borrow(s_u.get());
    }
    name = attr(data_type, s_value);
    if (!name) return {};
  }
  if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) {
    pfnc::raise_expected("str", name.get());
    return {};
  }
  return name;
}

PyObject* datatype_name(PyObject* const* args) noexcept {
  int multiple = PyObject_IsTrue(args[1]);
  return multiple < 0 ? nullptr : datatype_name_of(args[0], multiple != 0).release();
}

// ---------------------------------------------------------------- specs

const pfnc::FunctionSpec registry_init_spec{
    .name = "__init__",
    .qualname = "DataTypeRegistry.__init__",
    .doc = "DataTypeRegistry.__init__(self) -> None\n\nInitialize the registry and register default data types.",
    .params = {{"self"}},
    .returns = "None",
    .impl = registry_init,
};

const pfnc::FunctionSpec registry_register_defaults_spec{
    .name = "_register_defaults",
    .qualname = "DataTypeRegistry._register_defaults",
    .doc = "DataTypeRegistry._register_defaults(self) -> None\n\nRegister default data types.",
    .params = {{"self"}},
    .returns = "None",
    .impl = registry_register_defaults,
};

const pfnc::FunctionSpec registry_register_spec{
    .name = "register",
    .qualname = "DataTypeRegistry.register",
    .doc = "DataTypeRegistry.register(self, str name: str, value: DataType | None = None) -> None\n\n"
           "Register a custom single-letter data type.",
    .params = {{"self"}, {"name", "str"}, {"value", "DataType | None", pfnc::Default::none}},
    .returns = "None",
    .impl = registry_register,
};

const pfnc::FunctionSpec registry_validate_spec{
    .name = "_validate",
    .qualname = "DataTypeRegistry._validate",
    .doc = "DataTypeRegistry._validate(self, str name: str, _value: DataType) -> None",
    .params = {{"self"}, {"name", "str"}, {"_value", "DataType"}},
    .returns = "None",
    .impl = registry_validate,
};

const pfnc::FunctionSpec registry_restore_spec{
    .name = "restore",
    .qualname = "DataTypeRegistry.restore",
    .doc = "DataTypeRegistry.restore(self, snap: MappingSnapshot[str, DataType]) -> None\n\nRestore a snapshot.",
    .params = {{"self"}, {"snap", "MappingSnapshot[str, DataType]"}},
    .returns = "None",
    .impl = registry_restore,
};

const pfnc::FunctionSpec registry_default_snapshot_spec{
    .name = "default_snapshot",
    .qualname = "DataTypeRegistry.default_snapshot",
    .doc = "DataTypeRegistry.default_snapshot(cls) -> MappingSnapshot[str, DataType]\n\n"
           "Return a snapshot that is empty except for the default data types.",
    .params = {{"cls"}},
    .returns = "MappingSnapshot[str, DataType]",
    .impl = registry_default_snapshot,
};

const pfnc::FunctionSpec is_data_type_spec{
    .name = "is_data_type",
    .qualname = "is_data_type",
    .doc = "is_data_type(potential_data_type: object) -> TypeGuard[DataType]\n\n"
           "Checks if the given object is a valid data type.\n\n"
           "Args:\n    potential_data_type (Any): The object to check.\n\n"
           "Returns:\n    bool: True if the object is a valid data type, False otherwise.",
    .params = {{"potential_data_type", "object"}},
    .returns = "TypeGuard[DataType]",
    .impl = is_data_type,
};

const pfnc::FunctionSpec datatype_name_spec{
    .name = "datatype_name",
    .qualname = "datatype_name",
    .doc = "datatype_name(data_type: DataType, bool multiple_designators: bool = False) -> str\n\n"
           "Returns the string representation of a data type.\n\n"
           "Args:\n    data_type (DataType): The data type.\n"
           "    multiple_designators (bool): Whether to include the 'u' designator for unsigned.\n\n"
           "Returns:\n    str: The string representation of the data type.",
    .params = {{"data_type", "DataType"}, {"multiple_designators", "bool", pfnc::Default::false_}},
    .returns = "str",
    .impl = datatype_name,
};

// Binds a module function and keeps the object, to recognise it in the globals later.
bool define_function(pfnc::Module& m, const pfnc::FunctionSpec& spec, pfnc::Kept& keep) noexcept {
  Ref function = m.function(spec);
  if (!function) return false;
  keep.set(borrow(function.get()));
  return m.set(spec.name, std::move(function));
}

}  // namespace

int ask_is_data_type(PyObject* candidate) noexcept {
  State& st = state();
  if (st.members_epoch == pfnc::Globals::epoch()) {
    // Held for the call: isinstance may run code that drops the cache.
    Ref members = borrow(st.cached_members.get());
    return is_instance_of_any(candidate, members.get());
  }
  unsigned long long epoch = pfnc::Globals::epoch();
  Ref function = scalars.global(s_is_data_type);
  if (!function) return -1;
  if (function.get() != st.is_data_type_function.get()) {
    Ref result = steal(PyObject_CallOneArg(function.get(), candidate));
    return result ? PyObject_IsTrue(result.get()) : -1;
  }
  bool cached = false;
  Ref members = data_type_members(&cached);
  if (!members) return -1;
  // Only while the module's dict is watched does the epoch see it change.
  if (cached && epoch == pfnc::Globals::epoch()) {
    Ref globals = pfnc::attr(function.get(), s_globals);
    if (!globals) return -1;
    if (PyDict_CheckExact(globals.get()) && pfnc::Globals::watch(globals.get())) st.members_epoch = epoch;
  }
  return is_instance_of_any(candidate, members.get());
}

Ref unsigned_member(PyObject* members) noexcept {
  const State& st = state();
  auto* type = reinterpret_cast<PyTypeObject*>(members);
  if (members == st.own_members.get() && st.own_members_tag != 0 && type->tp_version_tag == st.own_members_tag &&
      Py_TYPE(members)->tp_version_tag == st.own_meta_tag) {
    return borrow(st.own_unsigned.get());
  }
  return attr(members, s_UNSIGNED);
}

Ref call_datatype_name(PyObject* data_type, bool multiple_designators) noexcept {
  Ref function = scalars.global(s_datatype_name);
  if (!function) return {};
  if (function.get() == state().datatype_name_function.get()) return datatype_name_of(data_type, multiple_designators);
  PyObject* args[] = {data_type, Py_True};
  PyObject* kwnames = nullptr;
  if (multiple_designators && (kwnames = s_multiple_designators.keywords()) == nullptr) return {};
  return steal(PyObject_Vectorcall(function.get(), args, 1, kwnames));
}

bool define_designators(pfnc::Module& m) noexcept {
  state().typing_get_args.set(m.global(s_get_args));
  if (!state().typing_get_args) return false;

  Ref enum_base = m.global(s_Enum);
  Ref enum_bases = enum_base ? pfnc::tuple_of({enum_base.get()}) : Ref();
  if (!enum_bases) return false;
  // Enum's own class namespace records the members in this order.
  Ref members = pfnc::ClassBody(m, "DefaultDataType", "Enumeration for default data types.")
                    .set("UNSIGNED", s_empty.get())
                    .set("SIGNED", s_s.get())
                    .set("FLOAT", s_f.get())
                    .build(enum_bases.get());
  if (!members || !m.set("DefaultDataType", borrow(members.get()))) return false;
  state().own_default_pairs.set(default_pairs(members.get()));
  state().own_unsigned.set(state().own_default_pairs ? attr(members.get(), s_UNSIGNED) : Ref());
  if (!state().own_unsigned) return false;
  state().own_members.set(borrow(members.get()));
  remember_unsigned(members.get());
  Ref data_type = steal(PyNumber_Or(members.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
  if (!data_type) return false;
  union_type = Py_TYPE(data_type.get());
  if (!m.set("DataType", borrow(data_type.get()))) return false;

  Ref registry = m.global(s_Registry);
  Ref params = pfnc::tuple_of({reinterpret_cast<PyObject*>(&PyUnicode_Type), data_type.get()});
  Ref alias = registry && params ? steal(PyObject_GetItem(registry.get(), params.get())) : Ref();
  Ref bases = alias ? pfnc::tuple_of({alias.get()}) : Ref();
  if (!bases) return false;
  Ref registry_type = pfnc::ClassBody(m, "DataTypeRegistry", "Registry for data types with immutable defaults.")
                          .def(registry_init_spec)
                          .def(registry_register_defaults_spec)
                          .def(registry_register_spec)
                          .def(registry_validate_spec)
                          .def(registry_restore_spec)
                          .def(registry_default_snapshot_spec, pfnc::Kind::class_method)
                          .build(bases.get());
  if (!registry_type) return false;
  state().registry_class.set(borrow(registry_type.get()));
  return m.set("DataTypeRegistry", borrow(registry_type.get())) &&
         m.set("DATA_TYPE_REGISTRY", steal(PyObject_CallNoArgs(registry_type.get()))) &&
         define_function(m, is_data_type_spec, state().is_data_type_function) &&
         define_function(m, datatype_name_spec, state().datatype_name_function);
}

}  // namespace scalars_module
