#include "engine/cpu/array/stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__AVX512F__)
#include <immintrin.h>
#define VESSIK_STREAM_STORES 1
#endif

namespace vessik {

// Note [Streaming results]
// A plain store first reads its cache line from memory (a read for
// ownership), so a kernel whose operands and result do not fit in the cache
// moves the result's bytes twice. The kernel instead fills a small chunk
// that stays in the first-level cache (for binary32 results, one cache line
// in a register: loops::fill_streamed) and writes it out with non-temporal
// stores, which move the bytes once: a [4096, 4096] F32 sum takes about 30 %
// less time. Only whole 64-byte stores pay off (16-byte ones measured no
// faster than plain stores), so only the avx512 kernel level streams. Below the threshold the
// result is better left in the cache for the next operation to read.
namespace {
constexpr std::size_t kStreamThreshold = std::size_t{32} << 20;
constexpr std::size_t kLine = 64;

#ifdef VESSIK_STREAM_STORES
void stream_lines(unsigned char* d, const unsigned char* s, std::size_t lines) {
  for (std::size_t i = 0; i < lines; ++i) {
    _mm512_stream_si512(reinterpret_cast<__m512i*>(d + i * kLine),
                        _mm512_loadu_si512(reinterpret_cast<const void*>(s + i * kLine)));
  }
}
#endif
}  // namespace

bool worth_streaming(std::size_t touched_bytes) noexcept {
#ifdef VESSIK_STREAM_STORES
  return touched_bytes >= kStreamThreshold;
#else
  (void)touched_bytes;
  return false;
#endif
}

void stream_store(void* dst, const void* src, std::size_t bytes) noexcept {
#ifdef VESSIK_STREAM_STORES
  auto* d = static_cast<unsigned char*>(dst);
  const auto* s = static_cast<const unsigned char*>(src);
  const std::size_t head = std::min(bytes, (kLine - reinterpret_cast<std::uintptr_t>(d) % kLine) % kLine);
  std::memcpy(d, s, head);
  d += head;
  s += head;
  bytes -= head;
  const std::size_t lines = bytes / kLine;
  stream_lines(d, s, lines);
  std::memcpy(d + lines * kLine, s + lines * kLine, bytes - lines * kLine);
#else
  std::memcpy(dst, src, bytes);
#endif
}

void stream_fence() noexcept {
#ifdef VESSIK_STREAM_STORES
  _mm_sfence();
#endif
}

}  // namespace vessik
