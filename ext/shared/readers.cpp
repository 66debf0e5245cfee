// What the readers of the pieces share: asking every implementation, logging what they reject.
#include "pfnc/readers.hpp"

namespace pfnc {

namespace {
Str s_all_implementations{"all_implementations"};
Str s_from_designation{"from_designation"};
Str s_ParseReject{"ParseReject"};
}  // namespace

Ref ask_every_implementation(const Module& m, const Str& base, std::initializer_list<PyObject*> args) noexcept {
  Ref all = m.global(s_all_implementations);
  Ref family = all ? m.global(base) : Ref();
  Ref implementations = family ? steal(PyObject_CallOneArg(all.get(), family.get())) : Ref();
  Ref it = implementations ? steal(PyObject_GetIter(implementations.get())) : Ref();
  Ref result = it ? steal(PyList_New(0)) : Ref();
  if (!result) return {};
  PyObject* call_args[4] = {};
  size_t n = 1;
  for (PyObject* arg : args) call_args[n++] = arg;
  while (Ref implementation = steal(PyIter_Next(it.get()))) {
    call_args[0] = implementation.get();
    Ref found = steal(PyObject_VectorcallMethod(s_from_designation.get(), call_args, n, nullptr));
    if (found && PyList_Extend(result.get(), found.get()) == 0) continue;
    // One implementation refusing the text must not cost the others their candidates.
    if (log_rejected(m, s_ParseReject, "Parsing rejected: ", implementation.get()) <= 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return result;
}

int log_rejected(const Module& m, const Str& exception, const char* prefix, PyObject* named) noexcept {
  int caught = m.error_matches(exception);
  if (caught <= 0) return caught;
  Ref e = steal(PyErr_GetRaisedException());
  return m.debug_caught(prefix, e.get(), named) ? 1 : -1;
}

Ref repeated(PyObject* item, PyObject* count, long long n, int overflow) noexcept {
  // Short lists are filled directly; the host multiplies the rest, with its
  // own errors for counts it cannot allocate.
  if (overflow == 0 && n <= 64) {
    Ref list = steal(PyList_New(n > 0 ? static_cast<Py_ssize_t>(n) : 0));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(item));
    return list;
  }
  Ref one = steal(PyList_New(1));
  if (!one) return {};
  PyList_SET_ITEM(one.get(), 0, Py_NewRef(item));
  return steal(PyNumber_Multiply(one.get(), count));
}

}  // namespace pfnc
