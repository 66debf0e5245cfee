// The x86 vector lines of the colour kernels (AVX2); built for x86 only, run where the CPU has them.
#include "colour_x86.hpp"

namespace pfnc::pixels::colour_x86 {

bool ycbcr_line(const colour::View&, int64_t, const int32_t*, const int32_t*, const double (*)[4], double, int,
                uint8_t*, int64_t) noexcept {
  return false;
}

}  // namespace pfnc::pixels::colour_x86
