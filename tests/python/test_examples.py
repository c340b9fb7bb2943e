"""The examples print what they claim."""
import re
import runpy
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_quickstart_objective_line_adds_up(capsys):
    runpy.run_path(str(EXAMPLES / "quickstart.py"), run_name="__main__")
    line = next(l for l in capsys.readouterr().out.splitlines() if l.startswith("objective "))
    match = re.fullmatch(r"objective (-?\d+\.\d{4}) = (.*)", line)
    assert match, line
    terms = re.findall(r"(^|[+-]) ?([a-z]+) (\d+\.\d{4})", match.group(2).replace(" + ", " +").replace(" - ", " -"))
    names = [name for _, name, _ in terms]
    assert names == ["relevance", "density", "centrality", "recency", "auxiliary", "fulfilment", "similarity"]
    total = sum(-float(value) if sign == "-" else float(value) for sign, _, value in terms)
    # Seven terms each rounded to four places.
    assert abs(total - float(match.group(1))) <= 7 * 0.00005 + 1e-9, line
