"""Attributes, to_numpy() and bit-exact round trips through NumPy."""

import numpy as np
import pytest

import vessik

T = vessik.Tensor
BF16 = np.dtype("bfloat16")


def special_bf16_bits():
    """Every class of bfloat16 pattern: zeros, subnormals, normals, the
    extremes, infinities, quiet and signalling NaNs with payloads."""
    bits = [0x0000, 0x8000, 0x0001, 0x8001, 0x007F, 0x0080, 0x3F80, 0xBF80, 0x7F7F, 0xFF7F,
            0x7F80, 0xFF80, 0x7FC0, 0xFFC0, 0x7FC1, 0x7F81, 0xFF81, 0x7FFF, 0xFFFF]
    return np.array(bits, dtype=np.uint16)


def all_bf16_bits():
    return np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)


LAYOUTS = [
    ("contiguous", lambda a: a.reshape(16, -1)),
    ("transposed", lambda a: a.reshape(16, -1).T),
    ("negative-strides", lambda a: a.reshape(16, -1)[::-1, ::-3]),
    ("zero-dimensional", lambda a: a[5]),
    ("empty", lambda a: a[:0].reshape(0, 3)),
]


@pytest.mark.parametrize("layout", LAYOUTS, ids=[name for name, _ in LAYOUTS])
@pytest.mark.parametrize("dtype,view", [("bf16", BF16), ("f16", np.float16)])
def test_sixteen_bit_round_trip_is_bit_exact(layout, dtype, view):
    _, make = layout
    source = make(all_bf16_bits().view(view))
    out = T(source, dtype=dtype).to_numpy()
    assert out.dtype == view and out.shape == source.shape and out.flags.c_contiguous
    np.testing.assert_array_equal(out.view(np.uint16), np.ascontiguousarray(source).view(np.uint16))


def test_bf16_specials_bit_exact():
    bits = special_bf16_bits()
    out = T(bits.view(BF16), dtype="bf16").to_numpy()
    assert out.dtype == BF16
    np.testing.assert_array_equal(out.view(np.uint16), bits)


def test_float32_nan_payloads_and_subnormals_survive():
    bits = np.array([0x7FC00001, 0xFF800123, 0x00000001, 0x807FFFFF, 0x7F7FFFFF], dtype=np.uint32)
    out = T(bits.view(np.float32)).to_numpy()
    np.testing.assert_array_equal(out.view(np.uint32), bits)


@pytest.mark.parametrize(
    "dtype,numpy_dtype",
    [("f32", np.float32), ("f16", np.float16), ("bf16", BF16), ("bool", np.bool_)],
)
def test_export_dtypes_and_reconstruction_by_dtype_name(dtype, numpy_dtype):
    t = T([[1.0, 0.0, 3.0]], dtype=dtype)
    out = t.to_numpy()
    assert out.dtype == numpy_dtype and out.shape == (1, 3) and out.flags.c_contiguous and out.flags.owndata
    again = T(out, dtype=t.dtype)
    assert again.dtype == t.dtype
    np.testing.assert_array_equal(again.to_numpy(), out)


def test_zero_dimensional_export():
    t = T(3.5)
    out = t.to_numpy()
    assert (t.shape, t.strides, t.ndim) == ([], [], 0)
    assert out.shape == () and out.dtype == np.float32 and out == 3.5


def test_returned_lists_are_fresh():
    t = T(np.zeros((2, 3)))
    t.shape.append(7)
    t.strides[0] = 99
    assert t.shape == [2, 3] and t.strides == [3, 1]


def test_requires_grad_attribute():
    assert T([1.0], requires_grad=True).requires_grad is True
    assert T([1.0]).requires_grad is False
