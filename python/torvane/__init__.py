"""torvane: late-interaction (MaxSim) scoring of real corpora, and many context selection
problems in one call (:func:`solve_many`).

Framework components live in submodules that need their extras: ``torvane.langchain``,
``torvane.llama_index`` and ``torvane.ray``.

Token batches come in three float forms (a 3-D float32 array, a sequence of
2-D float32 arrays, or :class:`Packed`) or as :class:`Quantized` codes made by
:func:`quantize`. Scores are bit for bit those of
``torvane_solver.compute_max_sim_batch_f32`` (``compute_max_sim_batch`` for
codes) on each query and document alone; both modules share one compiled core
and one worker pool.
"""
from __future__ import annotations

from typing import Union

import numpy as np
import numpy.typing as npt

from . import _native
from ._batch import solve_many
from ._batches import (FloatBatch, Packed, Quantized, _Floats, as_floats, check_quantized, is_float_form, k_value,
                       num_bits_value, seed_value)
from ._solve import solve

from .selection import (SelectionDefaults, aspect_coverage, build_problem, calibrate_relevance, default_config,
                        filler_chunks, shingle_similarity, split_aspects, split_pieces)

__all__ = ["Packed", "Quantized", "FloatBatch", "maxsim", "maxsim_topk", "quantize", "set_num_threads", "solve",
           "solve_many", "SelectionDefaults", "aspect_coverage", "build_problem", "calibrate_relevance",
           "default_config", "shingle_similarity", "split_aspects", "split_pieces",
           "filler_chunks"]

Batch = Union[FloatBatch, Quantized]


def set_num_threads(n: int) -> None:
    """Sizes the one worker pool of the process (1 to 1024 threads), like the
    TORVANE_NUM_THREADS environment variable.

    Call it before the first solve or score: the pool is started once and
    then kept, so a later call raises RuntimeError.
    """
    if isinstance(n, (bool, np.bool_)):
        raise TypeError("n must be an integer, not bool")
    _native.set_num_threads(n)


def quantize(vectors: FloatBatch, num_bits: int, *, seed: int = 0) -> Quantized:
    """Quantizes a float batch (any of the three forms) into codes of 1, 4 or 8
    bits per coordinate.

    Every token vector is padded to the next power of two, rotated with a
    randomized Hadamard transform drawn from ``seed`` (inner products are
    preserved) and encoded with a per-token scale and offset (4 and 8 bits) or
    its signs (1 bit). Queries and documents quantized with equal ``num_bits``,
    ``dim`` and ``seed`` can be scored together with :func:`maxsim`.
    """
    floats = as_floats(vectors, "vectors")
    bits = num_bits_value(num_bits)
    seed_int = seed_value(seed)
    dim = floats.dim if floats.dim is not None else 0
    tokens = floats.with_dim(dim).tokens
    codes, meta = _native.quantize(tokens, bits, seed_int)
    return Quantized(codes, meta, floats.offsets, bits, dim, seed_int)


def _pair(queries: object, documents: object) -> tuple[Union[Quantized, _Floats], Union[Quantized, _Floats]]:
    """Both batches checked and converted: two Quantized batches that can be
    scored together, or two float batches in the packed layout."""
    q_codes = isinstance(queries, Quantized)
    d_codes = isinstance(documents, Quantized)
    if not q_codes and not is_float_form(queries):
        check_quantized(queries, "queries")
    if not d_codes and not is_float_form(documents):
        check_quantized(documents, "documents")
    if q_codes != d_codes:
        coded, other = ("queries", "documents") if q_codes else ("documents", "queries")
        raise ValueError(f"{coded} are torvane.Quantized codes but {other} are floats: quantize both with the "
                         "same num_bits, dim and seed, or score floats against floats")
    if isinstance(queries, Quantized) and isinstance(documents, Quantized):
        differences = [f"{field} {getattr(queries, field)} vs {getattr(documents, field)}"
                       for field in ("num_bits", "dim", "seed")
                       if getattr(queries, field) != getattr(documents, field)]
        if differences:
            raise ValueError("queries and documents were quantized differently (queries vs documents: "
                             + ", ".join(differences) + ")")
        return queries, documents
    q = as_floats(queries, "queries")
    d = as_floats(documents, "documents")
    if q.dim is not None and d.dim is not None and q.dim != d.dim:
        raise ValueError(f"queries have {q.dim} values per token but documents have {d.dim}")
    dim = q.dim if q.dim is not None else (d.dim if d.dim is not None else 0)
    return q.with_dim(dim), d.with_dim(dim)


def maxsim(queries: Batch, documents: Batch) -> npt.NDArray[np.float32]:
    """MaxSim scores, float32 (Nq, Nd): entry [i, j] sums over query i's tokens
    the best inner product with any token of document j.

    Both batches are float batches (any mix of the three forms) or both are
    :class:`Quantized` with equal ``num_bits``, ``dim`` and ``seed``. A document
    without tokens scores -inf, a query without tokens 0.0.
    """
    q, d = _pair(queries, documents)
    if isinstance(q, Quantized) and isinstance(d, Quantized):
        return _native.maxsim_codes(q.codes, q.meta, q.offsets, d.codes, d.meta, d.offsets, q.num_bits, q.dim)
    assert isinstance(q, _Floats) and isinstance(d, _Floats)
    return _native.maxsim_f32(q.tokens, q.offsets, d.tokens, d.offsets)


def maxsim_topk(queries: Batch, documents: Batch,
                k: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """The best ``k`` documents of every query: (indices int64, scores float32),
    both (Nq, min(k, Nd)), best first.

    Equal scores rank in ascending document index and a NaN never above a
    number; the entries are exactly the top of :func:`maxsim`'s matrix. Memory
    stays O(Nq x (k + one block of documents)).
    """
    q, d = _pair(queries, documents)
    count = min(k_value(k), int(d.offsets.shape[0]) - 1)
    if isinstance(q, Quantized) and isinstance(d, Quantized):
        return _native.topk_codes(q.codes, q.meta, q.offsets, d.codes, d.meta, d.offsets, q.num_bits, q.dim,
                                  count)
    assert isinstance(q, _Floats) and isinstance(d, _Floats)
    return _native.topk_f32(q.tokens, q.offsets, d.tokens, d.offsets, count)
