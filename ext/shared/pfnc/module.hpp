// One extension module: its definition and its once-per-interpreter rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "pfnc/function.hpp"
#include "pfnc/kept.hpp"
#include "pfnc/logging.hpp"
#include "pfnc/str.hpp"

namespace pfnc {

// Each extension defines exactly one Module at namespace scope and returns
// init() from its PyInit_ function (see PFNC_MODULE). The module may live in
// one interpreter per process only: that replaces per-interpreter state, and
// lets functions reach the module's globals through this object. When that
// interpreter is finalised and a new one starts (embedding programs do), the
// module, its Str and its Kept values start afresh in the new one. What it
// offers at call time comes from its bases: Globals, Errors and Logging.
class Module : public Logging {
 public:
  using Body = bool (*)(Module&);
  Module(const char* short_name, const char* doc, Body body) noexcept;

  PyObject* init() noexcept;

  // --- used by the module body, while the module initialises ---
  // from <module> import <names...>; level > 0 for a relative import.
  [[nodiscard]] bool import_from(const char* module, std::initializer_list<const char*> names,
                   int level = 0) noexcept;
  // import <module>
  [[nodiscard]] bool import_module(const char* module) noexcept;
  // Binds a global; set() takes over value, which may be empty (an error).
  [[nodiscard]] bool set(const char* name, Ref value) noexcept;
  [[nodiscard]] Ref function(const FunctionSpec& spec) const noexcept;
  [[nodiscard]] bool def(const FunctionSpec& spec) noexcept { return set(spec.name, function(spec)); }
  PyObject* name() const noexcept { return name_; }

 private:
  static PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;
  static int exec(PyObject* module) noexcept;
  // False when interp is not the interpreter this module last started in.
  int started_in(PyInterpreterState* interp) const noexcept;
  void forget_interpreter() noexcept;
  // What a module keeps besides its Kept values, dropped with them.
  virtual void forget_state() noexcept {}

  PyModuleDef def_;
  PyModuleDef_Slot slots_[5];
  Body body_;
  // By id, not address: a destroyed interpreter's state may be reused at the
  // same address by the next one, which must not find module_ as its own.
  std::atomic<int64_t> owner_{-1};
  PyObject* module_ = nullptr;  // strong; the one module object of the process
  PyObject* name_ = nullptr;    // strong; the module's full name
  bool ready_ = false;
  bool initialising_ = false;
};

// A module with the state it keeps between calls: a struct of Kept members.
// Kept values are released only when replaced (an initialisation retried);
// when the module starts in a new interpreter, Module::forget_interpreter
// drops them all, with the module and its Str values, and calls the state's
// forget() where it has one, for what it keeps otherwise (caches, watcher ids).
template <typename State>
class ModuleWith : public Module {
 public:
  using Module::Module;
  State state;

 private:
  void forget_state() noexcept override {
    if constexpr (requires { state.forget(); }) state.forget();
  }
};

// An unchecked exception must never escape to the interpreter: callers check.
#define PFNC_MODULE(short_name, module_object) \
  PyMODINIT_FUNC PyInit_##short_name(void) { return (module_object).init(); }

}  // namespace pfnc
