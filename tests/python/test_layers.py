"""The core's folders form layers: a file includes only from its own layer or below."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"

# Lower numbers are lower layers; folders on one level may include each other.
LAYERS = {
    "common": 0,
    "backend": 1,
    "quantization": 2,
    "text": 2,
    "solver/model": 2,
    "solver/objective": 3,
    "solver/constraints": 3,
    "solver/search": 4,
    "python": 5,
    "native": 5,
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: str) -> str:
    for name in sorted(LAYERS, key=len, reverse=True):
        if path == name or path.startswith(name + "/"):
            return name
    raise AssertionError(f"{path} lies in no known layer")


def source_files():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".hpp", ".cpp", ".inl"})


def test_every_source_file_lies_in_a_layer():
    for path in source_files():
        layer_of(path.relative_to(SRC).as_posix())


@pytest.mark.parametrize("path", source_files(), ids=lambda p: p.relative_to(SRC).as_posix())
def test_includes_point_down_the_layers(path):
    own = layer_of(path.relative_to(SRC).as_posix())
    for target in INCLUDE.findall(path.read_text()):
        resolved = (path.parent / target)
        if resolved.exists():  # a file beside this one
            target = resolved.resolve().relative_to(SRC.resolve()).as_posix()
        elif not (SRC / target).exists():
            continue  # a system or third-party header
        other = layer_of(target)
        assert LAYERS[other] <= LAYERS[own], f"{own} includes {target} from the higher layer {other}"


def test_objective_and_constraints_do_not_reach_into_the_search():
    for folder in ("solver/objective", "solver/constraints", "solver/model"):
        for path in (SRC / folder).rglob("*"):
            text = path.read_text()
            assert '"solver/search/' not in text, f"{path.relative_to(SRC)} includes from the search"
