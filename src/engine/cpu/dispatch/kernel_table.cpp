#include "engine/cpu/dispatch/kernel_table.h"

// Each level's table, defined in its own isolated object (Note [One table
// per level]). Only baseline exists off x86-64.
extern "C" const vessik::KernelTable* vessik_kernel_table_baseline();
#if defined(__x86_64__)
extern "C" const vessik::KernelTable* vessik_kernel_table_avx2();
extern "C" const vessik::KernelTable* vessik_kernel_table_avx512();
#endif

namespace vessik {

const KernelTable* kernels_at(CpuLevel level) {
  if (level > highest_level()) return nullptr;
  switch (level) {
    case CpuLevel::Baseline: return vessik_kernel_table_baseline();
#if defined(__x86_64__)
    case CpuLevel::Avx2: return vessik_kernel_table_avx2();
    case CpuLevel::Avx512: return vessik_kernel_table_avx512();
#else
    default: break;
#endif
  }
  return nullptr;
}

const KernelTable& kernels() {
  static const KernelTable* const table = kernels_at(level_choice().level);
  return *table;
}

}  // namespace vessik
