"""Many selection problems in one call, solved in parallel on Python threads.

A solve copies its inputs and releases the interpreter lock while it runs, so a few Python
threads keep every CPU busy. Each thread takes the next problem in input order; the results
come back in input order and are the same bits as solving the problems one after another.
"""
from __future__ import annotations

import copy
import itertools
import threading
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Optional, Union, cast

from torvane_solver import SolverConfig, SolverConstraints, SolverOutput, TabuSearchSolver

from torvane import _native
from torvane._solve import _time_limit, _whole

__all__ = ["solve_many"]

Problem = Mapping[str, Any]
ConstraintsArg = Union[SolverConstraints, Sequence[Optional[SolverConstraints]], None]


def _pool_size() -> int:
    """The size of the process-wide worker pool (starting it if it has not started)."""
    return int(_native.num_threads())


def make_solver(config: SolverConfig | None) -> TabuSearchSolver:
    """A solver as `TabuSearchSolver` builds it: no configuration stays no configuration."""
    return TabuSearchSolver() if config is None else TabuSearchSolver(config)


def _solve_one(solver: TabuSearchSolver, problem: Problem, constraints: SolverConstraints | None,
               effort: tuple[float | None, int | None, int] | None = None) -> SolverOutput:
    """Solves one problem exactly as the single call would.

    `problem` holds the keyword arguments of `solve_numpy`, or of `solve_precomputed_numpy`
    when it has `relevance_scores`. Every per-problem option goes through here. `effort`
    (time limit in ms, rounds, seed; at least one limit set) improves the module's
    selection as `torvane.solve` does.
    """
    if not isinstance(problem, Mapping):
        raise TypeError(f"a problem must be a mapping of keyword arguments, not {type(problem).__name__}")
    kwargs = dict(problem)
    if constraints is not None:
        if "constraints" in kwargs:
            raise TypeError("constraints given both in the problem and as the constraints argument")
        kwargs["constraints"] = constraints
    method = solver.solve_precomputed_numpy if "relevance_scores" in kwargs else solver.solve_numpy
    if effort is not None:
        return _native.solve_with_effort(method, kwargs, *effort)
    return method(**kwargs)


def _with_position(exc: Exception, index: int) -> Exception:
    """An exception of the same type whose message starts with "problem {index}: "."""
    message = f"problem {index}: {exc}"
    try:
        wrapped = type(exc)(message)
    except Exception:  # noqa: BLE001 - a type whose constructor wants more than a message
        wrapped = copy.copy(exc)
        wrapped.args = (message,)
    return wrapped


def _constraints_per_problem(constraints: ConstraintsArg, count: int) -> list[SolverConstraints | None]:
    if constraints is None or isinstance(constraints, SolverConstraints):
        return [constraints] * count
    if isinstance(constraints, (str, bytes)) or not isinstance(constraints, Sequence):
        raise TypeError("constraints must be a SolverConstraints, a sequence of them (one per problem) or None,"
                        f" not {type(constraints).__name__}")
    per_problem = list(constraints)
    if len(per_problem) != count:
        raise ValueError(f"constraints has {len(per_problem)} entries for {count} problems")
    for i, item in enumerate(per_problem):
        if item is not None and not isinstance(item, SolverConstraints):
            raise TypeError(f"constraints[{i}] must be a SolverConstraints or None, not {type(item).__name__}")
    return per_problem


def solve_many(
    problems: Iterable[Problem],
    config: SolverConfig | None = None,
    constraints: ConstraintsArg = None,
    *,
    threads: int | None = None,
    time_limit_ms: float | None = None,
    rounds: int | None = None,
    seed: int = 0,
) -> list[SolverOutput]:
    """Solves many selection problems at once; the outputs come back in input order.

    Each problem is a mapping of the keyword arguments of `TabuSearchSolver.solve_numpy`,
    or of `solve_precomputed_numpy` when it holds `relevance_scores`. `constraints` is one
    `SolverConstraints` for all problems or a sequence with one per problem (None: the
    defaults). `config=None` means what it means for `TabuSearchSolver`. `threads` is how
    many problems are solved at once (default: the size of the module's worker pool).

    The outputs are the same bits as solving each problem in turn. A bad problem raises
    the exception the single call raises, its message prefixed with "problem {i}: " (the
    original is its `__cause__`); when several are bad, the first in input order is raised.

    `time_limit_ms`, `rounds` and `seed` mean what they mean for `torvane.solve`, for each
    problem on its own: with a limit, each problem's selection is improved after its solve.
    """
    if isinstance(problems, (Mapping, str, bytes)) or not isinstance(problems, Iterable):
        raise TypeError(f"problems must be a sequence of mappings, not {type(problems).__name__}")
    if config is not None and not isinstance(config, SolverConfig):
        raise TypeError(f"config must be a SolverConfig or None, not {type(config).__name__}")
    if threads is None:
        threads = _pool_size()
    elif isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    elif threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    limit = _time_limit(time_limit_ms)
    round_count = None if rounds is None else _whole(rounds, "rounds")
    seed_value = _whole(seed, "seed")
    effort = None if limit is None and round_count is None else (limit, round_count, seed_value)
    items = list(problems)
    per_problem = _constraints_per_problem(constraints, len(items))
    solver = make_solver(config)
    results: list[SolverOutput | None] = [None] * len(items)
    failures: dict[int, Exception] = {}
    next_index = itertools.count()  # handing out indices in order keeps the first failure findable
    stop = threading.Event()

    def work() -> None:
        while not stop.is_set():
            i = next(next_index)
            if i >= len(items):
                return
            try:
                results[i] = _solve_one(solver, items[i], per_problem[i], effort)
            except Exception as exc:  # noqa: BLE001 - reported below, with its position
                failures[i] = exc
                stop.set()
            except BaseException:
                stop.set()  # an internal fault or an interrupt: let no further problem start
                raise

    workers = min(threads, len(items))
    errors: list[BaseException] = []

    def guarded() -> None:
        try:
            work()
        except BaseException as exc:  # noqa: BLE001 - re-raised on the calling thread
            errors.append(exc)

    pool = [threading.Thread(target=guarded, name=f"torvane-solve-many-{k}", daemon=True)
            for k in range(workers - 1)]
    for t in pool:
        t.start()
    try:
        guarded()  # the calling thread is one of the workers
    finally:
        if errors:
            stop.set()
        for t in pool:
            t.join()
    if errors:
        raise errors[0]
    if failures:
        first = min(failures)
        raise _with_position(failures[first], first) from failures[first]
    return cast("list[SolverOutput]", results)
