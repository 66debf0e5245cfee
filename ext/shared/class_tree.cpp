// A class tree as it was seen, so that a cache can tell later that nothing about it changed.
#include "pfnc/class_tree.hpp"

#include "pfnc/globals.hpp"
#include "pfnc/kept.hpp"

namespace pfnc::class_tree {

namespace {
Kept subclasses_method;  // type.__subclasses__, found on first use in each interpreter
}  // namespace

Ref subclasses_of(PyObject* cls) noexcept {
  if (!subclasses_method) {
    subclasses_method.set(steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__subclasses__")));
    if (!subclasses_method) return {};
  }
  return steal(PyObject_Vectorcall(subclasses_method.get(), &cls, 1, nullptr));
}

bool record(std::vector<Node>& nodes, PyObject* cls) noexcept {
  if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) {
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // First, as it may collect garbage and so run code; nothing runs after it.
  PyObject* ref = PyWeakref_NewRef(cls, nullptr);
  if (ref == nullptr) {
    PyErr_Clear();
    return false;
  }
  auto* subclasses = static_cast<PyObject*>(type->tp_subclasses);
  bool ok = PyUnstable_Type_AssignVersionTag(type) &&
            (subclasses == nullptr || (PyDict_CheckExact(subclasses) && Globals::watch(subclasses)));
  if (ok) {
    try {
      nodes.push_back(Node{type, ref, type->tp_version_tag, subclasses});
      return true;
    } catch (...) {
    }
  }
  PyErr_Clear();
  Py_DECREF(ref);
  return false;
}

bool unchanged(const Node& node) noexcept {
  // PyWeakref_IsDead's test, inline: cleared, or its class on its way out.
  // Read at once, with nothing run in between: no strong reference needed.
#ifdef Py_GIL_DISABLED
  if (PyWeakref_IsDead(node.ref) != 0) {
    PyErr_Clear();
    return false;
  }
#else
  PyObject* referent = reinterpret_cast<PyWeakReference*>(node.ref)->wr_object;
  if (referent == Py_None || Py_REFCNT(referent) == 0) return false;
#endif
  return node.type->tp_version_tag == node.tag && node.type->tp_subclasses == node.subclasses;
}

void release(std::vector<Node>& nodes) noexcept {
  std::vector<Node> old;
  old.swap(nodes);
  for (Node& node : old) Py_DECREF(node.ref);
}

}  // namespace pfnc::class_tree
