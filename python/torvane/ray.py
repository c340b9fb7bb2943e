"""Ray Data transforms: context selection and MaxSim top-k on a pool of actors.

Both are callable classes for ``Dataset.map_batches`` (expensive set-up in ``__init__``):

    import ray
    from torvane.ray import SelectContexts, MaxSimTopK

    selected = ds.map_batches(SelectContexts, fn_constructor_kwargs={"constraints": constraints},
                              compute=ray.data.ActorPoolStrategy(size=4), num_cpus=2)
    reranked = queries.map_batches(MaxSimTopK, fn_constructor_kwargs={"corpus": ray.put(corpus), "k": 10},
                                   compute=ray.data.ActorPoolStrategy(size=4), num_cpus=2)

Each actor sizes the module's worker pool to the CPUs Ray gave it (``num_cpus``). Needs Ray
(``pip install "torvane_solver[ray]"``).
"""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

try:
    import ray
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError('torvane.ray needs Ray: pip install "torvane_solver[ray]"') from exc

from torvane_solver import SolverConfig, SolverConstraints, SolverOutput

import torvane
from torvane._batch import solve_many

__all__ = ["SelectContexts", "MaxSimTopK", "PROBLEM_COLUMNS", "size_pool"]

Batch = dict[str, Any]

# Columns read by SelectContexts: the keyword arguments of solve_numpy and
# solve_precomputed_numpy (a row with relevance_scores goes to the latter).
PROBLEM_COLUMNS = ("embeddings", "query_embedding", "token_costs", "density_scores", "centrality_scores",
                   "recency_scores", "auxiliary_scores", "roles", "cluster_ids", "relevance_scores",
                   "similarity_matrix", "fulfilment_scores", "coverage_matrix", "query_token_weights")


def _assigned_cpus() -> Optional[int]:
    """The CPUs Ray gave the calling actor or task, None outside Ray."""
    try:
        if not ray.is_initialized():
            return None
        cpus = ray.get_runtime_context().get_assigned_resources().get("CPU")  # type: ignore[no-untyped-call, unused-ignore]
    except Exception:  # noqa: BLE001 - outside a worker: no assignment to follow
        return None
    return None if not cpus else max(1, int(round(cpus)))


def size_pool(num_threads: Optional[int] = None) -> int:
    """Sizes the module's one worker pool: `num_threads`, else the CPUs Ray assigned to the
    calling actor, else the pool keeps its own size (TORVANE_NUM_THREADS or all CPUs).

    The pool starts once per process: when it has started already (a worker process Ray
    reuses), its size stays, and the return value is the number of problems to solve at once."""
    n = num_threads if num_threads is not None else _assigned_cpus()
    if n is None:
        return torvane._batch._pool_size()
    if isinstance(n, bool) or not isinstance(n, int) or not 1 <= n <= 1024:
        raise ValueError(f"num_threads must be a whole number from 1 to 1024, got {n!r}")
    if not torvane._native.pool_started():
        torvane.set_num_threads(n)
    return n


def _record(kind: type[Any], value: object, name: str) -> Any:
    """A record from itself, or from a mapping of its constructor's keywords (plain data
    travels to actors in every Ray version); None stays None."""
    if value is None or isinstance(value, kind):
        return value
    if isinstance(value, Mapping):
        return kind(**value)
    raise TypeError(f"{name} must be a {kind.__name__}, a mapping of its keywords or None, not {type(value).__name__}")


def _rows(batch: Mapping[str, Any]) -> int:
    lengths = {len(v) for v in batch.values()}
    if len(lengths) > 1:
        raise ValueError(f"the batch's columns have different lengths: {sorted(lengths)}")
    return lengths.pop() if lengths else 0


def _object_column(items: list[Any]) -> npt.NDArray[np.object_]:
    column = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        column[i] = item
    return column


class SelectContexts:
    """Selects the context of every query of a batch: one row per query.

    The columns are named as the keyword arguments of `TabuSearchSolver.solve_numpy` and
    `solve_precomputed_numpy` (`embeddings`, `query_embedding`, `token_costs`, ...,
    `relevance_scores`; ragged ones as object arrays, as Ray hands them over); a row with
    `relevance_scores` is solved by `solve_precomputed_numpy`. Other columns pass through.
    The batch comes back with the columns `selected_indices` (int64 arrays),
    `objective_score`, `total_tokens`, `constraints_satisfied` and `constraint_violations`
    (lists of messages) added; the rows are the same bits as `torvane.solve_many`.

    `config` and `constraints` are records or mappings of their constructor's keywords
    (`config=None` as for `TabuSearchSolver`). The actor's worker pool gets the CPUs Ray
    assigned it, or `num_threads`.
    """

    def __init__(self, config: Union[SolverConfig, Mapping[str, Any], None] = None,
                 constraints: Union[SolverConstraints, Mapping[str, Any], None] = None, *,
                 num_threads: Optional[int] = None) -> None:
        self.config: Optional[SolverConfig] = _record(SolverConfig, config, "config")
        self.constraints: Optional[SolverConstraints] = _record(SolverConstraints, constraints, "constraints")
        self.threads = size_pool(num_threads)

    def __call__(self, batch: Batch) -> Batch:
        rows = _rows(batch)
        columns = [c for c in PROBLEM_COLUMNS if c in batch]
        problems = [{c: _cell(batch[c][i]) for c in columns} for i in range(rows)]
        for p in problems:  # a precomputed row may leave the optional arrays out as None
            for c in [c for c, v in p.items() if v is None]:
                del p[c]
        outputs = solve_many(problems, self.config, self.constraints, threads=self.threads)
        out = dict(batch)
        out.update(_output_columns(outputs))
        return out


def _cell(value: Any) -> Any:
    """A row's value as the solver takes it: arrays contiguous, in the order Ray gave them."""
    if isinstance(value, np.ndarray) and not value.flags.c_contiguous:
        return np.ascontiguousarray(value)
    return value


def _output_columns(outputs: list[SolverOutput]) -> Batch:
    return {
        "selected_indices": _object_column([np.asarray(o.selected_indices, dtype=np.int64) for o in outputs]),
        "objective_score": np.array([o.objective_score for o in outputs], dtype=np.float64),
        "total_tokens": np.array([o.total_tokens for o in outputs], dtype=np.int64),
        "constraints_satisfied": np.array([o.constraints_satisfied for o in outputs], dtype=bool),
        "constraint_violations": _object_column([list(o.constraint_violations) for o in outputs]),
    }


class MaxSimTopK:
    """Reranks the queries of a batch against one corpus: the best `k` documents of each.

    `corpus` is a float batch (a 3-D float32 array, a sequence of 2-D float32 arrays or
    `torvane.Packed`) or `torvane.Quantized` codes, or an object reference to one: pass
    `ray.put(corpus)` so that every actor maps the one copy in the object store. The column
    `query` holds each query's float32 token array (T, E); against a quantized corpus the
    actor quantizes the queries with the corpus's `num_bits` and `seed`. The batch comes
    back with the columns `topk_indices` (int64) and `topk_scores` (float32), each of shape
    (rows, min(k, documents)), best first, exactly as `torvane.maxsim_topk` ranks them.
    """

    def __init__(self, corpus: Any, k: int, *, num_threads: Optional[int] = None) -> None:
        if isinstance(corpus, ray.ObjectRef):
            corpus = ray.get(corpus)
        self.corpus = corpus
        self.k = k
        self.threads = size_pool(num_threads)

    def __call__(self, batch: Batch) -> Batch:
        if "query" not in batch:
            raise ValueError(f"the batch has no column 'query' (columns: {sorted(batch)})")
        queries = batch["query"]
        if isinstance(queries, np.ndarray) and queries.dtype == object:
            queries = [np.ascontiguousarray(q, dtype=np.float32) if isinstance(q, np.ndarray) else q
                       for q in queries]
        if isinstance(self.corpus, torvane.Quantized):
            queries = torvane.quantize(queries, self.corpus.num_bits, seed=self.corpus.seed)
        indices, scores = torvane.maxsim_topk(queries, self.corpus, self.k)
        out = dict(batch)
        out["topk_indices"] = indices
        out["topk_scores"] = scores
        return out
