"""Facts about the module and the Tensor type."""

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import vessik
import vessik_core

T = vessik_core.Tensor


def test_module_registration():
    assert vessik_core.__all__ == ["Tensor", "nn"]
    assert vessik_core.nn.__all__ == ["functional"]
    assert vessik_core.__doc__ == ""
    assert T.__module__ == "vessik" and T.__name__ == "Tensor"
    assert T.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    assert vessik.Tensor is T and vessik.nn is vessik_core.nn


def test_member_documentation():
    assert T.grad.__text_signature__ == "($self)"
    assert T.to_numpy.__text_signature__ == "($self)"
    assert T.clear_graph.__text_signature__ == "()"


def test_version_is_the_projects():
    # Stale metadata (a version bump without a reinstall) would show here.
    meson_build = (pathlib.Path(__file__).resolve().parents[2] / "meson.build").read_text()
    assert vessik.__version__ == re.search(r"version: '([^']+)'", meson_build).group(1)


def test_not_subclassable():
    with pytest.raises(TypeError):

        class Sub(T):
            pass


@pytest.mark.parametrize(
    "op",
    [hash, len, lambda t: -t, lambda t: t[0], lambda t: +t, lambda t: abs(t), lambda t: iter(t)],
    ids=["hash", "len", "neg", "getitem", "pos", "abs", "iter"],
)
def test_missing_protocols_raise_type_error(op):
    with pytest.raises(TypeError):
        op(T([1.0, 2.0]))


def test_no_instance_dict_and_read_only_attributes():
    t = T([1.0])
    with pytest.raises(AttributeError):
        t.anything = 1
    for name in ("shape", "ndim", "strides", "dtype", "device", "requires_grad"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
        with pytest.raises(AttributeError):
            delattr(t, name)


def test_submodules_not_importable_from_core():
    with pytest.raises(ModuleNotFoundError):
        __import__("vessik_core.nn")


def test_package_names_for_submodules():
    import vessik.nn.functional as functional

    assert functional is vessik_core.nn.functional
    assert sys.modules["vessik.nn"] is vessik_core.nn


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_import_without_numpy_then_construction_fails():
    result = run_python(
        """
        import sys

        class HideNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError("No module named " + repr(name))

        sys.meta_path.insert(0, HideNumpy())
        import vessik_core
        assert "numpy" not in sys.modules
        try:
            vessik_core.Tensor([1.0])
        except ModuleNotFoundError as e:
            print("failed:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "failed: No module named 'numpy'" in result.stdout


def test_import_does_not_load_numpy():
    result = run_python(
        """
        import sys
        import vessik_core
        print("numpy" in sys.modules)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_package_bfloat16():
    import ml_dtypes
    import numpy as np

    assert vessik.bfloat16 is ml_dtypes.bfloat16
    assert T([1.0], dtype="bf16").to_numpy().dtype == np.dtype(vessik.bfloat16)


def test_package_registers_bfloat16_when_numpy_does_not_know_it():
    result = run_python(
        """
        import numpy, ml_dtypes
        del numpy.sctypeDict["bfloat16"]
        import vessik
        print(vessik.Tensor([1.5], dtype="bf16").to_numpy().dtype)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "bfloat16"


def test_first_use_from_many_threads_at_once():
    # The NumPy binding and the bfloat16 dtype are made by whichever thread
    # gets there first; every thread must see a working result.
    result = run_python(
        """
        import threading
        import ml_dtypes, numpy as np
        import vessik_core

        n = 8
        barrier = threading.Barrier(n)
        out = [None] * n

        def work(k):
            barrier.wait()
            t = vessik_core.Tensor(np.full((3, 2), k, dtype=np.float32).T, dtype="bf16", requires_grad=True)
            out[k] = (t.to_numpy().astype(np.float32), t.dtype, t.grad())

        threads = [threading.Thread(target=work, args=(k,)) for k in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(o is not None for o in out)
        for k, (values, dtype, grad) in enumerate(out):
            assert dtype == "bf16" and grad is None and (values == k).all() and values.shape == (2, 3)
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
