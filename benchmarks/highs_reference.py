"""Optimum or best known value of each realistic selection problem, from HiGHS.

Run with:  python benchmarks/highs_reference.py [--sizes 30 50 100 200] [--time-limit 120]
                                                [--out benchmarks/data/highs_realistic.json]

Needs the optional benchmark extra (`pip install .[bench]`, which brings `highspy`). HiGHS needs
minutes per instance at n >= 100, so quality.py reads the values kept in the data file and
recomputes them only on request (`quality.py --recompute-highs`).

The model: x binary, the pair term linearised with y_ij >= x_i + x_j - 1 where the pair weight
q_ij = lambda * s_ij is positive and y_ij <= x_i, x_j where it is negative, maximise
c'x - sum_{i<j} q_ij y_ij under the budget, the count limits, the cluster cap and the required
roles. The plain linearisation is weak (its LP bound is more than twice the optimum at n = 100),
so a valid convex lower bound on the pair term is added: on binaries
sum_{i<j} q_ij x_i x_j = (x'Mx - d * sum x) / 2 with M = offdiag(Q) + d I positive semidefinite
(d = -lambda_min(offdiag(Q))). With M = sum_k mu_k u_k u_k', each eigen-term mu_k (u_k'x)^2 is
bounded below by tangent planes z_k >= 2 t u_k'x - t^2 at a few points t, and one row links them
to the y variables: sum q_ij y_ij >= (sum_k mu_k z_k - d * sum x) / 2. Every point of the
original model stays feasible, so the optimum is the same.
"""
from __future__ import annotations

import argparse
import json
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from problems import realistic_problem  # noqa: E402

DATA = pathlib.Path(__file__).resolve().parent / "data" / "highs_realistic.json"
SIZES = (30, 50, 100, 200)
INSTANCES = 10
# The default SolverConfig's weights (no coverage, so mu carries nothing).
WEIGHTS = dict(alpha=1.0, beta=0.3, gamma=0.2, delta=0.1, epsilon=0.0, lambda_=0.5)


def instance_seed(n: int, k: int) -> int:
    return 7919 * n + k


def linear_gains(arrays: dict, w: dict) -> np.ndarray:
    """Per-candidate linear term of the objective, in double precision."""
    return (w["alpha"] * arrays["relevance_scores"].astype(np.float64)
            + w["beta"] * arrays["density_scores"].astype(np.float64)
            + w["gamma"] * arrays["centrality_scores"].astype(np.float64)
            + w["delta"] * arrays["recency_scores"].astype(np.float64)
            + w["epsilon"] * arrays["auxiliary_scores"].astype(np.float64))


def pair_weights(arrays: dict, w: dict) -> np.ndarray:
    q = w["lambda_"] * arrays["similarity_matrix"].astype(np.float64)
    np.fill_diagonal(q, 0.0)
    return q


def value_of(selection, gains: np.ndarray, pairs: np.ndarray) -> float:
    """c'x - sum_{i<j} q_ij x_i x_j of a list of indices, in double precision."""
    idx = np.asarray(sorted(selection), dtype=np.int64)
    if idx.size == 0:
        return 0.0
    return float(gains[idx].sum() - 0.5 * pairs[np.ix_(idx, idx)].sum())


def solve_highs(gains, pairs, costs, budget, *, clusters=None, cap=None, role_groups=(), min_chunks=1,
                max_chunks=None, time_limit=120.0, start=None, tangents=9):
    """Maximises gains'x - sum_{i<j} pairs_ij x_i x_j with HiGHS on one thread.

    Returns status, value (HiGHS's best, re-evaluated in double), dual bound, MIP gap, time
    and the selection.
    """
    import highspy
    from scipy import sparse

    n = len(gains)
    max_chunks = n if max_chunks is None else min(max_chunks, n)
    iu, ju = np.triu_indices(n, 1)
    qv = pairs[iu, ju]
    keep = qv != 0.0
    iu, ju, qv = iu[keep], ju[keep], qv[keep]
    m = len(qv)

    # The convex bound: eigen-terms of M = offdiag(Q) + d I.
    eig, vec = np.linalg.eigh(pairs)
    d = max(0.0, -float(eig[0]))
    mu = eig + d
    terms = [k for k in range(n) if mu[k] > 1e-9 * max(1.0, float(mu.max()))]
    # The largest count a selection can have: the cheapest candidates that fit the budget.
    order = np.sort(np.asarray(costs, dtype=np.float64))
    most = int(min(max_chunks, np.searchsorted(np.cumsum(order), budget, side="right")))
    most = max(most, 1)
    start_x = np.zeros(n)
    if start is not None:
        start_x[list(start)] = 1.0

    # Columns: x (n), y (m), z (len(terms)).
    nz = len(terms)
    ncol = n + m + nz
    cost = np.concatenate([gains, -qv, np.zeros(nz)])
    lower = np.zeros(ncol)
    upper = np.concatenate([np.ones(n + m), np.full(nz, np.inf)])
    rows, cols, vals, row_lo, row_hi = [], [], [], [], []

    def add_row(cidx, cval, lo, hi):
        r = len(row_lo)
        rows.extend([r] * len(cidx))
        cols.extend(cidx)
        vals.extend(cval)
        row_lo.append(lo)
        row_hi.append(hi)

    add_row(range(n), np.asarray(costs, dtype=np.float64), -np.inf, float(budget))
    add_row(range(n), np.ones(n), float(min_chunks), float(max_chunks))
    if clusters is not None and cap is not None:
        for c in np.unique(clusters):
            members = np.flatnonzero(clusters == c)
            if len(members) > cap:
                add_row(members, np.ones(len(members)), -np.inf, float(cap))
    for members in role_groups:
        add_row(members, np.ones(len(members)), 1.0, np.inf)
    for e in range(m):
        i, j, y = int(iu[e]), int(ju[e]), n + e
        if qv[e] > 0:  # y >= x_i + x_j - 1
            add_row([y, i, j], [1.0, -1.0, -1.0], -1.0, np.inf)
        else:  # y <= x_i, y <= x_j
            add_row([y, i], [1.0, -1.0], -np.inf, 0.0)
            add_row([y, j], [1.0, -1.0], -np.inf, 0.0)
    z_start = []
    for t_index, k in enumerate(terms):
        u = vec[:, k]
        lo = float(np.sort(u)[:most].clip(max=0).sum())
        hi = float(np.sort(u)[::-1][:most].clip(min=0).sum())
        points = set(np.linspace(lo, hi, tangents).tolist()) | {0.0, float(u @ start_x)}
        z_start.append(max(2 * t * float(u @ start_x) - t * t for t in points))
        for t in sorted(points):  # z_k - 2 t u'x >= -t^2
            add_row([n + m + t_index, *range(n)], [1.0, *(-2.0 * t * u)], -t * t, np.inf)
    # sum q y - (sum mu_k z_k)/2 + d/2 sum x >= 0
    add_row([*range(n, n + m), *range(n + m, ncol), *range(n)],
            [*qv, *(-0.5 * mu[terms]), *np.full(n, 0.5 * d)], 0.0, np.inf)

    a = sparse.csc_matrix((vals, (rows, cols)), shape=(len(row_lo), ncol))
    lp = highspy.HighsLp()
    lp.num_col_ = ncol
    lp.num_row_ = len(row_lo)
    lp.col_cost_ = cost
    lp.col_lower_ = lower
    lp.col_upper_ = upper
    lp.row_lower_ = np.asarray(row_lo)
    lp.row_upper_ = np.asarray(row_hi)
    lp.sense_ = highspy.ObjSense.kMaximize
    lp.a_matrix_.format_ = highspy.MatrixFormat.kColwise
    lp.a_matrix_.start_ = a.indptr
    lp.a_matrix_.index_ = a.indices
    lp.a_matrix_.value_ = a.data
    lp.a_matrix_.num_col_ = ncol
    lp.a_matrix_.num_row_ = len(row_lo)
    lp.integrality_ = [highspy.HighsVarType.kInteger] * n + [highspy.HighsVarType.kContinuous] * (m + nz)

    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    h.setOptionValue("threads", 1)
    h.setOptionValue("time_limit", float(time_limit))
    h.setOptionValue("mip_rel_gap", 1e-7)
    h.passModel(lp)
    if start is not None:
        sol = highspy.HighsSolution()
        y0 = np.where(qv > 0, np.maximum(start_x[iu] + start_x[ju] - 1, 0), np.minimum(start_x[iu], start_x[ju]))
        sol.col_value = list(np.concatenate([start_x, y0, z_start]))
        h.setSolution(sol)
    began = time.perf_counter()
    h.run()
    elapsed = time.perf_counter() - began
    info = h.getInfo()
    status = h.modelStatusToString(h.getModelStatus())
    x = np.asarray(h.getSolution().col_value[:n])
    selection = [int(i) for i in np.flatnonzero(x > 0.5)]
    return dict(status=status, value=value_of(selection, gains, pairs), highs_value=float(info.objective_function_value),
                bound=float(info.mip_dual_bound), mip_gap=float(info.mip_gap), seconds=elapsed, selection=selection)


def realistic_model(n: int, seed: int):
    arrays, c = realistic_problem(n, seed)
    gains = linear_gains(arrays, WEIGHTS)
    pairs = pair_weights(arrays, WEIGHTS)
    groups = [np.flatnonzero(arrays["roles"] == code) for code in c["role_codes"]]
    return arrays, c, gains, pairs, groups


def module_start(arrays, c):
    """The module's default selection, as HiGHS's first incumbent."""
    import torvane_solver as ts
    from problems import REALISTIC_ROLES
    constraints = ts.SolverConstraints(max_tokens=c["max_tokens"], max_chunks=c["max_chunks"],
                                       max_per_cluster=c["max_per_cluster"], must_include_roles=list(REALISTIC_ROLES))
    out = ts.TabuSearchSolver(ts.SolverConfig()).solve_precomputed_numpy(**arrays, constraints=constraints)
    return list(out.selected_indices)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES))
    parser.add_argument("--instances", type=int, default=INSTANCES)
    parser.add_argument("--time-limit", type=float, default=120.0)
    parser.add_argument("--out", type=pathlib.Path, default=DATA)
    args = parser.parse_args()
    records = json.loads(args.out.read_text()) if args.out.exists() else {}
    records.setdefault("instances", {})
    records["model"] = ("HiGHS " + __import__("highspy").Highs().version() + ", one thread, linearised with "
                        "the convex eigen bound, " + f"{args.time_limit:g} s limit")
    for n in args.sizes:
        for k in range(args.instances):
            seed = instance_seed(n, k)
            arrays, c, gains, pairs, groups = realistic_model(n, seed)
            start = module_start(arrays, c)
            result = solve_highs(gains, pairs, arrays["token_costs"], c["max_tokens"], clusters=arrays["cluster_ids"],
                                 cap=c["max_per_cluster"], role_groups=groups, max_chunks=c["max_chunks"],
                                 time_limit=args.time_limit, start=start)
            result.update(n=n, seed=seed, start_value=value_of(start, gains, pairs))
            records["instances"][f"{n}_{k}"] = result
            print(f"n={n:4d} k={k} {result['status']:<22} value {result['value']:.6f} start {result['start_value']:.6f} "
                  f"gap {100 * result['mip_gap']:.2f}% {result['seconds']:.1f} s", flush=True)
            args.out.write_text(json.dumps(records, indent=1))


if __name__ == "__main__":
    main()
