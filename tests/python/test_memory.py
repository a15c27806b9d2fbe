"""Nothing leaks: resident memory stays flat over long runs of small and
large operations and of short-lived threads, and reference counts of the
objects a call touched come back to where they were."""

import gc
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import vessik as vs
from vessik.nn.functional import relu

T = vs.Tensor
PAGE = os.sysconf("SC_PAGE_SIZE")
MIB = 1 << 20
# A leak of a few bytes per operation shows as more than this over the runs below.
FLAT = 1 * MIB
SANITIZED = bool(os.environ.get("VESSIK_SANITIZED"))  # ASan's allocator keeps freed memory in quarantine

pytestmark = pytest.mark.skipif(SANITIZED, reason="resident memory under ASan measures its quarantine")


def resident():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure(run, warm_up, measured):
    run(warm_up)
    before, blocks = resident(), sys.getallocatedblocks()
    run(measured)
    return resident() - before, sys.getallocatedblocks() - blocks


def growth(run, warm_up, measured):
    """Resident bytes and Python allocator blocks gained by `run(measured)`
    after `run(warm_up)` has filled the caches and free lists.

    The run is in a fresh interpreter with a fixed mmap threshold: by default
    glibc raises the threshold when a large block is freed, so later 4 MiB
    buffers come from the heap, whose high-water mark then depends on
    fragmentation rather than on what is still allocated."""
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_=str(256 << 10))
    child = subprocess.run([sys.executable, __file__, run.__name__, str(warm_up), str(measured)], env=env,
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    return json.loads(child.stdout.strip().splitlines()[-1])


def small_operations(count):
    """`count` operations on small tensors, a backward pass every 250 and
    clear_graph() every 1,000 operations."""
    w = T([[0.5, -1.0, 2.0], [1.5, 0.25, -0.5]])
    for i in range(count // 5):
        if i % 200 == 0:
            T.clear_graph()
            x = T([1.0, -2.0, 3.0], requires_grad=True)
        y = (x * w + 1.0) / 2.0  # three operations
        z = relu(y).transpose(0, 1)  # two
        if i % 50 == 49:
            z.backward()
            x.grad()
        try:
            x + T([1.0], dtype="f16")  # an error path, raised and not recorded
        except ValueError:
            pass


def test_small_operations_leave_memory_flat():
    rss, blocks = growth(small_operations, 20_000, 100_000)
    assert rss < FLAT, f"resident memory grew by {rss / MIB:.2f} MiB"
    assert blocks < 100, f"{blocks} Python objects were not released"


def large_operations(count):
    """`count` operations on 4 MiB tensors (huge-page sized buffers)."""
    values = np.linspace(-1, 1, 1 << 20, dtype=np.float32)
    v = T(np.ones((1024, 2), np.float32))
    for i in range(count // 5):
        if i % 10 == 0:
            x = T(values, requires_grad=True)
        y = relu(x * 2.0 + x)
        z = y.reshape([1024, 1024]) @ v
        if i % 10 == 9:
            z.backward()
            x.grad()
            z.to_numpy()
            T.clear_graph()
    T.clear_graph()


def test_large_operations_leave_memory_flat():
    rss, blocks = growth(large_operations, 200, 1_000)
    assert rss < FLAT, f"resident memory grew by {rss / MIB:.2f} MiB"
    assert blocks < 100


def short_threads(count):
    """Threads that each leave a graph with saved operands and gradients on
    their tape (about 100 KiB) and end without clearing it."""
    def work():
        x = T(np.ones(4096, np.float32), requires_grad=True)
        ((x * x) / 3.0 + x).backward()
        assert x.grad() is not None

    start = resident()
    for i in range(count):
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        # A tape that outlived its thread would cost gigabytes: stop early.
        if i % 1000 == 999:
            assert resident() - start < 64 * MIB, f"tapes kept after {i + 1} threads"


def test_a_thread_tape_is_released_when_the_thread_ends():
    rss, _ = growth(short_threads, 1_000, 10_000)
    assert rss < FLAT, f"resident memory grew by {rss / MIB:.2f} MiB over 10,000 threads"


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_reference_counts_come_back(dtype):
    """Arrays given to the constructor, tensors given to operations, and the
    dtype objects involved keep no extra references once the results and the
    graph are gone, on success and on error alike."""
    data = np.arange(6, dtype=np.float32).reshape(2, 3)
    descr = np.dtype(vs.bfloat16)
    x = T(data, dtype=dtype, requires_grad=dtype != "bool")
    counts = lambda: (sys.getrefcount(data), sys.getrefcount(x), sys.getrefcount(descr), sys.getrefcount(T))
    before = counts()
    for _ in range(100):
        results = [T(data, dtype=dtype), x.to_numpy(), x.ones_like(), x.reshape([3, 2]), x.transpose(0, 1), x == x,
                   x.shape, x.strides, x.dtype, x.grad()]
        for op in (lambda: x + x, lambda: x * 2, lambda: 2 / x, lambda: x @ x.transpose(0, 1), lambda: relu(x),
                   lambda: ~x, lambda: x & x, lambda: x + "a", lambda: x.reshape([7]), lambda: x.transpose(0, 5),
                   lambda: x < 1.0, lambda: x.backward(), lambda: x.__req__(1.0)):
            try:
                results.append(op())
            except (TypeError, ValueError, RuntimeError, IndexError):
                pass
        del results
    T.clear_graph()
    gc.collect()
    assert counts() == before


if __name__ == "__main__":
    name, warm_up, measured = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    print(json.dumps(measure(globals()[name], warm_up, measured)))
