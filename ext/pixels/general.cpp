// The general loop: it interprets any plan, one field at a time. Portable, and
// the reference every faster loop is tested against.
#include <bit>
#include <cstring>
#include <type_traits>

#include "loops.hpp"

namespace pfnc::pixels {

static_assert(std::endian::native == std::endian::little, "samples are stored in the host's order");

namespace {

// A field of a group, reading only its own bytes.
uint64_t extract(const uint8_t* group, const Field& f) noexcept {
  const uint8_t* b = group + f.bit / 8;
  int64_t low = f.bit % 8;
  int64_t bytes = (low + f.bits + 7) / 8;
  uint64_t word = 0;
  for (int64_t i = 0; i < bytes && i < 8; ++i) word |= static_cast<uint64_t>(b[i]) << (8 * i);
  uint64_t value = word >> low;
  if (bytes > 8) value |= static_cast<uint64_t>(b[8]) << (64 - low);
  return value & mask(f.bits);
}

// The same with one 8-byte load, where the caller knows 8 bytes are there.
uint64_t extract_wide(const uint8_t* group, const Field& f) noexcept {
  uint64_t word;
  std::memcpy(&word, group + f.bit / 8, 8);
  return (word >> (f.bit % 8)) & mask(f.bits);
}

void deposit(uint8_t* group, const Field& f, uint64_t part) noexcept {
  uint8_t* b = group + f.bit / 8;
  int64_t low = f.bit % 8;
  int64_t bytes = (low + f.bits + 7) / 8;
  for (int64_t i = 0; i < bytes; ++i) {
    int64_t at = 8 * i - low;
    b[i] |= static_cast<uint8_t>(at >= 0 ? part >> at : part << -at);
  }
}

template <bool wide>
uint64_t gather(const Plan& plan, const Sample& s, const uint8_t* group) noexcept {
  uint64_t value = 0;
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = plan.fields[i];
    value |= (wide && f.bit % 8 + f.bits <= 64 ? extract_wide(group, f) : extract(group, f)) << f.shift;
  }
  if (s.kind == ValueKind::signed_ && s.width < 64) {
    uint64_t sign = uint64_t{1} << (s.width - 1);
    value = (value ^ sign) - sign;
  }
  return value;
}

uint64_t load(const uint8_t* p, int64_t itemsize, bool is_signed) noexcept {
  switch (itemsize) {
    case 1: { uint8_t v; std::memcpy(&v, p, 1); return is_signed ? uint64_t(int64_t(int8_t(v))) : v; }
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return is_signed ? uint64_t(int64_t(int16_t(v))) : v; }
    case 4: { uint32_t v; std::memcpy(&v, p, 4); return is_signed ? uint64_t(int64_t(int32_t(v))) : v; }
    default: { uint64_t v; std::memcpy(&v, p, 8); return v; }
  }
}

void store(uint8_t* p, uint64_t value, int64_t itemsize) noexcept {
  switch (itemsize) {
    case 1: { auto v = static_cast<uint8_t>(value); std::memcpy(p, &v, 1); break; }
    case 2: { auto v = static_cast<uint16_t>(value); std::memcpy(p, &v, 2); break; }
    case 4: { auto v = static_cast<uint32_t>(value); std::memcpy(p, &v, 4); break; }
    default: std::memcpy(p, &value, 8); break;
  }
}

// Whether a value read from its element fits the sample's width and kind.
bool fits(const Sample& s, uint64_t value) noexcept {
  if (s.width == 64 || s.kind == ValueKind::float_) return true;
  if (s.kind == ValueKind::unsigned_) return (value >> s.width) == 0;
  int64_t v = static_cast<int64_t>(value);
  int64_t limit = int64_t{1} << (s.width - 1);
  return v >= -limit && v < limit;
}

uint8_t* element_at(const Plan& plan, const Bases& b, const Sample& s, int64_t group) noexcept {
  return b.at[s.target] + (group * s.step + s.element) * plan.targets[s.target].itemsize;
}

// The general loop, one sample at a time over a run of groups: each pass is
// a tight loop of 8-byte loads (or read-modify-writes) at a fixed stride. The
// caller makes sure 8 bytes can be read from each field's first byte.
constexpr int64_t run_groups = 256;

template <typename T>
void decode_sample(const Plan& plan, const Sample& s, const uint8_t* in, int64_t group_bytes, uint8_t* base,
                   int64_t from, int64_t to) noexcept {
  uint8_t* out = base + s.element * int64_t{sizeof(T)};
  int64_t step = s.step * int64_t{sizeof(T)};
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = plan.fields[i];
    const uint8_t* at = in + f.bit / 8;
    int64_t low = f.bit % 8, shift = f.shift;
    uint64_t keep = mask(f.bits);
    bool first = i == s.first_field;
    for (int64_t g = from; g < to; ++g) {
      uint64_t word;
      std::memcpy(&word, at + g * group_bytes, 8);
      T value = static_cast<T>(((word >> low) & keep) << shift);
      if (!first) {
        T before;
        std::memcpy(&before, out + g * step, sizeof(T));
        value = static_cast<T>(value | before);
      }
      std::memcpy(out + g * step, &value, sizeof(T));
    }
  }
  if (s.kind == ValueKind::signed_ && s.width < int64_t{8 * sizeof(T)}) {
    int64_t up = 64 - s.width;
    for (int64_t g = from; g < to; ++g) {
      T value;
      std::memcpy(&value, out + g * step, sizeof(T));
      value = static_cast<T>(static_cast<int64_t>(static_cast<uint64_t>(value) << up) >> up);
      std::memcpy(out + g * step, &value, sizeof(T));
    }
  }
}

// Returns bits set where a value does not fit its sample, found as the first
// field is written. With `words`, the fields go into one word per group
// (groups of up to 8 bytes, whose 8-byte windows overlap: writing them back in
// place would stall every load on the store before it); otherwise straight
// into the buffer, which the caller has zeroed.
template <typename T>
uint64_t encode_sample(const Plan& plan, const Sample& s, uint8_t* out, int64_t group_bytes, const uint8_t* base,
                       int64_t from, int64_t to, uint64_t* words) noexcept {
  const uint8_t* in = base + s.element * int64_t{sizeof(T)};
  int64_t step = s.step * int64_t{sizeof(T)};
  bool is_signed = s.kind == ValueKind::signed_;
  bool checked = s.kind != ValueKind::float_ && s.width < int64_t{8 * sizeof(T)};
  // Signed values are moved up by half their range: in range means no bit above the width.
  uint64_t offset = is_signed && checked ? uint64_t{1} << (s.width - 1) : 0;
  auto excess_of = [&](T value) noexcept {
    uint64_t wide = is_signed ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<std::make_signed_t<T>>(value)))
                              : static_cast<uint64_t>(value);
    return (wide + offset) >> s.width;
  };
  uint64_t excess = 0;
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = plan.fields[i];
    int64_t shift = f.shift;
    uint64_t keep = mask(f.bits);
    bool check = checked && i == s.first_field;
    if (words != nullptr) {
      for (int64_t g = from; g < to; ++g) {
        T value;
        std::memcpy(&value, in + g * step, sizeof(T));
        if (check) excess |= excess_of(value);
        words[g - from] |= ((static_cast<uint64_t>(value) >> shift) & keep) << f.bit;
      }
      continue;
    }
    uint8_t* at = out + f.bit / 8;
    int64_t low = f.bit % 8;
    for (int64_t g = from; g < to; ++g) {
      T value;
      std::memcpy(&value, in + g * step, sizeof(T));
      if (check) excess |= excess_of(value);
      uint64_t word;
      std::memcpy(&word, at + g * group_bytes, 8);
      word |= ((static_cast<uint64_t>(value) >> shift) & keep) << low;
      std::memcpy(at + g * group_bytes, &word, 8);
    }
  }
  return excess;
}

}  // namespace

Bases bases_of(const Plan& plan, const Geometry& geo, const Span* spans, int64_t segment) noexcept {
  Bases b{};
  for (std::size_t t = 0; t < plan.targets.size(); ++t) {
    b.at[t] = spans[t].data + segment * geo.row_bytes[t];
    b.first[t] = segment * geo.row_bytes[t] / plan.targets[t].itemsize;
  }
  return b;
}

// Groups [from, to) sample by sample, in runs that stay in the first-level cache.
void decode_runs(const Plan& plan, const Plane& p, const uint8_t* in, const Bases& b, int64_t from, int64_t to) noexcept {
  for (int64_t start = from; start < to; start += run_groups) {
    int64_t end = to - start < run_groups ? to : start + run_groups;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = plan.samples[i];
      uint8_t* base = b.at[s.target];
      switch (plan.targets[s.target].itemsize) {
        case 1: decode_sample<uint8_t>(plan, s, in, p.group_bytes, base, start, end); break;
        case 2: decode_sample<uint16_t>(plan, s, in, p.group_bytes, base, start, end); break;
        case 4: decode_sample<uint32_t>(plan, s, in, p.group_bytes, base, start, end); break;
        default: decode_sample<uint64_t>(plan, s, in, p.group_bytes, base, start, end); break;
      }
    }
  }
}

// The buffer must hold 8 bytes from the start of every group of the run.
bool encode_runs(const Plan& plan, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to) noexcept {
  uint64_t words[run_groups];
  uint64_t* into = p.group_bytes <= 8 ? words : nullptr;
  for (int64_t start = from; start < to; start += run_groups) {
    int64_t end = to - start < run_groups ? to : start + run_groups;
    if (into != nullptr) {
      std::memset(words, 0, sizeof words);
    } else {
      std::memset(out + start * p.group_bytes, 0, (end - start) * p.group_bytes);
    }
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = plan.samples[i];
      const uint8_t* base = b.at[s.target];
      uint64_t excess;
      switch (plan.targets[s.target].itemsize) {
        case 1: excess = encode_sample<uint8_t>(plan, s, out, p.group_bytes, base, start, end, into); break;
        case 2: excess = encode_sample<uint16_t>(plan, s, out, p.group_bytes, base, start, end, into); break;
        case 4: excess = encode_sample<uint32_t>(plan, s, out, p.group_bytes, base, start, end, into); break;
        default: excess = encode_sample<uint64_t>(plan, s, out, p.group_bytes, base, start, end, into); break;
      }
      if (excess != 0) return false;
    }
    // In order: each word's spare high bytes are written over by the next group.
    for (int64_t g = start; into != nullptr && g < end; ++g) std::memcpy(out + g * p.group_bytes, &words[g - start], 8);
  }
  return true;
}

// Groups from the first whose every field can be read or written 8 bytes at a
// time within the `room` bytes from the segment's start.
int64_t wide_groups(const Plane& p, int64_t room) noexcept {
  int64_t fit = room - p.wide_bytes;
  return p.wide_bytes == 0 || fit < 0 ? 0 : fit / p.group_bytes + 1;
}

// Groups [from, to) of a segment starting at `in`, of which the buffer holds
// `room` bytes; only the samples of the first `pixels` pixels.
void decode_groups(const Plan& plan, const Plane& p, const uint8_t* in, int64_t room, const Bases& b, int64_t from,
                   int64_t to, int64_t pixels) noexcept {
  int64_t wide_to = (room - 8) / p.group_bytes;  // groups with 8 readable bytes after their last
  for (int64_t g = from; g < to; ++g) {
    const uint8_t* group = in + g * p.group_bytes;
    bool wide = g < wide_to;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = plan.samples[i];
      if (s.pixel >= pixels) continue;
      uint64_t value = wide ? gather<true>(plan, s, group) : gather<false>(plan, s, group);
      store(element_at(plan, b, s, g), value, plan.targets[s.target].itemsize);
    }
  }
}

Overflow encode_groups(const Plan& plan, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to,
                       int64_t pixels) noexcept {
  int64_t bytes = pixels < p.group_pixels ? p.partial_bytes[pixels - 1] : p.group_bytes;
  for (int64_t g = from; g < to; ++g) {
    uint8_t* group = out + g * p.group_bytes;
    std::memset(group, 0, bytes);
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = plan.samples[i];
      if (s.pixel >= pixels) continue;
      uint64_t value = load(element_at(plan, b, s, g), plan.targets[s.target].itemsize, s.kind == ValueKind::signed_);
      if (!fits(s, value)) return {s.target, b.first[s.target] + g * s.step + s.element};
      for (std::size_t f = s.first_field; f < s.first_field + s.fields; ++f) {
        const Field& field = plan.fields[f];
        deposit(group, field, (value >> field.shift) & mask(field.bits));
      }
    }
  }
  return {};
}

}  // namespace pfnc::pixels
