"""vessik: a small CPU tensor library with reverse-mode automatic differentiation."""

import sys

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

#: The NumPy scalar type of bfloat16 elements (``Tensor.to_numpy()`` of a
#: "bf16" tensor has this dtype).
bfloat16 = ml_dtypes.bfloat16

# vessik_core's submodules are plain attributes; give them package names so
# that `import vessik.nn.functional` and `from vessik.nn.functional import
# relu` work. vessik_core's own names stay unimportable.
sys.modules[__name__ + ".nn"] = nn
sys.modules[__name__ + ".nn.functional"] = nn.functional

__all__ = ["Tensor", "nn", "bfloat16"]
