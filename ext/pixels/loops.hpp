// What the loops share: where a segment's elements start, and the general loop that the others fall back on.
#pragma once

#include "plan.hpp"

namespace pfnc::pixels {

inline uint64_t mask(int64_t bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// Where each output's elements of one segment start.
struct Bases {
  uint8_t* at[max_targets];
  int64_t first[max_targets];  // the element at[t] points to, from the start of the output
};

Bases bases_of(const Plan& plan, const Geometry& geo, const Span* spans, int64_t segment) noexcept;

// The general loop, in runs of groups that stay in the first-level cache:
// groups [from, to), with 8 bytes readable (or writable) from every field's
// first byte; wide_groups() says how many groups from the first allow that
// within `room` bytes.
int64_t wide_groups(const Plane& p, int64_t room) noexcept;
void decode_runs(const Plan& plan, const Plane& p, const uint8_t* in, const Bases& b, int64_t from, int64_t to) noexcept;
// False when a value does not fit. Every byte of the groups is written.
bool encode_runs(const Plan& plan, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to) noexcept;

// The general loop one group at a time, reading only the `room` bytes of the
// segment at `in`; only the samples of the first `pixels` pixels of a group.
void decode_groups(const Plan& plan, const Plane& p, const uint8_t* in, int64_t room, const Bases& b, int64_t from,
                   int64_t to, int64_t pixels) noexcept;
// Checks each value before it writes it; stops at the first that does not fit.
// Every byte of the groups it finishes is written.
Overflow encode_groups(const Plan& plan, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to,
                       int64_t pixels) noexcept;

}  // namespace pfnc::pixels
