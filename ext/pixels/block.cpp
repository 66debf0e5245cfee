// Memory for large outputs. Fresh pages from the kernel cost more than the
// conversion that fills them (every one is faulted in and zeroed), so a block
// goes back to a small pool when the last array using it goes, and the next
// block of the same size comes from there. A type of its own (PyType_FromSpec):
// only a C type can hand out its memory through the buffer protocol,
// and its deallocation is exactly "nothing uses this memory any more".
#include "block.hpp"

#include <algorithm>
#include <cstdlib>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace pfnc::pixels {

namespace {

struct BlockObject {
  PyObject_HEAD
  void* data;
  Py_ssize_t size;
};

constexpr std::size_t kept_blocks = 4;
constexpr Py_ssize_t kept_bytes = Py_ssize_t{512} << 20;

struct Kept {
  void* data;
  Py_ssize_t size;
};
// Most recently freed last. A fixed array: giving memory back must never need
// more. Under a lock of its own, as interpreters with a lock each share it.
Kept kept[kept_blocks];
std::size_t kept_count = 0;
PyMutex keeping{};

// Holds `keeping` for its lifetime.
class Keeping {
 public:
  Keeping() noexcept { PyMutex_Lock(&keeping); }
  ~Keeping() { PyMutex_Unlock(&keeping); }
  Keeping(const Keeping&) = delete;
  Keeping& operator=(const Keeping&) = delete;
};

// Fresh memory straight from the kernel, in huge pages where it gives them on request: a fault
// per 2 MiB instead of per 4 KiB makes a block's first filling some twenty times faster. Null when
// there is none.
void* fresh_memory(Py_ssize_t size) noexcept {
#if defined(__unix__) || defined(__APPLE__)
  void* data = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(data, static_cast<std::size_t>(size), MADV_HUGEPAGE);  // advice only: its failure changes nothing
#endif
  return data;
#else
  return std::malloc(static_cast<std::size_t>(size));
#endif
}

void give_back(void* data, Py_ssize_t size) noexcept {
#if defined(__unix__) || defined(__APPLE__)
  munmap(data, static_cast<std::size_t>(size));
#else
  (void)size;
  std::free(data);
#endif
}

void forget_oldest() noexcept {
  give_back(kept[0].data, kept[0].size);
  std::copy(kept + 1, kept + kept_count, kept);
  --kept_count;
}
PyTypeObject* block_type = nullptr;

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* block = reinterpret_cast<BlockObject*>(self);
  return PyBuffer_FillInfo(view, self, block->data, block->size, 0, flags);
}

void block_dealloc(PyObject* self) noexcept {
  auto* block = reinterpret_cast<BlockObject*>(self);
  if (block->size <= kept_bytes) {
    Keeping held;
    // The oldest go first.
    Py_ssize_t total = block->size;
    for (std::size_t k = 0; k < kept_count; ++k) total += kept[k].size;
    while (kept_count > 0 && (kept_count == kept_blocks || total > kept_bytes)) {
      total -= kept[0].size;
      forget_oldest();
    }
    kept[kept_count++] = {block->data, block->size};
  } else {
    give_back(block->data, block->size);
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of an array made by convert.block().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
    {0, nullptr},
};

PyType_Spec block_spec = {"corvella.pfnc.pixels._convert.Block", sizeof(BlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, block_slots};

PyObject* convert_block(PyObject* const* args) noexcept {
  Py_ssize_t size = PyLong_AsSsize_t(args[0]);
  if (size == -1 && PyErr_Occurred()) return nullptr;
  if (size < 1) {
    PyErr_SetString(PyExc_ValueError, "size must be positive");
    return nullptr;
  }
  void* data = nullptr;
  {
    Keeping held;
    for (std::size_t k = kept_count; k-- > 0;) {
      if (kept[k].size == size) {
        data = kept[k].data;
        std::copy(kept + k + 1, kept + kept_count, kept + k);
        --kept_count;
        break;
      }
    }
  }
  if (data == nullptr && (data = fresh_memory(size)) == nullptr) return PyErr_NoMemory();
  auto* block = PyObject_New(BlockObject, block_type);
  if (block == nullptr) {
    give_back(data, size);
    return nullptr;
  }
  block->data = data;
  block->size = size;
  return reinterpret_cast<PyObject*>(block);
}

const pfnc::FunctionSpec block_function_spec{
    .name = "block",
    .qualname = "block",
    .doc = "block(size: int) -> Block\n\n"
           "Uninitialised memory of `size` bytes, exposed through the buffer protocol.\n\n"
           "When nothing uses it any more, it is kept for the next block of the same size:\n"
           "at most 4 blocks and 512 MiB, the oldest given back first.",
    .params = {{"size", "int"}},
    .returns = "Block",
    .impl = convert_block,
};

}  // namespace

bool define_blocks(pfnc::Module& m) noexcept {
  // Kept across a failed initialisation, which the next import runs again.
  if (block_type == nullptr) block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
  if (block_type == nullptr) return false;
  return m.set("Block", pfnc::borrow(reinterpret_cast<PyObject*>(block_type))) && m.def(block_function_spec);
}

}  // namespace pfnc::pixels
