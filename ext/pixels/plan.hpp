// A pixel format's conversion plan: what its groups hold, checked and given its loops once;
// and the geometry of one image, worked out per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pfnc::pixels {

// What the loops handle; a layout beyond these is refused when its plan is built.
constexpr std::size_t max_targets = 8, max_planes = 8, max_group_samples = 4096, max_fields = 16;
constexpr int64_t max_group_bytes = 1 << 16;

// Bits [bit, bit + bits) of a group's little-endian bit stream, worth value >> shift.
struct Field {
  int64_t bit, bits, shift;
};

enum class ValueKind : int64_t { unsigned_, signed_, float_ };

struct Sample {
  int64_t target;   // which output
  int64_t element;  // its place in the block of elements one group fills there
  int64_t step;     // elements of that output one group fills
  int64_t pixel;    // first pixel of the group it belongs to
  int64_t width;
  ValueKind kind;
  std::size_t first_field, fields;
  int64_t reach;  // bytes of the group its fields lie in
};

// How a plane converts when its layout has a loop of its own.
enum class Fast { none, copy, containers, windows };

// How a plane encodes when its layout has a loop of its own: unsigned 16-bit
// values in one output, in the group's order. `stream`: 10- or 12-bit values
// packed end to end; `pairs`: two values in three bytes, high bytes apart and
// the low bits sharing the middle one; `triplets`: three 10-bit values a
// 32-bit word.
enum class Pack { none, copy, containers, stream, pairs, triplets };

// Up to four 16-byte loads, each giving eight 16-bit values. A value is made
// of at most two fields; each sits in a byte pair that is picked out, shifted
// up to the top of the word, down to the bottom, then up to its place.
struct Windows {
  int chunks = 0;
  int groups = 0;     // groups one round of the chunks covers
  int64_t reach = 0;  // bytes a round may load, from its start
  uint8_t base[4];
  uint8_t pick[4][2][16];
  uint16_t up[4][2][8], down[4][2][8], place[4][2][8];
};

// 8-bit samples that only move: each 16-byte vector of output is put
// together from the input vectors of a round of 16 groups.
struct Shuffle {
  struct Stream {
    int64_t bytes;  // per group
    int first;      // its first vector in the round
  };
  int inputs = 0, outputs = 0;
  Stream in[8], out[8];
  struct Part {
    uint8_t from, to;  // vectors
    uint8_t pick[16];
  };
  int parts = 0;
  Part part[64];
};

// Shapes of a ShuffleSet that decode with a loop of their own.
enum class Moves { general, interleave, split2, split4 };

// Planes of the same geometry whose samples are all bytes that only move.
struct ShuffleSet {
  std::vector<std::size_t> planes;
  std::vector<int64_t> targets;
  Shuffle unpack, pack;
  Moves moves = Moves::general;
  int lanes[4] = {};  // interleave: the plane of each element; split: the target of each part of `sort`
  uint8_t sort[16] = {};  // split: a vector of groups, its bytes put in the order of the outputs
};

struct Plane {
  int64_t group_bytes;
  int64_t group_pixels;
  int64_t line_divisor;  // 2 where a line of samples serves two lines of pixels
  // Bytes the first k pixels of a group need, k = 1..group_pixels - 1, for a
  // stream whose last group may stop early; empty when it may not.
  std::vector<int64_t> partial_bytes;
  std::size_t first_sample, samples;
  // Bytes from a group's start that reading or writing every field 8 bytes
  // at a time needs; 0 when a field spans more than 8 bytes.
  int64_t wide_bytes = 0;
  Fast fast = Fast::none;
  int64_t target = -1;    // the one output its samples go to, if one
  bool shuffled = false;  // converted by a ShuffleSet
  int64_t container_shift = 0;  // Fast::containers: value = (word >> shift) & mask
  uint64_t container_mask = 0;
  Windows windows;
  Pack pack = Pack::none;
  int64_t pack_width = 0;  // stream and pairs: the width of every value
};

struct Target {
  int64_t itemsize;
  int64_t across, down;  // pixels per sample, horizontally and vertically
  int64_t components;    // elements per sample
};

struct Plan {
  std::vector<Target> targets;
  std::vector<Plane> planes;
  std::vector<Sample> samples;
  std::vector<Field> fields;
  std::vector<ShuffleSet> shuffles;
  bool general_only = false;  // no faster loops: what they are tested against
};

// Where one image's planes lie in the buffer, and the outputs' shapes.
struct PlaneGeometry {
  int64_t offset;    // first byte of the plane
  int64_t stride;    // bytes from one segment to the next
  int64_t segments;  // lines, or 1 for a stream that runs on
  int64_t groups;    // whole groups in a segment
  int64_t partial_pixels, partial_bytes;  // an incomplete last group
};

struct Geometry {
  PlaneGeometry planes[max_planes];
  int64_t lines[max_targets], columns[max_targets];  // each output's shape, before its components
  int64_t row_bytes[max_targets];                    // from one segment's elements to the next; 0 for a stream
  int64_t read_end = 0;  // bytes of the buffer the image takes
  int64_t total = 0;     // bytes of the buffer encode writes
};

// Why an image does not fit a plan, with what the message needs.
struct Misfit {
  enum Kind { none, sampling, packing, stride, memory } kind = none;
  int64_t index = 0;  // the target (sampling) or plane (packing, stride)
  int64_t count = 0;  // packing: the pixels that do not fill whole groups; stride: a line's bytes
};

// A byte span per output, in target order.
struct Span {
  uint8_t* data;
  int64_t size;
};

// Checks every index of a plan read from its description, then picks the
// fastest loop each plane can use. Returns nullptr, or what is wrong. Throws
// std::bad_alloc only.
const char* prepare(Plan& plan);

// The geometry of a width x height image (stride < 0: lines run on), or why
// there is none; sizes must be positive.
Misfit geometry(const Plan& plan, int64_t width, int64_t height, int64_t stride, Geometry& geo) noexcept;

void decode(const Plan& plan, const Geometry& geo, const uint8_t* packed, int64_t size, const Span* outputs) noexcept;

// The first value an encode found that its component cannot hold.
struct Overflow {
  int64_t target = -1;  // -1: none
  int64_t element = 0;  // from the start of that output
};

// Writes every byte of `packed` (geo.total bytes), padding as zeros. At a
// value that its component cannot hold, it zeroes them all and names the
// first such value in the general loop's order.
Overflow encode(const Plan& plan, const Geometry& geo, uint8_t* packed, const Span* images) noexcept;

}  // namespace pfnc::pixels
