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

struct State {
  pfnc::Kept builtin_max;  // builtins.max as imported, to tell when the global `max` is still it
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
// range(len(components))], as a tuple: the reader points into the names
// while it runs Python code, so nothing may change or drop them.
Ref channel_names(PyObject* components) noexcept {
  Py_ssize_t n = PyObject_Size(components);
  if (n < 0) return {};
  // Grown name by name: a __len__ may promise far more than __getitem__ gives.
  Refs names;
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
    if (!names.push(std::move(name))) return {};
  }
  return names.tuple();
}

struct Channel {
  Chars name;
  Py_ssize_t length = 0;  // len(name): a str subclass may say otherwise than its characters
  Py_ssize_t index = 0;
  Py_UCS4 first = 0;      // the first character, if there is one
};

// The channels to try, longest name first and among equal lengths the lowest
// channel first. len() of each name is asked once, in channel order; a name
// of length 0 would match everywhere without advancing, so it takes no part.
bool name_order(PyObject* names, Buffer<Channel, 8>& order) noexcept {
  Py_ssize_t n = PyTuple_GET_SIZE(names);
  if (!order.grow(n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    Py_ssize_t length = PyUnicode_CheckExact(name) ? PyUnicode_GET_LENGTH(name) : PyObject_Length(name);
    if (length < 0) return false;
    Chars chars(name);
    if (length > 0 && !order.push(Channel{chars, length, i, chars.length > 0 ? chars.at(0) : 0})) return false;
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

// The greedy scan: at each position up to the end the first channel in order
// whose name fits, no backtracking. Calls on_match(channel index) for every
// match, in text order, and returns where the scan stopped (past the end when
// a name's len() overshoots the text). Deterministic and free of Python code,
// so running it again gives the same matches: cheaper than keeping them.
template <typename OnMatch>
Py_ssize_t scan(Buffer<Channel, 8>& order, const Chars& text, OnMatch on_match) noexcept {
  Py_ssize_t pos = 0;
  while (pos <= text.length) {
    Py_UCS4 c = pos < text.length ? text.at(pos) : 0;
    const Channel* hit = nullptr;
    for (const Channel& channel : order) {
      if ((channel.name.length == 0 || channel.first == c) && pfnc::has_prefix_at(text, pos, channel.name)) {
        hit = &channel;
        break;
      }
    }
    if (hit == nullptr) break;
    on_match(hit->index);
    if (hit->length > text.length - pos) return text.length + 1;
    pos += hit->length;
  }
  return pos;
}

// How often each channel matched.
struct Counts {
  Buffer<Py_ssize_t, 8> per_channel;
  Buffer<Py_ssize_t, 8> first_seen;  // the channels in the order of their first match
  Py_ssize_t matches = 0;
  Py_ssize_t most = 0;
};

// max(component_counts.values()) through the global `max`; while that is the
// builtin, the largest count is known without asking it.
Ref most_matches(Counts& found) noexcept {
  Ref max = layouts.global(s_max);
  if (!max) return {};
  if (max.get() == layouts.state.builtin_max.get()) return steal(PyLong_FromSsize_t(found.most));
  Ref counts = steal(PyDict_New());
  if (!counts) return {};
  for (Py_ssize_t channel : found.first_seen) {
    Ref key = steal(PyLong_FromSsize_t(channel));
    Ref value = key ? steal(PyLong_FromSsize_t(found.per_channel[channel])) : Ref();
    if (!value || PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) return {};
  }
  Ref values = pfnc::call_method(s_values, {counts.get()});
  Ref largest = values ? steal(PyObject_CallOneArg(max.get(), values.get())) : Ref();
  return largest ? pfnc::to_int_value(largest.get()) : Ref();
}

// max(fields) through the global `max`; while that is the builtin and the
// fields a tuple of ints, no code of the caller's can run: compared here,
// keeping the first of equal values as max does.
Ref largest_field(PyObject* fields) noexcept {
  Ref max = layouts.global(s_max);
  if (!max) return {};
  if (max.get() == layouts.state.builtin_max.get() && PyTuple_CheckExact(fields) && PyTuple_GET_SIZE(fields) > 0) {
    PyObject* largest = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
      PyObject* field = PyTuple_GET_ITEM(fields, i);
      if (!PyLong_CheckExact(field)) {
        largest = nullptr;
        break;
      }
      if (largest == nullptr || PyObject_RichCompareBool(field, largest, Py_GT) == 1) largest = field;
    }
    if (largest != nullptr) return borrow(largest);
  }
  return steal(PyObject_CallOneArg(max.get(), fields));
}

// a * b != c * d for a from the location's fields and the rest from the
// scan; plain machine arithmetic when it cannot overflow. -1 on error.
int scaled_differ(PyObject* occurrence, PyObject* most, Py_ssize_t count, PyObject* max_occurrence) noexcept {
  if (PyLong_CheckExact(occurrence)) {
    int overflow_a, overflow_b, overflow_d;
    long long a = PyLong_AsLongLongAndOverflow(occurrence, &overflow_a);
    long long b = PyLong_AsLongLongAndOverflow(most, &overflow_b);
    long long d = PyLong_AsLongLongAndOverflow(max_occurrence, &overflow_d);
    long long left, right;
    if (!overflow_a && !overflow_b && !overflow_d && !__builtin_mul_overflow(a, b, &left) &&
        !__builtin_mul_overflow(static_cast<long long>(count), d, &right)) {
      return left != right;
    }
  }
  Ref count_obj = steal(PyLong_FromSsize_t(count));
  Ref o_adjusted = count_obj ? steal(PyNumber_Multiply(occurrence, most)) : Ref();
  Ref count_adjusted = o_adjusted ? steal(PyNumber_Multiply(count_obj.get(), max_occurrence)) : Ref();
  // `!=` itself, not the identity shortcut of PyObject_RichCompareBool.
  Ref differ = count_adjusted ? steal(PyObject_RichCompare(o_adjusted.get(), count_adjusted.get(), Py_NE)) : Ref();
  return differ ? PyObject_IsTrue(differ.get()) : -1;
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
  // len(sizes) again: the code run since may have changed it.
  Py_ssize_t n_sizes = PyObject_Size(sizes);
  if (n_sizes < 0) return -1;
  if (n_fields != n_sizes) return 0;
  Ref largest = largest_field(int_occurrences.get());
  Ref max_occurrence = largest ? pfnc::to_int_value(largest.get()) : Ref();
  Ref most = max_occurrence ? most_matches(found) : Ref();
  if (!most) return -1;
  Ref it = steal(PyObject_GetIter(int_occurrences.get()));
  if (!it) return -1;
  Py_ssize_t i_c = 0;
  while (Ref int_occurrence = steal(PyIter_Next(it.get()))) {
    Py_ssize_t count = i_c < found.per_channel.size() ? found.per_channel[i_c] : 0;
    int differ = scaled_differ(int_occurrence.get(), most.get(), count, max_occurrence.get());
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
  Py_ssize_t n_channels = PyTuple_GET_SIZE(names.get());
  if (n_channels == 0) return PyList_New(0);

  Chars text(full_designation);
  Buffer<Channel, 8> order;
  Counts found;
  if (!name_order(names.get(), order) || !found.per_channel.grow(n_channels)) return nullptr;
  for (Py_ssize_t i = 0; i < n_channels; ++i) {
    if (!found.per_channel.push(0)) return nullptr;
  }
  bool grown = true;
  Py_ssize_t end = scan(order, text, [&found, &grown](Py_ssize_t channel) {
    Py_ssize_t count = ++found.per_channel[channel];
    if (count == 1) grown = grown && found.first_seen.push(channel);
    found.most = std::max(found.most, count);
    ++found.matches;
  });
  if (!grown) return nullptr;
  // A sequencing names every channel that has a size.
  Py_ssize_t channels_wanted = PyObject_Size(args[3]);
  if (channels_wanted < 0) return nullptr;
  if (found.first_seen.size() != channels_wanted) return PyList_New(0);
  int fit = proportions_fit(components, args[3], found);
  if (fit <= 0) return fit < 0 ? nullptr : PyList_New(0);

  Ref extracted = steal(PyTuple_New(found.matches));
  if (!extracted) return nullptr;
  Py_ssize_t next = 0;
  scan(order, text, [&](Py_ssize_t channel) {
    PyTuple_SET_ITEM(extracted.get(), next++, Py_NewRef(PyTuple_GET_ITEM(names.get(), channel)));
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
