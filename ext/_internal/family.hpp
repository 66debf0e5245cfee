// What the two halves of the _family module share: the module and the class trees it watches.
#pragma once

#include <vector>

#include "pfnc/pfnc.hpp"

namespace family_module {

// One class as it was seen, enough to tell later that nothing about it changed.
struct Node {
  PyTypeObject* type;    // read only while `ref` is alive
  PyObject* ref;         // strong; a weak reference to type
  unsigned int tag;      // type's version tag then (never 0)
  PyObject* subclasses;  // type's subclass registry then, compared only
};

// Why a recorded tree is still the same tree: a class's subclasses live in
// a dict of weak references that the class creates with its first subclass,
// adds to when a subclass is defined or __bases__ names it, and deletes from
// (freeing it when empty) when a subclass is collected or leaves through
// __bases__. A registry that existed is watched, so every such change moves
// pfnc::Module::epoch(); one that did not is remembered as nullptr and
// compared. Anything else about a class (its attributes, __abstractmethods__,
// its bases, its bases' attributes) resets its version tag, and tags are
// never reused. The weak reference tells a class that is collected, or about
// to be, before anything of it is read.
bool record(std::vector<Node>& nodes, PyObject* cls) noexcept;
bool unchanged(const Node& node) noexcept;
void release(std::vector<Node>& nodes) noexcept;

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

// What the memos' readings depend on (see family_memo.cpp).
struct World {
  bool ok = false;
  bool rebuilding = false;
  unsigned long long dict_epoch = 0;
  unsigned long long type_epoch = 0;
  PyObject* builtins = nullptr;       // compared only
  std::vector<Node> nodes;            // every class of the trees
  std::vector<PyTypeObject*> leaves;  // those without a subclass registry; alive while the epochs hold
};

// Everything the module keeps for its interpreter. When the module starts in
// a new one, forget() drops what the old one held without releasing it.
struct State {
  pfnc::Kept subclasses_method;  // type.__subclasses__
  pfnc::Kept abc_meta;           // abc.ABCMeta, compared only
  pfnc::Kept reader_type;        // CachedReader
  pfnc::Kept all_implementations;  // held for the capsule's identity test
  static constexpr int entry_count = 4;
  Entry entries[entry_count];
  int next_entry = 0;
  World world;
  int type_watcher = -1;  // the interpreter's id for on_type_change, or none
  // Never reset, so that no memo of a finished interpreter could look valid.
  unsigned long long type_epoch = 1;

  void forget() noexcept;
};

extern pfnc::ModuleWith<State> family;

// type.__subclasses__(cls): the live subclasses, in the order they were added.
pfnc::Ref subclasses_of(PyObject* cls) noexcept;

// Adds the memo's names to the module; false with an exception set.
bool define_memo(pfnc::Module& m) noexcept;

}  // namespace family_module
