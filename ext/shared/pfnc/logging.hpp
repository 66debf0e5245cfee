// Debug messages through a module's global logger.
#pragma once

#include "pfnc/errors.hpp"

namespace pfnc {

class Logging : public Errors {
 public:
  // In `except ... as e:` (e taken with PyErr_GetRaisedException), with e
  // handled meanwhile: logger.debug(f"{prefix}{e}"), or with named given
  // logger.debug(f"{prefix}{e} {named.__name__}").
  [[nodiscard]] bool debug_caught(const char* prefix, PyObject* caught, PyObject* named = nullptr) const noexcept;

 protected:
  using Errors::Errors;
};

}  // namespace pfnc
