"""The demo trains end to end (one epoch, above chance)."""

import re
import subprocess
import sys
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def train(tmp_path, script, *options):
    """Runs a demo for one epoch; returns its final held-out accuracy."""
    pytest.importorskip("sklearn")
    pytest.importorskip("matplotlib")
    pytest.importorskip("tqdm")
    tmp_path.mkdir(exist_ok=True)
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / script), "--epochs", "1", "--out", str(tmp_path), *options],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr
    assert "\r" not in run.stdout + run.stderr  # no progress-bar redraws when not on a terminal
    return float(re.search(r"final held-out accuracy \(\w+\): ([0-9.]+)", run.stdout).group(1))


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_digits_demo_learns_in_one_epoch(tmp_path, dtype):
    assert train(tmp_path, "digits.py", "--dtype", dtype) > 0.5  # chance is 0.1
    assert (tmp_path / f"digits_{dtype}.png").stat().st_size > 0
    assert [p.name for p in tmp_path.iterdir()] == [f"digits_{dtype}.png"]  # nothing else left behind


def test_threads_demo_learns_as_one_thread_does(tmp_path):
    # The same updates up to the rounding of the gradients' sums: at most
    # one of the 360 held-out images may fall the other way.
    alone = train(tmp_path / "one", "digits.py")
    assert abs(train(tmp_path / "two", "digits_threads.py", "--threads", "3") - alone) <= 1 / 360
    assert [p.name for p in (tmp_path / "two").iterdir()] == ["digits_threads_f32.png"]


def test_digits_demo_rejects_invalid_options(tmp_path):
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "digits.py"), "--epochs", "0", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 2 and "usage:" in run.stderr
    assert list(tmp_path.iterdir()) == []
