#pragma once
// The kernels of one instruction-set level, as a table of entry points.
//
// Note [One table per level]
// The kernel sources are compiled once per level, each time with that
// level's instruction-set flags, and every level's objects are linked into
// one relocatable object whose only global symbol is its table (see
// tools/isolate_level.py). Inline and template code the kernels share
// with the rest of the engine (NdArray, Half, the standard library, Eigen)
// is thereby private to each level: the linker can never hand a baseline
// caller an AVX-512 copy of it. The engine reaches a kernel only through
// kernels(), and every entry runs under the IEEE-mode guard (float_env.h).

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dispatch/level.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/numeric/backward/matmul.h"
#include "engine/cpu/numeric/ops/gemm.h"
#include "engine/cpu/numeric/ops/matmul_slice.h"

namespace vessik {

namespace kernel_signatures {
template <class T> using Unary = Result<NdArray<T>> (*)(const NdArray<T>&);
template <class T> using Binary = Result<NdArray<T>> (*)(const NdArray<T>&, const NdArray<T>&);
template <class T> using Comparison = Result<NdArray<bool>> (*)(const NdArray<T>&, const NdArray<T>&);
template <class T> using Scalar = Result<NdArray<T>> (*)(const NdArray<T>&, float);
template <class T> using ScalarComparison = Result<NdArray<bool>> (*)(const NdArray<T>&, float);
template <class T>
using Gradients = Result<std::pair<NdArray<T>, NdArray<T>>> (*)(const NdArray<T>&, const NdArray<T>&,
                                                                const NdArray<T>&);
template <class T>
using MatmulGradients = Result<std::pair<NdArray<T>, NdArray<T>>> (*)(const NdArray<T>&, const NdArray<T>&,
                                                                      const NdArray<T>&, WantedGradients);
}  // namespace kernel_signatures

// X(name, signature, kernel) for each kernel of every numeric element type
// T, then of Bool. Adding a kernel: its line here and its definition.
#define VESSIK_NUMERIC_KERNELS(X)                                                                    \
  X(add, Binary, numeric::add<T>) X(sub, Binary, numeric::sub<T>)                                    \
  X(mul, Binary, numeric::mul<T>) X(div, Binary, numeric::div<T>)                                    \
  X(eq, Comparison, numeric::eq<T>) X(ge, Comparison, numeric::ge<T>)                                \
  X(gt, Comparison, numeric::gt<T>) X(le, Comparison, numeric::le<T>)                                \
  X(lt, Comparison, numeric::lt<T>)                                                                  \
  X(scalar_add, Scalar, numeric::scalar_add<T>) X(scalar_sub, Scalar, numeric::scalar_sub<T>)        \
  X(scalar_mul, Scalar, numeric::scalar_mul<T>)                                                      \
  X(scalar_eq, ScalarComparison, numeric::scalar_eq<T>) X(scalar_ge, ScalarComparison, numeric::scalar_ge<T>) \
  X(scalar_gt, ScalarComparison, numeric::scalar_gt<T>) X(scalar_le, ScalarComparison, numeric::scalar_le<T>) \
  X(scalar_lt, ScalarComparison, numeric::scalar_lt<T>)                                              \
  X(relu, Unary, numeric::relu<T>) X(relu_backward, Binary, numeric::relu_backward<T>)               \
  X(mul_backward, Gradients, numeric::mul_backward<T>) X(div_backward, Gradients, numeric::div_backward<T>) \
  X(matmul, Binary, numeric::matmul<T>) X(matmul_backward, MatmulGradients, numeric::matmul_backward<T>)

#define VESSIK_BOOL_KERNELS(X)                                                                       \
  X(eq, Comparison, numeric::eq<T>) X(ge, Comparison, numeric::ge<T>)                                \
  X(gt, Comparison, numeric::gt<T>) X(le, Comparison, numeric::le<T>)                                \
  X(lt, Comparison, numeric::lt<T>)                                                                  \
  X(logical_and, Binary, boolean::logical_and) X(logical_or, Binary, boolean::logical_or)            \
  X(logical_xor, Binary, boolean::logical_xor) X(logical_not, Unary, boolean::logical_not)

#define VESSIK_KERNEL_FIELD(name, signature, kernel) kernel_signatures::signature<T> name = nullptr;

template <class T>
struct TypedKernels {
  VESSIK_NUMERIC_KERNELS(VESSIK_KERNEL_FIELD)
};

template <>
struct TypedKernels<bool> {
  using T = bool;
  VESSIK_BOOL_KERNELS(VESSIK_KERNEL_FIELD)
};

#undef VESSIK_KERNEL_FIELD

struct KernelTable {
  CpuLevel level = CpuLevel::Baseline;
  TypedKernels<Half> f16;
  TypedKernels<BFloat16> bf16;
  TypedKernels<float> f32;
  TypedKernels<bool> boolean;
  // Bulk binary16 conversions (see half_convert.h).
  void (*widen_f16)(const Half*, float*, std::size_t) = nullptr;
  void (*narrow_f16)(const float*, Half*, std::size_t) = nullptr;
  // numeric::batched_matmul_recursive: products into a given output.
  Result<void> (*batched_matmul)(const StridedView<float>& out, const StridedView<const float>& a,
                                 const StridedView<const float>& b) = nullptr;
  // One 2-D product with its path forced (the tests compare the paths);
  // false when the packing buffers cannot be allocated.
  bool (*slice_product)(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                        MatrixStrides b, SlicePath path, float* out_data, const float* a_data,
                        const float* b_data) = nullptr;
  // The packed product's tile and blocks (the tests size products across
  // their edges).
  const GemmBlocking& (*gemm_blocking)() = nullptr;
  // See peak_probe.h; for the benchmarks.
  std::uint64_t (*multiply_add_probe)(std::uint64_t steps) = nullptr;

  template <Element T>
  const TypedKernels<T>& typed() const {
    if constexpr (std::is_same_v<T, Half>) {
      return f16;
    } else if constexpr (std::is_same_v<T, BFloat16>) {
      return bf16;
    } else if constexpr (std::is_same_v<T, float>) {
      return f32;
    } else {
      return boolean;
    }
  }
};

// The table of the level chosen for this process (level_choice()).
const KernelTable& kernels();

// A level's table, or null when this build or this processor lacks the
// level. For tests and benchmarks that compare levels.
const KernelTable* kernels_at(CpuLevel level);

}  // namespace vessik
