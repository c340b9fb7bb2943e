#include "common/siphash.hpp"

namespace torvane {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> message) {
    SipHasher13 hasher(k0, k1);
    hasher.write(message);
    return hasher.finish();
}

std::uint64_t siphash24(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> message) {
    SipHasher24 hasher(k0, k1);
    hasher.write(message);
    return hasher.finish();
}

}  // namespace torvane
