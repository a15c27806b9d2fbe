"""Forward, backward and clear_graph() times of a deep chain and of a node
with many consumers, at two sizes: time per node should not grow with size.

    python bench/graph_scaling.py
"""

import time

import vessik as vs

T = vs.Tensor


def chain(n):
    x = T([1.0, -1.0], requires_grad=True)
    start = time.perf_counter()
    y = x
    for _ in range(n):
        y = y * 1.0
    built = time.perf_counter()
    y.backward()
    passed = time.perf_counter()
    T.clear_graph()
    return built - start, passed - built, time.perf_counter() - passed


def wide(n):
    x = T([1.0, -1.0], requires_grad=True)
    start = time.perf_counter()
    consumers = [x * 1.0 for _ in range(n)]
    total = consumers[0]
    for c in consumers[1:]:
        total = total + c
    built = time.perf_counter()
    total.backward()
    passed = time.perf_counter()
    del consumers
    T.clear_graph()
    return built - start, passed - built, time.perf_counter() - passed


def main():
    print(f"{'graph':>8} {'nodes':>9} {'forward ns/node':>16} {'backward ns/node':>17} {'clear ns/node':>14}")
    for name, build, sizes in (("chain", chain, (250_000, 1_000_000)), ("wide", wide, (25_000, 100_000))):
        per_node = []
        for n in sizes:
            best = min((build(n) for _ in range(3)), key=sum)
            per_node.append([t / n * 1e9 for t in best])
            print(f"{name:>8} {n:>9} {per_node[-1][0]:>16.0f} {per_node[-1][1]:>17.0f} {per_node[-1][2]:>14.0f}")
        ratios = ", ".join(f"{b / a:.2f}" for a, b in zip(*per_node))
        print(f"{'':>8} per-node time ratio, large/small (forward, backward, clear): {ratios}")


if __name__ == "__main__":
    main()
