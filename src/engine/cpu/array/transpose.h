#pragma once
// Transposition of a small tile by element size, for packing a transposed
// operand (see Note [Strided iteration]).

#include <cstddef>
#include <cstdint>

#include "engine/cpu/array/buffer.h"
#include "engine/cpu/array/iterate.h"

namespace vessik {

// dst[j * dst_ld + i] = src[i * src_ld + j] for i < rows, j < cols, in
// elements of `elem_size` bytes (1, 2, 4 or 8). The tiles do not overlap.
void transpose_tile(const void* src, std::int64_t src_ld, void* dst, std::int64_t dst_ld, std::int64_t rows,
                    std::int64_t cols, std::size_t elem_size);

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

}  // namespace vessik
