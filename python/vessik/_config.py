"""vessik.show_config(): what was built and what this process runs."""

import platform
import sys
import sysconfig

import vessik
from vessik import _cpu


def _requested(info):
    text = info["requested"]
    if not text:
        return "(unset)"
    return repr(text) + ("" if info["requested_valid"] else " (names no level; ignored)")


def _interpreter_lock():
    """Whether this interpreter was built free-threaded, and whether its
    global lock is on now (a free-threaded build turns it back on when an
    extension that needs it is imported, or with PYTHON_GIL=1)."""
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil_on = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    build = "free-threaded build" if free_threaded else "standard build"
    return f"{build}, GIL {'enabled' if gil_on else 'disabled'}"


def show_config():
    """Print the version, the build, the processor's features and the
    kernel level this process runs with, and why."""
    info = _cpu.info()
    found = [name for name, present in info["features"].items() if present]
    missing = [name for name, present in info["features"].items() if not present]
    lines = [
        f"vessik {vessik.__version__}",
        f"  python: {platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        f"  interpreter: {_interpreter_lock()}",
        "build:",
        f"  compiler: {info['compiler']}",
        f"  kernel levels: {info['build_levels']}",
        "processor:",
        f"  machine: {platform.machine()}",
        f"  features found: {' '.join(found) or '(none)'}",
        f"  features missing: {' '.join(missing) or '(none)'}",
        f"  highest level: {info['highest']}",
        "kernel level:",
        f"  VESSIK_CPU_LEVEL: {_requested(info)}",
        f"  chosen: {info['level']}",
        f"  why: {info['reason']}",
        f"  matrix product: {info['gemm']}",
    ]
    print("\n".join(lines))
