#include "engine/cpu/processor/cache.h"

#include "engine/cpu/processor/cpuid.h"

namespace vessik {

namespace {

constexpr CacheSizes kFallback{32 << 10, 512 << 10, 2 << 20};

// Intel's leaf 4 and AMD's leaf 0x8000001D list the caches in one format:
// type, level, the threads that share it, and its geometry.
CacheSizes read_cache_leaf(unsigned leaf) {
  CacheSizes c;
  for (unsigned index = 0; index < 16; ++index) {
    const auto [eax, ebx, ecx, edx] = cpuid(leaf, index);
    const unsigned type = eax & 0x1f;  // 0: no more caches, 1: data, 3: unified
    if (type == 0) break;
    if (type != 1 && type != 3) continue;
    const unsigned level = (eax >> 5) & 0x7;
    const std::int64_t sharing = ((eax >> 14) & 0xfff) + 1;
    const std::int64_t ways = ((ebx >> 22) & 0x3ff) + 1;
    const std::int64_t partitions = ((ebx >> 12) & 0x3ff) + 1;
    const std::int64_t line = (ebx & 0xfff) + 1;
    const std::int64_t sets = static_cast<std::int64_t>(ecx) + 1;
    const std::int64_t bytes = ways * partitions * line * sets;
    if (level == 1) c.l1d = bytes;
    if (level == 2) c.l2 = bytes;
    // Threads, not cores, share it: two per core when SMT is on, which
    // counts each core's share low rather than high.
    if (level == 3) c.l3 = bytes / sharing;
  }
  return c;
}

CacheSizes read_cache_sizes() {
  const CpuidLeaf leaf0 = cpuid(0);
  if (leaf0.eax == 0) return kFallback;  // no leaf beyond 0, or no CPUID
  const bool amd = leaf0.ebx == 0x68747541;  // "Auth" of "AuthenticAMD"
  CacheSizes c;
  if (amd) {
    if (cpuid(0x80000000).eax >= 0x8000001D) c = read_cache_leaf(0x8000001D);
  } else if (leaf0.eax >= 4) {
    c = read_cache_leaf(4);
  }
  if (c.l1d <= 0) c.l1d = kFallback.l1d;
  if (c.l2 <= 0) c.l2 = kFallback.l2;
  return c;
}

}  // namespace

const CacheSizes& cache_sizes() {
  static const CacheSizes sizes = read_cache_sizes();
  return sizes;
}

}  // namespace vessik
