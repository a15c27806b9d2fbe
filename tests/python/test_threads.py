"""Threads stay apart: every thread records into its own tape, so threads
that build graphs and run backward() at the same time get exactly the
results one thread gets alone, and never see each other's gradients."""

import threading

import numpy as np

import vessik as vs
from vessik.nn.functional import relu

T = vs.Tensor
THREADS = 8
ITERATIONS = 1_000


def graph_results(seed, iterations):
    """Builds and differentiates one graph per iteration (every element type,
    broadcasting, products, relu, reshape, transpose, a refused pass) and
    returns what it read back."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((3, 4)).astype(np.float32)
    b = (np.abs(rng.standard_normal((4,))) + 0.5).astype(np.float32)
    out = []
    for i in range(iterations):
        if i % 10 == 0:
            T.clear_graph()
        dtype = ("f32", "f16", "bf16")[i % 3]
        x = T(a + i / 64, dtype=dtype, requires_grad=True)
        w = T(b, dtype=dtype, requires_grad=True)
        y = relu(x * w - 0.5) / (w + 3.0)
        z = (y.transpose(0, 1) @ x).reshape([16]) * 2.0
        z.backward()
        out.append((z.to_numpy(), x.grad(), w.grad(), y.grad()))
        if i % 10 == 9:
            stale = z  # its graph is cleared at the next iteration
        elif i % 10 == 0 and i:
            try:
                stale.backward()
            except RuntimeError:
                pass
            else:
                raise AssertionError("backward() of a cleared graph ran")
        assert x.grad() is not None and np.array_equal(x.grad(), out[-1][1])
        (relu(w) * x).backward()  # a broadcast gradient reaches relu
        out.append((w.grad(), x.grad()))
    T.clear_graph()
    return out


def same(left, right):
    assert len(left) == len(right)
    for got, want in zip(left, right):
        for g, w in zip(got, want):
            assert g.dtype == w.dtype and g.shape == w.shape and g.tobytes() == w.tobytes()


def test_threads_started_together_get_the_single_thread_results():
    alone = [graph_results(seed, ITERATIONS) for seed in range(THREADS)]
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def work(seed):
        try:
            barrier.wait()
            results[seed] = graph_results(seed, ITERATIONS)
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for seed in range(THREADS):
        same(results[seed], alone[seed])


def test_a_gradient_is_invisible_on_another_thread():
    x = T([1.0, 2.0], requires_grad=True)
    (x * 3.0).backward()
    seen = {}

    def other():
        seen["before"] = x.grad()
        try:
            (x * 5.0).backward()
        except RuntimeError:
            seen["refused"] = True
        seen["after"] = x.grad()
        y = T([4.0], requires_grad=True)
        (y * 2.0).backward()
        seen["fresh"] = y.grad()

    thread = threading.Thread(target=other)
    thread.start()
    thread.join()
    assert seen["before"] is None and seen["after"] is None and seen["refused"]
    np.testing.assert_array_equal(seen["fresh"], [2.0])
    np.testing.assert_array_equal(x.grad(), [3.0, 3.0])  # the main thread's tape is untouched


def test_shared_constants_and_tensors_handed_between_threads():
    """Constants that every thread reads at once, and tensors made on one
    thread (without requires_grad) that another thread computes with."""
    import queue

    rng = np.random.default_rng(7)
    shared = {d: T(rng.standard_normal((8, 8)).astype(np.float32), dtype=d) for d in ("f32", "f16", "bf16")}
    count = 600

    def produce(i):
        return T(np.full((3, 8), i / 7, np.float32), dtype=("f32", "f16", "bf16")[i % 3])

    def consume(i, x):
        w = T(np.arange(8, dtype=np.float32) / (i + 1), dtype=x.dtype, requires_grad=True)
        y = relu(x @ shared[x.dtype] - w) * w
        y.backward()
        result = y.to_numpy(), w.grad()
        T.clear_graph()
        return result

    alone = [consume(i, produce(i)) for i in range(count)]
    handed, results, errors = queue.Queue(maxsize=8), [None] * count, []
    barrier = threading.Barrier(4)

    def producer(first):
        barrier.wait()
        for i in range(first, count, 2):
            handed.put((i, produce(i)))

    def consumer():
        barrier.wait()
        try:
            while (item := handed.get()) is not None:
                results[item[0]] = consume(*item)
        except Exception as e:  # noqa: BLE001 - reported by the main thread
            errors.append(e)

    producers = [threading.Thread(target=producer, args=(k,)) for k in range(2)]
    consumers = [threading.Thread(target=consumer) for _ in range(2)]
    for thread in producers + consumers:
        thread.start()
    for thread in producers:
        thread.join()
    for _ in consumers:
        handed.put(None)
    for thread in consumers:
        thread.join()
    assert errors == []
    same(results, alone)
