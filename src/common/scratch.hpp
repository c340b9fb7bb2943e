#pragma once
// Scratch blocks of floats that a thread keeps from one call to the next.
//
// A kernel that needs a few MiB of scratch per call and hands it back to the
// allocator every time often sees the block go back to the operating system;
// each page is then faulted in and cleared again on the next call, which
// cost a third of a solve at n = 1000 in some processes. A KeptScratch (one
// per thread and purpose, declared thread_local by its user) holds such a
// block between calls; a ScratchLease borrows it for one use. Blocks larger
// than the user's limit, and a second use while the block is borrowed on the
// same thread (a nested call), get a block of their own for the lease.

#include <cstddef>
#include <memory>

namespace torvane {

struct AlignedFloatsDelete {
    void operator()(float* p) const noexcept;
};

// Floats on a 64-byte boundary.
using AlignedFloats = std::unique_ptr<float[], AlignedFloatsDelete>;

// Room for `count` floats, not initialised, on a 64-byte boundary; large
// blocks are advised to use large pages. `what` names the block in the
// internal error raised when its size overflows.
AlignedFloats aligned_floats(std::size_t count, const char* what);

struct KeptScratch {
    AlignedFloats data;
    std::size_t capacity = 0;
    bool in_use = false;
};

class ScratchLease {
public:
    // At least `count` floats, not initialised (none, and a null pointer, for
    // 0); from `kept` when it is free and count is at most `max_kept`.
    ScratchLease(KeptScratch& kept, std::size_t count, std::size_t max_kept, const char* what);
    ~ScratchLease();
    ScratchLease(ScratchLease&& other) noexcept;
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    ScratchLease& operator=(ScratchLease&&) = delete;

    float* get() const noexcept { return data_; }

private:
    KeptScratch* kept_ = nullptr;
    AlignedFloats owned_;
    float* data_ = nullptr;
};

}  // namespace torvane
