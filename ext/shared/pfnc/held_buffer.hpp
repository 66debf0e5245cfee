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
  Py_buffer view_{};

 private:
  bool held_ = false;
};

}  // namespace pfnc
