#pragma once
// SipHash with a configurable number of compression and finalisation rounds.
// The solver hashes selections with SipHash-1-3 under an all-zero key; the
// round counts are template parameters so the same code also gives
// SipHash-2-4, whose published reference vectors check the round function.

#include <cstddef>
#include <cstdint>
#include <span>

namespace torvane {

template <unsigned CompressionRounds, unsigned FinalizationRounds>
class SipHasher {
public:
    SipHasher(std::uint64_t k0, std::uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ULL),
          v1_(k1 ^ 0x646f72616e646f6dULL),
          v2_(k0 ^ 0x6c7967656e657261ULL),
          v3_(k1 ^ 0x7465646279746573ULL) {}

    // Appends bytes to the message; any split of a message into writes gives
    // the same hash as writing it at once.
    void write(std::span<const std::uint8_t> bytes) {
        std::size_t pos = 0;
        const std::size_t len = bytes.size();
        length_ += len;
        // Complete a word left partly filled by an earlier write.
        while (tail_bytes_ != 0 && pos < len) {
            tail_ |= static_cast<std::uint64_t>(bytes[pos]) << (8 * tail_bytes_);
            ++pos;
            if (++tail_bytes_ == 8) {
                compress(tail_);
                tail_ = 0;
                tail_bytes_ = 0;
            }
        }
        for (; len - pos >= 8; pos += 8) compress(load_le64(bytes.data() + pos));
        for (; pos < len; ++pos) {
            tail_ |= static_cast<std::uint64_t>(bytes[pos]) << (8 * tail_bytes_);
            ++tail_bytes_;
        }
    }

    // The hash of everything written so far; the hasher itself is unchanged.
    std::uint64_t finish() const {
        SipHasher state = *this;
        // Last block: the message length modulo 256 in the top byte, the
        // remaining (fewer than eight) message bytes below it.
        const std::uint64_t last = (static_cast<std::uint64_t>(length_ & 0xffu) << 56) | tail_;
        state.compress(last);
        state.v2_ ^= 0xff;
        for (unsigned r = 0; r < FinalizationRounds; ++r) state.round();
        return state.v0_ ^ state.v1_ ^ state.v2_ ^ state.v3_;
    }

private:
    static std::uint64_t rotl(std::uint64_t x, unsigned b) { return (x << b) | (x >> (64 - b)); }

    static std::uint64_t load_le64(const std::uint8_t* p) {
        std::uint64_t word = 0;
        for (unsigned i = 0; i < 8; ++i) word |= static_cast<std::uint64_t>(p[i]) << (8 * i);
        return word;
    }

    void round() {
        v0_ += v1_;
        v1_ = rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = rotl(v0_, 32);
        v2_ += v3_;
        v3_ = rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = rotl(v2_, 32);
    }

    void compress(std::uint64_t m) {
        v3_ ^= m;
        for (unsigned r = 0; r < CompressionRounds; ++r) round();
        v0_ ^= m;
    }

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;        // pending bytes, little-endian
    unsigned tail_bytes_ = 0;       // 0..7
    std::uint64_t length_ = 0;      // total bytes written (only its low byte matters)
};

using SipHasher13 = SipHasher<1, 3>;
using SipHasher24 = SipHasher<2, 4>;

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> message);
std::uint64_t siphash24(std::uint64_t k0, std::uint64_t k1, std::span<const std::uint8_t> message);

}  // namespace torvane
