"""torvane.solve_many: the same bits as solving each problem in turn, in input order, with
the failing problem named in the error."""
import struct
import threading
from collections.abc import Mapping

import numpy as np
import pytest

import torvane_solver as ts

import torvane

F32 = np.float32
# The exact window gets all the time it needs, so no result depends on load.
CONFIG = ts.SolverConfig(iterations=30, exact_window_time_ms=10**9)


def problem(seed, n=40, dim=8, precomputed=False):
    rng = np.random.default_rng(seed)
    p = dict(embeddings=rng.standard_normal((n, dim)).astype(F32),
             query_embedding=rng.standard_normal(dim).astype(F32),
             token_costs=rng.integers(50, 300, n).astype(np.uint64), density_scores=rng.random(n, dtype=F32),
             centrality_scores=rng.random(n, dtype=F32), recency_scores=rng.random(n, dtype=F32),
             auxiliary_scores=rng.random(n, dtype=F32), roles=rng.integers(0, 8, n).astype(np.uint8),
             cluster_ids=rng.integers(-1, 6, n).astype(np.int64))
    if precomputed:
        del p["query_embedding"]
        p["relevance_scores"] = rng.random(n, dtype=F32)
        p["coverage_matrix"] = rng.random((3, n), dtype=F32)
    return p


def bits(out):
    return {k: (struct.pack("<d", v) if isinstance(v, float) else v)
            for k, v in out.to_dict().items() if k != "solve_time_ms"}


PROBLEMS = [problem(seed, precomputed=seed % 3 == 2) for seed in range(12)]
PER_PROBLEM = [ts.SolverConstraints(max_tokens=600 + 100 * i, max_per_cluster=1 + i % 3,
                                    must_include_roles=["risk"] if i % 2 else None,
                                    required_chunks=[f"chunk_{i}"]) for i in range(12)]


def in_turn(config, constraints):
    solver = ts.TabuSearchSolver(config)
    out = []
    for p, c in zip(PROBLEMS, constraints):
        method = solver.solve_precomputed_numpy if "relevance_scores" in p else solver.solve_numpy
        out.append(bits(method(**p, constraints=c)))
    return out


@pytest.mark.parametrize("threads", [None, 1, 2, 7])
def test_same_bits_as_in_turn_in_input_order(threads):
    expected = in_turn(CONFIG, PER_PROBLEM)
    assert len({str(e["selected_indices"]) for e in expected}) > 6  # the problems really differ
    got = torvane.solve_many(PROBLEMS, CONFIG, PER_PROBLEM, threads=threads)
    assert [bits(o) for o in got] == expected
    shared = ts.SolverConstraints(max_tokens=900)
    got = torvane.solve_many(tuple(PROBLEMS), CONFIG, shared, threads=threads)
    assert [bits(o) for o in got] == in_turn(CONFIG, [shared] * len(PROBLEMS))


def test_no_config_means_what_it_means_for_the_solver():
    small = [problem(seed, n=12) for seed in range(4)]  # the exact window covers them at once
    plain = [bits(ts.TabuSearchSolver().solve_numpy(**p)) for p in small]
    got = torvane.solve_many(small, threads=2)
    assert [bits(o) for o in got] == plain
    assert all(o.density_total == 0.0 for o in got)  # no configuration: density, centrality, recency unweighted
    assert any(o.density_total != 0.0 for o in torvane.solve_many(small, ts.SolverConfig()))
    assert torvane.solve_many([]) == []


class Recording(Mapping):
    """A problem that notes the thread reading it; the first two wait for each other."""

    def __init__(self, arrays, seen, barrier=None):
        self.arrays, self.seen, self.barrier = arrays, seen, barrier

    def __getitem__(self, key):
        return self.arrays[key]

    def __iter__(self):
        self.seen.add(threading.get_ident())
        if self.barrier is not None:
            self.barrier.wait()  # breaks (and fails the call) unless a second thread comes
        return iter(self.arrays)

    def __len__(self):
        return len(self.arrays)


def test_problems_are_solved_at_once_on_several_threads():
    seen = set()
    barrier = threading.Barrier(2, timeout=30)
    problems = [Recording(p, seen, barrier if i < 2 else None) for i, p in enumerate(PROBLEMS)]
    got = torvane.solve_many(problems, CONFIG, threads=3)
    assert len(seen) >= 2
    assert [bits(o) for o in got] == in_turn(CONFIG, [None] * len(PROBLEMS))
    seen.clear()
    torvane.solve_many([Recording(p, seen) for p in PROBLEMS], CONFIG, threads=1)
    assert seen == {threading.get_ident()}


def single_call_error(p):
    solver = ts.TabuSearchSolver(CONFIG)
    method = solver.solve_precomputed_numpy if "relevance_scores" in p else solver.solve_numpy
    with pytest.raises(Exception) as info:
        method(**p)
    return info.value


@pytest.mark.parametrize("change", ["dtype", "length", "keyword", "not_a_mapping"])
@pytest.mark.parametrize("threads", [1, 2, 5])
def test_a_bad_problem_is_named_with_the_single_calls_exception(change, threads):
    problems = [dict(p) for p in PROBLEMS]
    for k in (5, 9):  # two bad problems: the first in input order is reported
        if change == "dtype":
            problems[k]["roles"] = problems[k]["roles"].astype(np.int64)
        elif change == "length":
            problems[k]["density_scores"] = problems[k]["density_scores"][:-1]
        elif change == "keyword":
            problems[k]["budget"] = 5
        else:
            problems[k] = list(problems[k].values())
    if change == "not_a_mapping":
        expected_type, expected_text = TypeError, "must be a mapping"
    else:
        original = single_call_error(problems[5])
        expected_type, expected_text = type(original), str(original)
    for _ in range(3):
        with pytest.raises(expected_type) as info:
            torvane.solve_many(problems, CONFIG, threads=threads)
        assert type(info.value) is expected_type
        assert str(info.value).startswith("problem 5: ")
        assert expected_text in str(info.value)
        assert type(info.value.__cause__) is expected_type


def test_arguments_are_checked():
    with pytest.raises(ValueError, match="3 entries for 12 problems"):
        torvane.solve_many(PROBLEMS, CONFIG, PER_PROBLEM[:3])
    with pytest.raises(TypeError, match=r"constraints\[1\]"):
        torvane.solve_many(PROBLEMS[:2], CONFIG, [PER_PROBLEM[0], "max_tokens=5"])
    with pytest.raises(TypeError, match="problem 0: .*constraints"):
        torvane.solve_many([dict(PROBLEMS[0], constraints=PER_PROBLEM[0])], CONFIG, PER_PROBLEM[0])
    with pytest.raises(TypeError):
        torvane.solve_many(PROBLEMS[0], CONFIG)  # one problem, not a sequence of them
    with pytest.raises(TypeError):
        torvane.solve_many(PROBLEMS, {"alpha": 1.0})
    with pytest.raises(ValueError):
        torvane.solve_many(PROBLEMS, CONFIG, threads=0)
    with pytest.raises(TypeError):
        torvane.solve_many(PROBLEMS, CONFIG, threads=2.0)
    with pytest.raises(TypeError):
        torvane.solve_many("problems", CONFIG)
    # Any iterable of problems will do.
    assert [bits(o) for o in torvane.solve_many(iter(PROBLEMS), CONFIG)] == in_turn(CONFIG, [None] * len(PROBLEMS))
    # A constraints key in the problem itself is the single call's keyword.
    one = torvane.solve_many([dict(PROBLEMS[0], constraints=PER_PROBLEM[0])], CONFIG)
    assert bits(one[0]) == in_turn(CONFIG, PER_PROBLEM)[0]
