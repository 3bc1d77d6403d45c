// Insertion-ordered hash map over open addressing: entries live in one vector,
// the table holds (hash tag, entry index) words, so most probes never touch a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/hash.hpp"

namespace tovrik::core {

struct StringKey {
    static std::uint64_t hash(std::string_view k, std::uint64_t seed) { return hash_bytes(k, seed); }
    static bool eq(const std::string& a, std::string_view b) { return std::string_view(a) == b; }
};

struct U64Key {
    static std::uint64_t hash(std::uint64_t k, std::uint64_t seed) { return hash_u64(k, seed); }
    static bool eq(std::uint64_t a, std::uint64_t b) { return a == b; }
};

template <class K, class V, class Traits>
class FlatMap {
public:
    using Entry = std::pair<K, V>;

    FlatMap() : seed_(next_seed()) {}
    FlatMap(FlatMap&&) noexcept = default;
    FlatMap& operator=(FlatMap&&) noexcept = default;
    FlatMap(const FlatMap&) = default;
    FlatMap& operator=(const FlatMap&) = default;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    const Entry& entry(std::size_t i) const noexcept { return entries_[i]; }

    /// Room for n entries without rehashing.
    void reserve(std::size_t n) {
        entries_.reserve(n);
        if (n * 2 > slots_.size()) rehash(n);
    }

    template <class Q>
    const V* find(const Q& key) const noexcept {
        const std::size_t i = find_index(key);
        return i == npos ? nullptr : &entries_[i].second;
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    /// Position of the entry with `key` in iteration order, or npos.
    template <class Q>
    std::size_t find_index(const Q& key) const noexcept {
        if (slots_.empty()) return npos;
        const std::uint64_t h = Traits::hash(key, seed_);
        const std::uint64_t tag = h >> 32;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const std::uint64_t s = slots_[i];
            if (s == 0) return npos;
            if ((s >> 32) == tag) {
                const std::size_t j = (s & 0xffffffffu) - 1;
                if (Traits::eq(entries_[j].first, key)) return j;
            }
        }
    }

    /// Inserts, or replaces the value of an equal key; the entry keeps its place.
    void insert_or_assign(K key, V value) {
        prepare_one();
        const std::uint64_t h = Traits::hash(key_view(key), seed_);
        const std::uint64_t tag = h >> 32;
        std::size_t i = h & mask_;
        for (;; i = (i + 1) & mask_) {
            const std::uint64_t s = slots_[i];
            if (s == 0) break;
            if ((s >> 32) == tag) {
                Entry& e = entries_[(s & 0xffffffffu) - 1];
                if (Traits::eq(e.first, key_view(key))) {
                    e.second = std::move(value);
                    return;
                }
            }
        }
        entries_.emplace_back(std::move(key), std::move(value));
        slots_[i] = (tag << 32) | entries_.size();
    }

    /// The seed of this map's hash function.
    std::uint64_t seed() const noexcept { return seed_; }

    /// Appends an entry whose key the caller knows to be absent.
    void insert_new(K key, V value) {
        const std::uint64_t h = Traits::hash(key_view(key), seed_);
        insert_new_hashed(h, std::move(key), std::move(value));
    }

    /// insert_new with the key's hash under seed() already known.
    void insert_new_hashed(std::uint64_t h, K key, V value) {
        prepare_one();
        std::size_t i = h & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        entries_.emplace_back(std::move(key), std::move(value));
        slots_[i] = ((h >> 32) << 32) | entries_.size();
    }

private:
    static decltype(auto) key_view(const K& k) {
        if constexpr (std::is_same_v<K, std::string>) return std::string_view(k);
        else return k;
    }

    void prepare_one() {
        if (entries_.size() >= k_max_entries) throw std::length_error("hash map too large");
        if ((entries_.size() + 1) * 2 > slots_.size()) rehash(entries_.size() + 1);
    }

    void rehash(std::size_t n) {
        std::size_t cap = 16;
        while (cap < n * 2) cap <<= 1;
        std::vector<std::uint64_t> fresh(cap, 0);
        const std::size_t mask = cap - 1;
        for (std::size_t j = 0; j < entries_.size(); ++j) {
            const std::uint64_t h = Traits::hash(key_view(entries_[j].first), seed_);
            std::size_t i = h & mask;
            while (fresh[i] != 0) i = (i + 1) & mask;
            fresh[i] = ((h >> 32) << 32) | (j + 1);
        }
        slots_.swap(fresh);
        mask_ = mask;
    }

    static constexpr std::size_t k_max_entries = 0xfffffffeu;

    std::vector<Entry> entries_;
    std::vector<std::uint64_t> slots_;
    std::size_t mask_ = 0;
    std::uint64_t seed_;
};

}  // namespace tovrik::core
