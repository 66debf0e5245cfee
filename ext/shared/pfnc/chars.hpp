// Strings read in place, character by character, without making slices.
#pragma once

#include <cstring>

#include "pfnc/ref.hpp"

namespace pfnc {

// A str's characters, read in place.
struct Chars {
  const void* data = nullptr;
  Py_ssize_t length = 0;
  int kind = PyUnicode_1BYTE_KIND;

  Chars() noexcept = default;
  explicit Chars(PyObject* s) noexcept
      : data(PyUnicode_DATA(s)), length(PyUnicode_GET_LENGTH(s)), kind(PyUnicode_KIND(s)) {}
  Py_UCS4 at(Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
};

// text[pos:].startswith(name), without making the slice.
inline bool has_prefix_at(const Chars& text, Py_ssize_t pos, const Chars& name) noexcept {
  if (name.length > text.length - pos) return false;
  if (name.kind == text.kind) {
    const char* here = static_cast<const char*>(text.data) + pos * text.kind;
    return std::memcmp(here, name.data, static_cast<size_t>(name.length * name.kind)) == 0;
  }
  for (Py_ssize_t i = 0; i < name.length; ++i) {
    if (text.at(pos + i) != name.at(i)) return false;
  }
  return true;
}

}  // namespace pfnc
