// The colour kernels, portable: every vector row in colour_x86.cpp gives the same values.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <new>
#include <vector>

#include "colour.hpp"
#include "colour_x86.hpp"

namespace pfnc::pixels::colour {

namespace {

template <typename T>
T load(const uint8_t* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
T sample(const View& v, int64_t row, int64_t column) noexcept {
  return load<T>(v.data + row * v.row_stride + column * v.column_stride);
}

// Chroma of pixels [first, columns) of a line, as the sum of its samples weighted 2 * across:
// the vertical neighbours are summed first (the same row twice where no other
// line lies between), then spread along the line.
template <typename In>
void chroma_line(const View& c, int across, int64_t row, int64_t next_row, int64_t first, int64_t columns,
                 int32_t* vertical, int32_t* sums) noexcept {
  for (int64_t j = first / across; j < c.columns; ++j) vertical[j] = sample<In>(c, row, j) + sample<In>(c, next_row, j);
  // The common samplings first, in loops a compiler can take whole vectors of: every pixel its own
  // sample (weighted 2 as a vertical sum), or pairs whose next sample is there.
  if (across == 1) {
    for (int64_t x = first, end = std::min(columns, c.columns); x < end; ++x) sums[x] = vertical[x];
    first = std::max(first, std::min(columns, c.columns));
  } else if (across == 2 && first % 2 == 0) {
    int64_t pairs_end = std::min(columns / 2, c.columns - 1);
    for (int64_t j = first / 2; j < pairs_end; ++j) {
      sums[2 * j] = 2 * vertical[j];
      sums[2 * j + 1] = vertical[j] + vertical[j + 1];
    }
    first = std::max(first, 2 * pairs_end);
  }
  int64_t j = first / across, part = first % across;  // no division per pixel
  for (int64_t x = first; x < columns; ++x) {
    int64_t next = j + 1 < c.columns ? j + 1 : j;
    sums[x] = static_cast<int32_t>((across - part) * vertical[j] + part * vertical[next]);
    if (++part == across) part = 0, ++j;
  }
}

// One output value: 8-bit pictures are worked out in float with fused
// multiply-adds, in the order the vector lines use, so that both give the
// same bytes; deeper ones in double.
inline float channel_value(const float* m, float y, float cb, float cr) noexcept {
  return std::fma(m[0], y, std::fma(m[1], cb, std::fma(m[2], cr, m[3])));
}
inline double channel_value(const double* m, double y, double cb, double cr) noexcept {
  return m[0] * y + (m[1] * cb + (m[2] * cr + m[3]));
}

// Clipped to [0, top] and truncated, without a branch (out-of-range values are common):
// the constant holds an extra half, so this rounds to nearest. top < 2^31.
template <typename Out, typename Real>
Out clip_round(Real value, Real top) noexcept {
  return static_cast<Out>(static_cast<int32_t>(std::min(std::max(value, Real{0}), top)));
}

// Per channel, the values of n pixels from their luma and chroma sums side by
// side, then the three interleaved: loops a compiler can take whole vectors of.
template <typename Out, typename Real>
[[gnu::always_inline]] inline void pixel_run(const Real (*m)[4], Real top, const int32_t* y, const int32_t* cb,
                                             const int32_t* cr, int64_t n, Out* channels, uint8_t* line) noexcept {
  for (int c = 0; c < 3; ++c) {
    Out* values = channels + c * n;
    for (int64_t x = 0; x < n; ++x) {
      values[x] = clip_round<Out>(channel_value(m[c], static_cast<Real>(y[x]), static_cast<Real>(cb[x]),
                                                static_cast<Real>(cr[x])), top);
    }
  }
  for (int64_t x = 0; x < n; ++x) {
    for (int c = 0; c < 3; ++c) std::memcpy(line + (3 * x + c) * sizeof(Out), channels + c * n + x, sizeof(Out));
  }
}

template <typename In, typename Out>
[[gnu::always_inline]] inline void ycbcr_lines(const View* planes, int across, int down, const Affine& a,
                                               const Picture& out, int32_t* scratch, uint16_t* values) noexcept {
  using Real = std::conditional_t<sizeof(In) == 1 && sizeof(Out) == 1, float, double>;
  int64_t columns = out.columns;
  int32_t* vertical = scratch;
  int32_t* cb = vertical + planes[1].columns;
  int32_t* cr = cb + columns;
  int32_t* luma = cr + columns;
  Out* channels = reinterpret_cast<Out*>(values);  // for 8-bit pictures, bytes of it
  double weight = 1.0 / (2 * across);
  Real m[3][4];
  for (int c = 0; c < 3; ++c) {
    m[c][0] = static_cast<Real>(a.m[c][0]);
    m[c][1] = static_cast<Real>(a.m[c][1] * weight);
    m[c][2] = static_cast<Real>(a.m[c][2] * weight);
    m[c][3] = static_cast<Real>(a.m[c][3] + 0.5);
  }
  auto top = static_cast<Real>(a.top);
  for (int64_t r = 0; r < out.rows; ++r) {
    int64_t row = r / down;
    int64_t next_row = r % down != 0 && row + 1 < planes[1].rows ? row + 1 : row;
    auto* line = out.data + r * out.row_stride;
    int64_t done = 0;
    if constexpr (std::is_same_v<Real, float>) {
      if (a.top == 255) done = colour_x86::ycbcr_line(planes, across, down, r, row, next_row, m, line, columns);
    }
    chroma_line<In>(planes[1], across, row, next_row, done, columns, vertical, cb);
    chroma_line<In>(planes[2], across, row, next_row, done, columns, vertical, cr);
    for (int64_t x = done; x < columns; ++x) luma[x] = sample<In>(planes[0], r, x);
    pixel_run<Out>(m, top, luma + done, cb + done, cr + done, columns - done, channels,
                   line + 3 * done * sizeof(Out));
  }
}

// 8-bit lines, also built for AVX-512 and AVX2 (with fused multiply-adds): the
// portable loop then takes the samplings the vector lines leave (4:4:4, 4:1:1)
// in vectors too, with the same fused multiply-adds, so the same bytes.
#ifdef PFNC_X86_VECTORS
__attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
void ycbcr_lines_8(const View* planes, int across, int down, const Affine& a, const Picture& out, int32_t* scratch,
                   uint16_t* values) noexcept {
  ycbcr_lines<uint8_t, uint8_t>(planes, across, down, a, out, scratch, values);
}

// Deeper lines, in double precision, with the widest vectors the CPU has.
#ifdef PFNC_X86_VECTORS
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void ycbcr_lines_wide(const View* planes, int across, int down, const Affine& a, const Picture& out, int32_t* scratch,
                      uint16_t* values) noexcept {
  bool wide_in = planes[0].itemsize == 2, wide_out = out.itemsize == 2;
  if (wide_in && wide_out) {
    ycbcr_lines<uint16_t, uint16_t>(planes, across, down, a, out, scratch, values);
  } else if (wide_in) {
    ycbcr_lines<uint16_t, uint8_t>(planes, across, down, a, out, scratch, values);
  } else {
    ycbcr_lines<uint8_t, uint16_t>(planes, across, down, a, out, scratch, values);
  }
}

// v * (2^bits - 1) / (2^width - 1), rounded, for every v of `width` bits.
template <typename Out>
void scale_table(int width, int bits, std::vector<Out>& table) {
  uint64_t from = (uint64_t{1} << width) - 1, to = (uint64_t{1} << bits) - 1;
  table.resize(from + 1);
  for (uint64_t v = 0; v <= from; ++v) table[v] = static_cast<Out>((2 * v * to + from) / (2 * from));
}

template <typename In, typename Out>
void channel_lines(const View& image, const int* picks, const int* widths, int bits, const Picture& out) {
  std::vector<Out> tables[3];
  for (int c = 0; c < 3; ++c) {
    if (picks[c] >= 0) scale_table(widths[c], bits, tables[c]);
  }
  for (int64_t r = 0; r < out.rows; ++r) {
    auto* line = out.data + r * out.row_stride;
    for (int c = 0; c < 3; ++c) {
      if (picks[c] < 0) {
        for (int64_t x = 0; x < out.columns; ++x) std::memset(line + (3 * x + c) * sizeof(Out), 0, sizeof(Out));
        continue;
      }
      const uint8_t* from = image.data + r * image.row_stride + picks[c] * sizeof(In);
      const Out* table = tables[c].data();
      In mask = static_cast<In>(tables[c].size() - 1);
      for (int64_t x = 0; x < out.columns; ++x) {
        Out value = table[load<In>(from + x * image.column_stride) & mask];
        std::memcpy(line + (3 * x + c) * sizeof(Out), &value, sizeof(Out));
      }
    }
  }
}

// Channels taken as they are: `step` samples a pixel, channel c at first + dir * c. The pattern is
// fixed at compile time, so that the compiler takes whole vectors of the copy.
template <typename T, int step, int first, int dir>
void pick_rows(const View& image, const Picture& out) noexcept {
  for (int64_t r = 0; r < out.rows; ++r) {
    const uint8_t* from = image.data + r * image.row_stride;
    uint8_t* line = out.data + r * out.row_stride;
    if constexpr (step == 3 && first == 0 && dir == 1) {
      std::memcpy(line, from, 3 * out.columns * sizeof(T));
      continue;
    }
    for (int64_t x = 0; x < out.columns; ++x) {
      for (int c = 0; c < 3; ++c) {
        T value = load<T>(from + (step * x + first + dir * c) * sizeof(T));
        std::memcpy(line + (3 * x + c) * sizeof(T), &value, sizeof(T));
      }
    }
  }
}

// Grey, RGB, BGR and the four-sample orders, when no channel changes its scale; false for the others.
template <typename T>
bool pick_common(const View& image, const int* picks, const Picture& out) noexcept {
  int64_t step = image.column_stride / static_cast<int64_t>(sizeof(T));
  int p0 = picks[0], p1 = picks[1], p2 = picks[2];
  if (image.column_stride % static_cast<int64_t>(sizeof(T)) != 0) return false;
  if (step == 1 && p0 == 0 && p1 == 0 && p2 == 0) return pick_rows<T, 1, 0, 0>(image, out), true;
  bool up = p1 == p0 + 1 && p2 == p0 + 2, down = p1 == p0 - 1 && p2 == p0 - 2;
  if (step == 3 && up && p0 == 0) return pick_rows<T, 3, 0, 1>(image, out), true;
  if (step == 3 && down && p0 == 2) return pick_rows<T, 3, 2, -1>(image, out), true;
  if (step == 4 && up && p0 == 0) return pick_rows<T, 4, 0, 1>(image, out), true;
  if (step == 4 && up && p0 == 1) return pick_rows<T, 4, 1, 1>(image, out), true;
  if (step == 4 && down && p0 == 2) return pick_rows<T, 4, 2, -1>(image, out), true;
  if (step == 4 && down && p0 == 3) return pick_rows<T, 4, 3, -1>(image, out), true;
  return false;
}

#ifdef PFNC_X86_VECTORS
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
bool pick_unscaled(const View& image, const int* picks, const Picture& out) noexcept {
  return image.itemsize == 1 ? pick_common<uint8_t>(image, picks, out) : pick_common<uint16_t>(image, picks, out);
}

}  // namespace

bool ycbcr(const View* planes, int across, int down, const Affine& affine, const Picture& out) noexcept {
  // Chroma lines, then luma and chroma sums of a line; per channel a line of values.
  std::vector<int32_t> scratch;
  std::vector<uint16_t> values;
  try {
    scratch.resize(static_cast<std::size_t>(planes[1].columns + 3 * out.columns));
    values.resize(static_cast<std::size_t>(3 * out.columns));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (planes[0].itemsize == 1 && out.itemsize == 1) {
    ycbcr_lines_8(planes, across, down, affine, out, scratch.data(), values.data());
  } else {
    ycbcr_lines_wide(planes, across, down, affine, out, scratch.data(), values.data());
  }
  return true;
}

bool channels(const View& image, const int* picks, const int* widths, int bits, const Picture& out) noexcept {
  bool unscaled = image.itemsize == out.itemsize;
  for (int c = 0; c < 3; ++c) unscaled = unscaled && picks[c] >= 0 && widths[c] == bits;
  if (unscaled && pick_unscaled(image, picks, out)) return true;
  try {
    bool wide_in = image.itemsize == 2, wide_out = out.itemsize == 2;
    if (wide_in && wide_out) {
      channel_lines<uint16_t, uint16_t>(image, picks, widths, bits, out);
    } else if (wide_in) {
      channel_lines<uint16_t, uint8_t>(image, picks, widths, bits, out);
    } else if (wide_out) {
      channel_lines<uint8_t, uint16_t>(image, picks, widths, bits, out);
    } else {
      channel_lines<uint8_t, uint8_t>(image, picks, widths, bits, out);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace pfnc::pixels::colour
