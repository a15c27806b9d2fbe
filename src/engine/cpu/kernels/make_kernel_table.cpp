// The kernel table of the level this file is compiled for (VESSIK_LEVEL,
// with that level's instruction-set flags). See Note [One table per level].

#include <iterator>
#include <string_view>

#include "engine/cpu/boolean/ops/logical.h"
#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/dispatch/peak_probe.h"
#include "engine/cpu/dispatch/probe_table.h"
#include "engine/cpu/half/half_convert.h"
#include "engine/cpu/processor/float_env.h"

#if !defined(VESSIK_LEVEL)
#error "compile once per level with -DVESSIK_LEVEL=<name>"
#endif
#define VESSIK_STRING_(x) #x
#define VESSIK_STRING(x) VESSIK_STRING_(x)

namespace vessik {

namespace {

// Every entry computes in IEEE default mode whatever the calling thread has
// set: another library may have turned on flush-to-zero or
// denormals-are-zero, and results must not depend on that.
template <auto Kernel>
struct Guarded;

template <class R, class... Args, R (*Kernel)(Args...)>
struct Guarded<Kernel> {
  static R call(Args... args) {
    const IeeeModeGuard ieee;
    return Kernel(std::forward<Args>(args)...);
  }
};

// Each entry takes the kernel of its name, the specialisation its type names.
template <class T>
TypedKernels<T> typed_table() {
  using namespace numeric;
  using namespace boolean;
  TypedKernels<T> t;
#define VESSIK_FILL(name, ...) t.name = &Guarded<static_cast<decltype(t.name)>(&name)>::call;
  if constexpr (std::is_same_v<T, bool>) {
    VESSIK_BOOL_KERNELS(VESSIK_FILL)
  } else {
    VESSIK_NUMERIC_KERNELS(VESSIK_FILL)
  }
#undef VESSIK_FILL
  return t;
}

bool slice_product(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                   MatrixStrides b, SlicePath path, float* out_data, const float* a_data, const float* b_data) {
  const SliceProduct slice(m, k, n, out, a, b, path);
  if (!slice.prepare()) return false;
  slice(out_data, a_data, b_data);
  return true;
}

ProbeTable make_probes() {
  return {.widen_f16 = &Guarded<&widen_f16>::call,
          .narrow_f16 = &Guarded<&narrow_f16>::call,
          .widen_bf16 = &Guarded<&widen_bf16>::call,
          .narrow_bf16 = &Guarded<&narrow_bf16>::call,
          .batched_matmul = &Guarded<&numeric::batched_matmul_recursive>::call,
          .slice_product = &Guarded<&slice_product>::call,
          .gemm_blocking = &gemm_blocking,
          .multiply_add_probe = &multiply_add_probe};
}

// The level VESSIK_LEVEL names.
constexpr std::size_t level_index() {
  std::size_t i = 0;
  while (i < std::size(kAllLevels) && std::string_view(level_name(kAllLevels[i])) != VESSIK_STRING(VESSIK_LEVEL)) ++i;
  return i;
}
static_assert(level_index() < std::size(kAllLevels), "VESSIK_LEVEL names no level of VESSIK_CPU_LEVELS");

KernelTable make_table(CpuLevel level, const ProbeTable* probes) {
  return {.level = level,
          .typed_kernels = []<std::size_t... I>(std::index_sequence<I...>) {
            return std::tuple{typed_table<element_of<static_cast<DType>(I)>>()...};
          }(std::make_index_sequence<kElementTypeCount>{}),
          .probes = probes};
}

}  // namespace

}  // namespace vessik

#define VESSIK_CONCAT_(a, b) a##b
#define VESSIK_CONCAT(a, b) VESSIK_CONCAT_(a, b)

extern "C" const vessik::KernelTable* VESSIK_CONCAT(vessik_kernel_table_, VESSIK_LEVEL)() {
  static const vessik::ProbeTable probes = vessik::make_probes();
  static const vessik::KernelTable table =
      vessik::make_table(vessik::kAllLevels[vessik::level_index()], &probes);
  return &table;
}
