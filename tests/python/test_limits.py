"""Inputs too large for memory fail with MemoryError instead of crashing, and
size products beyond the machine word are refused, never wrapped."""
import json
import subprocess
import sys

import numpy as np
import pytest

import torvane_solver as ts
from conftest import SANITIZED

F32 = np.float32


def empty_tokens(items, dtype=F32, width=4):
    """A zero-size array of `items` items without tokens: any item count is cheap."""
    return np.zeros((items, 0, width), dtype)


@pytest.mark.parametrize("nq, nd", [(2**32, 2**32), (2**33, 2**31), (2**31, 2**31), (2**40, 2**22)])
def test_result_sizes_beyond_the_machine_word_are_refused(nq, nd):
    # Nq x Nd values (the first two wrap to 0) or their bytes overflow the machine word.
    message = f"^a score matrix of {nq} x {nd} values does not fit in memory$"
    with pytest.raises(MemoryError, match=message):
        ts.compute_max_sim_batch_f32(empty_tokens(nq), empty_tokens(nd))
    with pytest.raises(MemoryError, match=message):
        ts.compute_max_sim_batch(empty_tokens(nq, np.uint8, 1), empty_tokens(nq), empty_tokens(nd, np.uint8, 1),
                                 empty_tokens(nd), 8, 8)


# Runs in a child process whose address space is capped a little above what
# it uses after warming up, so that every large allocation fails for certain
# (whatever the machine's memory and overcommit policy). It prints what each
# call raised and a digest of ordinary results computed afterwards.
CHILD = r"""
import json, resource, sys
import numpy as np
import torvane_solver as ts

F32 = np.float32
st = np.lib.stride_tricks.as_strided

def problem(n, dim):
    rng = np.random.default_rng(n)
    return dict(embeddings=rng.standard_normal((n, dim)).astype(F32), query_embedding=np.ones(dim, F32),
                token_costs=np.full(n, 10, np.uint64), density_scores=rng.random(n, dtype=F32),
                centrality_scores=rng.random(n, dtype=F32), recency_scores=rng.random(n, dtype=F32),
                auxiliary_scores=rng.random(n, dtype=F32), roles=np.zeros(n, np.uint8),
                cluster_ids=np.arange(n, dtype=np.int64))

def ordinary():
    rng = np.random.default_rng(5)
    q = rng.standard_normal((9, 5, 24)).astype(F32)
    codes = rng.integers(0, 256, (9, 5, 6), dtype=np.uint8)
    meta = rng.standard_normal((9, 5, 4)).astype(F32)
    out = [ts.compute_max_sim_batch_f32(q, q), ts.compute_max_sim_batch(codes, meta, codes, meta, 4, 12)]
    solver = ts.TabuSearchSolver(ts.SolverConfig(iterations=20))
    sel = solver.solve_numpy(**problem(40, 6)).selected_indices
    return b"".join(o.tobytes() for o in out).hex() + repr(sel)

before = ordinary()  # also starts the worker pool before the cap
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
cap = vm + (1 << 30)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

huge_n = 40_000  # the n x n similarity matrix needs 6.4 GB
big = problem(huge_n, 1)
cases = {
    "solve_numpy n x n": lambda: ts.TabuSearchSolver().solve_numpy(**big),
    "solve n x n": lambda: ts.TabuSearchSolver().solve(
        [{"embedding": [float(i % 7) + 1.0]} for i in range(huge_n)], np.ones(1, F32)),
    "solve_precomputed_numpy coverage": lambda: ts.TabuSearchSolver().solve_precomputed_numpy(
        **{k: v for k, v in problem(4, 2).items() if k != "query_embedding"}, relevance_scores=np.ones(4, F32),
        coverage_matrix=st(np.ones(4, F32), shape=(2**34, 4), strides=(0, 4))),
    # Allocations inside the worker pool's tasks (one and several queries).
    "maxsim f32 tasks": lambda: ts.compute_max_sim_batch_f32(
        st(np.ones(4, F32), shape=(3, 2**40, 4), strides=(0, 0, 4)), np.zeros((2, 0, 4), F32)),
    "maxsim f32 one task": lambda: ts.compute_max_sim_batch_f32(
        st(np.ones(4, F32), shape=(1, 2**40, 4), strides=(0, 0, 4)), np.zeros((2, 0, 4), F32)),
    "maxsim codes decode": lambda: ts.compute_max_sim_batch(
        st(np.zeros(1, np.uint8), shape=(2**29, 2**29, 1), strides=(0, 0, 0)),
        st(np.zeros(4, F32), shape=(2**29, 2**29, 4), strides=(0, 0, 4)),
        np.zeros((1, 1, 1), np.uint8), np.zeros((1, 1, 4), F32), 8, 8),
    "maxsim result": lambda: ts.compute_max_sim_batch_f32(np.zeros((2**20, 0, 4), F32), np.zeros((2**20, 0, 4), F32)),
}
outcome = {}
for name, call in cases.items():
    try:
        call()
        outcome[name] = "returned"
    except BaseException as e:
        outcome[name] = type(e).__name__
print(json.dumps({"outcome": outcome, "same": ordinary() == before}))
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reports an allocation it cannot satisfy and aborts")
def test_allocations_beyond_memory_raise_memory_error():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["outcome"] == {name: "MemoryError" for name in report["outcome"]} and len(report["outcome"]) == 7
    # The worker pool survived the failed tasks and still computes the same results.
    assert report["same"]
