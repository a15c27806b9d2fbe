#pragma once
// A level's entry points for the tests and benchmarks (a KernelTable's
// `probes`): the bulk 16-bit conversions (half_convert.h), the product into
// a given output, one slice with its path forced (the tests compare the
// paths), the packed product's tile and blocks (the tests size products
// across their edges), the multiply-add loop.

#include <cstddef>
#include <cstdint>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/numeric/ops/gemm.h"
#include "engine/cpu/numeric/ops/matmul_slice.h"

namespace vessik {

struct ProbeTable {
  void (*widen_f16)(const Half*, float*, std::size_t) = nullptr;
  void (*narrow_f16)(const float*, Half*, std::size_t) = nullptr;
  void (*widen_bf16)(const BFloat16*, float*, std::size_t) = nullptr;
  void (*narrow_bf16)(const float*, BFloat16*, std::size_t) = nullptr;
  // numeric::batched_matmul_recursive.
  Result<void> (*batched_matmul)(const StridedView<float>& out, const StridedView<const float>& a,
                                 const StridedView<const float>& b) = nullptr;
  // False when the packing buffers cannot be allocated.
  bool (*slice_product)(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                        MatrixStrides b, SlicePath path, float* out_data, const float* a_data,
                        const float* b_data) = nullptr;
  const GemmBlocking& (*gemm_blocking)() = nullptr;
  std::uint64_t (*multiply_add_probe)(std::uint64_t steps) = nullptr;
};

}  // namespace vessik
