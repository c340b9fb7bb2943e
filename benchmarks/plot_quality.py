"""Plots the quality gap against solve time on the quadratic knapsack instances.

Run with:  python benchmarks/plot_quality.py [--out docs/quality_vs_time.png]
Needs matplotlib (pip install .[bench]).
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import numpy as np

import torvane_solver as ts

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from quality import CONFIGS, KNAPSACK_WEIGHTS, QKP, knapsack_arrays, read_qkp  # noqa: E402

# Intermediate settings between the default and the thorough search, to draw the trade-off.
LADDER = {
    "default": CONFIGS["default"],
    "300 iterations": dict(iterations=300, early_stopping_patience=30),
    "window 18 / 200 ms": dict(iterations=300, early_stopping_patience=30, exact_window_size=18,
                               exact_window_time_ms=200),
    "thorough": CONFIGS["thorough"],
}


def main() -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=str(HERE.parent / "docs" / "quality_vs_time.png"))
    parser.add_argument("--every", type=int, default=2, help="use every k-th instance")
    args = parser.parse_args()

    optima = {}
    for line in (QKP / "optima.tsv").read_text().splitlines()[1:]:
        name, value, _ = line.split("\t")
        optima[name] = float(value)
    names = sorted(m for m in optima if (QKP / f"{m}.txt").exists())[:: args.every]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for label, extra in LADDER.items():
        solver = ts.TabuSearchSolver(ts.SolverConfig(**KNAPSACK_WEIGHTS, **extra))
        times, gaps = [], []
        for name in names:
            linear, pairs, capacity, weights = read_qkp(QKP / f"{name}.txt")
            n = len(linear)
            constraints = ts.SolverConstraints(max_tokens=capacity, min_chunks=0, max_chunks=n, max_per_cluster=n)
            start = time.perf_counter()
            out = solver.solve_precomputed_numpy(**knapsack_arrays(linear, pairs, weights), constraints=constraints)
            times.append((time.perf_counter() - start) * 1e3)
            gaps.append(100.0 * (optima[name] - out.objective_score) / optima[name])
        ax.scatter(times, gaps, s=14, alpha=0.6, label=f"{label}: mean gap {np.mean(gaps):.1f}%")
        print(f"{label:<22} median {np.median(times):8.1f} ms  mean gap {np.mean(gaps):6.2f}%  worst {max(gaps):6.2f}%")
    ax.set_xscale("log")
    ax.set_xlabel("solve time per instance (ms, log scale)")
    ax.set_ylabel("gap to optimum (%)")
    ax.set_title(f"Quadratic knapsack instances (n = 100, 200; {len(names)} instances)")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    pathlib.Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=120)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
