// The x86 vector lines of the colour kernels, run where the CPU has AVX2.
#pragma once

#include <cstdint>

#include "colour.hpp"

namespace pfnc::pixels::colour_x86 {

#ifdef PFNC_X86_VECTORS
// Line `row` of 8-bit luma with its chroma sums (colour.cpp's weights folded
// into m) into `columns` pixels at `line`; false when this line is not one the
// vectors take.
bool ycbcr_line(const colour::View& luma, int64_t row, const int32_t* cb, const int32_t* cr, const double (*m)[4],
                double top, int itemsize, uint8_t* line, int64_t columns) noexcept;
#else
inline bool ycbcr_line(const colour::View&, int64_t, const int32_t*, const int32_t*, const double (*)[4], double, int,
                       uint8_t*, int64_t) noexcept {
  return false;
}
#endif

}  // namespace pfnc::pixels::colour_x86
