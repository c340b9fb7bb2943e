#pragma once
// What the CPU offers, looked up once, and the one mechanism by which every
// kernel family (the vector kernels, the MaxSim kernels) picks its
// implementation: an ordered list of implementations, best first, each with
// the instruction-set level it belongs to, the CPU features it needs and its
// table of functions. The choice is made once, when the family is first
// used: the first implementation in the list that this build has, that the
// CPU runs and whose level the environment variable TORVANE_SIMD allows.
//
// TORVANE_SIMD is read once, at the first use of any kernel: "avx512" (or
// unset) allows every level, "avx2" the AVX2 and the scalar paths, "scalar"
// the portable path only. Any other value is ignored. A level the CPU lacks
// falls back to the best one below it. Every level gives the same bits; the
// switch exists to run the paths of a machine with fewer instruction sets.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace torvane {

// Instruction-set levels, ordered: a higher level may use more.
enum class SimdLevel : std::uint8_t {
    Scalar = 0,  // portable C++
    Avx2 = 1,    // AVX2 (256-bit vectors, 16 registers)
    Avx512 = 2,  // AVX-512 (32 registers, 512-bit vectors)
};
inline constexpr std::size_t kSimdLevelCount = 3;

std::string_view simd_level_name(SimdLevel level);

// CPU features, one bit each.
namespace cpu {
inline constexpr std::uint32_t kAvx2 = 1u << 0;
inline constexpr std::uint32_t kPopcnt = 1u << 1;
inline constexpr std::uint32_t kAvx512F = 1u << 2;
inline constexpr std::uint32_t kAvx512VL = 1u << 3;
inline constexpr std::uint32_t kAvx512BW = 1u << 4;
inline constexpr std::uint32_t kAvx512Vnni = 1u << 5;
inline constexpr std::uint32_t kAvx512Vpopcntdq = 1u << 6;
}  // namespace cpu

// The features of the CPU this process runs on (and the operating system
// enables), looked up once; 0 on other architectures.
std::uint32_t cpu_features();

// The highest level TORVANE_SIMD allows, read once.
SimdLevel simd_level_limit();

// The limit a value of TORVANE_SIMD sets: null (unset) and unknown values
// set none (Avx512).
SimdLevel parse_simd_level_limit(const char* value);

// One implementation of a kernel family. `table` is null when this build
// has no such unit (another architecture).
template <class Table>
struct Implementation {
    SimdLevel level;
    std::uint32_t features;  // every one of them must be present
    const Table* table;
};

// The implementations of one kernel family that this process may run, and
// the one chosen for it.
template <class Table>
class Dispatch {
public:
    // `list` is ordered best first, one entry per level, and ends with the
    // scalar implementation (which needs no features). `features` and
    // `limit` are those of this process unless a test says otherwise.
    Dispatch(std::initializer_list<Implementation<Table>> list, std::uint32_t features = cpu_features(),
             SimdLevel limit = simd_level_limit()) {
        for (const Implementation<Table>& entry : list) {
            const auto index = static_cast<std::size_t>(entry.level);
            if (index >= kSimdLevelCount || entry.table == nullptr) continue;
            if ((features & entry.features) != entry.features) continue;
            runnable_[index] = entry.table;
            if (chosen_ == nullptr && entry.level <= limit) {
                chosen_ = entry.table;
                chosen_level_ = entry.level;
            }
        }
    }

    // The implementation of `level` when this build has it and the CPU runs
    // it (whatever TORVANE_SIMD says: tests compare every level), else null.
    const Table* runnable(SimdLevel level) const {
        const auto index = static_cast<std::size_t>(level);
        return index < kSimdLevelCount ? runnable_[index] : nullptr;
    }

    // The chosen implementation and its level; null only when the list
    // lacks a scalar entry.
    const Table* chosen() const { return chosen_; }
    SimdLevel chosen_level() const { return chosen_level_; }

private:
    const Table* runnable_[kSimdLevelCount] = {};
    const Table* chosen_ = nullptr;
    SimdLevel chosen_level_ = SimdLevel::Scalar;
};

}  // namespace torvane
