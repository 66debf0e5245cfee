// Strong references a module keeps between calls, for as long as its interpreter lives.
#pragma once

#include <utility>

#include "pfnc/ref.hpp"

namespace pfnc {

// Declared at namespace scope. The reference is never released by a C++
// destructor: at process exit the interpreter is gone. When the module finds
// itself in a new interpreter (Py_FinalizeEx, then Py_Initialize), every Kept
// of the extension is forgotten unreleased, since its object died with the old one.
class Kept {
 public:
  Kept() noexcept;
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Takes over value (which may be empty) and releases the object held before.
  void set(Ref value) noexcept { Ref old = steal(std::exchange(obj_, value.release())); }

  // Every Kept of this extension drops its pointer without releasing it.
  static void forget_all() noexcept;

 private:
  PyObject* obj_ = nullptr;
  Kept* next_;  // the extension's Kept values form a list (see module.cpp)
};

}  // namespace pfnc
