"""Node indices on the per-thread tape, seen through grad().

Node ids are not exposed; two tensors share an index exactly when a
gradient stored for one is read back through the other."""

import threading

import numpy as np
import pytest

import vessik
from vessik.nn.functional import relu

T = vessik.Tensor


def leaf(value=1.0):
    return T([value], requires_grad=True)


def backward_times_three(x):
    """x * 3 -> backward: stores 3 in x's slot and 1 in the product's."""
    (x * 3).backward()


def stale_leaves(n):
    """Leaves made on a fresh tape hold indices 0 .. n-1; the tape is then
    cleared, so they name whatever those slots hold next."""
    T.clear_graph()
    leaves = [leaf() for _ in range(n)]
    T.clear_graph()
    return leaves


def test_first_leaf_after_clear_graph_is_index_zero():
    old = stale_leaves(3)
    x = leaf()
    backward_times_three(x)
    np.testing.assert_array_equal(x.grad(), [3.0])
    np.testing.assert_array_equal(old[0].grad(), [3.0])  # the same slot 0
    np.testing.assert_array_equal(old[1].grad(), [1.0])  # slot 1: the product
    assert old[2].grad() is None  # beyond the tape


def test_grad_beyond_the_tape_is_none():
    old = stale_leaves(2)
    assert old[0].grad() is None and old[1].grad() is None


@pytest.mark.parametrize(
    "node,message",
    [
        (lambda x: x * x, "DType mismatch between gradient and operands during backward pass."),
        (relu, "DType mismatch between gradient and input during unary backward pass."),
    ],
)
def test_stale_index_hands_a_node_a_gradient_of_another_type(node, message):
    T.clear_graph()
    old = [leaf(), T([1.0], dtype="f16", requires_grad=True)]
    T.clear_graph()
    node(leaf())  # slot 1: an f32 node
    with pytest.raises(TypeError) as info:
        (old[1] * 3).backward()  # an f16 gradient for slot 1
    assert str(info.value) == message


@pytest.mark.parametrize(
    "bad",
    [
        dict(dtype="int8"),
        dict(device="gpu"),
        dict(dtype="float"),
    ],
)
def test_failed_construction_leaves_the_tape_unchanged(bad):
    old = stale_leaves(1)
    with pytest.raises(ValueError):
        T([1.0], requires_grad=True, **bad)
    with pytest.raises(ValueError):
        T([[1.0], [1.0, 2.0]], requires_grad=True)  # NumPy's error
    x = leaf()
    backward_times_three(x)
    np.testing.assert_array_equal(old[0].grad(), [3.0])


def test_threads_have_independent_tapes():
    workers = 4
    barrier = threading.Barrier(workers)
    results, errors = {}, []

    def work(k):
        try:
            T.clear_graph()
            x = leaf(float(k))  # index 0 on every thread
            barrier.wait()
            y = x * float(k + 1)  # index 1 on every thread
            barrier.wait()
            y.backward()
            barrier.wait()
            results[k] = (x.grad(), y.grad())
        except Exception as e:  # reported below
            errors.append(e)
            barrier.abort()

    main_leaf = leaf()
    threads = [threading.Thread(target=work, args=(k,)) for k in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in range(workers):
        np.testing.assert_array_equal(results[k][0], [float(k + 1)])
        np.testing.assert_array_equal(results[k][1], [1.0])
    # Nothing reached the main thread's tape.
    assert main_leaf.grad() is None


def test_gradient_is_visible_only_on_its_thread():
    x = leaf()
    backward_times_three(x)
    seen = []
    thread = threading.Thread(target=lambda: seen.append(x.grad()))
    thread.start()
    thread.join()
    assert seen == [None]
    np.testing.assert_array_equal(x.grad(), [3.0])
