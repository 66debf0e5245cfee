// The interface-specific piece of a pixel-format name: planar, semi-planar, component sequencing.
#include <algorithm>
#include <cstring>

#include "pfnc/pfnc.hpp"

namespace {

using pfnc::borrow;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

bool layouts_body(pfnc::Module& m) noexcept;

pfnc::Module layouts("layouts",
                     "Module for handling interface-specific pixel format designations.\n\n"
                     "This module provides the `InterfaceSpecific` abstract base class and its implementations\n"
                     "`Planar`, `SemiPlanar` and `ComponentsSequencing`, which compose and parse the\n"
                     "interface-specific suffix that follows an underscore in a pixel format name.\n",
                     layouts_body);

Str s_ABCMeta{"ABCMeta"};
Str s_InterfaceSpecific{"InterfaceSpecific"};
Str s_ComponentsSequencing{"ComponentsSequencing"};
Str s_ParseReject{"ParseReject"};
Str s_PixelFormatValueReject{"PixelFormatValueReject"};
Str s_GenicamComponents{"GenicamComponents"};
Str s_LMNLocation{"LMNLocation"};
Str s_all_implementations{"all_implementations"};
Str s_channel_name{"channel_name"};
Str s_getLogger{"getLogger"};
Str s_max{"max"};
Str s_from_designation{"from_designation"};
Str s_components{"components"};
Str s_location{"location"};
Str s_fields{"fields"};
Str s_name{"__name__"};
Str s_empty{""};
Str s_Planar{"Planar"};
Str s_Semiplanar{"Semiplanar"};

// Planar(), SemiPlanar() and ComponentsSequencing(...) as the readers build them.
pfnc::Construct construct_piece;

// ---------------------------------------------------------------- helpers

// If the pending exception is a PixelFormatValueReject, logs "Value rejected
// <e>" and clears it (true). Otherwise leaves the error as it is (false).
bool log_value_rejected() noexcept {
  if (!layouts.error_matches(s_PixelFormatValueReject)) return false;
  Ref e = steal(PyErr_GetRaisedException());
  return layouts.debug_caught("Value rejected ", e.get());
}

using pfnc::pair;

// [(first, second)]
PyObject* one_candidate(PyObject* first, PyObject* second) noexcept {
  Ref item = pair(first, second);
  if (!item) return nullptr;
  PyObject* list = PyList_New(1);
  if (list != nullptr) PyList_SET_ITEM(list, 0, item.release());
  return list;
}

// ---------------------------------------------------------------- InterfaceSpecific

PyObject* abstract_designation(PyObject* const*) noexcept { Py_RETURN_NONE; }

PyObject* abstract_from_designation(PyObject* const* args) noexcept {
  if (!pfnc::check_str(args[1], "full_designation")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* same_type_eq(PyObject* const* args) noexcept { return PyBool_FromLong(Py_TYPE(args[0]) == Py_TYPE(args[1])); }

// Adds the candidates of one implementation to result; a ParseReject only
// costs that implementation its candidates.
bool ask(PyObject* result, PyObject* implementation, PyObject* text, PyObject* components, PyObject* sizes) noexcept {
  PyObject* call_args[] = {implementation, text, components, sizes};
  Ref found = steal(PyObject_VectorcallMethod(s_from_designation.get(), call_args, 4, nullptr));
  if (found && PyList_Extend(result, found.get()) == 0) return true;
  if (!layouts.error_matches(s_ParseReject)) return false;
  Ref e = steal(PyErr_GetRaisedException());
  Ref name;
  {
    pfnc::Handling handling(e.get());
    name = steal(PyObject_GetAttr(implementation, s_name.get()));
  }
  return name && layouts.debug_caught("Parsing rejected: ", e.get(), name.get());
}

PyObject* interface_specific_create(PyObject* const* args) noexcept {
  PyObject* full_designation = args[0];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(full_designation);
  // The caller leaves the separating underscore on, so that its absence shows.
  if (length == 0 || PyUnicode_READ_CHAR(full_designation, 0) != '_') return PyList_New(0);
  Ref text = steal(PyUnicode_Substring(full_designation, 1, length));
  Ref base = text ? layouts.global(s_InterfaceSpecific) : Ref();
  Ref implementations = base ? layouts.call(s_all_implementations, {base.get()}) : Ref();
  Ref it = implementations ? steal(PyObject_GetIter(implementations.get())) : Ref();
  Ref result = it ? steal(PyList_New(0)) : Ref();
  if (!result) return nullptr;
  while (Ref implementation = steal(PyIter_Next(it.get()))) {
    if (!ask(result.get(), implementation.get(), text.get(), args[1], args[2])) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : result.release();
}

// ---------------------------------------------------------------- Planar, SemiPlanar

// [(cls(), rest)] when full_designation starts with the fixed text, else [].
PyObject* fixed_text_from_designation(PyObject* const* args, const Str& fixed) noexcept {
  PyObject* cls = args[0];
  PyObject* full_designation = args[1];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  Py_ssize_t matched = PyUnicode_Tailmatch(full_designation, fixed.get(), 0, PY_SSIZE_T_MAX, -1);
  if (matched < 0) return nullptr;
  if (matched == 1) {
    Ref instance = construct_piece(cls, {});
    if (instance) {
      Ref rest = steal(PyUnicode_Substring(full_designation, PyUnicode_GET_LENGTH(fixed.get()),
                                           PyUnicode_GET_LENGTH(full_designation)));
      return rest ? one_candidate(instance.get(), rest.get()) : nullptr;
    }
    if (!log_value_rejected()) return nullptr;
  }
  return PyList_New(0);
}

PyObject* planar_designation(PyObject* const*) noexcept { return Py_NewRef(s_Planar.get()); }
PyObject* planar_from_designation(PyObject* const* args) noexcept {
  return fixed_text_from_designation(args, s_Planar);
}
PyObject* semi_planar_designation(PyObject* const*) noexcept { return Py_NewRef(s_Semiplanar.get()); }
PyObject* semi_planar_from_designation(PyObject* const* args) noexcept {
  return fixed_text_from_designation(args, s_Semiplanar);
}

// ---------------------------------------------------------------- ComponentsSequencing

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

  bool grow(Py_ssize_t capacity) noexcept {
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
  bool push(T value) noexcept {
    if (size_ == capacity_ && !grow(capacity_ * 2)) return false;
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

// A str's characters, read in place.
struct Chars {
  const void* data = nullptr;
  Py_ssize_t length = 0;
  int kind = PyUnicode_1BYTE_KIND;

  Chars() noexcept = default;
  explicit Chars(PyObject* s) noexcept
      : data(PyUnicode_DATA(s)), length(PyUnicode_GET_LENGTH(s)), kind(PyUnicode_KIND(s)) {}
  Py_UCS4 at(Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
};

// text[pos:].startswith(name), without making the slice.
bool has_prefix_at(const Chars& text, Py_ssize_t pos, const Chars& name) noexcept {
  if (name.length > text.length - pos) return false;
  if (name.kind == text.kind) {
    const char* here = static_cast<const char*>(text.data) + pos * text.kind;
    return std::memcmp(here, name.data, static_cast<size_t>(name.length * name.kind)) == 0;
  }
  for (Py_ssize_t i = 0; i < name.length; ++i) {
    if (text.at(pos + i) != name.at(i)) return false;
  }
  return true;
}

struct Channel {
  Chars name;
  Py_UCS4 first = 0;
  Py_ssize_t index = 0;
};

// The channel names, in channel order: [channel_name(components[i]) for i in range(len(components))].
Ref channel_names(PyObject* components) noexcept {
  Py_ssize_t n = PyObject_Size(components);
  if (n < 0) return {};
  // Grown name by name: a __len__ may promise far more than __getitem__ gives.
  Ref names = steal(PyList_New(0));
  if (!names) return {};
  bool exact_sequence = PyTuple_CheckExact(components) || PyList_CheckExact(components);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref channel;
    if (exact_sequence) {
      channel = steal(PySequence_GetItem(components, i));
    } else {
      Ref index = steal(PyLong_FromSsize_t(i));
      channel = index ? steal(PyObject_GetItem(components, index.get())) : Ref();
    }
    Ref name = channel ? layouts.call(s_channel_name, {channel.get()}) : Ref();
    if (!name) return {};
    // The name is matched against the text character by character.
    if (!PyUnicode_Check(name.get())) {
      pfnc::raise_expected("str", name.get());
      return {};
    }
    if (PyList_Append(names.get(), name.get()) < 0) return {};
  }
  return names;
}

// The channels to try, longest name first and among equal lengths the lowest
// channel first. Empty names would match everywhere without advancing, so
// they take no part.
bool name_order(PyObject* names, Buffer<Channel, 8>& order) noexcept {
  Py_ssize_t n = PyList_GET_SIZE(names);
  if (!order.grow(n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Chars name(PyList_GET_ITEM(names, i));
    if (name.length > 0) order.push(Channel{name, name.at(0), i});
  }
  std::sort(order.begin(), order.end(), [](const Channel& a, const Channel& b) {
    return a.name.length != b.name.length ? a.name.length > b.name.length : a.index < b.index;
  });
  return true;
}

// The greedy scan: at each position the first channel in order whose name
// fits, no backtracking. Calls on_match(channel index) for every match, in
// text order, and returns where the scan stopped. Deterministic, so running
// it again gives the same matches: cheaper than keeping them.
template <typename OnMatch>
Py_ssize_t scan(Buffer<Channel, 8>& order, const Chars& text, OnMatch on_match) noexcept {
  Py_ssize_t pos = 0;
  while (pos < text.length) {
    Py_UCS4 c = text.at(pos);
    const Channel* hit = nullptr;
    for (const Channel& channel : order) {
      if (channel.first == c && has_prefix_at(text, pos, channel.name)) {
        hit = &channel;
        break;
      }
    }
    if (hit == nullptr) break;
    on_match(hit->index);
    pos += hit->name.length;
  }
  return pos;
}

// How often each channel matched.
struct Counts {
  Buffer<Py_ssize_t, 8> per_channel;
  Py_ssize_t matches = 0;
  Py_ssize_t distinct = 0;
  Py_ssize_t most = 0;
};

// a * b != c * d for a from the location's fields and the rest from the
// scan; plain machine arithmetic when it cannot overflow. -1 on error.
int scaled_differ(PyObject* occurrence, Py_ssize_t most, Py_ssize_t count, PyObject* max_occurrence) noexcept {
  if (PyLong_CheckExact(occurrence)) {
    int overflow_a, overflow_d;
    long long a = PyLong_AsLongLongAndOverflow(occurrence, &overflow_a);
    long long d = PyLong_AsLongLongAndOverflow(max_occurrence, &overflow_d);
    long long left, right;
    if (!overflow_a && !overflow_d && !__builtin_mul_overflow(a, static_cast<long long>(most), &left) &&
        !__builtin_mul_overflow(static_cast<long long>(count), d, &right)) {
      return left != right;
    }
  }
  Ref most_obj = steal(PyLong_FromSsize_t(most));
  Ref count_obj = most_obj ? steal(PyLong_FromSsize_t(count)) : Ref();
  Ref o_adjusted = count_obj ? steal(PyNumber_Multiply(occurrence, most_obj.get())) : Ref();
  Ref count_adjusted = o_adjusted ? steal(PyNumber_Multiply(count_obj.get(), max_occurrence)) : Ref();
  return count_adjusted ? PyObject_RichCompareBool(o_adjusted.get(), count_adjusted.get(), Py_NE) : -1;
}

// With an LMN location the channels must occur in its proportions, each side
// scaled by the other's maximum: fields (2, 1, 1) accept counts (2, 1, 1) and
// (4, 2, 2). A channel that never matched counts zero times. 1 when the
// counts fit (or there is no LMN location), 0 when not, -1 on error.
int proportions_fit(PyObject* components, Py_ssize_t channels_wanted, Counts& found) noexcept {
  Ref genicam = layouts.global(s_GenicamComponents);
  if (!genicam) return -1;
  int is_genicam = PyObject_IsInstance(components, genicam.get());
  if (is_genicam <= 0) return is_genicam < 0 ? -1 : 1;
  Ref location = steal(PyObject_GetAttr(components, s_location.get()));
  Ref lmn = location ? layouts.global(s_LMNLocation) : Ref();
  if (!lmn) return -1;
  int is_lmn = PyObject_IsInstance(location.get(), lmn.get());
  if (is_lmn <= 0) return is_lmn < 0 ? -1 : 1;

  location = steal(PyObject_GetAttr(components, s_location.get()));
  Ref int_occurrences = location ? steal(PyObject_GetAttr(location.get(), s_fields.get())) : Ref();
  if (!int_occurrences) return -1;
  Py_ssize_t n_fields = PyObject_Size(int_occurrences.get());
  if (n_fields < 0) return -1;
  if (n_fields != channels_wanted) return 0;
  Ref largest = layouts.call(s_max, {int_occurrences.get()});
  Ref max_occurrence = largest ? pfnc::to_int_value(largest.get()) : Ref();
  if (!max_occurrence) return -1;
  if (found.distinct == 0) {
    PyErr_SetString(PyExc_ValueError, "max() iterable argument is empty");
    return -1;
  }
  Ref it = steal(PyObject_GetIter(int_occurrences.get()));
  if (!it) return -1;
  Py_ssize_t i_c = 0;
  while (Ref int_occurrence = steal(PyIter_Next(it.get()))) {
    Py_ssize_t count = i_c < found.per_channel.size() ? found.per_channel[i_c] : 0;
    int differ = scaled_differ(int_occurrence.get(), found.most, count, max_occurrence.get());
    if (differ != 0) return differ < 0 ? -1 : 0;
    ++i_c;
  }
  return PyErr_Occurred() ? -1 : 1;
}

PyObject* sequencing_init(PyObject* const* args) noexcept {
  if (!pfnc::check_exact(args[1], &PyTuple_Type, "components")) return nullptr;
  if (PyObject_SetAttr(args[0], s_components.get(), args[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* sequencing_designation(PyObject* const* args) noexcept {
  Ref components = steal(PyObject_GetAttr(args[0], s_components.get()));
  return components ? PyUnicode_Join(s_empty.get(), components.get()) : nullptr;
}

PyObject* sequencing_eq(PyObject* const* args) noexcept {
  Ref sequencing = layouts.global(s_ComponentsSequencing);
  if (!sequencing) return nullptr;
  int is_sequencing = PyObject_IsInstance(args[1], sequencing.get());
  if (is_sequencing <= 0) return is_sequencing < 0 ? nullptr : Py_NewRef(Py_False);
  Ref mine = steal(PyObject_GetAttr(args[0], s_components.get()));
  Ref theirs = mine ? steal(PyObject_GetAttr(args[1], s_components.get())) : Ref();
  return theirs ? PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ) : nullptr;
}

PyObject* sequencing_from_designation(PyObject* const* args) noexcept {
  PyObject* cls = args[0];
  PyObject* full_designation = args[1];
  PyObject* components = args[2];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  Ref names = channel_names(components);
  if (!names) return nullptr;
  if (PyList_GET_SIZE(names.get()) == 0) return PyList_New(0);

  Chars text(full_designation);
  Buffer<Channel, 8> order;
  Counts found;
  Py_ssize_t n_channels = PyList_GET_SIZE(names.get());
  if (!name_order(names.get(), order) || !found.per_channel.grow(n_channels)) return nullptr;
  for (Py_ssize_t i = 0; i < n_channels; ++i) found.per_channel.push(0);
  Py_ssize_t end = scan(order, text, [&found](Py_ssize_t channel) {
    Py_ssize_t count = ++found.per_channel[channel];
    found.distinct += count == 1;
    found.most = std::max(found.most, count);
    ++found.matches;
  });
  // A sequencing names every channel that has a size.
  Py_ssize_t channels_wanted = PyObject_Size(args[3]);
  if (channels_wanted < 0) return nullptr;
  if (found.distinct != channels_wanted) return PyList_New(0);
  int fit = proportions_fit(components, channels_wanted, found);
  if (fit <= 0) return fit < 0 ? nullptr : PyList_New(0);

  Ref extracted = steal(PyTuple_New(found.matches));
  if (!extracted) return nullptr;
  Py_ssize_t next = 0;
  scan(order, text, [&](Py_ssize_t channel) {
    PyTuple_SET_ITEM(extracted.get(), next++, Py_NewRef(PyList_GET_ITEM(names.get(), channel)));
  });
  Ref instance = construct_piece(cls, {extracted.get()});
  if (!instance) return log_value_rejected() ? PyList_New(0) : nullptr;
  Ref rest = steal(PyUnicode_Substring(full_designation, end, text.length));
  return rest ? one_candidate(instance.get(), rest.get()) : nullptr;
}

// ---------------------------------------------------------------- the classes

#define PFNC_READER_ARGS                                                                   \
  "Args:\n"                                                                                \
  "    full_designation (str): The designation string after the separating underscore.\n" \
  "    components (Components): The pixel format components.\n"                           \
  "    sizes (Size): The sizes of the components.\n\n"

#define PFNC_CANDIDATES_RETURN \
  "Returns:\n    List[Tuple[InterfaceSpecific, str]]: A list of parsed instances and remaining designations."

const pfnc::FunctionSpec abstract_designation_spec{
    .name = "designation",
    .qualname = "InterfaceSpecific.designation",
    .doc = "Returns the designation of the interface-specific format.",
    .params = {{"self"}},
    .returns = "str",
    .impl = abstract_designation,
};

const pfnc::FunctionSpec create_spec{
    .name = "create",
    .qualname = "InterfaceSpecific.create",
    .doc = "Creates instances of `InterfaceSpecific` based on the designation.\n\n"
           "Args:\n"
           "    full_designation (str): The full designation string.\n"
           "    components (Components): The pixel format components.\n"
           "    sizes (Size): The sizes of the components.\n\n" PFNC_CANDIDATES_RETURN,
    .params = {{"full_designation", "str"}, {"components", "Components"}, {"sizes", "Size"}},
    .returns = "list[tuple['InterfaceSpecific', str]]",
    .impl = interface_specific_create,
};

const pfnc::FunctionSpec abstract_from_designation_spec{
    .name = "from_designation",
    .qualname = "InterfaceSpecific.from_designation",
    .doc = "Parses the designation into specific interface format instances.\n\n" PFNC_READER_ARGS
        PFNC_CANDIDATES_RETURN,
    .params = {{"cls", "type[Self]"}, {"full_designation", "str"}, {"components", "Components"}, {"sizes", "Size"}},
    .returns = "list[tuple[Self, str]]",
    .impl = abstract_from_designation,
};

const pfnc::FunctionSpec same_type_eq_spec{
    .name = "__eq__",
    .qualname = "InterfaceSpecific.__eq__",
    .doc = "Checks equality with another object.",
    .params = {{"self"}, {"other", "object"}},
    .returns = "bool",
    .impl = same_type_eq,
};

const pfnc::FunctionSpec planar_designation_spec{
    .name = "designation",
    .qualname = "Planar.designation",
    .doc = "Returns the planar designation.",
    .params = {{"self"}},
    .returns = "str",
    .impl = planar_designation,
};

const pfnc::FunctionSpec planar_from_designation_spec{
    .name = "from_designation",
    .qualname = "Planar.from_designation",
    .doc = "Parses planar-specific designations.\n\n" PFNC_READER_ARGS
           "Returns:\n    List[Tuple[InterfaceSpecific, str]]: A list with a `Planar` instance if matched.",
    .params = {{"cls", "type[Self]"}, {"full_designation", "str"}, {"components", "Components"}, {"sizes", "Size"}},
    .returns = "list[tuple[Self, str]]",
    .impl = planar_from_designation,
};

const pfnc::FunctionSpec semi_planar_designation_spec{
    .name = "designation",
    .qualname = "SemiPlanar.designation",
    .doc = "Returns the semi-planar designation.",
    .params = {{"self"}},
    .returns = "str",
    .impl = semi_planar_designation,
};

const pfnc::FunctionSpec semi_planar_from_designation_spec{
    .name = "from_designation",
    .qualname = "SemiPlanar.from_designation",
    .doc = "Parses semi-planar-specific designations.\n\n" PFNC_READER_ARGS
           "Returns:\n    List[Tuple[InterfaceSpecific, str]]: A list with a `SemiPlanar` instance if matched.",
    .params = {{"cls", "type[Self]"}, {"full_designation", "str"}, {"components", "Components"}, {"sizes", "Size"}},
    .returns = "list[tuple[Self, str]]",
    .impl = semi_planar_from_designation,
};

const pfnc::FunctionSpec sequencing_init_spec{
    .name = "__init__",
    .qualname = "ComponentsSequencing.__init__",
    .doc = "Initializes a `ComponentsSequencing` instance.\n\n"
           "Args:\n"
           "    components (tuple[str, ...]): The channel names in the order in which they follow one another.",
    .params = {{"self"}, {"components", "tuple[str, ...]"}},
    .returns = "None",
    .impl = sequencing_init,
};

const pfnc::FunctionSpec sequencing_designation_spec{
    .name = "designation",
    .qualname = "ComponentsSequencing.designation",
    .doc = "Returns the component sequencing designation.",
    .params = {{"self"}},
    .returns = "str",
    .impl = sequencing_designation,
};

const pfnc::FunctionSpec sequencing_from_designation_spec{
    .name = "from_designation",
    .qualname = "ComponentsSequencing.from_designation",
    .doc = "Parses component sequencing-specific designations.\n\n" PFNC_READER_ARGS PFNC_CANDIDATES_RETURN,
    .params = {{"cls"}, {"full_designation", "str"}, {"components", "Components"}, {"sizes", "Size"}},
    .returns = "list[tuple[Self, str]]",
    .impl = sequencing_from_designation,
};

const pfnc::FunctionSpec sequencing_eq_spec{
    .name = "__eq__",
    .qualname = "ComponentsSequencing.__eq__",
    .doc = "Checks equality with another object.",
    .params = {{"self"}, {"other", "object"}},
    .returns = "bool",
    .impl = sequencing_eq,
};

bool layouts_body(pfnc::Module& m) noexcept {
  if (!m.import_from("abc", {"ABCMeta", "abstractmethod"}) || !m.import_from("logging", {"getLogger"}) ||
      !m.import_from("typing_extensions", {"Self"}) ||
      !m.import_from("corvella.pfnc.exceptions", {"ParseReject", "PixelFormatValueReject"}) ||
      !m.import_from("corvella.pfnc.genicam.widths", {"Size"}) ||
      !m.import_from("corvella.pfnc.genicam.components",
                     {"channel_name", "Components", "LMNLocation", "GenicamComponents"}) ||
      !m.import_from("_internal.utils", {"all_implementations"}, 2) ||
      !m.set("logger", m.call(s_getLogger, {m.name()}))) {
    return false;
  }

  Ref meta = m.global(s_ABCMeta);
  Ref keywords = meta ? steal(PyDict_New()) : Ref();
  if (!keywords || PyDict_SetItemString(keywords.get(), "metaclass", meta.get()) < 0) return false;
  Ref base = pfnc::ClassBody(m, "InterfaceSpecific",
                             "Abstract base class for interface-specific pixel format designations.")
                 .def(abstract_designation_spec, pfnc::Kind::abstract)
                 .def(create_spec, pfnc::Kind::static_method)
                 .def(abstract_from_designation_spec, pfnc::Kind::abstract_class_method)
                 .def(same_type_eq_spec)
                 .build(nullptr, keywords.get());
  if (!base || !m.set("InterfaceSpecific", borrow(base.get()))) return false;
  Ref bases = pfnc::tuple_of({base.get()});
  if (!bases) return false;
  return m.set("Planar", pfnc::ClassBody(m, "Planar", "Represents the planar interface-specific format.")
                             .def(planar_designation_spec)
                             .def(planar_from_designation_spec, pfnc::Kind::class_method)
                             .build(bases.get())) &&
         m.set("SemiPlanar", pfnc::ClassBody(m, "SemiPlanar", "Represents the semi-planar interface-specific format.")
                                 .def(semi_planar_designation_spec)
                                 .def(semi_planar_from_designation_spec, pfnc::Kind::class_method)
                                 .build(bases.get())) &&
         m.set("ComponentsSequencing",
               pfnc::ClassBody(m, "ComponentsSequencing",
                               "Represents an interface-specific format based on component sequencing.")
                   .def(sequencing_init_spec)
                   .def(sequencing_designation_spec)
                   .def(sequencing_from_designation_spec, pfnc::Kind::class_method)
                   .def(sequencing_eq_spec)
                   .build(bases.get()));
}

}  // namespace

PFNC_MODULE(layouts, layouts)
