"""Solved problems whose results must be reproduced bit for bit."""
import json
import math
import pathlib
import struct

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
    expected, out = run_case(path)
    mismatches = []
    for key, want in expected.items():
        got = out[key]
        if isinstance(want, float):
            ok = same_float(got, want)
        else:
            ok = got == want
        if not ok:
            mismatches.append(f"{key}: expected {want!r}, got {got!r}")
    assert not mismatches, "\n".join(mismatches)


def test_sets_are_present():
    for name in SETS:
        assert len(list((VECTORS / name).glob("*.json"))) > 0, name
