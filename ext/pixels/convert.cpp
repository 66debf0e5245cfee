// Binding of the pixel conversion loops: buffers in, buffers out, the lock released while they run.
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "kernels.hpp"
#include "pfnc/pfnc.hpp"

namespace {

using pfnc::Ref;
using pfnc::steal;
namespace px = pfnc::pixels;

bool convert_body(pfnc::Module& m) noexcept;

pfnc::Module convert("_convert",
                     "Conversion of packed pixel buffers to and from arrays of sample values.\n\n"
                     "The layout comes as a job: a flat list of integers that corvella.pfnc.pixels.codec\n"
                     "builds. Every index in it is checked against the buffers before any is used.\n"
                     "Its second entry, when 1, keeps to the general loop that interprets the layout,\n"
                     "against which the faster loops are tested.",
                     convert_body);

constexpr long job_version = 1;
constexpr std::size_t max_targets = 8, max_planes = 8, max_samples = 4096, max_field_count = 16;
// Below this many bytes, giving up the interpreter lock costs more than it frees.
constexpr int64_t unlocked_from = 1 << 16;

// ---------------------------------------------------------------- the job

class Reader {
 public:
  explicit Reader(PyObject* items) noexcept
      : items_(PySequence_Fast_ITEMS(items)), size_(PySequence_Fast_GET_SIZE(items)) {}
  bool next(int64_t& value) noexcept {
    if (at_ >= size_) {
      PyErr_SetString(PyExc_ValueError, "invalid conversion job: it ends too early");
      return false;
    }
    PyObject* item = items_[at_++];
    if (!PyLong_Check(item)) {
      pfnc::raise_expected("int", item);
      return false;
    }
    long long v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred()) return false;
    value = v;
    return true;
  }
  bool count(std::size_t& value, std::size_t most, std::size_t least = 0) noexcept {
    int64_t v;
    if (!next(v)) return false;
    if (v < static_cast<int64_t>(least) || v > static_cast<int64_t>(most)) {
      PyErr_Format(PyExc_ValueError, "invalid conversion job: a count of %lld", static_cast<long long>(v));
      return false;
    }
    value = static_cast<std::size_t>(v);
    return true;
  }
  bool done() const noexcept {
    if (at_ == size_) return true;
    PyErr_SetString(PyExc_ValueError, "invalid conversion job: it runs on past its end");
    return false;
  }

 private:
  PyObject** items_;
  Py_ssize_t size_;
  Py_ssize_t at_ = 0;
};

bool read_sample(Reader& r, px::Job& job) noexcept {
  px::Sample s{};
  int64_t kind;
  if (!r.next(s.target) || !r.next(s.element) || !r.next(s.step) || !r.next(s.pixel) || !r.next(s.width) ||
      !r.next(kind) || !r.count(s.fields, max_field_count, 1)) {
    return false;
  }
  if (kind < 0 || kind > 2) {
    PyErr_SetString(PyExc_ValueError, "invalid conversion job: an unknown kind of value");
    return false;
  }
  s.kind = static_cast<px::ValueKind>(kind);
  s.first_field = job.fields.size();
  for (std::size_t i = 0; i < s.fields; ++i) {
    px::Field f{};
    if (!r.next(f.bit) || !r.next(f.bits) || !r.next(f.shift)) return false;
    job.fields.push_back(f);
  }
  job.samples.push_back(s);
  return true;
}

// A job as codec._job writes it; false with an exception set.
bool read_job(PyObject* list, px::Job& job) noexcept {
  Ref items = steal(PySequence_Fast(list, "the conversion job must be a sequence"));
  if (!items) return false;
  Reader r(items.get());
  int64_t version;
  std::size_t targets, planes;
  if (!r.next(version)) return false;
  if (version != job_version) {
    PyErr_SetString(PyExc_ValueError, "invalid conversion job: an unknown version");
    return false;
  }
  std::size_t general;
  if (!r.count(general, 1) || !r.count(targets, max_targets, 1) || !r.count(planes, max_planes, 1)) return false;
  job.general_only = general != 0;
  for (std::size_t t = 0; t < targets; ++t) {
    px::Target target{};
    if (!r.next(target.itemsize) || !r.next(target.row_bytes)) return false;
    job.targets.push_back(target);
  }
  for (std::size_t n = 0; n < planes; ++n) {
    px::Plane p{};
    if (!r.next(p.offset) || !r.next(p.stride) || !r.next(p.segments) || !r.next(p.groups) ||
        !r.next(p.partial_pixels) || !r.next(p.partial_bytes) || !r.next(p.group_bytes) ||
        !r.count(p.samples, max_samples, 1)) {
      return false;
    }
    p.first_sample = job.samples.size();
    for (std::size_t i = 0; i < p.samples; ++i) {
      if (!read_sample(r, job)) return false;
    }
    job.planes.push_back(p);
  }
  return r.done();
}

// ---------------------------------------------------------------- buffers

// A buffer export, held (so that its owner cannot resize it) until released.
class Buffer {
 public:
  Buffer() noexcept = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* object, int flags) noexcept { return held_ = PyObject_GetBuffer(object, &view_, flags) == 0; }
  uint8_t* data() const noexcept { return static_cast<uint8_t*>(view_.buf); }
  int64_t size() const noexcept { return view_.len; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The buffers of a tuple of arrays, one per output of the job.
bool get_all(PyObject* tuple, const px::Job& job, int flags, Buffer* buffers, std::vector<px::Span>& spans,
             std::vector<int64_t>& sizes) noexcept {
  if (!PyTuple_Check(tuple)) {
    pfnc::raise_expected("tuple", tuple);
    return false;
  }
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(tuple)) != job.targets.size()) {
    PyErr_Format(PyExc_ValueError, "the job has %zu outputs, but %zd arrays were given", job.targets.size(),
                 PyTuple_GET_SIZE(tuple));
    return false;
  }
  for (std::size_t t = 0; t < job.targets.size(); ++t) {
    if (!buffers[t].get(PyTuple_GET_ITEM(tuple, t), flags)) return false;
    spans.push_back({buffers[t].data(), buffers[t].size()});
    sizes.push_back(buffers[t].size());
  }
  return true;
}

bool check_job(px::Job& job, int64_t packed, const std::vector<int64_t>& sizes, bool reading) noexcept {
  const char* wrong = px::check(job, packed, sizes);
  if (wrong == nullptr) {
    if (!job.general_only) px::choose_loops(job);
    return true;
  }
  if (*wrong == '\0') {
    PyErr_Format(PyExc_ValueError,
                 reading ? "data is too short: %lld bytes needed, %lld given"
                         : "size is too small: the job writes %lld bytes, %lld given",
                 static_cast<long long>(job.read_end), static_cast<long long>(packed));
  } else {
    PyErr_Format(PyExc_ValueError, "invalid conversion job: %s", wrong);
  }
  return false;
}

int64_t total(int64_t packed, const std::vector<int64_t>& sizes) noexcept {
  for (int64_t s : sizes) packed += s;
  return packed;
}

// ---------------------------------------------------------------- blocks
//
// Memory for large outputs. Fresh pages from the kernel cost more than the
// conversion that fills them (every one is faulted in and zeroed), so a block
// goes back to a small pool when the last array using it goes, and the next
// block of the same size comes from there. A type of its own, built from a
// spec: only a C type can hand out its memory through the buffer protocol,
// and its deallocation is exactly "nothing uses this memory any more".

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
std::vector<Kept> kept;  // most recently freed last; touched only with the interpreter lock held
PyTypeObject* block_type = nullptr;

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* block = reinterpret_cast<BlockObject*>(self);
  return PyBuffer_FillInfo(view, self, block->data, block->size, 0, flags);
}

void block_dealloc(PyObject* self) noexcept {
  auto* block = reinterpret_cast<BlockObject*>(self);
  Py_ssize_t total = block->size;
  for (const Kept& k : kept) total += k.size;
  if (block->size <= kept_bytes) {
    kept.push_back({block->data, block->size});
    // The oldest go first.
    while (kept.size() > kept_blocks || total > kept_bytes) {
      total -= kept.front().size;
      std::free(kept.front().data);
      kept.erase(kept.begin());
    }
  } else {
    std::free(block->data);
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
  for (auto k = kept.rbegin(); k != kept.rend(); ++k) {
    if (k->size == size) {
      data = k->data;
      kept.erase(std::next(k).base());
      break;
    }
  }
  if (data == nullptr && (data = std::malloc(size)) == nullptr) return PyErr_NoMemory();
  auto* block = PyObject_New(BlockObject, block_type);
  if (block == nullptr) {
    std::free(data);
    return nullptr;
  }
  block->data = data;
  block->size = size;
  return reinterpret_cast<PyObject*>(block);
}

// ---------------------------------------------------------------- functions

PyObject* convert_decode(PyObject* const* args) noexcept {
  px::Job job;
  if (!read_job(args[0], job)) return nullptr;
  Buffer data;
  if (!data.get(args[1], PyBUF_C_CONTIGUOUS)) return nullptr;
  Buffer outputs[max_targets];
  std::vector<px::Span> spans;
  std::vector<int64_t> sizes;
  if (!get_all(args[2], job, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE, outputs, spans, sizes) ||
      !check_job(job, data.size(), sizes, true)) {
    return nullptr;
  }
  if (total(job.read_end, sizes) < unlocked_from) {
    px::decode(job, data.data(), data.size(), spans);
  } else {
    Py_BEGIN_ALLOW_THREADS
    px::decode(job, data.data(), data.size(), spans);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyObject* convert_encode(PyObject* const* args) noexcept {
  px::Job job;
  if (!read_job(args[0], job)) return nullptr;
  Buffer images[max_targets];
  std::vector<px::Span> spans;
  std::vector<int64_t> sizes;
  if (!get_all(args[1], job, PyBUF_C_CONTIGUOUS, images, spans, sizes)) return nullptr;
  Py_ssize_t size = PyLong_AsSsize_t(args[2]);
  if (size == -1 && PyErr_Occurred()) return nullptr;
  if (size < 0) {
    PyErr_SetString(PyExc_ValueError, "size must not be negative");
    return nullptr;
  }
  // The job reads the images and writes the buffer: check it the other way round.
  if (!check_job(job, size, sizes, false)) return nullptr;
  Ref packed = steal(PyBytes_FromStringAndSize(nullptr, size));
  if (!packed) return nullptr;
  uint8_t* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(packed.get()));
  int64_t failed;
  if (total(size, sizes) < unlocked_from) {
    std::memset(out, 0, size);
    failed = px::encode(job, out, spans);
  } else {
    Py_BEGIN_ALLOW_THREADS
    std::memset(out, 0, size);
    failed = px::encode(job, out, spans);
    Py_END_ALLOW_THREADS
  }
  return failed < 0 ? packed.release() : PyLong_FromLongLong(failed);
}

const pfnc::FunctionSpec decode_spec{
    .name = "decode",
    .qualname = "decode",
    .doc = "decode(job: list[int], data: collections.abc.Buffer, outputs: tuple[numpy.ndarray, ...]) -> None\n\n"
           "Unpack `data` into the arrays `outputs` as `job` describes.\n\n"
           "Raises ValueError, and writes nothing, when `data` is shorter than the job\n"
           "needs or the job does not fit the arrays.",
    .params = {{"job", "list[int]"}, {"data", "collections.abc.Buffer"}, {"outputs", "tuple[numpy.ndarray, ...]"}},
    .returns = "None",
    .impl = convert_decode,
};

const pfnc::FunctionSpec encode_spec{
    .name = "encode",
    .qualname = "encode",
    .doc = "encode(job: list[int], images: tuple[numpy.ndarray, ...], size: int) -> bytes | int\n\n"
           "Pack the arrays `images` into `size` zeroed bytes as `job` describes.\n\n"
           "Returns the bytes, or the index of the first array holding a value that\n"
           "its component cannot hold.",
    .params = {{"job", "list[int]"}, {"images", "tuple[numpy.ndarray, ...]"}, {"size", "int"}},
    .returns = "bytes | int",
    .impl = convert_encode,
};

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

bool convert_body(pfnc::Module& m) noexcept {
  // Kept across a failed initialisation, which the next import runs again.
  if (block_type == nullptr) block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
  if (block_type == nullptr) return false;
  return m.set("Block", pfnc::borrow(reinterpret_cast<PyObject*>(block_type))) &&
         m.set("JOB_VERSION", steal(PyLong_FromLong(job_version))) && m.def(decode_spec) && m.def(encode_spec) &&
         m.def(block_function_spec);
}

}  // namespace

PFNC_MODULE(_convert, convert)
