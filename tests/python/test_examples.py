"""The demo trains end to end (one epoch, above chance)."""

import re
import subprocess
import sys
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_digits_demo_learns_in_one_epoch(tmp_path, dtype):
    pytest.importorskip("sklearn")
    pytest.importorskip("matplotlib")
    pytest.importorskip("tqdm")
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "digits.py"), "--epochs", "1", "--dtype", dtype, "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr
    assert "\r" not in run.stdout + run.stderr  # no progress-bar redraws when not on a terminal
    accuracy = float(re.search(r"final held-out accuracy \(\w+\): ([0-9.]+)", run.stdout).group(1))
    assert accuracy > 0.5  # chance is 0.1
    assert (tmp_path / f"digits_{dtype}.png").stat().st_size > 0
    assert [p.name for p in tmp_path.iterdir()] == [f"digits_{dtype}.png"]  # nothing else left behind


def test_digits_demo_rejects_invalid_options(tmp_path):
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "digits.py"), "--epochs", "0", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 2 and "usage:" in run.stderr
    assert list(tmp_path.iterdir()) == []
