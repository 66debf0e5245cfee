// The x86 vector loops (SSSE3, AVX2) and their plans; built for x86 only, run where the CPU has them.
#include "x86.hpp"

#include "cpu.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include <immintrin.h>

namespace pfnc::pixels::x86 {

namespace {

bool has_avx2() noexcept { return cpu::level() >= cpu::avx2; }

__attribute__((target("ssse3"))) int64_t decode_windows_ssse3(const Windows& w, const uint8_t* in, uint8_t* out,
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

bool is_moved_byte(const Plan& plan, const Sample& s) noexcept {
  const Field& f = plan.fields[s.first_field];
  return s.fields == 1 && s.width == 8 && f.bits == 8 && f.bit % 8 == 0 && f.shift == 0 &&
         plan.targets[s.target].itemsize == 1;
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
bool plan_shuffles(const Plan& plan, ShuffleSet& set) noexcept {
  Shuffle& un = set.unpack;
  Shuffle& pk = set.pack;
  int vectors = 0, elements = 0;
  for (std::size_t n : set.planes) {
    vectors = streams(un.in, un.inputs, plan.planes[n].group_bytes);
    streams(pk.out, pk.outputs, plan.planes[n].group_bytes);
  }
  int64_t steps[8] = {};
  for (std::size_t n : set.planes) {
    const Plane& p = plan.planes[n];
    for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) steps[plan.samples[i].target] = plan.samples[i].step;
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
        const Plane& p = plan.planes[set.planes[j]];
        for (std::size_t i = p.first_sample; i < p.first_sample + p.samples && !found; ++i) {
          const Sample& s = plan.samples[i];
          if (s.target != t || s.step != step || s.element != e % step) continue;
          int64_t byte = (e / step) * p.group_bytes + plan.fields[s.first_field].bit / 8;
          int64_t packed = un.in[j].first * 16 + byte, unpacked = un.out[k].first * 16 + e;
          found = add_part(un, unpacked / 16, packed / 16, unpacked % 16, packed % 16) &&
                  add_part(pk, packed / 16, unpacked / 16, packed % 16, unpacked % 16);
          if (!found) return false;
        }
      }
      if (!found) return false;  // an element no plane of the set writes
    }
  }
  // A packed vector no element reaches (padding only) is still written, as zeros.
  int packed_vectors = pk.out[pk.outputs - 1].first + static_cast<int>(pk.out[pk.outputs - 1].bytes);
  for (int v = 0; v < packed_vectors; ++v) {
    bool reached = std::any_of(pk.part, pk.part + pk.parts, [v](const Shuffle::Part& part) { return part.to == v; });
    if (!reached && !add_part(pk, v, 0, 0, 0x80)) return false;
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
void plan_moves(const Plan& plan, ShuffleSet& set) noexcept {
  set.moves = Moves::general;
  std::size_t k = set.planes.size();
  if (set.targets.size() == 1 && (k == 3 || k == 4)) {
    bool seen[4] = {};
    for (std::size_t j = 0; j < k; ++j) {
      const Plane& p = plan.planes[set.planes[j]];
      const Sample& s = plan.samples[p.first_sample];
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
  const Plane& p = plan.planes[set.planes[0]];
  int64_t g = p.group_bytes;
  std::size_t parts = g == 2 ? 2 : 3;
  if ((g != 2 && g != 4) || static_cast<int64_t>(p.samples) != g || set.targets.size() != parts) return;
  int64_t step[3] = {}, count[3] = {}, byte[3][2] = {}, seen[3] = {};
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    const Sample& s = plan.samples[i];
    std::size_t t = std::find(set.targets.begin(), set.targets.end(), s.target) - set.targets.begin();
    if (s.element >= s.step || s.element > 1 || (seen[t] >> s.element & 1) != 0 || (count[t] > 0 && step[t] != s.step)) {
      return;
    }
    seen[t] |= int64_t{1} << s.element;
    step[t] = s.step;
    byte[t][s.element] = plan.fields[s.first_field].bit / 8;
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

// Three planes from one output: byte i of plane c's vector is byte 3i + c of
// the round, picked from its input vector k by picks[c][k].
void split3_picks(uint8_t (&picks)[3][3][16]) noexcept {
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (int i = 0; i < 16; ++i) {
        int at = 3 * i + c - 16 * k;
        picks[c][k][i] = at >= 0 && at < 16 ? static_cast<uint8_t>(at) : 0x80;
      }
    }
  }
}

__attribute__((target("avx2"))) inline __m256i lanes(const uint8_t* low, const uint8_t* high) noexcept {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// The three-plane split two rounds at a time, one in each 128-bit lane, whose
// results lie side by side in each plane; returns the rounds done.
__attribute__((target("avx2"))) int64_t split3_avx2(const ShuffleSet& set, const uint8_t* from, uint8_t* const* out,
                                                    int64_t rounds) noexcept {
  uint8_t picks[3][3][16];
  split3_picks(picks);
  __m256i m[3][3];
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 3; ++k) m[c][k] = both(picks[c][k]);
  }
  uint8_t* to[3] = {out[set.lanes[0]], out[set.lanes[1]], out[set.lanes[2]]};
  int64_t r = 0;
  for (; r + 2 <= rounds; r += 2) {
    const uint8_t* at = from + 48 * r;
    __m256i x = lanes(at, at + 48), y = lanes(at + 16, at + 64), z = lanes(at + 32, at + 80);
    for (int p = 0; p < 3; ++p) {
      __m256i v = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(x, m[p][0]), _mm256_shuffle_epi8(y, m[p][1])),
                                  _mm256_shuffle_epi8(z, m[p][2]));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to[p] + 16 * r), v);
    }
  }
  return r;
}

// The reverse of run_moves(): the outputs of rounds of 16 groups put back into their planes.
__attribute__((target("ssse3"))) void run_pack_moves(const ShuffleSet& set, const uint8_t* const* in,
                                                     uint8_t* const* out, int64_t rounds) noexcept {
  auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto put = [](uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  uint8_t back[16];  // split: the inverse of `sort`
  for (int i = 0; i < 16; ++i) back[set.sort[i]] = static_cast<uint8_t>(i);
  if (set.moves == Moves::interleave && set.planes.size() == 3) {
    uint8_t picks[3][3][16];
    split3_picks(picks);
    __m128i m[3][3];
    for (int c = 0; c < 3; ++c) {
      for (int k = 0; k < 3; ++k) m[c][k] = load(picks[c][k]);
    }
    const uint8_t* from = in[0];
    uint8_t *a = out[set.lanes[0]], *b = out[set.lanes[1]], *c = out[set.lanes[2]];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i x = load(from + 48 * r), y = load(from + 48 * r + 16), z = load(from + 48 * r + 32);
      uint8_t* to[3] = {a + 16 * r, b + 16 * r, c + 16 * r};
      for (int p = 0; p < 3; ++p) {
        put(to[p], _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, m[p][0]), _mm_shuffle_epi8(y, m[p][1])),
                                _mm_shuffle_epi8(z, m[p][2])));
      }
    }
  } else if (set.moves == Moves::interleave) {
    // Each vector's bytes by element, then the 4 x 4 words transposed.
    __m128i by_element = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const uint8_t* from = in[0];
    uint8_t *a = out[set.lanes[0]], *b = out[set.lanes[1]], *c = out[set.lanes[2]], *d = out[set.lanes[3]];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i w = _mm_shuffle_epi8(load(from + 64 * r), by_element), x = _mm_shuffle_epi8(load(from + 64 * r + 16), by_element);
      __m128i y = _mm_shuffle_epi8(load(from + 64 * r + 32), by_element), z = _mm_shuffle_epi8(load(from + 64 * r + 48), by_element);
      __m128i wx_low = _mm_unpacklo_epi32(w, x), yz_low = _mm_unpacklo_epi32(y, z);
      __m128i wx_high = _mm_unpackhi_epi32(w, x), yz_high = _mm_unpackhi_epi32(y, z);
      put(a + 16 * r, _mm_unpacklo_epi64(wx_low, yz_low));
      put(b + 16 * r, _mm_unpackhi_epi64(wx_low, yz_low));
      put(c + 16 * r, _mm_unpacklo_epi64(wx_high, yz_high));
      put(d + 16 * r, _mm_unpackhi_epi64(wx_high, yz_high));
    }
  } else if (set.moves == Moves::split2) {
    __m128i order = load(back);
    const uint8_t *u = in[set.lanes[0]], *v = in[set.lanes[1]];
    uint8_t* to = out[0];
    for (int64_t r = 0; r < rounds; ++r) {
      __m128i x = load(u + 16 * r), y = load(v + 16 * r);
      put(to + 32 * r, _mm_shuffle_epi8(_mm_unpacklo_epi64(x, y), order));
      put(to + 32 * r + 16, _mm_shuffle_epi8(_mm_unpackhi_epi64(x, y), order));
    }
  } else {
    __m128i order = load(back);
    const uint8_t *y = in[set.lanes[0]], *u = in[set.lanes[1]], *v = in[set.lanes[2]];
    uint8_t* to = out[0];
    for (int64_t r = 0; r < rounds; ++r) {
      // Each vector: 8 bytes of the pair's output, then 4 of each other.
      __m128i first = load(y + 32 * r), second = load(y + 32 * r + 16), us = load(u + 16 * r), vs = load(v + 16 * r);
      __m128i low = _mm_unpacklo_epi32(us, vs), high = _mm_unpackhi_epi32(us, vs);
      put(to + 64 * r, _mm_shuffle_epi8(_mm_unpacklo_epi64(first, low), order));
      put(to + 64 * r + 16, _mm_shuffle_epi8(_mm_unpackhi_epi64(first, low), order));
      put(to + 64 * r + 32, _mm_shuffle_epi8(_mm_unpacklo_epi64(second, high), order));
      put(to + 64 * r + 48, _mm_shuffle_epi8(_mm_unpackhi_epi64(second, high), order));
    }
  }
}

// Whether no 16-bit value of `seen` has a bit at or above `width`.
__attribute__((target("ssse3"))) bool below(__m128i seen, int64_t width) noexcept {
  __m128i high = _mm_srl_epi16(seen, _mm_cvtsi64_si128(width));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(high, _mm_setzero_si128())) == 0xFFFF;
}

__attribute__((target("avx2"))) __m128i folded(__m256i v) noexcept {
  return _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// The bytes of two 64-bit words of four `width`-bit values (10 or 12), end to end.
void stream_order(int64_t width, uint8_t* pick) noexcept {
  int bytes = width == 10 ? 5 : 6;
  std::memset(pick, 0x80, 16);
  for (int i = 0; i < bytes; ++i) {
    pick[i] = static_cast<uint8_t>(i);
    pick[bytes + i] = static_cast<uint8_t>(8 + i);
  }
}

// Eight values a 128-bit lane: two 64-bit words of four, each four joined by
// multiplying pairs into 32 bits and moving the upper half down, then their
// bytes put end to end.
__attribute__((target("ssse3"))) int64_t encode_stream_ssse3(const uint8_t* in, uint8_t* out, int64_t values,
                                                             int64_t room, int64_t width, __m128i& seen) noexcept {
  __m128i all = _mm_setzero_si128();
  uint8_t pick[16];
  stream_order(width, pick);
  __m128i weights = _mm_set1_epi32(static_cast<int>(1 | (1u << width) << 16));
  __m128i low = _mm_set1_epi64x((int64_t{1} << (2 * width)) - 1);
  __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pick)), count = _mm_cvtsi64_si128(32 - 2 * width);
  int64_t done = 0, at = 0;
  for (; done + 8 <= values && at + 16 <= room; done += 8, at += width) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * done));
    all = _mm_or_si128(all, v);
    __m128i pairs = _mm_madd_epi16(v, weights);
    __m128i joined = _mm_or_si128(_mm_and_si128(pairs, low), _mm_andnot_si128(low, _mm_srl_epi64(pairs, count)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_shuffle_epi8(joined, order));
  }
  seen = _mm_or_si128(seen, all);  // kept in a register meanwhile: a store to `out` may alias it
  return done;
}

__attribute__((target("avx2"))) int64_t encode_stream_avx2(const uint8_t* in, uint8_t* out, int64_t values,
                                                           int64_t room, int64_t width, __m128i& seen) noexcept {
  uint8_t pick[16];
  stream_order(width, pick);
  __m256i weights = _mm256_set1_epi32(static_cast<int>(1 | (1u << width) << 16));
  __m256i low = _mm256_set1_epi64x((int64_t{1} << (2 * width)) - 1), order = both(pick), all = _mm256_setzero_si256();
  __m128i count = _mm_cvtsi64_si128(32 - 2 * width);
  int64_t done = 0, at = 0;
  for (; done + 16 <= values && at + width + 16 <= room; done += 16, at += 2 * width) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * done));
    all = _mm256_or_si256(all, v);
    __m256i pairs = _mm256_madd_epi16(v, weights);
    __m256i joined = _mm256_shuffle_epi8(
        _mm256_or_si256(_mm256_and_si256(pairs, low), _mm256_andnot_si256(low, _mm256_srl_epi64(pairs, count))), order);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm256_castsi256_si128(joined));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at + width), _mm256_extracti128_si256(joined, 1));
  }
  seen = folded(all);
  return done;
}

// Four pairs a 128-bit lane: each high byte in its 16-bit value, the low bits
// moved up into the middle byte by multiplying, the three bytes put together.
__attribute__((target("ssse3"))) int64_t encode_pairs_ssse3(const uint8_t* in, uint8_t* out, int64_t groups,
                                                            int64_t room, int64_t width, __m128i& seen) noexcept {
  __m128i all = _mm_setzero_si128();
  __m128i rest = _mm_cvtsi64_si128(width - 8), keep = _mm_set1_epi16(static_cast<short>((1 << (width - 8)) - 1));
  __m128i weights = _mm_set1_epi32(256 | 4096 << 16);
  __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -128, -128, -128, -128);
  int64_t g = 0;
  for (; g + 4 <= groups && 3 * g + 16 <= room; g += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * g));
    all = _mm_or_si128(all, v);
    __m128i word = _mm_or_si128(_mm_srl_epi16(v, rest), _mm_madd_epi16(_mm_and_si128(v, keep), weights));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g), _mm_shuffle_epi8(word, order));
  }
  seen = _mm_or_si128(seen, all);  // kept in a register meanwhile: a store to `out` may alias it
  return g;
}

// Four pixels a 128-bit lane: the first two values of each paired into 32
// bits by multiplying, the third shifted up above them.
__attribute__((target("ssse3"))) int64_t encode_triplets_ssse3(const uint8_t* in, uint8_t* out, int64_t groups,
                                                               __m128i& seen) noexcept {
  __m128i all = _mm_setzero_si128();
  const __m128i first_two[2] = {_mm_setr_epi8(0, 1, 2, 3, 6, 7, 8, 9, 12, 13, 14, 15, -128, -128, -128, -128),
                                _mm_setr_epi8(-128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                                              2, 3, 4, 5)};
  const __m128i third[2] = {_mm_setr_epi8(4, 5, -128, -128, 10, 11, -128, -128, -128, -128, -128, -128, -128, -128,
                                          -128, -128),
                            _mm_setr_epi8(-128, -128, -128, -128, -128, -128, -128, -128, 0, 1, -128, -128, 6, 7,
                                          -128, -128)};
  __m128i weights = _mm_set1_epi32(1 | 1024 << 16);
  int64_t g = 0;
  for (; g + 4 <= groups; g += 4) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 6 * g));
    __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + 6 * g + 16));
    all = _mm_or_si128(all, _mm_or_si128(a, b));
    __m128i pairs = _mm_or_si128(_mm_shuffle_epi8(a, first_two[0]), _mm_shuffle_epi8(b, first_two[1]));
    __m128i thirds = _mm_or_si128(_mm_shuffle_epi8(a, third[0]), _mm_shuffle_epi8(b, third[1]));
    __m128i word = _mm_or_si128(_mm_madd_epi16(pairs, weights), _mm_slli_epi32(thirds, 20));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * g), word);
  }
  seen = _mm_or_si128(seen, all);  // kept in a register meanwhile: a store to `out` may alias it
  return g;
}

}  // namespace

bool has_vectors() noexcept { return cpu::level() >= cpu::ssse3; }

int64_t decode_windows(const Windows& w, const uint8_t* in, uint8_t* out, int64_t groups, int64_t group_bytes,
                       int64_t itemsize) noexcept {
  int64_t done = has_avx2() ? decode_windows_avx2(w, in, out, groups, group_bytes) : 0;
  // The rounds left over, from where the wide loop stopped.
  return done + decode_windows_ssse3(w, in + done * group_bytes, out + done * itemsize, groups - done, group_bytes);
}

void decode_set(const ShuffleSet& set, const uint8_t* const* in, uint8_t* const* out, int64_t rounds) noexcept {
  if (set.moves == Moves::general) {
    run_shuffle(set.unpack, in, out, rounds);
  } else {
    run_moves(set, in, out, rounds);
  }
}

void encode_set(const ShuffleSet& set, const uint8_t* const* in, uint8_t* const* out, int64_t rounds) noexcept {
  if (set.moves == Moves::general) {
    run_shuffle(set.pack, in, out, rounds);
  } else if (set.moves == Moves::interleave && set.planes.size() == 3 && has_avx2()) {
    int64_t done = split3_avx2(set, in[0], out, rounds);
    const uint8_t* rest[1] = {in[0] + 48 * done};
    uint8_t* planes[3] = {out[0] + 16 * done, out[1] + 16 * done, out[2] + 16 * done};
    run_pack_moves(set, rest, planes, rounds - done);
  } else {
    run_pack_moves(set, in, out, rounds);
  }
}

int64_t encode_stream(const uint8_t* in, uint8_t* out, int64_t values, int64_t room, int64_t width, bool& fit) noexcept {
  __m128i seen = _mm_setzero_si128();
  int64_t done = has_avx2() ? encode_stream_avx2(in, out, values, room, width, seen) : 0;
  int64_t at = done * width / 8;
  done += encode_stream_ssse3(in + 2 * done, out + at, values - done, room - at, width, seen);
  fit = fit && below(seen, width);
  return done;
}

int64_t encode_pairs(const uint8_t* in, uint8_t* out, int64_t groups, int64_t room, int64_t width, bool& fit) noexcept {
  __m128i seen = _mm_setzero_si128();
  int64_t done = encode_pairs_ssse3(in, out, groups, room, width, seen);
  fit = fit && below(seen, width);
  return done;
}

int64_t encode_triplets(const uint8_t* in, uint8_t* out, int64_t groups, bool& fit) noexcept {
  __m128i seen = _mm_setzero_si128();
  int64_t done = encode_triplets_ssse3(in, out, groups, seen);
  fit = fit && below(seen, 10);
  return done;
}

bool plan_windows(const Plan& plan, const Plane& p, Windows& w) noexcept {
  if (plan.targets[p.target].itemsize != 2) return false;
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
        const Sample& s = plan.samples[p.first_sample + n % samples];
        if (s.fields > 2 || s.width > 16) return false;
        for (std::size_t k = 0; k < s.fields; ++k) {
          const Field& f = plan.fields[s.first_field + k];
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

void plan_shuffle_sets(Plan& plan) {
  std::vector<bool> taken(plan.planes.size());
  for (std::size_t a = 0; a < plan.planes.size(); ++a) {
    if (taken[a]) continue;
    ShuffleSet set;
    const Plane& first = plan.planes[a];
    for (std::size_t n = a; n < plan.planes.size(); ++n) {
      const Plane& p = plan.planes[n];
      // A plain copy is faster than any shuffle.
      if (taken[n] || p.fast == Fast::copy || p.group_pixels != first.group_pixels ||
          p.line_divisor != first.line_divisor) {
        continue;
      }
      bool moved = true;
      for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) moved = moved && is_moved_byte(plan, plan.samples[i]);
      if (!moved) continue;
      set.planes.push_back(n);
      for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
        int64_t t = plan.samples[i].target;
        bool known = false;
        for (int64_t u : set.targets) known = known || u == t;
        if (!known) set.targets.push_back(t);
      }
    }
    if (set.planes.empty() || set.planes.size() > 8 || set.targets.size() > 8 || !plan_shuffles(plan, set)) continue;
    for (std::size_t n : set.planes) taken[n] = plan.planes[n].shuffled = true;
    plan_moves(plan, set);
    plan.shuffles.push_back(set);
  }
}

}  // namespace pfnc::pixels::x86
