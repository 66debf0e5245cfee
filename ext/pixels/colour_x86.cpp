// The x86 vector lines of the colour kernels (AVX2 and FMA); built for x86 only, run where the CPU has them.
// Sixteen pixels at a time, even and odd pixels apart: an even pixel has its
// chroma sample, an odd one the sum of that and the next.
#include "colour_x86.hpp"

#include <algorithm>

#include <immintrin.h>

namespace pfnc::pixels::colour_x86 {

namespace {

bool has_vectors() noexcept {
  static const bool found = __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
  return found;
}

// Eight chroma sites and their sixteen pixels, as int32 lanes: the chroma sums of the even and the odd
// pixels, short of the weights their source gives, and the luma.
struct Sites {
  __m256i cb_even, cb_odd, cr_even, cr_odd, y_even, y_odd;
};

#define PFNC_AVX2 __attribute__((target("avx2,fma")))


// The byte of each 32-bit lane that `shift` (8 x its place) picks.
PFNC_AVX2 inline __m256i byte_at(__m256i words, __m256i shift) noexcept {
  return _mm256_and_si256(_mm256_srlv_epi32(words, shift), _mm256_set1_epi32(0xff));
}

// 4:2:2 interleaved: groups of four bytes, Cb at u, Cr at v, luma at y and y + 2;
// a group is a 32-bit lane, so its samples come out by shifts alone.
struct Interleaved {
  // One line, so the vertical sum is the sample twice: an even pixel's chroma counts 4 times, an odd one's 2.
  static constexpr float even_weight = 4, odd_weight = 2;
  const uint8_t* groups;
  __m256i u, v, y_even, y_odd;
  PFNC_AVX2 Interleaved(const uint8_t* line, int cb, int y, int cr) noexcept
      : groups(line),
        u(_mm256_set1_epi32(8 * cb)),
        v(_mm256_set1_epi32(8 * cr)),
        y_even(_mm256_set1_epi32(8 * y)),
        y_odd(_mm256_set1_epi32(8 * y + 16)) {}
  // Sites j..j+7; reads group j + 8.
  PFNC_AVX2 Sites sites(int64_t j) const noexcept {
    __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + 4 * j));
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + 4 * j + 4));
    __m256i cb = byte_at(here, u), cr = byte_at(here, v);
    return {cb, _mm256_add_epi32(cb, byte_at(next, u)), cr, _mm256_add_epi32(cr, byte_at(next, v)),
            byte_at(here, y_even), byte_at(here, y_odd)};
  }
};

// Eight byte pairs as 32-bit lanes, first byte low.
PFNC_AVX2 inline __m256i pairs_at(const uint8_t* p) noexcept {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
PFNC_AVX2 inline __m256i low_byte(__m256i pairs) noexcept { return _mm256_and_si256(pairs, _mm256_set1_epi32(0xff)); }
PFNC_AVX2 inline __m256i high_byte(__m256i pairs) noexcept { return _mm256_srli_epi32(pairs, 8); }

// 4:2:0 semi-planar: a luma line, and two chroma lines of (Cb, Cr) pairs in the order `cb_first` says.
struct SemiPlanar {
  static constexpr float even_weight = 2, odd_weight = 1;
  const uint8_t *luma, *upper, *lower;
  bool cb_first;
  // Cb and Cr of sites j..j+7 summed down the two chroma lines.
  PFNC_AVX2 void chroma(int64_t j, __m256i& cb, __m256i& cr) const noexcept {
    __m256i a = pairs_at(upper + 2 * j), b = pairs_at(lower + 2 * j);
    __m256i first = _mm256_add_epi32(low_byte(a), low_byte(b)), second = _mm256_add_epi32(high_byte(a), high_byte(b));
    cb = cb_first ? first : second;
    cr = cb_first ? second : first;
  }
  // Sites j..j+7; reads site j + 8.
  PFNC_AVX2 Sites sites(int64_t j) const noexcept {
    __m256i cb, cr, next_cb, next_cr;
    chroma(j, cb, cr);
    chroma(j + 1, next_cb, next_cr);
    __m256i y = pairs_at(luma + 2 * j);
    return {cb, _mm256_add_epi32(cb, next_cb), cr, _mm256_add_epi32(cr, next_cr), low_byte(y), high_byte(y)};
  }
};

// Per channel its factors, those of chroma times the weight of the sums the
// sites give (a power of two, so the products are the portable loop's); a zero
// factor's term is left out, which changes nothing (0 * x + t == t).
struct Factors {
  __m256 y[3], cb[2][3], cr[2][3], constant[3];
  bool has_cb[3], has_cr[3];
  PFNC_AVX2 Factors(const float (*m)[4], float even_weight, float odd_weight) noexcept {
    for (int c = 0; c < 3; ++c) {
      y[c] = _mm256_set1_ps(m[c][0]);
      cb[0][c] = _mm256_set1_ps(m[c][1] * even_weight);
      cb[1][c] = _mm256_set1_ps(m[c][1] * odd_weight);
      cr[0][c] = _mm256_set1_ps(m[c][2] * even_weight);
      cr[1][c] = _mm256_set1_ps(m[c][2] * odd_weight);
      constant[c] = _mm256_set1_ps(m[c][3]);
      has_cb[c] = m[c][1] != 0;
      has_cr[c] = m[c][2] != 0;
    }
  }
  // The truncated values of channel c of even (odd = 0) or odd (1) pixels:
  // fma(y, Y, fma(cb, Cb, fma(cr, Cr, constant))) as the portable loop.
  PFNC_AVX2 __m256i channel(int c, int odd, __m256 luma, __m256 cb_sum, __m256 cr_sum) const noexcept {
    __m256 t = has_cr[c] ? _mm256_fmadd_ps(cr[odd][c], cr_sum, constant[c]) : constant[c];
    if (has_cb[c]) t = _mm256_fmadd_ps(cb[odd][c], cb_sum, t);
    return _mm256_cvttps_epi32(_mm256_fmadd_ps(y[c], luma, t));
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
PFNC_AVX2 int64_t convert(const Source& source, const float (*m)[4], uint8_t* line, int64_t sites) noexcept {
  Factors factors(m, Source::even_weight, Source::odd_weight);
  Packer packer;
  int64_t j = 0;
  for (; j + 9 <= sites; j += 8) {
    Sites s = source.sites(j);
    __m256 y_even = _mm256_cvtepi32_ps(s.y_even), y_odd = _mm256_cvtepi32_ps(s.y_odd);
    __m256 cb_even = _mm256_cvtepi32_ps(s.cb_even), cb_odd = _mm256_cvtepi32_ps(s.cb_odd);
    __m256 cr_even = _mm256_cvtepi32_ps(s.cr_even), cr_odd = _mm256_cvtepi32_ps(s.cr_odd);
    __m256i even[3], odd[3];
    for (int c = 0; c < 3; ++c) {
      even[c] = factors.channel(c, 0, y_even, cb_even, cr_even);
      odd[c] = factors.channel(c, 1, y_odd, cb_odd, cr_odd);
    }
    packer.store(even, odd, line + 6 * j);
  }
  return 2 * j;
}

}  // namespace

int64_t ycbcr_line(const colour::View* planes, int across, int down, int64_t r, int64_t row, int64_t next_row,
                   const float (*m)[4], uint8_t* line, int64_t columns) noexcept {
  const colour::View &y = planes[0], &cb = planes[1], &cr = planes[2];
  if (!has_vectors() || across != 2 || y.itemsize != 1 || cb.row_stride != cr.row_stride) return 0;
  const uint8_t* luma = y.data + r * y.row_stride;
  const uint8_t* blue = cb.data + row * cb.row_stride;
  const uint8_t* red = cr.data + row * cr.row_stride;
  if (down == 1 && y.column_stride == 2 && cb.column_stride == 4 && cr.column_stride == 4) {
    const uint8_t* group = std::min({luma, blue, red});
    int64_t u = blue - group, v = red - group, first = luma - group;
    if (u < 4 && v < 4 && first < 2) {
      return convert(Interleaved(group, static_cast<int>(u), static_cast<int>(first), static_cast<int>(v)), m, line,
                     columns / 2);
    }
  }
  if (down == 2 && y.column_stride == 1 && cb.column_stride == 2 && cr.column_stride == 2 && (red - blue == 1 || blue - red == 1)) {
    const uint8_t* pairs = std::min(blue, red);
    int64_t step = next_row - row;
    return convert(SemiPlanar{luma, pairs, pairs + step * cb.row_stride, blue < red}, m, line, columns / 2);
  }
  return 0;
}

}  // namespace pfnc::pixels::colour_x86
