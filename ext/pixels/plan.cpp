// A plan's checks and its choice of loops, once per format; an image's geometry, once per call.
#include <algorithm>
#include <initializer_list>

#include "loops.hpp"

#ifdef PFNC_X86_VECTORS
#include "x86.hpp"
#endif

namespace pfnc::pixels {

namespace {

bool add(int64_t a, int64_t b, int64_t& r) noexcept { return !__builtin_add_overflow(a, b, &r); }
bool mul(int64_t a, int64_t b, int64_t& r) noexcept { return !__builtin_mul_overflow(a, b, &r); }

// Sizes a description may give, so that no product of two overflows.
constexpr int64_t most_pixels = int64_t{1} << 24;

const char* check_fields(const Plan& plan, const Plane& p, Sample& s) noexcept {
  if (s.fields < 1 || s.fields > max_fields) return "a sample has no fields or too many";
  s.reach = 0;
  for (std::size_t i = s.first_field; i < s.first_field + s.fields; ++i) {
    const Field& f = plan.fields[i];
    if (f.bits < 1 || f.bits > 64 || f.shift < 0 || f.shift > s.width - f.bits) return "a field does not fit its sample";
    if (f.bit < 0 || f.bit > p.group_bytes * 8 - f.bits) return "a field lies outside its group";
    s.reach = std::max(s.reach, (f.bit + f.bits + 7) / 8);
  }
  return nullptr;
}

const char* check_sample(const Plan& plan, const Plane& p, Sample& s) noexcept {
  if (s.target < 0 || static_cast<std::size_t>(s.target) >= plan.targets.size()) return "a sample names no output";
  const Target& t = plan.targets[s.target];
  if (s.element < 0 || s.step < 1 || s.element >= s.step || s.pixel < 0 || s.pixel >= p.group_pixels) {
    return "a sample lies outside its group";
  }
  // What a group fills of each output: whole samples of whole lines.
  if (s.step > most_pixels || s.step * t.across != p.group_pixels * t.components || p.group_pixels % t.across != 0 ||
      p.line_divisor != t.down) {
    return "a sample's step does not match its output";
  }
  // In a group that stops early, a sample's element lies within its pixels.
  if (!p.partial_bytes.empty() && s.element * t.across >= (s.pixel + 1) * t.components) {
    return "a sample lies after its pixel";
  }
  int64_t item_bits = t.itemsize * 8;
  if (s.width < 1 || s.width > item_bits) return "a sample is wider than its output's elements";
  if (s.kind == ValueKind::float_ && s.width != item_bits) return "a floating-point sample does not fill its element";
  return check_fields(plan, p, s);
}

const char* check_plane(Plan& plan, Plane& p) noexcept {
  if (p.group_bytes < 1 || p.group_bytes > max_group_bytes) return "a group size is out of range";
  if (p.group_pixels < 1 || p.group_pixels > most_pixels || p.line_divisor < 1 || p.line_divisor > most_pixels) {
    return "a group's pixels are out of range";
  }
  if (!p.partial_bytes.empty() && static_cast<int64_t>(p.partial_bytes.size()) != p.group_pixels - 1) {
    return "the last group's sizes do not match its pixels";
  }
  // More pixels never take fewer bytes: a sample's first pixel count that holds it holds it after.
  for (std::size_t k = 0; k < p.partial_bytes.size(); ++k) {
    if (p.partial_bytes[k] < (k == 0 ? 0 : p.partial_bytes[k - 1]) || p.partial_bytes[k] > p.group_bytes) {
      return "the last group's sizes are out of order";
    }
  }
  int64_t steps[max_targets] = {}, last_byte = 0;
  bool wide = true;
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    Sample& s = plan.samples[i];
    if (const char* wrong = check_sample(plan, p, s)) return wrong;
    for (std::size_t k = s.first_field; k < s.first_field + s.fields; ++k) {
      wide = wide && plan.fields[k].bit % 8 + plan.fields[k].bits <= 64;
      last_byte = std::max(last_byte, plan.fields[k].bit / 8);
    }
    if (steps[s.target] != 0 && steps[s.target] != s.step) return "a plane's steps disagree";
    steps[s.target] = s.step;
    if (s.pixel + 1 < p.group_pixels && !p.partial_bytes.empty() && p.partial_bytes[s.pixel] < s.reach) {
      return "a field lies outside the last group";
    }
  }
  p.wide_bytes = wide ? last_byte + 8 : 0;
  return nullptr;
}

const char* check(Plan& plan) noexcept {
  for (const Target& t : plan.targets) {
    if (t.itemsize != 1 && t.itemsize != 2 && t.itemsize != 4 && t.itemsize != 8) return "an element size is not 1, 2, 4 or 8";
    if (t.across < 1 || t.across > most_pixels || t.down < 1 || t.down > most_pixels || t.components < 1 ||
        t.components > static_cast<int64_t>(max_group_samples)) {
      return "an output's sampling is out of range";
    }
  }
  for (Plane& p : plan.planes) {
    if (const char* wrong = check_plane(plan, p)) return wrong;
  }
  return nullptr;
}

// ---------------------------------------------------------------- the choice of loops

int64_t only_target(const Plan& plan, const Plane& p) noexcept {
  int64_t t = plan.samples[p.first_sample].target;
  for (std::size_t i = p.first_sample; i < p.first_sample + p.samples; ++i) {
    if (plan.samples[i].target != t) return -1;
  }
  return t;
}

// One output whose elements come in the group's sample order, each sample one
// field of the whole value: the shape of every unpacked and packed stream.
bool is_stream(const Plan& plan, const Plane& p, bool any_fields) noexcept {
  if (p.target < 0) return false;
  int64_t item_bits = plan.targets[p.target].itemsize * 8;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Sample& s = plan.samples[p.first_sample + k];
    if (s.element != static_cast<int64_t>(k) || s.step != static_cast<int64_t>(p.samples)) return false;
    if (s.kind == ValueKind::signed_ && s.width != item_bits) return false;
    if (any_fields) continue;
    const Field& f = plan.fields[s.first_field];
    if (s.fields != 1 || f.shift != 0 || f.bits != s.width) return false;
  }
  return true;
}

// Every sample in a container of the element's size, at the same place in it.
bool is_containers(const Plan& plan, const Plane& p, int64_t& shift) noexcept {
  int64_t item = plan.targets[p.target].itemsize;
  if (p.group_bytes != static_cast<int64_t>(p.samples) * item) return false;
  const Field& first = plan.fields[plan.samples[p.first_sample].first_field];
  shift = first.bit;
  for (std::size_t k = 0; k < p.samples; ++k) {
    const Field& f = plan.fields[plan.samples[p.first_sample + k].first_field];
    if (f.bit != static_cast<int64_t>(k) * item * 8 + shift || f.bits != first.bits) return false;
  }
  return true;
}

bool has_fields(const Plan& plan, const Sample& s, std::initializer_list<Field> expected) noexcept {
  if (s.fields != expected.size()) return false;
  const Field* f = &plan.fields[s.first_field];
  for (const Field& e : expected) {
    if (f->bit != e.bit || f->bits != e.bits || f->shift != e.shift) return false;
    ++f;
  }
  return true;
}

// The encode loop of a plane whose samples are unsigned 16-bit values of one width.
Pack pack_of(const Plan& plan, const Plane& p, int64_t& width) noexcept {
  if (p.fast == Fast::copy) return Pack::copy;
  if (p.fast == Fast::containers) return Pack::containers;
  if (!is_stream(plan, p, true) || plan.targets[p.target].itemsize != 2) return Pack::none;
  width = plan.samples[p.first_sample].width;
  int64_t samples = static_cast<int64_t>(p.samples);
  bool end_to_end = is_stream(plan, p, false) && p.group_bytes * 8 == samples * width;
  for (int64_t k = 0; k < samples; ++k) {
    const Sample& s = plan.samples[p.first_sample + k];
    if (s.kind != ValueKind::unsigned_ || s.width != width) return Pack::none;
    end_to_end = end_to_end && plan.fields[s.first_field].bit == k * width;
  }
  if (end_to_end && (width == 10 || width == 12)) return Pack::stream;
  const Sample* s = &plan.samples[p.first_sample];
  if (samples == 3 && p.group_bytes == 4 && width == 10 && has_fields(plan, s[0], {{0, 10, 0}}) &&
      has_fields(plan, s[1], {{10, 10, 0}}) && has_fields(plan, s[2], {{20, 10, 0}})) {
    return Pack::triplets;
  }
  int64_t rest = width - 8;
  if (samples == 2 && p.group_bytes == 3 && (width == 10 || width == 12) &&
      has_fields(plan, s[0], {{0, 8, rest}, {8, rest, 0}}) && has_fields(plan, s[1], {{16, 8, rest}, {12, rest, 0}})) {
    return Pack::pairs;
  }
  return Pack::none;
}

void choose_loops(Plan& plan) {
#ifdef PFNC_X86_VECTORS
  bool vectors = x86::has_vectors();
#endif
  for (Plane& p : plan.planes) {
    p.target = only_target(plan, p);
    int64_t shift;
    if (is_stream(plan, p, false) && is_containers(plan, p, shift)) {
      const Sample& first = plan.samples[p.first_sample];
      p.container_shift = shift;
      p.container_mask = mask(first.width);
      p.fast = (shift == 0 && first.width == plan.targets[p.target].itemsize * 8) ? Fast::copy : Fast::containers;
    }
#ifdef PFNC_X86_VECTORS
    else if (vectors && is_stream(plan, p, true) && x86::plan_windows(plan, p, p.windows)) {
      p.fast = Fast::windows;
    }
#endif
    if (p.target >= 0) p.pack = pack_of(plan, p, p.pack_width);
  }
#ifdef PFNC_X86_VECTORS
  if (vectors) x86::plan_shuffle_sets(plan);
#endif
}

}  // namespace

const char* prepare(Plan& plan) {
  if (const char* wrong = check(plan)) return wrong;
  if (!plan.general_only) choose_loops(plan);
  return nullptr;
}

// ---------------------------------------------------------------- geometry

Misfit geometry(const Plan& plan, int64_t width, int64_t height, int64_t stride, Geometry& geo) noexcept {
  for (std::size_t t = 0; t < plan.targets.size(); ++t) {
    const Target& target = plan.targets[t];
    if (width % target.across != 0 || height % target.down != 0) return {Misfit::sampling, static_cast<int64_t>(t)};
    geo.lines[t] = height / target.down;
    geo.columns[t] = width / target.across;
    int64_t row = 0;
    if (stride >= 0 && !(mul(geo.columns[t], target.components, row) && mul(row, target.itemsize, row))) {
      return {Misfit::memory};
    }
    geo.row_bytes[t] = row;
  }
  int64_t offset = 0;
  geo.read_end = 0;
  for (std::size_t n = 0; n < plan.planes.size(); ++n) {
    const Plane& p = plan.planes[n];
    PlaneGeometry& g = geo.planes[n];
    int64_t lines = height / p.line_divisor, pixels = width;
    if (stride < 0 && !mul(width, lines, pixels)) return {Misfit::memory};
    g.groups = pixels / p.group_pixels;
    g.partial_pixels = pixels % p.group_pixels;
    if (g.partial_pixels != 0 && p.partial_bytes.empty()) return {Misfit::packing, static_cast<int64_t>(n), pixels};
    g.partial_bytes = g.partial_pixels != 0 ? p.partial_bytes[g.partial_pixels - 1] : 0;
    int64_t run;
    if (!mul(g.groups, p.group_bytes, run) || !add(run, g.partial_bytes, run)) return {Misfit::memory};
    g.offset = offset;
    if (stride < 0) {
      g.segments = 1;
      g.stride = 0;
      if (!add(offset, run, offset)) return {Misfit::memory};
      geo.read_end = offset;
    } else {
      if (stride < run) return {Misfit::stride, static_cast<int64_t>(n), run};
      g.segments = lines;
      g.stride = stride;
      int64_t span;
      if (!mul(lines - 1, stride, span) || !add(offset, span, geo.read_end) || !add(geo.read_end, run, geo.read_end) ||
          !mul(lines, stride, span) || !add(offset, span, offset)) {
        return {Misfit::memory};
      }
    }
  }
  geo.total = offset;
  return {};
}

}  // namespace pfnc::pixels
