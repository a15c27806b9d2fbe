"""Train the digit classifier of digits.py on several processes at once.

Data parallelism over MPI: every process (an MPI rank) holds the whole
model and computes the gradients of its own share of each batch; the ranks
then average their gradients (one all-reduce per step) and all apply the
same update, so their parameters stay equal. With the same seed and batch
size, the run follows the single-process one up to the rounding of the sums.

    mpiexec -n 2 python examples/digits_parallel.py --epochs 30 --out out

--batch-size is the global batch: with 2 processes each computes 16 of the
default 32 examples, so it must divide by the number of processes. The
progress bar, the messages and the plot come from rank 0 alone. The same
command runs across machines with `mpiexec -hosts a,b -n 2 ...` (see
docs/scaling.md).
"""

from __future__ import annotations

import sys
import time

import numpy as np

import vessik as vs
from digits import accuracy, gradients, init_params, load_data, parse_args, plot_once, update


def main(argv=None):
    args = parse_args(argv)
    try:
        from vessik import parallel
    except ImportError as exc:
        sys.exit(f"error: {exc}")
    try:
        # An error on one rank ends the job instead of leaving the others
        # waiting for it in the next all-reduce.
        with parallel.abort_on_error():
            return train(args, parallel)
    except parallel.ParallelError as exc:
        sys.exit(f"error: {exc}")


def train(args, parallel):
    from tqdm import tqdm

    root = parallel.is_root()  # the progress bar and the messages
    processes = parallel.size()
    x_train, y_train, x_test, y_test = load_data(args.seed)
    rng = np.random.default_rng(args.seed)
    params = init_params(rng)
    # Equal seeds give equal draws already; the broadcast makes equal
    # starting points a guarantee. The batch order below still relies on
    # the seed, which every rank reads from the same command line.
    parallel.broadcast_parameters(params)
    velocity = {k: np.zeros_like(v) for k, v in params.items()}
    # The loss rides along in the gradients' buffer: one all-reduce per step.
    averager = parallel.GradientAverager({**params, "loss": np.zeros(1, np.float32)})
    onehot = np.eye(10, dtype=np.float32)

    history = {"loss": [], "accuracy": []}
    steps = 0
    batches_per_epoch = len(list(parallel.batches(np.arange(len(x_train)), args.batch_size)))
    # As in digits.py: one bar over the run, left out off a terminal; rank 0 only.
    bar = tqdm(total=args.epochs * batches_per_epoch, unit="batch", disable=None if root else True,
               dynamic_ncols=True)
    for epoch in range(1, args.epochs + 1):
        start = time.perf_counter()
        order = rng.permutation(len(x_train))
        shares = list(parallel.batches(order, args.batch_size))
        total = seen = 0.0
        for idx in shares:
            x = vs.Tensor(x_train[idx], dtype=args.dtype)
            targets = vs.Tensor(onehot[y_train[idx]], dtype=args.dtype)
            value, grads = gradients(params, x, targets, args.dtype)
            grads["loss"] = np.array([value], np.float32)
            averager.average(grads)
            update(params, velocity, {k: g for k, g in grads.items() if k != "loss"}, args.lr, args.momentum)
            total += float(grads["loss"][0]) * len(idx) * processes
            seen += len(idx) * processes
            steps += 1
            bar.set_postfix_str(f"epoch {epoch}/{args.epochs}, loss {total / seen:.4f}", refresh=False)
            bar.update()
        loss = total / seen
        acc = accuracy(params, x_test, y_test, args.dtype)
        history["loss"].append(loss)
        history["accuracy"].append(acc)
        if root:
            tqdm.write(
                f"epoch {epoch:3d}/{args.epochs}  loss {loss:.4f}  held-out accuracy {acc:.4f}"
                f"  time {(time.perf_counter() - start) * 1e3:.0f} ms"
            )
    bar.close()

    # Written only now, by one rank: a run that fails leaves --out as it was.
    path = parallel.on_root(save_plot, history, args, len(x_test))
    parallel.root_print(f"final held-out accuracy ({args.dtype}): {history['accuracy'][-1]:.4f}")
    parallel.root_print(
        f"trained on {processes} process{'es' if processes > 1 else ''}; all-reduce "
        f"{averager.seconds / max(steps, 1) * 1e3:.3f} ms per step (waits for the slowest rank included)"
    )
    parallel.root_print(f"plot written to {path}")
    return history


def save_plot(history, args, test_size):
    args.out.mkdir(parents=True, exist_ok=True)
    # Beside, not over, the plot of digits.py in the same --out.
    path = args.out / f"digits_parallel_{args.dtype}.png"
    plot_once(history, path, args.dtype, test_size)
    return path


if __name__ == "__main__":
    main()
