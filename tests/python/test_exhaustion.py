"""Exhausted memory: an allocation that cannot be satisfied raises
MemoryError, and the tape and every operand stay usable. A child
interpreter lowers its own address-space limit to just above what it uses,
tries operations whose results cannot fit, then lifts the limit and checks
that everything still works and holds the same values."""

import os
import subprocess
import sys

import numpy as np
import pytest

MIB = 1 << 20


def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def run_child():
    import resource

    import vessik as vs
    from vessik.nn.functional import relu

    T = vs.Tensor
    values = np.linspace(-1, 1, 1 << 25, dtype=np.float32)  # 128 MiB per tensor
    x = T(values, requires_grad=True)
    y = x * 2.0
    column, row = T(np.ones((8192, 1), np.float32)), T(np.ones((1, 8192), np.float32))  # 64 Mi elements
    small = T([1.0, 2.0], requires_grad=True)
    (small * small).backward()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def limit(headroom):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, hard))

    failures = []

    def must_fail(name, op):
        try:
            op()
        except MemoryError:
            return
        failures.append(f"{name} did not raise MemoryError")

    # The packed product's buffers, allocated on a thread's first large
    # product (transposed b: no direct path), not on the output's.
    tall, wide = T(np.ones((128, 4096), np.float32)), T(np.ones((128, 4096), np.float32)).transpose(0, 1)
    limit(2 * MIB)
    try:
        tall @ wide
        failures.append("the packed product did not raise MemoryError")
    except MemoryError as e:
        assert "packing buffers" in str(e), e

    limit(48 * MIB)
    for name, op in [
        ("add", lambda: x + y), ("broadcast add", lambda: column + row), ("product", lambda: column @ row),
        ("ones_like", x.ones_like), ("scalar", lambda: x * 3.0), ("relu", lambda: relu(x)),
        ("comparison", lambda: column < row), ("reshape", lambda: x.reshape([1 << 12, 1 << 13])),
        ("transpose", lambda: x.reshape([1, 1 << 25]).transpose(0, 1)), ("to_numpy", x.to_numpy),
        ("construct", lambda: T(values)), ("backward seed", y.backward),
    ]:
        must_fail(name, op)
    # Small work goes on under the limit, on the same tape.
    z = small * 3.0
    z.backward()
    assert small.grad().tolist() == [3.0, 3.0]
    # Room for the seed but not for the gradients: the pass fails part way
    # and leaves the stored gradients as they were.
    limit(192 * MIB)
    must_fail("backward pass", y.backward)
    assert small.grad().tolist() == [3.0, 3.0] and x.grad() is None

    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    assert np.array_equal(x.to_numpy(), values) and np.array_equal(y.to_numpy(), values * 2)
    y.backward()
    assert np.array_equal(x.grad(), np.full(values.shape, 2.0, np.float32))
    assert (column @ row).shape == [8192, 8192]
    assert np.array_equal((tall @ wide).to_numpy(), np.full((128, 128), 4096, np.float32))
    assert failures == [], failures
    print("ok")


@pytest.mark.skipif(bool(os.environ.get("VESSIK_SANITIZED")), reason="ASan reserves more address space than any limit")
def test_exhausted_memory_raises_and_leaves_everything_usable():
    child = subprocess.run([sys.executable, __file__], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.strip().endswith("ok")


if __name__ == "__main__":
    run_child()
