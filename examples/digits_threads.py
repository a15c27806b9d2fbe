"""Train the digit classifier of digits.py on several threads at once.

Data parallelism over threads: every batch is cut into one share per thread;
each thread builds its share's graph on its own tape and computes its
gradients; the main thread averages them in NumPy (weighted by share size,
so the average is the whole batch's gradient) and applies one update. With
the same seed the run follows the single-thread one up to the rounding of
the sums.

    python examples/digits_threads.py --threads 2 --epochs 30 --out out

On a free-threaded CPython (3.13t) the threads compute at the same time; on
an interpreter with the GIL they take turns, and the run is no faster than
one thread. The last lines say which it was.
"""

from __future__ import annotations

import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vessik as vs
from digits import accuracy, gradients, init_params, load_data, make_parser, plot_once, positive_int, update


def main(argv=None):
    parser = make_parser("Train the digits perceptron with every batch shared among threads.")
    parser.add_argument("--threads", type=positive_int, default=2, help="threads, each with a share of every batch")
    args = parser.parse_args(argv)
    if args.batch_size < args.threads:
        sys.exit(f"error: --batch-size {args.batch_size} leaves a thread of the {args.threads} without examples")
    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        return train(args, pool)


def share_gradients(params, x, targets, dtype):
    """One thread's share: its graph lives and is cleared on that thread's tape."""
    return len(x), gradients(params, vs.Tensor(x, dtype=dtype), vs.Tensor(targets, dtype=dtype), dtype)


def train(args, pool):
    from tqdm import tqdm

    x_train, y_train, x_test, y_test = load_data(args.seed)
    rng = np.random.default_rng(args.seed)
    params = init_params(rng)
    velocity = {k: np.zeros_like(v) for k, v in params.items()}
    onehot = np.eye(10, dtype=np.float32)
    history = {"loss": [], "accuracy": []}
    batches = range(0, len(x_train), args.batch_size)
    print(f"{args.epochs} epochs of {len(batches)} batches in {args.dtype}, each batch over {args.threads} threads")
    bar = tqdm(total=args.epochs * len(batches), unit="batch", disable=None, dynamic_ncols=True)
    started = time.perf_counter()
    for epoch in range(1, args.epochs + 1):
        start = time.perf_counter()
        order = rng.permutation(len(x_train))
        total = 0.0
        for i in batches:
            idx = order[i : i + args.batch_size]
            shares = [s for s in np.array_split(idx, args.threads) if len(s)]
            results = list(pool.map(lambda s: share_gradients(params, x_train[s], onehot[y_train[s]], args.dtype),
                                    shares))
            # Each share's loss is its own mean: weighting by share size
            # makes the whole batch's mean and its gradient.
            grads = {name: sum(n * g[name] for n, (_, g) in results) / len(idx) for name in params}
            update(params, velocity, grads, args.lr, args.momentum)
            total += sum(n * value for n, (value, _) in results)
            bar.set_postfix_str(f"epoch {epoch}/{args.epochs}, loss {total / (i + len(idx)):.4f}", refresh=False)
            bar.update()
        history["loss"].append(total / len(x_train))
        history["accuracy"].append(accuracy(params, x_test, y_test, args.dtype))
        tqdm.write(
            f"epoch {epoch:3d}/{args.epochs}  loss {history['loss'][-1]:.4f}  held-out accuracy"
            f" {history['accuracy'][-1]:.4f}  time {(time.perf_counter() - start) * 1e3:.0f} ms"
        )
    bar.close()

    args.out.mkdir(parents=True, exist_ok=True)
    path = args.out / f"digits_threads_{args.dtype}.png"
    plot_once(history, path, args.dtype, len(x_test))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"final held-out accuracy ({args.dtype}): {history['accuracy'][-1]:.4f}")
    print(f"trained on {args.threads} threads in {time.perf_counter() - started:.1f} s; "
          + ("the GIL is on: the threads took turns" if gil else "the GIL is off: the threads ran at the same time"))
    print(f"plot written to {path}")
    return history


if __name__ == "__main__":
    main()
