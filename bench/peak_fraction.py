"""Fraction of this level's multiply-add peak that F32 products reach, with
vessik's own peak probe run beside each product, in alternating rounds of
thread CPU time: on a host whose speed drifts, a peak probed once before a
table (compare.py's "of peak" column) can be off by a tenth either way.

    python bench/peak_fraction.py --level baseline 1024 2048
    python bench/peak_fraction.py 256 1024x1024x64     # m x k x n

Prints the median over rounds of product rate / probe rate, and the best
product rate over the best probe rate. On a shared host the two part: other
tenants' traffic in the shared caches slows the product, never the probe,
which works in registers, so the best rounds are the ones to compare.
"""

import argparse
import os
import statistics
import time

parser = argparse.ArgumentParser()
parser.add_argument("--level", choices=("avx512", "avx2", "baseline"))
parser.add_argument("--rounds", type=int, default=15)
parser.add_argument("shapes", nargs="*", default=["1024"])
args = parser.parse_args()
if args.level:
    os.environ["VESSIK_CPU_LEVEL"] = args.level  # read when vessik loads

import numpy as np  # noqa: E402

import vessik as vs  # noqa: E402
import vessik._cpu  # noqa: E402

print(f"level {vessik._cpu.info()['level']}")
for shape in args.shapes:
    m, k, n = (int(x) for x in shape.split("x")) if "x" in shape else (int(shape),) * 3
    rng = np.random.default_rng(0)
    a = vs.Tensor(rng.standard_normal((m, k), dtype=np.float32))
    b = vs.Tensor(rng.standard_normal((k, n), dtype=np.float32))
    a @ b
    calls = max(1, int(3e8 / (2 * m * k * n)))  # about 0.3 GFLOP per round
    fractions, best_peak, best_rate = [], 0.0, 0.0
    for _ in range(args.rounds):
        start = time.thread_time()
        done = vessik._cpu.multiply_add_probe(1 << 21)
        peak = done / (time.thread_time() - start)
        start = time.thread_time()
        for _ in range(calls):
            a @ b
        rate = 2 * m * k * n * calls / (time.thread_time() - start)
        fractions.append(rate / peak)
        best_peak, best_rate = max(best_peak, peak), max(best_rate, rate)
    print(f"{m}x{k}x{n}: best {best_rate / best_peak:.2f} of peak ({best_rate / 1e9:.0f} of {best_peak / 1e9:.0f} "
          f"GFLOP/s); median round {statistics.median(fractions):.2f}")
