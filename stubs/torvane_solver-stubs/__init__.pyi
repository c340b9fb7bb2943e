"""Type stubs for torvane_solver: context selection and MaxSim scoring."""
from collections.abc import Sequence
from typing import Any, TypedDict, final

import numpy as np
import numpy.typing as npt

_F32Array = npt.NDArray[np.float32]
_U8Array = npt.NDArray[np.uint8]
# The platform's `unsigned long` / `long`: uint64 / int64 on 64-bit Linux.
_UIntArray = npt.NDArray[np.uint64]
_IntArray = npt.NDArray[np.int64]

class ChunkDict(TypedDict, total=False):
    """One candidate chunk for `TabuSearchSolver.solve`. Only "embedding" is required."""

    chunk_id: str  # default "chunk_<position>"
    content: str  # type-checked, not used by the solve
    embedding: Sequence[float] | npt.NDArray[np.floating[Any]]
    token_count: int  # default 100
    fact_density: float  # default 0.5
    centrality_score: float  # default 0.5
    recency_score: float  # default 0.5
    auxiliary_score: float  # default 0.0
    rhetorical_role: str  # default "unknown"
    cluster_id: int  # negative or absent: no cluster

class OutputDict(TypedDict):
    selected_indices: list[int]
    objective_score: float
    relevance_total: float
    density_total: float
    centrality_total: float
    recency_total: float
    auxiliary_total: float
    fulfilment_total: float
    redundancy_penalty: float
    total_tokens: int
    num_selected: int
    iterations_run: int
    best_iteration: int
    constraints_satisfied: bool
    constraint_violations: list[str]
    solve_time_ms: float
    exact_window_used: bool
    exact_window_core_size: int
    exact_window_nodes: int
    exact_window_exhaustive: bool
    exact_window_gap: float
    exact_window_fixed_in: int
    exact_window_fixed_out: int

@final
class SolverConfig:
    """Search and objective parameters. Floats are stored in single precision."""

    alpha: float  # weight of relevance
    beta: float  # weight of fact density
    gamma: float  # weight of centrality
    delta: float  # weight of recency
    epsilon: float  # weight of the auxiliary score
    mu: float  # weight of query-token fulfilment
    support_secondary_discount: float
    support_quorum_bonus: float
    support_quorum_threshold: float
    support_quorum_cap: int
    lambda_: float  # weight of the redundancy penalty
    iterations: int  # tabu search iteration budget
    tabu_tenure: int
    early_stopping_patience: int
    use_gpu: bool  # recorded; no accelerator backend exists
    random_seed: int | None  # recorded; the solve is deterministic
    enable_gpu_move_evaluation: bool  # recorded; has no effect
    enable_path_relinking: bool
    enable_destroy_repair: bool
    enable_reactive_tenure: bool
    enable_exact_window: bool
    exact_window_size: int  # at most 20 candidates are enumerated
    exact_window_time_ms: int
    def __init__(
        self,
        alpha: float = 1.0,
        beta: float = 0.3,
        gamma: float = 0.2,
        delta: float = 0.1,
        epsilon: float = 0.0,
        mu: float = 1.0,
        support_secondary_discount: float = 0.35,
        support_quorum_bonus: float = 0.18,
        support_quorum_threshold: float = 0.55,
        support_quorum_cap: int = 4,
        lambda_: float = 0.5,
        iterations: int = 100,
        tabu_tenure: int = 10,
        early_stopping_patience: int = 20,
        use_gpu: bool = False,
        random_seed: int | None = None,
        enable_gpu_move_evaluation: bool = True,
        enable_path_relinking: bool = True,
        enable_destroy_repair: bool = True,
        enable_reactive_tenure: bool = True,
        enable_exact_window: bool = True,
        exact_window_size: int = 14,
        exact_window_time_ms: int = 25,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...  # pickle and copy: every field, floats as their bits

@final
class SolverConstraints:
    """Limits on the selected subset. The three lists are constructor-only."""

    max_tokens: int  # token budget (inclusive)
    min_tokens: int
    min_chunks: int
    max_chunks: int
    max_per_cluster: int
    def __init__(
        self,
        max_tokens: int = 8192,
        min_tokens: int = 0,
        min_chunks: int = 1,
        max_chunks: int = 50,
        max_per_cluster: int = 3,
        must_include_roles: Sequence[str] | None = None,
        excluded_chunks: Sequence[str] | None = None,
        required_chunks: Sequence[str] | None = None,
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...  # pickle and copy: the constructor with every field

@final
class SolverOutput:
    """The result of one solve (read-only). Made only by the solve methods."""

    @property
    def selected_indices(self) -> list[int]: ...  # ascending positions; a new list on every read
    @property
    def objective_score(self) -> float: ...
    @property
    def relevance_total(self) -> float: ...
    @property
    def density_total(self) -> float: ...
    @property
    def centrality_total(self) -> float: ...
    @property
    def recency_total(self) -> float: ...
    @property
    def auxiliary_total(self) -> float: ...
    @property
    def fulfilment_total(self) -> float: ...
    @property
    def redundancy_penalty(self) -> float: ...
    @property
    def total_tokens(self) -> int: ...
    @property
    def num_selected(self) -> int: ...
    @property
    def iterations_run(self) -> int: ...  # iterations since the last perturbation
    @property
    def best_iteration(self) -> int: ...  # iterations before the returned solution was found
    @property
    def constraints_satisfied(self) -> bool: ...
    @property
    def constraint_violations(self) -> list[str]: ...
    @property
    def solve_time_ms(self) -> float: ...
    @property
    def exact_window_used(self) -> bool: ...
    @property
    def exact_window_core_size(self) -> int: ...
    @property
    def exact_window_nodes(self) -> int: ...
    @property
    def exact_window_exhaustive(self) -> bool: ...
    @property
    def exact_window_gap(self) -> float: ...
    @property
    def exact_window_fixed_in(self) -> int: ...
    @property
    def exact_window_fixed_out(self) -> int: ...
    def to_dict(self) -> OutputDict: ...
    def __reduce__(self) -> tuple[Any, ...]: ...  # pickle and copy: every field, floats as their bits

@final
class TabuSearchSolver:
    """Python-exposed Tabu Search Solver"""

    def __init__(self, config: SolverConfig | None = None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...  # pickle and copy: the constructor with its configuration
    def backend_kind(self) -> str: ...
    def solve(
        self,
        chunks: list[ChunkDict] | list[dict[str, Any]],
        query_embedding: _F32Array,
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve from a list of chunk dictionaries

        All chunk embeddings must have the same length; a chunk whose embedding length differs
        from the first chunk's is refused with ValueError.
        """
    def solve_numpy(
        self,
        embeddings: _F32Array,
        query_embedding: _F32Array,
        token_costs: _UIntArray,
        density_scores: _F32Array,
        centrality_scores: _F32Array,
        recency_scores: _F32Array,
        auxiliary_scores: _F32Array,
        roles: _U8Array,
        cluster_ids: _IntArray,
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve the knapsack problem from numpy arrays

        The number of candidates n is the length of token_costs. density_scores,
        centrality_scores, recency_scores, auxiliary_scores, roles and cluster_ids shorter than n
        are refused with ValueError (longer ones are read for their first n entries).

        embeddings is read as one run of values in row-major logical order (also when it is
        stored column-major) and cut into n rows of dim = (its number of values) // n values;
        its own row count is not checked against n. Rows may therefore be passed flattened or
        reshaped: a (4, 3) array with six token costs gives six candidates of two values each.
        Values past the last whole row are ignored.
        """
    def solve_precomputed_numpy(
        self,
        embeddings: _F32Array,
        token_costs: _UIntArray,
        density_scores: _F32Array,
        centrality_scores: _F32Array,
        recency_scores: _F32Array,
        auxiliary_scores: _F32Array,
        roles: _U8Array,
        cluster_ids: _IntArray,
        relevance_scores: _F32Array,
        similarity_matrix: _F32Array | None = None,
        fulfilment_scores: _F32Array | None = None,
        coverage_matrix: _F32Array | None = None,
        query_token_weights: _F32Array | None = None,
        query_embedding: _F32Array | None = None,
        constraints: SolverConstraints | None = None,
    ) -> SolverOutput:
        """Solve from precomputed relevance, redundancy, and fulfilment tensors.

        The number of candidates n is the length of token_costs. density_scores,
        centrality_scores, recency_scores, auxiliary_scores, roles and cluster_ids shorter than n
        are refused with ValueError (longer ones are read for their first n entries).

        embeddings is read as one run of values in row-major logical order (also when it is
        stored column-major) and cut into n rows of dim = (its number of values) // n values;
        its own row count is not checked against n. Rows may therefore be passed flattened or
        reshaped: a (4, 3) array with six token costs gives six candidates of two values each.
        Values past the last whole row are ignored.
        """

def gpu_available() -> bool: ...
def cuda_available() -> bool: ...
def version() -> str: ...
def compute_max_sim_batch(
    q_codes: _U8Array,
    q_meta: _F32Array,
    d_codes: _U8Array,
    d_meta: _F32Array,
    num_bits: int,
    dim: int,
) -> _F32Array: ...
def compute_max_sim_batch_f32(q_vecs: _F32Array, d_vecs: _F32Array) -> _F32Array: ...
