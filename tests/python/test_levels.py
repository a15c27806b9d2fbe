"""The kernel levels: each level this processor runs gives the same bits as
the baseline, and VESSIK_CPU_LEVEL is read safely.

Run as a script (`python test_levels.py OUT.npz`), this file computes the
battery below at whatever level the environment selects and saves it."""

import os
import subprocess
import sys

import numpy as np
import pytest

from vessik import _cpu

LEVELS = _cpu.info()["levels"]
N = 300  # large enough for the tiled and blocked paths
SCALARS = [0.3, -0.0, float("nan")]

# Bit patterns the vector and scalar paths are most likely to treat
# differently: quiet and signalling NaNs of both signs with payloads,
# infinities, subnormals, zeros and the largest finite value.
SPECIALS = {
    "f32": (np.uint32, [0x7FC00000, 0xFFC00001, 0x7F800001, 0xFF812345, 0x7FA00000, 0x7F800000, 0xFF800000,
                        0x00000001, 0x807FFFFF, 0x80000000, 0x00000000, 0x7F7FFFFF]),
    "f16": (np.uint16, [0x7E00, 0xFE01, 0x7C01, 0xFD23, 0x7D00, 0x7C00, 0xFC00, 0x0001, 0x83FF, 0x8000, 0x0000,
                        0x7BFF]),
    "bf16": (np.uint16, [0x7FC0, 0xFFC1, 0x7F81, 0xFF92, 0x7FA0, 0x7F80, 0xFF80, 0x0001, 0x807F, 0x8000, 0x0000,
                         0x7F7F]),
}


def np_dtype(kind):
    import ml_dtypes

    return {"f32": np.dtype(np.float32), "f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16)}[kind]


def hostile(rng, kind, shape):
    """Ordinary values, with a tenth special patterns and a tenth random bits."""
    bits_type, specials = SPECIALS[kind]
    a = rng.standard_normal(shape).astype(np.float32).astype(np_dtype(kind)).view(bits_type)
    where = rng.random(shape)
    a[where < 0.1] = rng.choice(np.array(specials, dtype=bits_type), size=int((where < 0.1).sum()))
    raw = (where >= 0.1) & (where < 0.2)
    a[raw] = rng.integers(0, np.iinfo(bits_type).max, size=int(raw.sum()), dtype=bits_type, endpoint=True)
    return a.view(np_dtype(kind))


def layouts(a, b, row, col):
    """Operand pairs: both row-major, a transpose, broadcast rows and columns."""
    return {"contiguous": (a, b), "transposed": (a.transpose(0, 1), b), "row": (a, row),
            "column": (col, b.transpose(0, 1))}


def battery(out):
    """Every element-wise kernel, its gradients and matmul, into `out`."""
    import vessik as vs
    from vessik.nn.functional import relu

    T = vs.Tensor
    rng = np.random.default_rng(1234)
    for kind in SPECIALS:
        data = [hostile(rng, kind, shape) for shape in [(N, N), (N, N), (1, N), (N, 1)]]
        plain = layouts(*(T(d, dtype=kind) for d in data))
        for layout, (x, y) in plain.items():
            p = f"{kind}/{layout}/"
            results = {"add": x + y, "sub": x - y, "mul": x * y, "div": x / y, "lt": x < y, "le": x <= y,
                       "eq": x == y, "gt": x > y, "ge": x >= y, "relu": relu(x), "s_div": x / 0.3}
            lt, ge = results["lt"], results["ge"]
            results |= {"and": lt & ge, "or": lt | ge, "xor": lt ^ ge, "not": ~lt, "bool_lt": lt < ge,
                        "bool_eq": lt == ge}
            for k, s in enumerate(SCALARS):
                results |= {f"s{k}_add": x + s, f"s{k}_sub": x - s, f"s{k}_mul": x * s, f"s{k}_rdiv": s / x,
                            f"s{k}_lt": x < s, f"s{k}_le": x <= s, f"s{k}_eq": x == s, f"s{k}_gt": x > s,
                            f"s{k}_ge": x >= s}
            for name, t in results.items():
                out[p + name] = t.to_numpy()
        for name, f in {"mul": lambda u, v: u * v, "div": lambda u, v: u / v, "relu": lambda u, v: relu(u)}.items():
            for layout in plain:
                leaves = [T(d, dtype=kind, requires_grad=True) for d in data]
                x, y = layouts(*leaves)[layout]
                f(x, y).backward()
                for i, leaf in enumerate(leaves):
                    if leaf.grad() is not None:
                        out[f"{kind}/{layout}/{name}_grad{i}"] = leaf.grad()
                T.clear_graph()
        # Matmul accumulates in a level-dependent order: finite inputs,
        # compared within a bound by the caller.
        m, n = (rng.standard_normal((N, N)).astype(np_dtype(kind)) for _ in range(2))
        out[f"input/{kind}/m"], out[f"input/{kind}/n"] = m, n
        tm, tn = T(m, dtype=kind, requires_grad=True), T(n, dtype=kind, requires_grad=True)
        for name, (x, y) in {"nn": (tm, tn), "tn": (tm.transpose(0, 1), tn), "nt": (tm, tn.transpose(0, 1))}.items():
            out[f"matmul/{kind}/{name}"] = (x @ y).to_numpy()
        (tm @ tn).backward()
        out[f"matmul/{kind}/grad_m"], out[f"matmul/{kind}/grad_n"] = tm.grad(), tn.grad()
        T.clear_graph()
    # Operations touching this many bytes store with streaming writes.
    x, y = (T(hostile(rng, "f32", (1800, 1800))) for _ in range(2))
    for layout, (u, v) in {"contiguous": (x, y), "transposed": (x.transpose(0, 1), y)}.items():
        out[f"f32/streamed/{layout}/add"], out[f"f32/streamed/{layout}/mul"] = (u + v).to_numpy(), (u * v).to_numpy()
    out["level"] = np.array(vs._cpu.info()["level"])


def matmul_bound(key, inputs):
    """|got - want| allowed for a matmul result: two float32 sums of N
    products, each then rounded to the element type."""
    kind, name = key.split("/")[1:]
    m, n = (np.abs(as_float64(key, inputs[f"input/{kind}/{x}"])) for x in "mn")
    ones = np.ones((N, N))
    magnitude = {"nn": m @ n, "tn": m.T @ n, "nt": m @ n.T, "grad_m": ones @ n.T, "grad_n": m.T @ ones}[name]
    eps = {"f32": 2.0**-23, "f16": 2.0**-10, "bf16": 2.0**-7}[kind]
    return 2 * N * 2.0**-24 * magnitude * (1 + eps) + eps * magnitude


def run_battery(level, path):
    env = dict(os.environ, VESSIK_CPU_LEVEL=level)
    run = subprocess.run([sys.executable, __file__, str(path)], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    # NumPy saves bfloat16 arrays as opaque 2-byte records: keep their bits.
    return {k: v.view(np.uint16) if v.dtype.kind == "V" else v for k, v in np.load(path).items()}


def as_float64(key, a):
    return (a.view(np_dtype("bf16")) if "bf16" in key else a).astype(np.float64)


def supported_levels():
    return _cpu.info()["runnable"]


@pytest.fixture(scope="module")
def baseline(tmp_path_factory):
    return run_battery("baseline", tmp_path_factory.mktemp("levels") / "baseline.npz")


@pytest.mark.parametrize("level", LEVELS[1:])
def test_level_matches_baseline_bit_for_bit(level, baseline, tmp_path):
    if level not in supported_levels():
        pytest.skip(f"this processor lacks {level}")
    got = run_battery(level, tmp_path / f"{level}.npz")
    assert str(got.pop("level")) == level and str(baseline["level"]) == "baseline"
    assert got.keys() == baseline.keys() - {"level"}
    for key in got:
        want, have = baseline[key], got[key]
        assert have.dtype == want.dtype and have.shape == want.shape, key
        if key.startswith("matmul/"):
            error = np.abs(as_float64(key, have) - as_float64(key, want))
            assert (error <= matmul_bound(key, baseline)).all(), key
        elif want.dtype == np.bool_:
            np.testing.assert_array_equal(have, want, err_msg=key)
        else:
            view = {2: np.uint16, 4: np.uint32}[want.dtype.itemsize]
            differ = np.flatnonzero(have.view(view) != want.view(view))
            assert differ.size == 0, (
                f"{key}: {differ.size} elements differ, first at {np.unravel_index(differ[0], want.shape)}: "
                f"{have.view(view).flat[differ[0]]:#x} != {want.view(view).flat[differ[0]]:#x}")


def env_cases():
    """(VESSIK_CPU_LEVEL, the level asked for or None when it names none)."""
    cases = [("", None), ("AVX2", "avx2"), (" avx2 ", "avx2"), ("Baseline\t", "baseline"), ("bogus", None),
             ("avx1024", None), ("avx 2", None), (b"avx\xff\xfe2", None)]
    # A level above this processor's, when it has one.
    cases += [(level, level) for level in LEVELS if level not in supported_levels()][:1]
    return [pytest.param(value, asked, id=repr(value)) for value, asked in cases]


@pytest.mark.parametrize("value,asked", env_cases())
def test_cpu_level_environment(value, asked):
    supported = supported_levels()
    env = dict(os.environb)
    env[b"VESSIK_CPU_LEVEL"] = value if isinstance(value, bytes) else value.encode()
    env.pop(b"PYTHONWARNINGS", None)
    # A kernel runs, then what `python -m vessik` prints.
    code = "import runpy, vessik; vessik.Tensor([2.0]) * 3; runpy.run_module('vessik', run_name='__main__')"
    run = subprocess.run([sys.executable, "-W", "always", "-c", code], env=env, capture_output=True, timeout=120)
    out, err = run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")
    assert run.returncode == 0, err
    chosen = next(line.split(":", 1)[1].strip() for line in out.splitlines() if line.strip().startswith("chosen:"))
    want = asked if asked in supported else supported[-1]
    assert chosen == want
    invalid = asked is None and value.strip() not in ("", b"")
    assert ("RuntimeWarning" in err) == invalid, err
    if invalid:
        assert all(f"'{name}'" in err for name in LEVELS), err
        assert isinstance(value, bytes) or repr(value) in err, err


def test_level_is_fixed_at_import():
    # show_config() and the engine must agree even when the environment
    # changes after `import vessik`. Float32 matmul sums in a different
    # order at each level, which shows which level ran.
    code = """if True:
        import os, sys, numpy as np, vessik
        if sys.argv[1] == "late":
            os.environ["VESSIK_CPU_LEVEL"] = "baseline"
        m = vessik.Tensor(np.random.default_rng(5).standard_normal((300, 300)))
        sys.stdout.write((m @ m).to_numpy().tobytes().hex())
    """
    env = {k: v for k, v in os.environ.items() if k != "VESSIK_CPU_LEVEL"}
    results = {}
    for when, level in [("early", "baseline"), ("early", ""), ("late", "")]:
        run = subprocess.run([sys.executable, "-c", code, when], env=dict(env, VESSIK_CPU_LEVEL=level),
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        results[when, level] = run.stdout
    if results["early", "baseline"] == results["early", ""]:
        pytest.skip("baseline and this processor's highest level give the same bits here")
    assert results["late", ""] == results["early", ""]


if __name__ == "__main__":
    results = {}
    battery(results)
    np.savez(sys.argv[1], **results)


def test_build_and_engine_name_the_same_levels():
    # The build's list of levels (meson.build) against the engine's, which
    # the Makefile, CI and the warning read.
    built = [entry.split(" (")[0] for entry in _cpu.info()["build_levels"].split(", ")]
    assert built == LEVELS[: len(built)] and _cpu.info()["runnable"] == LEVELS[: len(_cpu.info()["runnable"])]
