// The AVX2 demosaicing rows: the formulas of demosaic.cpp on whole vectors of even and odd pixels.
//
// A load of one row's samples splits into its even and its odd pixels, each
// widened to lanes twice the sample's size (16 bits for uint8, 32 for uint16),
// wide enough for every sum of the gradient kernels. Colour sites are all even
// or all odd, so each half needs just its own two estimates.
#include "demosaic_x86.hpp"

#include "cpu.hpp"

#include <array>
#include <type_traits>

#include <immintrin.h>

namespace pfnc::pixels::demosaic::x86 {

namespace {

#define PFNC_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Samples widened to signed lanes of twice their size, as GCC vectors (their
// operators are the lanes' arithmetic; >> of a signed lane keeps its sign).
template <typename Sample, typename Lane>
struct Lanes {
  typedef Lane V __attribute__((vector_size(32)));
  typedef std::make_unsigned_t<Lane> Unsigned __attribute__((vector_size(32)));
  using Value = Lane;
  static constexpr int64_t size = sizeof(Sample);
  static constexpr int64_t pixels = 32 / size;  // per load
  static constexpr int bits = 8 * size;
  PFNC_AVX2 static V even(__m256i v) noexcept { return reinterpret_cast<V>(v) & static_cast<Lane>((1 << bits) - 1); }
  PFNC_AVX2 static V odd(__m256i v) noexcept { return reinterpret_cast<V>(reinterpret_cast<Unsigned>(v) >> bits); }
  PFNC_AVX2 static __m256i join(V even, V odd) noexcept { return reinterpret_cast<__m256i>(even | (odd << bits)); }
  PFNC_AVX2 static V clip(V v, V maximum) noexcept {
    v = v < 0 ? V{} : v;
    return v > maximum ? maximum : v;
  }
};
using Bytes = Lanes<uint8_t, int16_t>;
using Words = Lanes<uint16_t, int32_t>;

// Byte shuffles that interleave three channels of one 128-bit lane into three
// 16-byte parts of RGB output: shuffles[itemsize - 1][part][channel].
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
template <class L>
struct Split {
  typename L::V even, odd;
};
template <class L>
PFNC_AVX2 Split<L> split(const uint8_t* at) noexcept {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return {L::even(v), L::odd(v)};
}

// A half's 5x5 neighbourhood: the offsets from its own pixel.
template <class L>
struct Around {
  typename L::V c, w, e, ww, ee, n, s, nw, ne, sw, se, nn, ss;
};

// Products by the kernels' weights as shifts and sums, which every lane width has.
template <class V>
PFNC_AVX2 V times(V v, int weight) noexcept {
  V sum{};
  for (int bit = 0; bit < 4; ++bit) {
    if ((weight >> bit) & 1) sum += v << bit;
  }
  return sum;
}

template <class L, Method M>
PFNC_AVX2 void colour_site(const Around<L>& a, typename L::V& green, typename L::V& other) noexcept {
  auto cross = a.n + a.s + a.w + a.e, diagonals = a.nw + a.ne + a.sw + a.se;
  if constexpr (M == Method::bilinear) {
    green = (cross + 2) >> 2;
    other = (diagonals + 2) >> 2;
  } else {
    auto far = a.ww + a.ee + a.nn + a.ss;
    green = (times(a.c, 8) + times(cross, 4) - times(far, 2) + 8) >> 4;
    other = (times(a.c, 12) + times(diagonals, 4) - times(far, 3) + 8) >> 4;
  }
}

template <class L, Method M>
PFNC_AVX2 void green_site(const Around<L>& a, typename L::V& in_row, typename L::V& in_column) noexcept {
  auto row = a.w + a.e, column = a.n + a.s;
  if constexpr (M == Method::bilinear) {
    in_row = (row + 1) >> 1;
    in_column = (column + 1) >> 1;
  } else {
    auto base = times(a.c, 10) - times(a.nw + a.ne + a.sw + a.se, 2) + 8;
    auto far_row = a.ww + a.ee, far_column = a.nn + a.ss;
    in_row = (base + times(row, 8) - times(far_row, 2) + far_column) >> 4;
    in_column = (base + times(column, 8) - times(far_column, 2) + far_row) >> 4;
  }
}

// One channel: the colour half's values and the green half's, clipped and put back in pixel order.
template <class L, bool colour_at_even>
PFNC_AVX2 __m256i join(typename L::V at_colour, typename L::V at_green, typename L::V top) noexcept {
  at_colour = L::clip(at_colour, top);
  at_green = L::clip(at_green, top);
  return colour_at_even ? L::join(at_colour, at_green) : L::join(at_green, at_colour);
}

template <class L, Method M, bool colour_at_even>
__attribute__((target("avx2"))) int64_t row_avx2(const uint8_t* const* rows, uint8_t* out, const RowPlan& plan,
                                                 uint32_t maximum, int64_t from, int64_t to) noexcept {
  constexpr int64_t size = L::size;
  const typename L::V top = typename L::V{} + static_cast<typename L::Value>(maximum);
  int64_t x = from;
  for (; x + L::pixels <= to; x += L::pixels) {
    Split<L> left[5], centre[5], right[5];
    for (int k = 0; k < 5; ++k) {
      left[k] = split<L>(rows[k] + (x - 2) * size);
      centre[k] = split<L>(rows[k] + x * size);
      right[k] = split<L>(rows[k] + (x + 2) * size);
    }
    // Even pixels x + 2i, and odd ones x + 2i + 1: each half's neighbours by offset.
    Around<L> even{centre[2].even, left[2].odd,  centre[2].odd, left[2].even, right[2].even,
                   centre[1].even, centre[3].even, left[1].odd, centre[1].odd, left[3].odd,
                   centre[3].odd,  centre[0].even, centre[4].even};
    Around<L> odd{centre[2].odd,   centre[2].even, right[2].even, left[2].odd,   right[2].odd,
                  centre[1].odd,   centre[3].odd,  centre[1].even, right[1].even, centre[3].even,
                  right[3].even,   centre[0].odd,  centre[4].odd};
    const Around<L>& colour = colour_at_even ? even : odd;
    const Around<L>& green = colour_at_even ? odd : even;
    typename L::V colour_green, colour_other, green_own, green_other;
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

bool has_avx2() noexcept { return cpu::level() >= cpu::avx2; }

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
