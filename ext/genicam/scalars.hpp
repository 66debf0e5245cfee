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

using pfnc::attr;
using pfnc::call_method;
using pfnc::pair;

}  // namespace scalars_module
