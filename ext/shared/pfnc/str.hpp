// Strings interned once per process, when the module that names them initialises.
#pragma once

#include "pfnc/ref.hpp"

namespace pfnc {

class Globals;

// Declared at namespace scope; every Str of a module is interned before the
// module body runs and lives as long as the module's interpreter.
class Str {
 public:
  explicit Str(const char* text) noexcept;
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;

  PyObject* get() const noexcept { return obj_; }
  // (name,): the keyword names of a vectorcall that passes this one keyword.
  // Made on first use; nullptr with an exception set if that fails.
  PyObject* keywords() const noexcept;
  const char* c_str() const noexcept { return text_; }

  // Interns every Str of this extension; false with an exception set on failure.
  [[nodiscard]] static bool intern_all() noexcept;
  // Drops every Str's object and lookup unreleased: their interpreter is gone.
  static void forget_all() noexcept;

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
  Str* next_;  // the extension's Str values form a list (see module.cpp)
  mutable PyObject* keywords_ = nullptr;
  // Where Module::global last found this name (borrowed) and when (Module's epoch).
  friend class Globals;
  mutable PyObject* found_ = nullptr;
  mutable unsigned long long found_epoch_ = 0;
};

}  // namespace pfnc
