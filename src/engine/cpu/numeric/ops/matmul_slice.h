#pragma once
// One 2-D single-precision product, out = a · b (m×k times k×n, beta 0),
// over matrices given by a pointer and a row and column stride in elements.
// Any strides are accepted: transposed, stride 0, negative. The plan is made
// once per batch, since every slice of a batch shares sizes and strides.
//
// Note [Two slice paths]
// The packed product (gemm.h) copies both operands into panels before it
// multiplies: a fixed cost per call and one pass over each operand. A batch
// of tiny slices would spend most of its time there, so small slices run a
// direct register-blocked loop instead: no packing, the operands read in
// place. Measured on Zen 4, the loop beats packing up to about 192³ when b's
// rows are contiguous strips of at least 8 columns (kSmallMidWork), and at
// the avx512 level, with strips of 16 or more, for as long as b fits the
// core's 1 MiB L2 cache (kSmallPanelFloats: 512³ still gains 4%); otherwise
// only up to kSmallSliceWork. Rows of b narrower than the packed tile take
// the loop whatever the height of a: the tile would mostly multiply padding
// ([300000, 8] @ [8, 8] ran 4 to 8 times faster so). Both paths compute each
// output as one chain of multiply-adds over k in increasing order from zero,
// so they give the same bits (all but the Dot path of Note [Sums along k]).
//
// Note [Narrow and column-major b]
// Two shapes of a training step fit neither path well, so each is first
// turned into one that does; the chains of multiply-adds stay the same, and
// so do the bits. A classifier's b, n = 10 columns, would take the loop as
// a vector strip and a narrower one, each pass reading all of a: padded to
// whole vectors in a scratch copy (Padded), one pass covers it (vessik
// [256, 784] @ [784, 10] at avx512: 1.51x NumPy before). A b whose columns
// are contiguous (the W.T of g @ W.T) would be packed column by column, a
// pass over all of b that costs more than the product when a has few rows;
// out^T = b^T a^T instead reads b^T as rows of a in place and needs only a
// transposed copy of the small a (Transposed; [32, 256] @ [256, 784]^T ran
// 2.36x NumPy before).
//
// Note [Sums along k]
// A chain of multiply-adds per output is bound by its latency where there
// are few outputs and a long k: the g @ W.T of a batch of one is a few
// hundred dot products of contiguous rows, which the paths above ran at 4
// to 10 times NumPy's time. Where both operands are contiguous along k and
// the outputs are few (Dot), each output keeps kDotLanes running sums
// instead, sum l over the terms p = l, l + kDotLanes, ..., the last run
// padded with zeros, and adds them in a fixed tree: lanes l and l + 8, then
// l and l + 4, l and l + 2, the last two. The lanes are one register at
// avx512, two at avx2 and four at baseline, and the choice reads sizes and
// strides only, so every level with fused multiply-adds gives the same bits
// here too, and 16-bit products still round the binary32 sum once. The
// order differs from the other paths', by the rounding of a different
// order of sums. A lone row of a against a row-major b of 4 to 16 columns
// (a classifier's x @ W at a batch of one) runs the lanes across b's columns
// instead, with kRowChains = 4 running sums per output over the rows p
// congruent to 0, 1, 2 and 3 modulo 4, added as (s0 + s1) + (s2 + s3).
//
// Note [Rows of b in turn]
// With one to three rows of a, a tile holds only a strip or four of b's
// columns in its sums, so it waits on the latency of their chains, and it
// walks down b a strip at a time, a new page at every row of a wide b. The
// Stream path keeps the output rows in memory as the running sums instead
// and reads b row after row: kStreamDepth rows of b at a time meet every
// strip of the output, each output still one chain of multiply-adds over k
// in increasing order from zero, so the bits are the loop's; a lone row of a
// keeps the same chains in registers instead where they fit. With 16 vector
// registers the path also serves up to 16 rows of a column-major a against
// a b past L2, six output rows at a time, which the loop would read once
// per tile of rows.

#include <cstdint>

#include "engine/cpu/error.h"
#include "engine/cpu/numeric/ops/matrix.h"

namespace vessik {

enum class SlicePath : std::uint8_t { Small, Gemm, Padded, Transposed, Dot, Stream };

// The running sums of one output on the Dot path, at every level.
inline constexpr int kDotLanes = 16;

inline constexpr std::uint64_t kSmallSliceWork = 4096;
inline constexpr std::uint64_t kSmallMidWork = 192 * 192 * 192;
inline constexpr std::uint64_t kSmallPanelFloats = 512 * 512;

SlicePath choose_slice_path(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides a, MatrixStrides b);

// Where the next product of a batch reads its operands and writes its
// output, for the small path to ask for them ahead (Note [Asking for the
// next slice]). Null when there is none.
struct NextSlice {
  const float* a = nullptr;
  const float* b = nullptr;
  const float* out = nullptr;
};

class SliceProduct {
 public:
  // Picks the path from the sizes unless one is forced (tests compare them).
  SliceProduct(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
               MatrixStrides b);
  SliceProduct(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
               MatrixStrides b, SlicePath path);

  SlicePath path() const { return path_; }

  // The calling thread's scratch for this plan (padded copies, packing
  // panels); call once before the first slice.
  Result<void> prepare() const;

  // Writes every element of the m×n output; never reads it. `out` must not
  // overlap `a` or `b`.
  void operator()(float* out, const float* a, const float* b, NextSlice next = {}) const {
    run_(*this, out, a, b, next);
  }

 private:
  using Run = void (*)(const SliceProduct&, float*, const float*, const float*, NextSlice);
  friend struct SliceKernels;

  std::int64_t m_, k_, n_;
  MatrixStrides out_, a_, b_;
  SlicePath path_;
  Run run_;
};

}  // namespace vessik
