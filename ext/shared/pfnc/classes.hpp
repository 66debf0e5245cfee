// Classes built by the interpreter's own machinery, as a class statement would.
#pragma once

#include "pfnc/module.hpp"

namespace pfnc {

enum class Kind { method, static_method, class_method, abstract, abstract_class_method };

// Collects a class body in definition order, then runs it through
// types.new_class, so metaclasses (__prepare__ included), generic bases and
// decorators see exactly what a class written in Python gives them. The
// first failure sticks: later calls do nothing and build() returns empty.
class ClassBody {
 public:
  ClassBody(const Module& module, const char* name, const char* doc) noexcept;

  // The annotation of a field, stored as a string.
  ClassBody& annotate(const char* field, const char* annotation) noexcept;
  ClassBody& def(const FunctionSpec& spec, Kind kind = Kind::method) noexcept;
  // Any other name; takes over value.
  ClassBody& set(const char* name, Ref value) noexcept;
  ClassBody& set(const char* name, PyObject* value) noexcept { return set(name, borrow(value)); }

  // bases: a tuple or nullptr; keywords (metaclass=...): a dict or nullptr.
  Ref build(PyObject* bases = nullptr, PyObject* keywords = nullptr) noexcept;

 private:
  bool add(PyObject* name, PyObject* value) noexcept;

  const Module& module_;
  const char* name_;
  Ref items_;        // list of (name, value) pairs
  Ref annotations_;  // dict, added to the body when a field is annotated
  bool ok_;
};

// name in the dicts along type's MRO, as the class's own lookup walks them,
// running no descriptor; found stays empty when no dict has it. False (no
// exception set) when the MRO or a dict could not be read.
[[nodiscard]] bool look_up_along_mro(PyTypeObject* type, PyObject* name, Ref& found) noexcept;

// A tuple of borrowed objects, as bases for build().
Ref tuple_of(std::initializer_list<PyObject*> items) noexcept;

}  // namespace pfnc
