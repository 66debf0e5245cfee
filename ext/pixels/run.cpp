// The loops an image goes through: each plane's own loop where its plan has one, the general loop for the rest.
#include <algorithm>
#include <cstring>

#include "loops.hpp"

#ifdef PFNC_X86_VECTORS
#include "x86.hpp"
#endif

namespace pfnc::pixels {

namespace {

template <typename T>
void decode_containers(const uint8_t* in, uint8_t* out, int64_t count, int64_t shift, uint64_t keep) noexcept {
  for (int64_t i = 0; i < count; ++i) {
    T v;
    std::memcpy(&v, in + i * sizeof(T), sizeof(T));
    v = static_cast<T>((v >> shift) & keep);
    std::memcpy(out + i * sizeof(T), &v, sizeof(T));
  }
}

// Groups done by the plane's own loop, from the first.
int64_t decode_fast(const Plan& plan, const Plane& p, int64_t groups, const uint8_t* in, uint8_t* out) noexcept {
  int64_t count = groups * static_cast<int64_t>(p.samples);
  switch (p.fast) {
    case Fast::copy:
      std::memcpy(out, in, groups * p.group_bytes);
      return groups;
    case Fast::containers:
      switch (plan.targets[p.target].itemsize) {
        case 1: decode_containers<uint8_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 2: decode_containers<uint16_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 4: decode_containers<uint32_t>(in, out, count, p.container_shift, p.container_mask); break;
        default: decode_containers<uint64_t>(in, out, count, p.container_shift, p.container_mask); break;
      }
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

// Unsigned values of `width` bits packed end to end, `samples` to a group of
// `group_bytes`: the 10p and 12p streams. False, with nothing written, when a
// value does not fit. Groups are stored 8 bytes at a time while the `room`
// bytes hold them; the zeros above each group are written over by the next.
template <int64_t samples, int64_t width, int64_t group_bytes>
bool encode_packed(const uint8_t* in, uint8_t* out, int64_t groups, int64_t room) noexcept {
  unsigned excess = 0;
  for (int64_t i = 0; i < groups * samples; ++i) {
    uint16_t v;
    std::memcpy(&v, in + 2 * i, 2);
    excess |= v >> width;
  }
  if (excess != 0) return false;
  for (int64_t g = 0; g < groups; ++g) {
    uint64_t word = 0;
    for (int64_t k = 0; k < samples; ++k) {
      uint16_t v;
      std::memcpy(&v, in + 2 * (g * samples + k), 2);
      word |= uint64_t{v} << (k * width);
    }
    std::memcpy(out + g * group_bytes, &word, g * group_bytes + 8 <= room ? 8 : group_bytes);
  }
  return true;
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

Overflow encode(const Plan& plan, const Geometry& geo, uint8_t* packed, const Span* images) noexcept {
  run_sets<false>(plan, geo, packed, images);
  for (std::size_t n = 0; n < plan.planes.size(); ++n) {
    const Plane& p = plan.planes[n];
    const PlaneGeometry& g = geo.planes[n];
    for (int64_t segment = 0; segment < g.segments; ++segment) {
      uint8_t* out = packed + g.offset + segment * g.stride;
      Bases b = bases_of(plan, geo, images, segment);
      int64_t done = 0, room = g.groups * p.group_bytes + g.partial_bytes;
      bool fit = true;
      if (p.shuffled) {
        done = g.groups / 16 * 16;
      } else if (p.fast == Fast::copy) {
        std::memcpy(out, b.at[p.target], g.groups * p.group_bytes);
        done = g.groups;
      } else if (p.packed_width != 0) {
        fit = p.packed_width == 10 ? encode_packed<4, 10, 5>(b.at[p.target], out, g.groups, room)
                                   : encode_packed<2, 12, 3>(b.at[p.target], out, g.groups, room);
        done = fit ? g.groups : 0;
      }
      if (fit && !plan.general_only && done < g.groups) {
        // Only the segment's own bytes: the 8-byte writes must not reach another's.
        int64_t wide = std::min(wide_groups(p, room), g.groups), failed;
        fit = wide <= done || encode_runs(plan, p, out, b, done, wide, failed);
        done = fit ? std::max(done, wide) : 0;
      }
      // A faster loop that met a value out of range leaves finding it to the general one.
      Overflow found = encode_groups(plan, p, out, b, done, g.groups, INT64_MAX);
      if (found.target < 0 && g.partial_pixels > 0) {
        found = encode_groups(plan, p, out, b, g.groups, g.groups + 1, g.partial_pixels);
      }
      if (found.target >= 0) return found;
    }
  }
  return {};
}

}  // namespace pfnc::pixels
