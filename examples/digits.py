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
import tempfile
import time

import numpy as np

import vessik as vs
from vessik.nn.functional import relu

DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": vs.bfloat16}


def make_parser(description="Train a 64-128-10 perceptron on scikit-learn's digits with vessik."):
    p = argparse.ArgumentParser(description=description)
    p.add_argument("--dtype", choices=sorted(DTYPES), default="f32", help="element type of the model's arithmetic")
    p.add_argument("--epochs", type=positive_int, default=30)
    p.add_argument("--batch-size", type=positive_int, default=32)
    p.add_argument("--lr", type=positive_float, default=0.02)
    p.add_argument("--momentum", type=unit_float, default=0.9)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"), help="directory for the plot")
    return p


def parse_args(argv=None):
    return make_parser().parse_args(argv)


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


def plot_once(history, path, dtype, test_size):
    """The plot, with matplotlib's font cache in a directory removed
    afterwards: the demo writes nothing but its plot."""
    with tempfile.TemporaryDirectory(prefix="vessik-matplotlib-") as cache:
        os.environ.setdefault("MPLCONFIGDIR", cache)
        plot(history, path, dtype, test_size)


def plot(history, path, dtype, test_size):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator, NullFormatter, PercentFormatter

    epochs = np.arange(1, len(history["loss"]) + 1)
    final = history["accuracy"][-1]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(9, 3.8))
    ax1.plot(epochs, history["loss"], marker="o")
    # The first epoch's loss is tens of times the last one's: on a linear
    # axis every later epoch would lie flat on the floor.
    ax1.set_yscale("log")
    ax1.set(xlabel="epoch", ylabel="training loss (log scale)", title="Loss")
    # After the first epochs the climb is in the last few percent. A logit
    # axis spreads 90%, 99% and 99.9% evenly, so 95% to 99% is as tall as
    # 50% to 90%. It cannot show 0% or 100%: clip to half an example.
    half = 0.5 / test_size
    accuracy = np.clip(history["accuracy"], half, 1 - half)
    ax2.plot(epochs, accuracy, marker="o", color="tab:green")
    ax2.set_yscale("logit")
    ticks = [0.01, 0.1, 0.5, 0.8, 0.9, 0.95, 0.98, 0.99, 0.995, 0.998, 0.999]
    low = max([t for t in ticks if t < accuracy.min()], default=half)
    high = min([t for t in ticks if t > accuracy.max()], default=1 - half)
    ax2.set_yticks([t for t in ticks if low <= t <= high])
    ax2.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=1))
    ax2.yaxis.set_minor_formatter(NullFormatter())
    ax2.set(xlabel="epoch", ylabel="held-out accuracy (logit scale)", title="Accuracy", ylim=(low, high))
    for ax in (ax1, ax2):
        ax.grid(True, which="both", alpha=0.3)
        ax.xaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
        ax.set_xlim(0.5, epochs[-1] + 0.5)
    fig.suptitle(f"64-128-10 perceptron on digits, {dtype}: final held-out accuracy {final:.2%}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)
    return train(args, lambda params, x, targets: gradients(
        params, vs.Tensor(x, dtype=args.dtype), vs.Tensor(targets, dtype=args.dtype), args.dtype))


def train(args, batch_gradients, plot_name="digits", about=""):
    """The demo's training loop. batch_gradients(params, x, targets) takes a
    batch as NumPy arrays and returns its mean loss and float32 gradients;
    `about` ends the first line."""
    args.out.mkdir(parents=True, exist_ok=True)
    from tqdm import tqdm

    x_train, y_train, x_test, y_test = load_data(args.seed)
    rng = np.random.default_rng(args.seed)
    params = init_params(rng)
    velocity = {k: np.zeros_like(v) for k, v in params.items()}
    onehot = np.eye(10, dtype=np.float32)

    history = {"loss": [], "accuracy": []}
    batches = range(0, len(x_train), args.batch_size)
    print(
        f"{len(x_train)} training and {len(x_test)} held-out images; {args.epochs} epochs of {len(batches)} batches"
        f" in {args.dtype}{about}"
    )
    # One bar over every batch of the run: an epoch is over before a bar of
    # its own would first redraw. tqdm leaves the bar out (disable=None)
    # when stderr is not a terminal, so a log gets only the epoch lines.
    bar = tqdm(total=args.epochs * len(batches), unit="batch", disable=None, dynamic_ncols=True)
    for epoch in range(1, args.epochs + 1):
        start = time.perf_counter()
        order = rng.permutation(len(x_train))
        total = 0.0
        for i in batches:
            idx = order[i : i + args.batch_size]
            value, grads = batch_gradients(params, x_train[idx], onehot[y_train[idx]])
            update(params, velocity, grads, args.lr, args.momentum)
            total += value * len(idx)
            bar.set_postfix_str(f"epoch {epoch}/{args.epochs}, loss {total / (i + len(idx)):.4f}", refresh=False)
            bar.update()
        loss = total / len(x_train)
        acc = accuracy(params, x_test, y_test, args.dtype)
        history["loss"].append(loss)
        history["accuracy"].append(acc)
        tqdm.write(
            f"epoch {epoch:3d}/{args.epochs}  loss {loss:.4f}  held-out accuracy {acc:.4f}"
            f"  time {(time.perf_counter() - start) * 1e3:.0f} ms"
        )
    bar.close()

    path = args.out / f"{plot_name}_{args.dtype}.png"
    plot_once(history, path, args.dtype, len(x_test))
    print(f"final held-out accuracy ({args.dtype}): {history['accuracy'][-1]:.4f}")
    print(f"plot written to {path}")
    return history


if __name__ == "__main__":
    main()
