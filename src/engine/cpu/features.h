#pragma once
// The processor-feature record that selects the half-precision fast paths.
// It is read once per process, on first use, and only read afterwards.

namespace vessik {

struct CpuFeatures {
  // x86-64: enabled by the processor and, for vector state, by the OS.
  bool f16c = false;         // vcvtph2ps / vcvtps2ph
  bool avx2 = false;
  bool avx512f = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512fp16 = false;   // native binary16 arithmetic
  // 64-bit ARM: scalar and vector binary16 arithmetic (HWCAP_FPHP, HWCAP_ASIMDHP).
  bool fp16_arith = false;
};

// Thread-safe: the first call reads the processor, later calls return the
// same record.
const CpuFeatures& cpu_features();

}  // namespace vessik
