// What the two halves of the scalars module share: the module and the data-type functions.
#pragma once

#include "pfnc/pfnc.hpp"

namespace scalars_module {

extern pfnc::Module scalars;

// Binds DefaultDataType, DataType, DataTypeRegistry, DATA_TYPE_REGISTRY,
// is_data_type and datatype_name, in that order.
bool define_designators(pfnc::Module& m) noexcept;

// is_data_type(candidate) through the module global, as a truth value; -1 on error.
int call_is_data_type(PyObject* candidate) noexcept;

// datatype_name(data_type[, multiple_designators=True]) through the module global.
pfnc::Ref call_datatype_name(PyObject* data_type, bool multiple_designators) noexcept;

inline pfnc::Ref attr(PyObject* object, const pfnc::Str& name) noexcept {
  return pfnc::steal(PyObject_GetAttr(object, name.get()));
}

// object.name(*args), args[0] being the object.
inline pfnc::Ref call_method(const pfnc::Str& name, std::initializer_list<PyObject*> args) noexcept {
  return pfnc::steal(PyObject_VectorcallMethod(name.get(), args.begin(), args.size(), nullptr));
}

}  // namespace scalars_module
