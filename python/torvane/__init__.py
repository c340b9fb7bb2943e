"""torvane: the Python package around the torvane_solver module."""
from __future__ import annotations

from torvane._batch import solve_many

__all__ = ["solve_many"]
