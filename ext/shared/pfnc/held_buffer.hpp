// A buffer export held until released, so that its owner can neither resize nor free the memory meanwhile.
#pragma once

#include <Python.h>

namespace pfnc {

class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // False with the exporter's error set. Once per object.
  [[nodiscard]] bool get(PyObject* object, int flags) noexcept {
    return held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
  }

 protected:
  // Whether the items are unsigned integers of one or two bytes in native order: "B" or "H",
  // the formats numpy gives uint8 and uint16 (no format at all means bytes).
  bool holds_uint8_or_uint16() const noexcept {
    const char* format = view_.format == nullptr ? "B" : view_.format;
    if (*format == '@' || *format == '=' || (*format == '<' && PY_LITTLE_ENDIAN) ||
        (*format == '>' && PY_BIG_ENDIAN)) {
      ++format;
    }
    char expected = view_.itemsize == 1 ? 'B' : view_.itemsize == 2 ? 'H' : '\0';
    return expected != '\0' && format[0] == expected && format[1] == '\0';
  }
  // The format as the exporter gave it, for messages.
  const char* format_name() const noexcept { return view_.format == nullptr ? "B" : view_.format; }

  Py_buffer view_{};

 private:
  bool held_ = false;
};

}  // namespace pfnc
