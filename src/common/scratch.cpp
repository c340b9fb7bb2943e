#include "common/scratch.hpp"

#include <new>
#include <utility>

#include "common/numeric.hpp"
#include "common/page_advice.hpp"

namespace torvane {
namespace {

constexpr std::size_t kScratchAlignment = 64;

}  // namespace

void AlignedFloatsDelete::operator()(float* p) const noexcept {
    ::operator delete[](p, std::align_val_t{kScratchAlignment});
}

AlignedFloats aligned_floats(std::size_t count, const char* what) {
    const std::size_t bytes = checked_mul(count, sizeof(float), what);
    AlignedFloats data(static_cast<float*>(::operator new[](bytes, std::align_val_t{kScratchAlignment})));
    advise_large_pages(data.get(), bytes);
    return data;
}

ScratchLease::ScratchLease(KeptScratch& kept, std::size_t count, std::size_t max_kept, const char* what) {
    if (count == 0) return;
    if (kept.in_use || count > max_kept) {
        owned_ = aligned_floats(count, what);
        data_ = owned_.get();
        return;
    }
    if (kept.capacity < count) {
        kept.data.reset();  // the old block goes first, so the two never coexist
        kept.capacity = 0;
        kept.data = aligned_floats(count, what);
        kept.capacity = count;
    }
    kept.in_use = true;
    kept_ = &kept;
    data_ = kept.data.get();
}

ScratchLease::~ScratchLease() {
    if (kept_ != nullptr) kept_->in_use = false;
}

ScratchLease::ScratchLease(ScratchLease&& other) noexcept
    : kept_(std::exchange(other.kept_, nullptr)),
      owned_(std::move(other.owned_)),
      data_(std::exchange(other.data_, nullptr)) {}

}  // namespace torvane
