"""The Python examples of README.md run as written: the module's own one after the other in
one namespace, and each block that needs an optional extra (LangChain, LlamaIndex, Ray) on its
own, skipped only when that extra is not installed."""

import importlib.util
import re
from pathlib import Path

import pytest

from conftest import SANITIZED

README = Path(__file__).resolve().parents[2] / "README.md"
# The package an optional extra brings, by what a block imports.
EXTRAS = {"langchain": "langchain_core", "llama_index": "llama_index.core", "ray": "ray"}


def blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def extra_of(block):
    """The optional extra a block needs, or None."""
    found = {name for name in EXTRAS
             if re.search(rf"^\s*(from|import)\s+(torvane\.)?{name}\b", block, re.M)}
    assert len(found) <= 1, found
    return found.pop() if found else None


def installed(module):
    try:
        return importlib.util.find_spec(module) is not None
    except ModuleNotFoundError:
        return False


def test_readme_examples_run():
    core = [b for b in blocks() if extra_of(b) is None]
    assert len(core) >= 4
    namespace: dict = {}
    for block in core:
        exec(compile(block, str(README), "exec"), namespace)
    assert namespace["out"].constraints_satisfied
    assert namespace["scores"].shape == (16, 1000)
    assert len(namespace["outputs"]) == 32


@pytest.mark.parametrize("extra", sorted(EXTRAS))
def test_readme_examples_of_the_extras_run(extra, capsys):
    mine = [b for b in blocks() if extra_of(b) == extra]
    assert mine, f"the README shows no block for {extra}"
    if not installed(EXTRAS[extra]):
        pytest.skip(f"the {extra} extra is not installed")
    if SANITIZED:
        pytest.skip("framework components are tested in the plain pass")
    for block in mine:
        exec(compile(block, str(README), "exec"), {})
    printed = capsys.readouterr().out
    assert printed.strip(), "the block printed nothing"
