"""Solved problems whose results must be reproduced bit for bit."""
import json
import math
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

import torvane_solver as ts

VECTORS = pathlib.Path(__file__).resolve().parent.parent / "data" / "vectors"
# Sets whose algorithm is complete in this build.
SETS = ["start", "window", "full"]


def cases():
    for name in SETS:
        for path in sorted((VECTORS / name).glob("*.json")):
            yield pytest.param(path, id=f"{name}/{path.stem}")


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b)


def run_case(path, solver_kwargs=None):
    meta = json.loads(path.read_text())
    arrays = dict(np.load(path.parent / meta["arrays"]))
    solver = ts.TabuSearchSolver(ts.SolverConfig(**meta["config"]))
    constraints = ts.SolverConstraints(**meta["constraints"])
    return meta["expected"], solver.solve_precomputed_numpy(**arrays, constraints=constraints).to_dict()


@pytest.mark.parametrize("path", list(cases()))
def test_reference_case(path):
    mismatches = check_case(path)
    assert not mismatches, "\n".join(mismatches)


def check_case(path):
    expected, out = run_case(path)
    mismatches = []
    for key, want in expected.items():
        got = out[key]
        if isinstance(want, float):
            ok = same_float(got, want)
        else:
            ok = got == want
        if not ok:
            mismatches.append(f"{path.parent.name}/{path.stem} {key}: expected {want!r}, got {got!r}")
    return mismatches


@pytest.mark.parametrize("threads", [1, 7])
def test_every_case_on_other_pool_sizes(threads):
    # The process-wide pool is sized once per process, so each size runs in
    # a fresh interpreter.
    script = ("import pathlib, sys; sys.path.insert(0, sys.argv[1]); import test_reference_results as t; "
              "bad = [m for p in t.cases() for m in t.check_case(p.values[0])]; print('\\n'.join(bad)); "
              "sys.exit(1 if bad else 0)")
    env = dict(os.environ, TORVANE_NUM_THREADS=str(threads))
    result = subprocess.run([sys.executable, "-c", script, str(pathlib.Path(__file__).parent)], env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_sets_are_present():
    for name in SETS:
        assert len(list((VECTORS / name).glob("*.json"))) > 0, name
