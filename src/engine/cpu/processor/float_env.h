#pragma once
// Kernels compute in IEEE default mode whatever the caller's thread has set:
// another library loaded into the process may have turned on flush-to-zero,
// denormals-are-zero or a directed rounding mode, and results must not
// depend on that. The guard restores the caller's mode on exit.

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vessik {

class IeeeModeGuard {
 public:
#if defined(__x86_64__) && defined(__SSE2__)
  IeeeModeGuard() : saved_(_mm_getcsr()) {
    // Clear FTZ (bit 15), DAZ (bit 6) and the rounding field (bits 13-14:
    // nearest-even); keep the exception masks and flags.
    constexpr unsigned kNonIeee = (1u << 15) | (1u << 6) | (3u << 13);
    if ((saved_ & kNonIeee) != 0) _mm_setcsr(saved_ & ~kNonIeee);
  }
  ~IeeeModeGuard() {
    if ((saved_ & ((1u << 15) | (1u << 6) | (3u << 13))) != 0) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#else
  IeeeModeGuard() = default;
#endif

 public:
  IeeeModeGuard(const IeeeModeGuard&) = delete;
  IeeeModeGuard& operator=(const IeeeModeGuard&) = delete;
};

}  // namespace vessik
