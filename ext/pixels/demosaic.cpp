// The portable demosaicing loops, which the vector rows must equal, and which do every border.
//
// Both methods are integer formulas rounded to nearest (halves up), clipped to
// [0, maximum]. Beyond the image, lines are reflected about its edge pixels
// (see mirror()), so that every neighbour keeps the colour of the pattern.
#include "demosaic.hpp"

#include <algorithm>

#ifdef PFNC_X86_VECTORS
#include "demosaic_x86.hpp"
#endif

namespace pfnc::pixels::demosaic {

namespace {

int32_t clip(int32_t value, int32_t maximum) noexcept { return std::clamp(value, 0, maximum); }

// The 5x5 neighbourhood of one pixel: five rows, five columns, already reflected.
template <typename T>
struct Window {
  const uint8_t* const* rows;  // rows[2] is the pixel's own
  int64_t columns[5];          // columns[2] is the pixel's own
  int32_t at(int dy, int dx) const noexcept { return load<T>(rows[2 + dy], columns[2 + dx]); }
  int32_t cross() const noexcept { return at(-1, 0) + at(1, 0) + at(0, -1) + at(0, 1); }
  int32_t diagonals() const noexcept { return at(-1, -1) + at(-1, 1) + at(1, -1) + at(1, 1); }
  int32_t far_row() const noexcept { return at(0, -2) + at(0, 2); }
  int32_t far_column() const noexcept { return at(-2, 0) + at(2, 0); }
};

// The two colours missing at a pixel: at a red or blue site, green and the
// other of the two; at a green site, the colour of its row's neighbours and
// that of its column's.
struct Missing {
  int32_t first, second;
};

template <typename T, Method M>
Missing at_colour_site(const Window<T>& w) noexcept {
  if constexpr (M == Method::bilinear) {
    return {(w.cross() + 2) >> 2, (w.diagonals() + 2) >> 2};
  } else {
    int32_t centre = w.at(0, 0), far = w.far_row() + w.far_column();
    return {(8 * centre + 4 * w.cross() - 2 * far + 8) >> 4, (12 * centre + 4 * w.diagonals() - 3 * far + 8) >> 4};
  }
}

template <typename T, Method M>
Missing at_green_site(const Window<T>& w) noexcept {
  int32_t row = w.at(0, -1) + w.at(0, 1), column = w.at(-1, 0) + w.at(1, 0);
  if constexpr (M == Method::bilinear) {
    return {(row + 1) >> 1, (column + 1) >> 1};
  } else {
    int32_t base = 10 * w.at(0, 0) - 2 * w.diagonals() + 8, far_row = w.far_row(), far_column = w.far_column();
    return {(base + 8 * row - 2 * far_row + far_column) >> 4, (base + 8 * column - 2 * far_column + far_row) >> 4};
  }
}

// Writes one pixel's three values, clipped, in the row's channel order.
template <typename T>
void store_pixel(uint8_t* out, int64_t x, bool own_first, int32_t own, int32_t green, int32_t other,
                 int32_t maximum) noexcept {
  store<T>(out, 3 * x, clip(own_first ? own : other, maximum));
  store<T>(out, 3 * x + 1, clip(green, maximum));
  store<T>(out, 3 * x + 2, clip(own_first ? other : own, maximum));
}

template <typename T, Method M>
void mosaic_pixels(const Job& job, const uint8_t* const* rows, uint8_t* out, const RowPlan& plan, int64_t from,
                   int64_t to) noexcept {
  auto maximum = static_cast<int32_t>(job.maximum);
  for (int64_t x = from; x < to; ++x) {
    Window<T> w{rows, {}};
    for (int k = 0; k < 5; ++k) w.columns[k] = mirror(x + k - 2, job.width);
    int32_t centre = w.at(0, 0);
    int32_t own, green, other;
    if ((x & 1) == plan.colour_parity) {
      Missing m = at_colour_site<T, M>(w);
      own = centre, green = m.first, other = m.second;
    } else {
      Missing m = at_green_site<T, M>(w);
      own = m.first, green = centre, other = m.second;
    }
    store_pixel<T>(out, x, plan.own_channel == 0, own, green, other, maximum);
  }
}

// Inner columns from `from` (even) on, two at a time, a colour site and a green
// site, with no reflection and no branch: a loop compilers can vectorise.
template <typename T, Method M, bool colour_at_even>
int64_t inner_pairs(const uint8_t* const* rows, uint8_t* out, const RowPlan& plan, int32_t maximum, int64_t from,
                    int64_t to) noexcept {
  const uint8_t* const own_rows[5] = {rows[0], rows[1], rows[2], rows[3], rows[4]};  // not aliased by the stores
  const bool own_first = plan.own_channel == 0;
  int64_t x = from;
  for (; x + 2 <= to; x += 2) {
    int64_t at_colour = colour_at_even ? x : x + 1, at_green = colour_at_even ? x + 1 : x;
    Window<T> colour{own_rows, {at_colour - 2, at_colour - 1, at_colour, at_colour + 1, at_colour + 2}};
    Window<T> green{own_rows, {at_green - 2, at_green - 1, at_green, at_green + 1, at_green + 2}};
    Missing c = at_colour_site<T, M>(colour), g = at_green_site<T, M>(green);
    store_pixel<T>(out, at_colour, own_first, colour.at(0, 0), c.first, c.second, maximum);
    store_pixel<T>(out, at_green, own_first, g.first, green.at(0, 0), g.second, maximum);
  }
  return x;
}

template <typename T, Method M>
void demosaic_as(const Job& job, int red_row, int red_column) noexcept {
  int red = job.blue_first ? 2 : 0, blue = 2 - red;
  auto maximum = static_cast<int32_t>(job.maximum);
  for (int64_t y = 0; y < job.height; ++y) {
    // Rows beyond the image are reflected here, once: the loops below see five real rows.
    const uint8_t* rows[5];
    for (int k = 0; k < 5; ++k) rows[k] = job.in.row(mirror(y + k - 2, job.height));
    bool red_row_here = (y & 1) == red_row;
    RowPlan plan = red_row_here ? RowPlan{red_column, red, blue} : RowPlan{1 - red_column, blue, red};
    uint8_t* out = job.out.row(y);
    // Columns with all their neighbours inside go to the vector rows, then to
    // the pairs; the others, and what is left, to the pixel loop.
    int64_t inner_from = std::min<int64_t>(2, job.width), inner_to = inner_from;
#ifdef PFNC_X86_VECTORS
    inner_to = x86::demosaic_row(job, rows, out, plan, inner_to, job.width - 2);
#endif
    inner_to = plan.colour_parity == 0 ? inner_pairs<T, M, true>(rows, out, plan, maximum, inner_to, job.width - 2)
                                       : inner_pairs<T, M, false>(rows, out, plan, maximum, inner_to, job.width - 2);
    mosaic_pixels<T, M>(job, rows, out, plan, 0, inner_from);
    mosaic_pixels<T, M>(job, rows, out, plan, inner_to, job.width);
  }
}

template <typename T, Method M>
void bicolor_as(const Job& job, bool red_first) noexcept {
  auto maximum = static_cast<int32_t>(job.maximum);
  for (int64_t y = 0; y < job.height; ++y) {
    const uint8_t* in = job.in.row(y);
    uint8_t* out = job.out.row(y);
    for (int64_t x = 0; x < job.width; ++x) {
      int64_t left = mirror(x - 1, job.width), right = mirror(x + 1, job.width);
      int32_t own = load<T>(in, 2 * x), green = load<T>(in, 2 * x + 1);
      int32_t sides = load<T>(in, 2 * left) + load<T>(in, 2 * right), other;
      if constexpr (M == Method::bilinear) {
        other = (sides + 1) >> 1;
      } else {
        // The missing colour follows this pixel's green by its neighbours' differences to theirs.
        other = (2 * green + sides - load<T>(in, 2 * left + 1) - load<T>(in, 2 * right + 1) + 1) >> 1;
      }
      bool red_here = ((x & 1) == 0) == red_first;
      store_pixel<T>(out, x, red_here != job.blue_first, own, green, other, maximum);
    }
  }
}

// One instance per sample type and method.
template <template <typename, Method> class Kernel, typename... Args>
void dispatch(const Job& job, Args... args) noexcept {
  bool gradient = job.method == Method::gradient;
  if (job.itemsize == 1) {
    gradient ? Kernel<uint8_t, Method::gradient>::run(job, args...) : Kernel<uint8_t, Method::bilinear>::run(job, args...);
  } else {
    gradient ? Kernel<uint16_t, Method::gradient>::run(job, args...)
             : Kernel<uint16_t, Method::bilinear>::run(job, args...);
  }
}

template <typename T, Method M>
struct MosaicKernel {
  static void run(const Job& job, int red_row, int red_column) noexcept { demosaic_as<T, M>(job, red_row, red_column); }
};
template <typename T, Method M>
struct BicolorKernel {
  static void run(const Job& job, bool red_first) noexcept { bicolor_as<T, M>(job, red_first); }
};

}  // namespace

void demosaic(const Job& job, int red_row, int red_column) noexcept {
  dispatch<MosaicKernel>(job, red_row, red_column);
}

void bicolor(const Job& job, bool red_first) noexcept { dispatch<BicolorKernel>(job, red_first); }

}  // namespace pfnc::pixels::demosaic
