"""A small data-parallel training run for test_parallel.py.

    mpiexec -n 2 python mpi_train.py OUT [--mismatch] [--fail-rank R]

Trains a 16-64-4 perceptron (no biases) on fixed random data, 2 epochs of
global batches of 32, once in f32 and once in bf16, then writes each rank's
final parameters to OUT/rank<r>.npz. Nothing is written before the last step.
--mismatch gives rank 1 a parameter of another shape; --fail-rank R raises
on rank R in the middle of the first epoch.
"""

import argparse
import pathlib

import numpy as np

import vessik as vs
from vessik import parallel
from vessik.nn.functional import relu

EXAMPLES, GLOBAL_BATCH, EPOCHS, LR = 200, 32, 2, 0.05


def train(dtype, mismatch, fail_rank):
    data = np.random.default_rng(1)
    x_all = data.normal(size=(EXAMPLES, 16)).astype(np.float32)
    y_all = data.normal(size=(EXAMPLES, 4)).astype(np.float32)
    # Each rank draws its own starting point: only the broadcast makes them equal.
    init = np.random.default_rng(100 + parallel.rank())
    params = {
        "w1": init.normal(0, 0.3, (16, 64)).astype(np.float32),
        "w2": init.normal(0, 0.2, (64, 4)).astype(np.float32),
    }
    if mismatch and parallel.rank() == 1:
        params["w2"] = params["w2"][:, :3].copy()
    parallel.broadcast_parameters(params)
    averager = parallel.GradientAverager(params)
    order = np.random.default_rng(2)
    for _ in range(EPOCHS):
        for step, idx in enumerate(parallel.batches(order.permutation(EXAMPLES), GLOBAL_BATCH)):
            if step == 3 and parallel.rank() == fail_rank:
                raise RuntimeError(f"injected failure on rank {fail_rank}")
            leaves = {k: vs.Tensor(v, dtype=dtype, requires_grad=True) for k, v in params.items()}
            diff = relu(vs.Tensor(x_all[idx], dtype=dtype) @ leaves["w1"]) @ leaves["w2"] - vs.Tensor(
                y_all[idx], dtype=dtype
            )
            (diff * diff * (1.0 / len(idx))).backward()
            grads = {k: t.grad().astype(np.float32) for k, t in leaves.items()}
            vs.Tensor.clear_graph()
            averager.average(grads)
            for k in params:
                params[k] -= LR * grads[k]
    return params


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out", type=pathlib.Path)
    p.add_argument("--mismatch", action="store_true")
    p.add_argument("--fail-rank", type=int, default=-1)
    args = p.parse_args()
    with parallel.abort_on_error():
        result = {}
        for dtype in ("f32", "bf16"):
            for k, v in train(dtype, args.mismatch, args.fail_rank).items():
                result[f"{dtype}_{k}"] = v
        args.out.mkdir(parents=True, exist_ok=True)
        np.savez(args.out / f"rank{parallel.rank()}.npz", **result)


if __name__ == "__main__":
    main()
