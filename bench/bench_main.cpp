// The benchmarks' entry point: Google Benchmark's, with the kernel level the
// run measured in its context.

#include <benchmark/benchmark.h>

#include "engine/cpu/dispatch/kernel_table.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("vessik_cpu_level", vessik::level_name(vessik::kernels().level));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
