#pragma once
// One 2-D single-precision product, out = a · b (m×k times k×n, beta 0),
// over matrices given by a pointer and a row and column stride in elements.
// Any strides are accepted: transposed, stride 0, negative. The plan is made
// once per batch, since every slice of a batch shares sizes and strides.
//
// Note [Two slice paths]
// Eigen's GEMM packs both operands into cache-sized panels, which costs about
// 100 ns per call whatever the size. A batch of tiny slices would spend all
// its time there, so small slices run a direct register-blocked loop
// instead: no packing, the operands read in place, each output accumulated
// in f32 over k from zero, as the GEMM does. Measured on AVX-512, the loop
// beats packing up to about 64³ when b's rows are contiguous strips of at
// least 8 columns (kSmallMidWork), and beyond that, with strips of 16 or
// more, for as long as b fits the core's 1 MiB L2 cache (kSmallPanelFloats:
// 512³ still gains 5%, 1024³ loses 10%); otherwise only up to
// kSmallSliceWork. The two paths may differ only in the last bits
// (summation order).

#include <cstdint>

#include "engine/cpu/numeric/ops/matrix.h"

namespace vessik {

enum class SlicePath : std::uint8_t { Small, Gemm };

inline constexpr std::uint64_t kSmallSliceWork = 4096;
inline constexpr std::uint64_t kSmallMidWork = 64 * 64 * 64;
inline constexpr std::uint64_t kSmallPanelFloats = 512 * 512;

SlicePath choose_slice_path(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides b);

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
