#include "engine/cpu/array/transpose_tile.h"

#include <cstring>

#include "engine/cpu/array/register_block.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vessik {

namespace {

// Elements are moved as bytes: the tile may hold any type of that size.
template <std::size_t S>
void transpose_scalar(const std::byte* src, std::int64_t src_ld, std::byte* dst, std::int64_t dst_ld, std::int64_t i0,
                      std::int64_t rows, std::int64_t j0, std::int64_t cols) {
  for (std::int64_t j = j0; j < cols; ++j) {
    for (std::int64_t i = i0; i < rows; ++i) std::memcpy(dst + (j * dst_ld + i) * S, src + (i * src_ld + j) * S, S);
  }
}

// Full B x B blocks through `block`, the ragged edges element by element.
template <std::size_t S, std::int64_t B, class Block>
void transpose_blocked(const std::byte* src, std::int64_t src_ld, std::byte* dst, std::int64_t dst_ld,
                       std::int64_t rows, std::int64_t cols, Block block) {
  const std::int64_t rb = rows / B * B;
  const std::int64_t cb = cols / B * B;
  for (std::int64_t i = 0; i < rb; i += B) {
    for (std::int64_t j = 0; j < cb; j += B) {
      block(src + (i * src_ld + j) * S, src_ld * S, dst + (j * dst_ld + i) * S, dst_ld * S);
    }
  }
  transpose_scalar<S>(src, src_ld, dst, dst_ld, rb, rows, 0, cols);  // bottom rows, every column
  transpose_scalar<S>(src, src_ld, dst, dst_ld, 0, rb, cb, cols);    // right columns of the blocked rows
}

#if defined(__SSE2__)

// A square block of N by N four-byte elements through N registers, a row in
// each (strides in bytes): at avx512, sixteen cache lines in and out.
template <int N>
void block_f32(const std::byte* s, std::int64_t sld, std::byte* d, std::int64_t dld) {
  F32Lanes<N> r[N];
  for (int k = 0; k < N; ++k) r[k] = *reinterpret_cast<const UnalignedF32Lanes<N>*>(s + k * sld);
  transpose_block(r);
  for (int k = 0; k < N; ++k) *reinterpret_cast<UnalignedF32Lanes<N>*>(d + k * dld) = r[k];
}

void block8x8(const std::byte* s, std::int64_t sld, std::byte* d, std::int64_t dld) {
  __m128i r[8];
  for (int k = 0; k < 8; ++k) r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k * sld));
  // Interleave 16-bit, then 32-bit, then 64-bit lanes.
  const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
  const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
  const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
  const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
  const __m128i out[8] = {_mm_unpacklo_epi64(b0, b4), _mm_unpackhi_epi64(b0, b4), _mm_unpacklo_epi64(b1, b5),
                          _mm_unpackhi_epi64(b1, b5), _mm_unpacklo_epi64(b2, b6), _mm_unpackhi_epi64(b2, b6),
                          _mm_unpacklo_epi64(b3, b7), _mm_unpackhi_epi64(b3, b7)};
  for (int k = 0; k < 8; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + k * dld), out[k]);
}

#endif

}  // namespace

void transpose_tile(const void* src, std::int64_t src_ld, void* dst, std::int64_t dst_ld, std::int64_t rows,
                    std::int64_t cols, std::size_t elem_size) {
  const auto* s = static_cast<const std::byte*>(src);
  auto* d = static_cast<std::byte*>(dst);
  switch (elem_size) {
    case 1:
      transpose_scalar<1>(s, src_ld, d, dst_ld, 0, rows, 0, cols);
      return;
    case 2:
#if defined(__SSE2__)
      transpose_blocked<2, 8>(s, src_ld, d, dst_ld, rows, cols, block8x8);
#else
      transpose_scalar<2>(s, src_ld, d, dst_ld, 0, rows, 0, cols);
#endif
      return;
    case 4:
#if defined(__SSE2__)
#if defined(__AVX512F__)
      transpose_blocked<4, 16>(s, src_ld, d, dst_ld, rows, cols, block_f32<16>);
#else
      transpose_blocked<4, 4>(s, src_ld, d, dst_ld, rows, cols, block_f32<4>);
#endif
#else
      transpose_scalar<4>(s, src_ld, d, dst_ld, 0, rows, 0, cols);
#endif
      return;
    default:
      transpose_scalar<8>(s, src_ld, d, dst_ld, 0, rows, 0, cols);
      return;
  }
}

}  // namespace vessik
