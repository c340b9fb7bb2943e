"""torvane.solve: the module's result without a limit, a better or equal one with a limit."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import torvane
import torvane_solver as ts
from torvane import _native

FIELDS = ("selected_indices", "objective_score", "relevance_total", "density_total", "centrality_total",
          "recency_total", "auxiliary_total", "fulfilment_total", "redundancy_penalty", "total_tokens",
          "num_selected", "constraints_satisfied", "constraint_violations", "iterations_run", "best_iteration",
          "exact_window_used", "exact_window_exhaustive", "exact_window_core_size", "exact_window_nodes")


def problem(n=60, seed=3, coverage=False, precomputed=True):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((6, 16))
    topic = rng.integers(6, size=n)
    emb = (centres[topic] + 0.7 * rng.standard_normal((n, 16))).astype(np.float32)
    unit = emb / np.linalg.norm(emb, axis=1, keepdims=True)
    arrays = dict(embeddings=emb, token_costs=rng.integers(50, 400, n).astype(np.uint64),
                  density_scores=rng.random(n).astype(np.float32), centrality_scores=rng.random(n).astype(np.float32),
                  recency_scores=rng.random(n).astype(np.float32), auxiliary_scores=np.zeros(n, np.float32),
                  roles=rng.integers(0, 8, n).astype(np.uint8), cluster_ids=topic.astype(np.int64))
    if precomputed:
        arrays["relevance_scores"] = rng.random(n).astype(np.float32)
        arrays["similarity_matrix"] = (unit @ unit.T).astype(np.float32)
        if coverage:
            arrays["coverage_matrix"] = (rng.random((4, n)) * 0.9).astype(np.float32)
    else:
        arrays["query_embedding"] = rng.standard_normal(16).astype(np.float32)
    return arrays


CONSTRAINTS = ts.SolverConstraints(max_tokens=1500, max_chunks=10, max_per_cluster=2,
                                   must_include_roles=["definition", "risk"])
# No time budget binds the exact window, so two solves of one problem match under any load.
CONFIG = ts.SolverConfig(lambda_=1.0, exact_window_time_ms=10**9)


def fields(out):
    return tuple(getattr(out, f) for f in FIELDS)


@pytest.mark.parametrize("precomputed", [True, False])
def test_without_limit_is_the_module_result(precomputed):
    arrays = problem(precomputed=precomputed)
    solver = ts.TabuSearchSolver(CONFIG)
    method = solver.solve_precomputed_numpy if precomputed else solver.solve_numpy
    assert fields(torvane.solve(arrays, CONFIG, CONSTRAINTS)) == fields(method(**arrays, constraints=CONSTRAINTS))


@pytest.mark.parametrize("coverage", [False, True])
@pytest.mark.parametrize("limit", [dict(rounds=3), dict(time_limit_ms=30), dict(rounds=2, time_limit_ms=1e9)])
def test_limit_never_worse_and_reports_its_selection(coverage, limit):
    arrays = problem(n=80, seed=11, coverage=coverage)
    plain = ts.TabuSearchSolver(CONFIG).solve_precomputed_numpy(**arrays, constraints=CONSTRAINTS)
    out = torvane.solve(arrays, CONFIG, CONSTRAINTS, **limit)
    assert type(out) is ts.SolverOutput
    assert out.constraints_satisfied and out.constraint_violations == []
    assert out.objective_score >= plain.objective_score
    assert (out.iterations_run, out.best_iteration, out.exact_window_nodes) == \
        (plain.iterations_run, plain.best_iteration, plain.exact_window_nodes)
    idx = list(out.selected_indices)
    assert out.num_selected == len(idx)
    assert out.total_tokens == int(arrays["token_costs"][idx].sum())
    # The module scores the same selection (forced by requiring exactly its chunks, whose NumPy ids
    # are "chunk_<i>") to the same bits.
    forced = ts.SolverConstraints(max_tokens=1500, max_chunks=len(idx), max_per_cluster=2,
                                  must_include_roles=["definition", "risk"],
                                  required_chunks=[f"chunk_{i}" for i in idx])
    again = ts.TabuSearchSolver(CONFIG).solve_precomputed_numpy(**arrays, constraints=forced)
    assert list(again.selected_indices) == idx
    assert again.objective_score == out.objective_score
    assert (again.fulfilment_total, again.redundancy_penalty, again.relevance_total) == \
        (out.fulfilment_total, out.redundancy_penalty, out.relevance_total)


def test_improves_where_the_module_stops_short():
    gains = 0
    for seed in range(4):
        arrays = problem(n=120, seed=100 + seed)
        plain = ts.TabuSearchSolver(CONFIG).solve_precomputed_numpy(**arrays, constraints=CONSTRAINTS)
        gains += torvane.solve(arrays, CONFIG, CONSTRAINTS, rounds=4, seed=seed).objective_score > \
            plain.objective_score
    assert gains >= 1


def test_rounds_are_reproducible_on_every_pool_size():
    code = """
    import sys, numpy as np, torvane, torvane_solver as ts
    sys.path.insert(0, %r)
    from test_torvane_solve import problem, CONFIG, CONSTRAINTS, FIELDS
    out = torvane.solve(problem(n=150, seed=5, coverage=True), CONFIG, CONSTRAINTS, rounds=3, seed=9)
    print([float(out.objective_score).hex(), list(out.selected_indices), float(out.redundancy_penalty).hex()])
    """ % os.path.dirname(__file__)
    outputs = set()
    for threads in (1, 2, 7):
        env = dict(os.environ, TORVANE_NUM_THREADS=str(threads))
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                                env=env)
        assert result.returncode == 0, result.stderr
        outputs.add(result.stdout.strip())
    assert len(outputs) == 1


def test_infeasible_problem_keeps_the_module_result():
    arrays = problem(n=20)
    impossible = ts.SolverConstraints(max_tokens=100, min_chunks=5)
    plain = ts.TabuSearchSolver(CONFIG).solve_precomputed_numpy(**arrays, constraints=impossible)
    out = torvane.solve(arrays, CONFIG, impossible, rounds=3)
    assert not out.constraints_satisfied
    assert fields(out) == fields(plain)


@pytest.mark.parametrize("kwargs, error", [
    (dict(rounds=True), TypeError), (dict(rounds=-1), ValueError), (dict(rounds=2**64), ValueError),
    (dict(rounds=1.5), TypeError), (dict(time_limit_ms=-1.0), ValueError),
    (dict(time_limit_ms=float("nan")), ValueError), (dict(time_limit_ms="5"), TypeError),
    (dict(time_limit_ms=False), TypeError), (dict(rounds=1, seed=-1), ValueError), (dict(rounds=1, seed=None), TypeError),
])
def test_bad_limits_are_refused(kwargs, error):
    with pytest.raises(error):
        torvane.solve(problem(n=10), CONFIG, CONSTRAINTS, **kwargs)


def test_bad_problems_are_refused_as_the_module_refuses_them():
    with pytest.raises(TypeError):
        torvane.solve([1, 2], CONFIG)
    with pytest.raises(TypeError, match="constraints"):
        torvane.solve(dict(problem(n=10), constraints=CONSTRAINTS), CONFIG, rounds=1)
    short = problem(n=10)
    short["relevance_scores"] = short["relevance_scores"][:5]
    with pytest.raises(ValueError, match="relevance_scores length"):
        torvane.solve(short, CONFIG, rounds=1)


def test_native_entry_checks_its_arguments():
    arrays = problem(n=10)
    method = ts.TabuSearchSolver().solve_precomputed_numpy
    with pytest.raises(TypeError, match="method"):
        _native.solve_with_effort(print, arrays, None, 1, 0)
    with pytest.raises(TypeError, match="method"):
        _native.solve_with_effort(ts.TabuSearchSolver().backend_kind, arrays, None, 1, 0)
    with pytest.raises(TypeError, match="kwargs"):
        _native.solve_with_effort(method, [], None, 1, 0)
    with pytest.raises(ValueError, match="time_limit_ms"):
        _native.solve_with_effort(method, arrays, -2.0, None, 0)
    with pytest.raises(TypeError, match="rounds"):
        _native.solve_with_effort(method, arrays, None, True, 0)
    # The limits end with the call: the next plain solve is the module's.
    out = _native.solve_with_effort(method, arrays, None, 2, 0)
    assert type(out) is ts.SolverOutput
    assert fields(method(**arrays)) == fields(ts.TabuSearchSolver().solve_precomputed_numpy(**arrays))


def test_solve_many_takes_the_same_limits_per_problem():
    problems = [problem(n=40, seed=s, precomputed=s % 2 == 0) for s in range(5)]
    many = torvane.solve_many(problems, CONFIG, CONSTRAINTS, threads=2, rounds=2, seed=9)
    one_by_one = [torvane.solve(p, CONFIG, CONSTRAINTS, rounds=2, seed=9) for p in problems]
    assert [fields(out) for out in many] == [fields(out) for out in one_by_one]
    plain = torvane.solve_many(problems, CONFIG, CONSTRAINTS)
    assert all(m.objective_score >= p.objective_score for m, p in zip(many, plain))
    with pytest.raises(ValueError):
        torvane.solve_many(problems, CONFIG, CONSTRAINTS, rounds=-1)
