#!/usr/bin/env bash
# Installs what the tests need, builds the module and the C++ core tests,
# and runs both suites. Usage: bash tools/run_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

# GoogleTest for the C++ core tests, from the system's packages.
if ! ls /usr/lib/*/libgtest.a /usr/lib/libgtest.a /usr/local/lib/libgtest.a >/dev/null 2>&1; then
  sudo_cmd=""
  if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y libgtest-dev
fi

# A virtual environment with the Python test tools.
venv=${TORVANE_VENV:-$PWD/.venv}
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
"$py" -m pip install --quiet "numpy>=1.24" "pytest>=7" "hypothesis>=6" "mypy>=1.8" "cmake>=3.21" ninja

# The extension module, built and installed exactly as users install it.
"$py" -m pip install --quiet .

# C++ core tests through CTest; a run that finds no test fails.
cmake_bin="$venv/bin/cmake"
"$cmake_bin" -S . -B build/test-core -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DTORVANE_BUILD_PYTHON=OFF -DTORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
"$cmake_bin" --build build/test-core -j "$jobs"
"$venv/bin/ctest" --test-dir build/test-core --output-on-failure --no-tests=error -j "$jobs"

# Python interface tests (pytest fails when it collects nothing).
"$py" -m pytest -q tests/python
