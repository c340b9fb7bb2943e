"""torvane.solve: the module's solve, and more effort where the caller pays for it."""
from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from typing import Any, Optional

import torvane_solver as ts

from . import _native


def _time_limit(value: object) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"time_limit_ms must be a number or None, not {type(value).__name__}")
    limit = float(value)
    if math.isnan(limit) or limit < 0:
        raise ValueError(f"time_limit_ms must be at least 0, not {value!r}")
    return limit


def _whole(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    number = int(value)
    if not 0 <= number < 2**64:
        raise ValueError(f"{name} must be from 0 to 2**64 - 1, not {value!r}")
    return number


def solve(problem: Mapping[str, Any], config: Optional[ts.SolverConfig] = None,
          constraints: Optional[ts.SolverConstraints] = None, *, time_limit_ms: Optional[float] = None,
          rounds: Optional[int] = None, seed: int = 0) -> ts.SolverOutput:
    """Solves one problem: ``problem`` maps the keyword arguments of
    ``TabuSearchSolver.solve_numpy`` or, when it holds ``relevance_scores``, of
    ``solve_precomputed_numpy`` (without ``constraints``, which is its own argument).

    With neither ``time_limit_ms`` nor ``rounds`` this is exactly the module's result.
    With a limit, the module's selection is improved by rounds of perturbation and
    tabu walks until the time (in milliseconds, counted from the start of the call)
    or the number of rounds runs out, whichever comes first. The result is never
    worse than the module's, stays feasible when that was, and with ``rounds`` alone
    is the same to the bit on any number of threads; ``seed`` chooses the walks.
    The SolverOutput describes the returned selection as the module would; its search
    counters are those of the module's run, and ``solve_time_ms`` covers both.
    """
    if not isinstance(problem, Mapping):
        raise TypeError(f"problem must be a mapping of solve arguments, not {type(problem).__name__}")
    limit = _time_limit(time_limit_ms)
    round_count = None if rounds is None else _whole(rounds, "rounds")
    seed_value = _whole(seed, "seed")
    kwargs = dict(problem)
    if "constraints" in kwargs:
        raise TypeError("problem must not hold 'constraints'; pass them as the constraints argument")
    if constraints is not None:
        kwargs["constraints"] = constraints
    solver = ts.TabuSearchSolver(config)
    method = solver.solve_precomputed_numpy if "relevance_scores" in kwargs else solver.solve_numpy
    if limit is None and round_count is None:
        return method(**kwargs)
    return _native.solve_with_effort(method, kwargs, limit, round_count, seed_value)
