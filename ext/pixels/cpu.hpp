// Which x86 vector lines the pixel loops may run: what the CPU has, capped by
// CORVELLA_PFNC_VECTORS ("avx512", "avx2", "ssse3" or "none"), so that the
// lines this CPU would pass over can still be tested on it. Read once.
#pragma once

#include <cstdlib>
#include <cstring>

namespace pfnc::pixels::cpu {

enum Level { none, ssse3, avx2, avx512 };

inline Level cap() noexcept {
  static constexpr const char* names[] = {"none", "ssse3", "avx2"};
  const char* asked = std::getenv("CORVELLA_PFNC_VECTORS");
  for (int level = none; asked != nullptr && level < avx512; ++level) {
    if (std::strcmp(asked, names[level]) == 0) return static_cast<Level>(level);
  }
  return avx512;
}

// AVX2 counts with FMA, AVX-512 with the byte and word instructions and the byte permutes (BW, VBMI).
inline Level found() noexcept {
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return avx512;
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return avx2;
  return __builtin_cpu_supports("ssse3") ? ssse3 : none;
}

inline Level level() noexcept {
  static const Level usable = [] {
    Level has = found(), allowed = cap();
    return has < allowed ? has : allowed;
  }();
  return usable;
}

}  // namespace pfnc::pixels::cpu
