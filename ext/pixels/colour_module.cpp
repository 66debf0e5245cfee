// Binding of the colour kernels: buffers checked and viewed, the interpreter lock given up around the work.
#include <cstring>

#include "colour.hpp"
#include "colour_x86.hpp"
#include "pfnc/pfnc.hpp"

namespace {

using pfnc::Ref;
using pfnc::steal;
namespace colour = pfnc::pixels::colour;

bool colour_body(pfnc::Module& m) noexcept;

pfnc::Module module("_colour",
                    "Colour kernels of to_rgb: luma and chroma to RGB, depth scaling and channel picking.\n\n"
                    "Every array is checked here; corvella.pfnc.pixels.colour works out what to ask.",
                    colour_body);

// Below this many pixels, giving up the interpreter lock costs more than it frees.
constexpr int64_t unlocked_from = 1 << 14;

// A buffer export with its strides, held until released.
class Held : public pfnc::HeldBuffer {
 public:
  // An array of unsigned bytes or 16-bit words of `ndim` dimensions.
  bool get(PyObject* object, int ndim, bool writable, const char* what) noexcept {
    if (!HeldBuffer::get(object, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO)) return false;
    if (!holds_uint8_or_uint16()) {
      PyErr_Format(PyExc_ValueError, "%s must hold uint8 or uint16 values, not format %s", what, format_name());
      return false;
    }
    if (view_.ndim != ndim) {
      PyErr_Format(PyExc_ValueError, "%s must have %d dimensions, not %d", what, ndim, view_.ndim);
      return false;
    }
    return true;
  }
  Py_ssize_t shape(int i) const noexcept { return view_.shape[i]; }
  Py_ssize_t stride(int i) const noexcept { return view_.strides[i]; }
  int itemsize() const noexcept { return static_cast<int>(view_.itemsize); }
  uint8_t* data() const noexcept { return static_cast<uint8_t*>(view_.buf); }
  colour::View view() const noexcept {
    return {data(), shape(0), shape(1), stride(0), stride(1), itemsize()};
  }
  // The lowest and one past the highest byte the view reaches.
  void extent(const uint8_t*& low, const uint8_t*& high) const noexcept {
    low = high = data();
    for (int i = 0; i < view_.ndim; ++i) {
      if (view_.shape[i] == 0) {
        high = low;
        return;
      }
      Py_ssize_t reach = (view_.shape[i] - 1) * view_.strides[i];
      (reach < 0 ? low : high) += reach;
    }
    high += view_.itemsize;
  }
};

// An (rows, columns, 3) array whose channels and pixels lie side by side, as the kernels write it.
bool picture_of(PyObject* object, Held& held, colour::Picture& picture) noexcept {
  if (!held.get(object, 3, true, "out")) return false;
  int itemsize = held.itemsize();
  if (held.shape(2) != 3 || held.stride(2) != itemsize || held.stride(1) != 3 * itemsize) {
    PyErr_SetString(PyExc_ValueError, "out must be (height, width, 3) with its pixels side by side in each row");
    return false;
  }
  picture = {held.data(), held.shape(0), held.shape(1), held.stride(0), itemsize};
  return true;
}

bool overlaps(const Held& a, const Held& b) noexcept {
  const uint8_t *a_low, *a_high, *b_low, *b_high;
  a.extent(a_low, a_high);
  b.extent(b_low, b_high);
  if (a_low < b_high && b_low < a_high) {
    PyErr_SetString(PyExc_ValueError, "out must not share memory with the input");
    return true;
  }
  return false;
}

// An int in [least, most].
bool read_int(PyObject* item, const char* what, int least, int most, int& value) noexcept {
  if (!PyLong_Check(item)) {
    pfnc::raise_expected("int", item);
    return false;
  }
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < least || v > most) {
    PyErr_Format(PyExc_ValueError, "%s holds %S, outside [%d, %d]", what, item, least, most);
    return false;
  }
  value = static_cast<int>(v);
  return true;
}

// A tuple of exactly `count` ints, each in [least, most].
bool read_ints(PyObject* tuple, const char* what, int count, int least, int most, int* values) noexcept {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != count) {
    PyErr_Format(PyExc_TypeError, "%s must be a tuple of %d ints", what, count);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (!read_int(PyTuple_GET_ITEM(tuple, i), what, least, most, values[i])) return false;
  }
  return true;
}

bool read_affine(PyObject* tuple, colour::Affine& affine) noexcept {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 13) {
    PyErr_SetString(PyExc_TypeError, "affine must be a tuple of 13 floats");
    return false;
  }
  double values[13];
  for (int i = 0; i < 13; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    if (!PyFloat_Check(item)) {
      pfnc::raise_expected("float", item);
      return false;
    }
    values[i] = PyFloat_AS_DOUBLE(item);
  }
  std::memcpy(affine.m, values, sizeof affine.m);
  affine.top = values[12];
  return true;
}

bool run(int64_t pixels, bool (*work)(const void*), const void* job) noexcept {
  bool done;
  if (pixels >= unlocked_from) {
    Py_BEGIN_ALLOW_THREADS
    done = work(job);
    Py_END_ALLOW_THREADS
  } else {
    done = work(job);
  }
  if (!done) PyErr_NoMemory();
  return done;
}

struct YcbcrJob {
  colour::View planes[3];
  int across, down;
  colour::Affine affine;
  colour::Picture out;
};

PyObject* colour_ycbcr(PyObject* const* args) noexcept {
  PyObject *planes = args[0], *sampling = args[2];
  if (!PyTuple_Check(planes) || PyTuple_GET_SIZE(planes) != 3) {
    PyErr_SetString(PyExc_TypeError, "planes must be a tuple of 3 arrays");
    return nullptr;
  }
  YcbcrJob job;
  int factors[2];
  if (!read_ints(sampling, "sampling", 2, 1, 4, factors) || !read_affine(args[3], job.affine)) return nullptr;
  job.across = factors[0];
  job.down = factors[1];
  Held held[3], out;
  static const char* names[3] = {"luma", "Cb", "Cr"};
  for (int i = 0; i < 3; ++i) {
    if (!held[i].get(PyTuple_GET_ITEM(planes, i), 2, false, names[i])) return nullptr;
    job.planes[i] = held[i].view();
  }
  if (!picture_of(args[1], out, job.out)) return nullptr;
  int64_t rows = job.out.rows, columns = job.out.columns;
  if (job.planes[0].rows != rows || job.planes[0].columns != columns) {
    PyErr_SetString(PyExc_ValueError, "luma and out must have the same height and width");
    return nullptr;
  }
  for (int i = 1; i < 3; ++i) {
    if (held[i].itemsize() != held[0].itemsize()) {
      PyErr_SetString(PyExc_ValueError, "luma and chroma must have the same dtype");
      return nullptr;
    }
    if (rows % job.down != 0 || columns % job.across != 0 || job.planes[i].rows != rows / job.down ||
        job.planes[i].columns != columns / job.across) {
      PyErr_Format(PyExc_ValueError, "%s must have one sample every %dx%d pixels of out", names[i], job.across,
                   job.down);
      return nullptr;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (overlaps(held[i], out)) return nullptr;
  }
  if (rows == 0 || columns == 0) Py_RETURN_NONE;
  auto work = [](const void* p) {
    auto* j = static_cast<const YcbcrJob*>(p);
    return colour::ycbcr(j->planes, j->across, j->down, j->affine, j->out);
  };
  if (!run(rows * columns, work, &job)) return nullptr;
  Py_RETURN_NONE;
}

struct ChannelsJob {
  colour::View image;
  int picks[3], widths[3], bits;
  colour::Picture out;
};

PyObject* colour_channels(PyObject* const* args) noexcept {
  ChannelsJob job;
  Held image, out;
  if (!image.get(args[0], 3, false, "image")) return nullptr;
  int channels = static_cast<int>(image.shape(2));
  if (image.stride(2) != image.itemsize()) {
    PyErr_SetString(PyExc_ValueError, "image must have the channels of a pixel side by side");
    return nullptr;
  }
  if (!picture_of(args[1], out, job.out)) return nullptr;
  int most_in = 8 * image.itemsize();
  if (!read_ints(args[2], "picks", 3, -1, channels - 1, job.picks) ||
      !read_ints(args[3], "widths", 3, 1, most_in, job.widths)) {
    return nullptr;
  }
  if (!read_int(args[4], "bits", 1, 8 * out.itemsize(), job.bits)) return nullptr;
  job.image = image.view();
  if (job.image.rows != job.out.rows || job.image.columns != job.out.columns) {
    PyErr_SetString(PyExc_ValueError, "image and out must have the same height and width");
    return nullptr;
  }
  if (overlaps(image, out)) return nullptr;
  if (job.out.rows == 0 || job.out.columns == 0) Py_RETURN_NONE;
  auto work = [](const void* p) {
    auto* j = static_cast<const ChannelsJob*>(p);
    return colour::channels(j->image, j->picks, j->widths, j->bits, j->out);
  };
  if (!run(job.out.rows * job.out.columns, work, &job)) return nullptr;
  Py_RETURN_NONE;
}

const pfnc::FunctionSpec ycbcr_spec{
    .name = "ycbcr",
    .qualname = "ycbcr",
    .doc = "ycbcr(planes: tuple[object, object, object], out: object, sampling: tuple[int, int], "
           "affine: tuple[float, ...]) -> None\n\n"
           "Writes RGB into out (height, width, 3) from planes (luma, Cb, Cr), 2-D uint8 or\n"
           "uint16 arrays with chroma sampled once every sampling = (across, down) pixels\n"
           "and interpolated linearly between samples. affine holds, per output channel,\n"
           "the factors of Y, Cb and Cr and a constant, then the largest output value.",
    .params = {{"planes", "tuple[object, object, object]"},
               {"out", "object"},
               {"sampling", "tuple[int, int]"},
               {"affine", "tuple[float, ...]"}},
    .returns = "None",
    .impl = colour_ycbcr,
};

const pfnc::FunctionSpec channels_spec{
    .name = "channels",
    .qualname = "channels",
    .doc = "channels(image: object, out: object, picks: tuple[int, int, int], widths: tuple[int, int, int], "
           "bits: int) -> None\n\n"
           "Writes out[..., c] = image channel picks[c] (-1: zero) scaled from widths[c]\n"
           "bits to `bits` bits, full scale to full scale with rounding. image is (height,\n"
           "width, channels), out (height, width, 3).",
    .params = {{"image", "object"},
               {"out", "object"},
               {"picks", "tuple[int, int, int]"},
               {"widths", "tuple[int, int, int]"},
               {"bits", "int"}},
    .returns = "None",
    .impl = colour_channels,
};

// VECTORS: the widest vector lines this process runs (CORVELLA_PFNC_VECTORS caps them), for tests and reports.
bool colour_body(pfnc::Module& m) noexcept {
  return m.def(ycbcr_spec) && m.def(channels_spec) &&
         m.set("VECTORS", steal(PyUnicode_FromString(pfnc::pixels::colour_x86::vectors())));
}

}  // namespace

PFNC_MODULE(_colour, module)
