// Calling a class, or reading an object's attribute, from C++ as Python code does, at the cost Python code pays.
#pragma once

#include <initializer_list>

#include "pfnc/module.hpp"

namespace pfnc {

// cls(*args), the same object with the same semantics. A class called from
// C goes through type.__call__, which packs the arguments into a tuple and
// looks __init__ up again on every call; the interpreter itself skips both
// for a plain class (its specialised call). So does this, for a class whose
// metaclass keeps type.__call__, with object's __new__ and an __init__ that
// binds as a function does (or none but object's, called without arguments).
// It remembers that __init__ with the class's version tag, which any change
// to the class or its bases (__init__, __post_init__, __new__ patched, a base
// reassigned) resets. Every other callable takes the usual call. One per
// call site: it remembers the few classes called there. Declared at
// namespace scope; what it remembers is dropped with its interpreter.
class Construct {
 public:
  Construct() noexcept;
  Construct(const Construct&) = delete;
  Construct& operator=(const Construct&) = delete;

  Ref operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept;
  // The module global `name`, called.
  Ref operator()(const Module& module, const Str& name, std::initializer_list<PyObject*> args) noexcept {
    Ref cls = module.global(name);
    return cls ? (*this)(cls.get(), args) : Ref();
  }

  // For a dataclass the module has just built, whose generated __init__
  // stores `fields` in order and then calls the module's own __post_init__.
  // False with an exception set only on failure; a class that is not such a
  // dataclass is left to the usual call.
  [[nodiscard]] bool trust_generated_init(PyObject* cls, std::initializer_list<const Str*> fields) noexcept;
  // cls(*args) from a caller that knows __post_init__ accepts these
  // arguments without running Python code. The __init__ frame would then
  // only store the fields, so while the class is as it was built and nothing
  // monitors execution (no tracer, profiler or sys.monitoring tool could see
  // the frame), the fields are stored here directly.
  Ref stored(PyObject* cls, std::initializer_list<PyObject*> args) noexcept;
  Ref stored(const Module& module, const Str& name, std::initializer_list<PyObject*> args) noexcept {
    Ref cls = module.global(name);
    return cls ? stored(cls.get(), args) : Ref();
  }

  // Every Construct and InstanceLookup of this extension forgets unreleased: its interpreter is gone.
  static void forget_all() noexcept;

 private:
  struct Known {
    PyTypeObject* type = nullptr;  // compared only: a later class at this address has another tag
    unsigned int tag = 0;          // 0: nothing known
    // Borrowed: while the tag stands, a dict along the MRO holds it. A
    // strong one would keep a caller's class alive through its __init__'s
    // __class__ cell. nullptr: object.__init__.
    PyObject* init = nullptr;
  };
  // A dataclass trusted by trust_generated_init.
  struct Trusted {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int tag = 0;          // 0: nothing trusted
    PyObject* init = nullptr;      // strong: the generated __init__
    PyObject* code = nullptr;      // strong: its code as generated
    static constexpr int max_fields = 4;
    const Str* fields[max_fields] = {};
    size_t field_count = 0;
  };
  Known* learn(PyTypeObject* type) noexcept;
  bool unobserved() noexcept;
  void forget() noexcept;

  static constexpr int slots = 4;
  Known known_[slots];
  int next_ = 0;
  Trusted trusted_;
  // What sys.monitoring had switched on when last asked (PyMonitoring_EnterScope).
  static constexpr int events = 16;  // PY_START to RERAISE; CALL brings C_RETURN and C_RAISE with it
  PyMonitoringState monitoring_[events] = {};
  uint64_t monitoring_version_ = 0;
  bool monitored_ = false;  // some event of monitoring_ active
  Construct* next_construct_;  // the extension's Construct values form a list
};

// What looking `name` up on one long-lived object found (the module's
// registry, say), remembered while nothing it depends on changes: the
// object's class, by its version tag (any change to the class or a base
// resets it), and its instance dict, which is watched, so that any change to
// it moves the package's epoch on. The dict is compared on every use: one
// assigned to __dict__ tells no watcher. One object at a time; an object whose
// class customises attribute lookup takes the usual way. Declared at
// namespace scope, one per use.
class InstanceLookup {
 public:
  InstanceLookup(const InstanceLookup&) = delete;
  InstanceLookup& operator=(const InstanceLookup&) = delete;

 protected:
  explicit InstanceLookup(const Str& name) noexcept;
  // What was found for self, whose instance dict is dict; nullptr if unknown.
  PyObject* remembered(PyObject* self, PyObject* dict) const noexcept {
    PyTypeObject* type = Py_TYPE(self);
    return tag_ != 0 && type == type_ && type->tp_version_tag == tag_ && dict == dict_ && epoch_ == Globals::epoch()
               ? found_
               : nullptr;
  }
  // The class's tag, or 0 when its attribute lookup is not the generic one.
  static unsigned int generic_tag(PyTypeObject* type) noexcept;
  // Watches self's instance dict (null for an object without one); false
  // when there is no watcher, or no dict to watch. The epoch is taken after:
  // whatever changes dict later moves past it.
  bool watch(PyObject* self, PyObject* dict) noexcept;
  // False, remembering nothing, when the class has changed since its tag was read.
  bool remember(PyTypeObject* type, unsigned int tag, PyObject* found) noexcept;

  const Str& name_;

 private:
  friend class Construct;
  void forget() noexcept;

  PyTypeObject* type_ = nullptr;  // compared only
  unsigned int tag_ = 0;          // 0: nothing known
  PyObject* dict_ = nullptr;      // compared only; null for an object without one
  unsigned long long epoch_ = 0;
  // Borrowed: held by the class's dicts while the tag stands, or by the
  // instance dict while the epoch does.
  PyObject* found_ = nullptr;
  InstanceLookup* next_;
};

// self.name(arg): the function the class gives, called with self, unless
// the instance dict has the name. A method that does not bind as a function
// takes the usual call.
class MethodCall : public InstanceLookup {
 public:
  explicit MethodCall(const Str& name) noexcept : InstanceLookup(name) {}
  Ref operator()(PyObject* self, PyObject* arg) noexcept;

 private:
  // Sets function (nullptr: the usual call); -1 on error, else 0.
  int learn(PyObject* self, PyObject* dict, PyObject*& function) noexcept;
};

// self.name, where the instance dict holds it and the class has no data
// descriptor of that name.
class InstanceAttribute : public InstanceLookup {
 public:
  explicit InstanceAttribute(const Str& name) noexcept : InstanceLookup(name) {}
  Ref operator()(PyObject* self) noexcept;
};

}  // namespace pfnc
