#pragma once
// Transposition of a small tile by element size, for packing a transposed
// operand (see Note [Strided iteration]).

#include <cstddef>
#include <cstdint>

namespace vessik {

// dst[j * dst_ld + i] = src[i * src_ld + j] for i < rows, j < cols, in
// elements of `elem_size` bytes (1, 2, 4 or 8). The tiles do not overlap.
void transpose_tile(const void* src, std::int64_t src_ld, void* dst, std::int64_t dst_ld, std::int64_t rows,
                    std::int64_t cols, std::size_t elem_size);

}  // namespace vessik
