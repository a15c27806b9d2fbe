#pragma once
// CPUID and XGETBV, the x86 instructions that describe the processor.

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace vessik {

struct CpuidLeaf {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// CPUID's registers for `leaf` and `subleaf`: all zero where the processor
// lacks the leaf (and everywhere but on x86).
inline CpuidLeaf cpuid([[maybe_unused]] unsigned leaf, [[maybe_unused]] unsigned subleaf = 0) {
  CpuidLeaf r;
#if defined(__x86_64__) || defined(__i386__)
  __get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx);
#endif
  return r;
}

// The register state the OS saves on context switch (XCR0): a vector
// extension is usable only when the OS saves its registers. Only where CPUID
// leaf 1 reports OSXSAVE; 0 elsewhere.
inline unsigned long long xcr0() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
#else
  return 0;
#endif
}

}  // namespace vessik
