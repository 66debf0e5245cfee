// What the two halves of the _memo module share: the module and what readings depend on.
#pragma once

#include <vector>

#include "pfnc/pfnc.hpp"

namespace memo_module {

// What the memos' readings depend on below the names (see memo_world.cpp).
struct World {
  bool ok = false;
  bool rebuilding = false;
  unsigned long long dict_epoch = 0;
  unsigned long long type_epoch = 0;
  PyObject* builtins = nullptr;                   // compared only
  std::vector<pfnc::class_tree::Node> nodes;      // every class of the trees
  std::vector<PyTypeObject*> leaves;  // those without a subclass registry; alive while the epochs hold
};

// Everything the module keeps for its interpreter. When the module starts in
// a new one, forget() drops what the old one held without releasing it.
struct State {
  pfnc::Kept reader_type;  // CachedReader
  World world;
  int type_watcher = -1;  // the interpreter's id for on_type_change, or none
  // Never reset, so that no memo of a finished interpreter could look valid.
  unsigned long long type_epoch = 1;

  void forget() noexcept;
};

extern pfnc::ModuleWith<State> memo_extension;

// Adds the type watcher, unless this interpreter has one already; without
// one to spare no class can be watched and the memos stay off.
void add_type_watcher() noexcept;
// Any change to type moves State::type_epoch on; false (nothing set) when it cannot be watched.
bool watch_type(PyTypeObject* type) noexcept;

// Nothing the world is made of changed since it was last looked at (whether it could be memoised or not).
bool world_current() noexcept;
// ... and it could.
inline bool world_holds() noexcept { return memo_extension.state.world.ok && world_current(); }
// Looks at the world afresh; code it runs meanwhile reads without a memo.
void rebuild_world() noexcept;

// Watches the globals of every module of package that is imported now, and
// the classes they define. False (nothing set) when one cannot be watched.
bool watch_package(PyObject* package) noexcept;
bool is_package(PyObject* item) noexcept;

}  // namespace memo_module
