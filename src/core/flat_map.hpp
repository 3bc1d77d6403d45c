// Insertion-ordered hash map over open addressing: entries live in one vector,
// the table holds (hash tag, entry index) words, so most probes never touch a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/hash.hpp"
#include "core/stored_text.hpp"

namespace tovrik::core {

/// The slots of an open-addressing table holding n keys at most half full
/// (short probe runs): a power of two, at least 16.
inline std::size_t half_full_slots(std::size_t n) {
    std::size_t cap = 16;
    while (cap < n * 2 + 2) cap <<= 1;
    return cap;
}

struct StringKey {
    static std::uint64_t hash(std::string_view k, std::uint64_t seed) { return hash_bytes(k, seed); }
    template <class A>
    static bool eq(const A& a, std::string_view b) { return std::string_view(a) == b; }
};

struct U64Key {
    static std::uint64_t hash(std::uint64_t k, std::uint64_t seed) { return hash_u64(k, seed); }
    static bool eq(std::uint64_t a, std::uint64_t b) { return a == b; }
};

/// A hash map kept as a vector of entries in insertion order, plus an
/// open-addressing index that is built on the first lookup. Entries appended
/// with insert_new (keys known to be distinct) cost no hashing until then.
/// The first lookup of a map mutates its index: callers that look up from
/// several threads call index() first. StoredText keys and values view bytes
/// in a TextStore that the map shares (with the other maps of its column):
/// texts handed to insert_new and insert_or_assign are copied into it.
template <class K, class V, class Traits>
class FlatMap {
public:
    using Entry = std::pair<K, V>;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    FlatMap() : seed_(next_seed()) {}
    // A moved-from map is left empty and usable.
    FlatMap(FlatMap&& o) noexcept
        : entries_(std::move(o.entries_)), slots_(std::move(o.slots_)), mask_(std::exchange(o.mask_, 0)),
          indexed_(std::exchange(o.indexed_, 0)), positional_(std::exchange(o.positional_, 0)),
          texts_(std::move(o.texts_)), seed_(o.seed_) {
        o.entries_.clear();
        o.slots_.clear();
    }
    FlatMap& operator=(FlatMap&& o) noexcept {
        if (this != &o) {
            entries_ = std::move(o.entries_);
            slots_ = std::move(o.slots_);
            mask_ = std::exchange(o.mask_, 0);
            indexed_ = std::exchange(o.indexed_, 0);
            positional_ = std::exchange(o.positional_, 0);
            texts_ = std::move(o.texts_);
            seed_ = o.seed_;
            o.entries_.clear();
            o.slots_.clear();
        }
        return *this;
    }
    FlatMap(const FlatMap&) = default;
    FlatMap& operator=(const FlatMap&) = default;

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    const Entry& entry(std::size_t i) const noexcept { return entries_[i]; }

    /// Room for n entries.
    void reserve(std::size_t n) { entries_.reserve(n); }

    /// Brings the index up to date with the entries.
    void index() const {
        if (indexed_ == entries_.size()) return;
        if (entries_.size() * 2 > slots_.size()) {
            rehash();
            return;
        }
        for (; indexed_ < entries_.size(); ++indexed_) place(indexed_);
    }

    template <class Q>
    const V* find(const Q& key) const {
        const std::size_t i = find_index(key);
        return i == npos ? nullptr : &entries_[i].second;
    }

    /// Position of the entry with `key` in iteration order, or npos. Integer
    /// keys that equal their entry's position (the dense codes the engine
    /// makes) are found without the index, so a map never looked up
    /// otherwise never builds one.
    template <class Q>
    std::size_t find_index(const Q& key) const {
        if constexpr (k_positional) {
            if (std::uint64_t(key) < positional_) return std::size_t(key);
            if (positional_ == entries_.size()) return npos;  // keys 0..size-1 only
        }
        return find_in_index(key);
    }
    /// Inserts, or replaces the value of an equal key; the entry keeps its place.
    template <class KA, class VA>
    void insert_or_assign(KA&& key, VA&& value) {
        const std::size_t j = find_index(lookup_key(key));
        if (j != npos) {
            entries_[j].second = hold<V>(std::forward<VA>(value));
            return;
        }
        insert_new(std::forward<KA>(key), std::forward<VA>(value));
        index();
    }

    /// Replaces all entries by `entries`, whose keys the caller knows to be
    /// distinct; their StoredTexts view bytes in `texts`, which the map then shares.
    void assign_distinct(std::vector<Entry>&& entries, std::shared_ptr<TextStore> texts = {}) {
        if (entries.size() > k_max_entries) throw std::length_error("hash map too large");
        entries_ = std::move(entries);
        texts_ = std::move(texts);
        positional_ = 0;
        if constexpr (k_positional)
            while (positional_ < entries_.size() && entries_[positional_].first == positional_) ++positional_;
        slots_.clear();
        mask_ = 0;
        indexed_ = 0;
    }

    /// Appends an entry whose key the caller knows to be absent.
    template <class KA, class VA>
    void insert_new(KA&& key, VA&& value) {
        if (entries_.size() >= k_max_entries) throw std::length_error("hash map too large");
        K k = hold<K>(std::forward<KA>(key));
        if constexpr (k_positional)
            if (positional_ == entries_.size() && k == entries_.size()) ++positional_;
        entries_.emplace_back(std::move(k), hold<V>(std::forward<VA>(value)));
    }

    /// The store that this map's StoredTexts view (made on first use), to be
    /// shared by maps that view the same texts.
    const std::shared_ptr<TextStore>& texts() const {
        if (!texts_) texts_ = std::make_shared<TextStore>();
        return texts_;
    }

private:
    template <class Q>
    std::size_t find_in_index(const Q& key) const {
        index();
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

    static decltype(auto) key_view(const K& k) {
        if constexpr (std::is_same_v<K, StoredText>) return std::string_view(k);
        else return k;
    }

    template <class A>
    static decltype(auto) lookup_key(const A& a) {
        if constexpr (std::is_same_v<K, StoredText>) return std::string_view(a);
        else return (a);
    }

    // A key or value as the map keeps it: texts are copied into its store.
    template <class T, class A>
    T hold(A&& a) {
        if constexpr (std::is_same_v<T, StoredText>) return texts()->add(std::string_view(a));
        else return T(std::forward<A>(a));
    }

    void place(std::size_t j) const {
        const std::uint64_t h = Traits::hash(key_view(entries_[j].first), seed_);
        std::size_t i = h & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = ((h >> 32) << 32) | (j + 1);
    }

    void rehash() const {
        const std::size_t cap = half_full_slots(entries_.size());
        slots_.assign(cap, 0);
        mask_ = cap - 1;
        for (indexed_ = 0; indexed_ < entries_.size(); ++indexed_) place(indexed_);
    }

    static constexpr std::size_t k_max_entries = 0xfffffffeu;
    static constexpr bool k_positional = std::is_same_v<K, std::uint64_t>;

    std::vector<Entry> entries_;
    mutable std::vector<std::uint64_t> slots_;  // (hash tag << 32) | (entry index + 1)
    mutable std::size_t mask_ = 0;
    mutable std::size_t indexed_ = 0;  // entries covered by slots_
    std::size_t positional_ = 0;       // leading entries whose key is their position
    mutable std::shared_ptr<TextStore> texts_;  // what StoredText keys and values view
    std::uint64_t seed_;
};

}  // namespace tovrik::core
