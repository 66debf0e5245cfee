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
// call site: it remembers the few classes called there.
class Construct {
 public:
  Ref operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept;
  // The module global `name`, called.
  Ref operator()(const Module& module, const Str& name, std::initializer_list<PyObject*> args) noexcept {
    Ref cls = module.global(name);
    return cls ? (*this)(cls.get(), args) : Ref();
  }

 private:
  struct Known {
    PyTypeObject* type = nullptr;  // compared only: a later class at this address has another tag
    unsigned int tag = 0;          // 0: nothing known
    PyObject* init = nullptr;      // strong; nullptr: object.__init__
  };
  Known* learn(PyTypeObject* type) noexcept;

  static constexpr int slots = 4;
  Known known_[slots];
  int next_ = 0;
};

}  // namespace pfnc
