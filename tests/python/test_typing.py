"""The installed type stubs describe the module well enough for `mypy --strict`."""
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent

USAGE = '''
import numpy as np
import torvane_solver as ts

config = ts.SolverConfig(lambda_=0.7, random_seed=None)
config.iterations = 50
constraints = ts.SolverConstraints(max_tokens=1000, must_include_roles=["risk"])
solver = ts.TabuSearchSolver(config)
out: ts.SolverOutput = solver.solve([{"embedding": [1.0, 0.0]}], np.ones(2, np.float32), constraints)
indices: list[int] = out.selected_indices
total: float = out.to_dict()["objective_score"]
scores = ts.compute_max_sim_batch_f32(np.zeros((1, 2, 4), np.float32), np.zeros((3, 5, 4), np.float32))
shape: tuple[int, ...] = scores.shape
kind: str = solver.backend_kind()
'''

MISUSE = '''
import numpy as np
import torvane_solver as ts
ts.SolverConfig(iterations="many")
ts.TabuSearchSolver().solve_numpy()
out = ts.TabuSearchSolver().solve([], np.ones(1, np.float32))
out.num_selected = 3
'''


def mypy(tmp_path, source):
    pytest.importorskip("mypy")
    target = tmp_path / "snippet.py"
    target.write_text(source)
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(target)],
                          capture_output=True, text=True, cwd=tmp_path)


def test_usage_type_checks(tmp_path):
    result = mypy(tmp_path, USAGE)
    assert result.returncode == 0, result.stdout


def test_misuse_is_reported(tmp_path):
    result = mypy(tmp_path, MISUSE)
    assert result.returncode == 1
    assert result.stdout.count("error:") >= 3, result.stdout


@pytest.mark.parametrize("example", sorted((ROOT / "examples").glob("*.py")), ids=lambda p: p.name)
def test_examples_type_check(example):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(example)],
                            capture_output=True, text=True, cwd=example.parent)
    assert result.returncode == 0, result.stdout


PACKAGE_USAGE = '''
import numpy as np
import numpy.typing as npt
import torvane

docs = [np.zeros((3, 8), np.float32), np.zeros((5, 8), np.float32)]
packed = torvane.Packed(np.zeros((4, 8), np.float32), np.array([0, 1, 4], np.int64))
codes: torvane.Quantized = torvane.quantize(docs, 4, seed=1)
scores: npt.NDArray[np.float32] = torvane.maxsim(packed, docs)
indices, top = torvane.maxsim_topk(np.zeros((2, 3, 8), np.float32), codes, 10)
bits: int = codes.num_bits
torvane.set_num_threads(2)
'''

PACKAGE_MISUSE = '''
import torvane
torvane.quantize([], "4")
torvane.maxsim_topk([], [], k="3")
torvane.Quantized.num_bits = 3
'''


def test_package_passes_strict_type_checking(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "-p", "torvane"],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    result = mypy(tmp_path, PACKAGE_USAGE)
    assert result.returncode == 0, result.stdout


def test_package_misuse_is_reported(tmp_path):
    result = mypy(tmp_path, PACKAGE_MISUSE)
    assert result.returncode == 1
    assert result.stdout.count("error:") >= 3, result.stdout
