// One extension module: its definition, once-per-process rules and globals.
#include "pfnc/module.hpp"

#include "pfnc/calls.hpp"

namespace pfnc {

namespace {
// Everything of the shared layer that is process-wide within one extension,
// with internal linkage: each extension's copy is its own whatever the
// symbol visibility it is built with.
Module* instance = nullptr;  // the one Module of this extension
Str* str_head = nullptr;
Kept* kept_head = nullptr;
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
unsigned long long* epoch = &own_epoch;  // the package's epoch

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
    epoch = shared->epoch;
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
  epoch = &own_epoch;
}
}  // namespace

Str::Str(const char* text) noexcept : text_(text), next_(str_head) { str_head = this; }

Kept::Kept() noexcept : next_(kept_head) { kept_head = this; }

void Kept::forget_all() noexcept {
  for (Kept* k = kept_head; k != nullptr; k = k->next_) k->obj_ = nullptr;
}

void Str::forget_all() noexcept {
  for (Str* s = str_head; s != nullptr; s = s->next_) {
    s->obj_ = nullptr;
    s->keywords_ = nullptr;
    s->found_ = nullptr;
    s->found_epoch_ = 0;
  }
}

PyObject* Str::keywords() const noexcept {
  if (keywords_ == nullptr) keywords_ = PyTuple_Pack(1, obj_);
  return keywords_;
}

bool Str::intern_all() noexcept {
  for (Str* s = str_head; s != nullptr; s = s->next_) {
    if (s->obj_ != nullptr) continue;
    s->obj_ = PyUnicode_InternFromString(s->text_);
    if (s->obj_ == nullptr) return false;
  }
  return true;
}

namespace {
Str s_debug{"debug"};
Str s_logger{"logger"};
Str s_no_spec{""};
Str s_name{"__name__"};
}  // namespace

Module::Module(const char* short_name, const char* doc, Body body) noexcept
    : def_{}, slots_{}, short_name_(short_name), body_(body) {
  instance = this;
  slots_[0] = {Py_mod_create, reinterpret_cast<void*>(&Module::create)};
  slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)};
  // Every interpreter may ask; create() refuses all but the first, so the
  // interpreter's own check must not answer first with another message.
  slots_[2] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
  slots_[3] = {Py_mod_gil, Py_MOD_GIL_USED};
  slots_[4] = {0, nullptr};
  def_.m_base = PyModuleDef_HEAD_INIT;
  def_.m_name = short_name;
  def_.m_doc = doc;
  def_.m_size = 0;
  def_.m_slots = slots_;
}

PyObject* Module::init() noexcept { return PyModuleDef_Init(&def_); }

PyObject* Module::create(PyObject* spec, PyModuleDef*) noexcept {
  Module& self = *instance;
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t current = PyInterpreterState_GetID(interp);
  if (current < 0) return nullptr;
  int64_t expected = -1;
  if (!self.owner_.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  // The same id is no proof: after Py_FinalizeEx the next main interpreter is 0 again.
  int known = self.started_in(interp);
  if (known < 0) return nullptr;
  if (known == 0) self.forget_interpreter();
  if (self.module_ != nullptr) return Py_NewRef(self.module_);
  Ref name = steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  self.module_ = PyModule_NewObject(name.get());
  if (self.module_ == nullptr) return nullptr;
  return Py_NewRef(self.module_);
}

int Module::started_in(PyInterpreterState* interp) const noexcept {
  // The interpreter's own dict is emptied when it is finalised, and this key with it.
  PyObject* dict = PyInterpreterState_GetDict(interp);
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
    return -1;
  }
  Ref key = steal(PyUnicode_FromFormat("corvella.pfnc module %s at %p", short_name_, static_cast<const void*>(this)));
  if (!key) return -1;
  int found = PyDict_Contains(dict, key.get());
  if (found != 0) return found;
  return PyDict_SetItem(dict, key.get(), Py_True) < 0 ? -1 : 0;
}

// What the old interpreter held went with it: nothing is released, only dropped.
void Module::forget_interpreter() noexcept {
  module_ = dict_ = name_ = builtins_ = nullptr;
  ready_ = initialising_ = false;
  watcher = -1;
  epoch = &own_epoch;
  ++own_epoch;
  Str::forget_all();
  Kept::forget_all();
}

int Module::exec(PyObject* module) noexcept {
  Module& self = *instance;
  // Code run by the body (an import's __getattr__, say) may exec this module again.
  if (self.initialising_) {
    PyErr_Format(PyExc_ImportError, "Module '%s' is being initialised; a nested initialisation is not supported.",
                 self.short_name_);
    return -1;
  }
  if (self.ready_) {
    if (module == self.module_) return 0;  // reload(): nothing to redo
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 self.short_name_);
    return -1;
  }
  if (!Str::intern_all() || !init_function_type()) return -1;
  Py_XSETREF(self.module_, Py_NewRef(module));
  self.dict_ = PyModule_GetDict(module);
  // What the module's Python functions would see as their __builtins__.
  Ref builtins = borrow(PyEval_GetBuiltins());
  if (!PyDict_Check(builtins.get())) {
    Ref module = steal(PyImport_ImportModule("builtins"));
    builtins = module ? borrow(PyModule_GetDict(module.get())) : Ref();
    if (!builtins) return -1;
  }
  Py_XSETREF(self.builtins_, builtins.release());
  if (watcher < 0) find_watcher();
  ++*epoch;
  if (watcher >= 0 && (PyDict_Watch(watcher, self.dict_) < 0 || PyDict_Watch(watcher, self.builtins_) < 0)) {
    PyErr_Clear();
    watcher = -1;  // this extension looks names up without it
  }
  Py_XSETREF(self.name_, PyModule_GetNameObject(module));
  self.initialising_ = true;
  bool ok = self.name_ != nullptr && self.body_(self);
  self.initialising_ = false;
  if (!ok) {
    // A later import starts again on a fresh module object.
    Py_CLEAR(self.module_);
    self.dict_ = nullptr;
    return -1;
  }
  self.ready_ = true;
  return 0;
}

bool Module::import_from(const char* module, std::initializer_list<const char*> names, int level) noexcept {
  Ref fromlist = steal(PyList_New(0));
  if (!fromlist) return false;
  for (const char* n : names) {
    Ref s = steal(PyUnicode_FromString(n));
    if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return false;
  }
  Ref module_name = steal(PyUnicode_FromString(module));
  if (!module_name) return false;
  Ref imported = steal(PyImport_ImportModuleLevelObject(module_name.get(), dict_, nullptr, fromlist.get(), level));
  if (!imported) return false;
  for (const char* n : names) {
    Ref value = steal(PyObject_GetAttrString(imported.get(), n));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      Ref from = steal(PyObject_GetAttrString(imported.get(), "__name__"));
      if (!from) return false;
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", n, from.get());
      return false;
    }
    if (PyDict_SetItemString(dict_, n, value.get()) < 0) return false;
  }
  return true;
}

bool Module::import_module(const char* module) noexcept {
  return set(module, steal(PyImport_ImportModule(module)));
}

bool Module::set(const char* name, Ref value) noexcept {
  return value && PyDict_SetItemString(dict_, name, value.get()) == 0;
}

Ref Module::function(const FunctionSpec& spec) const noexcept { return make_function(spec, name_, dict_); }

void Module::remember(const Str& name, PyObject* found) const noexcept {
  if (watcher < 0) return;
  name.found_ = found;
  name.found_epoch_ = *epoch;
}

Ref Module::global(const Str& name) const noexcept {
  if (dict_ == nullptr) {
    // A function that a collaborator kept from an initialisation that failed.
    PyErr_Format(PyExc_RuntimeError, "Module '%s' is not initialised.", short_name_);
    return {};
  }
  // The watched dicts still hold what was found, so the borrowed pointer is alive.
  if (name.found_epoch_ == *epoch && watcher >= 0) return borrow(name.found_);
  PyObject* found = nullptr;
  int status = PyDict_GetItemRef(dict_, name.get(), &found);
  if (status == 0) status = PyDict_GetItemRef(builtins_, name.get(), &found);
  if (status > 0) remember(name, found);
  if (status != 0) return steal(found);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return {};
}

Ref Module::call(const Str& name, std::initializer_list<PyObject*> args) const noexcept {
  Ref callable = global(name);
  if (!callable) return {};
  return steal(PyObject_Vectorcall(callable.get(), args.begin(), args.size(), nullptr));
}

std::nullptr_t Module::raise(const Str& exception, PyObject* message) const noexcept {
  Ref error = call(exception, {message});
  if (!error) return nullptr;
  if (!PyExceptionInstance_Check(error.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
  }
  // Like a raise statement: chains the exception being handled as context.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

std::nullptr_t Module::raise(const Str& exception, const char* message) const noexcept {
  Ref text = steal(PyUnicode_FromString(message));
  return text ? raise(exception, text.get()) : nullptr;
}

int Module::error_matches(const Str& exception) const noexcept {
  Ref pending = steal(PyErr_GetRaisedException());
  if (!pending) return 0;
  Ref cls = global(exception);
  // The interpreter's own rule for an except clause: a class, or a tuple of classes.
  bool valid = cls && PyExceptionClass_Check(cls.get());
  if (cls && PyTuple_Check(cls.get())) {
    valid = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.get()); ++i) {
      valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.get(), i));
    }
  }
  if (cls && !valid) {
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  }
  if (!valid) {
    // As in an except clause: the new error has the pending one as its context.
    Ref error = steal(PyErr_GetRaisedException());
    PyException_SetContext(error.get(), pending.release());
    PyErr_SetRaisedException(error.release());
    return -1;
  }
  int matches = PyErr_GivenExceptionMatches(pending.get(), cls.get());
  PyErr_SetRaisedException(pending.release());
  return matches != 0 ? 1 : 0;
}

bool Module::debug_caught(const char* prefix, PyObject* caught, PyObject* named) const noexcept {
  // In the order of logger.debug(f"{prefix}{e} {named.__name__}"): the method, then the text.
  Handling handling(caught);
  Ref logger = global(s_logger);
  Ref debug = logger ? attr(logger.get(), s_debug) : Ref();
  Ref error = debug ? steal(PyObject_Format(caught, s_no_spec.get())) : Ref();
  if (!error) return false;
  Ref message;
  if (named == nullptr) {
    message = steal(PyUnicode_FromFormat("%s%U", prefix, error.get()));
  } else {
    Ref name = attr(named, s_name);
    Ref shown = name ? steal(PyObject_Format(name.get(), s_no_spec.get())) : Ref();
    if (!shown) return false;
    message = steal(PyUnicode_FromFormat("%s%U %U", prefix, error.get(), shown.get()));
  }
  return message && steal(PyObject_CallOneArg(debug.get(), message.get()));
}

}  // namespace pfnc
