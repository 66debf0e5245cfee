// Raising and catching the exceptions that a module's globals name.
#include "pfnc/errors.hpp"

namespace pfnc {

std::nullptr_t Errors::raise(const Str& exception, PyObject* message) const noexcept {
  Ref error = call(exception, {message});
  if (!error) return nullptr;
  if (!PyExceptionInstance_Check(error.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  // Like a raise statement: chains the exception being handled as context.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

std::nullptr_t Errors::raise(const Str& exception, const char* message) const noexcept {
  Ref text = steal(PyUnicode_FromString(message));
  return text ? raise(exception, text.get()) : nullptr;
}

int Errors::error_matches(const Str& exception) const noexcept {
  Ref pending = steal(PyErr_GetRaisedException());
  if (!pending) return 0;
  Ref cls = global(exception);
  // The interpreter's own rule for an except clause: a class, or a tuple of classes.
  bool valid = cls && PyExceptionClass_Check(cls.get());
  if (cls && PyTuple_Check(cls.get())) {
    valid = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.get()); ++i) {
      valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.get(), i));
    }
  }
  if (cls && !valid) {
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  }
  if (!valid) {
    // As in an except clause: the new error has the pending one as its context.
    Ref error = steal(PyErr_GetRaisedException());
    PyException_SetContext(error.get(), pending.release());
    PyErr_SetRaisedException(error.release());
    return -1;
  }
  int matches = PyErr_GivenExceptionMatches(pending.get(), cls.get());
  PyErr_SetRaisedException(pending.release());
  return matches != 0 ? 1 : 0;
}

}  // namespace pfnc
