// Element-wise kernels at 4096 x 4096 through CpuStorage, at this process's
// kernel level (VESSIK_CPU_LEVEL caps it), beside a memcpy of the same bytes
// into a fresh buffer. Every operation returns a fresh result, so the page
// faults of the new buffer are part of each measurement, as they are of
// memcpy's here.
//
// Bytes counted per element: both inputs read and the result written (a
// broadcast row or a scalar counts nothing); memcpy counts read + write.

#include <benchmark/benchmark.h>

#include <cstring>

#include "engine/cpu/array/buffer.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

constexpr std::uint64_t kN = 4096;

template <Element T>
CpuStorage filled(const Shape& shape, float v) {
  return CpuStorage(NdArray<T>::filled(shape, static_cast<T>(v)).value());
}

template <Element T>
CpuStorage transposed_square(float v) {
  return *filled<T>({kN, kN}, v).transpose(0, 1);
}

template <Element T>
void report(benchmark::State& state, std::size_t bytes_per_element) {
  const auto elements = static_cast<std::int64_t>(kN * kN) * state.iterations();
  state.SetBytesProcessed(elements * static_cast<std::int64_t>(bytes_per_element));
  state.counters["ns/elem"] =
      benchmark::Counter(static_cast<double>(elements) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

template <Element T>
void BM_memcpy(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.0f);
  const std::size_t bytes = kN * kN * sizeof(T);
  for (auto _ : state) {
    RawBuffer out = allocate_buffer(bytes);
    std::memcpy(out.get(), a.get_if<T>()->data(), bytes);
    benchmark::DoNotOptimize(out.get());
  }
  report<T>(state, 2 * sizeof(T));
}

template <Element T>
void BM_add_contiguous(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.0f), b = filled<T>({kN, kN}, 2.0f);
  for (auto _ : state) benchmark::DoNotOptimize(a.add(b));
  report<T>(state, 3 * sizeof(T));
}

template <Element T>
void BM_add_broadcast(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.0f), b = filled<T>({kN}, 2.0f);
  for (auto _ : state) benchmark::DoNotOptimize(a.add(b));
  report<T>(state, 2 * sizeof(T));
}

template <Element T>
void BM_add_transposed(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.0f), b = transposed_square<T>(2.0f);
  for (auto _ : state) benchmark::DoNotOptimize(a.add(b));
  report<T>(state, 3 * sizeof(T));
}

template <Element T>
void BM_scalar_mul(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.5f);
  for (auto _ : state) benchmark::DoNotOptimize(a.scalar_mul(3.0f));
  report<T>(state, 2 * sizeof(T));
}

template <Element T>
void BM_relu(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, -1.5f);
  for (auto _ : state) benchmark::DoNotOptimize(a.relu());
  report<T>(state, 2 * sizeof(T));
}

template <Element T>
void BM_lt(benchmark::State& state) {
  const CpuStorage a = filled<T>({kN, kN}, 1.0f), b = filled<T>({kN, kN}, 2.0f);
  for (auto _ : state) benchmark::DoNotOptimize(a.lt(b));
  report<T>(state, 2 * sizeof(T) + 1);
}

#define VESSIK_BENCH_ALL(T)                                          \
  BENCHMARK(BM_memcpy<T>)->Unit(benchmark::kMillisecond);          \
  BENCHMARK(BM_add_contiguous<T>)->Unit(benchmark::kMillisecond);  \
  BENCHMARK(BM_add_broadcast<T>)->Unit(benchmark::kMillisecond);   \
  BENCHMARK(BM_add_transposed<T>)->Unit(benchmark::kMillisecond);  \
  BENCHMARK(BM_scalar_mul<T>)->Unit(benchmark::kMillisecond);      \
  BENCHMARK(BM_relu<T>)->Unit(benchmark::kMillisecond);            \
  BENCHMARK(BM_lt<T>)->Unit(benchmark::kMillisecond);

VESSIK_BENCH_ALL(float)
VESSIK_BENCH_ALL(Half)
VESSIK_BENCH_ALL(BFloat16)

}  // namespace
}  // namespace vessik
