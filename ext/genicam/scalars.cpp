// The data-type piece of a pixel-format name: the module, DataTypes and CompoundDataTypes.
#include "scalars.hpp"

namespace scalars_module {

namespace {
bool scalars_body(pfnc::Module& m) noexcept;
}  // namespace

pfnc::ModuleWith<State> scalars("scalars",
                     "Module for handling data types and their designations in pixel format processing.\n\n"
                     "This module defines `DataTypes` and `CompoundDataTypes` classes, along with utilities\n"
                     "for managing data types and parsing their designations.\n",
                     scalars_body);

namespace {

using pfnc::attr;
using pfnc::borrow;
using pfnc::pair;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

Str s_DefaultDataType{"DefaultDataType"};
Str s_DATA_TYPE_REGISTRY{"DATA_TYPE_REGISTRY"};
Str s_DataTypes{"DataTypes"};
Str s_CompoundDataTypes{"CompoundDataTypes"};
Str s_NotRegisteredError{"NotRegisteredError"};
Str s_PixelFormatValueReject{"PixelFormatValueReject"};
Str s_ABCMeta{"ABCMeta"};
Str s_getLogger{"getLogger"};
Str s_resolve{"resolve"};
Str s_scalars{"scalars"};
Str s_empty{""};

pfnc::Construct construct_compound;
pfnc::MethodCall call_resolve(s_resolve);

// ---------------------------------------------------------------- DataTypes

PyObject* return_none(PyObject* const*) noexcept { Py_RETURN_NONE; }

PyObject* data_types_create(PyObject* const* args) noexcept {
  PyObject* text = args[0];
  if (!pfnc::check_str(text, "full_designation")) return nullptr;
  Ref channels = pfnc::to_int(args[1], "number_of_channels");
  if (!channels) return nullptr;
  return pfnc::ask_every_implementation(scalars, s_DataTypes, {text, channels.get()}).release();
}

PyObject* data_types_from_designation(PyObject* const* args) noexcept {
  if (!pfnc::check_str(args[0], "full_designation") || !pfnc::to_int(args[1], "number_of_channels")) return nullptr;
  PyErr_SetNone(PyExc_NotImplementedError);
  return nullptr;
}

// Element by element through __len__ and __getitem__, so designations of
// different implementations are equal when their channels are.
PyObject* data_types_eq(PyObject* const* args) noexcept {
  PyObject *self = args[0], *other = args[1];
  Ref base = scalars.global(s_DataTypes);
  if (!base) return nullptr;
  int comparable = PyObject_IsInstance(other, base.get());
  if (comparable <= 0) return comparable < 0 ? nullptr : Py_NewRef(Py_False);
  Py_ssize_t length = PyObject_Size(self);
  if (length < 0) return nullptr;
  Py_ssize_t other_length = PyObject_Size(other);
  if (other_length < 0) return nullptr;
  if (other_length != length) Py_RETURN_FALSE;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref index = steal(PyLong_FromSsize_t(i));
    Ref mine = index ? steal(PyObject_GetItem(self, index.get())) : Ref();
    Ref theirs = mine ? steal(PyObject_GetItem(other, index.get())) : Ref();
    Ref equal = theirs ? steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ)) : Ref();
    int truth = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (truth <= 0) return truth < 0 ? nullptr : Py_NewRef(Py_False);
  }
  Py_RETURN_TRUE;
}

// ---------------------------------------------------------------- CompoundDataTypes

Ref scalars_of(PyObject* self) noexcept { return attr(self, s_scalars); }

PyObject* compound_init(PyObject* const* args) noexcept {
  PyObject *self = args[0], *list = args[1];
  if (!pfnc::check_exact(list, &PyList_Type, "scalars")) return nullptr;
  if (PyList_GET_SIZE(list) == 0) return scalars.raise(s_PixelFormatValueReject, "scalars must have length > 0");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref data_type = borrow(PyList_GET_ITEM(list, i));
    int ok = call_is_data_type(data_type.get());
    if (ok < 0) return nullptr;
    if (!ok) {
      Ref message = steal(PyUnicode_FromFormat("scalars must only contain DataTypes, got %S", data_type.get()));
      return message ? scalars.raise(s_PixelFormatValueReject, message.get()) : nullptr;
    }
  }
  // The caller's list itself, not a copy.
  if (PyObject_SetAttr(self, s_scalars.get(), list) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* compound_designation(PyObject* const* args) noexcept {
  Ref list = scalars_of(args[0]);
  Ref names = list ? steal(PySet_New(nullptr)) : Ref();
  Ref it = names ? steal(PyObject_GetIter(list.get())) : Ref();
  if (!it) return nullptr;
  while (Ref data_type = steal(PyIter_Next(it.get()))) {
    Ref name = call_datatype_name(data_type.get(), false);
    if (!name || PySet_Add(names.get(), name.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  // One designator shared by all channels is written once.
  if (PySet_GET_SIZE(names.get()) == 1) return PySet_Pop(names.get());
  // Otherwise one per channel, with "u" for unsigned, which reads back one letter per channel.
  Ref parts = steal(PyList_New(0));
  it = parts ? steal(PyObject_GetIter(list.get())) : Ref();
  if (!it) return nullptr;
  while (Ref data_type = steal(PyIter_Next(it.get()))) {
    Ref name = call_datatype_name(data_type.get(), true);
    if (!name || PyList_Append(parts.get(), name.get()) < 0) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : PyUnicode_Join(s_empty.get(), parts.get());
}

PyObject* compound_len(PyObject* const* args) noexcept {
  Ref list = scalars_of(args[0]);
  Py_ssize_t n = list ? PyObject_Size(list.get()) : -1;
  return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* compound_getitem(PyObject* const* args) noexcept {
  Ref index = pfnc::to_int(args[1], "item");
  Ref list = index ? scalars_of(args[0]) : Ref();
  return list ? PyObject_GetItem(list.get(), index.get()) : nullptr;
}

// The candidates found, at most three, in C++ storage until they are returned.
struct Candidates {
  Ref items[3];
  Py_ssize_t count = 0;

  // (CompoundDataTypes(list), text[rest_start:]); false on error.
  bool add(Ref list, PyObject* text, Py_ssize_t rest_start) noexcept {
    Ref candidate = list ? construct_compound(scalars, s_CompoundDataTypes, {list.get()}) : Ref();
    Ref rest = candidate ? steal(PyUnicode_Substring(text, rest_start, PyUnicode_GET_LENGTH(text))) : Ref();
    items[count] = rest ? pair(candidate.get(), rest.get()) : Ref();
    return static_cast<bool>(items[count++]);
  }
  // The same, where a rejected value only drops the candidate.
  bool add_guarded(Ref list, PyObject* text, Py_ssize_t rest_start) noexcept {
    if (add(std::move(list), text, rest_start)) return true;
    --count;
    return pfnc::log_rejected(scalars, s_PixelFormatValueReject, "Value rejected ") > 0;
  }
  Ref list() noexcept {
    Ref result = steal(PyList_New(count));
    if (!result) return {};
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(result.get(), i, items[i].release());
    return result;
  }
};

PyObject* compound_from_designation(PyObject* const* args) noexcept {
  PyObject* text = args[0];
  if (!pfnc::check_str(text, "full_designation")) return nullptr;
  Ref channels = pfnc::to_int(args[1], "number_of_channels");
  if (!channels) return nullptr;
  int overflow;
  long long count = PyLong_AsLongLongAndOverflow(channels.get(), &overflow);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Candidates found;

  // Unsigned has an empty designator: "all unsigned" always reads, consuming nothing.
  Ref members = scalars.global(s_DefaultDataType);
  Ref unsigned_type = members ? unsigned_member(members.get()) : Ref();
  Ref all_unsigned = unsigned_type ? pfnc::repeated(unsigned_type.get(), channels.get(), count, overflow) : Ref();
  if (!found.add_guarded(std::move(all_unsigned), text, 0)) return nullptr;

  // The longest run of registered letters at the front, one per channel;
  // the registry is asked now, so letters registered later count.
  pfnc::Refs letters;
  Py_ssize_t limit = count;
  if (overflow < 0 || count <= 0) {
    limit = 0;
  } else if (overflow > 0 || count > length) {
    limit = length;
  }
  for (Py_ssize_t n = 0; n < limit; ++n) {
    Ref letter = steal(PyUnicode_FromOrdinal(PyUnicode_READ_CHAR(text, n)));
    Ref registry = letter ? scalars.global(s_DATA_TYPE_REGISTRY) : Ref();
    Ref data_type = registry ? call_resolve(registry.get(), letter.get()) : Ref();
    if (!data_type) {
      if (scalars.error_matches(s_NotRegisteredError) <= 0) return nullptr;
      PyErr_Clear();
      break;
    }
    if (!letters.push(std::move(data_type))) return nullptr;
  }
  Ref decoded = letters.list();
  if (!decoded) return nullptr;

  // One letter per channel; a rejection here (no channels at all) is the caller's to see.
  if (overflow == 0 && PyList_GET_SIZE(decoded.get()) == count &&
      !found.add(borrow(decoded.get()), text, static_cast<Py_ssize_t>(count))) {
    return nullptr;
  }

  // One letter for every channel ("s" for three signed channels).
  if (PyList_GET_SIZE(decoded.get()) == 1 && (overflow > 0 || (overflow == 0 && count > 1))) {
    Ref first = borrow(PyList_GET_ITEM(decoded.get(), 0));
    if (!found.add_guarded(pfnc::repeated(first.get(), channels.get(), count, overflow), text, 1)) return nullptr;
  }
  return found.list().release();
}

// ---------------------------------------------------------------- specs

const pfnc::Param reader_params[] = {{"full_designation", "str"}, {"number_of_channels", "int"}};
const char* const reader_returns = "list[tuple['DataTypes', str]]";

const pfnc::FunctionSpec data_types_designation_spec{
    .name = "designation",
    .qualname = "DataTypes.designation",
    .doc = "DataTypes.designation(self) -> str\n\nReturns the designation string of the data types.",
    .params = {{"self"}},
    .returns = "str",
    .impl = return_none,
};

const pfnc::FunctionSpec data_types_len_spec{
    .name = "__len__",
    .qualname = "DataTypes.__len__",
    .doc = "DataTypes.__len__(self) -> int\n\nReturns the number of data types, one per channel.",
    .params = {{"self"}},
    .returns = "int",
    .impl = return_none,
};

const pfnc::FunctionSpec data_types_getitem_spec{
    .name = "__getitem__",
    .qualname = "DataTypes.__getitem__",
    .doc = "DataTypes.__getitem__(self, int item: int) -> DataType\n\n"
           "Returns the data type of the channel at the specified index.",
    .params = {{"self"}, {"item", "int"}},
    .returns = "DataType",
    .impl = return_none,
};

const pfnc::FunctionSpec data_types_create_spec{
    .name = "create",
    .qualname = "DataTypes.create",
    .doc = "DataTypes.create(str full_designation: str, int number_of_channels: int) "
           "-> list[tuple['DataTypes', str]]\n\n"
           "Creates data type designations from the front of a designation string.\n\n"
           "Args:\n    full_designation (str): The designation string, starting with the data types.\n"
           "    number_of_channels (int): The number of channels.\n\n"
           "Returns:\n    list[tuple[DataTypes, str]]: The candidates of every implementation, "
           "each with the remaining designation.",
    .params = {reader_params[0], reader_params[1]},
    .returns = reader_returns,
    .impl = data_types_create,
};

const pfnc::FunctionSpec data_types_from_designation_spec{
    .name = "from_designation",
    .qualname = "DataTypes.from_designation",
    .doc = "DataTypes.from_designation(str full_designation: str, int number_of_channels: int) "
           "-> list[tuple['DataTypes', str]]\n\n"
           "Parses data type designations; implemented by the subclasses.",
    .params = {reader_params[0], reader_params[1]},
    .returns = reader_returns,
    .impl = data_types_from_designation,
};

const pfnc::FunctionSpec data_types_eq_spec{
    .name = "__eq__",
    .qualname = "DataTypes.__eq__",
    .doc = "DataTypes.__eq__(self, other: object) -> bool\n\n"
           "Checks whether two data type designations hold equal data types.",
    .params = {{"self"}, {"other", "object"}},
    .returns = "bool",
    .impl = data_types_eq,
};

const pfnc::FunctionSpec compound_init_spec{
    .name = "__init__",
    .qualname = "CompoundDataTypes.__init__",
    .doc = "CompoundDataTypes.__init__(self, list scalars: list[DataType]) -> None\n\n"
           "Initializes the designation with one data type per channel.\n\n"
           "Args:\n    scalars (list[DataType]): The data types, in channel order.",
    .params = {{"self"}, {"scalars", "list[DataType]"}},
    .returns = "None",
    .impl = compound_init,
};

const pfnc::FunctionSpec compound_designation_spec{
    .name = "designation",
    .qualname = "CompoundDataTypes.designation",
    .doc = "CompoundDataTypes.designation(self) -> str\n\n"
           "Returns the designation string of the data types.\n\n"
           "Returns:\n    str: One designator for all channels if they agree, else one per channel.",
    .params = {{"self"}},
    .returns = "str",
    .impl = compound_designation,
};

const pfnc::FunctionSpec compound_len_spec{
    .name = "__len__",
    .qualname = "CompoundDataTypes.__len__",
    .doc = "CompoundDataTypes.__len__(self) -> int\n\nReturns the number of data types, one per channel.",
    .params = {{"self"}},
    .returns = "int",
    .impl = compound_len,
};

const pfnc::FunctionSpec compound_getitem_spec{
    .name = "__getitem__",
    .qualname = "CompoundDataTypes.__getitem__",
    .doc = "CompoundDataTypes.__getitem__(self, int item: int) -> DataType\n\n"
           "Returns the data type of the channel at the specified index.",
    .params = {{"self"}, {"item", "int"}},
    .returns = "DataType",
    .impl = compound_getitem,
};

const pfnc::FunctionSpec compound_from_designation_spec{
    .name = "from_designation",
    .qualname = "CompoundDataTypes.from_designation",
    .doc = "CompoundDataTypes.from_designation(str full_designation: str, int number_of_channels: int) "
           "-> list[tuple['DataTypes', str]]\n\n"
           "Parses compound data type designations from the front of a designation string.\n\n"
           "Args:\n    full_designation (str): The designation string, starting with the data types.\n"
           "    number_of_channels (int): The number of channels.\n\n"
           "Returns:\n    list[tuple[DataTypes, str]]: The possible data types, each with the remaining designation.",
    .params = {reader_params[0], reader_params[1]},
    .returns = reader_returns,
    .impl = compound_from_designation,
};

bool scalars_body(pfnc::Module& m) noexcept {
  if (!m.import_from("abc", {"ABCMeta", "abstractmethod"}) || !m.import_from("enum", {"Enum"}) ||
      !m.import_from("typing", {"get_args", "TypeGuard"}) || !m.import_from("logging", {"getLogger"}) ||
      !m.import_from("corvella.pfnc.exceptions",
                     {"DuplicateRegistrationError", "NotRegisteredError", "ParseReject", "PixelFormatValueReject"}) ||
      !m.import_from("_internal.utils", {"all_implementations"}, 2) ||
      !m.import_from("_internal.registry", {"MappingSnapshot", "Registry"}, 2) ||
      !m.set("logger", m.call(s_getLogger, {m.name()})) || !define_designators(m)) {
    return false;
  }
  Ref metaclass = m.global(s_ABCMeta);
  Ref keywords = metaclass ? steal(PyDict_New()) : Ref();
  if (!keywords || PyDict_SetItemString(keywords.get(), "metaclass", metaclass.get()) < 0) return false;
  Ref base = pfnc::ClassBody(m, "DataTypes", "Abstract base class for data type designations.")
                 .def(data_types_designation_spec, pfnc::Kind::abstract)
                 .def(data_types_len_spec, pfnc::Kind::abstract)
                 .def(data_types_getitem_spec, pfnc::Kind::abstract)
                 .def(data_types_create_spec, pfnc::Kind::static_method)
                 .def(data_types_from_designation_spec, pfnc::Kind::static_method)
                 .def(data_types_eq_spec)
                 .build(nullptr, keywords.get());
  Ref bases = base && m.set("DataTypes", borrow(base.get())) ? pfnc::tuple_of({base.get()}) : Ref();
  if (!bases) return false;
  return m.set("CompoundDataTypes",
               pfnc::ClassBody(m, "CompoundDataTypes", "Represents a compound designation containing multiple data types.")
                   .def(compound_init_spec)
                   .def(compound_designation_spec)
                   .def(compound_len_spec)
                   .def(compound_getitem_spec)
                   .def(compound_from_designation_spec, pfnc::Kind::static_method)
                   .build(bases.get()));
}

}  // namespace

}  // namespace scalars_module

PFNC_MODULE(scalars, scalars_module::scalars)
