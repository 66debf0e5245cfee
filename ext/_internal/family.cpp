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

Str s_isabstract{"isabstract"};
Str s_abstractmethods{"__abstractmethods__"};

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

// inspect.isabstract(cls); *native stays true where the answer came from the
// class's flags and dict alone, with nothing of the class's run.
int is_abstract(PyObject* cls, bool* native) noexcept {
  if (usual_metaclass(cls)) {
    if (PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_IS_ABSTRACT)) return 1;
    if (Py_IS_TYPE(cls, &PyType_Type)) return 0;
    // ABCMeta sets __abstractmethods__ when it has finished the class.
    int finished = PyObject_HasAttrWithError(cls, s_abstractmethods.get());
    if (finished != 0) return finished < 0 ? -1 : 0;
  }
  // Another metaclass, or a class still inside ABCMeta.__new__.
  *native = false;
  Ref answer = family.call(s_isabstract, {cls});
  return answer ? PyObject_IsTrue(answer.get()) : -1;
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
    bool native = true;
    int abstract = is_abstract(sub.get(), &native);
    if (abstract < 0 || (!abstract && PyList_Append(result.get(), sub.get()) < 0)) return {};
    cacheable = cacheable && native && usual_metaclass(sub.get()) && record(found->nodes, sub.get()) &&
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
  if (!m.import_from("inspect", {"isabstract"})) return false;
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
