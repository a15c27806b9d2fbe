"""Random programs against a NumPy model of the same semantics.

Each example starts from an empty tape and runs a random sequence of
constructions, operators, methods, relu, clear_graph() and backward(). The
model below predicts every result bit for bit (NumPy's float16 and
ml_dtypes' bfloat16 round once per operation, as the engine does), its
shape and dtype, every error by class and message, and every gradient,
computed by hand in reverse over the tensors the program made. Matrix
products are checked against float64 within a bound on the
single-precision accumulation error, after which the model carries on with
the engine's values.

Strides are predicted for views and copies; a binary result may be row- or
column-major (test_operators has the cases), and the model goes on with the
layout the engine chose. After clear_graph() a tensor that requires a
gradient is stale: grad() is None, and backward() or a differentiable
operation from it is refused before anything else is checked.

A gradient may be larger than the result it belongs to, broadcast by a later
operation. Rules that need the result's axes, and shares of one node that
would repeat in a sum, sum it down in float32; the engine adds in its memory
order, so sums of more than two terms are checked within a bound.

VESSIK_FUZZ_EXAMPLES=N runs N examples per test instead of a few hundred in
total (`make fuzz`).
"""

import math
import operator
import os
from dataclasses import dataclass

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

import vessik as vs
from vessik.nn.functional import relu

T = vs.Tensor
FUZZ = int(os.environ.get("VESSIK_FUZZ_EXAMPLES", "0"))
SETTINGS = settings(
    max_examples=FUZZ or 250,
    deadline=None,
    derandomize=not FUZZ,  # the everyday run is reproducible; the long one explores
    database=None,
    suppress_health_check=list(HealthCheck),
)

NP = {"f32": np.dtype(np.float32), "f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16),
      "bool": np.dtype(np.bool_)}
KIND = {v: k for k, v in NP.items()}
# Significand bits, smallest subnormal and largest finite value.
PRECISION = {"f32": (24, 2.0**-149, 3.4028234663852886e38), "f16": (11, 2.0**-24, 65504.0),
             "bf16": (8, 2.0**-133, 3.3895313892515355e38)}
I64_MAX = 2**63 - 1
MAX_ELEMENTS = 1 << 12  # larger products from empty operands are not attempted
LAYOUT_ERROR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"
# Prefixes: the rest of these messages is advice.
STALE_OPERAND = "Tensor belongs to a graph that Tensor.clear_graph() cleared, or to another thread's graph"
STALE_BACKWARD = "backward() called on a tensor whose graph was cleared or belongs to another thread"


class Fail(Exception):
    """A predicted error: its class and, where it names shapes or axes, its
    message or the start of it (test_operators has the fixed ones)."""

    def __init__(self, cls, msg=None, prefix=False):
        super().__init__(cls, msg)
        self.cls, self.msg, self.prefix = cls, msg, prefix


# ---------------------------------------------------------------- layouts

def shape_text(shape):
    return "[" + ", ".join(str(n) for n in shape) + "]"


def element_count(shape):
    """The element count, or None when the non-zero lengths overflow int64."""
    nonzero = 1
    for n in shape:
        if n:
            nonzero *= n
    if nonzero > I64_MAX:
        return None
    return 0 if 0 in shape else nonzero


def row_major(shape):
    if 0 in shape:
        return (0,) * len(shape)
    out, step = [], 1
    for n in reversed(shape):
        out.append(step)
        step *= n
    return tuple(reversed(out))


def column_major(shape):
    if 0 in shape:
        return (0,) * len(shape)
    out, step = [], 1
    for n in shape:
        out.append(step)
        step *= n
    return tuple(out)


def dense(shape, strides, order):
    if 0 in shape:
        return True
    expected = 1
    for n, s in order(list(zip(shape, strides))):
        if n > 1 and s != expected:
            return False
        expected *= n
    return True


def is_row_major(shape, strides):
    return dense(shape, strides, lambda axes: reversed(axes))


def is_column_major(shape, strides):
    return dense(shape, strides, lambda axes: axes)


# ---------------------------------------------------------------- storage

@dataclass(eq=False)
class Arr:
    """A storage: shape, strides (None: a dense layout the engine chooses),
    element type, values (None when empty) and, for approximate values, a
    bound on each element's error (inf: unknown)."""

    shape: tuple
    strides: tuple
    kind: str
    v: np.ndarray | None
    tol: np.ndarray | None = None

    @classmethod
    def of(cls, values, strides=None):
        values = np.asarray(values)
        shape = values.shape
        return cls(shape, row_major(shape) if strides is None else strides, KIND[values.dtype],
                   values if values.size else None)

    def values(self, shape):
        return np.broadcast_to(self.v, shape)


def tol_of(shape, *inputs):
    """Unknown values when an input is approximate (only accumulation keeps a bound)."""
    if any(x.tol is not None for x in inputs) and element_count(shape):
        return np.full(shape, np.inf)
    return None


def ulp(x, kind):
    p, tiny, _ = PRECISION[kind]
    return np.abs(x) * 2.0 ** (1 - p) + tiny


def broadcast_shapes(a, b):
    n = max(len(a), len(b))
    out = [0] * n
    for i in range(n):
        la = a[len(a) - 1 - i] if i < len(a) else 1
        lb = b[len(b) - 1 - i] if i < len(b) else 1
        if la == lb or lb == 1:
            out[n - 1 - i] = la
        elif la == 1:
            out[n - 1 - i] = lb
        else:
            raise Fail(RuntimeError)
    return tuple(out)


def broadcast(a, b):
    shape = broadcast_shapes(a.shape, b.shape)
    if element_count(shape) is None:
        raise Fail(RuntimeError, f"Broadcast failed for A: {shape_text(a.shape)} -> {shape_text(shape)}")
    return shape


def elementwise(a, b, fn, kind=None, accumulate=False):
    shape = broadcast(a, b)
    kind = kind or a.kind
    if not element_count(shape):
        return Arr(shape, None, kind, None)
    v = np.asarray(fn(a.values(shape), b.values(shape)))
    assert v.dtype == NP[kind]
    tol = tol_of(shape, a, b)
    if accumulate and tol is not None:
        tol = sum(np.broadcast_to(x.tol if x.tol is not None else 0.0, shape) for x in (a, b))
        tol = tol + ulp(v.astype(np.float64), kind)
    return Arr(shape, None, kind, v, tol)


def arithmetic(a, b, fn, accumulate=False):
    if a.kind != b.kind:
        raise Fail(ValueError)
    if a.kind == "bool":
        raise Fail(TypeError)
    return elementwise(a, b, fn, accumulate=accumulate)


def comparison(a, b, symbol):
    if a.kind != b.kind:
        raise Fail(RuntimeError)
    return elementwise(a, b, COMPARE[symbol], "bool")


def logical(a, b, fn):
    if a.kind != "bool" or b.kind != "bool":
        raise Fail(RuntimeError)
    return elementwise(a, b, fn, "bool")


def logical_not(a):
    if a.kind != "bool":
        raise Fail(RuntimeError)
    return Arr(a.shape, a.strides, "bool", None if a.v is None else ~a.v)


def scalar_in(kind, s32):
    return np.asarray(s32, dtype=np.float32).astype(NP[kind])


def scalar_arithmetic(a, s32, fn):
    if a.kind == "bool":
        raise Fail(ValueError)
    v = None if a.v is None else np.asarray(fn(a.v, scalar_in(a.kind, s32)))
    return Arr(a.shape, a.strides, a.kind, v, tol_of(a.shape, a))


def scalar_comparison(a, s32, symbol):
    if a.kind == "bool":
        raise Fail(RuntimeError)
    v = None if a.v is None else np.asarray(COMPARE[symbol](a.v, scalar_in(a.kind, s32)))
    return Arr(a.shape, a.strides, "bool", v)


def relu_values(a):
    if a.kind == "bool":
        raise Fail(TypeError)
    v = None if a.v is None else np.where(a.v > 0, a.v, np.zeros((), a.v.dtype))
    return Arr(a.shape, a.strides, a.kind, v, tol_of(a.shape, a))


def filled_like(a, value):
    v = None if a.v is None else np.full(a.shape, value, NP[a.kind])
    return Arr(a.shape, row_major(a.shape), a.kind, v)


def reshape(a, shape):
    shape = tuple(shape)
    if element_count(shape) != element_count(a.shape):
        raise Fail(ValueError, "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes")
    if not is_row_major(a.shape, a.strides):
        raise Fail(ValueError, LAYOUT_ERROR)
    return Arr(shape, row_major(shape), a.kind, None if a.v is None else a.v.reshape(shape), tol_of(shape, a))


def swapped(seq, i, j):
    seq = list(seq)
    seq[i], seq[j] = seq[j], seq[i]
    return tuple(seq)


def transpose(a, d0, d1):
    n = len(a.shape)
    for d in (d0, d1):
        if d >= n:
            raise Fail(IndexError, f"transpose: axis {d} is out of range for a tensor with {n} axes")
    v = None if a.v is None else np.swapaxes(a.v, d0, d1)
    tol = None if a.tol is None else np.swapaxes(a.tol, d0, d1)
    strides = None if a.strides is None else swapped(a.strides, d0, d1)
    return Arr(swapped(a.shape, d0, d1), strides, a.kind, v, tol)


def matmul_values(a, b):
    """The product's checks and messages; float64 values with an error bound."""
    if len(a.shape) < 2 or len(b.shape) < 2:
        raise Fail(RuntimeError, f"Matmul requires at least 2D tensors. A: {len(a.shape)}D, B: {len(b.shape)}D")
    (m, k), (k2, n) = a.shape[-2:], b.shape[-2:]
    if k != k2:
        raise Fail(RuntimeError, f"Matrix inner dimensions mismatch for matmul: {k} vs {k2}")
    batch = broadcast_shapes(a.shape[:-2], b.shape[:-2])
    shape = batch + (m, n)
    count = element_count(shape)
    if count == 0:  # before the operands' views, which may be beyond addressing
        return Arr(shape, row_major(shape), a.kind, None)
    for name, target in (("A", batch + (m, k)), ("B", batch + (k, n))):
        if element_count(target) is None:
            raise Fail(RuntimeError, f"Broadcast failed for {name} to {shape_text(target)}")
    if count is None:
        raise Fail(RuntimeError, f"Matmul result shape {shape_text(shape)} is too large")
    assert count <= MAX_ELEMENTS, "the program generator keeps products small"
    if a.v is None or b.v is None:  # k == 0
        return Arr(shape, row_major(shape), a.kind, np.zeros(shape, NP[a.kind]))
    x, y = a.v.astype(np.float64), b.v.astype(np.float64)
    product = np.matmul(x, y)
    bound = np.matmul(np.abs(x), np.abs(y))
    tol = (k + 1) * 2.0**-23 * bound
    limit = PRECISION[a.kind][2] / 8
    if not (np.isfinite(x).all() and np.isfinite(y).all()) or not bound.max() < limit:
        tol = np.full(shape, np.inf)  # overflow or non-finite sums depend on the order
    if a.tol is not None or b.tol is not None:
        ta, tb = (np.zeros(t.shape) if t.tol is None else t.tol for t in (a, b))
        tol = tol + np.matmul(ta, np.abs(y) + tb) + np.matmul(np.abs(x), tb)
    return Arr(shape, row_major(shape), a.kind, product.astype(NP[a.kind]), tol)


def matmul(a, b):
    if a.kind != b.kind:
        raise Fail(ValueError)
    if a.kind == "bool":
        raise Fail(TypeError)
    return matmul_values(a, b)


def backward_div(lhs, g, rhs):
    common = broadcast(g, lhs)
    shape = broadcast_shapes(common, rhs.shape)
    if element_count(shape) is None:
        raise Fail(RuntimeError, f"Broadcast failed for gradient: {shape_text(g.shape)} -> {shape_text(shape)}")
    strides = row_major(shape)
    if not element_count(shape):
        return Arr(shape, strides, g.kind, None), Arr(shape, strides, g.kind, None)
    gv, lv, rv = g.values(shape), lhs.values(shape), rhs.values(shape)
    tol = tol_of(shape, g, lhs, rhs)
    return (Arr(shape, strides, g.kind, gv / rv, tol),
            Arr(shape, strides, g.kind, ((-gv) * lv) / (rv * rv), tol))


def last_axes_swapped(a):
    n = len(a.shape)
    return a if n < 2 else transpose(a, n - 2, n - 1)


def backward_relu(x, g):
    v = None if g.v is None else np.where(x.values(g.shape) > 0, g.v, np.zeros((), g.v.dtype))
    return Arr(g.shape, g.strides, g.kind, v, tol_of(g.shape, g))


def sum_to_shape(g, target):
    """g summed over its axes that `target` broadcasts to, in float32 from -0,
    rounded once to the element type."""
    lead = len(g.shape) - len(target)
    axes = tuple(range(lead)) + tuple(lead + i for i, n in enumerate(target) if n == 1)
    strides = row_major(target)
    if not element_count(target):
        return Arr(target, strides, g.kind, None)
    if g.v is None:
        return Arr(target, strides, g.kind, np.zeros(target, NP[g.kind]))

    def over_axes(reduce, x, **kw):
        return reduce(x, axis=axes, **kw).reshape(target)

    v = over_axes(np.add.reduce, g.v.astype(np.float32), initial=np.float32(-0.0)).astype(NP[g.kind])
    # The engine adds in its memory order. The order cannot matter for two
    # terms, nor when every partial sum is a float32: a multiple of the
    # terms' smallest quantum, below 2**24 of them.
    p, tiny, largest = PRECISION[g.kind]
    x = np.abs(g.v.astype(np.float64))
    bound = over_axes(np.add.reduce, x)
    quantum = np.where(x > 0, np.maximum(np.ldexp(1.0, np.frexp(x)[1] - p), tiny), np.inf)
    terms = g.v.size // v.size
    exact = (terms <= 2) | (bound < over_axes(np.minimum.reduce, quantum) * 2.0**24)
    if g.tol is None and exact.all():
        return Arr(target, strides, g.kind, v)
    tol = np.where(exact, 0.0, (terms + 1) * 2.0**-23 * bound)
    if g.tol is not None:
        tol = tol + over_axes(np.add.reduce, g.tol)
    tol = np.where(tol == 0, 0.0, tol + ulp(v.astype(np.float64), g.kind))  # and the final rounding
    unordered = ~exact & ~(bound < largest / 8)  # overflow or non-finite terms
    return Arr(target, strides, g.kind, v, np.where(unordered, np.inf, tol))


def add_shares(a, b):
    """Two shares of one node's gradient. Shapes that would repeat one of
    them in the sum are first summed to the axes the two have in common."""
    try:
        total = element_count(broadcast_shapes(a.shape, b.shape))
        repeats = total is None or element_count(a.shape) != total or element_count(b.shape) != total
    except Fail:
        repeats = True
    if a.shape != b.shape and repeats:
        n = min(len(a.shape), len(b.shape))
        common = tuple(x if x == y else 1 for x, y in zip(a.shape[len(a.shape) - n:], b.shape[len(b.shape) - n:]))
        a, b = (x if x.shape == common else sum_to_shape(x, common) for x in (a, b))
    return arithmetic(a, b, np.add, accumulate=True)


COMPARE = {"<": np.less, "<=": np.less_equal, "==": np.equal, ">": np.greater, ">=": np.greater_equal}


# ---------------------------------------------------------------- gradients

@dataclass(eq=False)
class Node:
    kind: str
    inputs: list
    saved: tuple = ()


@dataclass(eq=False)
class RefTensor:
    arr: Arr
    requires_grad: bool = False
    node: Node | None = None
    stale: bool = False  # requires a gradient and was made before clear_graph()
    grad: Arr | None = None  # what grad() returns


class Graph:
    """Reverse mode by hand over the tensors that require a gradient, in the
    order the program made them. Gradients keep the broadcast shape; the
    gradient of an operand that requires none is never seen."""

    def __init__(self):
        self.made = []

    def leaf(self, rt):
        if rt.requires_grad:
            self.made.append(rt)

    def clear(self):
        for t in self.made:
            t.stale, t.grad = True, None
        self.made = []

    def differentiable(self, operands, kind, compute, saved=()):
        if any(o.stale for o in operands):
            raise Fail(RuntimeError, STALE_OPERAND, prefix=True)
        rt = RefTensor(compute(), any(o.requires_grad for o in operands))
        if rt.requires_grad:
            rt.node = Node(kind, operands, saved)
            self.leaf(rt)
        return rt

    def backward(self, t, engine_grads):
        """`engine_grads`: the engine's gradients after its own pass (None when
        it failed), to carry on where the model only has a bound."""
        if not t.requires_grad:
            raise Fail(ValueError, "backward() called on tensor that does not require grad")
        if t.stale:
            raise Fail(RuntimeError, STALE_BACKWARD, prefix=True)
        ctx, done = {t: filled_like(t.arr, 1)}, []
        for x in reversed(self.made[: self.made.index(t) + 1]):
            g = ctx.pop(x, None)
            if g is None:
                continue
            if g.tol is not None and engine_grads is not None and x in engine_grads:
                assert_values(engine_grads[x], g)
                g = Arr(g.shape, g.strides, g.kind, np.array(engine_grads[x]) if g.v is not None else None)
            if x.node is not None:
                self.run_rule(x.node, ctx, g)
            done.append((x, g))
        for x, g in done:
            x.grad = g

    @staticmethod
    def run_rule(node, ctx, g):
        def give(operand, grad):
            if operand.requires_grad:
                ctx[operand] = grad if operand not in ctx else add_shares(ctx[operand], grad)

        kind, ins, saved = node.kind, node.inputs, node.saved
        one = np.float32(1)
        if kind in ("add", "sub"):
            give(ins[0], scalar_arithmetic(g, one, np.multiply))
            give(ins[1], scalar_arithmetic(g, one if kind == "add" else np.float32(-1), np.multiply))
        elif kind == "mul":
            lhs, rhs = saved
            gl, gr = arithmetic(g, rhs, np.multiply), arithmetic(g, lhs, np.multiply)
            give(ins[0], gl)
            give(ins[1], gr)
        elif kind == "div":
            gl, gr = backward_div(*saved[:1], g, saved[1])
            give(ins[0], gl)
            give(ins[1], gr)
        elif kind == "matmul":
            lhs, rhs = saved  # only the wanted products are computed
            matrix = (lhs.shape[-2], rhs.shape[-1])
            if g.shape[-2:] != matrix:
                g = sum_to_shape(g, g.shape[:-2] + matrix)
            if ins[0].requires_grad:
                give(ins[0], matmul_values(g, last_axes_swapped(rhs)))
            if ins[1].requires_grad:
                give(ins[1], matmul_values(last_axes_swapped(lhs), g))
        elif kind == "relu":
            give(ins[0], backward_relu(saved[0], g))
        elif kind == "reshape":  # each trailing block of the result's shape, made row-major
            before, after = saved
            lead = g.shape[: len(g.shape) - len(after)]
            block = g if g.shape == lead + after else sum_to_shape(g, lead + after)
            block = Arr(block.shape, row_major(block.shape), block.kind, block.v, block.tol)
            give(ins[0], reshape(block, lead + before))
        elif kind == "transpose":  # axes counted from the right
            d0, d1, rank = saved
            extra = len(g.shape) - rank
            give(ins[0], transpose(g, d0 + extra, d1 + extra))
        else:  # scalar add, mul, div: multiply by 1, s or 1/s
            give(ins[0], scalar_arithmetic(g, one if kind == "sadd" else saved[0], np.multiply))


# ---------------------------------------------------------------- comparing

def bits(a):
    return a.view({2: np.uint16, 4: np.uint32}[a.dtype.itemsize])


def assert_values(got, exp):
    """`got` (an exported array) against the model's Arr `exp`."""
    assert got.dtype == NP[exp.kind]
    assert got.shape == exp.shape
    if exp.v is None:
        return
    want = exp.v
    if exp.kind == "bool":
        np.testing.assert_array_equal(got, want)
        return
    gn, wn = np.isnan(got), np.isnan(want)
    if exp.tol is None:
        np.testing.assert_array_equal(gn, wn)
        np.testing.assert_array_equal(bits(got)[~wn], bits(want)[~wn])
        return
    g64, w64 = got.astype(np.float64), want.astype(np.float64)
    with np.errstate(invalid="ignore"):
        ok = (g64 == w64) | (gn & wn) | ~np.isfinite(exp.tol) | (np.abs(g64 - w64) <= exp.tol + ulp(w64, exp.kind))
    assert ok.all(), (got, want, exp.tol)


def exportable(shape, kind):
    nbytes = NP[kind].itemsize
    for n in shape:
        if n > I64_MAX:
            return False
        nbytes *= n or 1
    return nbytes <= I64_MAX


def assert_export(got, exp):
    """Values, and the memory order the export promises."""
    assert_values(got, exp)
    if exp.v is None:
        return
    if exp.strides is None:
        assert got.flags.c_contiguous or got.flags.f_contiguous
    elif len(exp.shape) > 1 and not is_row_major(exp.shape, exp.strides) and is_column_major(exp.shape, exp.strides):
        assert got.flags.f_contiguous
    else:
        assert got.flags.c_contiguous


def read_export(method, exp):
    """Calls to_numpy or grad; huge empty shapes may be beyond NumPy."""
    try:
        return method()
    except ValueError:
        assert not exportable(exp.shape, exp.kind)
        return None


def assert_tensor(vt, rt):
    a = rt.arr
    assert vt.shape == list(a.shape)
    if a.strides is None:  # the model goes on with the engine's choice
        assert vt.strides in (list(row_major(a.shape)), list(column_major(a.shape)))
        a.strides = tuple(vt.strides)
    assert vt.strides == list(a.strides)
    assert vt.ndim == len(a.shape)
    assert vt.dtype == a.kind
    assert vt.requires_grad == rt.requires_grad
    got = read_export(vt.to_numpy, a)
    if got is not None:
        assert_export(got, a)
        if a.tol is not None:
            rt.arr = Arr(a.shape, a.strides, a.kind, np.array(got) if a.v is not None else None)


def outcome(fn):
    try:
        return fn(), None
    except Fail as f:
        return None, f
    except Exception as e:  # noqa: BLE001 - every error is compared
        return None, e


def assert_same_outcome(engine_error, predicted):
    if predicted is None:
        assert engine_error is None, f"unexpected {type(engine_error).__name__}: {engine_error}"
        return
    assert engine_error is not None, f"expected {predicted.cls.__name__}: {predicted.msg}"
    assert type(engine_error) is predicted.cls, (engine_error, predicted.msg)
    if predicted.prefix:
        assert str(engine_error).startswith(predicted.msg), (engine_error, predicted.msg)
    elif predicted.msg is not None:
        assert str(engine_error) == predicted.msg


# ---------------------------------------------------------------- programs

SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -3.0, 0.1, 1 / 3, 65504.0, 65520.0, 1e5, 1e-5, 6e-8, 1e-40,
            3e38, math.inf, -math.inf, math.nan]
SCALARS = SPECIALS + [True, False, 7, -2, 1e39, -1e39, np.float32(2.25), np.float16(1.5), 2.0**-24]
HUGE = [2**32, 2**40, 2**62, 2**63 - 1, 2**64 - 1]
KINDS = ["f32", "f32", "f16", "bf16", "bool"]
TENSOR_OPS = {
    "+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "@": operator.matmul,
    "<": operator.lt, "<=": operator.le, "==": operator.eq, ">": operator.gt, ">=": operator.ge,
    "!=": operator.ne, "&": operator.and_, "|": operator.or_, "^": operator.xor,
}
TENSOR_OP_WEIGHTS = ["+", "-", "*", "/", "@", "@"] * 2 + sorted(TENSOR_OPS)
ARITH = {"+": ("add", np.add), "-": ("sub", np.subtract), "*": ("mul", np.multiply), "/": ("div", np.divide)}
LOGIC = {"&": np.logical_and, "|": np.logical_or, "^": np.logical_xor}
# name: (engine call, how the tensor core sees it)
SCALAR_OPS = {
    "t+s": (lambda t, s: t + s, "add"), "s+t": (lambda t, s: s + t, "add"), "t-s": (lambda t, s: t - s, "sub"),
    "s-t": (lambda t, s: s - t, None), "t*s": (lambda t, s: t * s, "mul"), "s*t": (lambda t, s: s * t, "mul"),
    "t/s": (lambda t, s: t / s, "div"), "s/t": (lambda t, s: s / t, "rdiv"), "t@s": (lambda t, s: t @ s, None),
    "t&s": (lambda t, s: t & s, None), "s|t": (lambda t, s: s | t, None),
    "t<s": (lambda t, s: t < s, "<"), "t<=s": (lambda t, s: t <= s, "<="), "t==s": (lambda t, s: t == s, "=="),
    "t>s": (lambda t, s: t > s, ">"), "t>=s": (lambda t, s: t >= s, ">="), "t!=s": (lambda t, s: t != s, "!="),
    "s<t": (lambda t, s: s < t, ">"), "s>=t": (lambda t, s: s >= t, "<="), "s==t": (lambda t, s: s == t, "=="),
    "req": (lambda t, s: t.__req__(s), "=="), "rgt": (lambda t, s: t.__rgt__(s), "<"),
    "rlt": (lambda t, s: t.__rlt__(s), ">"),
}


def unsupported():
    raise Fail(TypeError)


@dataclass(eq=False)
class Live:
    vt: object  # the engine's tensor
    rt: RefTensor


class Program:
    def __init__(self, data):
        self.data = data
        self.graph = Graph()
        self.live = []
        self.only_grad = False  # every operand picked requires a gradient
        T.clear_graph()

    def draw(self, strategy):
        return self.data.draw(strategy)

    # -- drawing operands

    def draw_shape(self, like=None):
        """A new shape, often one that broadcasts with `like`."""
        if like is not None and all(n <= 4 for n in like) and self.draw(st.integers(0, 2)):
            shape = list(like[self.draw(st.integers(0, len(like))):])
            # Shorter where `like` is longer, or longer where it has length 1.
            shape = [self.draw(st.sampled_from([1, 2, 3])) if n == 1 else 1 if self.draw(st.integers(0, 3)) == 0 else n
                     for n in shape]
            shape = [self.draw(st.sampled_from([1, 2, 3]))
                     for _ in range(self.draw(st.integers(0, max(0, 5 - len(shape)))))] + shape
        else:
            shape = self.draw(st.lists(st.sampled_from([1, 1, 2, 2, 3, 3, 4, 0]), min_size=0, max_size=5))
        while math.prod(shape) > 64:
            shape[shape.index(max(shape))] -= 1
        return tuple(shape)

    def draw_values(self, shape):
        rng = np.random.default_rng(self.draw(st.integers(0, 2**32 - 1)))
        n = math.prod(shape)
        mode = rng.integers(0, 3)
        if mode == 0:
            values = rng.integers(-4, 5, n) * rng.choice([1.0, 0.5, 0.25])
        else:
            values = rng.standard_normal(n) * 10.0 ** rng.uniform(-3, 3)
        special = rng.random(n) < (0.02 if mode < 2 else 0.3)
        values[special] = rng.choice(SPECIALS, special.sum())
        return values.reshape(shape)

    def new_tensor(self, like=None, kind=None, shape=None, requires_grad=None):
        with np.errstate(all="ignore"):
            return self.make_tensor(self.draw_shape(like) if shape is None else shape, kind, requires_grad)

    def make_tensor(self, shape, kind, requires_grad):
        kind = kind or self.draw(st.sampled_from(KINDS))
        requires_grad = self.draw(st.booleans()) if requires_grad is None else requires_grad
        values = self.draw_values(shape)
        layout = self.draw(st.integers(0, 3))
        if layout == 1 and values.size:  # nested lists (an empty one would lose its shape)
            data = values.tolist()
        elif layout == 2:  # Fortran order and a negative stride on the way in
            data = np.asfortranarray(values[..., ::-1])[..., ::-1] if values.ndim else values
        elif layout == 3 and values.ndim:  # already of the element type, copied as it lies
            data = np.asfortranarray(values.astype(NP[kind]))
        else:
            data = values
        expected = np.array(values, dtype=NP[kind])
        vt = T(data, dtype=self.draw(st.sampled_from(DTYPE_SPELLINGS[kind])), requires_grad=requires_grad)
        rt = RefTensor(Arr.of(expected), requires_grad)
        self.graph.leaf(rt)
        live = Live(vt, rt)
        note(f"t{len(self.live)} = Tensor({expected!r}, requires_grad={requires_grad})")
        assert_tensor(vt, rt)
        self.live.append(live)
        return live

    def pick(self, requiring_grad=False):
        """A live tensor: often a recent one, so that chains grow deep."""
        pool = [x for x in self.live if x.rt.requires_grad] if requiring_grad or self.only_grad else self.live
        if self.draw(st.integers(0, 3)):  # stale tensors are refused: mostly leave them be
            pool = [x for x in pool if not x.rt.stale] or pool
        if not pool:
            return self.new_tensor()
        if self.draw(st.booleans()):
            pool = pool[-3:]
        return pool[self.draw(st.integers(0, len(pool) - 1))]

    def partner(self, a, op):
        """A second operand, usually one the operation accepts."""
        choice = self.draw(st.integers(0, 3))
        if choice == 0:
            return self.pick()
        kind = "bool" if op in LOGIC else a.rt.arr.kind
        shape = a.rt.arr.shape
        if op == "@" and len(shape) >= 2:
            batch = self.draw_shape(shape[:-2]) if self.draw(st.booleans()) else ()
            n = self.draw(st.integers(0, 3))
            wanted = batch + (shape[-1], n)
            if element_count(wanted) is not None and math.prod(wanted) <= 64:
                return self.new_tensor(kind=kind, shape=wanted)
        if choice == 1:
            fitting = [x for x in self.live if x.rt.arr.kind == kind and x is not a]
            if fitting:
                return fitting[self.draw(st.integers(0, len(fitting) - 1))]
        return self.new_tensor(like=shape, kind=kind)

    # -- steps

    def name(self, live):
        return f"t{self.live.index(live)}" if live in self.live else "?"

    def run(self, text, engine_call, predict):
        """Runs one step on both sides and compares what came back."""
        note(f"t{len(self.live)} = {text}")
        with np.errstate(all="ignore"):
            result, error = outcome(engine_call)
            predicted, failure = outcome(predict)
        if failure is not None and not isinstance(failure, Fail):
            raise failure
        assert_same_outcome(error, failure)
        if failure is not None:
            note(f"    raised {failure.cls.__name__}: {failure.msg}")
            return None
        if isinstance(predicted, RefTensor):
            live = Live(result, predicted)
            assert_tensor(result, predicted)
            self.live.append(live)
            return live
        assert result is predicted
        return None

    def step_tensor_op(self, op=None):
        a = self.pick(requiring_grad=self.draw(st.booleans()))
        op = op or self.draw(st.sampled_from(TENSOR_OP_WEIGHTS))
        b = self.partner(a, op)
        if op == "@" and self.product_too_large(a.rt.arr, b.rt.arr):
            return
        self.run(f"{self.name(a)} {op} {self.name(b)}", lambda: TENSOR_OPS[op](a.vt, b.vt), lambda: self.predict_tensor_op(op, a.rt, b.rt))

    @staticmethod
    def product_too_large(a, b):
        if len(a.shape) < 2 or len(b.shape) < 2 or a.shape[-1] != b.shape[-2]:
            return False
        try:
            batch = broadcast_shapes(a.shape[:-2], b.shape[:-2])
        except Fail:
            return False
        count = element_count(batch + (a.shape[-2], b.shape[-1]))
        return count is not None and count > MAX_ELEMENTS

    def predict_tensor_op(self, op, a, b):
        x, y = a.arr, b.arr
        if op in ARITH:
            kind, fn = ARITH[op]
            saved = (x, y) if kind in ("mul", "div") else ()
            return self.graph.differentiable([a, b], kind, lambda: arithmetic(x, y, fn), saved)
        if op == "@":
            return self.graph.differentiable([a, b], "matmul", lambda: matmul(x, y), (x, y))
        if op == "!=":
            comparison(x, y, "==")
            return False
        if op in LOGIC:
            return RefTensor(logical(x, y, LOGIC[op]))
        return RefTensor(comparison(x, y, op))

    def step_scalar_op(self):
        a = self.pick(requiring_grad=self.draw(st.booleans()))
        name = self.draw(st.sampled_from(sorted(SCALAR_OPS)))
        s = self.draw(st.one_of(st.sampled_from(SCALARS), st.floats(width=32), st.integers(-3, 3)))
        call, meaning = SCALAR_OPS[name]
        if not name.startswith("t") and isinstance(s, np.generic) or name in ("t@s", "t&s"):
            s = float(s) if isinstance(s, np.generic) else s  # NumPy scalars would take the operator themselves
        self.run(f"{name} with t={self.name(a)}, s={s!r}", lambda: call(a.vt, s), lambda: self.predict_scalar_op(meaning, a.rt, s))

    def predict_scalar_op(self, meaning, a, s):
        if meaning is None:
            unsupported()
        s32 = np.float32(float(s))
        x = a.arr
        if meaning == "add":
            return self.graph.differentiable([a], "sadd", lambda: scalar_arithmetic(x, s32, np.add))
        if meaning == "sub":
            return self.graph.differentiable([a], "sadd", lambda: scalar_arithmetic(x, s32, np.subtract))
        if meaning == "mul":
            return self.graph.differentiable([a], "smul", lambda: scalar_arithmetic(x, s32, np.multiply),
                                            (s32,))
        if meaning == "div":
            r = np.float32(1) / s32
            return self.graph.differentiable([a], "sdiv", lambda: scalar_arithmetic(x, r, np.multiply),
                                            (r,))
        if meaning == "rdiv":
            value = s32 != 0 if x.kind == "bool" else scalar_in(x.kind, s32)
            numerator = RefTensor(Arr.of(np.asarray(value, NP[x.kind])))
            return self.graph.differentiable([numerator, a], "div",
                                            lambda: arithmetic(numerator.arr, x, np.divide), (numerator.arr, x))
        if meaning == "!=":
            scalar_comparison(x, s32, "==")
            return False
        return RefTensor(scalar_comparison(x, s32, meaning))

    def step_unary(self, name=None):
        a = self.pick(requiring_grad=self.draw(st.booleans()))
        name = name or self.draw(st.sampled_from(["~", "relu", "zeros_like", "ones_like", "-t"]))
        if name == "~":
            self.run(f"~{self.name(a)}", lambda: ~a.vt, lambda: RefTensor(logical_not(a.rt.arr)))
        elif name == "relu":
            self.run(f"relu({self.name(a)})", lambda: relu(a.vt),
                     lambda: self.graph.differentiable([a.rt], "relu", lambda: relu_values(a.rt.arr), (a.rt.arr,)))
        elif name == "-t":
            self.run(f"-{self.name(a)}", lambda: -a.vt, unsupported)
        else:
            value = 0 if name == "zeros_like" else 1
            self.run(f"{self.name(a)}.{name}()", lambda: getattr(a.vt, name)(), lambda: RefTensor(filled_like(a.rt.arr, value)))

    def draw_reshape_target(self, shape):
        count = element_count(shape)
        choice = self.draw(st.integers(0, 5))
        if choice == 0:
            return self.draw(st.lists(st.integers(0, 6), max_size=5))
        if choice == 1:  # huge lengths: empty tensors accept them, others overflow or mismatch
            target = self.draw(st.lists(st.sampled_from([0, 1, 2] + HUGE), max_size=4))
            return target
        if count == 0:
            target = self.draw(st.lists(st.integers(0, 4), min_size=1, max_size=5))
            target[self.draw(st.integers(0, len(target) - 1))] = 0
            return target
        factors = []
        for p in (2, 3, 5, 7, 11, 13):
            while count % p == 0:
                factors.append(p)
                count //= p
        if count > 1:
            factors.append(count)
        axes = self.draw(st.integers(1 if factors else 0, 5))
        target = [1] * axes
        for f in factors:
            target[self.draw(st.integers(0, axes - 1))] *= f
        return target

    def step_reshape(self):
        a = self.pick(requiring_grad=self.draw(st.booleans()))
        target = self.draw_reshape_target(a.rt.arr.shape)
        as_tuple = self.draw(st.booleans())
        arg = tuple(target) if as_tuple else list(target)
        self.run(f"{self.name(a)}.reshape({arg!r})", lambda: a.vt.reshape(arg),
                 lambda: self.graph.differentiable([a.rt], "reshape", lambda: reshape(a.rt.arr, target),
                                                  (a.rt.arr.shape, tuple(target))))

    def step_transpose(self):
        a = self.pick(requiring_grad=self.draw(st.booleans()))
        shape = a.rt.arr.shape
        long_axes = [i for i, n in enumerate(shape) if n > 1]
        if len(long_axes) >= 2 and self.draw(st.integers(0, 3)):  # one that changes the layout
            d0, d1 = self.draw(st.permutations(long_axes))[:2]
        else:
            axis = st.integers(0, max(len(shape) - 1, 0)) if self.draw(st.integers(0, 7)) else st.integers(0, 7)
            d0, d1 = self.draw(axis), self.draw(axis)
        self.run(f"{self.name(a)}.transpose({d0}, {d1})", lambda: a.vt.transpose(d0, d1),
                 lambda: self.graph.differentiable([a.rt], "transpose", lambda: transpose(a.rt.arr, d0, d1),
                                                  (d0, d1, len(shape))))

    def step_backward(self):
        a = self.pick(requiring_grad=self.draw(st.integers(0, 3)) > 0)
        note(f"{self.name(a)}.backward()")
        with np.errstate(all="ignore"):
            _, error = outcome(a.vt.backward)
            engine_grads = None
            if error is None:
                engine_grads = {}
                for x in self.live:
                    if x.rt.requires_grad:
                        try:
                            engine_grads[x.rt] = x.vt.grad()
                        except ValueError:  # an empty gradient too large for NumPy
                            pass
            _, failure = outcome(lambda: self.graph.backward(a.rt, engine_grads))
        if failure is not None and not isinstance(failure, Fail):
            raise failure
        assert_same_outcome(error, failure)
        self.check_grads()

    def check_grads(self):
        for x in self.live:
            stored = x.rt.grad
            if stored is None:
                assert x.vt.grad() is None
            else:
                got = read_export(x.vt.grad, stored)
                if got is not None:
                    assert_export(got, stored)

    def step_clear(self):
        note("Tensor.clear_graph()")
        T.clear_graph()
        self.graph.clear()

    def step(self):
        action = self.draw(st.sampled_from(
            ["new"] * 2 + ["tensor"] * 5 + ["scalar"] * 3 + ["unary"] * 2 + ["reshape"] * 2 + ["transpose"] * 2
            + ["backward"] * 2 + ["clear"]))
        if action == "new":
            self.new_tensor(like=self.pick().rt.arr.shape if self.live and self.draw(st.booleans()) else None)
        else:
            getattr(self, "step_" + {"tensor": "tensor_op", "scalar": "scalar_op"}.get(action, action))()

    def finish(self):
        """Nothing that was read ever changed; a final pass from the last
        tensor that requires a gradient checks the gradients once more."""
        for x in self.live:
            assert_tensor(x.vt, x.rt)
        with_grad = [x for x in self.live if x.rt.requires_grad]
        if with_grad:
            self.step_backward_of(with_grad[-1])

    def step_backward_of(self, a):
        picked = self.pick
        self.pick = lambda requiring_grad=False: a
        try:
            self.step_backward()
        finally:
            self.pick = picked


DTYPE_SPELLINGS = {
    "f32": ["float32", "f32", np.float32, None],
    "f16": ["float16", "f16", np.float16, np.dtype("float16")],
    "bf16": ["bfloat16", "bf16", ml_dtypes.bfloat16],
    "bool": ["bool", bool, np.bool_],
}


@SETTINGS
@given(st.data())
def test_random_programs_match_the_model(data):
    program = Program(data)
    for _ in range(data.draw(st.integers(1, 30))):
        program.step()
    program.finish()


@SETTINGS
@given(st.data())
def test_random_products_and_their_gradients(data):
    """Matrix products with broadcast batch axes, transposed operands and
    every element type, then backward through them."""
    program = Program(data)
    kind = data.draw(st.sampled_from(["f32", "f16", "bf16"]))
    m, k, n = (data.draw(st.integers(0, 4)) for _ in range(3))
    batch_a = program.draw_shape()[:2]
    batch_b = program.draw_shape(like=batch_a)[-2:] if data.draw(st.booleans()) else ()
    if math.prod(batch_a) * m * k > 64 or math.prod(batch_b) * k * n > 64:
        batch_a, batch_b = batch_a[-1:], ()
    a = program.new_tensor(kind=kind, shape=batch_a + (k, m) if data.draw(st.booleans()) else batch_a + (m, k))
    if a.rt.arr.shape[-2:] != (m, k):  # read a transposed operand
        a = program.run("a.transpose()", lambda: a.vt.transpose(len(batch_a), len(batch_a) + 1),
                        lambda: program.graph.differentiable([a.rt], "transpose",
                                                            lambda: transpose(a.rt.arr, len(batch_a), len(batch_a) + 1),
                                                            (len(batch_a), len(batch_a) + 1, len(batch_a) + 2)))
    b = program.new_tensor(kind=kind, shape=batch_b + (k, n))
    if program.product_too_large(a.rt.arr, b.rt.arr):
        return
    product = program.run("a @ b", lambda: a.vt @ b.vt,
                          lambda: program.graph.differentiable([a.rt, b.rt], "matmul",
                                                              lambda: matmul(a.rt.arr, b.rt.arr),
                                                              (a.rt.arr, b.rt.arr)))
    if product is not None:
        program.step_backward_of(product)
    for _ in range(data.draw(st.integers(0, 6))):
        program.step()
    program.finish()


@SETTINGS
@given(st.data())
def test_gradients_larger_than_their_results(data):
    """Each rule's result broadcast by arithmetic with its partners: rules
    meet gradients larger than their results, and tensors gather shares of
    different shapes."""
    program = Program(data)
    program.only_grad = True
    program.new_tensor(kind=data.draw(st.sampled_from(["f32", "f16", "bf16"])), requires_grad=True)
    steps = {"relu": lambda: program.step_unary("relu"), "@": lambda: program.step_tensor_op("@"),
             "reshape": program.step_reshape, "transpose": program.step_transpose}
    for _ in range(data.draw(st.integers(1, 4))):
        steps[data.draw(st.sampled_from(sorted(steps)))]()
        for _ in range(data.draw(st.integers(1, 2))):
            program.step_tensor_op(data.draw(st.sampled_from(sorted(ARITH))))
    program.finish()


def test_the_model_predicts_known_answers():
    """A few fixed points, so that a wrong model cannot agree with a wrong engine."""
    x = Arr.of(np.array([1.0, 16.0], np.float16))
    with np.errstate(over="ignore"):
        assert scalar_arithmetic(x, np.float32(65504), np.add).v.tolist() == [65504.0, math.inf]
    with pytest.raises(Fail):
        broadcast_shapes((2, 3), (4,))
    one = Arr.of(np.array([1.0], ml_dtypes.bfloat16))
    tiny = Arr.of(np.array([2.0**-8], ml_dtypes.bfloat16))
    assert arithmetic(one, tiny, np.add).v.tolist() == [1.0]
