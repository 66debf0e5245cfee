// The interface-specific piece of a pixel-format name: planar, semi-planar, component sequencing.
#include <algorithm>

#include "pfnc/pfnc.hpp"

namespace {

using pfnc::borrow;
using pfnc::Buffer;
using pfnc::Chars;
using pfnc::Ref;
using pfnc::Refs;
using pfnc::steal;
using pfnc::Str;

bool layouts_body(pfnc::Module& m) noexcept;

// Where the class of the components last given keeps their location: a
// member descriptor (a slot), remembered with the class's version tag.
struct LocationSlot {
  PyTypeObject* type = nullptr;  // compared only: a later class at this address has another tag
  unsigned int tag = 0;          // 0: nothing known
  // Borrowed: while the tag stands, a dict along the MRO holds it. nullptr:
  // the class keeps it otherwise, and the usual lookup finds it.
  PyObject* member = nullptr;
};

struct State {
  pfnc::Kept builtin_max;  // builtins.max as imported, to tell when the global `max` is still it
  LocationSlot location;

  void forget() noexcept { location = LocationSlot{}; }
};

pfnc::ModuleWith<State> layouts("layouts",
                     "Module for handling interface-specific pixel format designations.\n\n"
                     "This module provides the `InterfaceSpecific` abstract base class and its implementations\n"
                     "`Planar`, `SemiPlanar` and `ComponentsSequencing`, which compose and parse the\n"
                     "interface-specific suffix that follows an underscore in a pixel format name.\n",
                     layouts_body);

Str s_ABCMeta{"ABCMeta"};
Str s_InterfaceSpecific{"InterfaceSpecific"};
Str s_ComponentsSequencing{"ComponentsSequencing"};
Str s_PixelFormatValueReject{"PixelFormatValueReject"};
Str s_GenicamComponents{"GenicamComponents"};
Str s_LMNLocation{"LMNLocation"};
Str s_channel_name{"channel_name"};
Str s_getLogger{"getLogger"};
Str s_max{"max"};
Str s_components{"components"};
Str s_location{"location"};
Str s_fields{"fields"};
Str s_values{"values"};
Str s_empty{""};
Str s_Planar{"Planar"};
Str s_Semiplanar{"Semiplanar"};

// Planar(), SemiPlanar() and ComponentsSequencing(...) as the readers build them.
pfnc::Construct construct_piece;

// ---------------------------------------------------------------- helpers

// except PixelFormatValueReject as e: logger.debug(f"Value rejected {e}"); false when not handled.
bool log_value_rejected() noexcept {
  return pfnc::log_rejected(layouts, s_PixelFormatValueReject, "Value rejected ") > 0;
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

PyObject* interface_specific_create(PyObject* const* args) noexcept {
  PyObject* full_designation = args[0];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(full_designation);
  // The caller leaves the separating underscore on, so that its absence shows.
  if (length == 0 || PyUnicode_READ_CHAR(full_designation, 0) != '_') return PyList_New(0);
  Ref text = steal(PyUnicode_Substring(full_designation, 1, length));
  if (!text) return nullptr;
  return pfnc::ask_every_implementation(layouts, s_InterfaceSpecific, {text.get(), args[1], args[2]}).release();
}

// ---------------------------------------------------------------- Planar, SemiPlanar

// [(cls(), rest)] when full_designation starts with the fixed text, else [].
PyObject* fixed_text_from_designation(PyObject* const* args, const Str& fixed) noexcept {
  PyObject* cls = args[0];
  PyObject* full_designation = args[1];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  if (pfnc::has_prefix_at(Chars(full_designation), 0, Chars(fixed.get()))) {
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

// The channel names, in channel order: [channel_name(components[i]) for i in
// range(len(components))], held here: the reader points into the names
// while it runs Python code, so nothing may change or drop them.
bool channel_names(PyObject* components, Refs& names) noexcept {
  Py_ssize_t n = PyObject_Size(components);
  if (n < 0) return false;
  // Grown name by name: a __len__ may promise far more than __getitem__ gives.
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
    if (!name) return false;
    // The name is matched against the text character by character.
    if (!PyUnicode_Check(name.get())) {
      pfnc::raise_expected("str", name.get());
      return false;
    }
    if (!names.push(std::move(name))) return false;
  }
  return true;
}

// A channel to try. Plain values, so that a buffer of them starts unwritten.
struct Channel {
  PyObject* name;     // borrowed from the names
  Py_ssize_t chars;   // its characters
  Py_ssize_t length;  // len(name): a str subclass may say otherwise than its characters
  Py_ssize_t index;
  Py_UCS4 first;      // the first character, if there is one
};

// The channels to try, longest name first and among equal lengths the lowest
// channel first. len() of each name is asked once, in channel order; a name
// of length 0 would match everywhere without advancing, so it takes no part.
bool name_order(Refs& names, Buffer<Channel, 8>& order) noexcept {
  Py_ssize_t n = names.size();
  if (!order.grow(n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = names[i];
    Py_ssize_t length = PyUnicode_CheckExact(name) ? PyUnicode_GET_LENGTH(name) : PyObject_Length(name);
    if (length < 0) return false;
    Py_ssize_t chars = PyUnicode_GET_LENGTH(name);
    Py_UCS4 first = chars > 0 ? PyUnicode_READ_CHAR(name, 0) : 0;
    if (length > 0 && !order.push(Channel{name, chars, length, i, first})) return false;
  }
  // Stable, and without the buffer std::stable_sort allocates: a handful of names.
  for (Py_ssize_t i = 1; i < order.size(); ++i) {
    Channel moved = order[i];
    Py_ssize_t j = i;
    for (; j > 0 && order[j - 1].length < moved.length; --j) order[j] = order[j - 1];
    order[j] = moved;
  }
  return true;
}

// What the scan found: how often each channel matched, and which, in text order.
struct Counts {
  Buffer<Py_ssize_t, 8> per_channel;
  Buffer<Py_ssize_t, 16> matched;  // the channel of every match
  Py_ssize_t distinct = 0;         // the channels that matched
  Py_ssize_t most = 0;

  [[nodiscard]] bool start(Py_ssize_t n_channels) noexcept {
    if (!per_channel.grow(n_channels)) return false;
    for (Py_ssize_t i = 0; i < n_channels; ++i) {
      if (!per_channel.push(0)) return false;
    }
    return true;
  }
  [[nodiscard]] bool add(Py_ssize_t channel) noexcept {
    Py_ssize_t count = ++per_channel[channel];
    distinct += count == 1;
    most = std::max(most, count);
    return matched.push(channel);
  }
};

// The greedy scan: at each position up to the end the first channel in order
// whose name fits, no backtracking. Returns where it stopped (past the end
// when a name's len() overshoots the text), or -1 with an exception set.
Py_ssize_t scan(Buffer<Channel, 8>& order, PyObject* full_designation, Counts& found) noexcept {
  Chars text(full_designation);
  Py_ssize_t pos = 0;
  while (pos <= text.length) {
    bool inside = pos < text.length;
    Py_UCS4 c = inside ? text.at(pos) : 0;
    const Channel* hit = nullptr;
    for (const Channel& channel : order) {
      // A name without characters fits anywhere; one of one character once its first does.
      if (channel.chars == 0 || (inside && channel.first == c &&
                                 (channel.chars == 1 || pfnc::has_prefix_at(text, pos, Chars(channel.name))))) {
        hit = &channel;
        break;
      }
    }
    if (hit == nullptr) break;
    if (!found.add(hit->index)) return -1;
    if (hit->length > text.length - pos) return text.length + 1;
    pos += hit->length;
  }
  return pos;
}

// max(component_counts.values()) through the global `max`; while that is the
// builtin, the largest count is known without asking it.
Ref most_matches(Counts& found) noexcept {
  Ref max = layouts.global(s_max);
  if (!max) return {};
  if (max.get() == layouts.state.builtin_max.get()) return steal(PyLong_FromSsize_t(found.most));
  Ref counts = steal(PyDict_New());
  if (!counts) return {};
  // Keyed in the order of each channel's first match, as the scan would have filled it.
  for (Py_ssize_t channel : found.matched) {
    Ref key = steal(PyLong_FromSsize_t(channel));
    int known = key ? PyDict_Contains(counts.get(), key.get()) : -1;
    if (known != 0) {
      if (known < 0) return {};
      continue;
    }
    Ref value = steal(PyLong_FromSsize_t(found.per_channel[channel]));
    if (!value || PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) return {};
  }
  Ref values = pfnc::call_method(s_values, {counts.get()});
  Ref largest = values ? steal(PyObject_CallOneArg(max.get(), values.get())) : Ref();
  return largest ? pfnc::to_int_value(largest.get()) : Ref();
}

// v as a machine integer, when it is an exact int of one digit: no code of
// the caller's runs on it, and the product of two such fits in 64 bits.
bool small_int(PyObject* v, long long& value) noexcept {
  if (!PyLong_CheckExact(v) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) return false;
  value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
  return true;
}

// The proportions in machine numbers, for a caller whose global `max` is
// the builtin, when the fields are an exact tuple of small ints: no code of
// the caller's could run. False, deciding nothing, otherwise or when a
// product would overflow.
bool fits_in_machine_numbers(PyObject* fields, Counts& found, bool& fits) noexcept {
  Py_ssize_t n = PyTuple_CheckExact(fields) ? PyTuple_GET_SIZE(fields) : 0;
  long long largest = 0, value;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!small_int(PyTuple_GET_ITEM(fields, i), value)) return false;
    if (i == 0 || value > largest) largest = value;
  }
  if (n == 0) return false;  // max() of nothing raises
  fits = true;
  for (Py_ssize_t i = 0; i < n && fits; ++i) {
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(PyTuple_GET_ITEM(fields, i)));
    long long count = i < found.per_channel.size() ? found.per_channel[i] : 0, left, right;
    if (__builtin_mul_overflow(value, static_cast<long long>(found.most), &left) ||
        __builtin_mul_overflow(count, largest, &right)) {
      return false;
    }
    fits = left == right;
  }
  return true;
}

// The two sides' maxima, by which each side's counts are scaled.
struct Scale {
  Ref max_occurrence;        // from the location's fields
  Ref max_component_counts;  // from the scan
  bool small = false;        // both small ints, as these:
  long long occurrence = 0, counts = 0;
};

// int_occurrence * max_component_counts != count * max_occurrence; plain
// machine arithmetic when it cannot overflow. -1 on error.
int scaled_differ(PyObject* int_occurrence, Py_ssize_t count, const Scale& scale) noexcept {
  long long a, right;
  if (scale.small && small_int(int_occurrence, a) &&
      !__builtin_mul_overflow(static_cast<long long>(count), scale.occurrence, &right)) {
    return a * scale.counts != right;
  }
  Ref count_obj = steal(PyLong_FromSsize_t(count));
  Ref o_adjusted = count_obj ? steal(PyNumber_Multiply(int_occurrence, scale.max_component_counts.get())) : Ref();
  Ref count_adjusted =
      o_adjusted ? steal(PyNumber_Multiply(count_obj.get(), scale.max_occurrence.get())) : Ref();
  // `!=` itself, not the identity shortcut of PyObject_RichCompareBool.
  Ref differ = count_adjusted ? steal(PyObject_RichCompare(o_adjusted.get(), count_adjusted.get(), Py_NE)) : Ref();
  return differ ? PyObject_IsTrue(differ.get()) : -1;
}

// Where type keeps `location`, when its lookup is the generic one.
LocationSlot location_slot(PyTypeObject* type) noexcept {
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(type)) return {};
  unsigned int tag = type->tp_version_tag;
  Ref found;
  // A dict's odd key may have run code meanwhile; then it is looked up again next time.
  if (!pfnc::look_up_along_mro(type, s_location.get(), found) || type->tp_version_tag != tag) return {};
  return {type, tag, found && Py_IS_TYPE(found.get(), &PyMemberDescr_Type) ? found.get() : nullptr};
}

// components.location, as the generic lookup finds it. A member descriptor
// is a data descriptor, so nothing in the instance can shadow it: while the
// class's version tag stands (any change to the class or a base resets it),
// the one found last time is read directly.
Ref location_of(PyObject* components) noexcept {
  PyTypeObject* type = Py_TYPE(components);
  LocationSlot& known = layouts.state.location;
  if (known.type != type || known.tag == 0 || type->tp_version_tag != known.tag) known = location_slot(type);
  if (known.member == nullptr) return steal(PyObject_GetAttr(components, s_location.get()));
  return steal(PyMemberDescr_Type.tp_descr_get(known.member, components, reinterpret_cast<PyObject*>(type)));
}

// With an LMN location the channels must occur in its proportions, each side
// scaled by the other's maximum: fields (2, 1, 1) accept counts (2, 1, 1) and
// (4, 2, 2). A channel that never matched counts zero times. 1 when the
// counts fit (or there is no LMN location), 0 when not, -1 on error.
int proportions_fit(PyObject* components, PyObject* sizes, Counts& found) noexcept {
  Ref genicam = layouts.global(s_GenicamComponents);
  if (!genicam) return -1;
  int is_genicam = PyObject_IsInstance(components, genicam.get());
  if (is_genicam <= 0) return is_genicam < 0 ? -1 : 1;
  Ref location = location_of(components);
  Ref lmn = location ? layouts.global(s_LMNLocation) : Ref();
  if (!lmn) return -1;
  int is_lmn = PyObject_IsInstance(location.get(), lmn.get());
  if (is_lmn <= 0) return is_lmn < 0 ? -1 : 1;

  location = location_of(components);
  Ref int_occurrences = location ? steal(PyObject_GetAttr(location.get(), s_fields.get())) : Ref();
  if (!int_occurrences) return -1;
  Py_ssize_t n_fields = PyObject_Size(int_occurrences.get());
  if (n_fields < 0) return -1;
  // len(sizes) again: the code run since may have changed it.
  Py_ssize_t n_sizes = PyObject_Size(sizes);
  if (n_sizes < 0) return -1;
  if (n_fields != n_sizes) return 0;
  Ref max = layouts.global(s_max);
  if (!max) return -1;
  bool fits;
  if (max.get() == layouts.state.builtin_max.get() && fits_in_machine_numbers(int_occurrences.get(), found, fits)) {
    return fits ? 1 : 0;
  }
  Scale scale;
  Ref largest = steal(PyObject_CallOneArg(max.get(), int_occurrences.get()));
  scale.max_occurrence = largest ? pfnc::to_int_value(largest.get()) : Ref();
  scale.max_component_counts = scale.max_occurrence ? most_matches(found) : Ref();
  if (!scale.max_component_counts) return -1;
  scale.small = small_int(scale.max_occurrence.get(), scale.occurrence) &&
                small_int(scale.max_component_counts.get(), scale.counts);
  auto count_of = [&found](Py_ssize_t i_c) { return i_c < found.per_channel.size() ? found.per_channel[i_c] : 0; };
  // A tuple is walked as its iterator would walk it, without the iterator.
  if (PyTuple_CheckExact(int_occurrences.get())) {
    for (Py_ssize_t i_c = 0; i_c < PyTuple_GET_SIZE(int_occurrences.get()); ++i_c) {
      int differ = scaled_differ(PyTuple_GET_ITEM(int_occurrences.get(), i_c), count_of(i_c), scale);
      if (differ != 0) return differ < 0 ? -1 : 0;
    }
    return 1;
  }
  Ref it = steal(PyObject_GetIter(int_occurrences.get()));
  if (!it) return -1;
  Py_ssize_t i_c = 0;
  while (Ref int_occurrence = steal(PyIter_Next(it.get()))) {
    int differ = scaled_differ(int_occurrence.get(), count_of(i_c), scale);
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
  PyObject* sizes = args[3];
  if (!pfnc::check_str(full_designation, "full_designation")) return nullptr;
  Refs names;
  if (!channel_names(components, names)) return nullptr;
  if (names.size() == 0) return PyList_New(0);

  Buffer<Channel, 8> order;
  Counts found;
  if (!name_order(names, order) || !found.start(names.size())) return nullptr;
  Py_ssize_t end = scan(order, full_designation, found);
  if (end < 0) return nullptr;
  // A sequencing names every channel that has a size.
  Py_ssize_t channels_wanted = PyObject_Size(sizes);
  if (channels_wanted < 0) return nullptr;
  if (found.distinct != channels_wanted) return PyList_New(0);
  int fit = proportions_fit(components, sizes, found);
  if (fit <= 0) return fit < 0 ? nullptr : PyList_New(0);

  Ref extracted = steal(PyTuple_New(found.matched.size()));
  if (!extracted) return nullptr;
  for (Py_ssize_t i = 0; i < found.matched.size(); ++i) {
    PyTuple_SET_ITEM(extracted.get(), i, Py_NewRef(names[found.matched[i]]));
  }
  Ref instance = construct_piece(cls, {extracted.get()});
  if (!instance) return log_value_rejected() ? PyList_New(0) : nullptr;
  Ref rest = steal(PyUnicode_Substring(full_designation, end, PyUnicode_GET_LENGTH(full_designation)));
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
  layouts.state.builtin_max.set(m.global(s_max));
  if (!layouts.state.builtin_max) PyErr_Clear();

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
