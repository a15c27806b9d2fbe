"""Threads in one process: how much more 2 threads get done than 1.

Three workloads, each as vessik runs it and as NumPy runs the same arithmetic
(its control, with OpenBLAS on one thread): 512^3 f32 products, the training
step (forward and backward) of a 64-256-256-10 perceptron at batch 64, and
tiny operations (`a + b` on 4 elements). Every thread does the same work on
data of its own, pinned to a core of its own, started together at a barrier. The speed-up is
twice one thread's time over the pair's; the best of the rounds is kept.
Each interpreter runs in a process of its own; a free-threaded one (3.13t)
runs threads at the same time, one with the GIL serialises them.

    python bench/thread_scaling.py                          # this interpreter
    python bench/thread_scaling.py --python A --python B --write
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np

from parallel_scaling import cpu_name, write

SECTION = "## Threads in one process"
LAYERS = (64, 256, 256, 10)


def workloads(seed):
    """Each workload as vessik and as NumPy runs it, on data of its own."""
    import vessik as vs
    from vessik.nn.functional import relu

    rng = np.random.default_rng(seed)
    a = rng.standard_normal((512, 512)).astype(np.float32)
    b = rng.standard_normal((512, 512)).astype(np.float32)
    ta, tb = vs.Tensor(a), vs.Tensor(b)
    ws = [rng.normal(0, 0.1, (i, o)).astype(np.float32) for i, o in zip(LAYERS, LAYERS[1:])]
    x = rng.standard_normal((64, LAYERS[0])).astype(np.float32)
    y = np.eye(10, dtype=np.float32)[rng.integers(0, 10, 64)]
    tx, ty = vs.Tensor(x), vs.Tensor(y)
    small = np.arange(4, dtype=np.float32)
    ts = vs.Tensor(small)

    def vessik_step():
        leaves = [vs.Tensor(w, requires_grad=True) for w in ws]
        h = tx
        for i, w in enumerate(leaves):
            h = h @ w
            if i < len(leaves) - 1:
                h = relu(h)
        d = h - ty
        (d * d * (1 / 64)).backward()
        grads = [w.grad() for w in leaves]
        vs.Tensor.clear_graph()
        return grads

    def numpy_step():
        hs = [x]
        for i, w in enumerate(ws):
            z = hs[-1] @ w
            hs.append(np.maximum(z, 0) if i < len(ws) - 1 else z)
        d = hs[-1] - y
        loss = d * d * (1 / 64)  # noqa: F841 - the forward value vessik computes too
        g = d * (2 / 64)
        grads = []
        for i in reversed(range(len(ws))):
            grads.append(hs[i].T @ g)
            if i:
                g = (g @ ws[i].T) * (hs[i] > 0)
        return grads

    def repeat(f, n):
        def run():
            for _ in range(n):
                f()
        return run

    def spin():
        total = 0
        for i in range(1_000_000):
            total += i

    return {
        # What the cores allow at the moment, with no library involved.
        "plain Python loop": (spin, spin),
        "products 512^3 f32": (repeat(lambda: ta @ tb, 60), repeat(lambda: a @ b, 60)),
        "training step 64-256-256-10, batch 64": (repeat(vessik_step, 300), repeat(numpy_step, 300)),
        "tiny a + b, 4 elements": (repeat(lambda: ts + ts, 300_000), repeat(lambda: small + small, 300_000)),
    }


def timed(name, library, threads):
    """Seconds from the barrier until the last of `threads` threads is done.
    Every thread works on operands of its own, as in data-parallel work: a
    shared operand would add the contention on its reference count that
    CPython itself has."""
    barrier = threading.Barrier(threads)
    cores = sorted(os.sched_getaffinity(0))
    spans = []

    def body(k):
        os.sched_setaffinity(0, {cores[k % len(cores)]})  # this thread only
        work = workloads(k)[name][library]
        work()  # warm-up: first-use costs are not the threads'
        barrier.wait()
        # Clocks read by the workers themselves: a main thread that wakes
        # from the barrier after them would start its clock late.
        start = time.perf_counter()
        work()
        spans.append((start, time.perf_counter()))

    pool = [threading.Thread(target=body, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def worker(rounds):
    import sysconfig

    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    rows = {}
    for name in workloads(0):
        for index, library in enumerate(("vessik", "numpy")):
            # Rounds alternate one and two threads, so that load from
            # elsewhere hits both alike; the fastest of each is kept.
            ones, twos = [], []
            for _ in range(rounds):
                ones.append(timed(name, index, 1))
                twos.append(timed(name, index, 2))
            rows.setdefault(name, {})[library] = {"one": min(ones), "speedup": 2 * min(ones) / min(twos)}
    build = "free-threaded" if free else "standard build"
    print(json.dumps({"interpreter": f"CPython {sys.version.split()[0]}, {build}, GIL {'on' if gil else 'off'}",
                      "rows": rows}))


def run(python, rounds):
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    out = subprocess.run([python, __file__, "--worker", "--rounds", str(rounds)], check=True,
                         capture_output=True, text=True, env=env, timeout=1800).stdout
    return json.loads(out.strip().splitlines()[-1])


def section(results, rounds):
    lines = ["| workload | interpreter | 1 thread, vessik | 2 threads: vessik speed-up | NumPy speed-up "
             "| vessik / NumPy speed-up |", "|---|---|---:|---:|---:|---:|"]
    for r in results:
        for name, row in r["rows"].items():
            v, n = row["vessik"], row["numpy"]
            lines.append(f"| {name} | {r['interpreter']} | {v['one'] * 1e3:.1f} ms | {v['speedup']:.2f} "
                         f"| {n['speedup']:.2f} | {v['speedup'] / n['speedup']:.2f} |")
    table = "\n".join(lines)
    return f"""{SECTION}

Command: `make bench-threads` (`python bench/thread_scaling.py --python <3.13t> --python <GIL build> --write`).
Each workload runs on 1 thread and on 2 threads doing the same work each on operands of its own, every
thread pinned to its own core and started at a barrier; the speed-up is twice one thread's time over the pair's, the best of
{rounds} rounds, beside NumPy doing the same arithmetic in the same process (OpenBLAS on one thread).
Machine: {cpu_name()}, {os.cpu_count()} cores, NumPy {np.__version__}. Targets on 2 cores under the
free-threaded build: products and training at least 0.95 of NumPy's speed-up, tiny operations at least 1.6.

{table}
"""


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--python", action="append", help="an interpreter with vessik installed (repeatable)")
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--write", action="store_true", help="put the table in BENCHMARKS.md")
    args = p.parse_args()
    if args.worker:
        worker(args.rounds)
        return
    text = section([run(python, args.rounds) for python in args.python or [sys.executable]], args.rounds)
    print(text)
    if args.write:
        write(text, SECTION)


if __name__ == "__main__":
    main()
