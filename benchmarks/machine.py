"""What the benchmark scripts print about the machine they ran on, and how
they make NumPy run at full strength.

Some machines set OPENBLAS_CORETYPE (and OPENBLAS_L2_SIZE) in the
environment, which pins OpenBLAS to an older instruction set's kernels: on a
CPU with AVX-512, NumPy then runs its AVX2 kernels and every ratio against it
flatters us. A benchmark that compares with NumPy calls `unpin_blas()` before
it imports NumPy; it removes the two variables for its own process only (by
starting itself again without them) and never touches tests or CI.
"""

from __future__ import annotations

import os
import platform
import sys
from pathlib import Path

PINNING_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def unpin_blas() -> None:
    """Restart this script without the OpenBLAS pinning variables, once.

    OpenBLAS reads them when it is loaded, so they must be gone before NumPy is
    imported; the restart makes sure of that whatever imported NumPy first.
    The variables seen before the restart are passed on in TORVANE_BLAS_PIN
    so that the report can name them.
    """
    found = {name: os.environ[name] for name in PINNING_VARIABLES if name in os.environ}
    if not found:
        return
    env = {k: v for k, v in os.environ.items() if k not in PINNING_VARIABLES}
    env["TORVANE_BLAS_PIN"] = " ".join(f"{k}={v}" for k, v in found.items())
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(sys.executable, [sys.executable, *sys.argv], env)


def cpu_model() -> str:
    """The CPU's model name from /proc/cpuinfo, else what the platform module knows."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_family() -> str:
    """The CPU family number from /proc/cpuinfo ('?' when unknown)."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("cpu family"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "?"


def blas_report() -> str:
    """The BLAS library and kernel NumPy uses, as threadpoolctl reports them."""
    import numpy  # noqa: F401  (loads the BLAS library threadpoolctl inspects)

    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "BLAS kernel unknown (pip install threadpoolctl to see it)"
    parts = []
    for info in threadpool_info():
        if info.get("user_api") != "blas":
            continue
        parts.append(
            f"{info.get('internal_api', '?')} {info.get('version', '?')}, kernel {info.get('architecture', '?')}, "
            f"{info.get('num_threads', '?')} threads"
        )
    text = "; ".join(parts) if parts else "no BLAS library loaded"
    pin = os.environ.get("TORVANE_BLAS_PIN")
    if pin:
        text += f" (lifted for this run: {pin})"
    elif any(name in os.environ for name in PINNING_VARIABLES):
        text += " (pinned: " + " ".join(f"{n}={os.environ[n]}" for n in PINNING_VARIABLES if n in os.environ) + ")"
    return text


def machine_report() -> str:
    """One line on the CPU and one on NumPy's BLAS, for the head of a benchmark's output."""
    import numpy as np

    return (
        f"CPU: {cpu_model()} (family {cpu_family()}), {len(os.sched_getaffinity(0))} CPUs available\n"
        f"NumPy {np.__version__}, BLAS: {blas_report()}"
    )
