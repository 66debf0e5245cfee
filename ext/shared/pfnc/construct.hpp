// Calling a class from C++ as Python code does, at the cost Python code pays.
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

  // Every Construct of this extension forgets unreleased: its interpreter is gone.
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

}  // namespace pfnc
