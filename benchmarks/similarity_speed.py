#!/usr/bin/env python3
"""Times our cosine similarity matrix against NumPy's ``U @ U.T``.

For each size the script makes random float32 rows, normalises them with
NumPy, and times, in the same run on the same rows:

* NumPy: ``U @ U.T`` (float32, the BLAS NumPy was built with), and
* ours: the similarity matrix of the C++ core (``benchmarks/similarity_bench``),
  which also normalises the rows as part of the operation.

Both run on all CPUs of the process; rounds alternate between them.

It prints the median and best times of both and the ratio ours / NumPy
(below 1.0: ours is faster), and checks that the two matrices agree to
float32 rounding.

It also measures the limit of this machine: NumPy's float32 product of two
4096 x 4096 matrices on all CPUs, in G multiply-adds per second. A kernel
that keeps products and sums apart (no fused multiply-add) has the same
peak on CPUs that issue them on separate pipes. Both matrices here are
symmetric, so both sides compute one triangle: n (n + 1) / 2 dot products
of dim multiply-adds. The rates and the shares of the limit are counted
that way (the full product would count n^2 dim).

Usage:
    python3 benchmarks/similarity_speed.py [--sizes 500,1000,2000] [--dim 384]
        [--reps 20] [--rounds 5] [--build-dir build/bench] [--no-build]

The C++ benchmark is configured and built in --build-dir with CMake
(-DTORVANE_BUILD_BENCHMARKS=ON, Release) unless --no-build is given.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from machine import machine_report, unpin_blas

unpin_blas()  # before NumPy loads OpenBLAS

import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def build(build_dir: Path) -> Path:
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         "-DTORVANE_BUILD_BENCHMARKS=ON", "-DTORVANE_BUILD_PYTHON=OFF", "-DTORVANE_BUILD_TESTS=OFF"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "similarity_bench", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    return build_dir / "similarity_bench"


def time_numpy(u: np.ndarray, reps: int) -> tuple[list[float], np.ndarray]:
    for _ in range(3):  # warm-up, as similarity_bench does
        result = u @ u.T
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        result = u @ u.T
        times.append((time.perf_counter() - start) * 1e3)
    return sorted(times), result


def limit_gmacs(size: int = 4096, reps: int = 5) -> float:
    """NumPy's float32 matrix product of size x size matrices, in G multiply-adds per second (median)."""
    rng = np.random.default_rng(1)
    a = rng.standard_normal((size, size), dtype=np.float32)
    b = rng.standard_normal((size, size), dtype=np.float32)
    a @ b  # warm-up
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        a @ b
        times.append(time.perf_counter() - start)
    return size**3 / float(np.median(times)) / 1e9


def time_ours(bench: Path, u: np.ndarray, reps: int, workdir: Path) -> tuple[float, float, np.ndarray, str]:
    n, dim = u.shape
    rows_path = workdir / f"rows_{n}.f32"
    out_path = workdir / f"sim_{n}.f32"
    u.astype(np.float32).tofile(rows_path)
    proc = subprocess.run(
        [str(bench), "--input", str(rows_path), "--n", str(n), "--dim", str(dim), "--reps", str(reps),
         "--output", str(out_path)],
        check=True, capture_output=True, text=True)
    match = re.search(r"median_ms=([0-9.]+) best_ms=([0-9.]+)", proc.stdout)
    if match is None:
        sys.exit(f"unexpected output of similarity_bench:\n{proc.stdout}{proc.stderr}")
    header = proc.stdout.splitlines()[0]
    result = np.fromfile(out_path, dtype=np.float32).reshape(n, n)
    return float(match.group(1)), float(match.group(2)), result, header


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="500,1000,2000")
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--reps", type=int, default=20, help="timed runs per round and size")
    parser.add_argument("--rounds", type=int, default=5, help="rounds alternating ours and NumPy")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--no-build", action="store_true")
    args = parser.parse_args()

    build_dir = Path(args.build_dir)
    bench = build_dir / "similarity_bench" if args.no_build else build(build_dir)
    sizes = [int(s) for s in args.sizes.split(",")]

    print(machine_report())
    rng = np.random.default_rng(20240607)
    inputs = {}
    for n in sizes:
        x = rng.standard_normal((n, args.dim)).astype(np.float32)
        inputs[n] = x / np.linalg.norm(x, axis=1, keepdims=True)
    ours: dict[int, list] = {n: [] for n in sizes}
    theirs: dict[int, list] = {n: [] for n in sizes}
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        # Rounds alternate between the two so that a change in the load of
        # the machine hits both alike. NumPy's BLAS threads keep spinning
        # for a while after a product, so each round of ours starts after
        # a pause.
        for _ in range(args.rounds):
            time.sleep(0.3)
            for n in sizes:
                median, best, result, header = time_ours(bench, inputs[n], args.reps, workdir)
                ours[n].append((median, best))
                results[n] = result
            for n in sizes:
                times, result = time_numpy(inputs[n], args.reps)
                theirs[n].append((times[len(times) // 2], times[0]))
                results[n] = (results[n], result)
        limits = [limit_gmacs() for _ in range(3)]
        limit = float(np.median(limits))
        rows = []
        for n in sizes:
            our_result, np_result = results[n]
            max_diff = float(np.max(np.abs(our_result.astype(np.float64) - np_result.astype(np.float64))))
            our_median = float(np.median([m for m, _ in ours[n]]))
            np_median = float(np.median([m for m, _ in theirs[n]]))
            rows.append((n, our_median, min(b for _, b in ours[n]), np_median, min(b for _, b in theirs[n]),
                         max_diff))
        print(f"ours: similarity_bench ({header.lstrip('# ')}); dim={args.dim}, {args.rounds} rounds of"
              f" {args.reps} timed runs each; median = median of the rounds' medians, best = fastest run")
        print(f"{'n':>6} {'ours median ms':>15} {'ours best ms':>13} {'numpy median ms':>16} {'numpy best ms':>14}"
              f" {'ratio (median)':>15} {'max |diff|':>11}")
        for n, om, ob, nm, nb, diff in rows:
            print(f"{n:>6} {om:>15.3f} {ob:>13.3f} {nm:>16.3f} {nb:>14.3f} {om / nm:>15.3f} {diff:>11.2e}")
        print(f"limit: NumPy float32 4096 x 4096 product, {limit:.1f} G multiply-adds/s (median of"
              f" {', '.join(f'{x:.1f}' for x in limits)})")
        print("rates over the n (n + 1) / 2 dot products of one triangle, from the median times:")
        print(f"{'n':>6} {'ours G mul-add/s':>17} {'share of limit':>15} {'numpy G mul-add/s':>18} {'share of limit':>15}")
        for n, om, _, nm, _, _ in rows:
            work = n * (n + 1) / 2 * args.dim
            ours_rate = work / om / 1e6
            np_rate = work / nm / 1e6
            print(f"{n:>6} {ours_rate:>17.1f} {ours_rate / limit:>15.2f} {np_rate:>18.1f} {np_rate / limit:>15.2f}")


if __name__ == "__main__":
    main()
