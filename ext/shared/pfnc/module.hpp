// One extension module: its definition, once-per-process rules and globals.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "pfnc/function.hpp"
#include "pfnc/str.hpp"

namespace pfnc {

// Each extension defines exactly one Module at namespace scope and returns
// init() from its PyInit_ function (see PFNC_MODULE). The module may live in
// one interpreter per process only: that replaces per-interpreter state, and
// lets functions reach the module's globals through this object.
class Module {
 public:
  using Body = bool (*)(Module&);
  Module(const char* short_name, const char* doc, Body body) noexcept;

  PyObject* init() noexcept;

  // --- used by the module body, while the module initialises ---
  // from <module> import <names...>; level > 0 for a relative import.
  bool import_from(const char* module, std::initializer_list<const char*> names,
                   int level = 0) noexcept;
  // import <module>
  bool import_module(const char* module) noexcept;
  // Binds a global; set() takes over value, which may be empty (an error).
  bool set(const char* name, Ref value) noexcept;
  Ref function(const FunctionSpec& spec) const noexcept;
  bool def(const FunctionSpec& spec) noexcept { return set(spec.name, function(spec)); }
  PyObject* name() const noexcept { return name_; }

  // --- used at call time ---
  // A module global, looked up now as Python code would (then builtins).
  Ref global(const Str& name) const noexcept;
  // Calls the global callable `name` with the given arguments.
  Ref call(const Str& name, std::initializer_list<PyObject*> args) const noexcept;
  // raise <global exception class>(message); always returns nullptr.
  std::nullptr_t raise(const Str& exception, PyObject* message) const noexcept;
  std::nullptr_t raise(const Str& exception, const char* message) const noexcept;
  // True when the exception set now is an instance of the global class `name`.
  // A global that is not a class matches nothing (as in an except clause
  // that names a non-exception, that error replaces the pending one).
  bool error_matches(const Str& exception) const noexcept;
  // logger.debug(message) through the module's global `logger`.
  bool debug(PyObject* message) const noexcept;
  // In `except ... as e:` (e taken with PyErr_GetRaisedException), with e
  // handled meanwhile: logger.debug(f"{prefix}{e}"), or f"{prefix}{e} {suffix}".
  bool debug_caught(const char* prefix, PyObject* caught, PyObject* suffix = nullptr) const noexcept;

  // --- caches of the module's own, on the same watcher ---
  // Any later change to dict moves epoch() on; false (nothing set) when no
  // watcher is available, and then nothing may be cached on dict.
  static bool watch(PyObject* dict) noexcept;
  static unsigned long long epoch() noexcept { return epoch_; }

 private:
  static PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;
  static int exec(PyObject* module) noexcept;
  static int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept;
  void remember(const Str& name, PyObject* found, PyObject* builtins) const noexcept;

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
  bool ready_ = false;
  static inline Module* instance_ = nullptr;
  // global() serves a name from its last lookup while no dict it may come
  // from has changed: a dict watcher on them moves the epoch on any change.
  static inline int watcher_ = -1;
  static inline unsigned long long epoch_ = 1;
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
