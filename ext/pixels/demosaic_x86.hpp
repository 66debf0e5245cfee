// The x86 vector rows of demosaicing (AVX2); built for x86 only, run where the CPU has them.
#pragma once

#include "demosaic.hpp"

namespace pfnc::pixels::demosaic::x86 {

// Demosaics columns [from, to) of an inner mosaic row, as far as whole vectors
// go, and returns the column it stopped at (from, on a CPU without AVX2).
// rows[] are the five rows around it; every column read lies within
// [from - 2, to + 2). `from` is even.
int64_t demosaic_row(const Job& job, const uint8_t* const* rows, uint8_t* out, const RowPlan& plan, int64_t from,
                     int64_t to) noexcept;

}  // namespace pfnc::pixels::demosaic::x86
