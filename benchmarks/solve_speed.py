#!/usr/bin/env python3
"""Times a whole default solve against the NumPy work it has to compete with.

For each size n the script builds a reproducible, realistic problem
(clustered embeddings of dimension 384, token counts 50-400, a few roles
and clusters, some chunks without a cluster, default constraints and
default configuration) and measures, side by side in one run:

* ``solve_numpy``: the whole solve, similarity matrix derived by the solver;
* ``solve_precomputed_numpy`` with the similarity matrix given: the search
  alone (starts, tabu search, exact window), as the caller sees it, which
  includes taking in the n x n matrix (a copy and a symmetry check);
* the search's own time: the solver's clock (``solve_time_ms``) of those
  calls, which starts after the matrix has been copied in;
* NumPy's ``U @ U.T`` on the same normalised rows (float32), the floor of
  any method that looks at all pairs;
* a plain NumPy MMR selection of 50 chunks (lambda = 0.5) that computes the
  similarities to each chosen chunk as it goes: the everyday alternative.

It prints the medians, the ratios, the growth exponents of the search time
(fitted over all sizes, and between 1000 and 5000 when both are measured), the peak memory a solve adds on top of its
inputs, the throughput of ``solve_numpy`` called from two Python
threads at once on one solver against one thread, and the throughput of
``torvane.solve_many`` on a batch of problems against a plain loop of
``solve_numpy`` calls over the same batch (the target: 200 problems of
n = 500 at 1.8 times the loop's throughput or more on 2 cores).

Usage:
    PYTHONPATH=build/<dir> python3 benchmarks/solve_speed.py [--sizes 1000,3000,5000]
        [--min-time 2.0] [--max-reps 50] [--threads-n 1000] [--threads-solves 20] [--threads-rounds 5]
        [--many-problems 200] [--many-n 500] [--many-rounds 5] [--many-only]

The numbers are medians of repeated runs; on a machine shared with other
work they move by several percent from run to run.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from machine import machine_report, unpin_blas

unpin_blas()  # before NumPy loads OpenBLAS

import numpy as np  # noqa: E402

import torvane_solver as ts

try:
    import torvane
except ImportError:  # the module alone: the batch part is skipped
    torvane = None

DIM = 384
ROLES = 5       # role codes 0..4
TOPICS = 24     # clusters of the embeddings; the cluster ids follow them


def make_problem(n: int, seed: int) -> dict:
    """Arguments of solve_numpy for a reproducible clustered problem."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, DIM)).astype(np.float32)
    topic = rng.integers(0, TOPICS, size=n)
    embeddings = centres[topic] + 0.8 * rng.standard_normal((n, DIM)).astype(np.float32)
    query = (centres[0] + centres[1] + 0.5 * rng.standard_normal(DIM)).astype(np.float32)
    cluster_ids = topic.astype(np.int64)
    cluster_ids[rng.random(n) < 0.2] = -1  # a fifth of the chunks have no cluster
    return {
        "embeddings": np.ascontiguousarray(embeddings, dtype=np.float32),
        "query_embedding": query,
        "token_costs": rng.integers(50, 401, size=n).astype(np.uint64),
        "density_scores": rng.random(n).astype(np.float32),
        "centrality_scores": rng.random(n).astype(np.float32),
        "recency_scores": rng.random(n).astype(np.float32),
        "auxiliary_scores": rng.random(n).astype(np.float32),
        "roles": rng.integers(0, ROLES, size=n).astype(np.uint8),
        "cluster_ids": cluster_ids,
    }


def normalised(x: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return (x / np.where(norms > 0, norms, 1)).astype(np.float32)


def precomputed_arguments(args: dict, similarity: np.ndarray) -> dict:
    u = normalised(args["embeddings"])
    q = args["query_embedding"] / np.linalg.norm(args["query_embedding"])
    out = {k: v for k, v in args.items() if k != "query_embedding"}
    out["relevance_scores"] = (u @ q).astype(np.float32)
    out["similarity_matrix"] = similarity
    return out


def mmr(u: np.ndarray, q: np.ndarray, k: int = 50, lam: float = 0.5) -> list[int]:
    """Plain maximal marginal relevance over normalised rows."""
    relevance = u @ q
    max_sim = np.full(u.shape[0], -np.inf, dtype=np.float32)
    chosen: list[int] = []
    available = np.ones(u.shape[0], dtype=bool)
    for _ in range(min(k, u.shape[0])):
        penalty = np.where(np.isfinite(max_sim), max_sim, 0.0)
        score = lam * relevance - (1.0 - lam) * penalty
        score[~available] = -np.inf
        pick = int(np.argmax(score))
        chosen.append(pick)
        available[pick] = False
        np.maximum(max_sim, u @ u[pick], out=max_sim)
    return chosen


def fitted_exponent(sizes: list[int], times: list[float]) -> float:
    """The slope of the least-squares line through (log n, log time)."""
    xs = [math.log(n) for n in sizes]
    ys = [math.log(t) for t in times]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def timed(fn, min_time: float, max_reps: int, min_reps: int = 3) -> list[float]:
    fn()  # warm-up
    times = []
    start = time.perf_counter()
    while len(times) < min_reps or (len(times) < max_reps and time.perf_counter() - start < min_time):
        t0 = time.perf_counter()
        fn()
        times.append((time.perf_counter() - t0) * 1e3)
    return times


def peak_added_mib(n: int, kind: str, seed: int) -> float | None:
    """Peak resident memory one solve adds, measured in a fresh process.

    The child builds the problem, then resets its peak (VmHWM) to its
    current size and runs one solve; a fresh process keeps memory freed by
    earlier solves from hiding the peak."""
    proc = subprocess.run([sys.executable, __file__, "--memory-child", f"{n},{kind},{seed}"],
                          capture_output=True, text=True)
    try:
        return float(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return None


def memory_child(request: str) -> None:
    n_text, kind, seed = request.split(",")
    n = int(n_text)
    problem = make_problem(n, int(seed))
    solver = ts.TabuSearchSolver(ts.SolverConfig())
    if kind == "pre":
        u = normalised(problem["embeddings"])
        pre = precomputed_arguments(problem, np.ascontiguousarray(u @ u.T, dtype=np.float32))
        del u
        run = lambda: solver.solve_precomputed_numpy(**pre)
    else:
        run = lambda: solver.solve_numpy(**problem)
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # resets the peak (VmHWM) to the current size
    before = _status_kib("VmRSS")
    run()
    print((_status_kib("VmHWM") - before) / 1024.0)


def _status_kib(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise OSError(key)


def throughput(solver, args: dict, solves: int, threads: int) -> float:
    """Solves per second with `threads` Python threads each running `solves` solves."""
    barrier = threading.Barrier(threads + 1)

    def work():
        barrier.wait()
        for _ in range(solves):
            solver.solve_numpy(**args)

    pool = [threading.Thread(target=work) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return threads * solves / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000,3000,5000")
    parser.add_argument("--min-time", type=float, default=2.0, help="seconds of timed runs per measurement")
    parser.add_argument("--max-reps", type=int, default=50)
    parser.add_argument("--threads-n", type=int, default=1000, help="problem size of the two-thread run")
    parser.add_argument("--threads-solves", type=int, default=20, help="solves per thread in the two-thread run")
    parser.add_argument("--threads-rounds", type=int, default=5, help="alternating rounds of the two-thread run")
    parser.add_argument("--seed", type=int, default=20250101)
    parser.add_argument("--many-problems", type=int, default=200, help="problems in the solve_many batch")
    parser.add_argument("--many-n", type=int, default=500, help="candidates per problem of the solve_many batch")
    parser.add_argument("--many-rounds", type=int, default=5, help="alternating rounds of loop and solve_many")
    parser.add_argument("--many-only", action="store_true", help="measure only solve_many against a loop")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    sizes = [int(s) for s in args.sizes.split(",")]

    print(machine_report())
    print(f"torvane_solver {ts.version()} from {Path(ts.__file__).parent}")
    print(f"problems: dim={DIM}, {TOPICS} topics/clusters (20% unclustered), {ROLES} roles, tokens 50-400,"
          f" default SolverConfig and constraints; times are medians over >= {args.min_time:.1f} s"
          f" (3 to {args.max_reps} runs)")
    if args.many_only:
        batch_throughput(args)
        return
    solver = ts.TabuSearchSolver(ts.SolverConfig())

    rows = []
    for n in sizes:
        problem = make_problem(n, args.seed + n)
        u = normalised(problem["embeddings"])
        q = problem["query_embedding"] / np.linalg.norm(problem["query_embedding"])
        similarity = np.ascontiguousarray(u @ u.T, dtype=np.float32)
        pre = precomputed_arguments(problem, similarity)

        whole = timed(lambda: solver.solve_numpy(**problem), args.min_time, args.max_reps)
        own: list[float] = []
        search = timed(lambda: own.append(solver.solve_precomputed_numpy(**pre).solve_time_ms), args.min_time,
                       args.max_reps)
        own = own[1:]  # without the warm-up
        matmul = timed(lambda: u @ u.T, args.min_time, max(args.max_reps, 20))
        mmr_t = timed(lambda: mmr(u, q), args.min_time, max(args.max_reps, 20))
        out = solver.solve_numpy(**problem)
        mem_whole = peak_added_mib(n, "numpy", args.seed + n)
        mem_search = peak_added_mib(n, "pre", args.seed + n)
        rows.append((n, statistics.median(whole), statistics.median(search), statistics.median(matmul),
                     statistics.median(mmr_t), len(whole), len(search), statistics.median(own), mem_whole, mem_search,
                     out))

    print()
    print(f"{'n':>6} {'solve_numpy':>12} {'search only':>12} {'search own':>11} {'U @ U.T':>9} {'MMR(50)':>9}"
          f" {'solve/matmul':>13} {'search/matmul':>14} {'own/matmul':>11} {'solve/MMR':>10}   (ms; runs)")
    for n, w, s, m, r, nw, ns, o, *_ in rows:
        print(f"{n:>6} {w:>12.2f} {s:>12.2f} {o:>11.2f} {m:>9.2f} {r:>9.2f} {w / m:>13.2f} {s / m:>14.2f}"
              f" {o / m:>11.2f} {w / r:>10.2f}   ({nw}; {ns})")
    print("(search only: solve_precomputed_numpy as called, matrix intake included; search own: its solve_time_ms)")
    print()
    print("solve details (solve_numpy): n, selected, tokens, iterations_run, best_iteration, window nodes,"
          " window exhaustive, objective")
    for n, *_, out in rows:
        print(f"  {n:>6} {out.num_selected:>4} {out.total_tokens:>6} {out.iterations_run:>4} {out.best_iteration:>4}"
              f" {out.exact_window_nodes:>7} {str(out.exact_window_exhaustive):>5} {out.objective_score:.6f}")
    if len(rows) >= 2:
        print()
        for label, column in (("search own", 7), ("search only", 2)):
            print(f"growth of the {label} time: fitted over n={', '.join(str(r[0]) for r in rows)}:"
                  f" n^{fitted_exponent([r[0] for r in rows], [r[column] for r in rows]):.2f}", end="")
            by_n = {r[0]: r[column] for r in rows}
            if 1000 in by_n and 5000 in by_n:
                print(f"; from n=1000 to n=5000: n^{math.log(by_n[5000] / by_n[1000]) / math.log(5):.2f}", end="")
            print()
    print("\npeak memory added by one solve (MiB above the size of a fresh process holding the inputs; the"
          " n x n float32 matrix alone is n*n*4 bytes):")
    for n, *_, mem_whole, mem_search, _out in rows:
        floor = n * n * 4 / 2**20
        fmt = lambda v: "n/a" if v is None else f"{v:.1f}"
        print(f"  n={n:>6}: solve_numpy {fmt(mem_whole):>7}, solve_precomputed_numpy {fmt(mem_search):>7}"
              f"   (matrix {floor:.1f})")

    # Rounds alternate between one and two threads, so that a change in the
    # load of the machine hits both alike; the medians are reported.
    tn = args.threads_n
    problem = make_problem(tn, args.seed + tn)
    solver.solve_numpy(**problem)
    ones, twos = [], []
    for _ in range(args.threads_rounds):
        ones.append(throughput(solver, problem, args.threads_solves, 1))
        twos.append(throughput(solver, problem, args.threads_solves, 2))
    one, two = statistics.median(ones), statistics.median(twos)
    print(f"\ntwo Python threads solving at once (n={tn}, {args.threads_solves} solves per thread, median of"
          f" {args.threads_rounds} alternating rounds): 1 thread {one:.1f} solves/s, 2 threads {two:.1f} solves/s,"
          f" ratio {two / one:.2f}")
    batch_throughput(args)


def batch_throughput(args: argparse.Namespace) -> None:
    """torvane.solve_many on a batch against a plain loop of solve_numpy over it.

    Rounds alternate between the two, so that a change in the load of the machine hits both
    alike; medians are reported. The outputs are checked to be the same bits."""
    if torvane is None:
        print("\nsolve_many: the torvane package is not importable; skipped")
        return
    # The exact window's time budget is made generous so that it never binds: the same work
    # is done in both arms, whatever the load, and the outputs can be checked bit for bit.
    config = ts.SolverConfig(exact_window_time_ms=60_000)
    problems = [make_problem(args.many_n, args.seed + 7919 * (i + 1)) for i in range(args.many_problems)]
    solver = ts.TabuSearchSolver(config)

    def loop() -> list:
        return [solver.solve_numpy(**p) for p in problems]

    def many() -> list:
        return torvane.solve_many(problems, config)

    fields = lambda out: {k: v for k, v in out.to_dict().items() if k != "solve_time_ms"}
    assert [fields(o) for o in loop()] == [fields(o) for o in many()], "solve_many must match the loop"
    loops, manys = [], []
    for _ in range(args.many_rounds):
        for fn, sink in ((loop, loops), (many, manys)):
            t0 = time.perf_counter()
            fn()
            sink.append(len(problems) / (time.perf_counter() - t0))
    lo, ma = statistics.median(loops), statistics.median(manys)
    cpus = len(os.sched_getaffinity(0))
    print(f"\nsolve_many ({args.many_problems} problems of n={args.many_n}, default configuration but"
          f" exact_window_time_ms=60000, default threads, {cpus} CPUs; median of"
          f" {args.many_rounds} alternating rounds, the same bits as the loop):")
    print(f"  plain loop of solve_numpy: {lo:8.1f} problems/s   (rounds: {', '.join(f'{v:.0f}' for v in loops)})")
    print(f"  torvane.solve_many:        {ma:8.1f} problems/s   (rounds: {', '.join(f'{v:.0f}' for v in manys)})")
    print(f"  ratio {ma / lo:.2f} (target 1.80); share of the {cpus}-CPU limit: {ma / lo / cpus:.0%}"
          f" if the loop ran on one CPU")


if __name__ == "__main__":
    main()
