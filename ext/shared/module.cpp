// One extension module: its definition, once-per-process rules and globals.
#include "pfnc/module.hpp"

namespace pfnc {

bool Str::intern_all() noexcept {
  for (Str* s = head_; s != nullptr; s = s->next_) {
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
}  // namespace

Module::Module(const char* short_name, const char* doc, Body body) noexcept
    : def_{}, slots_{}, short_name_(short_name), body_(body) {
  instance_ = this;
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
  Module& self = *instance_;
  int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return nullptr;
  int64_t expected = -1;
  if (!self.owner_.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (self.module_ != nullptr) return Py_NewRef(self.module_);
  Ref name = steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  self.module_ = PyModule_NewObject(name.get());
  if (self.module_ == nullptr) return nullptr;
  return Py_NewRef(self.module_);
}

int Module::exec(PyObject* module) noexcept {
  Module& self = *instance_;
  if (self.ready_) {
    if (module == self.module_) return 0;  // reload(): nothing to redo
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 self.short_name_);
    return -1;
  }
  if (!Str::intern_all() || !init_function_type()) return -1;
  Py_XSETREF(self.module_, Py_NewRef(module));
  self.dict_ = PyModule_GetDict(module);
  ++epoch_;
  // Without a watcher (all taken by others) every lookup goes to the dicts.
  if (watcher_ < 0 && (watcher_ = PyDict_AddWatcher(on_dict_change)) < 0) PyErr_Clear();
  if (watcher_ >= 0 && PyDict_Watch(watcher_, self.dict_) < 0) {
    PyErr_Clear();
    PyDict_ClearWatcher(watcher_);
    PyErr_Clear();
    watcher_ = -1;
  }
  Py_XSETREF(self.name_, PyModule_GetNameObject(module));
  if (self.name_ == nullptr || !self.body_(self)) {
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

int Module::on_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++epoch_;
  return 0;
}

bool Module::watch(PyObject* dict) noexcept {
  if (watcher_ < 0) return false;
  if (PyDict_Watch(watcher_, dict) == 0) return true;
  PyErr_Clear();
  return false;
}

void Module::remember(const Str& name, PyObject* found, PyObject* builtins) const noexcept {
  if (watcher_ < 0) return;
  if (builtins != nullptr && PyDict_Watch(watcher_, builtins) < 0) {
    PyErr_Clear();
    return;
  }
  name.found_ = found;
  name.found_in_builtins_ = builtins;
  name.found_epoch_ = epoch_;
}

Ref Module::global(const Str& name) const noexcept {
  if (dict_ == nullptr) {
    // A function that a collaborator kept from an initialisation that failed.
    PyErr_Format(PyExc_RuntimeError, "Module '%s' is not initialised.", short_name_);
    return {};
  }
  // The watched dicts still hold what was found, so the borrowed pointer is alive.
  if (name.found_epoch_ == epoch_ && watcher_ >= 0 &&
      (name.found_in_builtins_ == nullptr || name.found_in_builtins_ == PyEval_GetBuiltins())) {
    return borrow(name.found_);
  }
  PyObject* found = nullptr;
  int status = PyDict_GetItemRef(dict_, name.get(), &found);
  if (status > 0) remember(name, found, nullptr);
  if (status != 0) return steal(found);
  PyObject* builtins = PyEval_GetBuiltins();
  status = PyDict_GetItemRef(builtins, name.get(), &found);
  if (status > 0) remember(name, found, builtins);
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

bool Module::error_matches(const Str& exception) const noexcept {
  if (!PyErr_Occurred()) return false;
  Ref pending = steal(PyErr_GetRaisedException());
  Ref cls = global(exception);
  if (!cls) return false;  // the NameError replaces the pending exception
  if (!PyExceptionClass_Check(cls.get()) && !PyTuple_Check(cls.get())) {
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return false;
  }
  int matches = PyErr_GivenExceptionMatches(pending.get(), cls.get());
  PyErr_SetRaisedException(pending.release());
  return matches != 0;
}

bool Module::debug(PyObject* message) const noexcept {
  Ref logger = global(s_logger);
  if (!logger) return false;
  PyObject* args[] = {logger.get(), message};
  Ref result = steal(PyObject_VectorcallMethod(s_debug.get(), args, 2, nullptr));
  return static_cast<bool>(result);
}

bool Module::debug_caught(const char* prefix, PyObject* caught, PyObject* suffix) const noexcept {
  Handling handling(caught);
  Ref error = steal(PyObject_Format(caught, s_no_spec.get()));
  if (!error) return false;
  Ref message;
  if (suffix == nullptr) {
    message = steal(PyUnicode_FromFormat("%s%U", prefix, error.get()));
  } else {
    Ref shown = steal(PyObject_Format(suffix, s_no_spec.get()));
    if (!shown) return false;
    message = steal(PyUnicode_FromFormat("%s%U %U", prefix, error.get(), shown.get()));
  }
  return message && debug(message.get());
}

}  // namespace pfnc
