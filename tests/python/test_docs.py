"""Every Python block of the user documentation runs as written."""

import pathlib
import re

import pytest

import vessik as vs

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"```python\n(.*?)```", re.S)


def blocks():
    found = []
    for page in ("semantics.md", "api.md"):
        path = DOCS / page
        if path.exists():
            for i, code in enumerate(BLOCK.findall(path.read_text())):
                found.append(pytest.param(code, id=f"{page}-{i}"))
    return found


@pytest.mark.parametrize("code", blocks())
def test_documented_example_runs(code):
    vs.Tensor.clear_graph()
    exec(compile(code, "<docs>", "exec"), {})
    vs.Tensor.clear_graph()
