// What the memos' readings depend on: the pieces, and the modules of a package.
#include "memo.hpp"

namespace memo_module {

namespace {

using pfnc::borrow;
using pfnc::Ref;
using pfnc::steal;
using pfnc::Str;
using pfnc::class_tree::record;
using pfnc::class_tree::release;
using pfnc::class_tree::subclasses_of;

Str s_name{"__name__"};
Str s_module{"__module__"};
Str s_path{"__path__"};
Str s_registry{"DATA_TYPE_REGISTRY"};
Str s_registry_dict{"_registry"};

const char* const pieces[] = {"corvella.pfnc.genicam.widths", "corvella.pfnc.genicam.scalars",
                              "corvella.pfnc.genicam.layouts"};

// One type watcher for every class a memo depends on; the dict watcher is the package's.
State& state = memo_extension.state;
World& world = memo_extension.state.world;

int on_type_change(PyTypeObject*) noexcept {
  ++state.type_epoch;
  return 0;
}

}  // namespace

void State::forget() noexcept {
  world.ok = world.rebuilding = false;
  world.dict_epoch = world.type_epoch = 0;
  world.builtins = nullptr;
  world.nodes.clear();
  world.leaves.clear();
  type_watcher = -1;
}

void add_type_watcher() noexcept {
  // Watcher ids belong to an interpreter: each new one adds its own, or the memos stay off.
  if (state.type_watcher < 0 && (state.type_watcher = PyType_AddWatcher(on_type_change)) < 0) PyErr_Clear();
}

bool watch_type(PyTypeObject* type) noexcept {
  // A static type never changes; a heap type tells the watcher only while it has a tag.
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return true;
  if (state.type_watcher < 0) return false;
  if (PyType_Watch(state.type_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return false;
  }
  return PyUnstable_Type_AssignVersionTag(type) != 0;
}

// ---------------------------------------------------------------- the pieces

// The pieces as a reading sees them: the three modules' globals and the
// builtins they fall back on, the registry's contents, and the trees of the
// classes the modules define. Checked on every call by two counters, the
// builtins in use and the subclass registries that did not exist yet; rebuilt
// when any of them moved.
bool world_current() noexcept {
  if (world.dict_epoch != pfnc::Module::epoch() || world.type_epoch != state.type_epoch ||
      world.builtins != PyEval_GetBuiltins()) {
    return false;
  }
  for (PyTypeObject* leaf : world.leaves) {
    if (leaf->tp_subclasses != nullptr) return false;
  }
  return true;
}

namespace {

// Strong: recording a class may collect garbage, and a finaliser may unbind the others.
using Classes = std::vector<Ref>;

bool is_own(const Classes& own, PyObject* cls) noexcept {
  for (const Ref& c : own) {
    if (c.get() == cls) return true;
  }
  return false;
}

// The classes a module defines: its globals whose __module__ is the module.
bool own_classes(PyObject* globals, Classes& own) noexcept {
  PyObject* name = PyDict_GetItemWithError(globals, s_name.get());
  if (name == nullptr || !PyUnicode_CheckExact(name)) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(globals, &pos, &key, &value)) {
    if (!PyType_Check(value) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(value), Py_TPFLAGS_HEAPTYPE)) {
      continue;
    }
    Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(value)));
    PyObject* module = dict ? PyDict_GetItemWithError(dict.get(), s_module.get()) : nullptr;
    if (module == nullptr && PyErr_Occurred()) return false;
    if (module == nullptr || !PyUnicode_CheckExact(module) || PyUnicode_Compare(module, name) != 0) continue;
    try {
      own.push_back(borrow(value));
    } catch (...) {
      return false;
    }
  }
  return true;
}

// Every class of cls's tree; all must be the pieces' own (a memo holding an
// instance of a caller's class would keep that class from being collected).
bool record_tree(PyObject* cls, const Classes& own) noexcept {
  if (!is_own(own, cls) || !record(world.nodes, cls)) return false;
  const pfnc::class_tree::Node& node = world.nodes.back();
  if (!watch_type(node.type) || !watch_type(Py_TYPE(cls))) return false;
  if (node.subclasses == nullptr) {
    try {
      world.leaves.push_back(node.type);
    } catch (...) {
      return false;
    }
  }
  Ref subclasses = subclasses_of(cls);
  if (!subclasses) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
    if (!record_tree(PyList_GET_ITEM(subclasses.get(), i), own)) return false;
  }
  return true;
}

// DATA_TYPE_REGISTRY: the binding (a global), its attributes and its dict.
bool record_registry(PyObject* globals, const Classes& own) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(globals, s_registry.get(), &found) <= 0) return false;
  // Strong: the class lookup below may run a descriptor's code.
  Ref registry_ref = steal(found);
  PyObject* registry = found;
  PyTypeObject* type = Py_TYPE(registry);
  // Attributes come from the instance dict alone: no metaclass, no class attribute of the name.
  if (!is_own(own, reinterpret_cast<PyObject*>(type)) || !Py_IS_TYPE(type, &PyType_Type) ||
      PyObject_HasAttrWithError(reinterpret_cast<PyObject*>(type), s_registry_dict.get()) != 0) {
    return false;
  }
  Ref attributes = steal(PyObject_GenericGetDict(registry, nullptr));
  if (!attributes || !PyDict_CheckExact(attributes.get()) || !pfnc::Module::watch(attributes.get())) return false;
  PyObject* names = PyDict_GetItemWithError(attributes.get(), s_registry_dict.get());
  return names != nullptr && PyDict_CheckExact(names) && pfnc::Module::watch(names);
}

}  // namespace

void rebuild_world() noexcept {
  world.ok = false;
  // Code run meanwhile (a finaliser, a descriptor) may read through a memo: it reads without one.
  if (world.rebuilding) return;
  world.rebuilding = true;
  release(world.nodes);
  world.leaves.clear();
  world.dict_epoch = pfnc::Module::epoch();
  world.type_epoch = state.type_epoch;
  world.builtins = PyEval_GetBuiltins();
  Classes own;
  Ref modules[3];
  PyObject* globals[3] = {};  // each borrowed from its module in modules
  bool ok = world.builtins != nullptr && pfnc::Module::watch(world.builtins);
  for (int i = 0; ok && i < 3; ++i) {
    Ref name = steal(PyUnicode_FromString(pieces[i]));
    modules[i] = name ? steal(PyImport_GetModule(name.get())) : Ref();
    globals[i] = modules[i] && PyModule_CheckExact(modules[i].get()) ? PyModule_GetDict(modules[i].get()) : nullptr;
    // Not imported yet: nothing watched would tell when it is, so look again next time.
    if (globals[i] == nullptr) world.dict_epoch = 0;
    ok = globals[i] != nullptr && pfnc::Module::watch(globals[i]) && own_classes(globals[i], own);
  }
  for (size_t i = 0; ok && i < own.size(); ++i) ok = record_tree(own[i].get(), own);
  ok = ok && record_registry(globals[1], own);
  // Whatever stopped it, the reader reads without the memo meanwhile.
  PyErr_Clear();
  world.ok = ok;
  world.rebuilding = false;
}

// ---------------------------------------------------------------- a package

bool is_package(PyObject* item) noexcept {
  if (!PyModule_Check(item)) return false;
  int found = PyDict_Contains(PyModule_GetDict(item), s_path.get());
  if (found < 0) PyErr_Clear();
  return found > 0;
}

namespace {

bool watch_module(PyObject* module, Classes& own) noexcept {
  PyObject* globals = PyModule_GetDict(module);
  return PyDict_CheckExact(globals) && pfnc::Module::watch(globals) && own_classes(globals, own);
}

// A module imported later binds itself in its parent package's globals, which
// are watched: the change that follows finds it here.
bool watch_modules(PyObject* package, Classes& own) noexcept {
  if (!watch_module(package, own)) return false;
  PyObject* name = PyDict_GetItemWithError(PyModule_GetDict(package), s_name.get());
  if (name == nullptr || !PyUnicode_CheckExact(name)) return false;
  Ref prefix = steal(PyUnicode_FromFormat("%U.", name));
  // Borrowed, and none once the interpreter is being finalised.
  PyObject* modules = PySys_GetObject("modules");
  if (!prefix || modules == nullptr || !PyDict_CheckExact(modules)) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(modules, &pos, &key, &value)) {
    // None blocks an import: nothing there to read.
    if (!PyUnicode_CheckExact(key) || value == Py_None ||
        PyUnicode_Tailmatch(key, prefix.get(), 0, PY_SSIZE_T_MAX, -1) != 1) {
      continue;
    }
    if (!PyModule_Check(value) || !watch_module(value, own)) return false;
  }
  for (const Ref& cls : own) {
    if (!watch_type(reinterpret_cast<PyTypeObject*>(cls.get()))) return false;
  }
  return true;
}

}  // namespace

bool watch_package(PyObject* package) noexcept {
  Classes own;
  bool ok = watch_modules(package, own);
  PyErr_Clear();
  return ok;
}

}  // namespace memo_module
