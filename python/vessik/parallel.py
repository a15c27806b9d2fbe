"""Data-parallel training over MPI.

Every process (rank) keeps a full copy of the parameters as float32 NumPy
arrays, runs the forward and backward pass on its own share of each global
batch, and averages the gradients with the other ranks before the update.
Every rank then applies the same update, so the copies stay equal. MPI, through
mpi4py, does all of the communication; this module only lays out the data.

    mpiexec -n 2 python train.py

A training loop::

    from vessik import parallel

    with parallel.abort_on_error():
        parallel.broadcast_parameters(params)          # rank 0's values everywhere
        averager = parallel.GradientAverager(params)
        for share in parallel.batches(order, global_batch):
            grads = ...                                # this rank's gradients
            averager.average(grads)                    # now the global batch's
            ...                                        # the same update on every rank

Needs mpi4py and an MPI library: ``pip install 'vessik[mpi]'``.
"""

from __future__ import annotations

import contextlib
import sys
import time
import traceback
from collections.abc import Iterator, Mapping

import numpy as np

try:
    from mpi4py import MPI
except (ImportError, RuntimeError) as exc:  # mpi4py raises RuntimeError when it finds no MPI library
    raise ImportError(
        f"vessik.parallel needs mpi4py and an MPI library ({exc}); install them with: pip install 'vessik[mpi]'"
    ) from exc

__all__ = [
    "ParallelError",
    "FusedBuffer",
    "GradientAverager",
    "broadcast_parameters",
    "split",
    "batches",
    "rank",
    "size",
    "is_root",
    "root_print",
    "on_root",
    "abort_on_error",
]


class ParallelError(ValueError):
    """A misuse that every rank detects alike, so every rank raises it."""


def _comm(comm):
    return MPI.COMM_WORLD if comm is None else comm


def rank(comm=None) -> int:
    return _comm(comm).Get_rank()


def size(comm=None) -> int:
    return _comm(comm).Get_size()


def is_root(comm=None) -> bool:
    return rank(comm) == 0


def root_print(*args, comm=None, **kwargs) -> None:
    """print() on rank 0 only, so that a message appears once per job."""
    if is_root(comm):
        print(*args, **kwargs)


def on_root(fn, *args, comm=None, **kwargs):
    """fn(*args, **kwargs) on rank 0 only (plots, files); None elsewhere."""
    return fn(*args, **kwargs) if is_root(comm) else None


@contextlib.contextmanager
def abort_on_error(comm=None):
    """Ends the whole job when this rank raises (or exits with an error).

    The other ranks would otherwise wait forever in their next collective
    call for a rank that has gone, and so would this one, in MPI's
    finalisation at exit. A ParallelError is raised on every rank alike, so
    it ends each of them without an abort, and each prints it.
    """
    comm = _comm(comm)
    try:
        yield
    except ParallelError:
        raise
    except BaseException as exc:
        if comm.Get_size() == 1 or (isinstance(exc, SystemExit) and exc.code in (None, 0)):
            raise
        # One write, then a moment for mpiexec to forward it: the abort
        # kills this process, and what its forwarder has not read yet is lost.
        sys.stderr.write(f"rank {comm.Get_rank()} of {comm.Get_size()} failed; aborting the job\n"
                         + traceback.format_exc())
        sys.stderr.flush()
        time.sleep(0.2)
        comm.Abort(1)


def split(indices, rank: int, size: int):
    """This rank's share of one global batch: a contiguous slice of
    len(indices) // size elements, disjoint from every other rank's.

    Equal shares keep every rank's local mean a mean over as many examples,
    so the average of the ranks' gradients is the global batch's gradient.
    The last len(indices) % size elements go to no rank.
    """
    if not 0 <= rank < size:
        raise ValueError(f"rank {rank} is not in [0, {size})")
    share = len(indices) // size
    return indices[rank * share : (rank + 1) * share]


def batches(order, global_batch: int, comm=None) -> Iterator:
    """This rank's share of each global batch of `order` (the epoch's index
    order, the same on every rank).

    Only the epoch's last, short batch can leave examples out: at most
    size - 1 of them, a different few each epoch when the order is shuffled.
    """
    comm = _comm(comm)
    n = comm.Get_size()
    # Checked now rather than at the first step, as a generator would.
    if global_batch % n:
        raise ParallelError(f"the global batch of {global_batch} does not divide into equal shares for {n} ranks")
    starts = range(0, len(order), global_batch)
    shares = (split(order[start : start + global_batch], comm.Get_rank(), n) for start in starts)
    # A batch shorter than the number of ranks gives each an empty share,
    # and a mean over no examples: skip it (on every rank alike).
    return (share for share in shares if len(share))


class FusedBuffer:
    """One contiguous float32 buffer holding a fixed set of named arrays.

    The layout follows the sorted names, not the mapping's order, so that
    ranks that built their dictionaries in different orders still agree.
    """

    def __init__(self, arrays: Mapping[str, np.ndarray]):
        self.layout = []  # (name, shape, offset, count)
        offset = 0
        for name in sorted(arrays):
            a = _check_float32(name, arrays[name])
            self.layout.append((name, a.shape, offset, a.size))
            offset += a.size
        self.data = np.empty(offset, np.float32)

    def signature(self):
        return [(name, shape) for name, shape, _, _ in self.layout]

    def pack(self, arrays: Mapping[str, np.ndarray]) -> np.ndarray:
        self._check(arrays)
        for name, shape, offset, count in self.layout:
            self.data[offset : offset + count].reshape(shape)[...] = arrays[name]
        return self.data

    def unpack(self, arrays: Mapping[str, np.ndarray], divide_by: int = 1) -> None:
        """Copies the buffer back into the arrays, in place, divided by
        `divide_by` on the way (one pass over the data instead of two)."""
        self._check(arrays)
        for name, shape, offset, count in self.layout:
            np.divide(self.data[offset : offset + count].reshape(shape), divide_by, out=arrays[name])

    def _check(self, arrays):
        if sorted(arrays) != [name for name, *_ in self.layout]:
            raise ValueError(f"expected the arrays {sorted(n for n, *_ in self.layout)}, got {sorted(arrays)}")
        for name, shape, *_ in self.layout:
            a = _check_float32(name, arrays[name])
            if a.shape != shape:
                raise ValueError(f"array {name!r} has shape {list(a.shape)}, expected {list(shape)}")


def _check_float32(name, a):
    if not isinstance(a, np.ndarray):
        raise TypeError(f"array {name!r} must be a float32 NumPy array, got {type(a)!r}")
    if a.dtype != np.float32:
        raise TypeError(f"array {name!r} must be a float32 NumPy array, got dtype {a.dtype}")
    return a


def _check_same_layout(buffer: FusedBuffer, comm) -> None:
    """Raises ParallelError on every rank unless all ranks hold the same names
    and shapes: a fused collective over differing layouts would mix unrelated
    values, or wait forever for elements that another rank never sends."""
    signatures = comm.allgather(buffer.signature())
    mine = signatures[0]
    for other_rank, theirs in enumerate(signatures[1:], start=1):
        if theirs != mine:
            raise ParallelError(
                f"ranks 0 and {other_rank} hold different parameters: {_difference(mine, theirs, other_rank)}"
            )


def _difference(mine, theirs, other_rank):
    a, b = dict(mine), dict(theirs)
    for name in sorted(a.keys() | b.keys()):
        if name not in b:
            return f"{name!r} is missing on rank {other_rank}"
        if name not in a:
            return f"{name!r} is missing on rank 0"
        if a[name] != b[name]:
            return f"{name!r} has shape {list(a[name])} on rank 0 and {list(b[name])} on rank {other_rank}"
    return "unknown difference"


def broadcast_parameters(params: Mapping[str, np.ndarray], comm=None, root: int = 0) -> None:
    """Overwrites every rank's parameters with the root's, in place, so that
    all ranks start from the same values whatever their own initialisation.
    Collective: every rank must call it."""
    comm = _comm(comm)
    buffer = FusedBuffer(params)
    _check_same_layout(buffer, comm)
    if comm.Get_rank() == root:
        buffer.pack(params)
    comm.Bcast(buffer.data, root=root)
    buffer.unpack(params)


class GradientAverager:
    """Averages a fixed set of float32 gradient arrays across ranks with one
    Allreduce per call over one contiguous buffer.

    Construction is collective and checks that every rank holds the same
    names and shapes. `seconds` accumulates the time spent in the Allreduce,
    which includes waiting for the slowest rank.
    """

    def __init__(self, params: Mapping[str, np.ndarray], comm=None):
        self.comm = _comm(comm)
        self.buffer = FusedBuffer(params)
        _check_same_layout(self.buffer, self.comm)
        self.seconds = 0.0

    def average(self, grads: Mapping[str, np.ndarray]) -> Mapping[str, np.ndarray]:
        """Replaces each gradient, in place, by its mean over the ranks."""
        data = self.buffer.pack(grads)
        start = time.perf_counter()
        self.comm.Allreduce(MPI.IN_PLACE, data, op=MPI.SUM)
        self.seconds += time.perf_counter() - start
        self.buffer.unpack(grads, divide_by=self.comm.Get_size())
        return grads
