"""Rules the C++ sources keep."""
import re
from pathlib import Path

SRC = Path(__file__).resolve().parents[2] / "src"


def test_silenced_warnings_stay_in_their_file():
    # A warning silenced without push/pop stays silenced in every file that
    # includes or follows the one that silenced it.
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in {".cpp", ".hpp", ".inl"}:
            continue
        depth = 0
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            directive = re.match(r"\s*#\s*pragma\s+GCC\s+diagnostic\s+(push|pop|ignored)", line)
            if not directive:
                continue
            kind = directive.group(1)
            depth += {"push": 1, "pop": -1, "ignored": 0}[kind]
            assert depth >= 0, f"{path}:{number}: pop without push"
            assert kind != "ignored" or depth > 0, f"{path}:{number}: ignored outside push/pop"
        assert depth == 0, f"{path}: push without pop"
