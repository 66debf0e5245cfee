// The x86 vector loops, for the plans and loops that use them where the CPU has them.
#pragma once

#include "plan.hpp"

namespace pfnc::pixels::x86 {

// Whether this CPU runs the loops below (SSSE3; AVX2 is used where there).
bool has_vectors() noexcept;

// 16-bit values of at most two fields, each in two neighbouring bytes: false
// when the plane's stream has another shape.
bool plan_windows(const Plan& plan, const Plane& p, Windows& w) noexcept;
// Returns the groups done, from the first; `itemsize` is the bytes of output a group fills.
int64_t decode_windows(const Windows& w, const uint8_t* in, uint8_t* out, int64_t groups, int64_t group_bytes,
                       int64_t itemsize) noexcept;

// Gathers planes whose samples are bytes that only move into ShuffleSets;
// throws std::bad_alloc only.
void plan_shuffle_sets(Plan& plan);
// Rounds of 16 groups; `in` and `out` point at each stream's first byte.
void decode_set(const ShuffleSet& set, const uint8_t* const* in, uint8_t* const* out, int64_t rounds) noexcept;
void encode_set(const ShuffleSet& set, const uint8_t* const* in, uint8_t* const* out, int64_t rounds) noexcept;

// Encode loops of unsigned 16-bit values from `in`; each returns what it did
// from the first and sets `fit` false when a value does not fit, writing
// within `room` bytes of `out`. A stream of `width`-bit values packed end to
// end: values done, a multiple of 8.
int64_t encode_stream(const uint8_t* in, uint8_t* out, int64_t values, int64_t room, int64_t width, bool& fit) noexcept;
// Pack::pairs and Pack::triplets: groups done.
int64_t encode_pairs(const uint8_t* in, uint8_t* out, int64_t groups, int64_t room, int64_t width, bool& fit) noexcept;
int64_t encode_triplets(const uint8_t* in, uint8_t* out, int64_t groups, bool& fit) noexcept;

}  // namespace pfnc::pixels::x86
