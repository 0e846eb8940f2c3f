// Which vector code a plug-in's hot loops run, chosen once per loaded plug-in at its first use.
//
// Every plug-in is built for the x86-64 baseline (SSE2). Where a wider vector pays, a plug-in
// carries variants of its hot loops compiled for AVX2 and for AVX-512 (F, BW and VL) beside the
// baseline loop, and picks one through pickVector. All variants compute the same rule with the same
// operations (integer arithmetic, or the same IEEE double operations in the same order, never
// contracted), so every path gives the same bytes.
//
// The path is the widest the processor and the operating system support, found with CPUID and
// XGETBV (header-only: nothing of libgcc's CPU model, whose constructor would run at load time).
// The environment variable OP_VECTOR_PATH=baseline|avx2|avx512 caps it, so that tests and
// benchmarks can run each path on one machine; a path the machine lacks falls back to the widest it
// has below it, and any other value is ignored. It is read once, at the plug-in's first call of
// vectorPath(), and holds for the life of the loaded library.
#pragma once

#include <cpuid.h>
// gcc 12 warns, inside its own AVX-512 headers, that the placeholder operand of an intrinsic such as
// _mm512_cvttpd_epi32 may be used uninitialised (it is never read); the warning is silenced for
// those headers alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace opframe {

enum VectorPath { VECTOR_BASELINE = 0, VECTOR_AVX2 = 1, VECTOR_AVX512 = 2 };

// The function attributes of the variants.
#define OP_TARGET_AVX2 __attribute__((target("avx2")))
#define OP_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))

// The widest path this processor runs with its vector state enabled by the operating system.
inline VectorPath cpuVectorPath() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return VECTOR_BASELINE;
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return VECTOR_BASELINE;
  uint32_t xcr0Low = 0, xcr0High = 0;
  __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
  const uint32_t ymmState = 0x6;   // SSE and AVX state
  const uint32_t zmmState = 0xE6;  // and the AVX-512 mask and upper registers
  if ((xcr0Low & ymmState) != ymmState) return VECTOR_BASELINE;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return VECTOR_BASELINE;
  if ((b & bit_AVX2) == 0) return VECTOR_BASELINE;
  const unsigned avx512 = bit_AVX512F | bit_AVX512BW | bit_AVX512VL;
  if ((b & avx512) == avx512 && (xcr0Low & zmmState) == zmmState) return VECTOR_AVX512;
  return VECTOR_AVX2;
}

// The path that `best` is capped to by OP_VECTOR_PATH.
inline VectorPath cappedVectorPath(VectorPath best) {
  const char* asked = getenv("OP_VECTOR_PATH");
  if (asked == nullptr) return best;
  VectorPath cap;
  if (strcmp(asked, "baseline") == 0) cap = VECTOR_BASELINE;
  else if (strcmp(asked, "avx2") == 0) cap = VECTOR_AVX2;
  else if (strcmp(asked, "avx512") == 0) cap = VECTOR_AVX512;
  else return best;
  return cap < best ? cap : best;
}

// The path of this loaded plug-in, found at the first call (a plug-in runs on one thread at a time).
inline VectorPath vectorPath() {
  static int chosen = -1;
  if (chosen < 0) chosen = cappedVectorPath(cpuVectorPath());
  return (VectorPath)chosen;
}

// The variant for this plug-in's path; a null variant falls back to the next narrower one.
template <typename F>
inline F pickVector(F baseline, F avx2, F avx512) {
  const VectorPath path = vectorPath();
  if (path >= VECTOR_AVX512 && avx512 != nullptr) return avx512;
  if (path >= VECTOR_AVX2 && avx2 != nullptr) return avx2;
  return baseline;
}

}  // namespace opframe
