"""Tensor(data, dtype=None, device="cpu", requires_grad=False)."""

import subprocess
import sys
import textwrap

import ml_dtypes
import numpy as np
import pytest

import vessik

T = vessik.Tensor
# A call of the type and an explicit __new__ take different argument paths.
CONSTRUCTORS = [T, lambda *args, **kwargs: T.__new__(T, *args, **kwargs)]


@pytest.mark.parametrize(
    "data,kwargs,shape,strides,dtype",
    [
        (2.5, {}, [], [], "f32"),
        ([[1, 2], [3, 4]], {}, [2, 2], [2, 1], "f32"),
        (np.zeros((2, 3, 4)), {}, [2, 3, 4], [12, 4, 1], "f32"),
        (np.zeros((2, 0, 3)), {}, [2, 0, 3], [0, 0, 0], "f32"),
        ([], {}, [0], [0], "f32"),
        ([1.0, 2.0], {"dtype": "float16"}, [2], [1], "f16"),
        ([1.0, 2.0], {"dtype": "f16"}, [2], [1], "f16"),
        ([1.0, 2.0], {"dtype": "bfloat16"}, [2], [1], "bf16"),
        ([1.0, 2.0], {"dtype": "bf16"}, [2], [1], "bf16"),
        ([1.0, 2.0], {"dtype": "float32"}, [2], [1], "f32"),
        ([1.0, 2.0], {"dtype": "f32"}, [2], [1], "f32"),
        ([1.0, 2.0], {"dtype": "bool"}, [2], [1], "bool"),
        ([1.0], {"dtype": np.float16}, [1], [1], "f16"),
        ([1.0], {"dtype": np.dtype("float16")}, [1], [1], "f16"),
        ([1.0], {"dtype": np.dtype("bfloat16")}, [1], [1], "bf16"),
        ([1.0], {"dtype": ml_dtypes.bfloat16}, [1], [1], "bf16"),
        ([1.0], {"dtype": bool}, [1], [1], "bool"),
        ([1.0], {"dtype": np.bool_}, [1], [1], "bool"),
        ([1.0], {"dtype": None}, [1], [1], "f32"),
        (np.arange(6, dtype=np.int64).reshape(2, 3), {}, [2, 3], [3, 1], "f32"),
    ],
)
@pytest.mark.parametrize("construct", CONSTRUCTORS, ids=["call", "__new__"])
def test_shapes_strides_and_dtypes(construct, data, kwargs, shape, strides, dtype):
    t = construct(data, **kwargs)
    assert (t.shape, t.strides, t.ndim, t.dtype) == (shape, strides, len(shape), dtype)
    assert isinstance(t.shape, list) and isinstance(t.strides, list)
    assert t.device == "cpu" and t.requires_grad is False and t.grad() is None


@pytest.mark.parametrize(
    "data,dtype,expected",
    [
        ([0.0, 2.5, -0.0, np.nan], "bool", [False, True, False, True]),
        ([1, 2**24 + 1], "float32", np.array([1, 2**24 + 1], dtype=np.float32)),
        ([0.1, 1e-7, 65519.0], "float16", np.array([0.1, 1e-7, 65519.0], dtype=np.float16)),
        ([True, False], "float32", np.array([1.0, 0.0], dtype=np.float32)),
    ],
)
def test_values_follow_numpy_conversion(data, dtype, expected):
    np.testing.assert_array_equal(T(data, dtype=dtype).to_numpy(), np.array(expected, dtype=dtype))


ERRORS = [
    # (args, kwargs, exception, message or None for the interpreter's text)
    ((), {}, TypeError, None),
    (([1.0],), {"colour": "red"}, TypeError, None),
    (([1.0], None, "cpu", False, 5), {}, TypeError, None),
    (([1.0], None), {"dtype": None}, TypeError, None),
    (([1.0],), {"device": 0}, TypeError, "argument 'device'"),
    (([1.0],), {"requires_grad": 1}, TypeError, "argument 'requires_grad'"),
    (([1.0],), {"requires_grad": None}, TypeError, "argument 'requires_grad'"),
    (([1.0],), {"device": "cuda"}, ValueError, "The device string is invalid or not supported."),
    (([1.0],), {"device": "cpu:0"}, ValueError, "The device string is invalid or not supported."),
    (([1.0],), {"device": "cuda", "dtype": "int8"}, ValueError, "The device string is invalid or not supported."),
    (([1.0],), {"dtype": "Float32"}, ValueError, "Unsupported or invalid data type: 'Float32'"),
    (([1.0],), {"dtype": "float64"}, ValueError, "Unsupported or invalid data type: 'float64'"),
    (([1.0],), {"dtype": float}, ValueError, "Unsupported or invalid data type: 'float'"),
    (([1.0],), {"dtype": np.int8}, ValueError, "Unsupported or invalid data type: 'int8'"),
    (([1.0],), {"dtype": np.dtype("int16")}, ValueError, "Unsupported or invalid data type: 'int16'"),
    (([1.0],), {"dtype": 3.5}, TypeError, None),  # numpy.dtype(3.5) fails in NumPy
    (([[1.0], [2.0, 3.0]],), {}, ValueError, None),  # ragged: NumPy's error
    ((["x"],), {}, ValueError, None),  # unconvertible string: NumPy's error
]


@pytest.mark.parametrize("construct", CONSTRUCTORS, ids=["call", "__new__"])
@pytest.mark.parametrize("args,kwargs,exc,message", ERRORS)
def test_construction_errors(construct, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        construct(*args, **kwargs)
    if message is not None:
        assert message in str(info.value)
    if "Unsupported" in (message or "") or "device string" in (message or ""):
        assert str(info.value) == message


def test_dtype_whose_name_is_not_a_str():
    class Odd:
        __name__ = 5

    with pytest.raises(TypeError):
        T([1.0], dtype=Odd())


class LyingStr(str):
    def lower(self):
        return "cpu"


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", LyingStr("cPu")])
def test_device_is_case_insensitive(device):
    assert T([1.0], device=device).device == "cpu"


def test_device_is_lowered_as_text():
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        T([1.0], device=LyingStr("gpu"))


@pytest.mark.parametrize("flag", [True, np.bool_(True)])
def test_requires_grad_accepts_bool_and_numpy_bool(flag):
    t = T([1.0], requires_grad=flag)
    assert t.requires_grad is True and t.grad() is None


def test_no_aliasing_with_the_source_array():
    src = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    t = T(src)
    src[0] = 100.0
    assert t.to_numpy()[0] == 1.0
    out = t.to_numpy()
    out[1] = -5.0
    np.testing.assert_array_equal(t.to_numpy(), [1.0, 2.0, 3.0])
    assert not np.shares_memory(t.to_numpy(), t.to_numpy())


@pytest.mark.parametrize(
    "make",
    [
        lambda a: np.asfortranarray(a),
        lambda a: a.T,
        lambda a: a[::-1, ::2],
        lambda a: a[:, ::-1],
        lambda a: np.broadcast_to(a[:1], a.shape),
        lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=a.dtype, offset=1).reshape(a.shape)[::2],
    ],
    ids=["fortran", "transposed", "negative-strides", "reversed-columns", "broadcast", "unaligned"],
)
def test_non_contiguous_input_becomes_row_major(make):
    a = np.arange(24, dtype=np.float32).reshape(4, 6)
    view = make(a)
    t = T(view)
    assert t.shape == list(view.shape) and t.strides == [view.shape[1], 1]
    out = t.to_numpy()
    assert out.flags.c_contiguous
    np.testing.assert_array_equal(out, view)


def test_bool_bytes_are_normalised():
    raw = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
    out = T(raw, dtype="bool").to_numpy()
    np.testing.assert_array_equal(out.view(np.uint8), [0, 1, 1, 1])


def test_bfloat16_fails_inside_numpy_without_the_dtype():
    code = """
        import vessik_core
        try:
            vessik_core.Tensor([1.0], dtype="bf16")
        except TypeError as e:
            print("numpy:", e)
        print(vessik_core.Tensor([1.0], dtype="f16").dtype)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "numpy: data type 'bfloat16' not understood" in result.stdout
    assert result.stdout.strip().endswith("f16")


def test_memory_exhaustion_raises_memory_error():
    # Limit the address space so the tensor's copy does not fit (an array of
    # the dtype already is copied once, by the tensor).
    code = """
        import resource
        import numpy as np
        import vessik
        n = 64 * 1024 * 1024  # 256 MiB of float32
        src = np.ones(n, dtype=np.float32)
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + int(0.5 * n * 4), resource.RLIM_INFINITY))
        try:
            vessik.Tensor(src)
        except MemoryError as e:
            print("MemoryError:", e)
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "MemoryError: out of memory while allocating a tensor buffer"
