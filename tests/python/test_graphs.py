"""Deep and wide graphs: a chain of a million operations and a node with a
hundred thousand consumers run forward and backward with no recursion, and
clearing them is as cheap. (bench/graph_scaling.py times two sizes of each
to show the cost is linear.)"""

import os

import numpy as np

import vessik as vs
from vessik.nn.functional import relu

T = vs.Tensor
# Sanitized builds run the same shapes, smaller.
SCALE = 10 if os.environ.get("VESSIK_SANITIZED") else 1


def test_a_chain_of_a_million_operations():
    n = 1_000_000 // SCALE
    x = T([1.0, -1.0], requires_grad=True)
    y = x
    for i in range(n // 4):
        # Four operations per round; the values stay exact.
        y = relu(y * 1.0 + 0.0).reshape([2])
    y.backward()
    np.testing.assert_array_equal(y.to_numpy(), [1.0, 0.0])
    np.testing.assert_array_equal(x.grad(), [1.0, 0.0])
    T.clear_graph()
    assert x.grad() is None


def test_a_node_with_a_hundred_thousand_consumers():
    n = 100_000 // SCALE
    x = T([2.0, 3.0], requires_grad=True)
    total = x * 1.0
    for _ in range(n - 1):
        total = total + x * 1.0
    total.backward()
    np.testing.assert_array_equal(total.to_numpy(), [2.0 * n, 3.0 * n])
    np.testing.assert_array_equal(x.grad(), [n, n])  # every count up to 2**24 is exact in float32
    T.clear_graph()
