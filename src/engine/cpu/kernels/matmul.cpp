#include "engine/cpu/numeric/ops/matmul.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/array/buffer.h"
#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/ops/gemm.h"
#include "engine/cpu/numeric/ops/matmul_slice.h"

namespace vessik::numeric {

namespace {

Shape with_matrix(const Shape& batch, std::uint64_t rows, std::uint64_t cols) {
  Shape s = batch;
  s.push_back(rows);
  s.push_back(cols);
  return s;
}

Shape batch_of(const Shape& s) { return Shape(s.begin(), s.end() - 2); }

template <class T>
MatrixStrides matrix_strides(const StridedView<T>& v) {
  const std::size_t d = v.ndim();
  return {v.strides[d - 2], v.strides[d - 1]};
}

// Walks the batch axes of three views in row-major order. Every slice
// shares sizes and strides, so one slice product serves them all and only
// the three element pointers move. Along the innermost batch axis each
// slice is told where the next one is.
template <class T, class Slice>
struct BatchWalk {
  const StridedView<T>& out;
  const StridedView<const T>& a;
  const StridedView<const T>& b;
  std::size_t batch_axes;
  const Slice& slice;

  void run(std::size_t axis, T* o, const T* pa, const T* pb) const {
    if (axis == batch_axes) {
      slice(o, pa, pb, NextSlice{});
      return;
    }
    const std::int64_t len = static_cast<std::int64_t>(out.shape[axis]);
    const std::int64_t sa = a.strides[axis], sb = b.strides[axis], so = out.strides[axis];
    if (axis + 1 == batch_axes) {
      for (std::int64_t i = 0; i < len; ++i) {
        NextSlice next;
        if constexpr (std::same_as<T, float>) {
          if (i + 1 < len) next = {pa + (i + 1) * sa, pb + (i + 1) * sb, o + (i + 1) * so};
        }
        slice(o + i * so, pa + i * sa, pb + i * sb, next);
      }
      return;
    }
    for (std::int64_t i = 0; i < len; ++i) run(axis + 1, o + i * so, pa + i * sa, pb + i * sb);
  }
};

// Note [Widened 16-bit slices]
// A 16-bit product that binary32 operands would pack is packed straight from
// its 16-bit operands, which widens them on the way (PackedSlice). The other
// binary32 paths read their operands in place, so a 16-bit product that
// would take one of them is cut into blocks that fit the second-level cache:
// each block of a and of b is widened into binary32 scratch in its own
// memory order, multiplied on the binary32 path, and rounded once into the
// output. Every path but Dot computes each output as one chain of
// multiply-adds over k from zero, the blocks take Dot where the whole
// product would (Note [Sums along k]), and every product of two 16-bit
// values is exact in binary32, so the blocks give the bits of the binary32
// product. Without this the
// narrow and short products of a training step ran 1.1 to 3.6 times their
// binary32 time.
template <class T>
struct PackedSlice {
  std::int64_t m, k, n;
  MatrixStrides out, a, b;
  float* partial;

  void operator()(T* o, const T* pa, const T* pb, NextSlice) const {
    packed_product<T>(m, k, n, {o, out}, {pa, a}, {pb, b}, partial);
  }
};

// Floats of one widened block of a, and the step of its row count: each
// block pays for one padded or transposed copy on some paths.
inline constexpr std::int64_t kWidenedBlockFloats = 64 * 1024;
inline constexpr std::int64_t kBlockRowStep = 48;

// The dense layout a widened copy takes: column-major when the source's
// columns are contiguous and its rows not, else row-major.
inline MatrixStrides dense_layout(MatrixStrides src, std::int64_t rows, std::int64_t cols) {
  if (src.row_stride == 1 && src.col_stride != 1) return {1, rows};
  return {cols, 1};
}

template <class T>
MatrixStrides widen_block(const T* src, MatrixStrides s, std::int64_t rows, std::int64_t cols, float* dst) {
  const MatrixStrides d = dense_layout(s, rows, cols);
  const bool by_columns = d.row_stride == 1 && rows > 1;
  const std::int64_t lines = by_columns ? cols : rows, length = by_columns ? rows : cols;
  const std::int64_t line_step = by_columns ? s.col_stride : s.row_stride;
  const std::int64_t step = by_columns ? s.row_stride : s.col_stride;
  for (std::int64_t l = 0; l < lines; ++l) {
    for (std::int64_t c = 0; c < length; c += loops::kChunk) {
      loops::widen(src + l * line_step + c * step, step, std::min(loops::kChunk, length - c), dst + l * length + c);
    }
  }
  return d;
}

template <class T>
struct WidenedSlice {
  std::int64_t m, k, n;
  MatrixStrides out, a, b;
  std::int64_t block_rows, block_cols;
  SlicePath path;        // of a whole block
  float* wa;             // block_rows × k
  float* wb;             // k × block_cols
  float* wo;             // block_rows × block_cols

  void operator()(T* o, const T* pa, const T* pb, NextSlice) const {
    for (std::int64_t j0 = 0; j0 < n; j0 += block_cols) {
      const std::int64_t cols = std::min(block_cols, n - j0);
      const MatrixStrides sb = widen_block(pb + j0 * b.col_stride, b, k, cols, wb);
      for (std::int64_t i0 = 0; i0 < m; i0 += block_rows) {
        const std::int64_t rows = std::min(block_rows, m - i0);
        const MatrixStrides sa = widen_block(pa + i0 * a.row_stride, a, rows, k, wa);
        const SliceProduct product(static_cast<std::uint64_t>(rows), static_cast<std::uint64_t>(k),
                                   static_cast<std::uint64_t>(cols), {cols, 1}, sa, sb, path);
        product(wo, wa, wb);
        for (std::int64_t i = 0; i < rows; ++i) {
          T* const row = o + (i0 + i) * out.row_stride + j0 * out.col_stride;
          for (std::int64_t c = 0; c < cols; c += loops::kChunk) {
            loops::narrow(wo + i * cols + c, std::min(loops::kChunk, cols - c), row + c * out.col_stride,
                          out.col_stride);
          }
        }
      }
    }
  }
};

// Runs the 16-bit product of the batch walk on the path of
// Note [Widened 16-bit slices].
template <class T>
Result<void> product_16(const StridedView<T>& out, const StridedView<const T>& a, const StridedView<const T>& b,
                        std::size_t batch_axes, std::int64_t m, std::int64_t k, std::int64_t n) {
  const MatrixStrides so = matrix_strides(out), sa = matrix_strides(a), sb = matrix_strides(b);
  const MatrixStrides wide_a = dense_layout(sa, m, k), wide_b = dense_layout(sb, k, n);
  const SlicePath whole = choose_slice_path(static_cast<std::uint64_t>(m), static_cast<std::uint64_t>(k),
                                            static_cast<std::uint64_t>(n), wide_a, wide_b);
  if (whole == SlicePath::Gemm) {
    if (auto reserved = reserve_gemm_buffers(); !reserved) return reserved;
    // Running sums of a product deeper than one block, shared by the slices;
    // a recycled buffer, still in the cache from the last product.
    RawBuffer partial;
    if (needs_partial_sums<T>(k)) {
      partial = allocate_buffer(static_cast<std::size_t>(m * n) * sizeof(float));
      if (!partial) return out_of_memory();
    }
    const PackedSlice<T> slice{m, k, n, so, sa, sb, static_cast<float*>(partial.get())};
    BatchWalk<T, PackedSlice<T>>{out, a, b, batch_axes, slice}.run(0, out.data, a.data, b.data);
    return {};
  }
  const std::int64_t depth = std::max<std::int64_t>(k, 1);
  // b whole where the binary32 loop would read it whole from the cache,
  // else in column blocks of that size; a in blocks of rows.
  const std::int64_t panel = static_cast<std::int64_t>(kSmallPanelFloats);
  const std::int64_t block_cols = k * n <= panel ? n : std::min(n, std::max<std::int64_t>(16, panel / depth));
  // Whole multiples of kBlockRowStep keep the row tiles of every path full.
  const std::int64_t rows_in_budget = std::max<std::int64_t>(kBlockRowStep, kWidenedBlockFloats / depth);
  std::int64_t block_rows = m * k <= kWidenedBlockFloats ? m : std::min(m, rows_in_budget / kBlockRowStep * kBlockRowStep);
  block_rows = std::max<std::int64_t>(1, std::min(block_rows, panel / block_cols));
  const auto floats = static_cast<std::size_t>(block_rows * k + k * block_cols + block_rows * block_cols);
  RawBuffer scratch = allocate_buffer(floats * sizeof(float));
  if (!scratch) return out_of_memory();
  float* const wa = static_cast<float*>(scratch.get());
  float* const wb = wa + block_rows * k;
  const MatrixStrides block_a = dense_layout(sa, block_rows, k), block_b = dense_layout(sb, k, block_cols);
  const auto rows = static_cast<std::uint64_t>(block_rows), cols = static_cast<std::uint64_t>(block_cols);
  SlicePath path = choose_slice_path(rows, static_cast<std::uint64_t>(k), cols, block_a, block_b);
  if (whole == SlicePath::Dot || path == SlicePath::Dot) path = whole;
  const SliceProduct whole_block(rows, static_cast<std::uint64_t>(k), cols, {block_cols, 1}, block_a, block_b, path);
  if (auto prepared = whole_block.prepare(); !prepared) return prepared;
  const WidenedSlice<T> slice{m, k, n, so, sa, sb, block_rows, block_cols, path, wa, wb, wb + k * block_cols};
  BatchWalk<T, WidenedSlice<T>>{out, a, b, batch_axes, slice}.run(0, out.data, a.data, b.data);
  return {};
}

template <NumericElement T>
Result<void> batched_product(const StridedView<T>& out, const StridedView<const T>& a, const StridedView<const T>& b) {
  const std::size_t nd = out.ndim();
  const std::uint64_t k = a.shape[nd - 1];
  const std::uint64_t n = b.shape[nd - 1];
  // A batch axis along which b stays put while a and out carry on row after
  // row is more rows of one product: [4096, 8, 8] @ [8, 8] is one
  // 32768 x 8 x 8 product rather than 4096 tiny ones.
  std::size_t batch_axes = nd - 2;
  std::uint64_t m = a.shape[nd - 2];
  while (batch_axes > 0) {
    const std::size_t axis = batch_axes - 1;
    const auto step = static_cast<std::int64_t>(m);
    if (b.strides[axis] != 0 || a.strides[axis] != step * a.strides[nd - 2] ||
        out.strides[axis] != step * out.strides[nd - 2]) {
      break;
    }
    m *= out.shape[axis];
    --batch_axes;
  }
  if constexpr (std::same_as<T, float>) {
    const SliceProduct slice(m, k, n, matrix_strides(out), matrix_strides(a), matrix_strides(b));
    if (auto prepared = slice.prepare(); !prepared) return prepared;
    BatchWalk<float, SliceProduct>{out, a, b, batch_axes, slice}.run(0, out.data, a.data, b.data);
  } else {
    return product_16<T>(out, a, b, batch_axes, static_cast<std::int64_t>(m), static_cast<std::int64_t>(k),
                         static_cast<std::int64_t>(n));
  }
  return {};
}

// The steps of internal_linalg_matmul for any numeric element type.
template <NumericElement T>
Result<NdArray<T>> checked_product(const StridedView<const T>& a, const StridedView<const T>& b) {
  if (a.ndim() < 2 || b.ndim() < 2) {
    return kernel_fail("Matmul requires at least 2D tensors. A: " + std::to_string(a.ndim()) +
                       "D, B: " + std::to_string(b.ndim()) + "D");
  }
  const std::uint64_t m = a.shape[a.ndim() - 2];
  const std::uint64_t k = a.shape[a.ndim() - 1];
  const std::uint64_t k2 = b.shape[b.ndim() - 2];
  const std::uint64_t n = b.shape[b.ndim() - 1];
  if (k != k2) {
    return kernel_fail("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) + " vs " +
                       std::to_string(k2));
  }
  auto batch = broadcast_shapes(batch_of(a.shape), batch_of(b.shape));
  if (!batch) return std::unexpected(std::move(batch.error()));
  Shape to = with_matrix(*batch, m, n);
  // An empty result needs no operand views, which may be too large to
  // address even so ([2^60, 0, 3] @ [3, 4] reads b as [2^60, 3, 4]).
  if (checked_element_count(to) == std::uint64_t{0}) return NdArray<T>::uninitialized_row_major(std::move(to));

  const Shape ta = with_matrix(*batch, m, k);
  const Shape tb = with_matrix(*batch, k, n);
  auto va = broadcast_view(a, ta);
  if (!va) return kernel_fail("Broadcast failed for A to " + shape_to_string(ta));
  auto vb = broadcast_view(b, tb);
  if (!vb) return kernel_fail("Broadcast failed for B to " + shape_to_string(tb));
  if (!checked_element_count(to)) return kernel_fail("Matmul result shape " + shape_to_string(to) + " is too large");
  // Every slice product writes its whole slice, so no zero fill is needed.
  auto out = NdArray<T>::uninitialized_row_major(std::move(to));
  if (!out) return out;
  if (auto done = batched_product<T>(out->mutable_view(), *va, *vb); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return out;
}

}  // namespace

Result<NdArray<float>> internal_linalg_matmul(const StridedView<const float>& a, const StridedView<const float>& b) {
  return checked_product<float>(a, b);
}

Result<void> batched_matmul_recursive(const StridedView<float>& out, const StridedView<const float>& a,
                                      const StridedView<const float>& b) {
  return batched_product<float>(out, a, b);
}

// Every product of two 16-bit values is exact in F32 (at most 22
// significant bits); the sums round in F32 as for F32 operands, and each
// output element rounds once to T.
template <NumericElement T>
Result<NdArray<T>> MatmulOps<T>::do_matmul(const StridedView<const T>& a, const StridedView<const T>& b) {
  return checked_product<T>(a, b);
}

template struct MatmulOps<Half>;
template struct MatmulOps<BFloat16>;
template struct MatmulOps<float>;

}  // namespace vessik::numeric
