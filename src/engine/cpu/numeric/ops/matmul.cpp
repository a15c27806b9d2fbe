#include "engine/cpu/numeric/ops/matmul.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/cpu/half_convert.h"
#include "engine/cpu/numeric/ops/matmul_slice.h"
#include "engine/cpu/numeric/ops/mod.h"

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

// Walks the batch axes of three views in row-major order. Every slice shares
// sizes and strides, so one SliceProduct serves them all and only the three
// element pointers move.
struct BatchWalk {
  const StridedView<float>& out;
  const StridedView<const float>& a;
  const StridedView<const float>& b;
  std::size_t batch_axes;
  SliceProduct slice;

  void run(std::size_t axis, float* o, const float* pa, const float* pb) const {
    if (axis == batch_axes) {
      slice(o, pa, pb);
      return;
    }
    const std::int64_t len = static_cast<std::int64_t>(out.shape[axis]);
    if (axis + 1 == batch_axes) {
      // Along the innermost batch axis each slice is told where the next is.
      const std::int64_t sa = a.strides[axis], sb = b.strides[axis], so = out.strides[axis];
      for (std::int64_t i = 0; i < len; ++i) {
        const NextSlice next =
            i + 1 < len ? NextSlice{pa + (i + 1) * sa, pb + (i + 1) * sb, o + (i + 1) * so} : NextSlice{};
        slice(o + i * so, pa + i * sa, pb + i * sb, next);
      }
      return;
    }
    for (std::int64_t i = 0; i < len; ++i) {
      run(axis + 1, o + i * out.strides[axis], pa + i * a.strides[axis], pb + i * b.strides[axis]);
    }
  }
};

template <class T>
std::string axes_mismatch(const char* name, const StridedView<T>& v, std::size_t out_ndim) {
  return std::string("Failed to view ") + name + " as 2D: " + std::to_string(v.ndim()) + " axes against " +
         std::to_string(out_ndim) + " of Out";
}

}  // namespace

Result<void> batched_matmul_recursive(const StridedView<float>& out, const StridedView<const float>& a,
                                      const StridedView<const float>& b) {
  // The views come from internal_linalg_matmul, which makes these hold; they
  // are checked once here rather than trusted, as the function is public.
  const std::size_t nd = out.ndim();
  if (nd < 2) return kernel_fail("Failed to view Out as 2D: " + std::to_string(nd) + " axes");
  if (a.ndim() != nd) return kernel_fail(axes_mismatch("A", a, nd));
  if (b.ndim() != nd) return kernel_fail(axes_mismatch("B", b, nd));
  const std::uint64_t m = a.shape[nd - 2];
  const std::uint64_t k = a.shape[nd - 1];
  const std::uint64_t n = b.shape[nd - 1];
  const Shape batch = batch_of(out.shape);
  if (batch_of(a.shape) != batch || batch_of(b.shape) != batch || b.shape[nd - 2] != k || out.shape[nd - 2] != m ||
      out.shape[nd - 1] != n) {
    return kernel_fail("Matmul operands do not match the output: Out " + shape_to_string(out.shape) + ", A " +
                       shape_to_string(a.shape) + ", B " + shape_to_string(b.shape));
  }
  const SliceProduct slice(m, k, n, matrix_strides(out), matrix_strides(a), matrix_strides(b));
  const BatchWalk walk{out, a, b, nd - 2, slice};
  walk.run(0, out.data, a.data, b.data);
  return {};
}

Result<NdArray<float>> internal_linalg_matmul(const StridedView<const float>& a, const StridedView<const float>& b) {
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

  const Shape ta = with_matrix(*batch, m, k);
  const Shape tb = with_matrix(*batch, k, n);
  auto va = broadcast_view(a, ta);
  if (!va) return kernel_fail("Broadcast failed for A to " + shape_to_string(ta));
  auto vb = broadcast_view(b, tb);
  if (!vb) return kernel_fail("Broadcast failed for B to " + shape_to_string(tb));

  Shape to = with_matrix(*batch, m, n);
  if (!checked_element_count(to)) return kernel_fail("Matmul result shape " + shape_to_string(to) + " is too large");
  // Every slice product writes its whole slice, so no zero fill is needed.
  auto out = NdArray<float>::uninitialized_row_major(std::move(to));
  // An empty result has no slice to compute, but its other batch axes may
  // be enormous: walking them would take time for nothing.
  if (!out || out->size() == 0) return out;
  if (auto done = batched_matmul_recursive(out->mutable_view(), *va, *vb); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return out;
}

Result<NdArray<float>> internal_linalg_matmul(const NdArray<float>& a, const NdArray<float>& b) {
  return internal_linalg_matmul(a.view(), b.view());
}

namespace {

void widen_elements(const Half* src, float* dst, std::size_t n) { widen_f16(src, dst, n); }
void widen_elements(const BFloat16* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i]);
}
void narrow_elements(const float* src, Half* dst, std::size_t n) { narrow_f16(src, dst, n); }
void narrow_elements(const float* src, BFloat16* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = BFloat16(src[i]);
}

// Storage buffers are dense in some axis order, so converting the buffer as
// one flat run and keeping the strides converts every element in one pass.
template <class To, class From>
Result<NdArray<To>> convert(const NdArray<From>& src) {
  auto dst = NdArray<To>::uninitialized(src.shape(), src.strides());
  if (!dst) return dst;
  if constexpr (std::same_as<To, float>) {
    widen_elements(src.data(), dst->data(), src.size());
  } else {
    narrow_elements(src.data(), dst->data(), src.size());
  }
  return dst;
}

}  // namespace

// Every product of two 16-bit values is exact in F32 (at most 22 significant
// bits); the sums round in F32 as for F32 operands, and each output element
// rounds once to T.
template <NumericElement T>
Result<NdArray<T>> MatmulOps<T>::do_matmul(const NdArray<T>& a, const NdArray<T>& b) {
  auto wa = convert<float>(a);
  if (!wa) return std::unexpected(std::move(wa.error()));
  auto wb = convert<float>(b);
  if (!wb) return std::unexpected(std::move(wb.error()));
  auto product = internal_linalg_matmul(*wa, *wb);
  if (!product) return std::unexpected(std::move(product.error()));
  return convert<T>(*product);
}

template struct MatmulOps<Half>;
template struct MatmulOps<BFloat16>;

template <NumericElement T>
Result<NdArray<float>> widen_to_f32(const NdArray<T>& a) {
  return convert<float>(a);
}
template <NumericElement T>
Result<NdArray<T>> narrow_from_f32(const NdArray<float>& a) {
  return convert<T>(a);
}

template Result<NdArray<float>> widen_to_f32(const NdArray<Half>&);
template Result<NdArray<float>> widen_to_f32(const NdArray<BFloat16>&);
template Result<NdArray<Half>> narrow_from_f32(const NdArray<float>&);
template Result<NdArray<BFloat16>> narrow_from_f32(const NdArray<float>&);

}  // namespace vessik::numeric
