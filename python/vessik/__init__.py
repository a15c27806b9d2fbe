"""vessik: a small CPU tensor library with reverse-mode automatic differentiation."""

import sys
import warnings
from importlib import metadata as _metadata

import ml_dtypes
import numpy

# vessik_core exchanges bfloat16 data through whatever NumPy knows as
# "bfloat16". Importing ml_dtypes registers that name; enter it by hand if
# this ml_dtypes did not.
try:
    numpy.dtype("bfloat16")
except TypeError:
    numpy.sctypeDict["bfloat16"] = ml_dtypes.bfloat16
    numpy.dtype("bfloat16")

from vessik_core import Tensor, nn  # noqa: E402

from vessik import _cpu  # noqa: E402

try:
    __version__ = _metadata.version(__name__)
except _metadata.PackageNotFoundError:
    # Imported straight from a build tree, not installed (the sanitizer
    # run): the build writes the same version from meson.build.
    from vessik._version import __version__
del _metadata

from vessik._config import show_config  # noqa: E402

# vessik_core reads VESSIK_CPU_LEVEL at its import and _cpu at its first
# use: ask _cpu now, so that a later change to the environment cannot make
# it report another level than the one the engine runs at.
_cpu_info = _cpu.info()
# A misspelt VESSIK_CPU_LEVEL would otherwise go unnoticed: the kernels
# quietly run at the highest level instead.
def _accepted(names):
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


if not _cpu_info["requested_valid"]:
    warnings.warn(
        f"VESSIK_CPU_LEVEL={_cpu_info['requested']!r} names no kernel level and is ignored; "
        f"accepted values are {_accepted(_cpu_info['levels'])}. Running at {_cpu_info['level']!r}.",
        RuntimeWarning,
        stacklevel=2,
    )
del _cpu_info, _accepted

#: The NumPy scalar type of bfloat16 elements (``Tensor.to_numpy()`` of a
#: "bf16" tensor has this dtype).
bfloat16 = ml_dtypes.bfloat16

# vessik_core's submodules are plain attributes; give them package names so
# that `import vessik.nn.functional` and `from vessik.nn.functional import
# relu` work. vessik_core's own names stay unimportable.
sys.modules[__name__ + ".nn"] = nn
sys.modules[__name__ + ".nn.functional"] = nn.functional

__all__ = ["Tensor", "nn", "bfloat16", "show_config"]
