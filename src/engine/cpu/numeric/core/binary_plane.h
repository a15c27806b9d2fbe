#pragma once
// The typed loops of a binary element functor over the runs and planes of
// the strided walk (array/iterate.h).

#include <array>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/array/iterate.h"
#include "engine/cpu/array/stream.h"
#include "engine/cpu/array/transpose.h"
#include "engine/cpu/numeric/core/bulk_16bit.h"
#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "engine/cpu/numeric/core/transposed_f32.h"

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
