"""Token batches: the packed float form, quantized codes, and the conversion
of every accepted float form into one packed layout for the native calls."""
from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _native

FloatArray = npt.NDArray[np.float32]
Int64Array = npt.NDArray[np.int64]
UInt8Array = npt.NDArray[np.uint8]


def _is_float32(array: npt.NDArray[Any]) -> bool:
    return array.dtype.kind == "f" and array.dtype.itemsize == 4


def _float_rows(value: object, name: str) -> FloatArray:
    """A 2-D float32 array (T, E), C-contiguous in native byte order."""
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name} must be a 2-D float32 numpy array of token vectors, not {type(value).__name__}")
    if not _is_float32(value):
        raise TypeError(f"{name} must have dtype float32, not {value.dtype}")
    if value.ndim != 2:
        raise TypeError(f"{name} must be a 2-D array (tokens, values), not {value.ndim}-D")
    return np.ascontiguousarray(value, dtype=np.float32)


def _offsets(value: object, name: str, total: int) -> Int64Array:
    """int64 offsets (N + 1) from 0, never decreasing, ending at `total`."""
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name} must be a 1-D int64 numpy array, not {type(value).__name__}")
    if value.dtype.kind not in "iu" or value.dtype.itemsize != 8:
        raise TypeError(f"{name} must have dtype int64, not {value.dtype}")
    if value.ndim != 1:
        raise TypeError(f"{name} must be a 1-D array, not {value.ndim}-D")
    if value.dtype.kind == "u" and value.size and int(value.max()) > np.iinfo(np.int64).max:
        raise ValueError(f"{name} holds values beyond the int64 range")
    offsets = np.ascontiguousarray(value, dtype=np.int64)
    if offsets.size == 0:
        raise ValueError(f"{name} must hold at least one value (0)")
    if offsets[0] != 0:
        raise ValueError(f"{name} must start at 0, not {int(offsets[0])}")
    if offsets.size > 1 and bool(np.any(offsets[1:] < offsets[:-1])):
        where = int(np.argmax(offsets[1:] < offsets[:-1]))
        raise ValueError(f"{name} go backwards at index {where + 1} ({int(offsets[where])} then "
                         f"{int(offsets[where + 1])})")
    if offsets[-1] != total:
        raise ValueError(f"{name} must end at the token count {total}, not {int(offsets[-1])}")
    return offsets


class Packed:
    """A batch of token bags packed one after the other: item i's token
    vectors are ``tokens[offsets[i]:offsets[i + 1]]``.

    ``tokens`` is float32 (total, E); ``offsets`` is int64 (N + 1), starting
    at 0, never decreasing and ending at ``total``.
    """

    __slots__ = ("_tokens", "_offsets")

    def __init__(self, tokens: FloatArray, offsets: Int64Array) -> None:
        rows = _float_rows(tokens, "tokens")
        self._tokens = rows
        self._offsets = _offsets(offsets, "offsets", rows.shape[0])

    @property
    def tokens(self) -> FloatArray:
        return self._tokens

    @property
    def offsets(self) -> Int64Array:
        return self._offsets

    def __len__(self) -> int:
        return int(self._offsets.shape[0]) - 1

    def __repr__(self) -> str:
        return f"Packed({len(self)} items, {self._tokens.shape[0]} tokens of {self._tokens.shape[1]} values)"

    def __reduce__(self) -> tuple[type[Packed], tuple[FloatArray, Int64Array]]:
        return (Packed, (self._tokens, self._offsets))


def _index(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def _num_bits(value: object) -> int:
    bits = _index(value, "num_bits")
    if bits not in (1, 4, 8):
        raise ValueError(f"num_bits must be 1, 4 or 8, not {bits}")
    return bits


class Quantized:
    """Token vectors as rotational-quantizer codes, made by :func:`quantize`.

    ``codes`` is uint8 (total, bytes), ``meta`` float32 (total, 4) with the
    scale, offset, code sum and L2 norm of every token, ``offsets`` int64
    (N + 1) as in :class:`Packed`. Batches with equal ``num_bits``, ``dim``
    and ``seed`` can be scored together.
    """

    __slots__ = ("_codes", "_meta", "_offsets", "_num_bits", "_dim", "_seed")

    def __init__(self, codes: UInt8Array, meta: FloatArray, offsets: Int64Array, num_bits: int, dim: int,
                 seed: int) -> None:
        bits = _num_bits(num_bits)
        width = _index(dim, "dim")
        if width < 0 or width > 2**31:
            raise ValueError(f"dim must be from 0 to 2**31, not {width}")
        seed_value = _seed(seed)
        if not isinstance(codes, np.ndarray) or codes.dtype != np.uint8 or codes.ndim != 2:
            raise TypeError("codes must be a 2-D uint8 numpy array")
        if not isinstance(meta, np.ndarray) or not _is_float32(meta) or meta.ndim != 2:
            raise TypeError("meta must be a 2-D float32 numpy array")
        expected = _native.code_bytes(bits, width)
        if codes.shape[1] != expected:
            raise ValueError(f"codes must hold {expected} bytes per token for {bits} bits and dim {width}, "
                             f"not {codes.shape[1]}")
        if meta.shape != (codes.shape[0], 4):
            raise ValueError(f"meta must have shape ({codes.shape[0]}, 4), not {meta.shape}")
        self._codes: UInt8Array = np.ascontiguousarray(codes)
        self._meta: FloatArray = np.ascontiguousarray(meta, dtype=np.float32)
        self._offsets = _offsets(offsets, "offsets", codes.shape[0])
        self._num_bits = bits
        self._dim = width
        self._seed = seed_value

    @property
    def codes(self) -> UInt8Array:
        return self._codes

    @property
    def meta(self) -> FloatArray:
        return self._meta

    @property
    def offsets(self) -> Int64Array:
        return self._offsets

    @property
    def num_bits(self) -> int:
        return self._num_bits

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def seed(self) -> int:
        return self._seed

    def __len__(self) -> int:
        return int(self._offsets.shape[0]) - 1

    def __repr__(self) -> str:
        return (f"Quantized({len(self)} items, {self._codes.shape[0]} tokens, num_bits={self._num_bits}, "
                f"dim={self._dim}, seed={self._seed})")

    def __reduce__(self) -> tuple[type[Quantized], tuple[UInt8Array, FloatArray, Int64Array, int, int, int]]:
        return (Quantized, (self._codes, self._meta, self._offsets, self._num_bits, self._dim, self._seed))


def _seed(value: object) -> int:
    seed = _index(value, "seed")
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, not {seed}")
    return seed


FloatBatch = Union[FloatArray, Sequence[FloatArray], Packed]


class _Floats:
    """A float batch in the packed layout; dim is None for an empty sequence,
    whose vector length is unknown."""

    __slots__ = ("tokens", "offsets", "dim")

    def __init__(self, tokens: FloatArray, offsets: Int64Array, dim: Optional[int]) -> None:
        self.tokens = tokens
        self.offsets = offsets
        self.dim = dim

    def with_dim(self, dim: int) -> _Floats:
        if self.dim is not None:
            return self
        return _Floats(np.zeros((0, dim), np.float32), self.offsets, dim)


def as_floats(batch: object, name: str) -> _Floats:
    """Any accepted float form as packed tokens and offsets; TypeError or
    ValueError naming `name` for anything else."""
    if isinstance(batch, Packed):
        tokens = np.ascontiguousarray(batch.tokens, dtype=np.float32)
        offsets = _offsets(batch.offsets, f"{name}.offsets", tokens.shape[0])
        return _Floats(tokens, offsets, tokens.shape[1])
    if isinstance(batch, np.ndarray) and batch.dtype != object:
        if not _is_float32(batch):
            raise TypeError(f"{name} must have dtype float32, not {batch.dtype}")
        if batch.ndim != 3:
            raise TypeError(f"{name} must be a 3-D array (items, tokens, values), not {batch.ndim}-D; "
                            "pass a list of 2-D arrays or torvane.Packed for items of different lengths")
        count, length, dim = batch.shape
        tokens = np.ascontiguousarray(batch, dtype=np.float32).reshape(count * length, dim)
        return _Floats(tokens, np.arange(count + 1, dtype=np.int64) * length, dim)
    if isinstance(batch, np.ndarray):
        if batch.ndim != 1:
            raise TypeError(f"{name} must be a 1-D object array of 2-D float32 arrays, not {batch.ndim}-D")
        items: Sequence[object] = list(batch)
    elif isinstance(batch, Sequence) and not isinstance(batch, (str, bytes, bytearray)):
        items = batch
    else:
        raise TypeError(f"{name} must be a 3-D float32 array, a sequence of 2-D float32 arrays or "
                        f"torvane.Packed, not {type(batch).__name__}")
    rows = [_float_rows(item, f"{name}[{i}]") for i, item in enumerate(items)]
    if not rows:
        return _Floats(np.zeros((0, 0), np.float32), np.zeros(1, np.int64), None)
    dim = rows[0].shape[1]
    for i, row in enumerate(rows):
        if row.shape[1] != dim:
            raise ValueError(f"{name}[{i}] has {row.shape[1]} values per token but {name}[0] has {dim}")
    lengths = np.fromiter((row.shape[0] for row in rows), dtype=np.int64, count=len(rows))
    offsets = np.zeros(len(rows) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    tokens = np.concatenate(rows) if int(offsets[-1]) > 0 else np.zeros((0, dim), np.float32)
    return _Floats(np.ascontiguousarray(tokens, dtype=np.float32), offsets, dim)


def is_float_form(batch: object) -> bool:
    """Whether `batch` is meant as a float batch (possibly a bad one)."""
    return isinstance(batch, (Packed, np.ndarray)) or (
        isinstance(batch, Sequence) and not isinstance(batch, (str, bytes, bytearray)))


def check_quantized(batch: object, name: str) -> Quantized:
    if not isinstance(batch, Quantized):
        raise TypeError(f"{name} must be torvane.Quantized, not {type(batch).__name__}")
    return batch


def k_value(value: object) -> int:
    k = _index(value, "k")
    if k < 0:
        raise ValueError(f"k must be at least 0, not {k}")
    return k


__all__ = ["Packed", "Quantized", "FloatBatch", "as_floats", "is_float_form", "check_quantized", "k_value",
           "num_bits_value", "seed_value"]

num_bits_value = _num_bits
seed_value = _seed
