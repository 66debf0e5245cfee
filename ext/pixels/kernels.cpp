// Pixel conversion loops: a general interpreter of the layout, and faster loops for common shapes.
#include "kernels.hpp"

#include <bit>
#include <cstring>
#include <numeric>

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

uint64_t extract(const uint8_t* group, const Field& f) noexcept {
  const uint8_t* b = group + f.bit / 8;
  int64_t low = f.bit % 8;
  int64_t bytes = (low + f.bits + 7) / 8;
  uint64_t word = 0;
  std::memcpy(&word, b, bytes < 8 ? bytes : 8);
  uint64_t value = word >> low;
  if (bytes > 8) value |= static_cast<uint64_t>(b[8]) << (64 - low);
  return value & mask(f.bits);
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

uint64_t gather(const Job& job, const Sample& s, const uint8_t* group) noexcept {
  uint64_t value = 0;
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    value |= extract(group, job.fields[i]) << job.fields[i].shift;
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

// Whether a value read from its element fits the sample's width and kind.
bool fits(const Sample& s, uint64_t value) noexcept {
  if (s.width == 64 || s.kind == ValueKind::float_) return true;
  if (s.kind == ValueKind::unsigned_) return (value >> s.width) == 0;
  int64_t v = static_cast<int64_t>(value);
  int64_t limit = int64_t{1} << (s.width - 1);
  return v >= -limit && v < limit;
}

// Elements of output t for segment `segment`.
struct Bases {
  uint8_t* at[8];
};

Bases bases_of(const Job& job, const std::vector<Span>& spans, int64_t segment) noexcept {
  Bases b{};
  for (std::size_t t = 0; t < job.targets.size(); ++t) b.at[t] = spans[t].data + segment * job.targets[t].row_bytes;
  return b;
}

uint8_t* element_at(const Job& job, const Bases& b, const Sample& s, int64_t group) noexcept {
  const Target& t = job.targets[s.target];
  return b.at[s.target] + (group * s.step + s.element) * t.itemsize;
}

void decode_groups(const Job& job, const Plane& p, const uint8_t* in, const Bases& b, int64_t from, int64_t to,
                   int64_t pixels) noexcept {
  for (int64_t g = from; g < to; ++g) {
    const uint8_t* group = in + g * p.group_bytes;
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
      const Sample& s = job.samples[i];
      if (s.pixel >= pixels) continue;
      uint64_t value = gather(job, s, group);
      std::memcpy(element_at(job, b, s, g), &value, job.targets[s.target].itemsize);
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

// One output whose elements come in the group's sample order, each sample one
// field of the whole value: the shape of every unpacked and packed stream.
bool is_stream(const Job& job, const Plane& p) noexcept {
  if (job.targets.size() != 1 || p.samples == 0) return false;
  int64_t item_bits = job.targets[0].itemsize * 8;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Sample& s = job.samples[p.first_sample + k];
    if (s.element != static_cast<int64_t>(k) || s.step != static_cast<int64_t>(p.samples) || s.fields != 1) return false;
    if (s.kind == ValueKind::signed_ && s.width != item_bits) return false;
    const Field& f = job.fields[s.first_field];
    if (f.shift != 0 || f.bits != s.width) return false;
  }
  return true;
}

// Every sample in a container of the element's size, at the same place in it.
bool is_containers(const Job& job, const Plane& p, int64_t& shift) noexcept {
  int64_t item = job.targets[0].itemsize;
  if (p.group_bytes != static_cast<int64_t>(p.samples) * item) return false;
  const Field& first = job.fields[job.samples[p.first_sample].first_field];
  shift = first.bit;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Field& f = job.fields[job.samples[p.first_sample + k].first_field];
    if (f.bit != static_cast<int64_t>(k) * item * 8 + shift || f.bits != first.bits) return false;
  }
  return true;
}

// 16-bit samples that each sit in two neighbouring bytes: rounds of at most
// four 16-byte loads that give eight samples each.
bool plan_windows(const Job& job, const Plane& p, Windows& w) noexcept {
  if (job.targets[0].itemsize != 2) return false;
  int64_t samples = static_cast<int64_t>(p.samples);
  int64_t round = std::lcm(samples, int64_t{8});
  if (round > 32) return false;
  w.chunks = static_cast<int>(round / 8);
  w.groups = static_cast<int>(round / samples);
  w.reach = 0;
  for (int c = 0; c < w.chunks; ++c) {
    int64_t first = 0;
    for (int e = 0; e < 8; ++e) {
      int64_t n = c * 8 + e;
      const Field& f = job.fields[job.samples[p.first_sample + n % samples].first_field];
      int64_t byte = (n / samples) * p.group_bytes + f.bit / 8;
      if (e == 0) first = byte;
      int64_t at = byte - first, low = f.bit % 8;
      if (at < 0 || at > 14 || low + f.bits > 16 || f.bits >= 16 || first > 255) return false;
      w.base[c] = static_cast<uint8_t>(first);
      w.pick[c][2 * e] = static_cast<uint8_t>(at);
      w.pick[c][2 * e + 1] = static_cast<uint8_t>(at + 1);
      w.up[c][e] = static_cast<uint16_t>(1u << (16 - low - f.bits));
      w.down[c][e] = static_cast<uint16_t>(1u << f.bits);
    }
    if (first + 16 > w.reach) w.reach = first + 16;
  }
  return true;
}

__attribute__((target("ssse3"))) int64_t decode_windows(const Windows& w, const uint8_t* in, uint16_t* out,
                                                        int64_t groups, int64_t group_bytes) noexcept {
  int64_t round_bytes = w.groups * group_bytes;
  int64_t available = groups * group_bytes;
  __m128i pick[4], up[4], down[4];
  for (int c = 0; c < w.chunks; ++c) {
    pick[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w.pick[c]));
    up[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w.up[c]));
    down[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w.down[c]));
  }
  int64_t done = 0;
  for (int64_t at = 0; at + w.reach <= available; at += round_bytes, done += w.groups) {
    for (int c = 0; c < w.chunks; ++c) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + at + w.base[c]));
      __m128i words = _mm_shuffle_epi8(bytes, pick[c]);
      words = _mm_mulhi_epu16(_mm_mullo_epi16(words, up[c]), down[c]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), words);
      out += 8;
    }
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
      switch (job.targets[0].itemsize) {
        case 1: decode_containers<uint8_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 2: decode_containers<uint16_t>(in, out, count, p.container_shift, p.container_mask); break;
        case 4: decode_containers<uint32_t>(in, out, count, p.container_shift, p.container_mask); break;
        default: decode_containers<uint64_t>(in, out, count, p.container_shift, p.container_mask); break;
      }
      return p.groups;
    case Fast::windows:
      return decode_windows(p.windows, in, reinterpret_cast<uint16_t*>(out), p.groups, p.group_bytes);
    case Fast::none:
      break;
  }
  return 0;
}

}  // namespace

void choose_loops(Job& job) noexcept {
  bool ssse3 = __builtin_cpu_supports("ssse3");
  for (Plane& p : job.planes) {
    p.fast = Fast::none;
    if (!is_stream(job, p)) continue;
    int64_t shift;
    const Sample& first = job.samples[p.first_sample];
    if (is_containers(job, p, shift)) {
      p.container_shift = shift;
      p.container_mask = mask(first.width);
      p.fast = (shift == 0 && first.width == job.targets[0].itemsize * 8) ? Fast::copy : Fast::containers;
    } else if (ssse3 && plan_windows(job, p, p.windows)) {
      p.fast = Fast::windows;
    }
  }
}

void decode(const Job& job, const uint8_t* packed, const std::vector<Span>& outputs) noexcept {
  for (const Plane& p : job.planes) {
    for (int64_t segment = 0; segment < p.segments; ++segment) {
      const uint8_t* in = packed + p.offset + segment * p.stride;
      Bases b = bases_of(job, outputs, segment);
      int64_t done = p.fast == Fast::none ? 0 : decode_fast(job, p, in, b.at[0]);
      decode_groups(job, p, in, b, done, p.groups, INT64_MAX);
      if (p.partial_pixels > 0) decode_groups(job, p, in, b, p.groups, p.groups + 1, p.partial_pixels);
    }
  }
}

int64_t encode(const Job& job, uint8_t* packed, const std::vector<Span>& images) noexcept {
  int64_t failed = -1;
  for (const Plane& p : job.planes) {
    for (int64_t segment = 0; segment < p.segments; ++segment) {
      uint8_t* out = packed + p.offset + segment * p.stride;
      Bases b = bases_of(job, images, segment);
      if (p.fast == Fast::copy) {
        std::memcpy(out, b.at[0], p.groups * p.group_bytes);
      } else if (!encode_groups(job, p, out, b, 0, p.groups, INT64_MAX, failed)) {
        return failed;
      }
      if (p.partial_pixels > 0 && !encode_groups(job, p, out, b, p.groups, p.groups + 1, p.partial_pixels, failed)) {
        return failed;
      }
    }
  }
  return failed;
}

}  // namespace pfnc::pixels
