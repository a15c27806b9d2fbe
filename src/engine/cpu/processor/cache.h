#pragma once
// The data-cache sizes one core can count on, which size the blocks of the
// packed matrix product. Read once per process from CPUID.

#include <cstdint>

namespace vessik {

struct CacheSizes {
  std::int64_t l1d = 0;  // bytes, per core
  std::int64_t l2 = 0;   // bytes, per core
  std::int64_t l3 = 0;   // bytes, this core's share; 0 when there is none
};

// Values the processor does not report fall back to those of a common
// desktop core (32 KiB, 512 KiB, 2 MiB).
const CacheSizes& cache_sizes();

}  // namespace vessik
