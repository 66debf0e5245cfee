// The x86 vector lines of the colour kernels, run where the CPU has AVX-512 or AVX2 (with FMA).
#pragma once

#include <cstdint>

#include "colour.hpp"

namespace pfnc::pixels::colour_x86 {

// Pixels [0, n) of line `r` of an 8-bit picture from 8-bit 4:2:2 interleaved
// or 4:2:0 semi-planar samples (chroma rows `row` and `next_row`), as the
// portable loop would give them; returns n, which is 0 for other layouts.
// m: per channel the factors of Y, the Cb and Cr sums, and the constant.
#ifdef PFNC_X86_VECTORS
int64_t ycbcr_line(const colour::View* planes, int across, int down, int64_t r, int64_t row, int64_t next_row,
                   const float (*m)[4], uint8_t* line, int64_t columns) noexcept;
// The widest lines this process runs: "avx512", "avx2" or "none".
const char* vectors() noexcept;
#else
inline const char* vectors() noexcept { return "none"; }
inline int64_t ycbcr_line(const colour::View*, int, int, int64_t, int64_t, int64_t, const float (*)[4], uint8_t*,
                          int64_t) noexcept {
  return 0;
}
#endif

}  // namespace pfnc::pixels::colour_x86
