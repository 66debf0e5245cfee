// Owning references to Python objects, so that no path leaks or double-frees.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pfnc {

// An owned (strong) reference, released when it goes out of scope. Adopting a
// pointer says how: steal() takes over a new reference, borrow() adds one.
// Empty means "an exception is set" wherever a Ref is returned, so a Ref
// returned must be looked at.
class [[nodiscard]] Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    // Swap first: the old object's destructor may run arbitrary code.
    Ref old(std::move(*this));
    ptr_ = std::exchange(other.ptr_, nullptr);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  static Ref steal(PyObject* ptr) noexcept { Ref r; r.ptr_ = ptr; return r; }
  static Ref borrow(PyObject* ptr) noexcept { Py_XINCREF(ptr); return steal(ptr); }

  PyObject* get() const noexcept { return ptr_; }
  // Hands the reference back at the C boundary.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

inline Ref steal(PyObject* ptr) noexcept { return Ref::steal(ptr); }
inline Ref borrow(PyObject* ptr) noexcept { return Ref::borrow(ptr); }

}  // namespace pfnc
