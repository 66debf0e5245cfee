// Binding of the pixel loops: a format's plan as an object, buffers and arrays in and out, Python's errors.
#include <new>

#include "block.hpp"
#include "plan.hpp"
#include "pfnc/pfnc.hpp"

namespace {

using pfnc::Ref;
using pfnc::steal;
namespace px = pfnc::pixels;

bool convert_body(pfnc::Module& m) noexcept;

pfnc::Module convert("_convert",
                     "Conversion of packed pixel buffers to and from arrays of sample values.\n\n"
                     "plan() builds a format's Plan once, from a description of its layout that\n"
                     "corvella.pfnc.pixels.codec writes; every index in it is checked then. Each\n"
                     "call of the plan gives only the image's size and the buffers.",
                     convert_body);

// Below this many bytes, giving up the interpreter lock costs more than it frees.
constexpr int64_t unlocked_from = 1 << 16;
// From this size on, an output's memory is recycled (see block.cpp): a camera's
// frames are a few MiB, and fresh pages cost a frame as much as decoding it.
constexpr int64_t recycled_from = 1 << 20;

// ---------------------------------------------------------------- the description

class Reader {
 public:
  explicit Reader(PyObject* items) noexcept
      : items_(PySequence_Fast_ITEMS(items)), size_(PySequence_Fast_GET_SIZE(items)) {}
  bool next(int64_t& value) noexcept {
    if (at_ >= size_) return fail("it ends too early");
    PyObject* item = items_[at_++];
    if (!PyLong_Check(item)) {
      pfnc::raise_expected("int", item);
      return false;
    }
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return fail("a value out of range");
    if (v == -1 && PyErr_Occurred()) return false;
    value = v;
    return true;
  }
  bool count(std::size_t& value, std::size_t most, std::size_t least = 1) noexcept {
    int64_t v;
    if (!next(v)) return false;
    if (v < static_cast<int64_t>(least) || v > static_cast<int64_t>(most)) return fail("a count out of range");
    value = static_cast<std::size_t>(v);
    return true;
  }
  bool done() noexcept { return at_ == size_ || fail("it runs on past its end"); }
  static bool fail(const char* what) noexcept {
    PyErr_Format(PyExc_ValueError, "invalid plan description: %s", what);
    return false;
  }

 private:
  PyObject** items_;
  Py_ssize_t size_;
  Py_ssize_t at_ = 0;
};

// Throws std::bad_alloc only.
bool read_sample(Reader& r, px::Plan& plan) {
  px::Sample s{};
  int64_t kind;
  if (!r.next(s.target) || !r.next(s.element) || !r.next(s.step) || !r.next(s.pixel) || !r.next(s.width) ||
      !r.next(kind) || !r.count(s.fields, px::max_fields)) {
    return false;
  }
  if (kind < 0 || kind > 2) return Reader::fail("an unknown kind of value");
  s.kind = static_cast<px::ValueKind>(kind);
  s.first_field = plan.fields.size();
  for (std::size_t i = 0; i < s.fields; ++i) {
    px::Field f{};
    if (!r.next(f.bit) || !r.next(f.bits) || !r.next(f.shift)) return false;
    plan.fields.push_back(f);
  }
  plan.samples.push_back(s);
  return true;
}

// A description as codec writes it; false with an exception set. Throws std::bad_alloc only.
bool read_plan(PyObject* description, px::Plan& plan) {
  Ref items = steal(PySequence_Fast(description, "a plan description must be a sequence"));
  if (!items) return false;
  Reader r(items.get());
  std::size_t targets, planes;
  if (!r.count(targets, px::max_targets) || !r.count(planes, px::max_planes)) return false;
  for (std::size_t t = 0; t < targets; ++t) {
    px::Target target{};
    if (!r.next(target.itemsize) || !r.next(target.across) || !r.next(target.down) || !r.next(target.components)) {
      return false;
    }
    plan.targets.push_back(target);
  }
  for (std::size_t n = 0; n < planes; ++n) {
    px::Plane p{};
    std::size_t partials;
    if (!r.next(p.group_bytes) || !r.next(p.group_pixels) || !r.next(p.line_divisor) ||
        !r.count(partials, px::max_group_samples, 0)) {
      return false;
    }
    p.partial_bytes.resize(partials);
    for (int64_t& bytes : p.partial_bytes) {
      if (!r.next(bytes)) return false;
    }
    if (!r.count(p.samples, px::max_group_samples)) return false;
    p.first_sample = plan.samples.size();
    for (std::size_t i = 0; i < p.samples; ++i) {
      if (!read_sample(r, plan)) return false;
    }
    plan.planes.push_back(std::move(p));
  }
  return r.done();
}

// ---------------------------------------------------------------- the plan object

struct PlanObject {
  PyObject_HEAD
  px::Plan* plan;
  PyObject* name;   // the format's, for messages
  PyObject* dtype;  // of every output
  PyObject* keys;   // a tuple of component names for a dict of outputs, or None for one array
  Py_ssize_t nbytes;
};

PyTypeObject* plan_type = nullptr;

px::Plan& plan_of(PyObject* self) noexcept { return *reinterpret_cast<PlanObject*>(self)->plan; }
PyObject* name_of(PyObject* self) noexcept { return reinterpret_cast<PlanObject*>(self)->name; }

template <typename T>
Py_ssize_t capacity_bytes(const std::vector<T>& v) noexcept {
  return static_cast<Py_ssize_t>(v.capacity() * sizeof(T));
}

Py_ssize_t size_of(const px::Plan& plan) noexcept {
  Py_ssize_t size = sizeof(PlanObject) + sizeof(px::Plan) + capacity_bytes(plan.targets) + capacity_bytes(plan.planes) +
                    capacity_bytes(plan.samples) + capacity_bytes(plan.fields) + capacity_bytes(plan.shuffles);
  for (const px::Plane& p : plan.planes) size += capacity_bytes(p.partial_bytes);
  for (const px::ShuffleSet& set : plan.shuffles) size += capacity_bytes(set.planes) + capacity_bytes(set.targets);
  return size;
}

void plan_dealloc(PyObject* self) noexcept {
  auto* object = reinterpret_cast<PlanObject*>(self);
  delete object->plan;
  Py_XDECREF(object->name);
  Py_XDECREF(object->dtype);
  Py_XDECREF(object->keys);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* convert_plan(PyObject* const* args) noexcept {
  PyObject *name = args[0], *description = args[1], *dtype = args[2], *keys = args[3];
  if (!pfnc::check_str(name, "name")) return nullptr;
  if (keys != Py_None && !PyTuple_Check(keys)) {
    pfnc::raise_expected("tuple or None", keys);
    return nullptr;
  }
  int general = PyObject_IsTrue(args[4]);
  if (general < 0) return nullptr;
  auto* plan = new (std::nothrow) px::Plan;
  if (plan == nullptr) return PyErr_NoMemory();
  plan->general_only = general != 0;
  // Owned from here on: the object's deallocation frees it.
  Ref self = steal(reinterpret_cast<PyObject*>(PyObject_New(PlanObject, plan_type)));
  if (!self) {
    delete plan;
    return nullptr;
  }
  auto* object = reinterpret_cast<PlanObject*>(self.get());
  object->plan = plan;
  object->name = Py_NewRef(name);
  object->dtype = Py_NewRef(dtype);
  object->keys = Py_NewRef(keys);
  object->nbytes = 0;
  try {
    if (!read_plan(description, *plan)) return nullptr;
    if (const char* wrong = px::prepare(*plan)) {
      PyErr_Format(PyExc_ValueError, "invalid plan description: %s", wrong);
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (keys != Py_None && static_cast<std::size_t>(PyTuple_GET_SIZE(keys)) != plan->targets.size()) {
    PyErr_Format(PyExc_ValueError, "a plan of %zu outputs takes as many keys", plan->targets.size());
    return nullptr;
  }
  object->nbytes = size_of(*plan);
  return self.release();
}

// ---------------------------------------------------------------- sizes

// A width, height or stride: any integer operator.index takes but a bool,
// positive. `value` is INT64_MAX for one beyond any size memory can hold.
bool read_size(PyObject* arg, const char* what, int64_t& value) noexcept {
  if (PyBool_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "%s must be an integer, not bool", what);
    return false;
  }
  Ref index = pfnc::borrow(arg);
  if (!PyLong_CheckExact(arg)) {
    index = steal(PyNumber_Index(arg));
    if (!index) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be an integer, not %s", what, Py_TYPE(arg)->tp_name);
      return false;
    }
  }
  int overflow;
  long long v = pfnc::long_long_of(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v <= 0)) {
    PyErr_Format(PyExc_ValueError, "%s must be positive, got %S", what, index.get());
    return false;
  }
  value = overflow > 0 ? INT64_MAX : v;
  return true;
}

// The geometry of the call's image, or false with the error that names what does not fit.
bool geometry_of(PyObject* self, PyObject* width_arg, PyObject* height_arg, PyObject* stride_arg, int64_t& width,
                 int64_t& height, px::Geometry& geo) noexcept {
  int64_t stride = -1;
  if (!read_size(width_arg, "width", width) || !read_size(height_arg, "height", height) ||
      (stride_arg != Py_None && !read_size(stride_arg, "stride", stride))) {
    return false;
  }
  const px::Plan& plan = plan_of(self);
  PyObject* name = name_of(self);
  bool huge = width == INT64_MAX || height == INT64_MAX || stride == INT64_MAX;
  px::Misfit misfit = huge ? px::Misfit{px::Misfit::memory} : px::geometry(plan, width, height, stride, geo);
  switch (misfit.kind) {
    case px::Misfit::none:
      return true;
    case px::Misfit::sampling: {
      const px::Target& t = plan.targets[misfit.index];
      PyObject* keys = reinterpret_cast<PlanObject*>(self)->keys;
      PyErr_Format(PyExc_ValueError, "%U samples %S once every %lldx%lld pixels: %Sx%S is not a multiple", name,
                   keys == Py_None ? Py_None : PyTuple_GET_ITEM(keys, misfit.index), static_cast<long long>(t.across),
                   static_cast<long long>(t.down), width_arg, height_arg);
      return false;
    }
    case px::Misfit::packing: {
      const px::Plane& p = plan.planes[misfit.index];
      if (stride >= 0) {
        PyErr_Format(PyExc_ValueError, "%U packs %lld pixels together: a width of %lld is not a multiple of %lld", name,
                     static_cast<long long>(p.group_pixels), static_cast<long long>(width),
                     static_cast<long long>(p.group_pixels));
      } else {
        PyErr_Format(PyExc_ValueError,
                     "%U packs %lld pixels together: a stream of %lld pixels (%lld x %lld) is not a multiple "
                     "of %lld",
                     name, static_cast<long long>(p.group_pixels), static_cast<long long>(misfit.count),
                     static_cast<long long>(width), static_cast<long long>(height / p.line_divisor),
                     static_cast<long long>(p.group_pixels));
      }
      return false;
    }
    case px::Misfit::stride:
      PyErr_Format(PyExc_ValueError, "stride %lld is smaller than a line of %U at width %lld (%lld bytes)",
                   static_cast<long long>(stride), name, static_cast<long long>(width),
                   static_cast<long long>(misfit.count));
      return false;
    case px::Misfit::memory:
      PyErr_Format(PyExc_ValueError, "%Sx%S pixels of %U need over %lld bytes, more than memory can hold", width_arg,
                   height_arg, name, static_cast<long long>(INT64_MAX));
      return false;
  }
  return false;
}

// ---------------------------------------------------------------- buffers

// A buffer export, held until released.
class Buffer : public pfnc::HeldBuffer {
 public:
  uint8_t* data() const noexcept { return static_cast<uint8_t*>(view_.buf); }
  int64_t size() const noexcept { return view_.len; }
  bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
  bool read_only() const noexcept { return view_.readonly != 0; }
};

// The bytes the elements of output t take.
int64_t output_bytes(const px::Plan& plan, const px::Geometry& geo, std::size_t t) noexcept {
  const px::Target& target = plan.targets[t];
  int64_t bytes;
  if (__builtin_mul_overflow(geo.lines[t], geo.columns[t], &bytes) ||
      __builtin_mul_overflow(bytes, target.components * target.itemsize, &bytes)) {
    return INT64_MAX;
  }
  return bytes;
}

// Each output's buffer, which must be exactly its size: an array of another
// size (from an allocator replaced under us, or an image) is refused.
bool hold_all(PyObject* self, PyObject* const* arrays, const px::Geometry& geo, int flags, Buffer* buffers,
              px::Span* spans) noexcept {
  const px::Plan& plan = plan_of(self);
  for (std::size_t t = 0; t < plan.targets.size(); ++t) {
    if (!buffers[t].get(arrays[t], flags)) return false;
    int64_t expected = output_bytes(plan, geo, t);
    if (buffers[t].size() != expected) {
      PyErr_Format(PyExc_ValueError, "an array of %U has %lld bytes where %lld were expected", name_of(self),
                   static_cast<long long>(buffers[t].size()), static_cast<long long>(expected));
      return false;
    }
    spans[t] = {buffers[t].data(), buffers[t].size()};
  }
  return true;
}

// A new array for output t, from `empty`, or for large ones `recycled`, called as f(shape, dtype).
Ref new_output(PyObject* self, const px::Geometry& geo, std::size_t t, PyObject* empty, PyObject* recycled) noexcept {
  const px::Plan& plan = plan_of(self);
  const px::Target& target = plan.targets[t];
  Ref shape = steal(target.components > 1 ? Py_BuildValue("(LLL)", static_cast<long long>(geo.lines[t]),
                                                          static_cast<long long>(geo.columns[t]),
                                                          static_cast<long long>(target.components))
                                          : Py_BuildValue("(LL)", static_cast<long long>(geo.lines[t]),
                                                          static_cast<long long>(geo.columns[t])));
  if (!shape) return {};
  PyObject* call[2] = {shape.get(), reinterpret_cast<PlanObject*>(self)->dtype};
  PyObject* allocate = output_bytes(plan, geo, t) < recycled_from ? empty : recycled;
  return steal(PyObject_Vectorcall(allocate, call, 2, nullptr));
}

bool lock_free(int64_t bytes) noexcept { return bytes >= unlocked_from; }

// ---------------------------------------------------------------- methods

PyObject* plan_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 6) {
    PyErr_Format(PyExc_TypeError, "decode() takes 6 arguments (%zd given)", nargs);
    return nullptr;
  }
  px::Geometry geo;
  int64_t width, height;
  if (!geometry_of(self, args[1], args[2], args[3], width, height, geo)) return nullptr;
  Buffer data;
  if (!data.get(args[0], PyBUF_FULL_RO)) return nullptr;
  if (!data.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "data must be C-contiguous");
    return nullptr;
  }
  if (data.size() < geo.read_end) {
    PyErr_Format(PyExc_ValueError, "data is too short: %lldx%lld pixels of %U need %lld bytes, %lld given",
                 static_cast<long long>(width), static_cast<long long>(height), name_of(self),
                 static_cast<long long>(geo.read_end), static_cast<long long>(data.size()));
    return nullptr;
  }
  const px::Plan& plan = plan_of(self);
  Ref outputs[px::max_targets];
  PyObject* arrays[px::max_targets];
  for (std::size_t t = 0; t < plan.targets.size(); ++t) {
    if (!(outputs[t] = new_output(self, geo, t, args[4], args[5]))) return nullptr;
    arrays[t] = outputs[t].get();
  }
  Buffer buffers[px::max_targets];
  px::Span spans[px::max_targets];
  if (!hold_all(self, arrays, geo, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE, buffers, spans)) return nullptr;
  if (lock_free(geo.read_end)) {
    Py_BEGIN_ALLOW_THREADS
    px::decode(plan, geo, data.data(), data.size(), spans);
    Py_END_ALLOW_THREADS
  } else {
    px::decode(plan, geo, data.data(), data.size(), spans);
  }
  PyObject* keys = reinterpret_cast<PlanObject*>(self)->keys;
  if (keys == Py_None) return outputs[0].release();
  Ref result = steal(PyDict_New());
  if (!result) return nullptr;
  for (std::size_t t = 0; t < plan.targets.size(); ++t) {
    if (PyDict_SetItem(result.get(), PyTuple_GET_ITEM(keys, t), arrays[t]) < 0) return nullptr;
  }
  return result.release();
}

// The caller's buffer for an encoded frame of `total` bytes, refused before
// anything is written unless it takes them all; none of the images may lie in it.
bool hold_out(PyObject* self, PyObject* out, int64_t total, const px::Span* images, std::size_t count,
              Buffer& buffer) noexcept {
  if (!buffer.get(out, PyBUF_FULL_RO)) return false;
  if (buffer.read_only()) {
    PyErr_Format(PyExc_ValueError, "out is read-only: a %s cannot take the frame", Py_TYPE(out)->tp_name);
    return false;
  }
  if (!buffer.c_contiguous()) {
    PyErr_SetString(PyExc_ValueError, "out must be C-contiguous");
    return false;
  }
  if (buffer.size() < total) {
    PyErr_Format(PyExc_ValueError, "out is too small: the frame of %U takes %lld bytes, out has %lld", name_of(self),
                 static_cast<long long>(total), static_cast<long long>(buffer.size()));
    return false;
  }
  const uint8_t *start = buffer.data(), *end = start + total;
  for (std::size_t t = 0; t < count; ++t) {
    if (images[t].data < end && start < images[t].data + images[t].size) {
      PyErr_SetString(PyExc_ValueError, "out shares memory with the image it is to take");
      return false;
    }
  }
  return true;
}

PyObject* plan_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != 4 && nargs != 5) {
    PyErr_Format(PyExc_TypeError, "encode() takes 4 or 5 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* out_arg = nargs == 5 ? args[4] : Py_None;
  const px::Plan& plan = plan_of(self);
  PyObject* images = args[0];
  if (!PyTuple_Check(images) || static_cast<std::size_t>(PyTuple_GET_SIZE(images)) != plan.targets.size()) {
    PyErr_Format(PyExc_TypeError, "images must be a tuple of %zu arrays", plan.targets.size());
    return nullptr;
  }
  px::Geometry geo;
  int64_t width, height;
  if (!geometry_of(self, args[1], args[2], args[3], width, height, geo)) return nullptr;
  Buffer buffers[px::max_targets];
  px::Span spans[px::max_targets];
  if (!hold_all(self, PySequence_Fast_ITEMS(images), geo, PyBUF_C_CONTIGUOUS, buffers, spans)) return nullptr;
  Ref result;
  Buffer held;
  uint8_t* out;
  if (out_arg == Py_None) {
    // Every byte is written: the new bytes need no zeros first.
    if (!(result = steal(PyBytes_FromStringAndSize(nullptr, geo.total)))) return nullptr;
    out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get()));
  } else {
    if (!hold_out(self, out_arg, geo.total, spans, plan.targets.size(), held)) return nullptr;
    result = pfnc::borrow(out_arg);
    out = held.data();
  }
  px::Overflow overflow;
  if (lock_free(geo.total)) {
    Py_BEGIN_ALLOW_THREADS
    overflow = px::encode(plan, geo, out, spans);
    Py_END_ALLOW_THREADS
  } else {
    overflow = px::encode(plan, geo, out, spans);
  }
  if (overflow.target < 0) return result.release();
  return Py_BuildValue("(LL)", static_cast<long long>(overflow.target), static_cast<long long>(overflow.element));
}

PyObject* plan_sizeof(PyObject* self, PyObject*) noexcept {
  return PyLong_FromSsize_t(reinterpret_cast<PlanObject*>(self)->nbytes);
}

PyMethodDef plan_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plan_decode)), METH_FASTCALL,
     "decode($self, data, width, height, stride, empty, recycled)\n--\n\n"
     "New arrays of the sample values of `data`, an image of width x height pixels\n"
     "(stride: None, or bytes from one line to the next): one array, or a dict by\n"
     "component. Each comes from empty(shape, dtype), or from recycled(shape, dtype)\n"
     "from 1 MiB on."},
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plan_encode)), METH_FASTCALL,
     "encode($self, images, width, height, stride, out=None)\n--\n\n"
     "The packed frame of `images`, a tuple of C-contiguous arrays in output order:\n"
     "new bytes, or written into `out` (a writable buffer, None for bytes) and `out`\n"
     "returned; or (output, element) of the first value its component cannot hold,\n"
     "the frame's bytes of `out` then zeroed."},
    {"__sizeof__", plan_sizeof, METH_NOARGS, "__sizeof__($self)\n--\n\nBytes the plan takes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot plan_slots[] = {
    {Py_tp_doc, const_cast<char*>("A pixel format's conversion plan, made by plan().")},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {Py_tp_methods, plan_methods},
    {0, nullptr},
};

PyType_Spec plan_spec = {"corvella.pfnc.pixels._convert.Plan", sizeof(PlanObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, plan_slots};

// ---------------------------------------------------------------- functions

const pfnc::FunctionSpec plan_function_spec{
    .name = "plan",
    .qualname = "plan",
    .doc = "plan(name: str, description: list[int], dtype: object, keys: tuple[str, ...] | None, general: bool = False)"
           " -> Plan\n\n"
           "The plan of format `name` from the description of its layout; its outputs\n"
           "have element type `dtype` and are returned in a dict by `keys`, or alone for\n"
           "None. With `general`, it keeps to the general loop, against which the faster\n"
           "loops are tested. Raises ValueError for a description it cannot follow.",
    .params = {{"name", "str"},
               {"description", "list[int]"},
               {"dtype", "object"},
               {"keys", "tuple[str, ...] | None"},
               {"general", "bool", pfnc::Default::false_}},
    .returns = "Plan",
    .impl = convert_plan,
};

Ref constant(int64_t value) noexcept { return steal(PyLong_FromLongLong(value)); }

bool convert_body(pfnc::Module& m) noexcept {
  // Kept across a failed initialisation, which the next import runs again.
  if (plan_type == nullptr) plan_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&plan_spec));
  if (plan_type == nullptr) return false;
  return m.set("Plan", pfnc::borrow(reinterpret_cast<PyObject*>(plan_type))) && m.def(plan_function_spec) &&
         px::define_blocks(m) && m.set("MAX_OUTPUTS", constant(px::max_targets)) &&
         m.set("MAX_PLANES", constant(px::max_planes)) && m.set("MAX_GROUP_SAMPLES", constant(px::max_group_samples)) &&
         m.set("MAX_GROUP_BYTES", constant(px::max_group_bytes)) && m.set("MAX_FIELDS", constant(px::max_fields));
}

}  // namespace

PFNC_MODULE(_convert, convert)
