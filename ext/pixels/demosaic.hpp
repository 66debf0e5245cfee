// Demosaicing of Bayer mosaics and two-colour (BiColor) rows into interleaved RGB, over byte rows.
#pragma once

#include <cstdint>
#include <cstring>

namespace pfnc::pixels::demosaic {

enum class Method : unsigned char { bilinear, gradient };

// Rows of samples (itemsize 1: uint8, 2: uint16), `stride` bytes apart (any
// sign). The image's samples are contiguous along a row: one per pixel in a
// mosaic, two in BiColor pairs, three in the RGB output.
struct Rows {
  const uint8_t* first;
  int64_t stride;
  const uint8_t* row(int64_t y) const noexcept { return first + y * stride; }
};
struct OutRows {
  uint8_t* first;
  int64_t stride;
  uint8_t* row(int64_t y) const noexcept { return first + y * stride; }
};

struct Job {
  Rows in;
  OutRows out;
  int64_t width, height;
  int itemsize;      // 1 or 2
  uint32_t maximum;  // 2**bits - 1: results are clipped to it
  Method method;
  bool blue_first;  // B, G, R instead of R, G, B
};

// Where one mosaic row's colours go.
struct RowPlan {
  int colour_parity;  // columns of this parity hold the row's red (or blue)
  int own_channel;    // channel of that colour
  int other_channel;  // channel of the colour that the row lacks
};

// Mosaics: red sits at (red_row, red_column) of the 2x2 tile that starts at
// the top-left pixel, blue diagonally across, green on the other two.
void demosaic(const Job& job, int red_row, int red_column) noexcept;
// BiColor pairs (red-or-blue, green): red at even columns when red_first.
void bicolor(const Job& job, bool red_first) noexcept;

// Samples as they lie in the rows, which need not be aligned.
template <typename T>
inline int32_t load(const uint8_t* row, int64_t index) noexcept {
  T value;
  std::memcpy(&value, row + index * static_cast<int64_t>(sizeof(T)), sizeof(T));
  return value;
}
template <typename T>
inline void store(uint8_t* row, int64_t index, int32_t value) noexcept {
  T narrow = static_cast<T>(value);
  std::memcpy(row + index * static_cast<int64_t>(sizeof(T)), &narrow, sizeof(T));
}

// Index i of a line of n reflected about the line's end samples (-1 -> 1,
// n -> n - 2), which keeps the colour of every position; a line of one
// sample stands in for all its neighbours.
inline int64_t mirror(int64_t i, int64_t n) noexcept {
  if (n == 1) return 0;
  for (;;) {
    if (i < 0) {
      i = -i;
    } else if (i >= n) {
      i = 2 * (n - 1) - i;
    } else {
      return i;
    }
  }
}

}  // namespace pfnc::pixels::demosaic
