// The number-of-bits piece of a pixel-format name: Size.
#include <cstdint>
#include <cstring>

#include "pfnc/pfnc.hpp"

namespace {

using pfnc::borrow;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

bool widths_body(pfnc::Module& m) noexcept;

struct State {
  pfnc::Kept zero;         // the int 0
  pfnc::Kept builtin_max;  // builtins.max as imported, to tell when the global `max` is still it
};

pfnc::ModuleWith<State> widths("widths",
                    "Module for handling the size of pixel formats.\n\n"
                    "This module provides the `Size` class for representing the size of pixel formats\n"
                    "and methods for converting between designations and size representations.\n",
                    widths_body);

Str s_Size{"Size"};
Str s_PixelFormatValueReject{"PixelFormatValueReject"};
Str s_sizes{"sizes"};
Str s_zfill{"zfill"};
Str s_empty{""};
Str s_dataclass{"dataclass"};
Str s_max{"max"};

Ref sizes_of(PyObject* self) noexcept { return steal(PyObject_GetAttr(self, s_sizes.get())); }

// ---------------------------------------------------------------- validation

// 1 if some element compares <= 0, 0 if none does, -1 on error.
int is_non_positive(PyObject* a) noexcept {
  int sign;
  if (PyLong_CheckExact(a) && PyLong_GetSign(a, &sign) == 0) return sign <= 0;
  return PyObject_RichCompareBool(a, widths.state.zero.get(), Py_LE);
}

int has_non_positive(PyObject* sizes) noexcept {
  if (PyList_CheckExact(sizes)) {
    // As the list's iterator walks it: a comparison may change the list, so
    // the length is read again at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sizes); ++i) {
      int found = is_non_positive(borrow(PyList_GET_ITEM(sizes, i)).get());
      if (found != 0) return found;
    }
    return 0;
  }
  Ref it = steal(PyObject_GetIter(sizes));
  if (!it) return -1;
  while (Ref a = steal(PyIter_Next(it.get()))) {
    int found = is_non_positive(a.get());
    if (found != 0) return found;
  }
  return PyErr_Occurred() ? -1 : 0;
}

PyObject* size_post_init(PyObject* const* args) noexcept {
  Ref sizes = sizes_of(args[0]);
  if (!sizes) return nullptr;
  int found = has_non_positive(sizes.get());
  if (found < 0) return nullptr;
  if (found == 0) Py_RETURN_NONE;
  // The comparisons may have run code: show the list as it is now.
  sizes = sizes_of(args[0]);
  Ref text = sizes ? steal(PyObject_Format(sizes.get(), s_empty.get())) : Ref();
  Ref message = text ? steal(PyUnicode_FromFormat("Sizes must all be larger than 0 %U.", text.get())) : Ref();
  return message ? widths.raise(s_PixelFormatValueReject, message.get()) : nullptr;
}

// ---------------------------------------------------------------- sequence

// len(size): the class's length slots would call __len__ and read the int it
// returns back into a number. While __len__ is size_len they do its work
// directly; assigning or deleting __len__ on the class resets them, and a
// subclass gets the usual slots.
Py_ssize_t size_length(PyObject* self) noexcept {
  Ref sizes = sizes_of(self);
  return sizes ? PyObject_Size(sizes.get()) : -1;
}

PyObject* size_len(PyObject* const* args) noexcept {
  Py_ssize_t n = size_length(args[0]);
  return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

bool take_length_slots(PyObject* cls) noexcept {
  if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) return true;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref dict = steal(PyType_GetDict(type));
  PyObject* len = nullptr;
  if (!dict || PyDict_GetItemStringRef(dict.get(), "__len__", &len) < 0) return false;
  Ref held = steal(len);
  if (len == nullptr || pfnc::direct_impl(len, 1) != size_len || type->tp_as_sequence == nullptr ||
      type->tp_as_mapping == nullptr) {
    return true;
  }
  type->tp_as_sequence->sq_length = size_length;
  type->tp_as_mapping->mp_length = size_length;
  return true;
}

PyObject* size_getitem(PyObject* const* args) noexcept {
  Ref index = pfnc::to_int(args[1], "item");
  if (!index) return nullptr;
  Ref sizes = sizes_of(args[0]);
  return sizes ? PyObject_GetItem(sizes.get(), index.get()) : nullptr;
}

PyObject* size_eq(PyObject* const* args) noexcept {
  Ref size_class = widths.global(s_Size);
  if (!size_class) return nullptr;
  int is_size = PyObject_IsInstance(args[1], size_class.get());
  if (is_size <= 0) return is_size < 0 ? nullptr : Py_NewRef(Py_False);
  Ref mine = sizes_of(args[0]);
  Ref theirs = mine ? sizes_of(args[1]) : Ref();
  return theirs ? PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ) : nullptr;
}

// ---------------------------------------------------------------- composing

int decimal_digits(unsigned long long v) noexcept {
  int digits = 1;
  for (; v >= 10; v /= 10) ++digits;
  return digits;
}

// len(str(v))
int text_width(long long v) noexcept {
  return v < 0 ? 1 + decimal_digits(-static_cast<unsigned long long>(v)) : decimal_digits(static_cast<unsigned long long>(v));
}

// str(v).zfill(width) at out; returns the end. zfill keeps the sign in front of the zeros.
char* write_padded(char* out, long long v, int width) noexcept {
  unsigned long long magnitude = v < 0 ? -static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  int digits = decimal_digits(magnitude);
  if (v < 0) *out++ = '-';
  for (int k = digits + (v < 0); k < width; ++k) *out++ = '0';
  char* end = out + digits;
  do {
    *--end = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  return out + digits;
}

// Lists of machine-sized ints, the usual case, are written straight into the
// new str. Returns empty without an exception set when the list does not qualify.
Ref designation_of_small_ints(PyObject* sizes) noexcept {
  Py_ssize_t n = PyList_GET_SIZE(sizes);
  long long first = 0, largest = 0;
  bool all_equal = true;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(sizes, i);
    if (!PyLong_CheckExact(item)) return {};
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow) return {};
    if (i == 0) first = largest = v;
    all_equal = all_equal && v == first;
    if (v > largest) largest = v;
  }
  // A single digit is one of the interpreter's cached one-character strings.
  if (all_equal && first >= 0 && first <= 9) return steal(PyUnicode_FromOrdinal('0' + static_cast<int>(first)));
  int width = all_equal ? 0 : text_width(largest);
  if (all_equal) n = 1;
  // Nothing here runs Python code, so the list reads the same the second time.
  Py_ssize_t length = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    int w = text_width(PyLong_AsLongLong(PyList_GET_ITEM(sizes, i)));
    length += w > width ? w : width;
  }
  Ref text = steal(PyUnicode_New(length, 127));
  if (!text) return {};
  char* out = static_cast<char*>(PyUnicode_DATA(text.get()));
  for (Py_ssize_t i = 0; i < n; ++i) out = write_padded(out, PyLong_AsLongLong(PyList_GET_ITEM(sizes, i)), width);
  return text;
}

Ref designation_of_any(PyObject* sizes) noexcept {
  Ref distinct = steal(PySet_New(sizes));
  if (!distinct) return {};
  if (PySet_GET_SIZE(distinct.get()) <= 1) {
    Ref first = steal(PyObject_GetItem(sizes, widths.state.zero.get()));  // sizes[0], a mapping's key 0 too
    return first ? steal(PyObject_Str(first.get())) : Ref();
  }
  Ref largest = widths.call(s_max, {sizes});
  Ref as_int = largest ? steal(PyNumber_Long(largest.get())) : Ref();
  Ref text = as_int ? steal(PyObject_Str(as_int.get())) : Ref();
  Ref width = text ? steal(PyLong_FromSsize_t(PyUnicode_GET_LENGTH(text.get()))) : Ref();
  Ref parts = width ? steal(PyList_New(0)) : Ref();
  Ref it = parts ? steal(PyObject_GetIter(sizes)) : Ref();
  if (!it) return {};
  while (Ref item = steal(PyIter_Next(it.get()))) {
    Ref item_text = steal(PyObject_Str(item.get()));
    PyObject* call_args[] = {item_text.get(), width.get()};
    Ref padded = item_text ? steal(PyObject_VectorcallMethod(s_zfill.get(), call_args, 2, nullptr)) : Ref();
    if (!padded || PyList_Append(parts.get(), padded.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return steal(PyUnicode_Join(s_empty.get(), parts.get()));
}

PyObject* size_designation(PyObject* const* args) noexcept {
  Ref sizes = sizes_of(args[0]);
  if (!sizes) return nullptr;
  Py_ssize_t n = PyObject_Size(sizes.get());
  if (n < 0) return nullptr;
  if (n == 0) return Py_NewRef(s_empty.get());
  // The fast path finds the largest itself: only while `max` is the builtin.
  Ref max = widths.global(s_max);
  if (!max) PyErr_Clear();  // raised again where max is called, if it is
  if (PyList_CheckExact(sizes.get()) && max && max.get() == widths.state.builtin_max.get()) {
    if (Ref text = designation_of_small_ints(sizes.get())) return text.release();
    if (PyErr_Occurred()) return nullptr;
  }
  return designation_of_any(sizes.get()).release();
}

// ---------------------------------------------------------------- reading

// Other scripts' digits, and the host's own errors (superscripts, digit limit).
[[gnu::noinline]] Ref int_of_any(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
  Ref chunk = steal(PyUnicode_Substring(text, start, end));
  return chunk ? steal(PyLong_FromUnicodeObject(chunk.get(), 10)) : Ref();
}

// int(text[start:end]) for a run of characters that str.isdigit() accepts;
// inline for the short ASCII runs of every name.
[[gnu::always_inline]] inline Ref int_of(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
  if (end - start > 18 || !PyUnicode_IS_ASCII(text)) return int_of_any(text, start, end);
  const char* chars = static_cast<const char*>(PyUnicode_DATA(text));
  long long value = 0;
  for (Py_ssize_t i = start; i < end; ++i) value = value * 10 + (chars[i] - '0');
  return steal(PyLong_FromLongLong(value));
}

// text[a:a + n] == text[b:b + n]
bool same_chars(PyObject* text, Py_ssize_t a, Py_ssize_t b, long long n) noexcept {
  auto kind = static_cast<size_t>(PyUnicode_KIND(text));
  const char* data = static_cast<const char*>(PyUnicode_DATA(text));
  if (kind == 1 && n <= 4) {  // the usual widths, without a call
    for (long long i = 0; i < n; ++i) {
      if (data[a + i] != data[b + i]) return false;
    }
    return true;
  }
  return std::memcmp(data + a * kind, data + b * kind, static_cast<size_t>(n) * kind) == 0;
}

// Whether all eight bytes are '0' to '9': a high nibble of 3, and a low one
// that adding 6 keeps within its nibble. Long texts are mostly digits.
bool eight_digits(const char* chars) noexcept {
  constexpr uint64_t nibbles = 0x0F0F0F0F0F0F0F0F, threes = 0x3030303030303030, sixes = 0x0606060606060606;
  uint64_t eight;
  std::memcpy(&eight, chars, sizeof eight);
  return (eight & ~nibbles) == threes && (((eight & nibbles) + sixes) & ~nibbles) == 0;
}

Py_ssize_t digit_run_end(PyObject* text, Py_ssize_t start) noexcept {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t i = start;
  if (PyUnicode_IS_ASCII(text)) {
    const char* chars = static_cast<const char*>(data);
    while (length - i >= 8 && eight_digits(chars + i)) i += 8;
    while (i < length && chars[i] >= '0' && chars[i] <= '9') ++i;
  } else {
    while (i < length && Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) ++i;
  }
  return i;
}

pfnc::Construct construct_size;

bool is_positive_int(PyObject* value) noexcept {
  int overflow;
  return PyLong_CheckExact(value) && (pfnc::long_long_of(value, &overflow) > 0 || overflow > 0);
}

// Size(sizes_list), for a list this module has just built. __post_init__
// accepts a list of ints all above zero without running Python code.
Ref new_size(PyObject* sizes_list, bool all_positive) noexcept {
  if (all_positive) return construct_size.stored(widths, s_Size, {sizes_list});
  return construct_size(widths, s_Size, {sizes_list});
}

// (Size(sizes_list), rest) for a list of one value repeated, or empty.
Ref sized(PyObject* sizes_list, PyObject* rest) noexcept {
  bool all_positive = PyList_GET_SIZE(sizes_list) == 0 || is_positive_int(PyList_GET_ITEM(sizes_list, 0));
  Ref size = new_size(sizes_list, all_positive);
  return size ? pfnc::pair(size.get(), rest) : Ref();
}

PyObject* size_from_designation(PyObject* const* args) noexcept {
  PyObject* text = args[0];
  if (!pfnc::check_str(text, "designation")) return nullptr;
  Ref channels = pfnc::to_int(args[1], "number_of_channels");
  if (!channels) return nullptr;
  int overflow;
  long long n = pfnc::long_long_of(channels.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return nullptr;

  if (!overflow && n == 0) {
    Ref empty = steal(PyList_New(0));
    return empty ? sized(empty.get(), text).release() : nullptr;
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (length == 0) Py_RETURN_NONE;
  Py_ssize_t start = PyUnicode_READ_CHAR(text, 0) == '_' ? 1 : 0;
  Py_ssize_t end = digit_run_end(text, start);
  Py_ssize_t run = end - start;
  if (run == 0) Py_RETURN_NONE;
  Ref rest = end == length ? borrow(s_empty.get()) : steal(PyUnicode_Substring(text, end, length));
  if (!rest) return nullptr;

  // A count beyond long long never divides a run evenly (and n is -1 then).
  // Otherwise C's remainder is zero exactly when Python's floor one is.
  long long per_channel = 0, remainder = 1;
  if (!overflow && n > 0 && n <= UINT32_MAX && run <= UINT32_MAX) {
    // The usual case, in 32 bits: a 64-bit division costs several times more.
    auto quotient = static_cast<uint32_t>(run) / static_cast<uint32_t>(n);
    per_channel = quotient;
    remainder = run - static_cast<long long>(quotient) * n;
  } else if (!overflow) {
    per_channel = run / n;
    remainder = run % n;
  }
  if (overflow || remainder != 0) {
    // Every channel gets the whole run: Size([int(run)] * n), unguarded.
    Ref value = int_of(text, start, end);
    Ref repeated = value ? pfnc::repeated(value.get(), channels.get(), n, overflow) : Ref();
    return repeated ? sized(repeated.get(), rest.get()).release() : nullptr;
  }
  if (per_channel <= 0) Py_RETURN_NONE;
  Ref values = steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!values) return nullptr;
  PyObject* previous = nullptr;  // borrowed from the list
  bool all_positive = true;
  long long k = 0;
  // A run that repeats its first channel throughout (text[w:] == text[:-w])
  // is one int for every channel, found with one comparison (a few
  // channels are as quickly compared one by one, below).
  if (n > 4 && same_chars(text, start, start + static_cast<Py_ssize_t>(per_channel), run - per_channel)) {
    Ref value = int_of(text, start, start + static_cast<Py_ssize_t>(per_channel));
    if (!value) return nullptr;
    all_positive = is_positive_int(value.get());
    for (; k < n; ++k) PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k), Py_NewRef(value.get()));
  }
  for (; k < n; ++k) {
    Py_ssize_t chunk = start + static_cast<Py_ssize_t>(per_channel * k);
    // Channels of equal width share one int, as [8] * 3 does.
    Ref value;
    if (previous != nullptr && same_chars(text, chunk - static_cast<Py_ssize_t>(per_channel), chunk, per_channel)) {
      value = borrow(previous);
    } else {
      value = int_of(text, chunk, chunk + static_cast<Py_ssize_t>(per_channel));
      if (!value) return nullptr;
      all_positive = all_positive && is_positive_int(value.get());
    }
    previous = value.get();
    PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(k), value.release());
  }
  Ref size = new_size(values.get(), all_positive);
  if (!size) {
    if (widths.error_matches(s_PixelFormatValueReject) <= 0) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return pfnc::pair(size.get(), rest.get()).release();
}

// ---------------------------------------------------------------- the class

const pfnc::FunctionSpec size_post_init_spec{
    .name = "__post_init__",
    .qualname = "Size.__post_init__",
    .doc = "Size.__post_init__(self) -> None\n\nCheck that the sizes are all coherent.",
    .params = {{"self"}},
    .returns = "None",
    .impl = size_post_init,
};

const pfnc::FunctionSpec size_len_spec{
    .name = "__len__",
    .qualname = "Size.__len__",
    .doc = "Size.__len__(self) -> int\n\nReturns the number of sizes.\n\nReturns:\n    int: The number of sizes.",
    .params = {{"self"}},
    .returns = "int",
    .impl = size_len,
};

const pfnc::FunctionSpec size_getitem_spec{
    .name = "__getitem__",
    .qualname = "Size.__getitem__",
    .doc = "Size.__getitem__(self, int item: int) -> int\n\n"
           "Gets the size at the specified index.\n\n"
           "Args:\n    item (int): The index of the size to retrieve.\n\n"
           "Returns:\n    int: The size at the specified index.",
    .params = {{"self"}, {"item", "int"}},
    .returns = "int",
    .impl = size_getitem,
};

const pfnc::FunctionSpec size_eq_spec{
    .name = "__eq__",
    .qualname = "Size.__eq__",
    .doc = "Size.__eq__(self, other: object) -> bool\n\n"
           "Checks if two Size instances are equal.\n\n"
           "Args:\n    other: The other Size instance to compare.\n\n"
           "Returns:\n    bool: True if the instances are equal, False otherwise.",
    .params = {{"self"}, {"other", "object"}},
    .returns = "bool",
    .impl = size_eq,
};

const pfnc::FunctionSpec size_designation_spec{
    .name = "designation",
    .qualname = "Size.designation",
    .doc = "Size.designation(self) -> str\n\n"
           "Computes the designation string for the Size instance.\n\n"
           "Returns:\n    str: The designation string.",
    .params = {{"self"}},
    .returns = "str",
    .impl = size_designation,
};

const pfnc::FunctionSpec size_from_designation_spec{
    .name = "from_designation",
    .qualname = "Size.from_designation",
    .doc = "Size.from_designation(str designation: str, int number_of_channels: int) -> tuple['Size', str] | None\n\n"
           "Creates a Size instance from a designation string.\n\n"
           "Args:\n    designation (str): The designation string.\n"
           "    number_of_channels (int): The number of channels.\n\n"
           "Returns:\n    Optional[tuple[Size, str]]: A tuple containing the Size instance and the remaining substring.",
    .params = {{"designation", "str"}, {"number_of_channels", "int"}},
    .returns = "tuple['Size', str] | None",
    .impl = size_from_designation,
};

bool widths_body(pfnc::Module& m) noexcept {
  State& state = widths.state;
  state.zero.set(steal(PyLong_FromLong(0)));
  if (!state.zero) return false;
  // Without a builtin max, Size.designation raises NameError where it needs one.
  state.builtin_max.set(m.global(s_max));
  if (!state.builtin_max) PyErr_Clear();
  if (!m.import_from("dataclasses", {"dataclass"}) ||
      !m.import_from("corvella.pfnc.exceptions", {"PixelFormatValueReject"})) {
    return false;
  }
  Ref size = pfnc::ClassBody(m, "Size",
                             "Represents the size of a pixel format.\n\n"
                             "    Attributes:\n"
                             "        sizes (list[int]): A list of sizes for each channel.\n    ")
                 .annotate("sizes", "list[int]")
                 .def(size_post_init_spec)
                 .def(size_len_spec)
                 .def(size_getitem_spec)
                 .def(size_eq_spec)
                 .def(size_designation_spec)
                 .def(size_from_designation_spec, pfnc::Kind::static_method)
                 .build();
  if (!size || !m.set("Size", m.call(s_dataclass, {size.get()}))) return false;
  Ref built = m.global(s_Size);
  return built && construct_size.trust_generated_init(built.get(), {&s_sizes}) && take_length_slots(built.get());
}

}  // namespace

PFNC_MODULE(widths, widths)
