// What the readers of the pieces share: asking every implementation, logging what they reject.
#pragma once

#include <initializer_list>

#include "pfnc/module.hpp"

namespace pfnc {

// What the _family extension lends the readers of the other extensions, in a
// capsule named implementations_api_name: all_implementations' cached answer
// without the call and the list it makes. take() gives new references to the
// classes in out and their count, or -1 (with nothing set) when it has no
// answer cached or more than capacity; the call then answers.
struct ImplementationsApi {
  static constexpr int current_version = 1;
  int version;
  PyObject* function;  // all_implementations itself, strong, for an identity test
  Py_ssize_t (*take)(PyObject* cls, PyObject** out, Py_ssize_t capacity) noexcept;
};
inline constexpr const char* implementations_api_name = "corvella.pfnc._internal._family._implementations_api";

// for implementation in all_implementations(<global base>):
//     try: result.extend(implementation.from_designation(*args))
//     except ParseReject as e: logger.debug(f"Parsing rejected: {e} {implementation.__name__}")
// The globals are the module's, looked up now; at most three args.
Ref ask_every_implementation(const Module& m, const Str& base, std::initializer_list<PyObject*> args) noexcept;

// The handler `except <global exception> as e: logger.debug(f"{prefix}{e}")`
// (with named: f"{prefix}{e} {named.__name__}") for the exception set now.
// 1 when it was caught and logged, 0 when it is of another class (still
// set), -1 on a new error.
[[nodiscard]] int log_rejected(const Module& m, const Str& exception, const char* prefix,
                               PyObject* named = nullptr) noexcept;

// [item] * count, where n is count as a C number when it fits (overflow 0).
Ref repeated(PyObject* item, PyObject* count, long long n, int overflow) noexcept;

}  // namespace pfnc
