#pragma once
// The packed matrix product of one 2-D slice, out = a · b, for F32 and for
// 16-bit operands (widened to F32 while packing, each output rounded once).
//
// Note [Packed products]
// Panels of a (kTileRows rows) and b (kTileColumns columns) are copied,
// k_c steps deep, into buffers where the kernel reads them in order; a
// tile of kTileRows x kTileColumns sums stays in registers over the k_c
// steps. The blocks are sized to the caches the processor reports. One
// panel stays in L1 while the panels of the other operand stream past it
// from L2: a b panel where two thirds of L1 hold 256 steps of it (a b panel
// per step is a whole tile row wide, the a panel a few values), then an
// m_c x k_c block of a in L2 and a k_c x n_c block of b in L3; otherwise an
// a panel, with the block of b in L2 and the block of a in L3. At avx2 the
// b panel in L1 took products at batches of 256 and 512 from 1.04-1.15x
// NumPy to 0.98-1.05; at avx512, where a b panel is four vectors wide, it
// would cut k_c to 128 or less (at 64, up to 1.7x slower). Packing reads
// any strides, so no operand is first copied to a contiguous temporary.
//
// Every output element is one multiply-add chain over k in increasing
// order, started from zero and carried across k_c blocks through the
// output: the result does not depend on the tile shape or the blocking.
// Products of two 16-bit values are exact in F32, so fused and separate
// multiply-adds round alike and a 16-bit product has the same bits at
// every level (unless a bfloat16 product underflows F32's normal range).

#include <cstdint>

#include "engine/cpu/dtype.h"
#include "engine/cpu/error.h"
#include "engine/cpu/numeric/ops/matrix.h"

namespace vessik {

// This level's tile and the block sizes chosen from the caches.
struct GemmBlocking {
  std::int64_t tile_rows = 0;     // m_r
  std::int64_t tile_columns = 0;  // n_r
  std::int64_t depth = 0;         // k_c
  std::int64_t rows = 0;          // m_c
  std::int64_t columns = 0;       // n_c
  bool b_panel_in_l1 = false;     // which panel the tiles keep in L1
};

const GemmBlocking& gemm_blocking();

// Makes sure this thread's packing buffers exist. They are sized by the
// blocking alone, allocated on a thread's first large product and reused
// by every later one; a failed allocation is a MemoryError.
Result<void> reserve_gemm_buffers();

// out = a · b for an m×k times k×n slice; out must not overlap a or b.
// reserve_gemm_buffers() must have succeeded on this thread. For 16-bit
// operands deeper than one block, `partial` holds m×n floats of running
// sums (row-major); otherwise it may be null.
template <ComputesInF32 T>
void packed_product(std::int64_t m, std::int64_t k, std::int64_t n, MatrixRef<T> out, MatrixRef<const T> a,
                    MatrixRef<const T> b, float* partial);

// Whether packed_product needs `partial` for this depth and element type.
template <ComputesInF32 T>
bool needs_partial_sums(std::int64_t k);

}  // namespace vessik
