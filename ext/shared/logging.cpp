// Debug messages through a module's global logger.
#include "pfnc/logging.hpp"

#include "pfnc/calls.hpp"

namespace pfnc {

namespace {
Str s_debug{"debug"};
Str s_logger{"logger"};
Str s_no_spec{""};
Str s_name{"__name__"};
}  // namespace

bool Logging::debug_caught(const char* prefix, PyObject* caught, PyObject* named) const noexcept {
  // In the order of logger.debug(f"{prefix}{e} {named.__name__}"): the method, then the text.
  Handling handling(caught);
  Ref logger = global(s_logger);
  Ref debug = logger ? attr(logger.get(), s_debug) : Ref();
  Ref error = debug ? steal(PyObject_Format(caught, s_no_spec.get())) : Ref();
  if (!error) return false;
  Ref message;
  if (named == nullptr) {
    message = steal(PyUnicode_FromFormat("%s%U", prefix, error.get()));
  } else {
    Ref name = attr(named, s_name);
    Ref shown = name ? steal(PyObject_Format(name.get(), s_no_spec.get())) : Ref();
    if (!shown) return false;
    message = steal(PyUnicode_FromFormat("%s%U %U", prefix, error.get(), shown.get()));
  }
  return message && steal(PyObject_CallOneArg(debug.get(), message.get()));
}

}  // namespace pfnc
