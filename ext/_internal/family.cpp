// The implementations of a family of designation classes, found in C++ and cached while the family is unchanged.
#include <utility>
#include <vector>

#include "pfnc/pfnc.hpp"

namespace family_module {

using pfnc::class_tree::Node;
using pfnc::class_tree::record;
using pfnc::class_tree::release;
using pfnc::class_tree::subclasses_of;
using pfnc::class_tree::unchanged;

// A family's implementations as they stand now.
struct Found {
  std::vector<Node> nodes;         // every class walked, cls first
  std::vector<PyObject*> classes;  // the result, each among nodes
  bool cacheable = false;
};

// all_implementations' cache: a few families at a time, the two of the
// package and room for a caller's.
struct Entry {
  PyObject* base = nullptr;  // compared only; nodes[0] is its node
  unsigned long long epoch = 0;
  Found found;
};

// Everything the module keeps for its interpreter. When the module starts in
// a new one, forget() drops what the old one held without releasing it.
struct State {
  pfnc::Kept abc_meta;             // abc.ABCMeta, compared only
  pfnc::Kept all_implementations;  // held for the capsule's identity test
  static constexpr int entry_count = 4;
  Entry entries[entry_count];
  int next_entry = 0;

  void forget() noexcept;
};

namespace {
bool family_body(pfnc::Module& m) noexcept;
}  // namespace

pfnc::ModuleWith<State> family("_family",
                    "The implementations of a family of designation classes.\n",
                    family_body);

namespace {

using pfnc::borrow;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;

Str s_abstractmethods{"__abstractmethods__"};
Str s_isabstractmethod{"__isabstractmethod__"};

template <class T>
bool push(std::vector<T>& items, T&& item) noexcept {
  try {
    items.push_back(std::forward<T>(item));
    return true;
  } catch (...) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

void State::forget() noexcept {
  for (Entry& entry : entries) {
    entry.base = nullptr;
    entry.epoch = 0;
    entry.found.nodes.clear();
    entry.found.classes.clear();
  }
  next_entry = 0;
}

namespace {

// ---------------------------------------------------------------- the walk

bool usual_metaclass(PyObject* cls) noexcept {
  return Py_IS_TYPE(cls, &PyType_Type) || Py_TYPE(cls) == reinterpret_cast<PyTypeObject*>(family.state.abc_meta.get());
}

// getattr(owner, name, False) is true: 1, 0, or -1 with an exception set.
int attribute_is_true(PyObject* owner, PyObject* name) noexcept {
  PyObject* value = nullptr;
  int found = PyObject_GetOptionalAttr(owner, name, &value);
  if (found <= 0) return found;
  Ref held = steal(value);
  return PyObject_IsTrue(value);
}

// What ABCMeta will find for a class it has not finished: a member marked
// abstract, or a base's abstract method not overridden. The members and the
// names are copied before they are asked, since asking may run code, and
// ABCMeta may finish the class (adding to its dict) meanwhile.
int has_abstract_members(PyObject* cls, PyObject* dict) noexcept {
  Ref members = steal(PyDict_Values(dict));
  if (!members) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
    int abstract = attribute_is_true(PyList_GET_ITEM(members.get(), i), s_isabstractmethod.get());
    if (abstract != 0) return abstract;
  }
  Ref bases = borrow(reinterpret_cast<PyTypeObject*>(cls)->tp_bases);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    PyObject* names = nullptr;
    int found = PyObject_GetOptionalAttr(PyTuple_GET_ITEM(bases.get(), i), s_abstractmethods.get(), &names);
    if (found <= 0) {
      if (found < 0) return -1;
      continue;
    }
    Ref abstract_names = steal(PySequence_Tuple(names));
    Py_DECREF(names);
    if (!abstract_names) return -1;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(abstract_names.get()); ++j) {
      PyObject* member = nullptr;
      found = PyObject_GetOptionalAttr(cls, PyTuple_GET_ITEM(abstract_names.get(), j), &member);
      if (found < 0) return -1;
      Ref held = steal(member);
      int abstract = found != 0 ? attribute_is_true(member, s_isabstractmethod.get()) : 0;
      if (abstract != 0) return abstract;
    }
  }
  return 0;
}

// inspect.isabstract(cls) for a class, from what the class holds at one
// moment, read with nothing run in between: another thread may be inside
// ABCMeta.__new__ for it. *finished turns false for such a class, whose
// answer must not be kept.
int is_abstract(PyObject* cls, bool* finished) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) return 1;
  if (!PyType_IsSubtype(Py_TYPE(cls), reinterpret_cast<PyTypeObject*>(family.state.abc_meta.get()))) return 0;
  // ABCMeta sets __abstractmethods__ when it has finished the class. Read
  // where type keeps it, so that no code of a metaclass's runs first.
  Ref dict = steal(PyType_GetDict(type));
  int done = dict ? PyDict_Contains(dict.get(), s_abstractmethods.get()) : -1;
  if (done != 0) return done < 0 ? -1 : 0;
  *finished = false;
  return has_abstract_members(cls, dict.get());
}

bool push_reversed(std::vector<Ref>& pending, PyObject* list) noexcept {
  for (Py_ssize_t i = PyList_GET_SIZE(list); i-- > 0;) {
    if (!push(pending, borrow(PyList_GET_ITEM(list, i)))) return false;
  }
  return true;
}

// all_implementations, step by step as the documented algorithm takes them;
// when found is given, records the walk too.
Ref walk(PyObject* cls, Found* found) noexcept {
  bool cacheable = found != nullptr && usual_metaclass(cls) && record(found->nodes, cls);
  Ref result = steal(PyList_New(0));
  Ref seen = result ? steal(PySet_New(nullptr)) : Ref();
  if (!seen || PySet_Add(seen.get(), cls) < 0) return {};
  Ref first = subclasses_of(cls);
  std::vector<Ref> pending;
  if (!first || !push_reversed(pending, first.get())) return {};
  while (!pending.empty()) {
    Ref sub = std::move(pending.back());
    pending.pop_back();
    int known = PySet_Contains(seen.get(), sub.get());
    if (known != 0) {
      if (known < 0) return {};
      continue;
    }
    if (PySet_Add(seen.get(), sub.get()) < 0) return {};
    bool finished = true;
    int abstract = is_abstract(sub.get(), &finished);
    if (abstract < 0 || (!abstract && PyList_Append(result.get(), sub.get()) < 0)) return {};
    cacheable = cacheable && finished && usual_metaclass(sub.get()) && record(found->nodes, sub.get()) &&
                (abstract || push(found->classes, sub.get()));
    Ref next = subclasses_of(sub.get());
    if (!next || !push_reversed(pending, next.get())) return {};
  }
  if (found != nullptr) found->cacheable = cacheable;
  return result;
}

// ---------------------------------------------------------------- the cache

bool fresh(const Entry& entry) noexcept {
  if (entry.epoch != pfnc::Module::epoch()) return false;
  for (const Node& node : entry.found.nodes) {
    if (!unchanged(node)) return false;
  }
  return true;
}

PyObject* list_of(const std::vector<PyObject*>& classes) noexcept {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(classes.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < classes.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(classes[i]));
  return list;
}

PyObject* family_all_implementations(PyObject* const* args) noexcept {
  PyObject* cls = args[0];
  State& state = family.state;
  Entry* slot = nullptr;
  for (Entry& entry : state.entries) {
    if (entry.base != cls) continue;
    if (fresh(entry)) return list_of(entry.found.classes);
    slot = &entry;
  }
  unsigned long long epoch = pfnc::Module::epoch();
  Found found;
  Ref result = walk(cls, &found);
  if (!result || !found.cacheable) {
    release(found.nodes);
    return result.release();
  }
  // The walk may have run code that filled slots meanwhile: look again.
  if (slot == nullptr || slot->base != cls) {
    slot = &state.entries[state.next_entry];
    state.next_entry = (state.next_entry + 1) % State::entry_count;
  }
  release(slot->found.nodes);
  slot->base = cls;
  slot->epoch = epoch;
  slot->found.classes.swap(found.classes);
  slot->found.nodes.swap(found.nodes);
  return result.release();
}

Py_ssize_t take_cached(PyObject* cls, PyObject** out, Py_ssize_t capacity) noexcept {
  for (Entry& entry : family.state.entries) {
    if (entry.base != cls || !fresh(entry)) continue;
    auto count = static_cast<Py_ssize_t>(entry.found.classes.size());
    if (count > capacity) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = Py_NewRef(entry.found.classes[static_cast<size_t>(i)]);
    return count;
  }
  return -1;
}

// Static: the capsule points here for as long as the process lives. The
// function is set anew in every interpreter the module starts in.
pfnc::ImplementationsApi implementations_api{pfnc::ImplementationsApi::current_version, nullptr, take_cached};

PyObject* family_walk(PyObject* const* args) noexcept { return walk(args[0], nullptr).release(); }

const pfnc::FunctionSpec all_implementations_spec{
    .name = "all_implementations",
    .qualname = "all_implementations",
    .doc = "Return the concrete classes that derive from ``cls``, never ``cls`` itself.\n\n"
           "    Subclasses are searched depth first, direct and indirect ones alike, each\n"
           "    level in the order the classes were defined, so that a class comes before\n"
           "    the classes derived from it. Abstract classes are skipped but their own\n"
           "    subclasses are still searched. A class reached along several paths\n"
           "    (multiple inheritance) is listed once, where it is first reached.\n"
           "    ",
    .params = {{"cls", "type"}},
    .returns = "list[type]",
    .impl = family_all_implementations,
};

const pfnc::FunctionSpec walk_spec{
    .name = "_walk",
    .qualname = "_walk",
    .doc = "all_implementations(cls), worked out afresh: the walk no reader of a family can avoid.",
    .params = {{"cls", "type"}},
    .returns = "list[type]",
    .impl = family_walk,
};

bool family_body(pfnc::Module& m) noexcept {
  Ref utils_name = steal(PyUnicode_FromString("corvella.pfnc._internal.utils"));
  if (!utils_name) return false;
  State& state = family.state;
  Ref abc = steal(PyImport_ImportModule("abc"));
  state.abc_meta.set(abc ? steal(PyObject_GetAttrString(abc.get(), "ABCMeta")) : Ref());
  if (!state.abc_meta) return false;
  // Shown where the families have always imported it from.
  Ref function = m.function(all_implementations_spec);
  if (!function || PyObject_SetAttrString(function.get(), "__module__", utils_name.get()) < 0) return false;
  state.all_implementations.set(borrow(function.get()));
  implementations_api.function = function.get();
  Ref api = steal(PyCapsule_New(&implementations_api, pfnc::implementations_api_name, nullptr));
  return api && m.set("_implementations_api", std::move(api)) && m.set("all_implementations", std::move(function)) &&
         m.def(walk_spec);
}

}  // namespace

}  // namespace family_module

PFNC_MODULE(_family, family_module::family)
