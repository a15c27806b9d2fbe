#include "engine/cpu/features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
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
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return f;
  const bool osxsave = bit(ecx, 27);
  const bool avx = bit(ecx, 28);
  const bool f16c = bit(ecx, 29);
  if (!osxsave || !avx) return f;
  const unsigned long long xcr = xcr0();
  const bool ymm_state = (xcr & 0x6) == 0x6;             // SSE and AVX registers
  const bool zmm_state = ymm_state && (xcr & 0xe0) == 0xe0;  // opmask and ZMM registers
  if (!ymm_state) return f;
  f.f16c = f16c;
  if (max_leaf < 7) return f;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  f.avx2 = bit(ebx, 5);
  if (zmm_state) {
    f.avx512f = bit(ebx, 16);
    f.avx512bw = bit(ebx, 30);
    f.avx512vl = bit(ebx, 31);
    f.avx512fp16 = f.avx512f && bit(edx, 23);
  }
  return f;
}

#elif defined(__aarch64__) && defined(__linux__)

CpuFeatures read_features() {
  CpuFeatures f;
  const unsigned long hwcap = getauxval(AT_HWCAP);
  f.fp16_arith = (hwcap & HWCAP_FPHP) != 0 && (hwcap & HWCAP_ASIMDHP) != 0;
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
