// One extension module: its definition and its once-per-interpreter rules.
#include "pfnc/module.hpp"

#include "pfnc/construct.hpp"

namespace pfnc {

namespace {
// Everything of the shared layer that is process-wide within one extension,
// with internal linkage: each extension's copy is its own whatever the
// symbol visibility it is built with.
Module* instance = nullptr;  // the one Module of this extension
Str* str_head = nullptr;
Kept* kept_head = nullptr;
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

Module::Module(const char* short_name, const char* doc, Body body) noexcept
    : Logging(short_name), def_{}, slots_{}, body_(body) {
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
  module_ = name_ = nullptr;
  ready_ = initialising_ = false;
  forget_globals();
  Str::forget_all();
  Kept::forget_all();
  Construct::forget_all();
  forget_state();
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
  if (!self.look_up_in(PyModule_GetDict(module))) return -1;
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

}  // namespace pfnc
