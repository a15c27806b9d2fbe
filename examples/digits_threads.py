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
one thread. The last line says which it was.
"""

from __future__ import annotations

import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import vessik as vs
from digits import gradients, make_parser, positive_int, train


def main(argv=None):
    parser = make_parser("Train the digits perceptron with every batch shared among threads.")
    parser.add_argument("--threads", type=positive_int, default=2, help="threads, each with a share of every batch")
    args = parser.parse_args(argv)
    if args.batch_size < args.threads:
        sys.exit(f"error: --batch-size {args.batch_size} leaves a thread of the {args.threads} without examples")
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        history = train(args, lambda params, x, targets: shared_gradients(pool, args, params, x, targets),
                        "digits_threads", f", each batch over {args.threads} threads")
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"trained on {args.threads} threads in {time.perf_counter() - started:.1f} s; "
          + ("the GIL is on: the threads took turns" if gil else "the GIL is off: the threads ran at the same time"))
    return history


def shared_gradients(pool, args, params, x, targets):
    """The batch's mean loss and gradients, one share per thread; each
    share's graph lives and is cleared on its thread's tape."""
    def share(rows):
        return len(rows), gradients(params, vs.Tensor(x[rows], dtype=args.dtype),
                                    vs.Tensor(targets[rows], dtype=args.dtype), args.dtype)

    shares = [rows for rows in np.array_split(np.arange(len(x)), args.threads) if len(rows)]
    results = list(pool.map(share, shares))
    # Each share's loss is its own mean: weighting by share size makes the
    # whole batch's mean and its gradient.
    value = sum(n * v for n, (v, _) in results) / len(x)
    grads = {name: sum(n * g[name] for n, (_, g) in results) / len(x) for name in params}
    return value, grads


if __name__ == "__main__":
    main()
