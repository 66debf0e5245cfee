// A class tree as it was seen, so that a cache can tell later that nothing about it changed.
#pragma once

#include <vector>

#include "pfnc/ref.hpp"

namespace pfnc::class_tree {

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

// type.__subclasses__(cls): the live subclasses, in the order they were added,
// whatever the metaclass says __subclasses__ is.
Ref subclasses_of(PyObject* cls) noexcept;

}  // namespace pfnc::class_tree
