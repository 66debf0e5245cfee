// The AVX2 demosaicing rows: the formulas of demosaic.cpp on whole vectors of even and odd pixels.
//
// A load of one row's samples splits into its even and its odd pixels, each
// widened to lanes twice the sample's size (16 bits for uint8, 32 for uint16),
// wide enough for every sum of the gradient kernels. Colour sites are all even
// or all odd, so each half needs just its own two estimates.
#include "demosaic_x86.hpp"

#include <array>

#include <immintrin.h>

namespace pfnc::pixels::demosaic::x86 {

namespace {

#define PFNC_AVX2 __attribute__((target("avx2"), always_inline)) inline

// uint8 samples in 16-bit lanes.
struct Bytes {
  static constexpr int64_t pixels = 32;  // per load
  PFNC_AVX2 static __m256i even(__m256i v) noexcept { return _mm256_and_si256(v, _mm256_set1_epi16(0xff)); }
  PFNC_AVX2 static __m256i odd(__m256i v) noexcept { return _mm256_srli_epi16(v, 8); }
  PFNC_AVX2 static __m256i join(__m256i even, __m256i odd) noexcept {
    return _mm256_or_si256(even, _mm256_slli_epi16(odd, 8));
  }
  PFNC_AVX2 static __m256i set(int32_t v) noexcept { return _mm256_set1_epi16(static_cast<int16_t>(v)); }
  PFNC_AVX2 static __m256i add(__m256i a, __m256i b) noexcept { return _mm256_add_epi16(a, b); }
  PFNC_AVX2 static __m256i sub(__m256i a, __m256i b) noexcept { return _mm256_sub_epi16(a, b); }
  template <int n>
  PFNC_AVX2 static __m256i shl(__m256i v) noexcept { return _mm256_slli_epi16(v, n); }
  template <int n>
  PFNC_AVX2 static __m256i sar(__m256i v) noexcept { return _mm256_srai_epi16(v, n); }
  PFNC_AVX2 static __m256i clip(__m256i v, __m256i maximum) noexcept {
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), maximum);
  }
};

// uint16 samples in 32-bit lanes.
struct Words {
  static constexpr int64_t pixels = 16;
  PFNC_AVX2 static __m256i even(__m256i v) noexcept { return _mm256_and_si256(v, _mm256_set1_epi32(0xffff)); }
  PFNC_AVX2 static __m256i odd(__m256i v) noexcept { return _mm256_srli_epi32(v, 16); }
  PFNC_AVX2 static __m256i join(__m256i even, __m256i odd) noexcept {
    return _mm256_or_si256(even, _mm256_slli_epi32(odd, 16));
  }
  PFNC_AVX2 static __m256i set(int32_t v) noexcept { return _mm256_set1_epi32(v); }
  PFNC_AVX2 static __m256i add(__m256i a, __m256i b) noexcept { return _mm256_add_epi32(a, b); }
  PFNC_AVX2 static __m256i sub(__m256i a, __m256i b) noexcept { return _mm256_sub_epi32(a, b); }
  template <int n>
  PFNC_AVX2 static __m256i shl(__m256i v) noexcept { return _mm256_slli_epi32(v, n); }
  template <int n>
  PFNC_AVX2 static __m256i sar(__m256i v) noexcept { return _mm256_srai_epi32(v, n); }
  PFNC_AVX2 static __m256i clip(__m256i v, __m256i maximum) noexcept {
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), maximum);
  }
};

// Byte shuffles that interleave three channels of one 128-bit lane into three
// 16-byte parts of RGB output: kShuffles[itemsize - 1][part][channel].
using Shuffles = std::array<std::array<std::array<std::array<uint8_t, 16>, 3>, 3>, 2>;
constexpr Shuffles make_shuffles() noexcept {
  Shuffles s{};
  for (int size = 1; size <= 2; ++size) {
    for (int part = 0; part < 3; ++part) {
      for (int channel = 0; channel < 3; ++channel) {
        for (int j = 0; j < 16; ++j) {
          int n = 16 * part + j, sample = n / size;
          bool here = sample % 3 == channel;
          s[size - 1][part][channel][j] = here ? static_cast<uint8_t>((sample / 3) * size + n % size) : 0x80;
        }
      }
    }
  }
  return s;
}
constexpr Shuffles shuffles = make_shuffles();

// Writes 96 bytes of RGB from three channel vectors (samples in pixel order).
template <int itemsize>
PFNC_AVX2 void store_rgb(uint8_t* out, const __m256i (&channel)[3]) noexcept {
  __m256i part[3];
  for (int p = 0; p < 3; ++p) {
    part[p] = _mm256_setzero_si256();
    for (int c = 0; c < 3; ++c) {
      __m256i pick = _mm256_broadcastsi128_si256(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles[itemsize - 1][p][c].data())));
      part[p] = _mm256_or_si256(part[p], _mm256_shuffle_epi8(channel[c], pick));
    }
  }
  // Each lane filled its own three parts: the low lane's come first.
  auto* to = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(to, _mm256_permute2x128_si256(part[0], part[1], 0x20));
  _mm256_storeu_si256(to + 1, _mm256_permute2x128_si256(part[2], part[0], 0x30));
  _mm256_storeu_si256(to + 2, _mm256_permute2x128_si256(part[1], part[2], 0x31));
}

// One row's loads at x - 2, x and x + 2, split into even and odd pixels.
struct Split {
  __m256i even, odd;
};
template <class L>
PFNC_AVX2 Split split(const uint8_t* at) noexcept {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return {L::even(v), L::odd(v)};
}

// A half's 5x5 neighbourhood: the offsets from its own pixel.
struct Around {
  __m256i c, w, e, ww, ee, n, s, nw, ne, sw, se, nn, ss;
};

template <class L, Method M>
PFNC_AVX2 void colour_site(const Around& a, __m256i& green, __m256i& other) noexcept {
  __m256i cross = L::add(L::add(a.n, a.s), L::add(a.w, a.e));
  __m256i diagonals = L::add(L::add(a.nw, a.ne), L::add(a.sw, a.se));
  if constexpr (M == Method::bilinear) {
    green = L::template sar<2>(L::add(cross, L::set(2)));
    other = L::template sar<2>(L::add(diagonals, L::set(2)));
  } else {
    __m256i far = L::add(L::add(a.ww, a.ee), L::add(a.nn, a.ss));
    __m256i eight_c = L::template shl<3>(a.c);
    green = L::template sar<4>(L::add(L::sub(L::add(eight_c, L::template shl<2>(cross)), L::template shl<1>(far)),
                                      L::set(8)));
    __m256i twelve_c = L::add(eight_c, L::template shl<2>(a.c));
    other = L::template sar<4>(L::add(
        L::sub(L::add(twelve_c, L::template shl<2>(diagonals)), L::add(far, L::template shl<1>(far))), L::set(8)));
  }
}

template <class L, Method M>
PFNC_AVX2 void green_site(const Around& a, __m256i& in_row, __m256i& in_column) noexcept {
  __m256i row = L::add(a.w, a.e), column = L::add(a.n, a.s);
  if constexpr (M == Method::bilinear) {
    in_row = L::template sar<1>(L::add(row, L::set(1)));
    in_column = L::template sar<1>(L::add(column, L::set(1)));
  } else {
    __m256i diagonals = L::add(L::add(a.nw, a.ne), L::add(a.sw, a.se));
    __m256i far_row = L::add(a.ww, a.ee), far_column = L::add(a.nn, a.ss);
    __m256i base = L::add(L::sub(L::add(L::template shl<3>(a.c), L::template shl<1>(a.c)), L::template shl<1>(diagonals)),
                          L::set(8));
    in_row = L::template sar<4>(
        L::add(L::sub(L::add(base, L::template shl<3>(row)), L::template shl<1>(far_row)), far_column));
    in_column = L::template sar<4>(
        L::add(L::sub(L::add(base, L::template shl<3>(column)), L::template shl<1>(far_column)), far_row));
  }
}

// One channel: the colour half's values and the green half's, clipped and put back in pixel order.
template <class L, bool colour_at_even>
PFNC_AVX2 __m256i join(__m256i at_colour, __m256i at_green, __m256i top) noexcept {
  at_colour = L::clip(at_colour, top);
  at_green = L::clip(at_green, top);
  return colour_at_even ? L::join(at_colour, at_green) : L::join(at_green, at_colour);
}

template <class L, Method M, bool colour_at_even>
__attribute__((target("avx2"))) int64_t row_avx2(const uint8_t* const* rows, uint8_t* out, const RowPlan& plan,
                                                 uint32_t maximum, int64_t from, int64_t to) noexcept {
  constexpr int64_t size = L::pixels == 32 ? 1 : 2;
  const __m256i top = L::set(static_cast<int32_t>(maximum));
  int64_t x = from;
  for (; x + L::pixels <= to; x += L::pixels) {
    Split left[5], centre[5], right[5];
    for (int k = 0; k < 5; ++k) {
      left[k] = split<L>(rows[k] + (x - 2) * size);
      centre[k] = split<L>(rows[k] + x * size);
      right[k] = split<L>(rows[k] + (x + 2) * size);
    }
    // Even pixels x + 2i, and odd ones x + 2i + 1: each half's neighbours by offset.
    Around even{centre[2].even, left[2].odd,  centre[2].odd, left[2].even, right[2].even,
                centre[1].even, centre[3].even, left[1].odd, centre[1].odd, left[3].odd,
                centre[3].odd,  centre[0].even, centre[4].even};
    Around odd{centre[2].odd,   centre[2].even, right[2].even, left[2].odd,   right[2].odd,
               centre[1].odd,   centre[3].odd,  centre[1].even, right[1].even, centre[3].even,
               right[3].even,   centre[0].odd,  centre[4].odd};
    const Around& colour = colour_at_even ? even : odd;
    const Around& green = colour_at_even ? odd : even;
    __m256i colour_green, colour_other, green_own, green_other;
    colour_site<L, M>(colour, colour_green, colour_other);
    green_site<L, M>(green, green_own, green_other);
    __m256i channel[3];
    channel[plan.own_channel] = join<L, colour_at_even>(colour.c, green_own, top);
    channel[1] = join<L, colour_at_even>(colour_green, green.c, top);
    channel[plan.other_channel] = join<L, colour_at_even>(colour_other, green_other, top);
    store_rgb<size>(out + 3 * x * size, channel);
  }
  return x;
}

template <class L, Method M>
int64_t row_as(const uint8_t* const* rows, uint8_t* out, const RowPlan& plan, uint32_t maximum, int64_t from,
               int64_t to) noexcept {
  return plan.colour_parity == 0 ? row_avx2<L, M, true>(rows, out, plan, maximum, from, to)
                                 : row_avx2<L, M, false>(rows, out, plan, maximum, from, to);
}

bool has_avx2() noexcept {
  static const bool found = __builtin_cpu_supports("avx2") != 0;
  return found;
}

}  // namespace

int64_t demosaic_row(const Job& job, const uint8_t* const* rows, uint8_t* out, const RowPlan& plan, int64_t from,
                     int64_t to) noexcept {
  if (!has_avx2()) return from;
  bool gradient = job.method == Method::gradient;
  if (job.itemsize == 1) {
    return gradient ? row_as<Bytes, Method::gradient>(rows, out, plan, job.maximum, from, to)
                    : row_as<Bytes, Method::bilinear>(rows, out, plan, job.maximum, from, to);
  }
  return gradient ? row_as<Words, Method::gradient>(rows, out, plan, job.maximum, from, to)
                  : row_as<Words, Method::bilinear>(rows, out, plan, job.maximum, from, to);
}

}  // namespace pfnc::pixels::demosaic::x86
