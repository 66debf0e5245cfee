// Binding of the demosaicing loops: arrays in and out, the arguments checked, Python's errors.
#include <algorithm>

#include "demosaic.hpp"
#include "pfnc/pfnc.hpp"

namespace {

namespace dm = pfnc::pixels::demosaic;

bool demosaic_body(pfnc::Module& m) noexcept;

pfnc::Module module("_demosaic",
                    "Demosaicing of Bayer mosaics and BiColor pairs into RGB, into arrays the caller\n"
                    "gives. Samples are uint8 or uint16; rows may have any stride.",
                    demosaic_body);

// An image's buffer export, held until released.
class View : public pfnc::HeldBuffer {
 public:
  // The image `name` of `ndim` dimensions, `channels` samples contiguous per pixel (ndim 3) and pixels
  // contiguous along a row, of uint8 or uint16 samples.
  bool get(PyObject* object, const char* name, int ndim, Py_ssize_t channels, bool writable) noexcept;
  const Py_buffer& operator*() const noexcept { return view_; }
  int64_t height() const noexcept { return view_.shape[0]; }
  int64_t width() const noexcept { return view_.shape[1]; }
  int64_t stride() const noexcept { return view_.strides[0]; }
  int itemsize() const noexcept { return static_cast<int>(view_.itemsize); }
  // The bytes the image spans, whichever way its rows go.
  const uint8_t* lowest() const noexcept { return base() + std::min<int64_t>(0, (height() - 1) * stride()); }
  const uint8_t* beyond() const noexcept {
    return base() + std::max<int64_t>(0, (height() - 1) * stride()) + width() * pixel_bytes();
  }
  bool empty() const noexcept { return height() == 0 || width() == 0; }

 private:
  const uint8_t* base() const noexcept { return static_cast<const uint8_t*>(view_.buf); }
  int64_t pixel_bytes() const noexcept { return view_.ndim == 3 ? view_.shape[2] * view_.itemsize : view_.itemsize; }
};

bool View::get(PyObject* object, const char* name, int ndim, Py_ssize_t channels, bool writable) noexcept {
  if (!PyObject_CheckBuffer(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an array (an object with the buffer protocol), not %T", name, object);
    return false;
  }
  if (!HeldBuffer::get(object, PyBUF_STRIDES | PyBUF_FORMAT)) return false;
  if (!holds_uint8_or_uint16()) {
    PyErr_Format(PyExc_TypeError, "%s must hold uint8 or uint16 samples, not format '%s'", name, format_name());
    return false;
  }
  if (view_.ndim != ndim || (ndim == 3 && view_.shape[2] != channels)) {
    if (ndim == 2) {
      PyErr_Format(PyExc_ValueError, "%s must have 2 dimensions (height, width), not %d", name, view_.ndim);
    } else {
      PyErr_Format(PyExc_ValueError, "%s must have the shape (height, width, %zd)", name, channels);
    }
    return false;
  }
  if (view_.strides[1] != channels * view_.itemsize || (ndim == 3 && view_.strides[2] != view_.itemsize)) {
    PyErr_Format(PyExc_ValueError, "%s must have its samples contiguous along each row", name);
    return false;
  }
  if (writable && view_.readonly) {
    PyErr_Format(PyExc_ValueError, "%s must be writable", name);
    return false;
  }
  return true;
}

// The one of `allowed` (a null-ended list) that `arg` equals: its index, or -1 with an error set.
int choice(PyObject* arg, const char* name, const char* const* allowed, const char* listed) noexcept {
  if (!PyUnicode_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str (one of %s), not %T", name, listed, arg);
    return -1;
  }
  for (int i = 0; allowed[i] != nullptr; ++i) {
    if (PyUnicode_EqualToUTF8(arg, allowed[i])) return i;
  }
  PyErr_Format(PyExc_ValueError, "%s must be one of %s, not %R", name, listed, arg);
  return -1;
}

constexpr const char* tiles[] = {"RGGB", "BGGR", "GRBG", "GBRG", nullptr};
constexpr const char* tiles_listed = "'RGGB', 'BGGR', 'GRBG', 'GBRG'";
constexpr int red_rows[] = {0, 1, 0, 1};
constexpr int red_columns[] = {0, 1, 1, 0};
constexpr const char* methods[] = {"bilinear", "gradient", nullptr};
constexpr const char* methods_listed = "'bilinear', 'gradient'";
constexpr const char* firsts[] = {"R", "B", nullptr};

// The job of images `in` and `out` of the same size and sample type, once the other arguments are read.
bool job_of(const View& in, const View& out, PyObject* method_arg, PyObject* bits_arg, PyObject* blue_first_arg,
            dm::Job& job) noexcept {
  int method = choice(method_arg, "method", methods, methods_listed);
  if (method < 0) return false;
  if (out.height() != in.height() || out.width() != in.width()) {
    PyErr_Format(PyExc_ValueError, "out has %lld x %lld pixels (height x width) where the input has %lld x %lld",
                 static_cast<long long>(out.height()), static_cast<long long>(out.width()),
                 static_cast<long long>(in.height()), static_cast<long long>(in.width()));
    return false;
  }
  if (out.itemsize() != in.itemsize()) {
    PyErr_SetString(PyExc_TypeError, "out must have the input's sample type (uint8 or uint16)");
    return false;
  }
  if (!in.empty() && in.lowest() < out.beyond() && out.lowest() < in.beyond()) {
    PyErr_SetString(PyExc_ValueError, "out must not share memory with the input");
    return false;
  }
  pfnc::Ref bits = pfnc::steal(PyNumber_Index(bits_arg));
  if (!bits) return false;
  int overflow;
  long long most = 8LL * in.itemsize(), value = PyLong_AsLongLongAndOverflow(bits.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 1 || value > most) {
    PyErr_Format(PyExc_ValueError, "bits must be 1..%lld for uint%lld samples, not %R", most, most, bits.get());
    return false;
  }
  int blue_first = PyObject_IsTrue(blue_first_arg);
  if (blue_first < 0) return false;
  job = {.in = {static_cast<const uint8_t*>((*in).buf), in.stride()},
         .out = {static_cast<uint8_t*>((*out).buf), out.stride()},
         .width = in.width(),
         .height = in.height(),
         .itemsize = in.itemsize(),
         .maximum = static_cast<uint32_t>((1ULL << value) - 1),
         .method = static_cast<dm::Method>(method),
         .blue_first = blue_first != 0};
  return true;
}

// What sets the two functions apart: their input's name and shape, their third argument, their kernel.
struct Entry {
  const char* format;  // for PyArg_ParseTupleAndKeywords
  const char* keywords[7];
  Py_ssize_t channels;  // of the input, 1 for a 2-D mosaic
  const char* const* choices;
  const char* listed;
  void (*kernel)(const dm::Job& job, int choice) noexcept;
};

PyObject* call(const Entry& entry, PyObject* args, PyObject* kwargs) noexcept {
  PyObject *in_arg, *out_arg, *choice_arg, *method_arg, *bits_arg, *blue_first_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, entry.format, const_cast<char**>(entry.keywords), &in_arg, &out_arg,
                                   &choice_arg, &method_arg, &bits_arg, &blue_first_arg)) {
    return nullptr;
  }
  int chosen = choice(choice_arg, entry.keywords[2], entry.choices, entry.listed);
  if (chosen < 0) return nullptr;
  View in, out;
  dm::Job job;
  if (!in.get(in_arg, entry.keywords[0], entry.channels == 1 ? 2 : 3, entry.channels, false) ||
      !out.get(out_arg, "out", 3, 3, true) || !job_of(in, out, method_arg, bits_arg, blue_first_arg, job)) {
    return nullptr;
  }
  if (job.width > 0 && job.height > 0) {
    Py_BEGIN_ALLOW_THREADS
    entry.kernel(job, chosen);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

const Entry demosaic_entry{"OOOOOO:demosaic",
                           {"mosaic", "out", "tile", "method", "bits", "blue_first", nullptr},
                           1,
                           tiles,
                           tiles_listed,
                           [](const dm::Job& job, int tile) noexcept { dm::demosaic(job, red_rows[tile], red_columns[tile]); }};
const Entry bicolor_entry{"OOOOOO:bicolor",
                          {"pairs", "out", "first", "method", "bits", "blue_first", nullptr},
                          2,
                          firsts,
                          "'R', 'B'",
                          [](const dm::Job& job, int first) noexcept { dm::bicolor(job, first == 0); }};

PyObject* demosaic_function(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return call(demosaic_entry, args, kwargs);
}
PyObject* bicolor_function(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return call(bicolor_entry, args, kwargs);
}

PyMethodDef functions[] = {
    {"demosaic", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(demosaic_function)),
     METH_VARARGS | METH_KEYWORDS,
     "demosaic(mosaic, out, tile, method, bits, blue_first)\n--\n\n"
     "Writes into `out` (height, width, 3) the RGB image of the Bayer `mosaic`\n"
     "(height, width), both uint8 or both uint16. `tile` is the 2x2 tile read row\n"
     "by row from the top-left pixel: 'RGGB', 'BGGR', 'GRBG' or 'GBRG'. `method` is\n"
     "'bilinear' or 'gradient' (gradient-corrected linear interpolation). Results\n"
     "are rounded and clipped to `bits` significant bits; `blue_first` writes B, G, R."},
    {"bicolor", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bicolor_function)),
     METH_VARARGS | METH_KEYWORDS,
     "bicolor(pairs, out, first, method, bits, blue_first)\n--\n\n"
     "Writes into `out` (height, width, 3) the RGB image of BiColor `pairs`\n"
     "(height, width, 2): each pixel's red-or-blue sample, then its green. `first`\n"
     "is the colour of even columns, 'R' or 'B'; a pixel's missing colour comes\n"
     "from its row neighbours. Other arguments as for demosaic()."},
    {nullptr, nullptr, 0, nullptr},
};

bool demosaic_body(pfnc::Module& m) noexcept {
  for (PyMethodDef* f = functions; f->ml_name != nullptr; ++f) {
    if (!m.set(f->ml_name, pfnc::steal(PyCMethod_New(f, nullptr, m.name(), nullptr)))) return false;
  }
  return true;
}

}  // namespace

PFNC_MODULE(_demosaic, module)
