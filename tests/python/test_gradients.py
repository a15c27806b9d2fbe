"""Gradients of random programs against a float64 reference.

The reference below is a small reverse-mode autodiff in NumPy that sums
every gradient back to its operand's shape; where PyTorch is installed each
program also runs through torch.autograd, so the reference is checked too.
The engine keeps broadcast gradients unreduced, so each leaf's gradient
must have a shape its own shape broadcasts to, and summed over the
broadcast axes (reduce_to) it must equal the reference's.

VESSIK_FUZZ_EXAMPLES=N runs N random programs instead of 200.
"""

import os
from types import SimpleNamespace

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, note, settings
from hypothesis import strategies as st

import vessik as vs
from vessik.nn.functional import relu

try:
    import torch
except ImportError:
    torch = None

T = vs.Tensor
FUZZ = int(os.environ.get("VESSIK_FUZZ_EXAMPLES") or 0)
SETTINGS = settings(
    max_examples=FUZZ or 200,
    deadline=None,
    derandomize=not FUZZ,  # the everyday run is reproducible; the long one explores
    database=None,
    suppress_health_check=list(HealthCheck),
)
NP = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
MAX_ELEMENTS, MAX_VALUE = 2000, 1e3


def values(shape, seed):
    """Well-conditioned leaf values: relu never at 0, quotients away from 0."""
    rng = np.random.default_rng(seed)
    return rng.uniform(0.5, 2, shape) * rng.choice([-1.0, 1.0], shape)


def broadcasts_to(shape, target):
    """Whether `shape` broadcasts to `target` (right-aligned, equal or 1)."""
    lead = len(target) - len(shape)
    return lead >= 0 and all(s in (1, t) for s, t in zip(shape, target[lead:]))


def reduce_to(grad, shape):
    """Sums a broadcast gradient back to `shape`."""
    shape = tuple(shape)
    assert broadcasts_to(shape, grad.shape), f"gradient {grad.shape} for an operand {shape}"
    grad = grad.sum(axis=tuple(range(grad.ndim - len(shape))))
    axes = tuple(i for i, n in enumerate(shape) if n == 1 and grad.shape[i] != 1)
    return grad.sum(axis=axes, keepdims=True)


# ---------------------------------------------------------------- reference

def lift(x):
    return x if isinstance(x, Ref) else Ref(x)


class Ref:
    """A float64 tensor with the engine's operators and textbook gradients."""

    def __init__(self, v, parents=(), requires_grad=False):
        self.v = np.asarray(v, dtype=np.float64)
        self.parents = [(p, rule) for p, rule in parents if p.requires_grad]
        self.requires_grad = requires_grad or bool(self.parents)
        self.g = None

    shape = property(lambda self: self.v.shape)

    def __add__(a, b):
        b = lift(b)
        return Ref(a.v + b.v, [(a, lambda g: g), (b, lambda g: g)])

    def __sub__(a, b):
        b = lift(b)
        return Ref(a.v - b.v, [(a, lambda g: g), (b, lambda g: -g)])

    def __mul__(a, b):
        b = lift(b)
        return Ref(a.v * b.v, [(a, lambda g: g * b.v), (b, lambda g: g * a.v)])

    def __truediv__(a, b):
        b = lift(b)
        return Ref(a.v / b.v, [(a, lambda g: g / b.v), (b, lambda g: -g * a.v / b.v**2)])

    def __rtruediv__(a, s):
        return lift(s) / a

    __radd__, __rmul__ = __add__, __mul__

    def __matmul__(a, b):
        return Ref(a.v @ b.v, [(a, lambda g: g @ np.swapaxes(b.v, -1, -2)),
                               (b, lambda g: np.swapaxes(a.v, -1, -2) @ g)])

    def transpose(a, i, j):
        return Ref(np.swapaxes(a.v, i, j), [(a, lambda g: np.swapaxes(g, i, j))])

    def reshape(a, shape):
        return Ref(a.v.reshape(shape), [(a, lambda g: g.reshape(a.shape))])

    def relu(a):
        return Ref(np.maximum(a.v, 0), [(a, lambda g: g * (a.v > 0))])

    def backward(self):
        order, seen = [], set()

        def visit(t):
            if id(t) not in seen:
                seen.add(id(t))
                for p, _ in t.parents:
                    visit(p)
                order.append(t)

        visit(self)
        self.g = np.ones(self.shape)
        for t in reversed(order):  # every consumer before what it consumes
            for p, rule in t.parents:
                d = reduce_to(rule(t.g), p.shape)
                p.g = d if p.g is None else p.g + d


def row_major(t):
    step = 1
    for n, s in zip(reversed(t.shape), reversed(t.strides)):
        if n > 1 and s != step:
            return False
        step *= n
    return True


def vessik_reshape(t, shape):
    # reshape needs a row-major layout; adding zeros makes one and keeps the graph
    return (t if row_major(t) else t + t.zeros_like()).reshape(shape)


# One interface per library: leaf(values, requires_grad), relu, reshape, backward, grad.
REF = SimpleNamespace(leaf=lambda v, rg=False: Ref(v, requires_grad=rg), relu=Ref.relu,
                      reshape=Ref.reshape, backward=Ref.backward, grad=lambda t: t.g)
TORCH = torch and SimpleNamespace(
    leaf=lambda v, rg=False: torch.tensor(v, dtype=torch.float64, requires_grad=rg),
    relu=torch.relu, reshape=lambda t, s: t.reshape(s), backward=lambda t: t.sum().backward(),
    grad=lambda t: None if t.grad is None else t.grad.numpy())


def vessik_lib(dtype):
    return SimpleNamespace(leaf=lambda v, rg=False: T(v, dtype=dtype, requires_grad=rg), relu=relu,
                           reshape=vessik_reshape, backward=T.backward, grad=T.grad)


def gradients(build, lib):
    leaves, out = build(lib)
    lib.backward(out)
    return [lib.grad(x) for x in leaves], leaves


def check(build, dtype="f32", rtol=1e-4):
    """build(lib) -> (leaves, output). Differentiates the output's sum in
    vessik and the reference and compares every leaf's gradient."""
    want, _ = gradients(build, REF)
    if TORCH:
        for w, t in zip(want, gradients(build, TORCH)[0]):
            assert (w is None) == (t is None)
            if w is not None:
                np.testing.assert_allclose(w, t, rtol=1e-10, atol=1e-10 * max(1, np.abs(t).max()))
    T.clear_graph()
    try:
        got, leaves = gradients(build, vessik_lib(dtype))
        for k, (g, w, x) in enumerate(zip(got, want, leaves)):
            if w is None:
                assert g is None, f"leaf {k} does not reach the output but has a gradient"
                continue
            assert g is not None, f"leaf {k} reaches the output but has no gradient"
            assert broadcasts_to(tuple(x.shape), g.shape), f"leaf {k}: {x.shape} vs grad {g.shape}"
            np.testing.assert_allclose(reduce_to(g.astype(np.float64), x.shape), w, rtol=rtol,
                                       atol=rtol * max(1, np.abs(w).max()), err_msg=f"leaf {k}")
    finally:
        T.clear_graph()


# ---------------------------------------------------------------- programs

STEP = {
    "leaf": lambda L, v, rg: L.leaf(v, rg),
    "+": lambda L, a, b: a + b, "-": lambda L, a, b: a - b,
    "*": lambda L, a, b: a * b, "/": lambda L, a, b: a / b, "@": lambda L, a, b: a @ b,
    "+s": lambda L, a, s: a + s, "-s": lambda L, a, s: a - s, "*s": lambda L, a, s: a * s,
    "/s": lambda L, a, s: a / s, "s/": lambda L, a, s: s / a,
    "transpose": lambda L, a, i, j: a.transpose(i, j),
    "reshape": lambda L, a, shape: L.reshape(a, list(shape)),
    "relu": lambda L, a: L.relu(a),
}


def replay(steps, target, L):
    ts = []
    for name, args, params in steps:
        ts.append(STEP[name](L, *[ts[i] for i in args], *params))
    return [t for t, s in zip(ts, steps) if s[0] == "leaf"], ts[target]


def partner_shape(draw, shape, max_rank):
    """A shape that broadcasts with `shape`, in either direction or both."""
    out, up = [], draw(st.booleans())  # up: at least as many axes, so `shape` is often broadcast
    for k in range(1, draw(st.integers(min(len(shape), max_rank) if up else 0, max_rank)) + 1):
        n = shape[-k] if k <= len(shape) else 1
        out.append(draw(st.sampled_from([n, n, 1] if n > 1 else [1, 2, 3, 4])))
    return tuple(reversed(out))


def compatible(a, b):
    return all(x == y or 1 in (x, y) for x, y in zip(a[::-1], b[::-1]))


def prime_factors(n):
    out, p = [], 2
    while n > 1:
        while n % p == 0:
            out.append(p)
            n //= p
        p += 1
    return out


@st.composite
def programs(draw):
    """A random program as steps (name, operand indices, parameters) and the
    index of the tensor to differentiate; the reference runs alongside so
    that divisions and relu stay well-conditioned."""
    steps, refs = [], []

    def add(name, args, params=()):
        t = STEP[name](REF, *[refs[i] for i in args], *params)
        if t.v.size > MAX_ELEMENTS or np.abs(t.v).max() > MAX_VALUE:
            return None
        steps.append((name, tuple(args), tuple(params)))
        refs.append(t)
        return len(refs) - 1

    def leaf(shape, rg=None):
        v = values(shape, draw(st.integers(0, 2**32 - 1))).astype(np.float32).astype(np.float64)
        return add("leaf", (), (v,
                                draw(st.integers(0, 3)) > 0 if rg is None else rg))

    def away_from_zero(i):
        return np.abs(refs[i].v).min() >= 0.25

    shapes = st.lists(st.sampled_from([1, 1, 2, 3, 4]), max_size=4).map(tuple)
    for k in range(draw(st.integers(1, 3))):
        leaf(draw(shapes), rg=True if k == 0 else None)
    for _ in range(draw(st.integers(1, 8))):
        kind = draw(st.sampled_from(["bin", "bin", "scalar", "matmul", "transpose", "reshape", "relu"]))
        i = len(refs) - 1 - draw(st.integers(0, len(refs) - 1))  # mostly the latest: chains
        shape = refs[i].shape
        if kind == "bin":
            fits = [j for j, t in enumerate(refs) if compatible(shape, t.shape)]
            j = draw(st.sampled_from(fits)) if draw(st.booleans()) else leaf(partner_shape(draw, shape, 4))
            if j is None:
                continue
            if draw(st.booleans()):
                i, j = j, i
            op = draw(st.sampled_from("+-*/"))
            add("*" if op == "/" and not away_from_zero(j) else op, (i, j))
        elif kind == "scalar":
            op = draw(st.sampled_from(["+s", "-s", "*s", "/s", "s/"]))
            if op != "s/" or away_from_zero(i):
                add(op, (i,), (draw(st.sampled_from([-2.0, -0.5, 0.5, 1.5, 3.0])),))
        elif kind == "matmul":
            mats = [k for k, t in enumerate(refs) if t.v.ndim >= 2]
            if not mats:
                continue
            i = draw(st.sampled_from(mats))
            shape, left = refs[i].shape, draw(st.booleans())
            inner = shape[-1] if left else shape[-2]
            fits = [j for j in mats if refs[j].shape[-2 if left else -1] == inner
                    and compatible(shape[:-2], refs[j].shape[:-2])]
            if fits and draw(st.booleans()):
                j = draw(st.sampled_from(fits))
            else:
                batch, n = partner_shape(draw, shape[:-2], 2), draw(st.integers(1, 4))
                mat = (inner, n) if left else (n, inner)
                flip = draw(st.booleans())  # the operand as the transpose of a leaf
                j = leaf(batch + (mat[::-1] if flip else mat))
                if j is not None and flip:
                    j = add("transpose", (j,), (len(batch), len(batch) + 1))
            if j is not None:
                add("@", (i, j) if left else (j, i))
        elif kind == "transpose" and shape:
            axis = st.integers(0, len(shape) - 1)
            add("transpose", (i,), (draw(axis), draw(axis)))
        elif kind == "reshape":
            if len(shape) >= 2 and draw(st.booleans()):  # a transposed layout
                i = add("transpose", (i,), (0, len(shape) - 1))
            factors = prime_factors(refs[i].v.size)
            dims = [1] * draw(st.integers(1 if factors else 0, 4))
            for f in factors:
                dims[draw(st.integers(0, len(dims) - 1))] *= f
            add("reshape", (i,), (tuple(dims),))
        elif kind == "relu":
            v = np.abs(refs[i].v)
            if v.min() >= 1e-3 * max(1, v.max()):  # float32 rounding cannot flip a sign
                add("relu", (i,))
    made = [k for k, s in enumerate(steps) if s[0] != "leaf" and refs[k].requires_grad]
    assume(made)
    return steps, made[-1 - draw(st.integers(0, len(made) - 1))], [r.shape for r in refs]


def describe(steps, target, shapes):
    lines = []
    for k, (name, args, params) in enumerate(steps):
        if name == "leaf":
            lines.append(f"t{k} = leaf({params[0].tolist()}, requires_grad={params[1]})")
        else:
            operands = ", ".join([f"t{i}" for i in args] + [str(p) for p in params])
            lines.append(f"t{k} = {name}({operands})  # {list(shapes[k])}")
    return "\n".join(lines + [f"t{target}.backward()"])


@SETTINGS
@given(programs())
def test_random_programs_match_reference(program):
    steps, target, shapes = program
    note(describe(steps, target, shapes))
    check(lambda L: replay(steps, target, L))


# ---------------------------------------------------------------- regressions

B21 = np.array([[1.0], [2.0]])
# (leaves: values or a shape, and whether each requires a gradient; program)
ROWS = {
    "transpose_then_broadcast": ([((2, 3), True), ((4, 3, 2), False)],
                                 lambda L, x, t: x.transpose(0, 1) * t),
    "batch_at_transposed_weight": ([((2, 3), True), ((4, 5, 3), True)],
                                   lambda L, w, inp: inp @ w.transpose(0, 1)),
    "shares_of_two_shapes": ([(B21, True)], lambda L, b: (b @ L.leaf([[1.0, 1.0, 1.0]])) * b),
    "reshape_then_transpose": ([((6,), True)], lambda L, x: x.reshape([2, 3]).transpose(0, 1)),
    "matmul_then_broadcast": ([((4, 3), True), ((3, 1), True)],
                              lambda L, x, w: x @ w + L.leaf(np.ones((4, 5)))),
    "relu_then_broadcast": ([((3,), True)], lambda L, b: L.relu(b) * L.leaf(np.ones((2, 3)))),
    "reshape_then_broadcast_add": ([((3,), True)],
                                   lambda L, x: x.reshape([1, 3]) + L.leaf(np.ones((2, 3)))),
    "reshape_then_broadcast_mul": ([((6,), True)],
                                   lambda L, x: x.reshape([2, 3]) * L.leaf(np.ones((4, 2, 3)))),
    "shares_that_do_not_broadcast": ([((3,), True), ((2, 3), True), ((5, 3), True)],
                                     lambda L, x, w, u: (x + w) @ (x + u).transpose(0, 1)),
    "broadcast_batches": ([((2, 1, 3, 4), True), ((5, 4, 2), True)], lambda L, a, b: a @ b),
}
CASES = [(name, "f32") for name in ROWS] + [("shares_of_two_shapes", "f16"), ("shares_of_two_shapes", "bf16")]


@pytest.mark.parametrize("name, dtype", CASES, ids=[f"{n}-{d}" for n, d in CASES])
def test_reported_programs(name, dtype):
    leaf_rows, program = ROWS[name]
    # seeds from 1: seed 0 gives a [3] leaf no positive element, so relu would pass nothing
    leaves = [np.asarray(v if isinstance(v, np.ndarray) else values(v, k + 1), np.float64)
              .astype(NP[dtype]).astype(np.float64) for k, (v, _) in enumerate(leaf_rows)]

    def build(L):
        xs = [L.leaf(v, rg) for v, (_, rg) in zip(leaves, leaf_rows)]
        return xs, program(L, *xs)

    check(build, dtype, rtol=1e-4 if dtype == "f32" else 2e-2)
