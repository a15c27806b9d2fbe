#pragma once
// A level's entry points for the tests and benchmarks, kept out of the
// kernel table the engine runs on: the product into a given output, one
// slice with its path forced (the tests compare the paths), the packed
// product's tile and blocks (the tests size products across their edges),
// and the multiply-add loop (peak_probe.h).

#include <cstdint>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dispatch/level.h"
#include "engine/cpu/numeric/ops/gemm.h"
#include "engine/cpu/numeric/ops/matmul_slice.h"

namespace vessik {

struct ProbeTable {
  // numeric::checked_matmul_into.
  Result<void> (*batched_matmul)(const StridedView<float>& out, const StridedView<const float>& a,
                                 const StridedView<const float>& b) = nullptr;
  // False when the packing buffers cannot be allocated.
  bool (*slice_product)(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                        MatrixStrides b, SlicePath path, float* out_data, const float* a_data,
                        const float* b_data) = nullptr;
  const GemmBlocking& (*gemm_blocking)() = nullptr;
  std::uint64_t (*multiply_add_probe)(std::uint64_t steps) = nullptr;
};

// A level's probes, or null when this build or this processor lacks it.
const ProbeTable* probes_at(CpuLevel level);

}  // namespace vessik
