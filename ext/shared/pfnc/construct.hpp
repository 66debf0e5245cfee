// Calling a class from C++ as Python code does, at the cost Python code pays.
#pragma once

#include <initializer_list>

#include "pfnc/ref.hpp"

namespace pfnc {

// cls(*args), the same object with the same semantics. A class called from
// C goes through type.__call__, which packs the arguments into a tuple and
// looks __init__ up again on every call; the interpreter itself skips both
// for a plain class (its specialised call). So does this, for a class of
// metaclass type with object's __new__ and a Python __init__: it remembers
// that __init__ with the class's version tag, which any change to the class
// or its bases (__init__, __post_init__, __new__ patched, a base reassigned)
// resets. Every other callable takes the usual call.
class Construct {
 public:
  Ref operator()(PyObject* cls, std::initializer_list<PyObject*> args) noexcept;

 private:
  bool learn(PyTypeObject* type) noexcept;

  PyTypeObject* type_ = nullptr;  // compared only: a later class at this address has another tag
  unsigned int tag_ = 0;          // 0: nothing learnt
  PyObject* init_ = nullptr;      // strong; type_'s __init__ when tag_ was current
};

}  // namespace pfnc
