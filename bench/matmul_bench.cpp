// The matrix product through CpuStorage::matmul at this process's kernel
// level (VESSIK_CPU_LEVEL caps it), beside the throughput of a plain FMA
// loop in that level's instructions measured in the same run: `of_peak` is
// each product's GFLOP/s over that loop's. Every product allocates its
// result, as the engine always does.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

// Thread CPU time: the machine is shared, and the peak and the products
// must be measured on the same clock to be compared.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Twelve independent chains of multiply-adds, each one register of `Bytes`:
// enough in flight to keep every FMA port busy, with the operands in
// registers.
template <int Bytes>
struct LanesOf {
  typedef float type __attribute__((vector_size(Bytes)));
};

template <int Bytes>
[[gnu::always_inline]] inline double fma_chains(std::int64_t iterations) {
  using Lanes = typename LanesOf<Bytes>::type;
  constexpr int kLanes = Bytes / 4;
  Lanes acc[12];
  for (int i = 0; i < 12; ++i) acc[i] = Lanes{} + static_cast<float>(i);
  Lanes x = Lanes{} + 0.999f, y = Lanes{} + 1e-7f;
  benchmark::DoNotOptimize(x);
  benchmark::DoNotOptimize(y);
  const double t0 = cpu_seconds();
  for (std::int64_t it = 0; it < iterations; ++it) {
#pragma GCC unroll 12
    for (int i = 0; i < 12; ++i) acc[i] = acc[i] * x + y;
  }
  const double seconds = cpu_seconds() - t0;
  for (int i = 0; i < 12; ++i) benchmark::DoNotOptimize(acc[i]);
  return static_cast<double>(iterations) * 12 * kLanes * 2 * 1e-9 / seconds;
}

// The loop in the registers and instructions of the level the products run
// at (the build itself targets the baseline).
double fma_loop_baseline(std::int64_t iterations) { return fma_chains<16>(iterations); }
#if defined(__x86_64__)
[[gnu::target("arch=x86-64-v3")]] double fma_loop_avx2(std::int64_t iterations) { return fma_chains<32>(iterations); }
[[gnu::target("arch=x86-64-v4")]] double fma_loop_avx512(std::int64_t iterations) { return fma_chains<64>(iterations); }
#endif

double fma_loop_gflops(std::int64_t iterations) {
  switch (kernels().level) {
#if defined(__x86_64__)
    case CpuLevel::Avx512: return fma_loop_avx512(iterations);
    case CpuLevel::Avx2: return fma_loop_avx2(iterations);
#endif
    default: return fma_loop_baseline(iterations);
  }
}

// Best of a few runs, measured once per process.
double peak_gflops() {
  static const double peak = [] {
    double best = 0;
    for (int i = 0; i < 5; ++i) best = std::max(best, fma_loop_gflops(20'000'000));
    return best;
  }();
  return peak;
}

void BM_fma_peak(benchmark::State& state) {
  double gflops = 0;
  for (auto _ : state) gflops = std::max(gflops, fma_loop_gflops(20'000'000));
  state.counters["GFLOP/s"] = gflops;
}

template <Element T>
CpuStorage filled(const Shape& shape, float v) {
  return CpuStorage(NdArray<T>::filled(shape, static_cast<T>(v)).value());
}

// Runs `product` under the benchmark loop and reports its rate.
template <class Product>
void run_products(benchmark::State& state, double flops_per_product, Product product) {
  const double peak = peak_gflops();
  const double t0 = cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(product());
  const double gflops = flops_per_product * 1e-9 * static_cast<double>(state.iterations()) / (cpu_seconds() - t0);
  state.counters["GFLOP/s"] = gflops;
  state.counters["of_peak"] = gflops / peak;
}

template <Element T>
void BM_square(benchmark::State& state) {
  const auto n = static_cast<std::uint64_t>(state.range(0));
  const CpuStorage a = filled<T>({n, n}, 0.5f), b = filled<T>({n, n}, 0.25f);
  run_products(state, 2.0 * double(n) * double(n) * double(n), [&] { return a.matmul(b); });
}

// The right operand transposed: read through its strides, never copied.
void BM_square_transposed_rhs(benchmark::State& state) {
  const auto n = static_cast<std::uint64_t>(state.range(0));
  const CpuStorage a = filled<float>({n, n}, 0.5f);
  const CpuStorage b = *filled<float>({n, n}, 0.25f).transpose(0, 1);
  run_products(state, 2.0 * double(n) * double(n) * double(n), [&] { return a.matmul(b); });
}

// [4096, 8, 8] @ [8, 8]: one broadcast right operand, 4096 tiny slices.
void BM_batch_tiny(benchmark::State& state) {
  const CpuStorage a = filled<float>({4096, 8, 8}, 0.5f), b = filled<float>({8, 8}, 0.25f);
  const double t0 = cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(a.matmul(b));
  state.counters["ns/slice"] = (cpu_seconds() - t0) * 1e9 / (4096.0 * static_cast<double>(state.iterations()));
}

// [256, 64, 64] @ [256, 64, 64].
void BM_batch_64(benchmark::State& state) {
  const CpuStorage a = filled<float>({256, 64, 64}, 0.5f), b = filled<float>({256, 64, 64}, 0.25f);
  run_products(state, 256 * 2.0 * 64 * 64 * 64, [&] { return a.matmul(b); });
}

// The machine is shared: each product runs a few times, and the min and max
// lines give the best run of each counter (max GFLOP/s, min ns/slice).
void repeated(benchmark::internal::Benchmark* b) {
  b->Repetitions(4)->ReportAggregatesOnly(true);
  b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
  b->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

BENCHMARK(BM_fma_peak)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_square<float>)
    ->Name("BM_square_f32")
    ->Arg(1024)
    ->Arg(2048)
    ->Unit(benchmark::kMillisecond)
    ->Apply(repeated);
BENCHMARK(BM_square_transposed_rhs)->Arg(1024)->Unit(benchmark::kMillisecond)->Apply(repeated);
BENCHMARK(BM_square<Half>)->Name("BM_square_f16")->Arg(1024)->Unit(benchmark::kMillisecond)->Apply(repeated);
BENCHMARK(BM_square<BFloat16>)->Name("BM_square_bf16")->Arg(1024)->Unit(benchmark::kMillisecond)->Apply(repeated);
BENCHMARK(BM_batch_tiny)->Unit(benchmark::kMicrosecond)->Apply(repeated);
BENCHMARK(BM_batch_64)->Unit(benchmark::kMillisecond)->Apply(repeated);

}  // namespace
}  // namespace vessik
