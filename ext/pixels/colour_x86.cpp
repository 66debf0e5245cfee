// The x86 vector lines of the colour kernels (AVX-512 or AVX2, with FMA); built for x86 only, run where the CPU has them.
// A vector of chroma sites at a time and their pixels, even and odd pixels apart: an even pixel has its
// chroma sample, an odd one the sum of that and the next. The lines (colour_x86_lines.inc) are written
// once over a width's operations `V`, and built once per width, in a namespace of its own.
#include "colour_x86.hpp"

#include <algorithm>

#include <immintrin.h>

#include "cpu.hpp"

namespace pfnc::pixels::colour_x86 {

namespace {

// 4:2:2 interleaved: groups of four bytes, Cb at byte `cb`, Cr at `cr`, luma at `y` and y + 2.
// A line holds `chroma_sites` sites.
struct InterleavedLine {
  const uint8_t* groups;
  int cb, y, cr;
  int64_t chroma_sites;
};

// 4:2:0 semi-planar: a luma line, and two chroma lines of (Cb, Cr) pairs in the order `cb_first` says.
struct SemiPlanarLine {
  const uint8_t *luma, *upper, *lower;
  bool cb_first;
  int64_t chroma_sites;
};

// Which chroma terms the factors have: per channel c, bit 2c Cb and bit 2c + 1 Cr.
constexpr unsigned all_terms = 0x3f, rgb_terms = 0x1e, bgr_terms = 0x2d;
inline unsigned terms_of(const float (*m)[4]) noexcept {
  unsigned terms = 0;
  for (int c = 0; c < 3; ++c) terms |= (m[c][1] != 0 ? 1u : 0u) << (2 * c) | (m[c][2] != 0 ? 2u : 0u) << (2 * c);
  return terms;
}

// Per pixel of the output, which byte of the two packed vectors (see the Packers) it takes: output byte
// `at` is channel at % 3 of pixel at / 3; pixel 2i is even pixel i, 2i + 1 odd pixel i. Per 16-byte lane
// `first` holds R, G and B of four even pixels then R of four odd ones, `second` G and B of four odd ones.
// Returns the byte's index, past 16 * lanes for `second`.
constexpr int packed_byte(int at, int lanes) {
  int pixel = at / 3, channel = at % 3, i = pixel / 2, lane = 16 * (i / 4), place = i % 4;
  if (pixel % 2 == 0) return lane + 4 * channel + place;
  return channel == 0 ? lane + 12 + place : 16 * lanes + lane + 4 * (channel - 1) + place;
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace avx2 {

struct V {
  using I = __m256i;
  using F = __m256;
  static constexpr int lanes = 8;
  static I set1(int v) noexcept { return _mm256_set1_epi32(v); }
  static F set1(float v) noexcept { return _mm256_set1_ps(v); }
  static I groups(const uint8_t* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  // `lanes` byte pairs, first byte low.
  static I pairs(const uint8_t* p) noexcept {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static I add(I a, I b) noexcept { return _mm256_add_epi32(a, b); }
  // Lanes 1, 2, ..., the last, and the last again.
  static I next_lanes(I a) noexcept { return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7)); }
  static I low_byte(I a) noexcept { return _mm256_and_si256(a, set1(0xff)); }
  static I high_byte(I a) noexcept { return _mm256_srli_epi32(a, 8); }
  // Per 32-bit lane, its byte `at` (0-3) alone: a picker for pick_bytes.
  static I byte_picker(int at) noexcept {
    return _mm256_or_si256(_mm256_setr_epi32(at, at + 4, at + 8, at + 12, at, at + 4, at + 8, at + 12),
                           set1(static_cast<int>(0x80808000)));
  }
  static I pick_bytes(I a, I picker) noexcept { return _mm256_shuffle_epi8(a, picker); }
  static F to_float(I a) noexcept { return _mm256_cvtepi32_ps(a); }
  static F fma(F a, F b, F c) noexcept { return _mm256_fmadd_ps(a, b, c); }
  static I truncate(F a) noexcept { return _mm256_cvttps_epi32(a); }

  // Eight even and eight odd pixels, three channels of int32 each, as 48 bytes of RGB.
  struct Packer {
    __m256i pick[2][2];  // [head, tail][from first, from second]
    Packer() noexcept {
      alignas(32) uint8_t table[2][2][32];
      for (int half = 0; half < 2; ++half) {
        for (int k = 0; k < 16; ++k) {
          for (int part = 0; part < 2; ++part) {  // head: output bytes 0-15 of a lane, tail: 16-23
            int at = 16 * part + k, from = at < 24 ? packed_byte(at, 1) : -1;
            table[part][0][16 * half + k] = from >= 0 && from < 16 ? static_cast<uint8_t>(from) : 0x80;
            table[part][1][16 * half + k] = from >= 16 ? static_cast<uint8_t>(from - 16) : 0x80;
          }
        }
      }
      for (int part = 0; part < 2; ++part) {
        for (int source = 0; source < 2; ++source) {
          pick[part][source] = _mm256_load_si256(reinterpret_cast<const __m256i*>(table[part][source]));
        }
      }
    }
    void store(const I* even, const I* odd, uint8_t* out) const noexcept {
      __m256i first = _mm256_packus_epi16(_mm256_packs_epi32(even[0], even[1]), _mm256_packs_epi32(even[2], odd[0]));
      __m256i words = _mm256_packs_epi32(odd[1], odd[2]);
      __m256i second = _mm256_packus_epi16(words, words);
      __m256i part[2];
      for (int p = 0; p < 2; ++p) {
        part[p] = _mm256_or_si256(_mm256_shuffle_epi8(first, pick[p][0]), _mm256_shuffle_epi8(second, pick[p][1]));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(part[0]));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_castsi256_si128(part[1]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_extracti128_si256(part[0], 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(part[1], 1));
    }
  };
};

#include "colour_x86_lines.inc"

}  // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vbmi,avx2,fma")
namespace avx512 {

struct V {
  using I = __m512i;
  using F = __m512;
  static constexpr int lanes = 16;
  static I set1(int v) noexcept { return _mm512_set1_epi32(v); }
  static F set1(float v) noexcept { return _mm512_set1_ps(v); }
  static I groups(const uint8_t* p) noexcept { return _mm512_loadu_si512(p); }
  static I pairs(const uint8_t* p) noexcept {
    return _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  static I add(I a, I b) noexcept { return _mm512_add_epi32(a, b); }
  static I next_lanes(I a) noexcept {
    return _mm512_permutexvar_epi32(_mm512_setr_epi32(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15), a);
  }
  static I low_byte(I a) noexcept { return _mm512_and_si512(a, set1(0xff)); }
  static I high_byte(I a) noexcept { return _mm512_srli_epi32(a, 8); }
  static I byte_picker(int at) noexcept {
    return _mm512_or_si512(_mm512_setr4_epi32(at, at + 4, at + 8, at + 12), set1(static_cast<int>(0x80808000)));
  }
  static I pick_bytes(I a, I picker) noexcept { return _mm512_shuffle_epi8(a, picker); }
  static F to_float(I a) noexcept { return _mm512_cvtepi32_ps(a); }
  static F fma(F a, F b, F c) noexcept { return _mm512_fmadd_ps(a, b, c); }
  static I truncate(F a) noexcept { return _mm512_cvttps_epi32(a); }

  // Sixteen even and sixteen odd pixels, as 96 bytes of RGB: two byte permutes across both packed vectors.
  struct Packer {
    __m512i head, tail;
    Packer() noexcept {
      alignas(64) uint8_t table[128] = {};
      for (int at = 0; at < 96; ++at) table[at] = static_cast<uint8_t>(packed_byte(at, 4));
      head = _mm512_load_si512(table);
      tail = _mm512_load_si512(table + 64);
    }
    void store(const I* even, const I* odd, uint8_t* out) const noexcept {
      __m512i first = _mm512_packus_epi16(_mm512_packs_epi32(even[0], even[1]), _mm512_packs_epi32(even[2], odd[0]));
      __m512i words = _mm512_packs_epi32(odd[1], odd[2]);
      __m512i second = _mm512_packus_epi16(words, words);
      _mm512_storeu_si512(out, _mm512_permutex2var_epi8(first, head, second));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                          _mm512_castsi512_si256(_mm512_permutex2var_epi8(first, tail, second)));
    }
  };
};

#include "colour_x86_lines.inc"

}  // namespace avx512
#pragma GCC pop_options


// Lines too short for one wide vector go eight sites at a time.
template <class Line>
int64_t convert_line(const Line& from, const float (*m)[4], uint8_t* line, int64_t sites) noexcept {
  switch (cpu::level()) {
    case cpu::avx512: return 2 * avx2::lines(from, m, line, avx512::lines(from, m, line, 0, sites), sites);
    case cpu::avx2: return 2 * avx2::lines(from, m, line, 0, sites);
    default: return 0;
  }
}

}  // namespace

const char* vectors() noexcept {
  switch (cpu::level()) {
    case cpu::avx512: return "avx512";
    case cpu::avx2: return "avx2";
    default: return "none";
  }
}

int64_t ycbcr_line(const colour::View* planes, int across, int down, int64_t r, int64_t row, int64_t next_row,
                   const float (*m)[4], uint8_t* line, int64_t columns) noexcept {
  const colour::View &y = planes[0], &cb = planes[1], &cr = planes[2];
  if (across != 2 || y.itemsize != 1 || cb.row_stride != cr.row_stride) return 0;
  const uint8_t* luma = y.data + r * y.row_stride;
  const uint8_t* blue = cb.data + row * cb.row_stride;
  const uint8_t* red = cr.data + row * cr.row_stride;
  if (down == 1 && y.column_stride == 2 && cb.column_stride == 4 && cr.column_stride == 4) {
    const uint8_t* group = std::min({luma, blue, red});
    int64_t u = blue - group, v = red - group, first = luma - group;
    if (u < 4 && v < 4 && first < 2) {
      InterleavedLine from{group, static_cast<int>(u), static_cast<int>(first), static_cast<int>(v), cb.columns};
      return convert_line(from, m, line, columns / 2);
    }
  }
  if (down == 2 && y.column_stride == 1 && cb.column_stride == 2 && cr.column_stride == 2 && (red - blue == 1 || blue - red == 1)) {
    const uint8_t* pairs = std::min(blue, red);
    int64_t step = next_row - row;
    return convert_line(SemiPlanarLine{luma, pairs, pairs + step * cb.row_stride, blue < red, cb.columns}, m, line, columns / 2);
  }
  return 0;
}

}  // namespace pfnc::pixels::colour_x86
