// Raising and catching the exceptions that a module's globals name.
#pragma once

#include <cstddef>

#include "pfnc/globals.hpp"

namespace pfnc {

class Errors : public Globals {
 public:
  // raise <global exception class>(message); always returns nullptr.
  std::nullptr_t raise(const Str& exception, PyObject* message) const noexcept;
  std::nullptr_t raise(const Str& exception, const char* message) const noexcept;
  // except <global exception class>: 1 when the exception set now matches it
  // (left set), 0 when not (left set), -1 when the global cannot be used there
  // (its error set, with the pending exception as its context).
  [[nodiscard]] int error_matches(const Str& exception) const noexcept;

 protected:
  using Globals::Globals;
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

}  // namespace pfnc
