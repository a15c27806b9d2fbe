"""The three products of a perceptron layer at training shapes, vessik
against NumPy (OpenBLAS), single-threaded, interleaved rounds.

For batch B and a layer of `inputs` -> `outputs` units (x [B, inputs],
W [inputs, outputs], g [B, outputs]): the forward x @ W, the weight gradient
x.T @ g and the input gradient g @ W.T, each with the operands laid out as
the tape hands them over (transposed views, not copies).

    python bench/training_shapes.py --level avx2 [--write] [--smoke]

With --write the table of this level goes into BENCHMARKS.md, in the
section "## Products at training shapes", beside the other levels' tables.
"""

from __future__ import annotations

import json
import os
import statistics
import sys

import compare  # sets the level of every library before NumPy is imported

import numpy as np  # noqa: E402

import vessik as vs  # noqa: E402
import vessik._cpu  # noqa: E402

BATCHES = [1, 32, 64, 256, 512]
WIDTHS = [10, 64, 128, 256, 784, 1024, 2048]
SECTION = "## Products at training shapes"


def products(batch, inputs, outputs, rng):
    x = rng.standard_normal((batch, inputs), dtype=np.float32)
    w = rng.standard_normal((inputs, outputs), dtype=np.float32)
    g = rng.standard_normal((batch, outputs), dtype=np.float32)
    tx, tw, tg = vs.Tensor(x), vs.Tensor(w), vs.Tensor(g)
    txT, twT = tx.transpose(0, 1), tw.transpose(0, 1)
    return [
        (lambda: tx @ tw, lambda: x @ w),
        (lambda: txT @ tg, lambda: x.T @ g),
        (lambda: tg @ twT, lambda: g @ w.T),
    ]


def main():
    import argparse

    p = argparse.ArgumentParser()
    p.add_argument("--level", choices=list(compare.PEER_LEVELS), default=None)
    p.add_argument("--write", action="store_true")
    p.add_argument("--smoke", action="store_true")
    args = p.parse_args()
    level = vessik._cpu.info()["level"]
    batches, widths = ([1, 32], [10, 64]) if args.smoke else (BATCHES, WIDTHS)
    rounds, budget = (1, 0.001) if args.smoke else (5, 0.01)
    rng = np.random.default_rng(0)
    rows = []
    print(f"level {level}: vessik / NumPy for x @ W, x.T @ g, g @ W.T")
    for batch in batches:
        for inputs in widths:
            for outputs in widths:
                ratios = []
                for v, n in products(batch, inputs, outputs, rng):
                    t = compare.run(compare.Workload("", v, n), rounds, budget)
                    ratios.append(compare.median_ratio(t["vessik"], t["numpy"]))
                rows.append({"batch": batch, "inputs": inputs, "outputs": outputs, "ratios": ratios})
                print(f"[{batch}, {inputs}] -> {outputs}: " + "  ".join(f"{r:.2f}" for r in ratios), flush=True)
    worst = max(r for row in rows for r in row["ratios"])
    over = sum(r > 1.0 for row in rows for r in row["ratios"])
    print(f"worst {worst:.2f}; {over} of {3 * len(rows)} products above 1.00")
    if args.write:
        write(level, rows)


def write(level, rows):
    here = os.path.dirname(os.path.abspath(__file__))
    results = os.path.join(here, "results")
    os.makedirs(results, exist_ok=True)
    with open(os.path.join(results, f"training-shapes-{level}.json"), "w") as f:
        json.dump({"level": level, "machine": compare.machine_line(), "rows": rows}, f)
    levels = []
    for lv in compare.LEVEL_ORDER:
        path = os.path.join(results, f"training-shapes-{lv}.json")
        if os.path.exists(path):
            with open(path) as f:
                levels.append(json.load(f))
    lines = [SECTION, "",
             "Command: `make bench` (`python bench/training_shapes.py --level L --write` per level). Ratio = vessik",
             "time / NumPy time, single-threaded, median of interleaved rounds; x [B, in], W [in, out], g [B, out],",
             "transposed operands as views. Target: every cell <= 1.00 at avx512 and avx2, <= 1.10 at baseline.", ""]
    for m in levels:
        cells = [r for row in m["rows"] for r in row["ratios"]]
        lines += [f"### Level {m['level']}", "", f"Machine: {m['machine']}.", "",
                  f"Worst {max(cells):.2f}, median {statistics.median(cells):.2f}; "
                  f"{sum(c > 1.0 for c in cells)} of {len(cells)} products above 1.00.", "",
                  "| B | in | out | x @ W | x.T @ g | g @ W.T |", "|---:|---:|---:|---:|---:|---:|"]
        lines += [f"| {r['batch']} | {r['inputs']} | {r['outputs']} | " + " | ".join(f"{x:.2f}" for x in r["ratios"])
                  + " |" for r in m["rows"]]
        lines.append("")
    sys.path.insert(0, here)
    from parallel_scaling import write as write_section

    write_section("\n".join(lines), SECTION)


if __name__ == "__main__":
    main()
