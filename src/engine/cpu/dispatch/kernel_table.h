#pragma once
// The kernels of one instruction-set level, as a table of entry points.
//
// Note [One table per level]
// The kernel sources are compiled once per level, each time with that
// level's instruction-set flags, and every level's objects are linked into
// one relocatable object whose only global symbol is its table (see
// tools/isolate_level.py). Inline and template code the kernels share
// with the rest of the engine (NdArray, Half, the standard library)
// is thereby private to each level: the linker can never hand a baseline
// caller an AVX-512 copy of it (tools/check_isolation.py checks the built
// objects in make test). The engine reaches a kernel only through
// kernels(), and every entry runs under the IEEE-mode guard (float_env.h).

#include <tuple>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dispatch/level.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/numeric/backward/binary.h"
#include "engine/cpu/numeric/backward/functional.h"
#include "engine/cpu/numeric/backward/matmul.h"
#include "engine/cpu/numeric/backward/reduce.h"
#include "engine/cpu/numeric/ops/binary.h"
#include "engine/cpu/numeric/ops/matmul.h"
#include "engine/cpu/numeric/ops/scalar.h"
#include "engine/cpu/numeric/ops/unary.h"
#include "engine/cpu/operation_lists.h"

namespace vessik {

struct ProbeTable;

// X(name, ...) for each kernel of every numeric element type T, then of
// Bool: the rows of the lists in operation_lists.h, whose columns each family
// reads its own way, then the kernels outside them (no other columns).
#define VESSIK_NUMERIC_KERNELS(X)                                                   \
  VESSIK_ARITHMETIC_OPS(X) VESSIK_COMPARISON_OPS(X) VESSIK_SCALAR_ARITHMETIC_OPS(X) \
  VESSIK_SCALAR_COMPARISON_OPS(X) VESSIK_UNARY_OPS(X) VESSIK_GRADIENT_OPS(X)        \
  X(relu_backward, , ) X(matmul, , ) X(matmul_backward, , ) X(sum_to_shape, , )
#define VESSIK_BOOL_KERNELS(X) VESSIK_COMPARISON_OPS(X) VESSIK_LOGICAL_OPS(X) X(logical_not, , )

// Each entry has its kernel's type.
template <class T>
struct TypedKernels {
#define VESSIK_FIELD(name, ...) decltype(&numeric::name<T>) name = nullptr;
  VESSIK_NUMERIC_KERNELS(VESSIK_FIELD)
#undef VESSIK_FIELD
};

template <>
struct TypedKernels<bool> {
  // The type of the comparisons and the binary logical operations.
  using Binary = Result<NdArray<bool>> (*)(const NdArray<bool>&, const NdArray<bool>&);
#define VESSIK_FIELD(name, ...) Binary name = nullptr;
  VESSIK_COMPARISON_OPS(VESSIK_FIELD) VESSIK_LOGICAL_OPS(VESSIK_FIELD)
#undef VESSIK_FIELD
  Result<NdArray<bool>> (*logical_not)(const NdArray<bool>&) = nullptr;
};

struct KernelTable {
  CpuLevel level = CpuLevel::Baseline;
  // Each element type's kernels, in DType order.
  ForEachElement<std::tuple, TypedKernels> typed_kernels;
  // The level's test and benchmark hooks (probe_table.h); the engine never
  // calls them.
  const ProbeTable* probes = nullptr;

  template <Element T>
  const TypedKernels<T>& typed() const { return std::get<TypedKernels<T>>(typed_kernels); }
};

// The table of the level chosen for this process (level_choice()).
const KernelTable& kernels();

// A level's table, or null when this build or this processor lacks the
// level. For tests and benchmarks that compare levels.
const KernelTable* kernels_at(CpuLevel level);

}  // namespace vessik
