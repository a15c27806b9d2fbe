#include "engine/cpu/array/buffer.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vessik {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kSmallBuffer = std::size_t{64} << 10;
}  // namespace

void BufferFree::operator()(void* p) const noexcept { std::free(p); }

RawBuffer allocate_buffer(std::size_t bytes) noexcept {
  if (bytes == 0) return RawBuffer{};
  // Small buffers come from plain malloc: its 16-byte alignment is enough for
  // unaligned vector loads, and aligned_alloc costs several times more,
  // which shows in the per-operation overhead of small tensors.
  if (bytes < kSmallBuffer) return RawBuffer{std::malloc(bytes)};
  const std::size_t align = bytes >= kHugeThreshold ? kHugePage : kCacheLine;
  if (bytes > SIZE_MAX - align) return RawBuffer{};
  const std::size_t rounded = (bytes + align - 1) / align * align;
  void* p = std::aligned_alloc(align, rounded);
  if (p != nullptr && align == kHugePage) madvise(p, rounded, MADV_HUGEPAGE);
  return RawBuffer{p};
}

}  // namespace vessik
