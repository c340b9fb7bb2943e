"""The type stubs show the same parameters and defaults as the records' runtime signatures,
which the module derives from its one table of options."""
import ast
import inspect
from pathlib import Path

import pytest

import torvane_solver as ts

STUBS = Path(__file__).resolve().parents[2] / "stubs" / "torvane_solver-stubs" / "__init__.pyi"


def stub_init_defaults(class_name):
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == class_name)
    init = next(node for node in cls.body if isinstance(node, ast.FunctionDef) and node.name == "__init__")
    params = [arg.arg for arg in init.args.args[1:]]
    defaults = [ast.literal_eval(value) for value in init.args.defaults]
    return dict(zip(params, defaults))


@pytest.mark.parametrize("record", [ts.SolverConfig, ts.SolverConstraints])
def test_stub_defaults_match_the_runtime_signature(record):
    runtime = {name: p.default for name, p in inspect.signature(record).parameters.items()}
    stub = stub_init_defaults(record.__name__)
    assert list(stub) == list(runtime)
    for name, default in runtime.items():
        assert type(stub[name]) is type(default) and stub[name] == default, name
