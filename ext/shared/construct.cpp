// Calling a class, or reading an object's attribute, from C++ as Python code does, at the cost Python code pays.
#include "pfnc/construct.hpp"

#include <utility>

#include "pfnc/classes.hpp"
#include "pfnc/function.hpp"

namespace pfnc {

namespace {

Str s_init{"__init__"};
Str s_post_init{"__post_init__"};
Str s_co_names{"co_names"};
constexpr size_t max_args = 4;
Construct* construct_head = nullptr;
InstanceLookup* instance_lookup_head = nullptr;

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

// A code object that takes self and the fields, positionally and nothing
// else, and names no attribute or global but the fields and __post_init__:
// what dataclass writes as `self.field = field ...; self.__post_init__()`.
int is_generated_init(PyObject* code, std::initializer_list<const Str*> fields) noexcept {
  auto* c = reinterpret_cast<PyCodeObject*>(code);
  constexpr int unusual = CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;
  if (c->co_argcount != static_cast<int>(fields.size()) + 1 || c->co_kwonlyargcount != 0 ||
      c->co_posonlyargcount != 0 || (c->co_flags & unusual) != 0) {
    return 0;
  }
  Ref names = steal(PyObject_GetAttr(code, s_co_names.get()));
  if (!names) return -1;
  if (!PyTuple_CheckExact(names.get()) || PyTuple_GET_SIZE(names.get()) != static_cast<Py_ssize_t>(fields.size()) + 1) {
    return 0;
  }
  Py_ssize_t i = 0;
  for (const Str* field : fields) {
    if (PyTuple_GET_ITEM(names.get(), i++) != field->get()) return 0;  // both interned
  }
  return PyUnicode_Compare(PyTuple_GET_ITEM(names.get(), i), s_post_init.get()) == 0;
}

}  // namespace

Construct::Construct() noexcept : next_construct_(construct_head) { construct_head = this; }

void Construct::forget_all() noexcept {
  for (Construct* c = construct_head; c != nullptr; c = c->next_construct_) c->forget();
  for (InstanceLookup* c = instance_lookup_head; c != nullptr; c = c->next_) c->forget();
}

void Construct::forget() noexcept {
  for (Known& k : known_) k = Known{};
  next_ = 0;
  trusted_ = Trusted{};
  for (PyMonitoringState& state : monitoring_) state = PyMonitoringState{};
  monitoring_version_ = 0;
  monitored_ = false;
}

Construct::Known* Construct::learn(PyTypeObject* type) noexcept {
  if (!plain_call(type) || !PyUnstable_Type_AssignVersionTag(type)) return nullptr;
  unsigned int tag = type->tp_version_tag;
  Ref init;
  if (!look_up_along_mro(type, s_init.get(), init)) return nullptr;
  bool object_init = type->tp_init == PyBaseObject_Type.tp_init;
  if (!init || tag == 0 || type->tp_version_tag != tag || !(object_init || binds_as_function(init.get()))) {
    return nullptr;
  }
  Known& slot = known_[next_];
  next_ = (next_ + 1) % slots;
  slot.type = type;
  slot.tag = tag;
  slot.init = object_init ? nullptr : init.get();
  return &slot;
}

Ref Construct::operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept {
  Known* known = nullptr;
  if (PyType_Check(cls) && args.size() < max_args) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (Known& k : known_) {
      if (k.type == type && k.tag != 0 && type->tp_version_tag == k.tag) {
        known = &k;
        break;
      }
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
  // An __init__ of this extension's own runs its body, as its call would.
  Impl impl = direct_impl(init.get(), static_cast<Py_ssize_t>(n));
  Ref result = steal(impl != nullptr ? impl(stack) : PyObject_Vectorcall(init.get(), stack, n, nullptr));
  if (!result) return {};
  if (result.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
    return {};
  }
  return self;
}

bool Construct::trust_generated_init(PyObject* cls, std::initializer_list<const Str*> fields) noexcept {
  Trusted old = std::exchange(trusted_, Trusted{});
  Py_XDECREF(old.init);
  Py_XDECREF(old.code);
  if (!PyType_Check(cls) || fields.size() > Trusted::max_fields) return true;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (Py_TYPE(cls) != &PyType_Type || !plain_call(type) || type->tp_setattro != PyObject_GenericSetAttr ||
      !PyUnstable_Type_AssignVersionTag(type)) {
    return true;
  }
  Ref dict = steal(PyType_GetDict(type));
  PyObject* init = nullptr;
  if (!dict || PyDict_GetItemRef(dict.get(), s_init.get(), &init) < 0) return false;
  Ref owned = steal(init);
  if (init == nullptr || !PyFunction_Check(init)) return true;
  Ref code = borrow(PyFunction_GET_CODE(init));
  int generated = is_generated_init(code.get(), fields);
  if (generated <= 0) return generated == 0;
  trusted_.type = type;
  trusted_.tag = type->tp_version_tag;
  trusted_.init = owned.release();
  trusted_.code = code.release();
  for (const Str* field : fields) trusted_.fields[trusted_.field_count++] = field;
  return true;
}

// Whether running the __init__ frame could be seen: a sys.monitoring event
// switched on anywhere (sys.settrace and sys.setprofile are tools of it too),
// or the code instrumented for one of its own.
bool Construct::unobserved() noexcept {
#ifdef Py_GIL_DISABLED
  return false;
#else
  static constexpr uint8_t watched[events] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  uint64_t version = monitoring_version_;
  if (PyMonitoring_EnterScope(monitoring_, &monitoring_version_, watched, events) < 0) {
    PyErr_Clear();
    monitoring_version_ = 0;
    return false;
  }
  (void)PyMonitoring_ExitScope();
  if (version != monitoring_version_) {
    monitored_ = false;
    for (const PyMonitoringState& state : monitoring_) monitored_ = monitored_ || state.active != 0;
  }
  return !monitored_ && reinterpret_cast<PyCodeObject*>(trusted_.code)->_co_monitoring == nullptr;
#endif
}

Ref Construct::stored(PyObject* cls, std::initializer_list<PyObject*> args) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  bool as_built = trusted_.tag != 0 && type == trusted_.type && Py_TYPE(cls) == &PyType_Type &&
                  type->tp_version_tag == trusted_.tag && args.size() == trusted_.field_count &&
                  PyFunction_GET_CODE(trusted_.init) == trusted_.code;
  if (!as_built || !unobserved()) return (*this)(cls, args);
  Ref self = steal(type->tp_alloc(type, 0));
  if (!self) return {};
  // The class's tag stands, so its __setattr__ is still object's.
  const Str* const* field = trusted_.fields;
  for (PyObject* arg : args) {
    if (PyObject_GenericSetAttr(self.get(), (*field++)->get(), arg) < 0) return {};
  }
  return self;
}

// ---------------------------------------------------------------- InstanceLookup

namespace {
bool has_instance_dict(PyTypeObject* type) noexcept {
  return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

// The instance dict the generic attribute lookup reads (made if missing, as
// reading __dict__ would). Empty for an object without one, and when it
// cannot be made: the usual lookup then goes without it.
Ref instance_dict(PyObject* self) noexcept {
  if (!has_instance_dict(Py_TYPE(self))) return {};
  Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) PyErr_Clear();
  return dict;
}
}  // namespace

InstanceLookup::InstanceLookup(const Str& name) noexcept : name_(name), next_(instance_lookup_head) {
  instance_lookup_head = this;
}

void InstanceLookup::forget() noexcept {
  type_ = nullptr;
  tag_ = 0;
  dict_ = found_ = nullptr;
  epoch_ = 0;
}

unsigned int InstanceLookup::generic_tag(PyTypeObject* type) noexcept {
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) return 0;
  return type->tp_version_tag;
}

bool InstanceLookup::watch(PyObject* self, PyObject* dict) noexcept {
  forget();
  if (dict == nullptr ? has_instance_dict(Py_TYPE(self)) : !PyDict_CheckExact(dict) || !Globals::watch(dict)) {
    return false;
  }
  dict_ = dict;
  epoch_ = Globals::epoch();
  return true;
}

bool InstanceLookup::remember(PyTypeObject* type, unsigned int tag, PyObject* found) noexcept {
  // An odd key of a dict read meanwhile may have run code that changed the class.
  if (type->tp_version_tag != tag) return false;
  type_ = type;
  tag_ = tag;
  found_ = found;
  return true;
}

int MethodCall::learn(PyObject* self, PyObject* dict, PyObject*& function) noexcept {
  function = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  unsigned int tag = generic_tag(type);
  Ref found;
  if (tag == 0 || !look_up_along_mro(type, name_.get(), found) || !found || !binds_as_function(found.get()) ||
      !watch(self, dict)) {
    return 0;
  }
  if (dict != nullptr) {
    int shadowed = PyDict_Contains(dict, name_.get());
    if (shadowed != 0) return shadowed < 0 ? -1 : 0;
  }
  if (remember(type, tag, found.get())) function = found.get();
  return 0;
}

Ref MethodCall::operator()(PyObject* self, PyObject* arg) noexcept {
  Ref dict = instance_dict(self);
  PyObject* function = remembered(self, dict.get());
  if (function == nullptr && learn(self, dict.get(), function) < 0) return {};
  PyObject* stack[] = {self, arg};
  if (function == nullptr) return steal(PyObject_VectorcallMethod(name_.get(), stack, 2, nullptr));
  // Held for the call, which may change the class.
  Ref held = borrow(function);
  return steal(PyObject_Vectorcall(function, stack, 2, nullptr));
}

Ref InstanceAttribute::operator()(PyObject* self) noexcept {
  Ref dict = instance_dict(self);
  if (PyObject* value = remembered(self, dict.get())) return borrow(value);
  PyTypeObject* type = Py_TYPE(self);
  unsigned int tag = generic_tag(type);
  Ref on_class;
  // A data descriptor of the class comes before the instance dict.
  if (tag != 0 && dict && look_up_along_mro(type, name_.get(), on_class) &&
      !(on_class && Py_TYPE(on_class.get())->tp_descr_set != nullptr) && watch(self, dict.get())) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict.get(), name_.get(), &value);
    if (found < 0) return {};
    Ref held = steal(value);
    if (found > 0 && remember(type, tag, value)) return held;
  }
  return steal(PyObject_GetAttr(self, name_.get()));
}

}  // namespace pfnc
