import importlib
import importlib.metadata
import re
import sys
import unicodedata
from pathlib import Path

import pytest

import torvane_solver as ts

# The version, from its one source: the project declaration of the build.
PROJECT_VERSION = re.search(r"project\(torvane_solver VERSION ([0-9.]+)",
                            (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).group(1)

# Attributes in registration order; the solver class and the MaxSim
# functions join as they are built.
EXPECTED_ORDER = ["SolverConfig", "SolverConstraints", "SolverOutput", "TabuSearchSolver",
                  "gpu_available", "cuda_available", "version",
                  "compute_max_sim_batch", "compute_max_sim_batch_f32"]


def test_contents_in_registration_order():
    ours = [name for name in vars(ts) if not name.startswith("__")]
    assert ours == [name for name in EXPECTED_ORDER if name in ours]
    assert {"SolverConfig", "SolverConstraints", "SolverOutput", "gpu_available", "cuda_available",
            "version"} <= set(ours)
    assert not hasattr(ts, "__version__")
    assert not hasattr(ts, "PanicException")
    assert ts.__doc__ == "Python module definition"


def test_one_version_everywhere():
    # The project version in CMakeLists.txt is the only place it is written: the
    # module and the installed distribution's metadata both carry it.
    assert ts.version() == PROJECT_VERSION == importlib.metadata.version("torvane_solver")


@pytest.mark.parametrize("name, signature, doc, result", [
    ("version", "()", "Get library version", PROJECT_VERSION),
    ("gpu_available", "()", "Check if GPU is available", False),
    ("cuda_available", "()", "Check if CUDA is available", False),
])
def test_small_functions(name, signature, doc, result):
    function = getattr(ts, name)
    assert function() == result
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    with pytest.raises(TypeError):
        function(1)


def test_reimport_gives_same_module():
    first = sys.modules.pop("torvane_solver")
    try:
        again = importlib.import_module("torvane_solver")
        assert again is first
        assert again.SolverConfig is first.SolverConfig
    finally:
        sys.modules["torvane_solver"] = first


def test_only_ascii_and_kelvin_lowercase_to_ascii():
    # Role parsing in the core relies on this property of the full Unicode
    # lower-case mapping: no other code point lower-cases to pure ASCII.
    hits = [cp for cp in range(0x80, 0x110000)
            if not 0xD800 <= cp < 0xE000 and chr(cp).lower().isascii()]
    assert hits == [0x212A], unicodedata.unidata_version


def test_second_interpreter_is_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = subinterpreters.create()
    try:
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError.*sub-interpreters"):
            subinterpreters.run_string(interpreter, "import torvane_solver")
    finally:
        subinterpreters.destroy(interpreter)
    assert ts.version() == PROJECT_VERSION  # the first interpreter's module is unaffected
