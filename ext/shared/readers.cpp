// What the readers of the pieces share: asking every implementation, logging what they reject.
#include "pfnc/readers.hpp"

#include "pfnc/classes.hpp"
#include "pfnc/kept.hpp"

namespace pfnc {

namespace {
Str s_all_implementations{"all_implementations"};
Str s_from_designation{"from_designation"};
Str s_ParseReject{"ParseReject"};
Str s_func{"__func__"};

// ---------------------------------------------------------------- implementation.from_designation

// Looking a classmethod up on a class makes a bound method, which the call
// then unpacks again. What the lookup finds is remembered instead, with the
// version tags of the class and its metaclass, which any change to either
// (or to a base) resets; the call then takes the function the descriptor
// holds now, as the bound method would. A few classes per extension.
struct Reader {
  PyTypeObject* type = nullptr;  // compared only: a later class at this address has another tag
  unsigned int tag = 0;
  PyTypeObject* meta = nullptr;
  unsigned int meta_tag = 0;
  // An exact staticmethod or classmethod, or null for the usual lookup.
  // Borrowed: while the tags stand, the class's dicts hold it; a strong
  // reference could keep a caller's class alive, and in its family.
  PyObject* descriptor = nullptr;
};
constexpr int reader_slots = 8;
Reader readers[reader_slots];
int next_reader = 0;
Kept readers_valid;  // empty when the readers were found in an interpreter that is gone
PyMemberDef* classmethod_func = nullptr;  // classmethod.__func__, a static type's member

bool has_tag(PyTypeObject* type) noexcept { return PyUnstable_Type_AssignVersionTag(type) && type->tp_version_tag != 0; }

// The staticmethod or classmethod that type.__getattribute__(cls, name)
// finds on the class, when nothing of the metaclass's takes part.
Ref method_descriptor(PyTypeObject* type, PyObject* name) noexcept {
  PyTypeObject* meta = Py_TYPE(type);
  Ref on_meta, on_type;
  if (meta->tp_getattro != PyType_Type.tp_getattro || !look_up_along_mro(meta, name, on_meta) || on_meta ||
      !look_up_along_mro(type, name, on_type) || !on_type ||
      !(Py_IS_TYPE(on_type.get(), &PyStaticMethod_Type) || Py_IS_TYPE(on_type.get(), &PyClassMethod_Type))) {
    return {};
  }
  if (classmethod_func == nullptr) {
    Ref dict = steal(PyType_GetDict(&PyClassMethod_Type));
    PyObject* member = dict ? PyDict_GetItemWithError(dict.get(), s_func.get()) : nullptr;
    if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) {
      PyErr_Clear();
      return {};
    }
    classmethod_func = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
  }
  return on_type;
}

// What is known of cls.from_designation; nullptr when cls has no version tag.
Reader* known_reader(PyObject* cls) noexcept {
  if (!PyType_Check(cls)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyTypeObject* meta = Py_TYPE(type);
  if (!readers_valid) {
    for (Reader& reader : readers) reader = Reader{};
    readers_valid.set(borrow(Py_None));
  }
  for (Reader& reader : readers) {
    if (reader.type == type && type->tp_version_tag == reader.tag && reader.meta == meta &&
        meta->tp_version_tag == reader.meta_tag && reader.tag != 0) {
      return &reader;
    }
  }
  if (!has_tag(type) || !has_tag(meta)) return nullptr;
  unsigned int tag = type->tp_version_tag, meta_tag = meta->tp_version_tag;
  Ref descriptor = method_descriptor(type, s_from_designation.get());
  // A dict's odd key may have run code meanwhile; then it is found again next time.
  if (type->tp_version_tag != tag || meta->tp_version_tag != meta_tag) return nullptr;
  Reader& reader = readers[next_reader];
  next_reader = (next_reader + 1) % reader_slots;
  reader.type = type;
  reader.tag = tag;
  reader.meta = meta;
  reader.meta_tag = meta_tag;
  reader.descriptor = descriptor.get();
  return &reader;
}

// cls.from_designation(*args), with stack[0] cls and the n - 1 args after it.
Ref call_from_designation(PyObject** stack, size_t n) noexcept {
  Reader* reader = known_reader(stack[0]);
  // Borrowed: nothing runs before the function it holds is taken, and that is held for the call.
  PyObject* descriptor = reader != nullptr ? reader->descriptor : nullptr;
  if (descriptor != nullptr && Py_IS_TYPE(descriptor, &PyStaticMethod_Type)) {
    Ref function = steal(Py_TYPE(descriptor)->tp_descr_get(descriptor, nullptr, stack[0]));
    if (!function) return {};
    if (Impl impl = direct_impl(function.get(), static_cast<Py_ssize_t>(n - 1))) return steal(impl(stack + 1));
    return steal(PyObject_Vectorcall(function.get(), stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (descriptor != nullptr) {
    // A cleared classmethod reads as None here: the lookup says what is wrong.
    Ref function = steal(PyMember_GetOne(reinterpret_cast<const char*>(descriptor), classmethod_func));
    if (!function) return {};
    if (function.get() != Py_None) {
      // A reader of this extension's own is called as its function would call it.
      if (Impl impl = direct_impl(function.get(), static_cast<Py_ssize_t>(n))) return steal(impl(stack));
      return steal(PyObject_Vectorcall(function.get(), stack, n, nullptr));
    }
  }
  return steal(PyObject_VectorcallMethod(s_from_designation.get(), stack, n, nullptr));
}

// ---------------------------------------------------------------- all_implementations(base)

const ImplementationsApi* implementations_api = nullptr;
Kept implementations_api_valid;  // empty until the capsule is looked for in this interpreter

const ImplementationsApi* lent_api() noexcept {
  if (!implementations_api_valid) {
    auto* api = static_cast<const ImplementationsApi*>(PyCapsule_Import(implementations_api_name, 0));
    if (api == nullptr) PyErr_Clear();
    implementations_api = api != nullptr && api->version == ImplementationsApi::current_version ? api : nullptr;
    implementations_api_valid.set(borrow(Py_None));
  }
  return implementations_api;
}

// The implementations, as strong references: taken from the family's cache
// while the global is the package's own all_implementations, else from its
// call, walked as its iterator would walk it.
class Implementations {
 public:
  bool ask(PyObject* all, PyObject* family) noexcept {
    const ImplementationsApi* api = lent_api();
    if (api != nullptr && all == api->function) {
      count_ = api->take(family, taken_, capacity);
      if (count_ >= 0) return true;
    }
    count_ = 0;
    answer_ = steal(PyObject_CallOneArg(all, family));
    if (answer_ && !PyList_CheckExact(answer_.get())) iterator_ = steal(PyObject_GetIter(answer_.get()));
    return answer_ && (iterator_ || PyList_CheckExact(answer_.get()));
  }
  ~Implementations() {
    for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(taken_[i]);
  }
  // The next one, or empty at the end (an exception set if it failed).
  Ref next() noexcept {
    if (!answer_) return position_ < count_ ? borrow(taken_[position_++]) : Ref();
    if (iterator_) return steal(PyIter_Next(iterator_.get()));
    return position_ < PyList_GET_SIZE(answer_.get()) ? borrow(PyList_GET_ITEM(answer_.get(), position_++)) : Ref();
  }

 private:
  static constexpr Py_ssize_t capacity = 16;
  PyObject* taken_[capacity];
  Py_ssize_t count_ = 0;
  Py_ssize_t position_ = 0;
  Ref answer_;
  Ref iterator_;
};

}  // namespace

Ref ask_every_implementation(const Module& m, const Str& base, std::initializer_list<PyObject*> args) noexcept {
  Ref all = m.global(s_all_implementations);
  Ref family = all ? m.global(base) : Ref();
  Implementations implementations;
  if (!family || !implementations.ask(all.get(), family.get())) return {};
  // Made when first needed: often one implementation's own list is the result.
  Ref result;
  PyObject* call_args[4] = {};
  size_t n = 1;
  for (PyObject* arg : args) call_args[n++] = arg;
  while (Ref implementation = implementations.next()) {
    call_args[0] = implementation.get();
    Ref found = call_from_designation(call_args, n);
    if (found && PyList_CheckExact(found.get())) {
      // An empty list adds nothing, and a new one that nobody else holds can be the result itself.
      if (PyList_GET_SIZE(found.get()) == 0) continue;
      if ((!result || PyList_GET_SIZE(result.get()) == 0) && Py_REFCNT(found.get()) == 1) {
        result = std::move(found);
        continue;
      }
    }
    if (found && !result && !(result = steal(PyList_New(0)))) return {};
    if (found && PyList_Extend(result.get(), found.get()) == 0) continue;
    // One implementation refusing the text must not cost the others their candidates.
    if (log_rejected(m, s_ParseReject, "Parsing rejected: ", implementation.get()) <= 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return result ? std::move(result) : steal(PyList_New(0));
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
