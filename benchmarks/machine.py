"""What the benchmark scripts print about the machine they ran on."""

from __future__ import annotations

import platform
from pathlib import Path


def cpu_model() -> str:
    """The CPU's model name from /proc/cpuinfo, else what the platform module knows."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"
