#pragma once
// The processor-feature record from which the kernel level is chosen
// (dispatch/level.h). It is read once per process, on first use, and only
// read afterwards.

namespace vessik {

struct CpuFeatures {
  // x86-64, each usable only when the processor has it and, for vector
  // state, the OS saves the registers.
  bool sse42 = false;
  bool popcnt = false;
  bool avx2 = false;
  bool fma = false;
  bool f16c = false;
  bool bmi1 = false;
  bool bmi2 = false;
  bool lzcnt = false;
  bool movbe = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512cd = false;
  bool avx512dq = false;
  bool avx512vl = false;
  bool avx512_bf16 = false;
  bool avx512_fp16 = false;
};

// Thread-safe: the first call reads the processor, later calls return the
// same record.
const CpuFeatures& cpu_features();

}  // namespace vessik
