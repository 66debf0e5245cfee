// Pixel conversion over byte spans: a layout description and the loops that follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pfnc::pixels {

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
};

// How a plane converts when its layout has a loop of its own.
enum class Fast { none, copy, containers, windows };

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
  int64_t offset;    // first byte of the plane in the buffer
  int64_t stride;    // bytes from one segment to the next
  int64_t segments;  // lines, or 1 for a stream that runs on
  int64_t groups;    // whole groups in a segment
  int64_t partial_pixels, partial_bytes;  // an incomplete last group
  int64_t group_bytes;
  std::size_t first_sample, samples;
  Fast fast = Fast::none;
  int64_t target = -1;    // the one output its samples go to, if one
  bool shuffled = false;  // converted by a ShuffleSet
  int64_t container_shift = 0;  // Fast::containers: value = (word >> shift) & mask
  uint64_t container_mask = 0;
  Windows windows;
  int64_t packed_width = 0;  // a stream of unsigned 16-bit values packed end to end: their width
};

struct Target {
  int64_t itemsize;
  int64_t row_bytes;  // bytes from one segment's elements to the next
};

struct Job {
  std::vector<Target> targets;
  std::vector<Plane> planes;
  std::vector<Sample> samples;
  std::vector<Field> fields;
  int64_t read_end = 0;  // bytes of the packed buffer the job touches
  std::vector<ShuffleSet> shuffles;
  bool general_only = false;  // no faster loops: what they are tested against
};

// A byte span per output, in target order.
struct Span {
  uint8_t* data;
  int64_t size;
};

// Checks every index of the job against the buffers before anything is read
// or written; returns nullptr, or what is wrong. `packed` is the size of the
// packed buffer, `outputs` those of the unpacked ones.
const char* check(Job& job, int64_t packed, const std::vector<int64_t>& outputs) noexcept;

// Picks the fastest loop each plane can use; after check().
void choose_loops(Job& job) noexcept;

void decode(const Job& job, const uint8_t* packed, int64_t size, const std::vector<Span>& outputs) noexcept;

// Writes into `packed`, which the caller zeroes. Returns -1, or the output
// holding a value that its component cannot hold (nothing more is written).
int64_t encode(const Job& job, uint8_t* packed, const std::vector<Span>& images) noexcept;

}  // namespace pfnc::pixels
