"""Every Python block of the user documentation runs as written, and prints
what the page shows after it."""

import contextlib
import io
import pathlib
import re

import pytest

import vessik as vs

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = ("README.md", "docs/semantics.md", "docs/api.md")
# A python block, and the text block that shows its output when one follows.
BLOCK = re.compile(r"```python\n(.*?)```(?:\s*```text\n(.*?)```)?", re.S)


def blocks():
    found = []
    for page in PAGES:
        path = ROOT / page
        if path.exists():
            for i, (code, output) in enumerate(BLOCK.findall(path.read_text())):
                found.append(pytest.param(code, output or None, id=f"{path.name}-{i}"))
    return found


@pytest.mark.parametrize("code, output", blocks())
def test_documented_example_runs(code, output):
    vs.Tensor.clear_graph()
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "<docs>", "exec"), {})
    vs.Tensor.clear_graph()
    if output is not None:
        assert printed.getvalue() == output
