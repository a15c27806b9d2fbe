"""One training step of a 2-layer perceptron, forward and backward, written
three ways on the same data: vessik's tape, NumPy by hand (the same
arithmetic, no tape) and PyTorch's autograd.

    d = relu(x @ w1) @ w2 - y;  loss = sum(d * d)

Each step makes its weights afresh from the same arrays, as a training loop
that reads them back does, and ends with both weight gradients as NumPy
arrays.

    python bench/steps.py --first 5 --library vessik 256 784 256
        # a fresh process's first 5 steps, seconds each, as JSON
"""

from __future__ import annotations

import argparse
import json
import os
import time

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

# The shapes (batch, inputs, hidden) of the steps; the classifier has 10 outputs.
SHAPES = [(32, 64, 128), (64, 256, 256), (256, 784, 256), (512, 1024, 2048)]


def data(batch, inputs, hidden, seed=0):
    rng = np.random.default_rng(seed)

    def f32(*shape):
        return rng.standard_normal(shape).astype(np.float32)

    return f32(batch, inputs), f32(inputs, hidden) * 0.05, f32(hidden, 10) * 0.05, f32(batch, 10)


def vessik_step(X, W1, W2, Y, dtype="f32"):
    import vessik as vs
    from vessik.nn.functional import relu

    cast = (lambda a: a) if dtype == "f32" else (lambda a: a.astype(vs.bfloat16))
    X, W1, W2, Y = cast(X), cast(W1), cast(W2), cast(Y)
    tX, tY = vs.Tensor(X, dtype=dtype), vs.Tensor(Y, dtype=dtype)

    def step():
        w1 = vs.Tensor(W1, dtype=dtype, requires_grad=True)
        w2 = vs.Tensor(W2, dtype=dtype, requires_grad=True)
        d = relu(tX @ w1) @ w2 - tY
        (d * d).backward()
        grads = w1.grad(), w2.grad()
        vs.Tensor.clear_graph()
        return grads

    return step


def numpy_step(X, W1, W2, Y):
    def step():
        w1, w2 = W1.copy(), W2.copy()
        a = X @ w1
        h = np.maximum(a, 0)
        d = h @ w2 - Y
        g = np.ones_like(d)
        gd = g * d + g * d  # d * d: the same factor from each side
        gh = gd @ w2.T
        gw2 = h.T @ gd
        gw1 = X.T @ (gh * (a > 0))
        return gw1, gw2

    return step


def torch_step(X, W1, W2, Y, dtype="f32"):
    import torch

    tdt = torch.float32 if dtype == "f32" else torch.bfloat16
    pX, pY = torch.from_numpy(X).to(tdt), torch.from_numpy(Y).to(tdt)
    W1t, W2t = torch.from_numpy(W1).to(tdt), torch.from_numpy(W2).to(tdt)

    def step():
        w1 = W1t.clone().requires_grad_()
        w2 = W2t.clone().requires_grad_()
        d = torch.relu(pX @ w1) @ w2 - pY
        (d * d).sum().backward()
        return w1.grad.float().numpy(), w2.grad.float().numpy()

    return step


def first_steps(library, shape, steps, dtype="f32"):
    """Seconds of each of a process's first `steps` steps (run in a fresh one)."""
    X, W1, W2, Y = data(*shape)
    if library == "vessik":
        step = vessik_step(X, W1, W2, Y, dtype)
    elif library == "numpy":
        step = numpy_step(X, W1, W2, Y)
    else:
        import torch

        torch.set_num_threads(1)
        step = torch_step(X, W1, W2, Y, dtype)
    times = []
    for _ in range(steps):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return times


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--first", type=int, default=5)
    p.add_argument("--library", choices=["vessik", "numpy", "torch"], required=True)
    p.add_argument("--dtype", choices=["f32", "bf16"], default="f32")
    p.add_argument("shape", type=int, nargs=3)
    args = p.parse_args()
    print(json.dumps(first_steps(args.library, tuple(args.shape), args.first, args.dtype)))


if __name__ == "__main__":
    main()
