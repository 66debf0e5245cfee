// A module's globals, looked up at call time as the module's Python code would, behind a cache.
#pragma once

#include <initializer_list>

#include "pfnc/str.hpp"

namespace pfnc {

// global() serves a name from its last lookup while no dict it may come from
// has changed: a dict watcher on them moves an epoch on every change.
class Globals {
 public:
  // A module global, looked up now as Python code of the module would: its
  // globals, then the builtins it was imported with (not the caller's).
  [[nodiscard]] Ref global(const Str& name) const noexcept {
    // Inline, as most lookups are served from the last one: the watched dicts
    // still hold what was found, so the borrowed pointer is alive.
    if (dict_ != nullptr && name.found_epoch_ == **epoch_ && *watcher_ >= 0) return borrow(name.found_);
    return look_up(name);
  }
  // Calls the global callable `name` with the given arguments.
  [[nodiscard]] Ref call(const Str& name, std::initializer_list<PyObject*> args) const noexcept;

  // For caches of a module's own, on the same watcher: any later change to
  // dict moves epoch() on. False (nothing set) when no watcher is available,
  // and then nothing may be cached on dict.
  [[nodiscard]] static bool watch(PyObject* dict) noexcept;
  static unsigned long long epoch() noexcept;

 protected:
  explicit Globals(const char* short_name) noexcept : short_name_(short_name) {}
  // Looks names up in dict (borrowed: the module keeps it), then in the
  // builtins seen now; false with an exception set.
  [[nodiscard]] bool look_up_in(PyObject* dict) noexcept;
  // The dicts went with their interpreter: dropped unreleased.
  void forget_globals() noexcept;

  const char* short_name_;
  PyObject* dict_ = nullptr;      // borrowed from the module; null while there is none
  PyObject* builtins_ = nullptr;  // strong

 private:
  [[nodiscard]] Ref look_up(const Str& name) const noexcept;
  void remember(const Str& name, PyObject* found) const noexcept;

  // The extension's view of the package's dict watcher (see globals.cpp),
  // set with dict_: its id (-1 without one) and where its epoch is kept.
  const int* watcher_ = nullptr;
  unsigned long long* const* epoch_ = nullptr;
};

}  // namespace pfnc
