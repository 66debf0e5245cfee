// The x86 vector lines of the colour kernels (AVX2); built for x86 only, run where the CPU has them.
// Sixteen pixels at a time, even and odd pixels apart: an even pixel has its
// chroma sample, an odd one the sum of that and the next. Cb and Cr travel as
// the two 16-bit halves of a 32-bit lane, so one multiply-add weighs both.
#include "colour_x86.hpp"

#include <algorithm>

#include <immintrin.h>

namespace pfnc::pixels::colour_x86 {

namespace {

bool has_vectors() noexcept {
  static const bool found = __builtin_cpu_supports("avx2") != 0;
  return found;
}

// Eight chroma sites and their sixteen pixels, even and odd apart, as 32-bit lanes of two 16-bit halves:
// the luma twice (its factor may take both halves), and the two chroma sums weighted as the portable
// loop weighs them, in the order the source gives.
struct Sites {
  __m256i luma_even, luma_odd, chroma_even, chroma_odd;
};

#define PFNC_AVX2 __attribute__((target("avx2")))

// Per 32-bit lane i of each 128-bit half, bytes step * i + a and step * i + b as two 16-bit
// halves, from `upper` bytes further on in the upper 128-bit half.
PFNC_AVX2 inline __m256i byte_pairs(int a, int b, int step, int upper = 0) noexcept {
  alignas(32) uint8_t picks[32];
  for (int half = 0; half < 2; ++half) {
    for (int i = 0; i < 4; ++i) {
      uint8_t* lane = picks + 16 * half + 4 * i;
      lane[0] = static_cast<uint8_t>(upper * half + step * i + a), lane[1] = 0x80;
      lane[2] = static_cast<uint8_t>(upper * half + step * i + b), lane[3] = 0x80;
    }
  }
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(picks));
}

// 4:2:2 interleaved: groups of four bytes, Cb at u, Cr at v, luma at y and y + 2;
// a group is a 32-bit lane, so one byte shuffle takes out each pair.
struct Interleaved {
  // One line, so the vertical sum is the sample twice: an even pixel's chroma counts 4 times, an odd one's 2.
  static constexpr int even_shift = 2, odd_shift = 1;
  static constexpr bool cr_first = false;
  const uint8_t* groups;
  __m256i chroma, luma_even, luma_odd;
  PFNC_AVX2 Interleaved(const uint8_t* line, int cb, int y, int cr) noexcept
      : groups(line), chroma(byte_pairs(cb, cr, 4)), luma_even(byte_pairs(y, y, 4)), luma_odd(byte_pairs(y + 2, y + 2, 4)) {}
  // Sites j..j+7; reads group j + 8.
  PFNC_AVX2 Sites sites(int64_t j) const noexcept {
    __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + 4 * j));
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + 4 * j + 4));
    __m256i sample = _mm256_shuffle_epi8(here, chroma);
    return {_mm256_shuffle_epi8(here, luma_even), _mm256_shuffle_epi8(here, luma_odd),
            _mm256_slli_epi16(sample, even_shift),
            _mm256_slli_epi16(_mm256_add_epi16(sample, _mm256_shuffle_epi8(next, chroma)), odd_shift)};
  }
};

// Sixteen bytes as 16-bit lanes.
PFNC_AVX2 inline __m256i widened(const uint8_t* p) noexcept {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// 4:2:0 semi-planar: a luma line, and two chroma lines of (Cb, Cr) pairs, or (Cr, Cb) pairs.
struct SemiPlanar {
  const uint8_t *luma, *upper, *lower;
  bool cr_first;
  __m256i luma_even, luma_odd;  // from sixteen luma bytes in both 128-bit halves
  PFNC_AVX2 SemiPlanar(const uint8_t* luma_line, const uint8_t* upper_line, const uint8_t* lower_line, bool swapped) noexcept
      : luma(luma_line), upper(upper_line), lower(lower_line), cr_first(swapped),
        luma_even(byte_pairs(0, 0, 2, 8)), luma_odd(byte_pairs(1, 1, 2, 8)) {}
  // Sites j..j+7; reads site j + 8. The sums of two lines weigh an even pixel's chroma twice.
  PFNC_AVX2 Sites sites(int64_t j) const noexcept {
    __m256i sum = _mm256_add_epi16(widened(upper + 2 * j), widened(lower + 2 * j));
    __m256i next = _mm256_add_epi16(widened(upper + 2 * j + 2), widened(lower + 2 * j + 2));
    __m256i y = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 2 * j)));
    return {_mm256_shuffle_epi8(y, luma_even), _mm256_shuffle_epi8(y, luma_odd), _mm256_slli_epi16(sum, 1),
            _mm256_add_epi16(sum, next)};
  }
};

// Two 16-bit values as one 32-bit lane, `low` first.
constexpr int32_t halves(int32_t low, int32_t high) noexcept {
  return static_cast<int32_t>(static_cast<uint16_t>(low) | static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16);
}

// The channels of eight pixels, as the portable loop works them out: the luma term
// (its factor split in two halves, as it may pass 16 bits) is the same for all three.
struct Factors {
  __m256i luma, chroma[3], constant[3];
  PFNC_AVX2 Factors(const colour::Fixed& f, bool cr_first) noexcept
      : luma(_mm256_set1_epi32(halves(f.y[0] / 2, f.y[0] - f.y[0] / 2))) {
    for (int c = 0; c < 3; ++c) {
      chroma[c] = _mm256_set1_epi32(cr_first ? halves(f.cr[c], f.cb[c]) : halves(f.cb[c], f.cr[c]));
      constant[c] = _mm256_set1_epi32(f.constant[c]);
    }
  }
  PFNC_AVX2 void channels(__m256i luma_pairs, __m256i chroma_pairs, __m256i* out) const noexcept {
    __m256i luma_term = _mm256_madd_epi16(luma_pairs, luma);
    for (int c = 0; c < 3; ++c) {
      __m256i sum = _mm256_add_epi32(_mm256_add_epi32(luma_term, constant[c]), _mm256_madd_epi16(chroma_pairs, chroma[c]));
      out[c] = _mm256_srai_epi32(sum, colour::fixed_bits);
    }
  }
};

// Eight even and eight odd pixels, three channels of int32 each, as 48 bytes of RGB.
struct Packer {
  __m256i from_first, from_second, tail_first, tail_second;
  PFNC_AVX2 Packer() noexcept {
    // Per lane, `first` holds bytes R0-3 G0-3 B0-3 of even pixels then R0-3 of odd ones, `second` G0-3 B0-3 of
    // odd ones (twice): pixel 2i is even pixel i, pixel 2i + 1 odd pixel i.
    alignas(32) uint8_t a[32], b[32], c[32], d[32];
    for (int lane = 0; lane < 2; ++lane) {
      for (int k = 0; k < 16; ++k) {
        for (int part = 0; part < 2; ++part) {
          int at = 16 * part + k;  // byte of the lane's 24 output bytes
          uint8_t first = 0x80, second = 0x80;
          if (at < 24) {
            int pixel = at / 3, channel = at % 3, i = pixel / 2;
            if (pixel % 2 == 0) {
              first = static_cast<uint8_t>(4 * channel + i);
            } else if (channel == 0) {
              first = static_cast<uint8_t>(12 + i);
            } else {
              second = static_cast<uint8_t>(4 * (channel - 1) + i);
            }
          }
          (part == 0 ? a : c)[16 * lane + k] = first;
          (part == 0 ? b : d)[16 * lane + k] = second;
        }
      }
    }
    from_first = _mm256_load_si256(reinterpret_cast<const __m256i*>(a));
    from_second = _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
    tail_first = _mm256_load_si256(reinterpret_cast<const __m256i*>(c));
    tail_second = _mm256_load_si256(reinterpret_cast<const __m256i*>(d));
  }
  PFNC_AVX2 void store(const __m256i* even, const __m256i* odd, uint8_t* out) const noexcept {
    __m256i first = _mm256_packus_epi16(_mm256_packs_epi32(even[0], even[1]), _mm256_packs_epi32(even[2], odd[0]));
    __m256i words = _mm256_packs_epi32(odd[1], odd[2]);
    __m256i second = _mm256_packus_epi16(words, words);
    __m256i head = _mm256_or_si256(_mm256_shuffle_epi8(first, from_first), _mm256_shuffle_epi8(second, from_second));
    __m256i tail = _mm256_or_si256(_mm256_shuffle_epi8(first, tail_first), _mm256_shuffle_epi8(second, tail_second));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(head));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_castsi256_si128(tail));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_extracti128_si256(head, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(tail, 1));
  }
};

// Sites [0, sites) of a line, 8 at a time while site j + 8 is there to read.
template <typename Source>
PFNC_AVX2 int64_t convert(const Source& source, const colour::Fixed& fixed, uint8_t* line, int64_t sites) noexcept {
  Factors factors(fixed, source.cr_first);
  Packer packer;
  int64_t j = 0;
  for (; j + 9 <= sites; j += 8) {
    Sites s = source.sites(j);
    __m256i even[3], odd[3];
    factors.channels(s.luma_even, s.chroma_even, even);
    factors.channels(s.luma_odd, s.chroma_odd, odd);
    packer.store(even, odd, line + 6 * j);
  }
  return 2 * j;
}

}  // namespace

int64_t ycbcr_line(const colour::View* planes, int across, int down, int64_t r, int64_t row, int64_t next_row,
                   const colour::Fixed& factors, uint8_t* line, int64_t columns) noexcept {
  const colour::View &y = planes[0], &cb = planes[1], &cr = planes[2];
  bool one_luma = factors.y[0] == factors.y[1] && factors.y[1] == factors.y[2];
  if (!has_vectors() || !one_luma || across != 2 || y.itemsize != 1 || cb.row_stride != cr.row_stride) return 0;
  const uint8_t* luma = y.data + r * y.row_stride;
  const uint8_t* blue = cb.data + row * cb.row_stride;
  const uint8_t* red = cr.data + row * cr.row_stride;
  if (down == 1 && y.column_stride == 2 && cb.column_stride == 4 && cr.column_stride == 4) {
    const uint8_t* group = std::min({luma, blue, red});
    int64_t u = blue - group, v = red - group, first = luma - group;
    if (u < 4 && v < 4 && first < 2) {
      return convert(Interleaved(group, static_cast<int>(u), static_cast<int>(first), static_cast<int>(v)), factors,
                     line, columns / 2);
    }
  }
  if (down == 2 && y.column_stride == 1 && cb.column_stride == 2 && cr.column_stride == 2 && (red - blue == 1 || blue - red == 1)) {
    const uint8_t* pairs = std::min(blue, red);
    int64_t step = next_row - row;
    return convert(SemiPlanar(luma, pairs, pairs + step * cb.row_stride, red < blue), factors, line, columns / 2);
  }
  return 0;
}

}  // namespace pfnc::pixels::colour_x86
