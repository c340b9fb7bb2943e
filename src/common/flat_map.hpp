#pragma once
// The core's hash map and set: open addressing with linear probing over a
// power-of-two table that is kept at most half full. Entries are only ever
// added (or all cleared at once), never removed one by one, which is all
// the core needs; a lookup of an absent key therefore stops at the first
// empty slot. Nothing iterates over the entries, so their order in the
// table never shows in a result.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/siphash.hpp"

namespace torvane {

// The splitmix64 finaliser: every input bit moves about half of the output
// bits, so consecutive integers spread over the table.
inline std::uint64_t mix64(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x;
}

template <class Key, class = void>
struct FlatHash;

template <class Key>
struct FlatHash<Key, std::enable_if_t<std::is_integral_v<Key>>> {
    std::uint64_t operator()(Key key) const { return mix64(static_cast<std::uint64_t>(key)); }
};

// Texts (chunk ids, which callers choose) through SipHash-1-3. The key is
// fixed in the source, so this gives a well-spread hash for any ids that
// arise naturally (similar prefixes, sequential numbers), not protection
// against ids crafted to collide by someone who reads the key: such ids can
// still make the probes long (slow, never wrong).
template <>
struct FlatHash<std::string_view> {
    std::uint64_t operator()(std::string_view text) const {
        SipHasher13 hasher(0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL);
        hasher.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        return hasher.finish();
    }
};

template <>
struct FlatHash<std::string> : FlatHash<std::string_view> {};

template <class Key, class Value, class Hash = FlatHash<Key>>
class FlatMap {
public:
    // The value of `key`, or null.
    Value* find(const Key& key) { return const_cast<Value*>(std::as_const(*this).find(key)); }
    const Value* find(const Key& key) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = start(key);; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.key == key) return &slot.value;
        }
    }

    // The value of `key`, added as `value` when the key is new; and whether
    // it was added.
    std::pair<Value*, bool> try_emplace(const Key& key, Value value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        for (std::size_t i = start(key);; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (!slot.used) {
                slot.key = key;
                slot.value = std::move(value);
                slot.used = true;
                ++size_;
                return {&slot.value, true};
            }
            if (slot.key == key) return {&slot.value, false};
        }
    }

    // The value of `key`, added as Value{} when the key is new.
    Value& operator[](const Key& key) { return *try_emplace(key, Value{}).first; }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        slots_.clear();
        size_ = 0;
    }
    // Room for `count` entries without growing.
    void reserve(std::size_t count) {
        while (2 * count > slots_.size()) grow();
    }

private:
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
    };

    std::size_t mask() const { return slots_.size() - 1; }
    std::size_t start(const Key& key) const { return static_cast<std::size_t>(Hash{}(key)) & mask(); }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 16 : 2 * old.size(), Slot{});
        size_ = 0;
        for (Slot& slot : old) {
            if (slot.used) try_emplace(slot.key, std::move(slot.value));
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

template <class Key, class Hash = FlatHash<Key>>
class FlatSet {
public:
    // Whether `key` was new.
    bool insert(const Key& key) { return map_.try_emplace(key, true).second; }
    bool contains(const Key& key) const { return map_.find(key) != nullptr; }
    std::size_t size() const { return map_.size(); }
    bool empty() const { return map_.empty(); }
    void clear() { map_.clear(); }
    void reserve(std::size_t count) { map_.reserve(count); }

private:
    FlatMap<Key, bool, Hash> map_;
};

}  // namespace torvane
