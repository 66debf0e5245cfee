// Colour kernels: luma and chroma to RGB, and depth scaling with channel picking.
// Plain C++ over byte views; the binding in colour_module.cpp checks every view first.
#pragma once

#include <cstdint>

namespace pfnc::pixels::colour {

// A 2-D view of samples of one byte or two (host order), strides in bytes.
struct View {
  const uint8_t* data;
  int64_t rows, columns;
  int64_t row_stride, column_stride;
  int itemsize;
};

// Rows of pixels of three channels, each pixel's channels side by side.
struct Picture {
  uint8_t* data;
  int64_t rows, columns;
  int64_t row_stride;
  int itemsize;
};

// Per output channel: value = m[c][0] * Y + m[c][1] * Cb + m[c][2] * Cr + m[c][3],
// clipped to [0, top] and rounded to nearest.
struct Affine {
  double m[3][4];
  double top;
};

// Luma `planes[0]` at full resolution, chroma `planes[1]` (Cb) and `planes[2]`
// (Cr) with one sample every `across` x `down` pixels. Chroma between two
// samples is interpolated linearly, past the last one repeated. False when
// out of memory.
bool ycbcr(const View* planes, int across, int down, const Affine& affine, const Picture& out) noexcept;

// out channel c = channel picks[c] of `image` (channels side by side, any
// count; -1 gives zero), scaled from widths[c] bits to `bits` with rounding.
// False when out of memory.
bool channels(const View& image, const int* picks, const int* widths, int bits, const Picture& out) noexcept;

}  // namespace pfnc::pixels::colour
