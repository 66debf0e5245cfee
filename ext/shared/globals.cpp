// A module's globals, looked up at call time as the module's Python code would, behind a cache.
#include "pfnc/globals.hpp"

namespace pfnc {

namespace {
// global() serves a name from its last lookup while no dict it may come
// from has changed: a dict watcher on them moves the epoch on any change.
// CPython allows eight watchers per interpreter, so the package's extensions
// share one: the first to start adds it and leaves it in the interpreter's
// dict, and the others move and read that extension's epoch.
struct Watcher {
  int id;
  unsigned long long* epoch;
};
const char* const watcher_capsule = "corvella.pfnc dict watcher";
unsigned long long own_epoch = 1;
Watcher own_watcher{-1, &own_epoch};
int watcher = -1;                        // the package's watcher, if any
unsigned long long* package_epoch = &own_epoch;

int on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++own_epoch;
  return 0;
}

// Finds the package's watcher in this interpreter, or adds it. Without one
// (all taken by others) every lookup goes to the dicts.
void find_watcher() noexcept {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
  Ref key = steal(PyUnicode_FromString(watcher_capsule));
  PyObject* found = nullptr;
  if (dict == nullptr || !key || PyDict_GetItemRef(dict, key.get(), &found) < 0) return PyErr_Clear();
  Ref capsule = steal(found);
  if (capsule) {
    auto* shared = static_cast<Watcher*>(PyCapsule_GetPointer(capsule.get(), watcher_capsule));
    if (shared == nullptr) return PyErr_Clear();
    watcher = shared->id;
    package_epoch = shared->epoch;
    return;
  }
  own_watcher.id = PyDict_AddWatcher(on_dict_change);
  if (own_watcher.id < 0) return PyErr_Clear();
  capsule = steal(PyCapsule_New(&own_watcher, watcher_capsule, nullptr));
  if (!capsule || PyDict_SetItem(dict, key.get(), capsule.get()) < 0) {
    PyErr_Clear();
    PyDict_ClearWatcher(own_watcher.id);
    return PyErr_Clear();
  }
  watcher = own_watcher.id;
  package_epoch = &own_epoch;
}
}  // namespace

bool Globals::look_up_in(PyObject* dict) noexcept {
  watcher_ = &watcher;
  epoch_ = &package_epoch;
  dict_ = dict;
  // What the module's Python functions would see as their __builtins__.
  Ref builtins = borrow(PyEval_GetBuiltins());
  if (!PyDict_Check(builtins.get())) {
    Ref module = steal(PyImport_ImportModule("builtins"));
    builtins = module ? borrow(PyModule_GetDict(module.get())) : Ref();
    if (!builtins) return false;
  }
  Py_XSETREF(builtins_, builtins.release());
  if (watcher < 0) find_watcher();
  ++*package_epoch;
  if (watcher >= 0 && (PyDict_Watch(watcher, dict_) < 0 || PyDict_Watch(watcher, builtins_) < 0)) {
    PyErr_Clear();
    watcher = -1;  // this extension looks names up without it
  }
  return true;
}

void Globals::forget_globals() noexcept {
  dict_ = builtins_ = nullptr;
  watcher = -1;
  package_epoch = &own_epoch;
  ++own_epoch;
}

void Globals::remember(const Str& name, PyObject* found) const noexcept {
  if (watcher < 0) return;
  name.found_ = found;
  name.found_epoch_ = *package_epoch;
}

Ref Globals::look_up(const Str& name) const noexcept {
  if (dict_ == nullptr) {
    // A function that a collaborator kept from an initialisation that failed.
    PyErr_Format(PyExc_RuntimeError, "Module '%s' is not initialised.", short_name_);
    return {};
  }
  PyObject* found = nullptr;
  int status = PyDict_GetItemRef(dict_, name.get(), &found);
  if (status == 0) status = PyDict_GetItemRef(builtins_, name.get(), &found);
  if (status > 0) remember(name, found);
  if (status != 0) return steal(found);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return {};
}

bool Globals::watch(PyObject* dict) noexcept {
  if (watcher < 0) return false;
  if (PyDict_Watch(watcher, dict) == 0) return true;
  PyErr_Clear();
  return false;
}

unsigned long long Globals::epoch() noexcept { return *package_epoch; }

Ref Globals::call(const Str& name, std::initializer_list<PyObject*> args) const noexcept {
  Ref callable = global(name);
  if (!callable) return {};
  return steal(PyObject_Vectorcall(callable.get(), args.begin(), args.size(), nullptr));
}

}  // namespace pfnc
