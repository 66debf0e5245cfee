// The loops an image goes through: each plane's own loop where its plan has one, the general loop for the rest.
#include <algorithm>
#include <cstring>

#include "loops.hpp"

#ifdef PFNC_X86_VECTORS
#include "x86.hpp"
#endif

namespace pfnc::pixels {

namespace {

// Samples alone in containers of their element's size: decoding takes each
// out of its place, encoding puts it there; false when a value does not fit.
template <bool encoding, typename T>
bool move_containers(const uint8_t* in, uint8_t* out, int64_t count, int64_t shift, uint64_t keep) noexcept {
  T excess = 0;
  for (int64_t i = 0; i < count; ++i) {
    T v;
    std::memcpy(&v, in + i * sizeof(T), sizeof(T));
    if constexpr (encoding) {
      excess |= static_cast<T>(v & ~keep);
      v = static_cast<T>(v << shift);
    } else {
      v = static_cast<T>((v >> shift) & keep);
    }
    std::memcpy(out + i * sizeof(T), &v, sizeof(T));
  }
  return excess == 0;
}

template <bool encoding>
bool containers(const Plan& plan, const Plane& p, const uint8_t* in, uint8_t* out, int64_t groups) noexcept {
  int64_t count = groups * static_cast<int64_t>(p.samples);
  switch (plan.targets[p.target].itemsize) {
    case 1: return move_containers<encoding, uint8_t>(in, out, count, p.container_shift, p.container_mask);
    case 2: return move_containers<encoding, uint16_t>(in, out, count, p.container_shift, p.container_mask);
    case 4: return move_containers<encoding, uint32_t>(in, out, count, p.container_shift, p.container_mask);
    default: return move_containers<encoding, uint64_t>(in, out, count, p.container_shift, p.container_mask);
  }
}

// Groups done by the plane's own loop, from the first.
int64_t decode_fast(const Plan& plan, const Plane& p, int64_t groups, const uint8_t* in, uint8_t* out) noexcept {
  switch (p.fast) {
    case Fast::copy:
      std::memcpy(out, in, groups * p.group_bytes);
      return groups;
    case Fast::containers:
      containers<false>(plan, p, in, out, groups);
      return groups;
    case Fast::windows:
#ifdef PFNC_X86_VECTORS
      return x86::decode_windows(p.windows, in, out, groups, p.group_bytes,
                                 plan.targets[p.target].itemsize * static_cast<int64_t>(p.samples));
#else
      break;
#endif
    case Fast::none:
      break;
  }
  return 0;
}

// Unsigned values of `width` bits packed end to end, `count` of them from
// `in`, a whole number of units of `unit` values that fill whole bytes. Each
// unit is stored 8 bytes at a time while the `room` bytes hold them; the zeros
// above it are written over by the next.
template <int64_t width, int64_t unit>
bool encode_stream(const uint8_t* in, uint8_t* out, int64_t count, int64_t room) noexcept {
  constexpr int64_t unit_bytes = unit * width / 8;
  unsigned excess = 0;
  for (int64_t u = 0; u < count / unit; ++u) {
    uint64_t word = 0;
    for (int64_t k = 0; k < unit; ++k) {
      uint16_t v;
      std::memcpy(&v, in + 2 * (u * unit + k), 2);
      excess |= v;
      word |= uint64_t{v} << (k * width);
    }
    std::memcpy(out + u * unit_bytes, &word, u * unit_bytes + 8 <= room ? 8 : unit_bytes);
  }
  return excess >> width == 0;
}

// Groups done by the plane's own encode loop, from the first; `fit` is false
// when a value does not fit, and the groups are then of no use.
int64_t encode_fast(const Plan& plan, const Plane& p, const uint8_t* in, uint8_t* out, int64_t groups, int64_t room,
                    bool& fit) noexcept {
  int64_t count = groups * static_cast<int64_t>(p.samples), done = 0;
  switch (p.pack) {
    case Pack::copy:
      std::memcpy(out, in, groups * p.group_bytes);
      return groups;
    case Pack::containers:
      fit = containers<true>(plan, p, in, out, groups);
      return groups;
    case Pack::stream: {
      // Whole groups hold whole units, so the values run on as one stream.
#ifdef PFNC_X86_VECTORS
      if (x86::has_vectors()) done = x86::encode_stream(in, out, count, room, p.pack_width, fit);
#endif
      int64_t at = done * p.pack_width / 8;
      in += 2 * done;
      fit = fit && (p.pack_width == 10 ? encode_stream<10, 4>(in, out + at, count - done, room - at)
                                       : encode_stream<12, 2>(in, out + at, count - done, room - at));
      return groups;
    }
    case Pack::pairs:
    case Pack::triplets:
#ifdef PFNC_X86_VECTORS
      if (x86::has_vectors()) {
        return p.pack == Pack::pairs ? x86::encode_pairs(in, out, groups, room, p.pack_width, fit)
                                     : x86::encode_triplets(in, out, groups, fit);
      }
#endif
      break;
    case Pack::none:
      break;
  }
  return done;
}

// The byte-moving sets, a segment at a time, between the packed streams and the arrays.
template <bool unpacking, typename Byte>
void run_sets(const Plan& plan, const Geometry& geo, Byte* packed, const Span* arrays) noexcept {
#ifdef PFNC_X86_VECTORS
  for (const ShuffleSet& set : plan.shuffles) {
    const PlaneGeometry& first = geo.planes[set.planes[0]];
    for (int64_t segment = 0; segment < first.segments; ++segment) {
      Byte* streams[max_planes];
      for (std::size_t j = 0; j < set.planes.size(); ++j) {
        const PlaneGeometry& g = geo.planes[set.planes[j]];
        streams[j] = packed + g.offset + segment * g.stride;
      }
      Bases b = bases_of(plan, geo, arrays, segment);
      uint8_t* elements[max_targets];
      for (std::size_t k = 0; k < set.targets.size(); ++k) elements[k] = b.at[set.targets[k]];
      if constexpr (unpacking) {
        x86::decode_set(set, streams, elements, first.groups / 16);
      } else {
        x86::encode_set(set, elements, streams, first.groups / 16);
      }
    }
  }
#else
  (void)plan, (void)geo, (void)packed, (void)arrays;
#endif
}

}  // namespace

void decode(const Plan& plan, const Geometry& geo, const uint8_t* packed, int64_t size, const Span* outputs) noexcept {
  run_sets<true>(plan, geo, packed, outputs);
  for (std::size_t n = 0; n < plan.planes.size(); ++n) {
    const Plane& p = plan.planes[n];
    const PlaneGeometry& g = geo.planes[n];
    for (int64_t segment = 0; segment < g.segments; ++segment) {
      const uint8_t* in = packed + g.offset + segment * g.stride;
      Bases b = bases_of(plan, geo, outputs, segment);
      int64_t done = p.shuffled             ? g.groups / 16 * 16
                     : p.fast == Fast::none ? 0
                                            : decode_fast(plan, p, g.groups, in, b.at[p.target]);
      int64_t room = size - (g.offset + segment * g.stride);
      if (!plan.general_only) {
        int64_t wide = std::min(wide_groups(p, room), g.groups);
        if (wide > done) decode_runs(plan, p, in, b, done, wide);
        done = std::max(done, wide);
      }
      decode_groups(plan, p, in, room, b, done, g.groups, INT64_MAX);
      if (g.partial_pixels > 0) decode_groups(plan, p, in, room, b, g.groups, g.groups + 1, g.partial_pixels);
    }
  }
}

namespace {

// The frame's planes, every byte of them; false at a value that does not fit.
bool encode_planes(const Plan& plan, const Geometry& geo, uint8_t* packed, const Span* images) noexcept {
  run_sets<false>(plan, geo, packed, images);
  for (std::size_t n = 0; n < plan.planes.size(); ++n) {
    const Plane& p = plan.planes[n];
    const PlaneGeometry& g = geo.planes[n];
    for (int64_t segment = 0; segment < g.segments; ++segment) {
      uint8_t* out = packed + g.offset + segment * g.stride;
      Bases b = bases_of(plan, geo, images, segment);
      int64_t room = g.groups * p.group_bytes + g.partial_bytes;
      bool fit = true;
      int64_t done = p.shuffled               ? g.groups / 16 * 16
                     : p.pack == Pack::none ? 0
                                            : encode_fast(plan, p, b.at[p.target], out, g.groups, room, fit);
      if (fit && !plan.general_only && done < g.groups) {
        // Only the segment's own bytes: the 8-byte writes must not reach another's.
        int64_t wide = std::min(wide_groups(p, room), g.groups);
        fit = wide <= done || encode_runs(plan, p, out, b, done, wide);
        done = std::max(done, wide);
      }
      if (!fit || encode_groups(plan, p, out, b, done, g.groups, INT64_MAX).target >= 0 ||
          (g.partial_pixels > 0 && encode_groups(plan, p, out, b, g.groups, g.groups + 1, g.partial_pixels).target >= 0)) {
        return false;
      }
      if (g.stride > room) std::memset(out + room, 0, g.stride - room);
    }
  }
  return true;
}

}  // namespace

Overflow encode(const Plan& plan, const Geometry& geo, uint8_t* packed, const Span* images) noexcept {
  if (encode_planes(plan, geo, packed, images)) return {};
  // The general loop, from the start, finds the first value that does not fit.
  Overflow found;
  for (std::size_t n = 0; n < plan.planes.size() && found.target < 0; ++n) {
    const Plane& p = plan.planes[n];
    const PlaneGeometry& g = geo.planes[n];
    for (int64_t segment = 0; segment < g.segments && found.target < 0; ++segment) {
      uint8_t* out = packed + g.offset + segment * g.stride;
      Bases b = bases_of(plan, geo, images, segment);
      found = encode_groups(plan, p, out, b, 0, g.groups, INT64_MAX);
      if (found.target < 0 && g.partial_pixels > 0) {
        found = encode_groups(plan, p, out, b, g.groups, g.groups + 1, g.partial_pixels);
      }
    }
  }
  std::memset(packed, 0, geo.total);
  return found;
}

}  // namespace pfnc::pixels
