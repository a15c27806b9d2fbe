"""Per-call overhead of crossing into vessik, against the NumPy calls that do
the same work: building a 4-element float32 tensor from a list against
numpy.array(list, dtype="float32"), and to_numpy() against ndarray.copy().

Rounds alternate between the two sides so drift hits both alike; the result
is the median of the per-round time ratios (target: at most 1.5).

    python3 bench/overhead.py [--rounds N] [--number N]
"""

import argparse
import statistics
import timeit

import numpy as np

import vessik

DATA = [1.0, 2.0, 3.0, 4.0]


def ratio(ours, theirs, rounds, number):
    ratios, ours_ns, theirs_ns = [], [], []
    for _ in range(rounds):
        a = timeit.timeit(ours, number=number) / number
        b = timeit.timeit(theirs, number=number) / number
        ratios.append(a / b)
        ours_ns.append(a * 1e9)
        theirs_ns.append(b * 1e9)
    return statistics.median(ratios), statistics.median(ours_ns), statistics.median(theirs_ns)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args()

    tensor = vessik.Tensor(DATA)
    array = np.array(DATA, dtype="float32")
    cases = [
        ("Tensor(list) / numpy.array(list, dtype='float32')",
         lambda: vessik.Tensor(DATA), lambda: np.array(DATA, dtype="float32")),
        ("Tensor.to_numpy() / ndarray.copy()", tensor.to_numpy, array.copy),
    ]
    print(f"{'case':<52} {'vessik ns':>10} {'numpy ns':>10} {'ratio':>7}")
    for name, ours, theirs in cases:
        r, a, b = ratio(ours, theirs, args.rounds, args.number)
        print(f"{name:<52} {a:>10.0f} {b:>10.0f} {r:>7.2f}")


if __name__ == "__main__":
    main()
