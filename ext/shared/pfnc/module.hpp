// One extension module: its definition, once-per-process rules and globals.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "pfnc/function.hpp"
#include "pfnc/kept.hpp"
#include "pfnc/str.hpp"

namespace pfnc {

// Each extension defines exactly one Module at namespace scope and returns
// init() from its PyInit_ function (see PFNC_MODULE). The module may live in
// one interpreter per process only: that replaces per-interpreter state, and
// lets functions reach the module's globals through this object. When that
// interpreter is finalised and a new one starts (embedding programs do), the
// module, its Str and its Kept values start afresh in the new one.
class Module {
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

  // --- used at call time ---
  // A module global, looked up now as Python code of the module would: its
  // globals, then the builtins it was imported with (not the caller's).
  [[nodiscard]] Ref global(const Str& name) const noexcept;
  // Calls the global callable `name` with the given arguments.
  [[nodiscard]] Ref call(const Str& name, std::initializer_list<PyObject*> args) const noexcept;
  // raise <global exception class>(message); always returns nullptr.
  std::nullptr_t raise(const Str& exception, PyObject* message) const noexcept;
  std::nullptr_t raise(const Str& exception, const char* message) const noexcept;
  // except <global exception class>: 1 when the exception set now matches it
  // (left set), 0 when not (left set), -1 when the global cannot be used there
  // (its error set, with the pending exception as its context).
  [[nodiscard]] int error_matches(const Str& exception) const noexcept;
  // In `except ... as e:` (e taken with PyErr_GetRaisedException), with e
  // handled meanwhile: logger.debug(f"{prefix}{e}"), or with named given
  // logger.debug(f"{prefix}{e} {named.__name__}").
  [[nodiscard]] bool debug_caught(const char* prefix, PyObject* caught, PyObject* named = nullptr) const noexcept;

 private:
  static PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;
  static int exec(PyObject* module) noexcept;
  void remember(const Str& name, PyObject* found) const noexcept;
  // False when interp is not the interpreter this module last started in.
  int started_in(PyInterpreterState* interp) const noexcept;
  void forget_interpreter() noexcept;

  PyModuleDef def_;
  PyModuleDef_Slot slots_[5];
  const char* short_name_;
  Body body_;
  // By id, not address: a destroyed interpreter's state may be reused at the
  // same address by the next one, which must not find module_ as its own.
  std::atomic<int64_t> owner_{-1};
  PyObject* module_ = nullptr;  // strong; the one module object of the process
  PyObject* dict_ = nullptr;    // borrowed from module_
  PyObject* name_ = nullptr;    // strong; the module's full name
  PyObject* builtins_ = nullptr;  // strong; the builtins dict the module was imported with
  bool ready_ = false;
  bool initialising_ = false;
};

// A module with the state it keeps between calls: a struct of Kept members.
// Kept values are released only when replaced (an initialisation retried);
// when the module starts in a new interpreter, Module::forget_interpreter
// drops them all, with the module and its Str values.
template <typename State>
class ModuleWith : public Module {
 public:
  using Module::Module;
  State state;
};

// Inside an except block: what is raised meanwhile gets `caught` as context.
class Handling {
 public:
  explicit Handling(PyObject* caught) noexcept : saved_(steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(caught);
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling() { PyErr_SetHandledException(saved_.get()); }

 private:
  Ref saved_;
};

// An unchecked exception must never escape to the interpreter: callers check.
#define PFNC_MODULE(short_name, module_object) \
  PyMODINIT_FUNC PyInit_##short_name(void) { return (module_object).init(); }

}  // namespace pfnc
