#pragma once
// Advice to the operating system about large scratch buffers.
#include <cstddef>

namespace torvane {

// Asks for large pages behind [data, data + bytes) where the system offers
// them on request (Linux transparent huge pages in "madvise" mode). An n x n
// matrix written for the first time otherwise takes one page fault per 4 KiB,
// a fifth of a solve's CPU time at n = 3000. Only the whole large pages inside
// the range are advised; small buffers are left alone. Advice only: failure
// changes nothing, and the contents are untouched.
void advise_large_pages(void* data, std::size_t bytes) noexcept;

}  // namespace torvane
