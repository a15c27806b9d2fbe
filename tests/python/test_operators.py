"""Operators and methods: which core operation each reaches, how operands
are read, and where the interpreter is told NotImplemented."""

import collections.abc
import math
import operator

import numpy as np
import pytest

import vessik
from vessik.nn.functional import relu

T = vessik.Tensor
X = np.array([[1.0, -2.0, 3.0], [0.5, 4.0, -6.0]], dtype=np.float32)
Y = np.array([[2.0, 2.0, -1.0], [8.0, 0.25, 3.0]], dtype=np.float32)
f32 = np.float32


def values(t):
    return t.to_numpy()


ARITHMETIC = [
    ("t + u", lambda t, u: t + u, X + Y),
    ("t - u", lambda t, u: t - u, X - Y),
    ("t * u", lambda t, u: t * u, X * Y),
    ("t / u", lambda t, u: t / u, X / Y),
    ("t + 2", lambda t, u: t + 2, X + f32(2)),
    ("2 + t", lambda t, u: 2 + t, X + f32(2)),
    ("t - 2", lambda t, u: t - 2, X - f32(2)),
    ("t * 0.5", lambda t, u: t * 0.5, X * f32(0.5)),
    ("0.5 * t", lambda t, u: 0.5 * t, X * f32(0.5)),
    ("t / 4", lambda t, u: t / 4, X * f32(0.25)),
    ("2 / t", lambda t, u: 2 / t, f32(2) / X),
    ("t + True", lambda t, u: t + True, X + f32(1)),
    ("t + np.float64", lambda t, u: t + np.float64(1.5), X + f32(1.5)),
    ("t * np.int64", lambda t, u: t * np.int64(3), X * f32(3)),
    ("t + 0.1 rounds to float32", lambda t, u: t + 0.1, X + f32(0.1)),
    ("t * 1e39 overflows the scalar", lambda t, u: t * 1e39, X * f32(np.inf)),
    ("t @ u.T", lambda t, u: t @ u.transpose(0, 1), X @ Y.T),
]


@pytest.mark.parametrize("name,op,expected", ARITHMETIC, ids=[c[0] for c in ARITHMETIC])
def test_arithmetic(name, op, expected):
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        out = op(T(X), T(Y))
    assert isinstance(out, T) and out.dtype == "f32"
    np.testing.assert_allclose(values(out), expected, rtol=1e-6)


def test_scalar_is_rounded_to_float32_before_the_core():
    # 1 + 2**-30 is 1 in float32: adding it changes nothing.
    t = T([1.0, 2.0])
    np.testing.assert_array_equal(values(t * (1 + 2**-30)), [1.0, 2.0])
    np.testing.assert_array_equal(values(t + 0.1), np.array([1.0, 2.0], dtype=f32) + f32(0.1))


COMPARISONS = [
    ("t < u", lambda t, u: t < u, X < Y),
    ("t <= u", lambda t, u: t <= u, X <= Y),
    ("t == u", lambda t, u: t == u, X == Y),
    ("t > u", lambda t, u: t > u, X > Y),
    ("t >= u", lambda t, u: t >= u, X >= Y),
    ("t < 1", lambda t, u: t < 1, X < 1),
    ("t <= 0.5", lambda t, u: t <= 0.5, X <= 0.5),
    ("t == 3", lambda t, u: t == 3, X == 3),
    ("t > 2", lambda t, u: t > 2, X > 2),
    ("t >= -2", lambda t, u: t >= -2, X >= -2),
    ("2 < t", lambda t, u: 2 < t, X > 2),
    ("2 >= t", lambda t, u: 2 >= t, X <= 2),
    ("3 == t", lambda t, u: 3 == t, X == 3),
    ("t.__rgt__(1.0)", lambda t, u: t.__rgt__(1.0), X < 1),
    ("t.__rlt__(1.0)", lambda t, u: t.__rlt__(other=1.0), X > 1),
    ("t.__req__(3)", lambda t, u: t.__req__(3), X == 3),
]


@pytest.mark.parametrize("name,op,expected", COMPARISONS, ids=[c[0] for c in COMPARISONS])
def test_comparisons(name, op, expected):
    out = op(T(X, requires_grad=True), T(Y, requires_grad=True))
    assert out.dtype == "bool" and out.requires_grad is False
    np.testing.assert_array_equal(values(out), expected)


A = np.array([True, True, False, False])
B = np.array([True, False, True, False])
LOGICAL = [
    ("a & b", lambda a, b: a & b, A & B),
    ("a | b", lambda a, b: a | b, A | B),
    ("a ^ b", lambda a, b: a ^ b, A ^ B),
    ("~a", lambda a, b: ~a, ~A),
]


@pytest.mark.parametrize("name,op,expected", LOGICAL, ids=[c[0] for c in LOGICAL])
def test_logical(name, op, expected):
    np.testing.assert_array_equal(values(op(T(A, dtype="bool"), T(B, dtype="bool"))), expected)


UNSUPPORTED = [
    ("2 - t", lambda t: 2 - t),
    ("t @ 2", lambda t: t @ 2),
    ("2 @ t", lambda t: 2 @ t),
    ("t & True", lambda t: t & True),
    ("True & t", lambda t: True & t),
    ("t | 1", lambda t: t | 1),
    ("t ^ 1", lambda t: t ^ 1),
    ("t + 'a'", lambda t: t + "a"),
    ("'a' * t", lambda t: "a" * t),
    ("t / None", lambda t: t / None),
    ("t < 'a'", lambda t: t < "a"),
    ("t >= None", lambda t: t >= None),
    ("t ** 2", lambda t: t**2),
    ("t // 2", lambda t: t // 2),
    ("t % 2", lambda t: t % 2),
    ("t << 1", lambda t: t << 1),
    ("-t", lambda t: -t),
    ("t.__req__(u)", lambda t: t.__req__(t)),
    ("t.__rgt__('a')", lambda t: t.__rgt__("a")),
    ("t.__rlt__()", lambda t: t.__rlt__()),
    ("relu(list)", lambda t: relu([1.0])),
    ("relu(ndarray)", lambda t: relu(np.ones(2))),
    ("relu()", lambda t: relu()),
    ("relu(t, t)", lambda t: relu(t, t)),
    ("relu(x=t)", lambda t: relu(x=t)),
]


@pytest.mark.parametrize("name,op", UNSUPPORTED, ids=[c[0] for c in UNSUPPORTED])
def test_unsupported_operands_raise_type_error(name, op):
    with pytest.raises(TypeError):
        op(T([1.0, 2.0]))


def test_equality_protocol():
    t, u = T([1.0, 2.0]), T([3.0, 4.0])
    assert (t == "a") is False
    assert (t != "a") is True
    assert (t != u) is False  # t == u gives a tensor, which is always true
    assert (t != t) is False
    assert (None != t) is True


def test_in_place_forms_rebind():
    t = T([1.0])
    alias = t
    t += 1
    t *= 3
    assert t is not alias
    np.testing.assert_array_equal(values(alias), [1.0])
    np.testing.assert_array_equal(values(t), [6.0])


class RegisteredSequence:
    """Iterable registered as a Sequence without the sequence protocol."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


collections.abc.Sequence.register(RegisteredSequence)


@pytest.mark.parametrize(
    "shape",
    [[3, 2], (3, 2), range(3, 1, -1), np.array([3, 2]), [np.int64(3), True + 1], RegisteredSequence([3, 2])],
    ids=["list", "tuple", "range", "ndarray", "numpy-ints", "registered"],
)
def test_reshape_accepts_sequences(shape):
    out = T(X).reshape(shape)
    assert out.shape == [3, 2] and out.strides == [2, 1]
    np.testing.assert_array_equal(values(out), X.reshape(3, 2))
    assert T(X).reshape(shape=shape).shape == [3, 2]


@pytest.mark.parametrize(
    "call,exc,fragment",
    [
        (lambda t: t.reshape("32"), TypeError, "'shape'"),
        (lambda t: t.reshape(3, 2), TypeError, None),
        (lambda t: t.reshape(6), TypeError, "'shape'"),
        (lambda t: t.reshape({3: 1, 2: 1}), TypeError, "'shape'"),
        (lambda t: t.reshape([-1, 6]), OverflowError, "'shape'"),
        (lambda t: t.reshape([2.0, 3]), TypeError, "'shape'"),
        (lambda t: t.reshape([2**64, 1]), OverflowError, "'shape'"),
        (lambda t: t.reshape([4]), ValueError, None),
        (lambda t: t.transpose(0, -1), OverflowError, "'dim1'"),
        (lambda t: t.transpose("0", 1), TypeError, "'dim0'"),
        (lambda t: t.transpose(0.0, 1), TypeError, "'dim0'"),
        (lambda t: t.transpose(0), TypeError, "'dim1'"),
        (lambda t: t.transpose(0, 1, 2), TypeError, None),
        (lambda t: t.transpose(0, dim0=1), TypeError, "dim0"),
        (lambda t: t.backward(), ValueError, "backward() called on tensor that does not require grad"),
        (lambda t: t.zeros_like(1), TypeError, None),
    ],
)
def test_method_errors(call, exc, fragment):
    with pytest.raises(exc) as info:
        call(T(X))
    if fragment is not None:
        assert fragment in str(info.value)


def of(dtype, shape=(2, 3)):
    return T(np.ones(shape), dtype=dtype)


BOOL_ARITHMETIC = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
# Each message as the user reads it; type checks come before shape checks.
ERRORS = [
    ("f32 + f16", lambda: of("f32") + of("f16"), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
    ("bool @ f32", lambda: of("bool") @ of("f32"), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
    ("bool + bool", lambda: of("bool") + of("bool", (4,)), TypeError, BOOL_ARITHMETIC),
    ("bool @ bool", lambda: of("bool") @ of("bool"), TypeError, BOOL_ARITHMETIC),
    ("f32 & f32", lambda: of("f32") & of("f32"), RuntimeError, "Logical operations are only supported for Bool data types."),
    ("bool | f16", lambda: of("bool") | of("f16"), RuntimeError, "Logical operations are only supported for Bool data types."),
    ("~f32", lambda: ~of("f32"), RuntimeError, "Logical NOT is only supported for Bool data type."),
    ("f32 > bf16", lambda: of("f32") > of("bf16", (4,)), RuntimeError,
     "Tensor device or dtype mismatch for element-wise > operation."),
    ("bool >= 1", lambda: of("bool") >= 1, RuntimeError, "Tensor device or dtype mismatch for scalar >= operation."),
    ("bool - 1", lambda: of("bool") - 1, ValueError,
     "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    ("bool / 2", lambda: of("bool") / 2, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    ("[2, 3] + [4]", lambda: of("f32") + of("f32", (4,)), RuntimeError, "Shape mismatch: cannot broadcast [2, 3] and [4]"),
    ("[2, 3] @ [3]", lambda: of("f32") @ of("f32", (3,)), RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
    ("[2, 3] @ [2, 3]", lambda: of("f32") @ of("f32"), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 2"),
    ("f32 == 10**400", lambda: of("f32") == 10**400, OverflowError, "int too large to convert to float"),
    ("10**400 * f16", lambda: 10**400 * of("f16"), OverflowError, "int too large to convert to float"),
    # An exception that cannot take a prefixed message comes out as it was raised.
    ("__index__ raising UnicodeDecodeError", lambda: of("f32").transpose(BadIndex(), 0), UnicodeDecodeError,
     "'utf-8' codec can't decode byte 0x78 in position 0: bad"),
]


class BadIndex:
    def __index__(self):
        raise UnicodeDecodeError("utf-8", b"x", 0, 1, "bad")


def test_empty_product_of_an_enormous_batch():
    x = T(np.empty(0, np.float32)).reshape([1 << 60, 0, 3])
    assert (x @ of("f32", (3, 4))).shape == [1 << 60, 0, 4]


@pytest.mark.parametrize("name,call,exc,message", ERRORS, ids=[c[0] for c in ERRORS])
def test_error_messages(name, call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_transpose_and_export_memory_order():
    t = T(X)
    out = values(t)
    assert out.flags.c_contiguous
    tt = t.transpose(0, 1)
    assert (tt.shape, tt.strides) == ([3, 2], [1, 3])
    out = values(tt)
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    np.testing.assert_array_equal(out, X.T)

    cube = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    column = T(cube).transpose(0, 2)  # exactly column-major
    assert values(column).flags.f_contiguous
    np.testing.assert_array_equal(values(column), cube.transpose(2, 1, 0))
    mixed = T(cube).transpose(0, 1)  # neither order: copied element-wise
    out = values(mixed)
    assert out.flags.c_contiguous
    np.testing.assert_array_equal(out, cube.transpose(1, 0, 2))


def laid_out(shape, swap=None):
    """1, 2, ... in a row-major tensor of `shape`, then the axes `swap` exchanged."""
    t = T(np.arange(1, math.prod(shape) + 1, dtype=np.float32).reshape(shape))
    return t if swap is None else t.transpose(*swap)


# (shape, swapped axes) of each operand and the result's strides.
RESULT_LAYOUTS = [
    ("row-major", ((3, 4),), ((3, 4),), [4, 1]),
    ("transposed", ((4, 3), (0, 1)), ((4, 3), (0, 1)), [1, 3]),
    ("transposed with row-major", ((4, 3), (0, 1)), ((3, 4),), [4, 1]),
    ("row-major with transposed", ((3, 4),), ((4, 3), (0, 1)), [4, 1]),
    ("transposed with a broadcast row", ((4, 3), (0, 1)), ((4,),), [1, 3]),
    ("transposed with one element", ((4, 3), (0, 1)), ((1,),), [1, 3]),
    ("transposed with a broadcast column", ((4, 3), (0, 1)), ((1, 3), (0, 1)), [1, 3]),
    ("column-major in three axes", ((4, 3, 2), (0, 2)), ((4, 3, 2), (0, 2)), [1, 2, 6]),
    ("batches of transposed matrices", ((2, 4, 3), (1, 2)), ((2, 4, 3), (1, 2)), [12, 4, 1]),
    ("empty", ((0, 3),), ((3, 0), (0, 1)), [0, 0]),
]


@pytest.mark.parametrize("name,a,b,strides", RESULT_LAYOUTS, ids=[c[0] for c in RESULT_LAYOUTS])
def test_binary_result_layout(name, a, b, strides):
    a, b = laid_out(*a), laid_out(*b)
    for op in (operator.add, operator.lt):
        out = op(a, b)
        assert out.strides == strides
        np.testing.assert_array_equal(values(out), op(values(a), values(b)))


def test_transposed_bf16_export_is_bit_exact():
    bits = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16).reshape(256, 256)
    out = T(bits.view("bfloat16"), dtype="bf16").transpose(0, 1).to_numpy()
    assert out.flags.f_contiguous
    np.testing.assert_array_equal(out.view(np.uint16), bits.T)


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_zeros_like_and_ones_like(dtype):
    t = T(X, dtype=dtype, requires_grad=dtype != "bool")
    for method, fill in (("zeros_like", 0), ("ones_like", 1)):
        out = getattr(t, method)()
        assert (out.dtype, out.shape, out.requires_grad) == (dtype, [2, 3], False)
        np.testing.assert_array_equal(values(out).astype(np.float32), np.full((2, 3), fill))


def test_relu():
    t = T([-1.0, 0.0, 2.0])
    for out in (relu(t), relu(py_tensor=t), vessik.nn.functional.relu(t)):
        assert out.dtype == "f32" and out.shape == [3] and out.requires_grad is False
        np.testing.assert_array_equal(values(out), [0.0, 0.0, 2.0])
    with pytest.raises(ValueError, match="backward\\(\\) called on tensor that does not require grad"):
        relu(t).backward()
    with pytest.raises(TypeError, match="^Tensor Dtype not supported for this operation: relu$"):
        relu(T([True], dtype="bool"))
    x = T([-1.0, 3.0], requires_grad=True)
    y = relu(x)
    assert y.requires_grad is True
    y.backward()
    np.testing.assert_array_equal(x.grad(), [0.0, 1.0])


def test_relu_function_object():
    import vessik_core

    functional = vessik_core.nn.functional
    assert functional.__all__ == ["relu"]
    assert relu is functional.relu and relu.__self__ is functional
    assert relu.__name__ == "relu" and relu.__module__ == "functional"
    assert relu.__text_signature__ == "(py_tensor)"
    assert T.reshape.__text_signature__ == "($self, shape)"
    assert T.transpose.__text_signature__ == "($self, dim0, dim1)"
