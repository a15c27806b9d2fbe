"""Fails when a source under src/ includes a folder above its own, or when
Python.h appears outside the binding. The folders, bottom to top, are the
house map of docs/design.md."""

import pathlib
import re
import sys

LAYERS = [
    "engine/cpu/processor",
    "engine/cpu/half",
    "engine/cpu",
    "engine/cpu/array",
    "engine/cpu/numeric/core",
    "engine/cpu/numeric/ops",
    "engine/cpu/numeric/backward",
    "engine/cpu/boolean/ops",
    "engine/cpu/dispatch",
    "engine/cpu/kernels",
    "engine/cpu/storage",
    "values",
    "autograd",
    "tensor",
    "binding",
]
INCLUDE = re.compile(r'^#include [<"]([^">]+)[">]', re.MULTILINE)


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    rank = {folder: i for i, folder in enumerate(LAYERS)}
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = path.parent.relative_to(src).as_posix()
        if folder not in rank:
            faults.append(f"{path.relative_to(src)}: folder {folder} is not in the layer list")
            continue
        for target in INCLUDE.findall(path.read_text()):
            if target == "Python.h" and folder != "binding":
                faults.append(f"{path.relative_to(src)}: Python.h outside the binding")
            target_folder = str(pathlib.PurePosixPath(target).parent)
            if target_folder in rank and rank[target_folder] > rank[folder]:
                faults.append(f"{path.relative_to(src)}: includes {target}, a layer above {folder}")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
