#include "engine/cpu/processor/features.h"

#include "engine/cpu/processor/cpuid.h"

namespace vessik {

namespace {

bool bit(unsigned reg, unsigned n) { return ((reg >> n) & 1u) != 0; }

CpuFeatures read_features() {
  CpuFeatures f;
  f.lzcnt = bit(cpuid(0x80000001).ecx, 5);
  const auto leaf1 = cpuid(1);
  f.sse42 = bit(leaf1.ecx, 20);
  f.popcnt = bit(leaf1.ecx, 23);
  f.movbe = bit(leaf1.ecx, 22);
  const bool osxsave = bit(leaf1.ecx, 27);
  const bool avx = bit(leaf1.ecx, 28);
  if (!osxsave || !avx) return f;
  const unsigned long long xcr = xcr0();
  const bool ymm_state = (xcr & 0x6) == 0x6;                 // SSE and AVX registers
  const bool zmm_state = ymm_state && (xcr & 0xe0) == 0xe0;  // opmask and ZMM registers
  if (!ymm_state) return f;
  f.fma = bit(leaf1.ecx, 12);
  f.f16c = bit(leaf1.ecx, 29);
  const auto leaf7 = cpuid(7);
  f.avx2 = bit(leaf7.ebx, 5);
  f.bmi1 = bit(leaf7.ebx, 3);
  f.bmi2 = bit(leaf7.ebx, 8);
  if (zmm_state) {
    f.avx512f = bit(leaf7.ebx, 16);
    f.avx512dq = bit(leaf7.ebx, 17);
    f.avx512cd = bit(leaf7.ebx, 28);
    f.avx512bw = bit(leaf7.ebx, 30);
    f.avx512vl = bit(leaf7.ebx, 31);
    f.avx512_fp16 = f.avx512f && bit(leaf7.edx, 23);
    if (leaf7.eax >= 1) f.avx512_bf16 = f.avx512f && bit(cpuid(7, 1).eax, 5);
  }
  return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
  // A function-local static is initialised exactly once, even under
  // concurrent first calls.
  static const CpuFeatures features = read_features();
  return features;
}

}  // namespace vessik
