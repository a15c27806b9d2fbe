#include "engine/cpu/array/buffer.h"

#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdlib>

namespace vessik {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kSmallBuffer = std::size_t{64} << 10;

// Note [Recycled buffers]
// Every operation returns a fresh result, so a training step frees and
// allocates the same large buffers over and over. Left to glibc they cost
// page faults: our 2 MiB-aligned buffers come fresh from the kernel each
// time, which zeroes every page before the first write (for a [4096, 4096]
// result as much as the operation), and the smaller ones go back to the
// kernel whenever glibc trims its heap. Its trim threshold follows the
// largest mapping the process has freed, so which products paid for faults
// depended on what the thread had run before: [784, 256] ran 1.45x slower
// in a fresh process than after one [1024, 1024] product, 360 faults a call.
// So freed buffers from 64 KiB up are kept, at most kRecycledBytes in all,
// and handed out again for a request of the same rounded size. The slots
// are atomic pointers (no lock, so a fork in another thread cannot leave
// one held); a parked buffer stores its size in its own first bytes.
// Allocation failure releases them all before it is reported.
constexpr std::size_t kRecycledBytes = std::size_t{128} << 20;
constexpr std::size_t kRecycledSlots = 16;

std::array<std::atomic<void*>, kRecycledSlots> g_slots{};
std::atomic<std::size_t> g_recycled_bytes{0};
std::atomic<std::size_t> g_next_victim{0};

std::size_t parked_size(void* p) noexcept { return *static_cast<const std::size_t*>(p); }

void* take_recycled(std::size_t bytes) noexcept {
  for (auto& slot : g_slots) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    void* p = slot.exchange(nullptr, std::memory_order_acquire);
    if (p == nullptr) continue;
    const std::size_t size = parked_size(p);
    if (size == bytes) {
      g_recycled_bytes.fetch_sub(size, std::memory_order_relaxed);
      return p;
    }
    void* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, p, std::memory_order_release, std::memory_order_relaxed)) {
      g_recycled_bytes.fetch_sub(size, std::memory_order_relaxed);
      std::free(p);
    }
  }
  return nullptr;
}

void park(void* p, std::size_t bytes) noexcept {
  if (g_recycled_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes <= kRecycledBytes) {
    *static_cast<std::size_t*>(p) = bytes;
    for (auto& slot : g_slots) {
      void* expected = nullptr;
      if (slot.compare_exchange_strong(expected, p, std::memory_order_release, std::memory_order_relaxed)) return;
    }
    // Every slot is taken: the newest buffer displaces one in turn, so sizes
    // a program no longer uses do not hold the slots for good.
    const std::size_t victim = g_next_victim.fetch_add(1, std::memory_order_relaxed) % kRecycledSlots;
    if (void* old = g_slots[victim].exchange(p, std::memory_order_acq_rel)) {
      g_recycled_bytes.fetch_sub(parked_size(old), std::memory_order_relaxed);
      std::free(old);
    }
    return;
  }
  g_recycled_bytes.fetch_sub(bytes, std::memory_order_relaxed);
  std::free(p);
}

void* allocate_large(std::size_t align, std::size_t rounded) noexcept {
  void* p = std::aligned_alloc(align, rounded);
  if (p != nullptr && align == kHugePage) madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}
}  // namespace

void BufferFree::operator()(void* p) const noexcept {
  if (bytes != 0) {
    park(p, bytes);
  } else {
    std::free(p);
  }
}

void release_recycled_buffers() noexcept {
  for (auto& slot : g_slots) {
    if (void* p = slot.exchange(nullptr, std::memory_order_acquire)) {
      g_recycled_bytes.fetch_sub(parked_size(p), std::memory_order_relaxed);
      std::free(p);
    }
  }
}

RawBuffer allocate_buffer(std::size_t bytes) noexcept {
  if (bytes == 0) return RawBuffer{};
  // Small buffers come from plain malloc: its 16-byte alignment is enough for
  // unaligned vector loads, and aligned_alloc costs several times more,
  // which shows in the per-operation overhead of small tensors.
  if (bytes < kSmallBuffer) return RawBuffer{std::malloc(bytes)};
  const bool huge = bytes >= kHugeThreshold;
  const std::size_t align = huge ? kHugePage : kCacheLine;
  if (bytes > SIZE_MAX - align) return RawBuffer{};
  const std::size_t rounded = (bytes + align - 1) / align * align;
  void* p = take_recycled(rounded);
  if (p == nullptr) p = allocate_large(align, rounded);
  if (p == nullptr) {
    release_recycled_buffers();
    p = allocate_large(align, rounded);
  }
  return RawBuffer{p, BufferFree{p != nullptr ? rounded : 0}};
}

}  // namespace vessik
