#include "engine/cpu/processor/features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vessik {

namespace {

#if defined(__x86_64__) || defined(__i386__)

bool bit(unsigned reg, unsigned n) { return ((reg >> n) & 1u) != 0; }

// Register state the OS saves on context switch (XCR0). A vector extension
// is usable only when the processor has it and the OS saves its registers.
unsigned long long xcr0() {
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
}

CpuFeatures read_features() {
  CpuFeatures f;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return f;
  const unsigned max_leaf = eax;
  unsigned ext_ecx = 0;
  if (__get_cpuid(0x80000001, &eax, &ebx, &ext_ecx, &edx) != 0) f.lzcnt = bit(ext_ecx, 5);
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  f.sse42 = bit(ecx, 20);
  f.popcnt = bit(ecx, 23);
  f.movbe = bit(ecx, 22);
  const bool osxsave = bit(ecx, 27);
  const bool avx = bit(ecx, 28);
  if (!osxsave || !avx) return f;
  const unsigned long long xcr = xcr0();
  const bool ymm_state = (xcr & 0x6) == 0x6;                 // SSE and AVX registers
  const bool zmm_state = ymm_state && (xcr & 0xe0) == 0xe0;  // opmask and ZMM registers
  if (!ymm_state) return f;
  f.fma = bit(ecx, 12);
  f.f16c = bit(ecx, 29);
  if (max_leaf < 7) return f;
  unsigned leaf7_eax = 0;
  __cpuid_count(7, 0, leaf7_eax, ebx, ecx, edx);
  f.avx2 = bit(ebx, 5);
  f.bmi1 = bit(ebx, 3);
  f.bmi2 = bit(ebx, 8);
  if (zmm_state) {
    f.avx512f = bit(ebx, 16);
    f.avx512dq = bit(ebx, 17);
    f.avx512cd = bit(ebx, 28);
    f.avx512bw = bit(ebx, 30);
    f.avx512vl = bit(ebx, 31);
    f.avx512_fp16 = f.avx512f && bit(edx, 23);
    if (leaf7_eax >= 1) {
      __cpuid_count(7, 1, eax, ebx, ecx, edx);
      f.avx512_bf16 = f.avx512f && bit(eax, 5);
    }
  }
  return f;
}

#else

CpuFeatures read_features() { return {}; }

#endif

}  // namespace

const CpuFeatures& cpu_features() {
  // A function-local static is initialised exactly once, even under
  // concurrent first calls.
  static const CpuFeatures features = read_features();
  return features;
}

}  // namespace vessik
