#!/usr/bin/env bash
# Installs what the tests need, builds the module and the C++ core tests,
# runs both suites, then runs them again under the sanitizers.
# Usage: bash tools/run_tests.sh
# TORVANE_SANITIZERS=0 skips the sanitizer pass (a quicker local run).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

apt_install() {
  local sudo_cmd=""
  if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
  $sudo_cmd apt-get update
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y "$@"
}

# GoogleTest for the C++ core tests, from the system's packages.
have_gtest=no
for lib in /usr/lib/*/libgtest.a /usr/lib/libgtest.a /usr/local/lib/libgtest.a; do
  if [ -e "$lib" ]; then have_gtest=yes; fi
done
if [ "$have_gtest" = no ]; then
  apt_install libgtest-dev
fi

# A virtual environment with the Python test tools.
venv=${TORVANE_VENV:-$PWD/.venv}
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install --quiet --upgrade pip
"$py" -m pip install --quiet "numpy>=1.24" "pytest>=7" "hypothesis>=6" "mypy>=1.8" "tokenizers>=0.15" "cmake>=3.21" ninja

# The extension module, built and installed exactly as users install it, with the
# framework extras whose components the plain pass tests (not the large model behind
# the examples: their tests skip without it).
"$py" -m pip install --quiet ".[langchain,llama-index,ray]"

# C++ core tests through CTest; a run that finds no test fails.
cmake_bin="$venv/bin/cmake"
"$cmake_bin" -S . -B build/test-core -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DTORVANE_BUILD_PYTHON=OFF -DTORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
"$cmake_bin" --build build/test-core -j "$jobs"
"$venv/bin/ctest" --test-dir build/test-core --output-on-failure --no-tests=error -j "$jobs"

# Python interface tests (pytest fails when it collects nothing), with the
# long leak runs (--soak).
"$py" -m pytest -q --soak tests/python

# The paths of a machine with fewer instruction sets: the C++ suite and the
# reference cases once on the AVX2 kernels and once on the scalar ones
# (TORVANE_SIMD caps the level every kernel family chooses).
for level in avx2 scalar; do
  echo "TORVANE_SIMD=$level"
  TORVANE_SIMD=$level build/test-core/torvane_core_tests --gtest_brief=1
  TORVANE_SIMD=$level "$py" -m pytest -q -p no:cacheprovider tests/python/test_reference_results.py
done

# A 32-bit build of the core (x86 with -m32): sizes are 32 bits wide there, and
# the C++ suite must give the same results. GoogleTest is built for it from the
# sources Debian's libgtest-dev ships. TORVANE_32BIT=0 skips this step.
if [ "${TORVANE_32BIT:-1}" != 0 ] && [ "$(uname -m)" = x86_64 ]; then
  cxx32=${CXX:-c++}
  if ! echo 'int main() { return 0; }' | "$cxx32" -m32 -x c++ - -o /dev/null 2>/dev/null; then
    apt_install "g++-$("$cxx32" -dumpversion | cut -d. -f1)-multilib"
  fi
  if [ ! -e /usr/src/googletest/CMakeLists.txt ]; then
    apt_install googletest
  fi
  gtest32=$PWD/build/gtest-32
  if [ ! -e "$gtest32/install/lib/libgtest.a" ]; then
    "$cmake_bin" -S /usr/src/googletest -B "$gtest32/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 -DCMAKE_INSTALL_PREFIX="$gtest32/install"
    "$cmake_bin" --build "$gtest32/build" -j "$jobs"
    "$cmake_bin" --install "$gtest32/build" >/dev/null
  fi
  "$cmake_bin" -S . -B build/test-core-32 -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
    -DTORVANE_BUILD_PYTHON=OFF -DTORVANE_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 \
    -DCMAKE_PREFIX_PATH="$gtest32/install"
  "$cmake_bin" --build build/test-core-32 -j "$jobs"
  "$venv/bin/ctest" --test-dir build/test-core-32 --output-on-failure --no-tests=error -j "$jobs"
fi

if [ "${TORVANE_SANITIZERS:-1}" = 0 ]; then
  exit 0
fi

# ---- Sanitizer pass ----------------------------------------------------------
# The core tests and the extension module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (any report aborts the run), and the core tests
# built with ThreadSanitizer. The runtimes are GCC's, from Debian's packages.
cxx=${CXX:-c++}
runtime() { "$cxx" -print-file-name="$1"; }
if [ ! -e "$(runtime libasan.so)" ] || [ ! -e "$(runtime libubsan.so)" ] || [ ! -e "$(runtime libtsan.so)" ]; then
  gcc_major=$("$cxx" -dumpversion | cut -d. -f1)
  apt_install "libgcc-$gcc_major-dev"
fi
sanitizer_build() {  # build directory, then CMake options
  local dir=$1
  shift
  # Test discovery at test time: the build never runs an instrumented binary.
  "$cmake_bin" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTORVANE_BUILD_TESTS=ON -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@"
  "$cmake_bin" --build "$dir" -j "$jobs"
}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# ASan + UBSan: the C++ suite (with the leak checker), then the Python suite
# against the instrumented module. CPython is not instrumented, so the
# runtime is preloaded (libstdc++ with it, so that C++ exceptions thrown in
# the module are intercepted), and PYTHONMALLOC=malloc hands every Python
# object to ASan's allocator. allocator_may_return_null lets malloc report
# failure as CPython expects. The typing tests check stubs only and are left
# out, and so are the framework and Ray components (plain Python around the
# module's calls, which the other tests cover here).
sanitizer_build build/test-asan -DTORVANE_SANITIZE=ON -DTORVANE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$py"
ASAN_OPTIONS=detect_leaks=1 build/test-asan/torvane_core_tests --gtest_brief=1
# The leak checker runs when each interpreter exits and writes its reports
# to files (exitcode=0; an ASan error still aborts the process). NumPy and
# the interpreter leave a few objects unreachable at exit, so only reports
# with a frame in this project's code fail the run. use_tls=0: this runtime
# misreads the dynamic TLS of threads started by a dlopen()ed module (the
# worker pool's) and would crash while scanning it.
leak_logs="$PWD/build/test-asan/leak-reports"
rm -rf "$leak_logs"
mkdir -p "$leak_logs"
asan_env=(env LD_PRELOAD="$(runtime libasan.so) $(runtime libstdc++.so)"
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:log_path=$leak_logs/asan"
  LSAN_OPTIONS=use_tls=0:exitcode=0 PYTHONMALLOC=malloc PYTHONPATH="$PWD/build/test-asan")
status=0
"${asan_env[@]}" "$py" -c 'import sys, torvane, torvane_solver as ts; sys.exit("test-asan" not in ts.__file__ + torvane._native.__file__)' &&
  "${asan_env[@]}" "$py" -m pytest -q -p no:cacheprovider tests/python --ignore=tests/python/test_typing.py \
    --ignore=tests/python/test_langchain.py --ignore=tests/python/test_llama_index.py \
    --ignore=tests/python/test_ray.py ||
  status=$?
reports=$(find "$leak_logs" -type f | sort)
if [ "$status" != 0 ]; then
  [ -z "$reports" ] || cat $reports
  exit "$status"
fi
ours=$([ -z "$reports" ] || grep -l -E "$PWD/src/|torvane_solver\.cpython|_native\.cpython|libtorvane_core" $reports || true)
if [ -n "$ours" ]; then
  cat $ours
  echo "LeakSanitizer: leaks in this project's code (reports above)" >&2
  exit 1
fi
echo "LeakSanitizer: no leak in this project's code ($(echo "$reports" | grep -c . || true) reports of NumPy and the interpreter ignored)"

# TSan: the C++ suite. Where the kernel randomises mappings more than this
# runtime accepts, the run is repeated with address randomisation off.
sanitizer_build build/test-tsan -DTORVANE_SANITIZE_THREAD=ON -DTORVANE_BUILD_PYTHON=OFF
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
if build/test-tsan/torvane_core_tests --gtest_list_tests >/dev/null 2>&1; then
  build/test-tsan/torvane_core_tests --gtest_brief=1
else
  setarch "$(uname -m)" -R build/test-tsan/torvane_core_tests --gtest_brief=1
fi
