"""vessik side by side with NumPy and PyTorch, single-threaded, interleaved.

Each round times every library once on the same workload, in turn; the
figure reported is the median over rounds of the per-round ratio
vessik / anchor, which cancels most of the noise of a shared machine.

    python bench/compare.py                  # full table at the level vessik chooses
    python bench/compare.py --level avx2     # vessik and its peers as on an AVX2 processor
    python bench/compare.py --level avx2 --write   # ... and its table into BENCHMARKS.md
    python bench/compare.py --smoke          # tiny sizes, a few rounds: keeps the code from rotting

With --level, every library is held to that instruction-set level before it
is imported, so the ratios are those of a processor of that level: vessik
through VESSIK_CPU_LEVEL, NumPy's own loops through NPY_DISABLE_CPU_FEATURES,
its OpenBLAS through OPENBLAS_CORETYPE, PyTorch through ATEN_CPU_CAPABILITY and,
for its matrix products, MKL_ENABLE_INSTRUCTIONS and ONEDNN_MAX_CPU_ISA.
"""

from __future__ import annotations

import os
import sys

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_var] = "1"

# Per level: (NumPy features to disable, OpenBLAS core type, PyTorch capability,
# MKL instructions, oneDNN ISA).
_AVX512 = "AVX512F AVX512CD AVX512_KNL AVX512_KNM AVX512_SKX AVX512_CLX AVX512_CNL AVX512_ICL AVX512_SPR"
PEER_LEVELS = {
    "avx512": ("", None, "avx512", None, None),
    "avx2": (_AVX512, "Haswell", "avx2", "AVX2", "AVX2"),
    "baseline": (_AVX512 + " AVX AVX2 FMA3 F16C", "Nehalem", "default", "SSE4_2", "SSE41"),
}
# The OpenBLAS core types whose kernels stay within each level.
CORE_TYPES = {"avx512": ("Cooperlake", "SkylakeX", "Zen", "Haswell"), "avx2": ("Zen", "Haswell"), "baseline": ()}


def _level_from_argv(argv):
    for i, arg in enumerate(argv):
        if arg == "--level" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--level="):
            return arg.split("=", 1)[1]
    return None


# The environment must be set before NumPy, PyTorch and vessik are imported.
LEVEL = _level_from_argv(sys.argv)
if LEVEL is not None:
    if LEVEL not in PEER_LEVELS:
        sys.exit(f"--level must be one of {', '.join(PEER_LEVELS)}")
    os.environ["VESSIK_CPU_LEVEL"] = LEVEL
    _disable, _coretype, _aten, _mkl, _onednn = PEER_LEVELS[LEVEL]
    if _disable:
        os.environ["NPY_DISABLE_CPU_FEATURES"] = _disable
    if _coretype:
        os.environ["OPENBLAS_CORETYPE"] = _coretype
    os.environ["ATEN_CPU_CAPABILITY"] = _aten
    if _mkl:
        os.environ["MKL_ENABLE_INSTRUCTIONS"] = _mkl
        os.environ["ONEDNN_MAX_CPU_ISA"] = _onednn

import argparse
import json
import platform
import resource
import statistics
import subprocess
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

import steps as training_steps
import vessik as vs
import vessik._cpu
from vessik.nn.functional import relu

try:
    import torch

    torch.set_num_threads(1)
except ImportError:  # PyTorch is optional
    torch = None


@dataclass
class Workload:
    name: str
    vessik: Callable[[], object]
    numpy: Callable[[], object] | None = None
    torch: Callable[[], object] | None = None
    anchor: str = "best"  # "numpy", "torch", "best" (faster peer), or a key of `extra`
    target: float = 1.0
    extra: dict[str, Callable[[], object]] = field(default_factory=dict)
    extra_target: dict[str, float] = field(default_factory=dict)
    fastest_numpy_ratio: float | None = None  # vessik / NumPy on its fastest BLAS kernel, measured apart
    flops: int = 0  # floating-point operations per call, for the fraction of peak


def time_call(fn, budget):
    """Seconds per call: repeat until `budget` seconds have passed."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget:
            return elapsed / n
        n = max(n * 2, int(n * budget / max(elapsed, 1e-9)))


def run(workload, rounds, budget):
    contenders = {"vessik": workload.vessik}
    if workload.numpy is not None:
        contenders["numpy"] = workload.numpy
    if workload.torch is not None and torch is not None:
        contenders["torch"] = workload.torch
    contenders.update(workload.extra)
    for fn in contenders.values():  # warm-up
        fn()
    times = {k: [] for k in contenders}
    for _ in range(rounds):
        for k, fn in contenders.items():
            times[k].append(time_call(fn, budget))
    return times


def median_ratio(a, b):
    return statistics.median(x / y for x, y in zip(a, b))


def against_fastest_numpy(n, smoke):
    """vessik's n x n product against NumPy's on each OpenBLAS core type
    within the level, side by side: (the core type vessik compares worst
    with, that ratio, and that core type's speed-up over NumPy's own choice).

    The core type is read when OpenBLAS loads, so each one runs in its own
    process, which times vessik and NumPy in alternating rounds (thread CPU
    time) and reports the median per-round ratio: load on the machine between
    processes cancels out instead of favouring whichever core type ran in a
    quiet moment."""
    rounds = 1 if smoke else 9
    code = (
        "import statistics,time,numpy as np,vessik as vs\n"
        f"a=np.random.rand({n},{n}).astype(np.float32);b=np.random.rand({n},{n}).astype(np.float32)\n"
        "ta,tb=vs.Tensor(a),vs.Tensor(b)\n"
        "def t(f):\n s=time.thread_time();f();return time.thread_time()-s\n"
        "t(lambda:a@b);t(lambda:ta@tb)\nrs=[];ns=[]\n"
        f"for i in range({rounds}):\n"
        " if i%2: q=t(lambda:a@b);v=t(lambda:ta@tb)\n"
        " else: v=t(lambda:ta@tb);q=t(lambda:a@b)\n"
        " rs.append(v/q);ns.append(q)\n"
        "print(statistics.median(rs),statistics.median(ns))"
    )
    results = {}
    for core in ("",) + CORE_TYPES[LEVEL or "avx512"]:
        env = dict(os.environ)
        if core:
            env["OPENBLAS_CORETYPE"] = core
        try:
            out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
            ratio, numpy_s = (float(x) for x in out.stdout.split())
        except (ValueError, subprocess.TimeoutExpired):
            continue
        results[core or "default"] = (ratio, numpy_s)
        if smoke:
            break
    if "default" not in results:
        return None
    worst = max(results, key=lambda c: results[c][0])
    return worst, results[worst][0], max(1.0, results["default"][1] / results[worst][1])


def workloads(smoke):
    rng = np.random.default_rng(0)
    big = 256 if smoke else 4096
    mm = [64, 128] if smoke else [1024, 2048]
    out = []

    def f32(*shape):
        return rng.standard_normal(shape).astype(np.float32)

    # Per-operation overhead on tiny tensors.
    a4, b4 = f32(4), f32(4)
    ta4, tb4 = vs.Tensor(a4), vs.Tensor(b4)
    lst = [1.0, 2.0, 3.0, 4.0]
    out.append(Workload("a + b, F32 [4]", lambda: ta4 + tb4, lambda: a4 + b4,
                        torch and (lambda ta=torch.tensor(a4), tb=torch.tensor(b4): ta + tb), anchor="numpy"))
    out.append(Workload("a * 2.0, F32 [4]", lambda: ta4 * 2.0, lambda: a4 * 2.0,
                        torch and (lambda ta=torch.tensor(a4): ta * 2.0), anchor="numpy"))
    out.append(Workload("Tensor(list of 4)", lambda: vs.Tensor(lst), lambda: np.array(lst, dtype="float32"),
                        torch and (lambda: torch.tensor(lst)), anchor="numpy", target=1.5))
    out.append(Workload("to_numpy(), F32 [4]", ta4.to_numpy, a4.copy, anchor="numpy", target=1.5))

    # Large element-wise work.
    A, B, row = f32(big, big), f32(big, big), f32(big)
    tA, tB, trow = vs.Tensor(A), vs.Tensor(B), vs.Tensor(row)
    pA, pB, prow = (torch.from_numpy(A), torch.from_numpy(B), torch.from_numpy(row)) if torch else (None,) * 3
    out.append(Workload(f"a + b, F32 [{big}, {big}]", lambda: tA + tB, lambda: A + B, torch and (lambda: pA + pB)))
    out.append(Workload(f"a + row, F32 [{big}, {big}] + [{big}]", lambda: tA + trow, lambda: A + row,
                        torch and (lambda: pA + prow)))
    out.append(Workload(f"a * 2.0, F32 [{big}, {big}]", lambda: tA * 2.0, lambda: A * 2.0, torch and (lambda: pA * 2.0)))
    out.append(Workload(f"relu(a), F32 [{big}, {big}]", lambda: relu(tA), lambda: np.maximum(A, 0),
                        torch and (lambda: torch.relu(pA))))
    out.append(Workload(f"a < b, F32 [{big}, {big}]", lambda: tA < tB, lambda: A < B, torch and (lambda: pA < pB)))
    tAt = tA.transpose(0, 1)
    out.append(Workload(f"a.T + b, F32 [{big}, {big}]", lambda: tAt + tB, lambda: A.T + B,
                        torch and (lambda: pA.T + pB), extra={"vessik a + b": lambda: tA + tB},
                        extra_target={"vessik a + b": 2.0}))
    for dt, npdt in (("f16", np.float16), ("bf16", vs.bfloat16)):
        H1, H2 = A.astype(npdt), B.astype(npdt)
        tH1, tH2 = vs.Tensor(H1, dtype=dt), vs.Tensor(H2, dtype=dt)
        tdt = {"f16": "float16", "bf16": "bfloat16"}[dt]
        pH1, pH2 = (pA.to(getattr(torch, tdt)), pB.to(getattr(torch, tdt))) if torch else (None, None)
        out.append(Workload(f"a + b, {dt.upper()} [{big}, {big}]", lambda x=tH1, y=tH2: x + y,
                            lambda x=H1, y=H2: x + y, torch and (lambda x=pH1, y=pH2: x + y),
                            extra={"vessik F32 a + b": lambda: tA + tB}, extra_target={"vessik F32 a + b": 1.3}))

    n16 = 1 << (12 if smoke else 20)
    V1, V2 = f32(n16), f32(n16)
    # In the second-level cache: no memory bandwidth to hide the per-element work.
    tF1, tF2 = vs.Tensor(V1), vs.Tensor(V2)
    out.append(Workload(f"a + b, F32 [{n16}]", lambda: tF1 + tF2, lambda: V1 + V2,
                        torch and (lambda x=torch.from_numpy(V1), y=torch.from_numpy(V2): x + y), anchor="numpy"))
    for dt, npdt in (("f16", np.float16), ("bf16", vs.bfloat16)):
        tV1, tV2 = vs.Tensor(V1.astype(npdt), dtype=dt), vs.Tensor(V2.astype(npdt), dtype=dt)
        tdt = {"f16": "float16", "bf16": "bfloat16"}[dt]
        pV1, pV2 = ((torch.from_numpy(V1).to(getattr(torch, tdt)), torch.from_numpy(V2).to(getattr(torch, tdt)))
                    if torch else (None, None))
        out.append(Workload(f"a + b, {dt.upper()} [{n16}]", lambda x=tV1, y=tV2: x + y, None,
                            torch and (lambda x=pV1, y=pV2: x + y), anchor="torch"))

    # Matrix products. `flops` rows also report the fraction of this level's
    # multiply-add peak (peak_flops()).
    for n in mm:
        M1, M2 = f32(n, n), f32(n, n)
        tM1, tM2 = vs.Tensor(M1), vs.Tensor(M2)
        w = Workload(f"a @ b, F32 {n}", lambda x=tM1, y=tM2: x @ y, lambda x=M1, y=M2: x @ y,
                     torch and (lambda x=torch.from_numpy(M1), y=torch.from_numpy(M2): x @ y), anchor="numpy_fastest",
                     flops=2 * n**3)
        fastest = against_fastest_numpy(n, smoke)
        if fastest:
            w.fastest_numpy_ratio = fastest[1]
            w.name += f" (NumPy on {fastest[0]}: x{fastest[2]:.2f})"
        out.append(w)
    n = mm[0]
    M1, M2 = f32(n, n), f32(n, n)
    tM1, tM2 = vs.Tensor(M1), vs.Tensor(M2)
    tT1, tT2 = tM1.transpose(0, 1), tM2.transpose(0, 1)
    pM1, pM2 = (torch.from_numpy(M1), torch.from_numpy(M2)) if torch else (None, None)
    for label, va, vb, na, nb_, pa, pb in (("a.T @ b", tT1, tM2, M1.T, M2, pM1.T if torch else None, pM2),
                                          ("a @ b.T", tM1, tT2, M1, M2.T, pM1, pM2.T if torch else None)):
        out.append(Workload(f"{label}, F32 {n}", lambda x=va, y=vb: x @ y, lambda x=na, y=nb_: x @ y,
                            torch and (lambda x=pa, y=pb: x @ y), anchor="numpy", flops=2 * n**3))
    small = [256] if not smoke else [32]
    for n3 in small:
        P1, P2 = f32(n3, n3), f32(n3, n3)
        tP1, tP2 = vs.Tensor(P1), vs.Tensor(P2)
        out.append(Workload(f"a @ b, F32 {n3}", lambda x=tP1, y=tP2: x @ y, lambda x=P1, y=P2: x @ y,
                            torch and (lambda x=torch.from_numpy(P1), y=torch.from_numpy(P2): x @ y),
                            anchor="numpy", flops=2 * n3**3))
    for shape_a, shape_b in (((64, 64), (64, 64)), ((32, 64), (64, 128))):
        P1, P2 = f32(*shape_a), f32(*shape_b)
        tP1, tP2 = vs.Tensor(P1), vs.Tensor(P2)
        out.append(Workload(f"a @ b, F32 {list(shape_a)} @ {list(shape_b)}", lambda x=tP1, y=tP2: x @ y,
                            lambda x=P1, y=P2: x @ y,
                            torch and (lambda x=torch.from_numpy(P1), y=torch.from_numpy(P2): x @ y), anchor="numpy"))
    nb = 64 if smoke else 4096
    S1, S2 = f32(nb, 8, 8), f32(8, 8)
    tS1, tS2 = vs.Tensor(S1), vs.Tensor(S2)
    out.append(Workload(f"a @ b, [{nb}, 8, 8] @ [8, 8]", lambda: tS1 @ tS2, lambda: S1 @ S2,
                        torch and (lambda x=torch.from_numpy(S1), y=torch.from_numpy(S2): x @ y), target=0.5))
    nb2 = 16 if smoke else 256
    Q1, Q2 = f32(nb2, 64, 64), f32(nb2, 64, 64)
    tQ1, tQ2 = vs.Tensor(Q1), vs.Tensor(Q2)
    out.append(Workload(f"a @ b, [{nb2}, 64, 64] @ [{nb2}, 64, 64]", lambda: tQ1 @ tQ2, lambda: Q1 @ Q2,
                        torch and (lambda x=torch.from_numpy(Q1), y=torch.from_numpy(Q2): x @ y), anchor="numpy"))
    for dt, npdt in (("f16", np.float16), ("bf16", vs.bfloat16)):
        tH1, tH2 = vs.Tensor(M1.astype(npdt), dtype=dt), vs.Tensor(M2.astype(npdt), dtype=dt)
        tdt = {"f16": "float16", "bf16": "bfloat16"}[dt]
        extra, extra_target = {}, {}
        if torch:
            extra["torch"] = lambda x=pM1.to(getattr(torch, tdt)), y=pM2.to(getattr(torch, tdt)): x @ y
            extra_target["torch"] = 1.0
        out.append(Workload(f"a @ b, {dt.upper()} {n}", lambda x=tH1, y=tH2: x @ y, anchor="vessik F32",
                            target=1.1, extra={"vessik F32": lambda: tM1 @ tM2, **extra}, extra_target=extra_target,
                            flops=2 * n**3))

    # Training steps: vessik's tape against the same step written by hand in
    # NumPy, and PyTorch's autograd; BF16 for the middle two, against the
    # F32 NumPy step (NumPy has no bfloat16 arithmetic).
    step = None
    for k, shape in enumerate(training_steps.SHAPES[:2] if smoke else training_steps.SHAPES):
        X, W1, W2, Y = training_steps.data(*shape)
        for dt in ("f32", "bf16") if k in (1, 2) else ("f32",):
            vs_step = training_steps.vessik_step(X, W1, W2, Y, dt)
            if dt == "f32" and (step is None or shape == (256, 784, 256)):
                step = vs_step  # for the memory growth below
            extra, extra_target = {}, {}
            if torch:
                extra["torch"] = training_steps.torch_step(X, W1, W2, Y, dt)
                extra_target["torch"] = 0.8
            batch, inputs, hidden = shape
            out.append(Workload(f"training step, {dt.upper()} MLP [{batch}, {inputs}] -> {hidden} -> 10", vs_step,
                                training_steps.numpy_step(X, W1, W2, Y), anchor="numpy", extra=extra,
                                extra_target=extra_target))

    def vs_tiny():
        a = vs.Tensor(a4, requires_grad=True)
        b = vs.Tensor(b4, requires_grad=True)
        (a * b).backward()
        a.grad()
        vs.Tensor.clear_graph()

    def torch_tiny():
        a = torch.tensor(a4, requires_grad=True)
        b = torch.tensor(b4, requires_grad=True)
        (a * b).sum().backward()
        a.grad.numpy()

    out.append(Workload("(a * b).backward(), F32 [4], then a.grad()", vs_tiny, None, torch and torch_tiny,
                        anchor="torch", target=0.25))
    return out, step


def fresh_process_rows(smoke):
    """The first steps of a fresh process, vessik against NumPy by hand: each
    library's median over its first 5 steps, in processes run in turn."""
    here = os.path.dirname(os.path.abspath(__file__))
    rows = []
    for shape in training_steps.SHAPES[:1] if smoke else training_steps.SHAPES:
        ratios, medians = [], {"vessik": [], "numpy": []}
        for _ in range(1 if smoke else 3):
            for lib in medians:
                out = subprocess.run([sys.executable, os.path.join(here, "steps.py"), "--library", lib,
                                      *map(str, shape)], capture_output=True, text=True, check=True)
                medians[lib].append(statistics.median(json.loads(out.stdout)))
            ratios.append(medians["vessik"][-1] / medians["numpy"][-1])
        batch, inputs, hidden = shape
        rows.append({"workload": f"first 5 steps of a process, F32 MLP [{batch}, {inputs}] -> {hidden} -> 10",
                     "anchor": "numpy", "ratio": statistics.median(ratios), "target": 1.0,
                     "vessik_us": statistics.median(medians["vessik"]) * 1e6,
                     "numpy_us": statistics.median(medians["numpy"]) * 1e6, "torch_us": float("nan")})
    return rows


def peak_flops(rounds=20):
    """This level's multiply-add rate, operations per second: the best of
    `rounds` runs of vessik's own multiply-add loop at the chosen level."""
    steps = 1 << 21
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        done = vessik._cpu.multiply_add_probe(steps)
        best = min(best, time.perf_counter() - start)
    return done / best


def matmul_growth(smoke):
    """Seconds per floating-point operation of the F32 n³ product, vessik and
    NumPy, for n from 256 to 4096: flat means the blocking holds up."""
    sizes = [32, 64] if smoke else [256, 512, 1024, 2048, 4096]
    rng = np.random.default_rng(1)
    loads = {}
    for n in sizes:
        a, b = rng.standard_normal((n, n), dtype=np.float32), rng.standard_normal((n, n), dtype=np.float32)
        ta, tb = vs.Tensor(a), vs.Tensor(b)
        loads[n] = Workload("", lambda ta=ta, tb=tb: ta @ tb, lambda a=a, b=b: a @ b)
    # Rounds go over every size in turn, so a busy spell on the machine
    # lands on all sizes alike rather than on whichever ran during it; each
    # size keeps its best round.
    best = {n: {"vessik": float("inf"), "numpy": float("inf")} for n in sizes}
    for _ in range(1 if smoke else 5):
        for n in sizes:
            times = run(loads[n], 1, 0.002 if smoke else 0.3)
            for k in best[n]:
                best[n][k] = min(best[n][k], times[k][0])
    return [{"n": n, "vessik_s_per_flop": best[n]["vessik"] / (2 * n**3),
             "numpy_s_per_flop": best[n]["numpy"] / (2 * n**3)} for n in sizes]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def memory_growth(step, steps):
    for _ in range(10):
        step()
    base = rss_bytes()
    for _ in range(steps - 10):
        step()
    return rss_bytes() - base


def blas_info():
    try:
        from threadpoolctl import threadpool_info

        return [{k: d.get(k) for k in ("internal_api", "version", "architecture", "num_threads")} for d in threadpool_info()]
    except ImportError:
        return "threadpoolctl not installed"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--smoke", action="store_true", help="tiny sizes and few rounds")
    p.add_argument("--rounds", type=int, default=None)
    p.add_argument("--write", action="store_true", help="write BENCHMARKS.md and bench/ratios.png")
    p.add_argument("--only", default=None, help="run only the workloads whose name contains this text")
    p.add_argument("--level", choices=list(PEER_LEVELS), default=None,
                   help="hold vessik and its peers to this instruction-set level (read before the imports)")
    args = p.parse_args()
    if args.only and args.write:
        p.error("--only measures a subset: it cannot --write the report")
    info = vessik._cpu.info()
    if args.level is not None and info["level"] != args.level:
        p.error(f"this processor cannot run level {args.level} (highest: {info['highest']})")
    print(f"vessik level: {info['level']} ({info['reason']})")
    rounds = args.rounds or (2 if args.smoke else 7)
    budget = 0.002 if args.smoke else 0.2

    loads, step = workloads(args.smoke)
    peak = peak_flops(3 if args.smoke else 20)
    print(f"multiply-add peak at this level: {peak / 1e9:.1f} GFLOP/s (one core)")
    rows = []
    header = f"{'workload':58} {'vessik':>10} {'numpy':>10} {'torch':>10} {'anchor':>14} {'ratio':>7} {'target':>7}"
    print(header)
    print("-" * len(header))
    for w in loads:
        if args.only and args.only not in w.name:
            continue
        t = run(w, rounds, budget)
        med = {k: statistics.median(v) for k, v in t.items()}
        checks = []
        if w.anchor == "numpy_fastest":
            ratio = w.fastest_numpy_ratio
            checks.append(("numpy fastest", ratio if ratio else median_ratio(t["vessik"], t["numpy"]), w.target))
        elif w.anchor == "best":
            peers = [k for k in ("numpy", "torch") if k in t]
            best = min(peers, key=lambda k: med[k])
            checks.append((f"best ({best})", median_ratio(t["vessik"], t[best]), w.target))
        elif w.anchor in t:
            checks.append((w.anchor, median_ratio(t["vessik"], t[w.anchor]), w.target))
        for k, target in w.extra_target.items():
            checks.append((k, median_ratio(t["vessik"], t[k]), target))
        fmt = lambda k: f"{med[k] * 1e6:9.1f}µ" if k in med else f"{'-':>10}"
        for i, (anchor, ratio, target) in enumerate(checks):
            name = w.name if i == 0 else ""
            cells = f"{fmt('vessik')} {fmt('numpy')} {fmt('torch')}" if i == 0 else " " * 32
            mark = "" if ratio <= target else "  MISS"
            print(f"{name:58} {cells} {anchor:>14} {ratio:7.2f} {target:7.2f}{mark}")
            rows.append({"workload": name or w.name, "anchor": anchor, "ratio": ratio, "target": target,
                         "vessik_us": med["vessik"] * 1e6, "numpy_us": med.get("numpy", float("nan")) * 1e6,
                         "torch_us": med.get("torch", float("nan")) * 1e6})
        if w.flops:
            fraction = w.flops / min(t["vessik"]) / peak
            mark = "" if fraction >= 0.85 else "  (below 0.85)"
            print(f"{'':58} {'':32} {'of peak':>14} {fraction:7.2f}{mark}")
            rows[-1]["of_peak"] = fraction
    if args.only:
        return
    for r in fresh_process_rows(args.smoke):
        mark = "" if r["ratio"] <= r["target"] else "  MISS"
        print(f"{r['workload']:58} {r['vessik_us']:9.1f}µ {r['numpy_us']:9.1f}µ {'-':>10} {'numpy':>14} "
              f"{r['ratio']:7.2f} {r['target']:7.2f}{mark}")
        rows.append(r)
    steps = 100 if args.smoke else 1000
    growth = memory_growth(step, steps)
    print(f"\nresident memory growth over training steps 10..{steps}: {growth / 1024:.0f} KiB (target < 1024 KiB)")
    print(f"BLAS: {json.dumps(blas_info())}")
    curve = matmul_growth(args.smoke)
    base = curve[0]["vessik_s_per_flop"]
    print("F32 n³ product, time per operation relative to the smallest n: "
          + ", ".join(f"{c['n']}: {c['vessik_s_per_flop'] / base:.2f}" for c in curve))
    if args.write:
        write_report(info["level"], rows, growth, steps, peak, curve)


LEVEL_ORDER = ("avx512", "avx2", "baseline")


def machine_line():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    features = [k for k, v in vessik._cpu.info()["features"].items() if v]
    return (f"{model}, {os.cpu_count()} cores (features: {' '.join(features)}), Python {platform.python_version()}, "
            f"NumPy {np.__version__}, PyTorch {torch.__version__ if torch else 'not installed'}")


def write_report(level, rows, growth, steps, peak, curve):
    """Writes this level's results and the plot, then BENCHMARKS.md from every level measured."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    here = os.path.dirname(os.path.abspath(__file__))
    fig, ax = plt.subplots(figsize=(10, 0.35 * len(rows) + 1))
    labels = [f"{r['workload'][:48]} / {r['anchor']}" for r in rows]
    colors = ["tab:green" if r["ratio"] <= r["target"] else "tab:red" for r in rows]
    ax.barh(range(len(rows)), [r["ratio"] for r in rows], color=colors)
    ax.scatter([r["target"] for r in rows], range(len(rows)), marker="|", color="black", s=200, label="target")
    ax.set_yticks(range(len(rows)), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("vessik time / anchor time (lower is better)")
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(here, f"ratios-{level}.png"), dpi=100)
    fig, ax = plt.subplots(figsize=(6, 3.5))
    ns = [c["n"] for c in curve]
    for key, label in (("vessik_s_per_flop", "vessik"), ("numpy_s_per_flop", "NumPy (OpenBLAS)")):
        ax.plot(ns, [peak * c[key] for c in curve], marker="o", label=label)
    ax.axhline(1.0, color="black", linewidth=0.8, linestyle=":", label="multiply-add peak")
    ax.set_xscale("log", base=2)
    ax.set_xticks(ns, [str(n) for n in ns])
    ax.set_ylim(0, None)
    ax.set_xlabel("n (F32 n x n x n product, one core)")
    ax.set_ylabel("time per operation / peak's")
    ax.set_title(f"Matrix-product growth at level {level}")
    ax.legend()
    fig.tight_layout()
    fig.savefig(os.path.join(here, f"growth-{level}.png"), dpi=100)
    results = os.path.join(here, "results")
    os.makedirs(results, exist_ok=True)
    with open(os.path.join(results, f"{level}.json"), "w") as f:
        json.dump({"level": level, "machine": machine_line(), "rows": rows, "growth": growth, "steps": steps,
                   "peak": peak, "curve": curve}, f, indent=1)
    write_markdown(here, results)


def write_markdown(here, results):
    measured = []
    for level in LEVEL_ORDER:
        path = os.path.join(results, f"{level}.json")
        if os.path.exists(path):
            with open(path) as f:
                measured.append(json.load(f))
    lines = [
        "# Benchmarks",
        "",
        "Command: `make bench`, which runs `python bench/compare.py --level L --write` for every level L this",
        "processor has. Single-threaded everywhere. At each level vessik and its peers are held to that",
        "instruction set (see bench/compare.py): the table is what a processor of that level would see.",
        "Ratio = vessik time / anchor time, the median over interleaved rounds of the per-round ratio.",
    ]
    for m in measured:
        lines += [
            "",
            f"## Level {m['level']}",
            "",
            f"Machine: {m['machine']}.",
            "",
            f"Multiply-add peak of one core at this level (vessik's probe): {m.get('peak', 0) / 1e9:.1f} GFLOP/s.",
            "",
            "| workload | anchor | vessik µs | NumPy µs | PyTorch µs | ratio | target | of peak |",
            "|---|---|---:|---:|---:|---:|---:|---:|",
        ]
        for r in m["rows"]:
            of_peak = f"{r['of_peak']:.2f}" if "of_peak" in r else ""
            lines.append(f"| {r['workload']} | {r['anchor']} | {r['vessik_us']:.1f} | {r['numpy_us']:.1f} | "
                         f"{r['torch_us']:.1f} | {r['ratio']:.2f} | {r['target']:.2f} | {of_peak} |")
        if m.get("curve"):
            base = m["curve"][0]["vessik_s_per_flop"]
            lines += ["", "F32 n³ product, time per operation relative to n = " + str(m["curve"][0]["n"]) + ": "
                      + ", ".join(f"{c['n']}: {c['vessik_s_per_flop'] / base:.2f}" for c in m["curve"])
                      + f" (target: within 1.10). ![growth at {m['level']}](bench/growth-{m['level']}.png)"]
        lines += ["", f"Resident memory growth over training steps 10..{m['steps']}: {m['growth'] / 1024:.0f} KiB "
                  "(target < 1 MiB).", "", f"![ratios at {m['level']}](bench/ratios-{m['level']}.png)"]
    lines.append("")
    # Sections written by other benchmarks (bench/parallel_scaling.py) stay.
    path = os.path.join(here, "..", "BENCHMARKS.md")
    kept = ""
    if os.path.exists(path):
        with open(path) as f:
            old = f.read()
        start = old.find("\n## ", old.rfind("\n## Level ") + 1)
        kept = old[start + 1:] if start >= 0 and "## Level " in old else ""
    with open(path, "w") as f:
        f.write("\n".join(lines) + ("\n" + kept if kept else ""))


if __name__ == "__main__":
    main()
