#pragma once
// The typed loops of a binary element functor over the runs and planes of
// the strided walk (array/iterate.h).

#include <array>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/array/buffer.h"
#include "engine/cpu/array/iterate.h"
#include "engine/cpu/array/register_block.h"
#include "engine/cpu/array/stream.h"
#include "engine/cpu/array/transpose_tile.h"
#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/core/tensor_ops.h"

namespace vessik::loops {

// One run of a binary element functor over element type T: 16-bit arithmetic
// through binary32 in bulk, everything else element by element.
template <class Op, class O, class T>
inline void binary_run(O* o, std::int64_t so, const T* a, std::int64_t sa, const T* b, std::int64_t sb,
                       std::int64_t n, Op op) {
  if constexpr (Op::arithmetic && HalfElement<T>) {
    const std::int64_t done = so == 1 && sa == 1 && (sb == 1 || sb == 0) ? arith16_unit(o, a, b, sb, n, op) : 0;
    arith16(o + done, so, a + done, sa, b + done * sb, sb, n - done, [op](float x, float y) { return op(x, y); });
  } else {
    zip(o, so, a, sa, b, sb, n, op);
  }
}

#if defined(__SSE2__)
// Note [Transposed binary32 arithmetic]
// F32 arithmetic and comparisons with one transposed operand skip the packed
// tile: each block of the transposed operand, as many rows as a vector
// register has lanes (16 x 16 with AVX-512, 8 x 8 with AVX, 4 x 4 with SSE),
// is read a register per row, transposed in registers and combined with the
// other operand's row pieces at once. Comparisons take this path with
// AVX-512 only, where a block's bools convert in one instruction; the other
// levels pack their tile. Arithmetic writes sixteen whole lines of the
// result per block; a comparison gathers four blocks' bools so that each row
// again gets a whole line. Nothing goes through memory between the loads and
// the combination, which the packed tile's extra pass costs. Each block also
// asks for the next line of each of its rows, which the next strip reads: a
// [4096, 4096] `a.T + b` takes 1.7 to 1.9 times the contiguous sum, against
// 2.2 packed and 2.0 without asking. Each lane is the element functor's
// operation (TensorOps<float> for arithmetic), so the values are those of
// the general walk.

// v[k] = elements (i0 .. i0 + kBlock - 1, j0 + k) of t, whose (i, j) is
// t[i * step + j].
inline void load_transposed_block(const float* t, std::int64_t t_step, std::int64_t i0, std::int64_t j0,
                                  F32Vector (&v)[kBlock]) {
  for (int k = 0; k < kBlock; ++k) {
    const float* const line = t + (i0 + k) * t_step + j0;
    v[k] = load_f32(line);
    // The next line of the same row, for the next strip: the hardware
    // prefetchers do not follow a tile's 256 rows at once.
    prefetch_ahead(line, kBlock, 64);
  }
  transpose_block(v);
}

template <bool ATransposed, bool Stream, class Op>
void transposed_blocks_f32(float* o, const float* t, std::int64_t t_step, const float* r, std::int64_t r_row,
                           std::int64_t o_row, std::int64_t n0, std::int64_t n1, Op op) {
  for (std::int64_t j0 = 0; j0 + kBlock <= n1; j0 += kBlock) {
    for (std::int64_t i0 = 0; i0 + kBlock <= n0; i0 += kBlock) {
      F32Vector v[kBlock];
      load_transposed_block(t, t_step, i0, j0, v);
      for (int k = 0; k < kBlock; ++k) {
        const auto x = reinterpret_cast<F32Vector>(v[k]);
        const auto y = reinterpret_cast<F32Vector>(load_f32(r + (j0 + k) * r_row + i0));
        const auto z = reinterpret_cast<F32Vector>(ATransposed ? op(x, y) : op(y, x));
        float* const p = o + (j0 + k) * o_row + i0;
        if constexpr (Stream) {
          stream_f32(p, z);
        } else {
          store_f32(p, z);
        }
      }
    }
  }
}

#if defined(__AVX512F__)
// Sixteen bools (bytes 0 or 1) from a lane-wise comparison of block row k.
template <bool ATransposed, class Op>
inline __m128i compare_row(const __m512 (&v)[16], int k, const float* r_piece, Op op) {
  const auto x = reinterpret_cast<F32Vector>(v[k]);
  const auto y = reinterpret_cast<F32Vector>(_mm512_loadu_ps(r_piece));
  const auto lanes = ATransposed ? op(x, y) : op(y, x);
  // GCC 12's header fills the unused destination from _mm_undefined_si128().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  return _mm512_cvtepi32_epi8(reinterpret_cast<__m512i>(lanes & 1));
#pragma GCC diagnostic pop
}

template <bool ATransposed, bool Stream, class Op>
void transposed_blocks_f32(bool* o, const float* t, std::int64_t t_step, const float* r, std::int64_t r_row,
                           std::int64_t o_row, std::int64_t n0, std::int64_t n1, Op op) {
  for (std::int64_t j0 = 0; j0 + 16 <= n1; j0 += 16) {
    std::int64_t i0 = 0;
    for (; i0 + 64 <= n0; i0 += 64) {
      alignas(64) std::uint8_t lines[16][64];
      for (int q = 0; q < 4; ++q) {
        __m512 v[16];
        load_transposed_block(t, t_step, i0 + 16 * q, j0, v);
        for (int k = 0; k < 16; ++k) {
          const __m128i bytes = compare_row<ATransposed>(v, k, r + (j0 + k) * r_row + i0 + 16 * q, op);
          _mm_store_si128(reinterpret_cast<__m128i*>(&lines[k][16 * q]), bytes);
        }
      }
      for (int k = 0; k < 16; ++k) {
        auto* const p = reinterpret_cast<__m512i*>(o + (j0 + k) * o_row + i0);
        const __m512i line = _mm512_load_si512(lines[k]);
        if constexpr (Stream) {
          _mm512_stream_si512(p, line);
        } else {
          _mm512_storeu_si512(p, line);
        }
      }
    }
    for (; i0 + 16 <= n0; i0 += 16) {
      __m512 v[16];
      load_transposed_block(t, t_step, i0, j0, v);
      for (int k = 0; k < 16; ++k) {
        const __m128i bytes = compare_row<ATransposed>(v, k, r + (j0 + k) * r_row + i0, op);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + (j0 + k) * o_row + i0), bytes);
      }
    }
  }
}

#endif

// Element (i, j) of the plane is at i * s0 + j * s1 for each operand. O is
// float for arithmetic, bool for comparisons.
// Note [Transposed binary32 arithmetic] tells when this path serves.
template <class Op, class O>
bool transposed_plane_f32(O* o, const float* a, const float* b, const std::array<std::int64_t, 3>& s0,
                          std::int64_t n0, const std::array<std::int64_t, 3>& s1, std::int64_t n1, Op op,
                          bool stream) {
  const bool a_transposed = s1[1] == 1 && s0[1] > 1 && s0[2] == 1;
  const bool b_transposed = s1[2] == 1 && s0[2] > 1 && s0[1] == 1;
  if (s0[0] != 1 || a_transposed == b_transposed) return false;
  // The transposed operand's (i, j) is at t[i * step + j], the other's at
  // r[j * row + i]. Streaming stores need every block row 64-byte aligned.
  const bool aligned = reinterpret_cast<std::uintptr_t>(o) % 64 == 0 && s1[0] * sizeof(O) % 64 == 0;
  auto blocks = [&]<bool Stream>() {
    if (a_transposed) {
      transposed_blocks_f32<true, Stream>(o, a, s0[1], b, s1[2], s1[0], n0, n1, op);
    } else {
      transposed_blocks_f32<false, Stream>(o, b, s0[2], a, s1[1], s1[0], n0, n1, op);
    }
  };
  if (stream && aligned) {
    blocks.template operator()<true>();
  } else {
    blocks.template operator()<false>();
  }
  // The ragged right and bottom edges, element by element.
  const std::int64_t i_blocks = n0 / kBlock * kBlock, j_blocks = n1 / kBlock * kBlock;
  for (std::int64_t j = 0; j < n1; ++j) {
    for (std::int64_t i = j < j_blocks ? i_blocks : 0; i < n0; ++i) {
      o[j * s1[0] + i] = op(a[i * s0[1] + j * s1[1]], b[i * s0[2] + j * s1[2]]);
    }
  }
  return true;
}

#endif

// Scratch for packed tiles, allocated on a kernel's first packed tile (small
// arrays never tile). On the heap, since kernels may run on threads with
// small stacks; when memory is short the tile is walked unpacked instead.
class TileScratch {
 public:
  // Two tiles of `elem_size`-byte elements, or null.
  void* get(std::size_t elem_size) {
    if (!buffer_ && !failed_) {
      buffer_ = allocate_buffer(2 * static_cast<std::size_t>(kTileElements) * elem_size);
      failed_ = !buffer_;
    }
    return buffer_.get();
  }

 private:
  RawBuffer buffer_;
  bool failed_ = false;
};

// Copies a tile that is contiguous along its outer axis into `buf` in the
// order of the inner axis: buf[j * n0 + i] = src[i * step + j]. The blocks of
// the transposition read whole cache lines of the source.
template <class T>
inline const T* pack_tile(const T* src, std::int64_t step, std::int64_t n0, std::int64_t n1, T* buf) {
  transpose_tile(src, step, buf, n0, n0, n1, sizeof(T));
  return buf;
}

// One plane of the strided walk (see Note [Strided iteration]): rows of the
// inner axis. An input that is contiguous along the outer axis instead (a
// transposed operand inside a tile) is packed first, so every row reads
// unit-stride memory.
// With `stream`, rows of a unit-stride result go out through fill_streamed;
// the caller fences once after the walk.
template <class Op, class O, class T>
void binary_plane(O* o, const T* a, const T* b, const std::array<std::int64_t, 3>& s0, std::int64_t n0,
                  const std::array<std::int64_t, 3>& s1, std::int64_t n1, Op op, TileScratch& scratch,
                  bool stream) {
  const bool small = n1 > 1 && n0 * n1 <= kTileElements;
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, float> && (std::is_same_v<O, float> || kBlock == 16)) {
    if (small && transposed_plane_f32(o, a, b, s0, n0, s1, n1, op, stream)) return;
  }
#endif
  bool pack_a = small && s0[1] > 1 && s1[1] == 1;
  bool pack_b = small && s0[2] > 1 && s1[2] == 1;
  T* tiles = (pack_a || pack_b) ? static_cast<T*>(scratch.get(sizeof(T))) : nullptr;
  if (tiles == nullptr) pack_a = pack_b = false;
  std::int64_t sa0 = s0[1], sa1 = s1[1], sb0 = s0[2], sb1 = s1[2];
  if (pack_a) {
    a = pack_tile(a, s0[1], n0, n1, tiles);
    sa0 = 1;
    sa1 = n0;
  }
  if (pack_b) {
    b = pack_tile(b, s0[2], n0, n1, tiles + kTileElements);
    sb0 = 1;
    sb1 = n0;
  }
  for (std::int64_t j = 0; j < n1; ++j) {
    const T* const ra = a + j * sa1;
    const T* const rb = b + j * sb1;
    if (stream && s0[0] == 1) {
      // Unit-stride lines skip zip's stride tests: the operand loads that
      // the compiler hoists above those tests stall every line.
      if (!(Op::arithmetic && HalfElement<T>) && sa0 == 1 && sb0 == 1) {
        auto line = [&](O* dst, std::int64_t first, std::int64_t count) {
          zip_unit(dst, ra + first, rb + first, count, op);
        };
        // A tile's rows are too short to be worth asking ahead for.
        if (small) {
          fill_streamed(o + j * s1[0], n0, line);
        } else {
          fill_streamed(o + j * s1[0], n0, line, ra, rb);
        }
      } else {
        fill_streamed(o + j * s1[0], n0, [&](O* dst, std::int64_t first, std::int64_t count) {
          binary_run(dst, 1, ra + first * sa0, sa0, rb + first * sb0, sb0, count, op);
        });
      }
    } else {
      binary_run(o + j * s1[0], s0[0], ra, sa0, rb, sb0, n0, op);
    }
  }
}

}  // namespace vessik::loops
