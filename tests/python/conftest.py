import os

import pytest


def rss_bytes() -> int:
    """Resident set size of this process (Linux)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _asan_loaded() -> bool:
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


# The sanitizer pass of tools/run_tests.sh preloads AddressSanitizer's runtime.
SANITIZED = _asan_loaded()


@pytest.fixture
def rss():
    if SANITIZED:
        pytest.skip("AddressSanitizer's quarantine keeps freed memory resident; its leak checker covers this run")
    return rss_bytes


def pytest_addoption(parser):
    parser.addoption("--soak", action="store_true", help="run the long leak tests (100,000 calls of each kind)")


def pytest_configure(config):
    config.addinivalue_line("markers", "soak: long leak test, run with --soak (tools/run_tests.sh does)")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--soak"):
        return
    skip = pytest.mark.skip(reason="long run; enable with --soak")
    for item in items:
        if "soak" in item.keywords:
            item.add_marker(skip)
