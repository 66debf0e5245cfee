// Pixel conversion loops: a general interpreter of the layout, and faster loops for common shapes.
#include "kernels.hpp"

#include <bit>
#include <cstring>
#include <algorithm>
#include <numeric>
#include <type_traits>

#include <immintrin.h>

namespace pfnc::pixels {

static_assert(std::endian::native == std::endian::little, "samples are stored in the host's order");

namespace {

constexpr int64_t max_group_bytes = 1 << 16;
constexpr std::size_t max_fields = 16;

bool add(int64_t a, int64_t b, int64_t& r) noexcept { return !__builtin_add_overflow(a, b, &r); }
bool mul(int64_t a, int64_t b, int64_t& r) noexcept { return !__builtin_mul_overflow(a, b, &r); }

// base + (count - 1) * step + tail, or false on overflow; count >= 1.
bool last_end(int64_t base, int64_t count, int64_t step, int64_t tail, int64_t& r) noexcept {
  int64_t span;
  return mul(count - 1, step, span) && add(base, span, r) && add(r, tail, r);
}

uint64_t mask(int64_t bits) noexcept { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

const char* check_sample(const Job& job, const Plane& p, const Sample& s) noexcept {
  if (s.target < 0 || static_cast<std::size_t>(s.target) >= job.targets.size()) return "a sample names no output";
  if (s.element < 0 || s.step < 0 || s.pixel < 0) return "a sample has a negative place";
  int64_t item_bits = job.targets[s.target].itemsize * 8;
  if (s.width < 1 || s.width > item_bits) return "a sample is wider than its output's elements";
  if (s.kind == ValueKind::float_ && s.width != item_bits) return "a floating-point sample does not fill its element";
  if (s.fields < 1 || s.fields > max_fields) return "a sample has no fields or too many";
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = job.fields[i];
    if (f.bits < 1 || f.bits > 64 || f.shift < 0 || f.shift + f.bits > s.width) return "a field does not fit its sample";
    if (f.bit < 0 || f.bit > p.group_bytes * 8 - f.bits) return "a field lies outside its group";
    if (s.pixel < p.partial_pixels && f.bit + f.bits > p.partial_bytes * 8) {
      return "a field lies outside the last group";
    }
  }
  return nullptr;
}

// The end of the last element a sample writes, or false on overflow.
bool output_end(const Job& job, const Plane& p, const Sample& s, int64_t& end) noexcept {
  const Target& t = job.targets[s.target];
  end = 0;
  int64_t groups = p.groups + (s.pixel < p.partial_pixels ? 1 : 0);
  if (p.segments == 0 || groups == 0) return true;
  int64_t element, row_start;
  return mul(groups - 1, s.step, element) && add(element, s.element + 1, element) && mul(element, t.itemsize, element) &&
         last_end(0, p.segments, t.row_bytes, element, row_start) && (end = row_start, true);
}

}  // namespace

const char* check(Job& job, int64_t packed, const std::vector<int64_t>& outputs) noexcept {
  for (const Target& t : job.targets) {
    if (t.itemsize != 1 && t.itemsize != 2 && t.itemsize != 4 && t.itemsize != 8) return "an element size is not 1, 2, 4 or 8";
    if (t.row_bytes < 0) return "a row size is negative";
  }
  job.read_end = 0;
  for (const Plane& p : job.planes) {
    if (p.offset < 0 || p.stride < 0 || p.segments < 0 || p.groups < 0 || p.partial_pixels < 0) {
      return "a plane has a negative size";
    }
    if (p.group_bytes < 1 || p.group_bytes > max_group_bytes) return "a group size is out of range";
    if (p.partial_bytes < 0 || p.partial_bytes > p.group_bytes) return "the last group is larger than a group";
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      if (const char* wrong = check_sample(job, p, job.samples[i])) return wrong;
      int64_t end;
      if (!output_end(job, p, job.samples[i], end)) return "an output size overflows";
      if (end > outputs[job.samples[i].target]) return "an output is too small";
    }
    if (p.segments == 0) continue;
    int64_t run, end;
    if (!mul(p.groups, p.group_bytes, run) || !add(run, p.partial_bytes, run) ||
        !last_end(p.offset, p.segments, p.stride, run, end)) {
      return "the buffer size overflows";
    }
    if (end > job.read_end) job.read_end = end;
  }
  return job.read_end > packed ? "" : nullptr;
}

// ---------------------------------------------------------------- general loops

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
uint64_t gather(const Job& job, const Sample& s, const uint8_t* group) noexcept {
  uint64_t value = 0;
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = job.fields[i];
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

// Where each output's elements of one segment start.
struct Bases {
  uint8_t* at[8];
};

Bases bases_of(const Job& job, const std::vector<Span>& spans, int64_t segment) noexcept {
  Bases b{};
  for (std::size_t t = 0; t < job.targets.size(); ++t) b.at[t] = spans[t].data + segment * job.targets[t].row_bytes;
  return b;
}

uint8_t* element_at(const Job& job, const Bases& b, const Sample& s, int64_t group) noexcept {
  return b.at[s.target] + (group * s.step + s.element) * job.targets[s.target].itemsize;
}

// The general loop, one sample at a time over a run of groups: each pass is
// a tight loop of 8-byte loads (or read-modify-writes) at a fixed stride. The
// caller makes sure 8 bytes can be read from each field's first byte.
constexpr int64_t run_groups = 256;

template <typename T>
void decode_sample(const Job& job, const Sample& s, const uint8_t* in, int64_t group_bytes, uint8_t* base,
                   int64_t from, int64_t to) noexcept {
  uint8_t* out = base + s.element * int64_t{sizeof(T)};
  int64_t step = s.step * int64_t{sizeof(T)};
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = job.fields[i];
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

// Returns bits set where a value does not fit its sample. With `words`, the
// fields go into one word per group (groups of up to 8 bytes, whose 8-byte
// windows overlap: writing them back in place would stall every load on the
// store before it); otherwise straight into the buffer.
template <typename T>
uint64_t encode_sample(const Job& job, const Sample& s, uint8_t* out, int64_t group_bytes, const uint8_t* base,
                       int64_t from, int64_t to, uint64_t* words) noexcept {
  const uint8_t* in = base + s.element * int64_t{sizeof(T)};
  int64_t step = s.step * int64_t{sizeof(T)};
  uint64_t excess = 0;
  if (s.kind != ValueKind::float_ && s.width < 64) {
    // Signed values are moved up by half their range: in range means no bit above the width.
    uint64_t offset = s.kind == ValueKind::signed_ ? uint64_t{1} << (s.width - 1) : 0;
    bool is_signed = s.kind == ValueKind::signed_;
    for (int64_t g = from; g < to; ++g) {
      T value;
      std::memcpy(&value, in + g * step, sizeof(T));
      uint64_t wide = is_signed ? static_cast<uint64_t>(static_cast<int64_t>(static_cast<std::make_signed_t<T>>(value)))
                                : static_cast<uint64_t>(value);
      excess |= (wide + offset) >> s.width;
    }
    if (excess != 0) return excess;
  }
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = job.fields[i];
    int64_t shift = f.shift;
    uint64_t keep = mask(f.bits);
    if (words != nullptr) {
      for (int64_t g = from; g < to; ++g) {
        T value;
        std::memcpy(&value, in + g * step, sizeof(T));
        words[g - from] |= ((static_cast<uint64_t>(value) >> shift) & keep) << f.bit;
      }
      continue;
    }
    uint8_t* at = out + f.bit / 8;
    int64_t low = f.bit % 8;
    for (int64_t g = from; g < to; ++g) {
      T value;
      std::memcpy(&value, in + g * step, sizeof(T));
      uint64_t word;
      std::memcpy(&word, at + g * group_bytes, 8);
      word |= ((static_cast<uint64_t>(value) >> shift) & keep) << low;
      std::memcpy(at + g * group_bytes, &word, 8);
    }
  }
  return 0;
}

// Groups [from, to) sample by sample, in runs that stay in the first-level cache.
void decode_runs(const Job& job, const Plane& p, const uint8_t* in, const Bases& b, int64_t from, int64_t to) noexcept {
  for (int64_t start = from; start < to; start += run_groups) {
    int64_t end = to - start < run_groups ? to : start + run_groups;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = job.samples[i];
      uint8_t* base = b.at[s.target];
      switch (job.targets[s.target].itemsize) {
        case 1: decode_sample<uint8_t>(job, s, in, p.group_bytes, base, start, end); break;
        case 2: decode_sample<uint16_t>(job, s, in, p.group_bytes, base, start, end); break;
        case 4: decode_sample<uint32_t>(job, s, in, p.group_bytes, base, start, end); break;
        default: decode_sample<uint64_t>(job, s, in, p.group_bytes, base, start, end); break;
      }
    }
  }
}

// The buffer must hold 8 bytes from the start of every group of the run.
bool encode_runs(const Job& job, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to,
                 int64_t& failed) noexcept {
  uint64_t words[run_groups];
  uint64_t* into = p.group_bytes <= 8 ? words : nullptr;
  for (int64_t start = from; start < to; start += run_groups) {
    int64_t end = to - start < run_groups ? to : start + run_groups;
    if (into != nullptr) std::memset(words, 0, sizeof words);
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = job.samples[i];
      const uint8_t* base = b.at[s.target];
      uint64_t excess;
      switch (job.targets[s.target].itemsize) {
        case 1: excess = encode_sample<uint8_t>(job, s, out, p.group_bytes, base, start, end, into); break;
        case 2: excess = encode_sample<uint16_t>(job, s, out, p.group_bytes, base, start, end, into); break;
        case 4: excess = encode_sample<uint32_t>(job, s, out, p.group_bytes, base, start, end, into); break;
        default: excess = encode_sample<uint64_t>(job, s, out, p.group_bytes, base, start, end, into); break;
      }
      if (excess != 0) {
        failed = s.target;
        return false;
      }
    }
    // In order: each word's spare high bytes are written over by the next group.
    for (int64_t g = start; into != nullptr && g < end; ++g) std::memcpy(out + g * p.group_bytes, &words[g - start], 8);
  }
  return true;
}

// Groups from the first whose every field can be read or written 8 bytes at a
// time within the `room` bytes from the segment's start.
int64_t wide_groups(const Job& job, const Plane& p, int64_t room) noexcept {
  int64_t last_byte = 0;
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    const Sample& s = job.samples[i];
    for (std::size_t k = s.first_field; k < s.first_field + s.fields; ++k) {
      const Field& f = job.fields[k];
      if (f.bit % 8 + f.bits > 64) return 0;
      if (f.bit / 8 > last_byte) last_byte = f.bit / 8;
    }
  }
  int64_t fit = room - last_byte - 8;
  return fit < 0 ? 0 : fit / p.group_bytes + 1;
}

// Groups [from, to) of a segment starting at `in`, of which the buffer holds
// `room` bytes; only the samples of the first `pixels` pixels.
void decode_groups(const Job& job, const Plane& p, const uint8_t* in, int64_t room, const Bases& b, int64_t from,
                   int64_t to, int64_t pixels) noexcept {
  int64_t wide_to = (room - 8) / p.group_bytes;  // groups with 8 readable bytes after their last
  for (int64_t g = from; g < to; ++g) {
    const uint8_t* group = in + g * p.group_bytes;
    bool wide = g < wide_to;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = job.samples[i];
      if (s.pixel >= pixels) continue;
      uint64_t value = wide ? gather<true>(job, s, group) : gather<false>(job, s, group);
      store(element_at(job, b, s, g), value, job.targets[s.target].itemsize);
    }
  }
}

bool encode_groups(const Job& job, const Plane& p, uint8_t* out, const Bases& b, int64_t from, int64_t to,
                   int64_t pixels, int64_t& failed) noexcept {
  for (int64_t g = from; g < to; ++g) {
    uint8_t* group = out + g * p.group_bytes;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = job.samples[i];
      if (s.pixel >= pixels) continue;
      uint64_t value = load(element_at(job, b, s, g), job.targets[s.target].itemsize, s.kind == ValueKind::signed_);
      if (!fits(s, value)) {
        failed = s.target;
        return false;
      }
      for (std::size_t f = s.first_field; f < s.first_field + s.fields; ++f) {
        const Field& field = job.fields[f];
        deposit(group, field, (value >> field.shift) & mask(field.bits));
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------- fast loops

// All samples of the plane go to one output: its index, or -1.
int64_t only_target(const Job& job, const Plane& p) noexcept {
  int64_t t = job.samples[p.first_sample].target;
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    if (job.samples[i].target != t) return -1;
  }
  return t;
}

// One output whose elements come in the group's sample order, each sample one
// field of the whole value: the shape of every unpacked and packed stream.
bool is_stream(const Job& job, const Plane& p, bool any_fields) noexcept {
  if (p.target < 0) return false;
  int64_t item_bits = job.targets[p.target].itemsize * 8;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Sample& s = job.samples[p.first_sample + k];
    if (s.element != static_cast<int64_t>(k) || s.step != static_cast<int64_t>(p.samples)) return false;
    if (s.kind == ValueKind::signed_ && s.width != item_bits) return false;
    if (any_fields) continue;
    const Field& f = job.fields[s.first_field];
    if (s.fields != 1 || f.shift != 0 || f.bits != s.width) return false;
  }
  return true;
}

// Every sample in a container of the element's size, at the same place in it.
bool is_containers(const Job& job, const Plane& p, int64_t& shift) noexcept {
  int64_t item = job.targets[p.target].itemsize;
  if (p.group_bytes != static_cast<int64_t>(p.samples) * item) return false;
  const Field& first = job.fields[job.samples[p.first_sample].first_field];
  shift = first.bit;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Field& f = job.fields[job.samples[p.first_sample + k].first_field];
    if (f.bit != static_cast<int64_t>(k) * item * 8 + shift || f.bits != first.bits) return false;
  }
  return true;
}

// 16-bit values of at most two fields that each sit in two neighbouring bytes.
bool plan_windows(const Job& job, const Plane& p, Windows& w) noexcept {
  if (job.targets[p.target].itemsize != 2) return false;
  int64_t samples = static_cast<int64_t>(p.samples);
  int64_t round = std::lcm(samples, int64_t{8});
  if (round > 32) return false;
  w = Windows{};
  w.chunks = static_cast<int>(round / 8);
  w.groups = static_cast<int>(round / samples);
  for (int c = 0; c < w.chunks; ++c) {
    int64_t first = INT64_MAX;
    for (int pass = 0; pass < 2; ++pass) {
      for (int e = 0; e < 8; ++e) {
        int64_t n = c * 8 + e;
        const Sample& s = job.samples[p.first_sample + n % samples];
        if (s.fields > 2 || s.width > 16) return false;
        for (std::size_t k = 0; k < s.fields; ++k) {
          const Field& f = job.fields[s.first_field + k];
          int64_t byte = (n / samples) * p.group_bytes + f.bit / 8, low = f.bit % 8;
          if (pass == 0) {
            first = byte < first ? byte : first;
            continue;
          }
          int64_t at = byte - first;
          if (at > 14 || low + f.bits > 16 || f.bits >= 16 || first > 255) return false;
          w.pick[c][k][2 * e] = static_cast<uint8_t>(at);
          w.pick[c][k][2 * e + 1] = static_cast<uint8_t>(at + 1);
          w.up[c][k][e] = static_cast<uint16_t>(1u << (16 - low - f.bits));
          w.down[c][k][e] = static_cast<uint16_t>(1u << f.bits);
          w.place[c][k][e] = static_cast<uint16_t>(1u << f.shift);
        }
        if (pass == 1) {
          for (std::size_t k = s.fields; k < 2; ++k) w.pick[c][k][2 * e] = w.pick[c][k][2 * e + 1] = 0x80;
        }
      }
    }
    w.base[c] = static_cast<uint8_t>(first);
    if (first + 16 > w.reach) w.reach = first + 16;
  }
  return true;
}

__attribute__((target("ssse3"))) int64_t decode_windows(const Windows& w, const uint8_t* in, uint8_t* out,
                                                        int64_t groups, int64_t group_bytes) noexcept {
  int64_t round_bytes = w.groups * group_bytes;
  int64_t available = groups * group_bytes;
  bool two = false;  // a second field, or a first one not at the bottom of its value
  for (int c = 0; c < w.chunks; ++c) {
    for (int e = 0; e < 16; ++e) two = two || w.pick[c][1][e] != 0x80 || w.place[c][0][e / 2] != 1;
  }
  auto vector = [](const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); };
  int64_t done = 0;
  for (int64_t at = 0; at + w.reach <= available; at += round_bytes, done += w.groups) {
    for (int c = 0; c < w.chunks; ++c) {
      __m128i bytes = vector(in + at + w.base[c]);
      __m128i value = _mm_mulhi_epu16(_mm_mullo_epi16(_mm_shuffle_epi8(bytes, vector(w.pick[c][0])), vector(w.up[c][0])),
                                      vector(w.down[c][0]));
      if (two) {
        value = _mm_mullo_epi16(value, vector(w.place[c][0]));
        __m128i high = _mm_mulhi_epu16(
            _mm_mullo_epi16(_mm_shuffle_epi8(bytes, vector(w.pick[c][1])), vector(w.up[c][1])), vector(w.down[c][1]));
        value = _mm_or_si128(value, _mm_mullo_epi16(high, vector(w.place[c][1])));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), value);
      out += 16;
    }
  }
  return done;
}

__attribute__((target("avx2"))) inline __m256i both(const void* p) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(p)));
}

// The same two rounds at a time, one in each 128-bit lane.
__attribute__((target("avx2"))) int64_t decode_windows_avx2(const Windows& w, const uint8_t* in, uint8_t* out,
                                                            int64_t groups, int64_t group_bytes) noexcept {
  int64_t round_bytes = w.groups * group_bytes;
  int64_t available = groups * group_bytes;
  bool two = false;
  for (int c = 0; c < w.chunks; ++c) {
    for (int e = 0; e < 16; ++e) two = two || w.pick[c][1][e] != 0x80 || w.place[c][0][e / 2] != 1;
  }
  __m256i pick[4][2], up[4][2], down[4][2], place[4][2];
  for (int c = 0; c < w.chunks; ++c) {
    for (int k = 0; k < 2; ++k) {
      pick[c][k] = both(w.pick[c][k]);
      up[c][k] = both(w.up[c][k]);
      down[c][k] = both(w.down[c][k]);
      place[c][k] = both(w.place[c][k]);
    }
  }
  int64_t done = 0;
  for (int64_t at = 0; at + round_bytes + w.reach <= available; at += 2 * round_bytes, done += 2 * w.groups) {
    for (int c = 0; c < w.chunks; ++c) {
      __m256i bytes = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at + w.base[c]))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at + round_bytes + w.base[c])), 1);
      __m256i value = _mm256_mulhi_epu16(_mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, pick[c][0]), up[c][0]), down[c][0]);
      if (two) {
        value = _mm256_mullo_epi16(value, place[c][0]);
        __m256i high = _mm256_mulhi_epu16(_mm256_mullo_epi16(_mm256_shuffle_epi8(bytes, pick[c][1]), up[c][1]), down[c][1]);
        value = _mm256_or_si256(value, _mm256_mullo_epi16(high, place[c][1]));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * c), _mm256_castsi256_si128(value));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (w.chunks + c)), _mm256_extracti128_si256(value, 1));
    }
    out += 32 * w.chunks;
  }
  return done;
}

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
int64_t decode_fast(const Job& job, const Plane& p, const uint8_t* in, uint8_t* out) noexcept {
  int64_t count = p.groups * static_cast<int64_t>(p.samples);
  switch (p.fast) {
    case Fast::copy:
      std::memcpy(out, in, p.groups * p.group_bytes);
      return p.groups;
    case Fast::containers:
      switch (job.targets[p.target].itemsize) {
        case 1: decode_containers<uint8_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 2: decode_containers<uint16_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 4: decode_containers<uint32_t>(in, out, count, p.container_shift, p.container_mask); break;
        default: decode_containers<uint64_t>(in, out, count, p.container_shift, p.container_mask); break;
      }
      return p.groups;
    case Fast::windows: {
      int64_t done = 0;
      if (__builtin_cpu_supports("avx2")) done = decode_windows_avx2(p.windows, in, out, p.groups, p.group_bytes);
      // The rounds left over, from where the wide loop stopped.
      int64_t item = job.targets[p.target].itemsize * static_cast<int64_t>(p.samples);
      return done + decode_windows(p.windows, in + done * p.group_bytes, out + done * item, p.groups - done,
                                   p.group_bytes);
    }
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

bool plan_packed(const Job& job, const Plane& p) noexcept {
  if (!is_stream(job, p, false) || job.targets[p.target].itemsize != 2) return false;
  int64_t width = job.samples[p.first_sample].width;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Sample& s = job.samples[p.first_sample + k];
    if (s.kind != ValueKind::unsigned_ || s.width != width || job.fields[s.first_field].bit != static_cast<int64_t>(k) * width) {
      return false;
    }
  }
  return (width == 10 && p.samples == 4 && p.group_bytes == 5) || (width == 12 && p.samples == 2 && p.group_bytes == 3);
}

// ---------------------------------------------------------------- shuffles

bool is_moved_byte(const Job& job, const Sample& s) noexcept {
  const Field& f = job.fields[s.first_field];
  return s.fields == 1 && s.width == 8 && f.bits == 8 && f.bit % 8 == 0 && f.shift == 0 &&
         job.targets[s.target].itemsize == 1;
}

// Adds byte `at` of output vector `to`, taken from byte `byte` of input vector `from`.
bool add_part(Shuffle& sh, int64_t to, int64_t from, int64_t at, int64_t byte) noexcept {
  for (int i = 0; i < sh.parts; ++i) {
    if (sh.part[i].to == to && sh.part[i].from == from) {
      sh.part[i].pick[at] = static_cast<uint8_t>(byte);
      return true;
    }
  }
  if (sh.parts == 64) return false;
  Shuffle::Part& part = sh.part[sh.parts++];
  part.to = static_cast<uint8_t>(to);
  part.from = static_cast<uint8_t>(from);
  std::memset(part.pick, 0x80, 16);
  part.pick[at] = static_cast<uint8_t>(byte);
  return true;
}

int streams(Shuffle::Stream* streams, int& count, int64_t bytes) noexcept {
  int first = count == 0 ? 0 : streams[count - 1].first + static_cast<int>(streams[count - 1].bytes);
  streams[count++] = {bytes, first};
  return first + static_cast<int>(bytes);
}

// The two shuffles of a set of planes, or false when they cannot be built.
bool plan_shuffles(const Job& job, ShuffleSet& set) noexcept {
  Shuffle& un = set.unpack;
  Shuffle& pk = set.pack;
  int vectors = 0, elements = 0;
  for (std::size_t n : set.planes) {
    vectors = streams(un.in, un.inputs, job.planes[n].group_bytes);
    streams(pk.out, pk.outputs, job.planes[n].group_bytes);
  }
  int64_t steps[8] = {};
  for (std::size_t n : set.planes) {
    const Plane& p = job.planes[n];
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) steps[job.samples[i].target] = job.samples[i].step;
  }
  for (int64_t t : set.targets) {
    if (steps[t] < 1) return false;
    elements = streams(un.out, un.outputs, steps[t]);
    streams(pk.in, pk.inputs, steps[t]);
  }
  if (vectors > 16 || elements > 16) return false;
  // Each element of a round of the outputs, and where it comes from.
  for (std::size_t k = 0; k < set.targets.size(); ++k) {
    int64_t t = set.targets[k], step = steps[t];
    for (int64_t e = 0; e < 16 * step; ++e) {
      bool found = false;
      for (std::size_t j = 0; j < set.planes.size() && !found; ++j) {
        const Plane& p = job.planes[set.planes[j]];
        for (std::size_t i = p.first_sample; i < p.first_sample + p.samples && !found; ++i) {
          const Sample& s = job.samples[i];
          if (s.target != t || s.step != step || s.element != e % step) continue;
          int64_t byte = (e / step) * p.group_bytes + job.fields[s.first_field].bit / 8;
          int64_t packed = un.in[j].first * 16 + byte, unpacked = un.out[k].first * 16 + e;
          found = add_part(un, unpacked / 16, packed / 16, unpacked % 16, packed % 16) &&
                  add_part(pk, packed / 16, unpacked / 16, packed % 16, unpacked % 16);
          if (!found) return false;
        }
      }
      if (!found) return false;  // an element no plane of the set writes
    }
  }
  auto by_vector = [](const Shuffle::Part& a, const Shuffle::Part& b) { return a.to < b.to; };
  std::sort(un.part, un.part + un.parts, by_vector);
  std::sort(pk.part, pk.part + pk.parts, by_vector);
  return un.parts > 0 && pk.parts > 0;
}

// Rounds of 16 groups: `in` and `out` point at each stream's first byte.
__attribute__((target("ssse3"))) void run_shuffle(const Shuffle& sh, const uint8_t* const* in, uint8_t* const* out,
                                                  int64_t rounds) noexcept {
  const uint8_t* from[16];
  uint8_t* to[16];
  int64_t from_step[16], to_step[16];
  for (int i = 0; i < sh.inputs; ++i) {
    for (int64_t v = 0; v < sh.in[i].bytes; ++v) {
      from[sh.in[i].first + v] = in[i] + 16 * v;
      from_step[sh.in[i].first + v] = 16 * sh.in[i].bytes;
    }
  }
  for (int o = 0; o < sh.outputs; ++o) {
    for (int64_t v = 0; v < sh.out[o].bytes; ++v) {
      to[sh.out[o].first + v] = out[o] + 16 * v;
      to_step[sh.out[o].first + v] = 16 * sh.out[o].bytes;
    }
  }
  int inputs = sh.in[sh.inputs - 1].first + static_cast<int>(sh.in[sh.inputs - 1].bytes);
  int outputs = sh.out[sh.outputs - 1].first + static_cast<int>(sh.out[sh.outputs - 1].bytes);
  for (int64_t r = 0; r < rounds; ++r) {
    // The parts come sorted by the vector they make.
    int current = sh.part[0].to;
    __m128i made = _mm_setzero_si128();
    for (int i = 0; i < sh.parts; ++i) {
      const Shuffle::Part& part = sh.part[i];
      if (part.to != current) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to[current]), made);
        made = _mm_setzero_si128();
        current = part.to;
      }
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from[part.from]));
      made = _mm_or_si128(made, _mm_shuffle_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(part.pick))));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to[current]), made);
    if (r + 1 == rounds) break;  // no pointer past the buffers
    for (int v = 0; v < inputs; ++v) from[v] += from_step[v];
    for (int v = 0; v < outputs; ++v) to[v] += to_step[v];
  }
}

// Sets whose shape has a loop of its own: one-byte planes interleaved into
// one output (3 or 4 of them), or one plane of 2- or 4-byte groups split into
// its outputs (a chroma pair; a 4:2:2 sequence into luma and two chroma).
void plan_moves(const Job& job, ShuffleSet& set) noexcept {
  set.moves = Moves::general;
  std::size_t k = set.planes.size();
  if (set.targets.size() == 1 && (k == 3 || k == 4)) {
    bool seen[4] = {};
    for (std::size_t j = 0; j < k; ++j) {
      const Plane& p = job.planes[set.planes[j]];
      const Sample& s = job.samples[p.first_sample];
      if (p.group_bytes != 1 || p.samples != 1 || s.step != static_cast<int64_t>(k) || s.element >= s.step ||
          seen[s.element]) {
        return;
      }
      seen[s.element] = true;
      set.lanes[s.element] = static_cast<int>(j);
    }
    set.moves = Moves::interleave;
    return;
  }
  if (k != 1) return;
  const Plane& p = job.planes[set.planes[0]];
  int64_t g = p.group_bytes;
  std::size_t parts = g == 2 ? 2 : 3;
  if ((g != 2 && g != 4) || static_cast<int64_t>(p.samples) != g || set.targets.size() != parts) return;
  int64_t step[3] = {}, count[3] = {}, byte[3][2] = {}, seen[3] = {};
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    const Sample& s = job.samples[i];
    std::size_t t = std::find(set.targets.begin(), set.targets.end(), s.target) - set.targets.begin();
    if (s.element >= s.step || s.element > 1 || (seen[t] >> s.element & 1) != 0 || (count[t] > 0 && step[t] != s.step)) {
      return;
    }
    seen[t] |= int64_t{1} << s.element;
    step[t] = s.step;
    byte[t][s.element] = job.fields[s.first_field].bit / 8;
    ++count[t];
  }
  // Split4: the output of two samples a group (elements 0 and 1) fills the first half of `sort`.
  int n = 0;
  for (std::size_t t = 0; t < parts; ++t) {
    if (g == 4 && step[t] == 2 && count[t] == 2) set.lanes[n++] = static_cast<int>(t);
  }
  for (std::size_t t = 0; t < parts; ++t) {
    if (step[t] == 1 && count[t] == 1) set.lanes[n++] = static_cast<int>(t);
  }
  if (n != static_cast<int>(parts) || (g == 4 && step[set.lanes[0]] != 2)) return;
  int at = 0;
  for (int part = 0; part < n; ++part) {
    int t = set.lanes[part];
    for (int64_t group = 0; group < 16 / g; ++group) {
      for (int64_t e = 0; e < step[t]; ++e) set.sort[at++] = static_cast<uint8_t>(group * g + byte[t][e]);
    }
  }
  set.moves = g == 2 ? Moves::split2 : Moves::split4;
}

// Rounds of 16 groups of a set that plan_moves() gave a shape.
__attribute__((target("ssse3"))) void run_moves(const ShuffleSet& set, const uint8_t* const* in, uint8_t* const* out,
                                                int64_t rounds) noexcept {
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto put = [](uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  if (set.moves == Moves::interleave && set.planes.size() == 3) {
    // Output byte n of a round is element n % 3 of pixel n / 3.
    uint8_t picks[3][3][16];
    for (int n = 0; n < 48; ++n) {
      for (int c = 0; c < 3; ++c) picks[n / 16][c][n % 16] = n % 3 == c ? static_cast<uint8_t>(n / 3) : 0x80;
    }
    __m128i m[3][3];
    for (int o = 0; o < 3; ++o) {
      for (int c = 0; c < 3; ++c) m[o][c] = load(picks[o][c]);
    }
    const uint8_t *a = in[set.lanes[0]], *b = in[set.lanes[1]], *c = in[set.lanes[2]];
    uint8_t* to = out[0];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i x = load(a + 16 * r), y = load(b + 16 * r), z = load(c + 16 * r);
      for (int o = 0; o < 3; ++o) {
        __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, m[o][0]), _mm_shuffle_epi8(y, m[o][1])),
                                 _mm_shuffle_epi8(z, m[o][2]));
        put(to + 48 * r + 16 * o, v);
      }
    }
  } else if (set.moves == Moves::interleave) {
    const uint8_t *a = in[set.lanes[0]], *b = in[set.lanes[1]], *c = in[set.lanes[2]], *d = in[set.lanes[3]];
    uint8_t* to = out[0];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i w = load(a + 16 * r), x = load(b + 16 * r), y = load(c + 16 * r), z = load(d + 16 * r);
      __m128i low = _mm_unpacklo_epi8(w, x), high = _mm_unpackhi_epi8(w, x);
      __m128i low2 = _mm_unpacklo_epi8(y, z), high2 = _mm_unpackhi_epi8(y, z);
      put(to + 64 * r, _mm_unpacklo_epi16(low, low2));
      put(to + 64 * r + 16, _mm_unpackhi_epi16(low, low2));
      put(to + 64 * r + 32, _mm_unpacklo_epi16(high, high2));
      put(to + 64 * r + 48, _mm_unpackhi_epi16(high, high2));
    }
  } else if (set.moves == Moves::split2) {
    __m128i sort = load(set.sort);
    const uint8_t* from = in[0];
    uint8_t *u = out[set.lanes[0]], *v = out[set.lanes[1]];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i x = _mm_shuffle_epi8(load(from + 32 * r), sort), y = _mm_shuffle_epi8(load(from + 32 * r + 16), sort);
      put(u + 16 * r, _mm_unpacklo_epi64(x, y));
      put(v + 16 * r, _mm_unpackhi_epi64(x, y));
    }
  } else {
    __m128i sort = load(set.sort);
    const uint8_t* from = in[0];
    uint8_t *y = out[set.lanes[0]], *u = out[set.lanes[1]], *v = out[set.lanes[2]];
    for (int64_t r = 0; r < rounds; ++r) {
      // Each vector: 8 bytes of the pair's output, then 4 of each other.
      __m128i a = _mm_shuffle_epi8(load(from + 64 * r), sort), b = _mm_shuffle_epi8(load(from + 64 * r + 16), sort);
      __m128i c = _mm_shuffle_epi8(load(from + 64 * r + 32), sort), d = _mm_shuffle_epi8(load(from + 64 * r + 48), sort);
      put(y + 32 * r, _mm_unpacklo_epi64(a, b));
      put(y + 32 * r + 16, _mm_unpacklo_epi64(c, d));
      __m128i ab = _mm_shuffle_epi32(_mm_unpackhi_epi64(a, b), 0xd8), cd = _mm_shuffle_epi32(_mm_unpackhi_epi64(c, d), 0xd8);
      put(u + 16 * r, _mm_unpacklo_epi64(ab, cd));
      put(v + 16 * r, _mm_unpackhi_epi64(ab, cd));
    }
  }
}

void plan_shuffle_sets(Job& job) noexcept {
  std::vector<bool> taken(job.planes.size());
  for (std::size_t a = 0; a < job.planes.size(); ++a) {
    if (taken[a]) continue;
    ShuffleSet set;
    const Plane& first = job.planes[a];
    for (std::size_t n = a; n < job.planes.size(); ++n) {
      const Plane& p = job.planes[n];
      // A plain copy is faster than any shuffle.
      if (taken[n] || p.fast == Fast::copy || p.segments != first.segments || p.groups != first.groups) continue;
      bool moved = true;
      for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) moved = moved && is_moved_byte(job, job.samples[i]);
      if (!moved) continue;
      set.planes.push_back(n);
      for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
        int64_t t = job.samples[i].target;
        bool known = false;
        for (int64_t u : set.targets) known = known || u == t;
        if (!known) set.targets.push_back(t);
      }
    }
    if (set.planes.empty() || set.planes.size() > 8 || set.targets.size() > 8 || !plan_shuffles(job, set)) continue;
    for (std::size_t n : set.planes) taken[n] = job.planes[n].shuffled = true;
    plan_moves(job, set);
    job.shuffles.push_back(set);
  }
}

}  // namespace

void choose_loops(Job& job) noexcept {
  bool ssse3 = __builtin_cpu_supports("ssse3");
  job.shuffles.clear();
  for (Plane& p : job.planes) {
    p.fast = Fast::none;
    p.shuffled = false;
    p.target = only_target(job, p);
    int64_t shift;
    if (is_stream(job, p, false) && is_containers(job, p, shift)) {
      const Sample& first = job.samples[p.first_sample];
      p.container_shift = shift;
      p.container_mask = mask(first.width);
      p.fast = (shift == 0 && first.width == job.targets[p.target].itemsize * 8) ? Fast::copy : Fast::containers;
    } else if (ssse3 && is_stream(job, p, true) && plan_windows(job, p, p.windows)) {
      p.fast = Fast::windows;
    }
    p.packed_width = p.target >= 0 && plan_packed(job, p) ? job.samples[p.first_sample].width : 0;
  }
  if (ssse3) plan_shuffle_sets(job);
}

void decode(const Job& job, const uint8_t* packed, int64_t size, const std::vector<Span>& outputs) noexcept {
  for (const ShuffleSet& set : job.shuffles) {
    const Plane& first = job.planes[set.planes[0]];
    for (int64_t segment = 0; segment < first.segments; ++segment) {
      const uint8_t* in[8];
      uint8_t* out[8];
      for (std::size_t j = 0; j < set.planes.size(); ++j) {
        const Plane& p = job.planes[set.planes[j]];
        in[j] = packed + p.offset + segment * p.stride;
      }
      Bases b = bases_of(job, outputs, segment);
      for (std::size_t k = 0; k < set.targets.size(); ++k) out[k] = b.at[set.targets[k]];
      if (set.moves == Moves::general) {
        run_shuffle(set.unpack, in, out, first.groups / 16);
      } else {
        run_moves(set, in, out, first.groups / 16);
      }
    }
  }
  for (const Plane& p : job.planes) {
    for (int64_t segment = 0; segment < p.segments; ++segment) {
      const uint8_t* in = packed + p.offset + segment * p.stride;
      Bases b = bases_of(job, outputs, segment);
      int64_t done = p.shuffled ? p.groups / 16 * 16 : p.fast == Fast::none ? 0 : decode_fast(job, p, in, b.at[p.target]);
      int64_t room = size - (p.offset + segment * p.stride);
      if (!job.general_only) {
        int64_t wide = std::min(wide_groups(job, p, room), p.groups);
        if (wide > done) decode_runs(job, p, in, b, done, wide);
        done = std::max(done, wide);
      }
      decode_groups(job, p, in, room, b, done, p.groups, INT64_MAX);
      if (p.partial_pixels > 0) decode_groups(job, p, in, room, b, p.groups, p.groups + 1, p.partial_pixels);
    }
  }
}

int64_t encode(const Job& job, uint8_t* packed, const std::vector<Span>& images) noexcept {
  int64_t failed = -1;
  for (const ShuffleSet& set : job.shuffles) {
    const Plane& first = job.planes[set.planes[0]];
    for (int64_t segment = 0; segment < first.segments; ++segment) {
      const uint8_t* in[8];
      uint8_t* out[8];
      Bases b = bases_of(job, images, segment);
      for (std::size_t k = 0; k < set.targets.size(); ++k) in[k] = b.at[set.targets[k]];
      for (std::size_t j = 0; j < set.planes.size(); ++j) {
        const Plane& p = job.planes[set.planes[j]];
        out[j] = packed + p.offset + segment * p.stride;
      }
      run_shuffle(set.pack, in, out, first.groups / 16);
    }
  }
  for (const Plane& p : job.planes) {
    for (int64_t segment = 0; segment < p.segments; ++segment) {
      uint8_t* out = packed + p.offset + segment * p.stride;
      Bases b = bases_of(job, images, segment);
      int64_t done = 0;
      if (p.shuffled) {
        done = p.groups / 16 * 16;
      } else if (p.fast == Fast::copy) {
        std::memcpy(out, b.at[p.target], p.groups * p.group_bytes);
        done = p.groups;
      } else if (p.packed_width != 0) {
        int64_t room = p.groups * p.group_bytes + p.partial_bytes;
        bool fit = p.packed_width == 10 ? encode_packed<4, 10, 5>(b.at[p.target], out, p.groups, room)
                                        : encode_packed<2, 12, 3>(b.at[p.target], out, p.groups, room);
        if (!fit) return p.target;
        done = p.groups;
      }
      if (!job.general_only && done < p.groups) {
        // Only the segment's own bytes: the 8-byte writes must not reach another's.
        int64_t wide = std::min(wide_groups(job, p, p.groups * p.group_bytes + p.partial_bytes), p.groups);
        if (wide > done && !encode_runs(job, p, out, b, done, wide, failed)) return failed;
        done = std::max(done, wide);
      }
      if (!encode_groups(job, p, out, b, done, p.groups, INT64_MAX, failed) ||
          (p.partial_pixels > 0 && !encode_groups(job, p, out, b, p.groups, p.groups + 1, p.partial_pixels, failed))) {
        return failed;
      }
    }
  }
  return failed;
}

}  // namespace pfnc::pixels
