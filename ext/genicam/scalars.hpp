// What the two halves of the scalars module share: the module and the data-type functions.
#pragma once

#include "pfnc/pfnc.hpp"

// What one file of the module gives the other; everything else is file-local
// (an anonymous namespace), as in every module.
namespace scalars_module {

// What the module keeps between calls.
struct State {
  pfnc::Kept registry_class;           // DataTypeRegistry as its own methods' super() sees it
  pfnc::Kept is_data_type_function;    // while the globals still name these two, they are
  pfnc::Kept datatype_name_function;   // called directly instead of through vectorcall
  // The members of the module's own DefaultDataType are read once, at import:
  // an enum's members are fixed, and reading them runs Python code, which lets
  // other threads in while restore() has emptied the registry. With these,
  // clearing and refilling run no Python code at all.
  pfnc::Kept own_members;        // the class
  pfnc::Kept own_default_pairs;  // ((value, member), ...)
  pfnc::Kept own_unsigned;
  // get_args(DataType), kept while the globals name typing's own get_args and
  // the same union: a union is immutable, so the members stay what they were.
  pfnc::Kept typing_get_args;
  pfnc::Kept cached_data_type;
  pfnc::Kept cached_members;
  // While the package's epoch is still this one, the globals name our own
  // is_data_type and the DataType of cached_members: no dict they come from
  // has changed since. 0: not known.
  unsigned long long members_epoch = 0;
  // The version tags of DefaultDataType and its metaclass when own_unsigned
  // was read: while both stand, DefaultDataType.UNSIGNED is still it.
  unsigned int own_members_tag = 0;
  unsigned int own_meta_tag = 0;

  void forget() noexcept { members_epoch = own_members_tag = own_meta_tag = 0; }
};

extern pfnc::ModuleWith<State> scalars;

// Binds DefaultDataType, DataType, DataTypeRegistry, DATA_TYPE_REGISTRY,
// is_data_type and datatype_name, in that order.
bool define_designators(pfnc::Module& m) noexcept;

// is_data_type(candidate) through the module global, as a truth value; -1 on error.
int ask_is_data_type(PyObject* candidate) noexcept;
inline int call_is_data_type(PyObject* candidate) noexcept {
  // An instance of exactly the first member: isinstance() says so before it could run any code.
  const State& st = scalars.state;
  if (st.members_epoch == pfnc::Globals::epoch()) {
    PyObject* members = st.cached_members.get();
    if (PyTuple_GET_SIZE(members) > 0 && Py_TYPE(candidate) == reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(members, 0))) {
      return 1;
    }
  }
  return ask_is_data_type(candidate);
}

// members.UNSIGNED, for the class the globals name DefaultDataType.
pfnc::Ref unsigned_member(PyObject* members) noexcept;

// datatype_name(data_type[, multiple_designators=True]) through the module global.
pfnc::Ref call_datatype_name(PyObject* data_type, bool multiple_designators) noexcept;

}  // namespace scalars_module
