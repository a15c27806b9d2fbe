"""Train a small digit classifier with vessik.

A tutorial in one file: the 8x8 handwritten digits that scikit-learn ships
(1,797 images, no download), standardised, split 80/20, and a 64-128-10
perceptron with relu trained by minibatch gradient descent with momentum on
the squared error against one-hot targets. vessik does all of the model's
arithmetic and gradients; NumPy holds the parameters and applies the update.

    python examples/digits.py --epochs 30 --dtype f32 --out out
"""

from __future__ import annotations

import argparse
import os
import pathlib
import time

import numpy as np

import vessik as vs
from vessik.nn.functional import relu

DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": vs.bfloat16}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="Train a 64-128-10 perceptron on scikit-learn's digits with vessik.")
    p.add_argument("--dtype", choices=sorted(DTYPES), default="f32", help="element type of the model's arithmetic")
    p.add_argument("--epochs", type=positive_int, default=30)
    p.add_argument("--batch-size", type=positive_int, default=32)
    p.add_argument("--lr", type=positive_float, default=0.02)
    p.add_argument("--momentum", type=unit_float, default=0.9)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"), help="directory for the plot")
    return p.parse_args(argv)


def positive_int(text):
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def positive_float(text):
    value = float(text)
    if not value > 0 or not np.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def unit_float(text):
    value = float(text)
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1), got {text}")
    return value


def load_data(seed):
    from sklearn.datasets import load_digits

    digits = load_digits()
    x = digits.data.astype(np.float32)
    y = digits.target
    order = np.random.default_rng(seed).permutation(len(x))
    split = int(0.8 * len(x))
    train, test = order[:split], order[split:]
    # Standardise with the training set's statistics. Pixels that are almost
    # always blank (the borders) have a tiny spread; dividing by it would turn
    # a rare stroke into a huge input, so the scale never drops below one
    # intensity level (pixels range over 0..16).
    mean = x[train].mean(axis=0)
    std = np.maximum(x[train].std(axis=0), 1.0)
    x = (x - mean) / std
    return x[train], y[train], x[test], y[test]


def init_params(rng):
    # He initialisation suits relu layers.
    return {
        "w1": rng.normal(0, np.sqrt(2 / 64), (64, 128)).astype(np.float32),
        "b1": np.zeros(128, np.float32),
        "w2": rng.normal(0, np.sqrt(2 / 128), (128, 10)).astype(np.float32),
        "b2": np.zeros(10, np.float32),
    }


def forward(params, x, dtype, requires_grad):
    """Builds the model's graph; returns the output and the parameter leaves."""
    # New leaf tensors each step: a tensor's requires_grad is fixed at
    # creation, and the parameters change with every update.
    leaves = {k: vs.Tensor(v, dtype=dtype, requires_grad=requires_grad) for k, v in params.items()}
    hidden = relu(x @ leaves["w1"] + leaves["b1"])
    return hidden @ leaves["w2"] + leaves["b2"], leaves


def train_step(params, velocity, x, targets, dtype, lr, momentum):
    value, grads = gradients(params, x, targets, dtype)
    update(params, velocity, grads, lr, momentum)
    return value


def gradients(params, x, targets, dtype):
    """The batch's mean loss and each parameter's gradient (float32)."""
    out, leaves = forward(params, x, dtype, requires_grad=True)
    diff = out - targets
    # backward() differentiates the sum of the elements, so scaling by
    # 1/batch makes it the gradient of the mean squared error per example.
    loss = diff * diff * (1.0 / x.shape[0])
    loss.backward()
    grads = {}
    for name, t in leaves.items():
        g = t.grad().astype(np.float32)
        if name.startswith("b"):
            # The bias was broadcast over the batch axis, and vessik does not
            # sum a gradient back over the axes its operand was broadcast
            # along: the bias receives one row per example. Sum them here.
            g = g.sum(axis=0)
        grads[name] = g
    value = float(loss.to_numpy().astype(np.float64).sum())
    # The tape keeps every node until it is cleared; one step's graph is
    # no longer needed once its gradients have been read.
    vs.Tensor.clear_graph()
    return value, grads


def update(params, velocity, grads, lr, momentum):
    for name, g in grads.items():
        velocity[name] = momentum * velocity[name] - lr * g
        params[name] += velocity[name]


def accuracy(params, x, labels, dtype):
    out, _ = forward(params, vs.Tensor(x, dtype=dtype), dtype, requires_grad=False)
    return float((out.to_numpy().astype(np.float32).argmax(axis=1) == labels).mean())


def plot(history, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    epochs = np.arange(1, len(history["loss"]) + 1)
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(9, 3.5))
    ax1.plot(epochs, history["loss"], marker="o")
    ax1.set(xlabel="epoch", ylabel="training loss", title="Loss")
    ax2.plot(epochs, history["accuracy"], marker="o", color="tab:green")
    ax2.set(xlabel="epoch", ylabel="held-out accuracy", title="Accuracy", ylim=(0, 1))
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    # Keep matplotlib's cache inside --out: nothing is written elsewhere.
    os.environ.setdefault("MPLCONFIGDIR", str(args.out / ".matplotlib"))
    from tqdm import tqdm

    x_train, y_train, x_test, y_test = load_data(args.seed)
    rng = np.random.default_rng(args.seed)
    params = init_params(rng)
    velocity = {k: np.zeros_like(v) for k, v in params.items()}
    onehot = np.eye(10, dtype=np.float32)

    history = {"loss": [], "accuracy": []}
    for epoch in range(1, args.epochs + 1):
        start = time.perf_counter()
        order = rng.permutation(len(x_train))
        batches = range(0, len(order), args.batch_size)
        total = 0.0
        bar = tqdm(batches, desc=f"epoch {epoch:3d}/{args.epochs}", leave=False, unit="batch")
        for i in bar:
            idx = order[i : i + args.batch_size]
            x = vs.Tensor(x_train[idx], dtype=args.dtype)
            targets = vs.Tensor(onehot[y_train[idx]], dtype=args.dtype)
            total += train_step(params, velocity, x, targets, args.dtype, args.lr, args.momentum) * len(idx)
            bar.set_postfix(loss=f"{total / (i + len(idx)):.4f}")
        loss = total / len(x_train)
        acc = accuracy(params, x_test, y_test, args.dtype)
        history["loss"].append(loss)
        history["accuracy"].append(acc)
        tqdm.write(
            f"epoch {epoch:3d}/{args.epochs}  loss {loss:.4f}  held-out accuracy {acc:.4f}"
            f"  time {time.perf_counter() - start:.2f}s"
        )

    path = args.out / f"digits_{args.dtype}.png"
    plot(history, path)
    print(f"final held-out accuracy ({args.dtype}): {history['accuracy'][-1]:.4f}")
    print(f"plot written to {path}")
    return history


if __name__ == "__main__":
    main()
