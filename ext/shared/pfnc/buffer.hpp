// Growable arrays in C++ storage, which never throw: plain values, or strong references.
#pragma once

#include <cstring>

#include "pfnc/ref.hpp"

namespace pfnc {

// A growable array of plain values: inline for the usual handful, PyMem
// beyond. Never throws; grow() fails with MemoryError set.
template <typename T, Py_ssize_t Inline>
class Buffer {
 public:
  Buffer() noexcept = default;
  ~Buffer() {
    if (data_ != inline_) PyMem_Free(data_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  [[nodiscard]] bool grow(Py_ssize_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    if (static_cast<size_t>(capacity) > PY_SSIZE_T_MAX / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    T* bigger = static_cast<T*>(PyMem_Malloc(static_cast<size_t>(capacity) * sizeof(T)));
    if (bigger == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    std::memcpy(bigger, data_, static_cast<size_t>(size_) * sizeof(T));
    if (data_ != inline_) PyMem_Free(data_);
    data_ = bigger;
    capacity_ = capacity;
    return true;
  }
  [[nodiscard]] bool push(T value) noexcept {
    // Doubling stops short of overflow; grow() then refuses what cannot be allocated.
    if (size_ == capacity_ && !grow(capacity_ > PY_SSIZE_T_MAX / 2 ? PY_SSIZE_T_MAX : capacity_ * 2)) return false;
    data_[size_++] = value;
    return true;
  }
  T& operator[](Py_ssize_t i) noexcept { return data_[i]; }
  Py_ssize_t size() const noexcept { return size_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }

 private:
  T inline_[Inline];
  T* data_ = inline_;
  Py_ssize_t size_ = 0;
  Py_ssize_t capacity_ = Inline;
};

// Strong references in C++ storage, where no Python code can reach them.
class Refs {
 public:
  Refs() noexcept = default;
  Refs(const Refs&) = delete;
  Refs& operator=(const Refs&) = delete;
  ~Refs() {
    for (PyObject* item : items_) Py_DECREF(item);
  }
  [[nodiscard]] bool push(Ref item) noexcept {
    if (!items_.push(item.get())) return false;
    item.release();
    return true;
  }
  // Borrowed: the item lives as long as this does.
  PyObject* operator[](Py_ssize_t i) noexcept { return items_[i]; }
  Py_ssize_t size() const noexcept { return items_.size(); }
  Ref list() noexcept {
    Ref result = steal(PyList_New(items_.size()));
    if (!result) return {};
    for (Py_ssize_t i = 0; i < items_.size(); ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(items_[i]));
    return result;
  }

 private:
  Buffer<PyObject*, 8> items_;
};

}  // namespace pfnc
