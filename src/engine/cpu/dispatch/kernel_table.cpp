#include "engine/cpu/dispatch/kernel_table.h"

// Each level's table, defined in its own isolated object (Note [One table
// per level]). Only baseline exists off x86-64.
#if defined(__x86_64__)
#define VESSIK_BUILT_LEVELS VESSIK_CPU_LEVELS
#else
#define VESSIK_BUILT_LEVELS(X) X(Baseline, baseline)
#endif
#define VESSIK_DECLARE(e, name) extern "C" const vessik::KernelTable* vessik_kernel_table_##name();
VESSIK_BUILT_LEVELS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

namespace vessik {

const KernelTable* kernels_at(CpuLevel level) {
  if (level > highest_level()) return nullptr;
  switch (level) {
#define VESSIK_TABLE(e, name) \
  case CpuLevel::e: return vessik_kernel_table_##name();
    VESSIK_BUILT_LEVELS(VESSIK_TABLE)
#undef VESSIK_TABLE
    default: return nullptr;
  }
}

const KernelTable& kernels() {
  static const KernelTable* const table = kernels_at(level_choice().level);
  return *table;
}

}  // namespace vessik
