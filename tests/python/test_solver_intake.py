"""Argument intake of TabuSearchSolver: binding, kinds, contiguity and validation order."""
import inspect
import threading

import numpy as np
import pytest

import torvane_solver as ts

F32 = np.float32


def arrays(n=4, dim=3):
    rng = np.random.default_rng(n * 31 + dim)
    return dict(
        embeddings=rng.standard_normal((n, dim)).astype(F32),
        token_costs=np.full(n, 100, dtype=np.uint64),
        density_scores=np.full(n, 0.5, F32),
        centrality_scores=np.full(n, 0.5, F32),
        recency_scores=np.full(n, 0.5, F32),
        auxiliary_scores=np.zeros(n, F32),
        roles=np.zeros(n, np.uint8),
        cluster_ids=np.arange(n, dtype=np.int64),
    )


def numpy_args(n=4, dim=3):
    a = arrays(n, dim)
    return dict(embeddings=a.pop("embeddings"), query_embedding=np.ones(dim, F32), **a)


def precomputed_args(n=4, dim=3, **extra):
    a = arrays(n, dim)
    a["relevance_scores"] = np.linspace(0, 1, n, dtype=F32)
    a.update(extra)
    return a


def empty_precomputed(**extra):
    return precomputed_args(0, 0, **extra) | {"embeddings": np.zeros((0, 3), F32)}


@pytest.fixture(scope="module")
def solver():
    return ts.TabuSearchSolver()


# ---- construction -------------------------------------------------------------------------

def test_solver_text_form_and_kind():
    for solver in (ts.TabuSearchSolver(), ts.TabuSearchSolver(None), ts.TabuSearchSolver(ts.SolverConfig()),
                   ts.TabuSearchSolver(config=ts.SolverConfig(use_gpu=True))):
        assert solver.backend_kind() == "cpu_reference"
        assert repr(solver) == "TabuSearchSolver(backend='cpu_reference')"


def test_solver_docs_and_signatures():
    assert ts.TabuSearchSolver.__doc__ == "Python-exposed Tabu Search Solver"
    assert str(inspect.signature(ts.TabuSearchSolver)) == "(config=None)"
    assert ts.TabuSearchSolver.backend_kind.__text_signature__ == "($self)"
    assert ts.TabuSearchSolver.solve.__text_signature__ == "($self, chunks, query_embedding, constraints=None)"
    # The docstrings are exactly these one-liners; the details are in the stubs and the README.
    assert ts.TabuSearchSolver.solve.__doc__ == "Solve from a list of chunk dictionaries"
    assert ts.TabuSearchSolver.solve_numpy.__doc__ == "Solve the knapsack problem from numpy arrays"
    assert ts.TabuSearchSolver.solve_precomputed_numpy.__doc__ == (
        "Solve from precomputed relevance, redundancy, and fulfilment tensors.")
    params = inspect.signature(ts.TabuSearchSolver.solve_precomputed_numpy).parameters
    assert list(params)[1:] == ["embeddings", "token_costs", "density_scores", "centrality_scores",
                                "recency_scores", "auxiliary_scores", "roles", "cluster_ids", "relevance_scores",
                                "similarity_matrix", "fulfilment_scores", "coverage_matrix",
                                "query_token_weights", "query_embedding", "constraints"]


@pytest.mark.parametrize("config, type_name", [(5, "int"), ({}, "dict"), (ts.SolverConstraints(), "SolverConstraints")])
def test_solver_refuses_wrong_config(config, type_name):
    with pytest.raises(TypeError) as info:
        ts.TabuSearchSolver(config)
    assert str(info.value) == f"argument 'config': '{type_name}' object cannot be converted to 'SolverConfig'"


# ---- solve(chunks, ...) ---------------------------------------------------------------------

Q = np.ones(3, F32)


@pytest.mark.parametrize("chunks, query, error, message", [
    ((), Q, TypeError, "argument 'chunks': 'tuple' object cannot be converted to 'PyList'"),
    ((c for c in []), Q, TypeError, "argument 'chunks': 'generator' object cannot be converted to 'PyList'"),
    ([], np.ones(3), TypeError, "argument 'query_embedding': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ([], [1.0, 2.0], TypeError, "argument 'query_embedding': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ([], np.ones((1, 3), F32), TypeError,
     "argument 'query_embedding': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ([], np.ones(6, F32)[::2], TypeError, "The given array is not contiguous"),
    ([5], Q, TypeError, "'int' object cannot be converted to 'PyDict'"),
    ([{}], Q, ValueError, "Missing embedding"),
    ([{"embedding": None}], Q, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ([{"embedding": "1,2,3"}], Q, TypeError, "Can't extract `str` to `Vec`"),
    ([{"embedding": {1.0}}], Q, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ([{"embedding": [1.0, "x"]}], Q, TypeError, "must be real number, not str"),
    ([{"embedding": [1.0], "chunk_id": 7}], Q, TypeError, "'int' object cannot be converted to 'PyString'"),
    ([{"embedding": [1.0], "content": b"x"}], Q, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ([{"embedding": [1.0], "rhetorical_role": None}], Q, TypeError,
     "'NoneType' object cannot be converted to 'PyString'"),
    ([{"embedding": [1.0], "token_count": 12.0}], Q, TypeError, "'float' object cannot be interpreted as an integer"),
    ([{"embedding": [1.0], "token_count": -1}], Q, OverflowError, None),
    ([{"embedding": [1.0], "fact_density": "high"}], Q, TypeError, "must be real number, not str"),
    ([{"embedding": [1.0], "cluster_id": 1.5}], Q, TypeError, "'float' object cannot be interpreted as an integer"),
    ([{"embedding": [1.0], "cluster_id": 2**63}], Q, OverflowError, None),
    ([{"embedding": [1.0]}, {"embedding": [1.0, 2.0]}], Q, ValueError,
     "chunk 1 has an embedding of length 2, but the first chunk's has length 1"),
    ([{"embedding": []}, {"embedding": ()}], Q, ValueError, "chunk embeddings must not be empty"),
])
def test_solve_refusals(solver, chunks, query, error, message):
    with pytest.raises(error) as info:
        solver.solve(chunks, query)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


def test_solve_checks_constraints_before_contiguity(solver):
    with pytest.raises(TypeError, match="argument 'constraints': 'dict' object cannot be converted to 'SolverConstraints'"):
        solver.solve([], np.ones(6, F32)[::2], {})


def test_solve_first_failing_element_wins(solver):
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyDict'$"):
        solver.solve([{"embedding": [1.0]}, 3, {}], Q)


def test_solve_ignores_missing_hook_of_dict_subclass(solver):
    class Defaulting(dict):
        def __missing__(self, key):
            return [1.0, 2.0, 3.0]

        def __getitem__(self, key):
            return [1.0, 2.0, 3.0]

    with pytest.raises(ValueError, match="^Missing embedding$"):
        solver.solve([Defaulting()], Q)


def test_embedding_items_may_change_their_list_while_read(solver):
    # A hostile __float__ empties or refills the embedding list it belongs to;
    # the values are read as they were when reading started.
    class Meddler:
        def __init__(self, action):
            self.action = action

        def __float__(self):
            self.action()
            return 2.0

    for change in (list.clear, lambda lst: lst.extend([9.0] * 10_000), lambda lst: lst.__setitem__(slice(None), [7.0])):
        embedding = [1.0]
        embedding += [Meddler(lambda: change(embedding)), 3.0, 4.0]
        chunks = [{"embedding": embedding, "chunk_id": "a"}, {"embedding": [1.0, 2.0, 3.0, 4.0], "chunk_id": "b"}]
        got = solver.solve(chunks, np.ones(4, F32)).to_dict()
        want = solver.solve([{"embedding": [1.0, 2.0, 3.0, 4.0]}] * 2, np.ones(4, F32)).to_dict()
        assert {**got, "solve_time_ms": 0} == {**want, "solve_time_ms": 0}


def test_solve_empty_list(solver):
    out = solver.solve([], Q)
    assert out.num_selected == 0 and out.selected_indices == [] and out.constraints_satisfied
    assert out.solve_time_ms >= 0.0


@pytest.mark.parametrize("missing", [0, 1])
def test_solve_binding(solver, missing):
    args = [[], Q][:missing]
    with pytest.raises(TypeError):
        solver.solve(*args)
    with pytest.raises(TypeError):
        solver.solve([], Q, None, None)
    with pytest.raises(TypeError):
        solver.solve([], Q, unknown=1)


# ---- solve_numpy / solve_precomputed_numpy ----------------------------------------------------

NUMPY_KIND_CASES = [
    ("embeddings", np.ones((4, 3))), ("embeddings", np.ones(12, F32)),
    ("query_embedding", np.ones(3, np.float64)), ("query_embedding", [1.0, 1.0, 1.0]),
    ("token_costs", np.ones(4, np.int64)), ("token_costs", np.ones(4, np.uint32)),
    ("density_scores", np.ones(4, np.float16)), ("roles", np.zeros(4, np.int8)),
    ("cluster_ids", np.zeros(4, np.uint64)), ("cluster_ids", np.zeros(4, np.int32)),
    ("recency_scores", np.ones(4, ">f4")),
]


@pytest.mark.parametrize("name, value", NUMPY_KIND_CASES)
def test_solve_numpy_kinds(solver, name, value):
    args = numpy_args() | {name: value}
    with pytest.raises(TypeError) as info:
        solver.solve_numpy(**args)
    assert str(info.value) == (f"argument '{name}': '{type(value).__name__}' object cannot be converted "
                               "to 'PyArray<T, D>'")


@pytest.mark.parametrize("name, value", [(n, v) for n, v in NUMPY_KIND_CASES if n != "query_embedding"]
                         + [("relevance_scores", np.ones(4)), ("similarity_matrix", np.ones(16, F32)),
                            ("fulfilment_scores", np.ones(4, np.float64)), ("coverage_matrix", np.ones((2, 4))),
                            ("query_token_weights", np.ones(2, np.int64)), ("query_embedding", np.ones(3))])
def test_solve_precomputed_kinds(solver, name, value):
    with pytest.raises(TypeError) as info:
        solver.solve_precomputed_numpy(**precomputed_args(**{name: value}))
    assert str(info.value).startswith(f"argument '{name}': ")


def test_extraction_in_parameter_order(solver):
    # A wrong kind later in the list loses to an earlier one; contiguity comes only after every kind.
    args = precomputed_args(token_costs=np.ones(4, np.int64), relevance_scores=np.ones(4))
    with pytest.raises(TypeError, match="argument 'token_costs'"):
        solver.solve_precomputed_numpy(**args)
    args = precomputed_args(density_scores=np.ones(8, F32)[::2], relevance_scores=np.ones(4))
    with pytest.raises(TypeError, match="argument 'relevance_scores'"):
        solver.solve_precomputed_numpy(**args)
    args = precomputed_args(density_scores=np.ones(8, F32)[::2])
    with pytest.raises(TypeError, match="argument 'constraints'"):
        solver.solve_precomputed_numpy(**args, constraints="tight")


@pytest.mark.parametrize("name", ["embeddings", "token_costs", "density_scores", "roles", "cluster_ids",
                                  "relevance_scores"])
def test_precomputed_contiguity(solver, name):
    value = precomputed_args()[name]
    strided = np.repeat(value, 2, axis=-1)[..., ::2] if value.ndim == 1 else np.repeat(value, 2, axis=1)[:, ::2]
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        solver.solve_precomputed_numpy(**precomputed_args(**{name: strided}))


N = 4
PRECOMPUTED_VALIDATION = [
    ({"relevance_scores": np.ones(3, F32)}, ValueError, "relevance_scores length must match number of candidates"),
    ({"similarity_matrix": np.ones((N, N + 1), F32)}, ValueError,
     "similarity_matrix must have shape (num_candidates, num_candidates)"),
    ({"fulfilment_scores": np.ones(2 * N, F32)[::2]}, TypeError, "The given array is not contiguous"),
    ({"fulfilment_scores": np.ones(N + 1, F32)}, ValueError,
     "fulfilment_scores length must match number of candidates"),
    ({"coverage_matrix": np.ones((2, N + 1), F32)}, ValueError,
     "coverage_matrix must have shape (num_query_tokens, num_candidates)"),
    ({"coverage_matrix": np.ones((0, N), F32), "query_token_weights": np.ones(1, F32)}, ValueError,
     "query_token_weights must match coverage_matrix rows"),
    ({"coverage_matrix": np.ones((2, N), F32), "query_token_weights": np.ones(4, F32)[::2]}, TypeError,
     "The given array is not contiguous"),
    ({"query_token_weights": np.ones(2, F32)}, ValueError, "query_token_weights requires coverage_matrix"),
    ({"query_embedding": np.ones(6, F32)[::2]}, TypeError, "The given array is not contiguous"),
    ({"query_embedding": np.ones(4, F32)}, ValueError, "query_embedding length must match embedding dimension"),
    # Sizes not otherwise tied to n are refused up front instead of being read past their end.
    ({"density_scores": np.ones(3, F32)}, ValueError, "density_scores has 3 elements, fewer than the 4 candidates"),
    ({"roles": np.zeros(1, np.uint8)}, ValueError, "roles has 1 elements, fewer than the 4 candidates"),
    ({"cluster_ids": np.zeros(0, np.int64)}, ValueError, "cluster_ids has 0 elements, fewer than the 4 candidates"),
    # Ordering: the similarity shape is checked before the fulfilment length, coverage before weights.
    ({"similarity_matrix": np.ones((1, 1), F32), "fulfilment_scores": np.ones(1, F32)}, ValueError,
     "similarity_matrix must have shape (num_candidates, num_candidates)"),
    ({"relevance_scores": np.ones(1, F32), "query_token_weights": np.ones(1, F32)}, ValueError,
     "relevance_scores length must match number of candidates"),
]


@pytest.mark.parametrize("extra, error, message", PRECOMPUTED_VALIDATION)
def test_precomputed_validation(solver, extra, error, message):
    with pytest.raises(error) as info:
        solver.solve_precomputed_numpy(**precomputed_args(N, 3, **extra))
    assert type(info.value) is error and str(info.value) == message


@pytest.mark.parametrize("method", ["solve_numpy", "solve_precomputed_numpy"])
def test_embeddings_without_values_refused_when_similarity_must_be_derived(solver, method):
    args = numpy_args() if method == "solve_numpy" else precomputed_args()
    args["embeddings"] = np.zeros((0, 3), F32)
    with pytest.raises(ValueError, match="^embeddings must hold at least one value per candidate"):
        getattr(solver, method)(**args)


def test_given_similarity_needs_no_embedding_values(solver):
    args = precomputed_args(similarity_matrix=np.eye(4, dtype=F32)) | {"embeddings": np.zeros((0, 3), F32)}
    assert solver.solve_precomputed_numpy(**args).num_selected > 0


def test_numpy_short_candidate_array_refused(solver):
    with pytest.raises(ValueError, match="^auxiliary_scores has 2 elements, fewer than the 4 candidates$"):
        solver.solve_numpy(**numpy_args() | {"auxiliary_scores": np.ones(2, F32)})


@pytest.mark.parametrize("method", ["solve_numpy", "solve_precomputed_numpy"])
@pytest.mark.parametrize("name", ["density_scores", "centrality_scores", "recency_scores", "auxiliary_scores",
                                  "roles", "cluster_ids"])
def test_longer_candidate_array_ignores_its_extra_entries(solver, method, name):
    # Entries past the n-th belong to no candidate: the result is the one of
    # the exact-length array, never an internal fault.
    args = numpy_args() if method == "solve_numpy" else precomputed_args()
    longer = np.concatenate([args[name], np.full(3, 200, args[name].dtype)])
    want = getattr(solver, method)(**args)
    got = getattr(solver, method)(**args | {name: longer})
    assert got.selected_indices == want.selected_indices and got.objective_score == want.objective_score


def unaligned(a):
    """A copy of `a` whose data starts one byte past an aligned address."""
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned or a.itemsize == 1
    return out


@pytest.mark.parametrize("method", ["solve_numpy", "solve_precomputed_numpy"])
def test_unaligned_arrays_give_the_aligned_result(solver, method):
    # Every array argument unaligned at once; the bytes are read as they are.
    args = numpy_args(9, 5) if method == "solve_numpy" else precomputed_args(
        9, 5, fulfilment_scores=np.linspace(0, 1, 9, dtype=F32), coverage_matrix=np.full((2, 9), 0.7, F32),
        query_token_weights=np.ones(2, F32))
    want = getattr(solver, method)(**args)
    got = getattr(solver, method)(**{k: unaligned(v) for k, v in args.items()})
    assert got.to_dict() | {"solve_time_ms": 0} == want.to_dict() | {"solve_time_ms": 0}


@pytest.mark.parametrize("method", ["solve_numpy", "solve_precomputed_numpy"])
def test_embedding_rows_follow_the_token_costs(solver, method):
    # n comes from token_costs alone; embeddings is one run of values cut into
    # n rows of size // n values (a documented behaviour: rows may be passed
    # flattened), values past the last whole row ignored.
    args = numpy_args(6, 2) if method == "solve_numpy" else precomputed_args(6, 2)
    want = getattr(solver, method)(**args)
    values = args["embeddings"].reshape(-1)
    for shaped in (values.reshape(4, 3), values.reshape(1, 12), np.append(values, F32(9.0)).reshape(1, 13)):
        got = getattr(solver, method)(**args | {"embeddings": shaped})
        assert got.to_dict() | {"solve_time_ms": 0} == want.to_dict() | {"solve_time_ms": 0}


def test_precomputed_empty_problem(solver):
    out = solver.solve_precomputed_numpy(**empty_precomputed(query_embedding=np.ones(7, F32)))
    assert out.num_selected == 0 and out.constraints_satisfied
    out = solver.solve_numpy(**numpy_args(0, 0) | {"embeddings": np.zeros((0, 5), F32)})
    assert out.selected_indices == []


def test_refused_calls_do_not_leak(solver, rss):
    good = precomputed_args()
    bad_calls = [
        lambda: solver.solve_precomputed_numpy(**good | {"relevance_scores": np.ones(3, F32)}),
        lambda: solver.solve_precomputed_numpy(**good | {"token_costs": np.ones(4, np.int64)}),
        lambda: solver.solve_numpy(**numpy_args() | {"density_scores": np.ones(1, F32)}),
        lambda: solver.solve([{"embedding": [1.0, 2.0], "chunk_id": "a"}, {"embedding": "x"}], Q),
        lambda: solver.solve([{"embedding": [1.0]}], Q, constraints=5),
    ]

    def churn(count):
        for _ in range(count):
            for call in bad_calls:
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    churn(5_000)
    before = rss()
    churn(20_000)
    assert rss() - before < 4 * 1024 * 1024


def test_solver_output_text_form_and_dict(solver):
    out = solver.solve([], Q)
    d = out.to_dict()
    assert list(d)[0] == "selected_indices" and list(d)[-1] == "exact_window_fixed_out" and len(d) == 23
    assert d["selected_indices"] == [] and d["constraint_violations"] == []
    assert repr(out) == f"SolverOutput(selected=0, score=0.0000, tokens=0, time={out.solve_time_ms:.2f}ms)"
    lst = out.selected_indices
    lst.append(3)
    assert out.selected_indices == []  # a fresh list on every read
    with pytest.raises(AttributeError):
        out.objective_score = 1.0


def test_concurrent_refusals_and_empty_solves(solver):
    errors = []

    def worker():
        try:
            for _ in range(200):
                assert solver.solve_precomputed_numpy(**empty_precomputed()).num_selected == 0
                with pytest.raises(ValueError):
                    solver.solve_precomputed_numpy(**precomputed_args(relevance_scores=np.ones(1, F32)))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
