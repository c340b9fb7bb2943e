import os

import pytest


def rss_bytes() -> int:
    """Resident set size of this process (Linux)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def rss():
    return rss_bytes
