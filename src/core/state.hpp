// What an Encoder remembers: the learnt per-column code maps and the string strategy.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "core/flat_map.hpp"

namespace tovrik::core {

/// A column's distinct texts as the engine lays them out: in ascending byte
/// order in one block, text p at block[starts[p], starts[p + 1]) for p below
/// `size`, numbered 0, 1, ... in that order passing over the positions
/// `skipped` (ascending: the missing-value texts, which get no code).
struct SortedBlock {
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t k_max_skipped = 3;  // "nan", "NaN" and "<NA>"

    const char* block = nullptr;
    std::shared_ptr<const std::uint64_t[]> starts;  // null when there is no block
    std::size_t size = 0;
    std::size_t skipped_count = 0;
    std::array<std::size_t, k_max_skipped> skipped{};

    SortedBlock() = default;
    SortedBlock(const char* b, std::shared_ptr<const std::uint64_t[]> s, std::size_t n,
                std::span<const std::size_t> skip)
        : block(b), starts(std::move(s)), size(n), skipped_count(skip.size()) {
        if (skip.size() > k_max_skipped || skip.size() > n) throw std::logic_error("too many texts without a code");
        std::copy(skip.begin(), skip.end(), skipped.begin());
    }

    explicit operator bool() const noexcept { return starts != nullptr; }
    std::size_t codes() const noexcept { return size - skipped_count; }

    std::string_view text(std::size_t p) const noexcept {
        return {block + starts[p], std::size_t(starts[p + 1] - starts[p])};
    }
    /// The position of code c (below codes()).
    std::size_t position_of(std::size_t c) const noexcept {
        for (std::size_t s = 0; s < skipped_count; ++s) c += skipped[s] <= c;
        return c;
    }
    /// The code of position p, none for a skipped one.
    std::optional<std::uint64_t> code_at(std::size_t p) const noexcept {
        std::size_t before = 0;
        for (std::size_t s = 0; s < skipped_count; ++s) {
            if (skipped[s] == p) return std::nullopt;
            before += skipped[s] < p;
        }
        return std::uint64_t(p - before);
    }
    /// The position of `t`, or npos (a binary search: the texts are in order).
    std::size_t find(std::string_view t) const noexcept {
        std::size_t lo = 0, hi = size;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            const int c = text(mid).compare(t);
            if (c == 0) return mid;
            if (c < 0) lo = mid + 1;
            else hi = mid;
        }
        return npos;
    }
};

/// Iterates a map by entry position, its entries made on the fly.
template <class Map, class Entry>
class PositionIterator {
public:
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    PositionIterator() = default;
    PositionIterator(const Map* m, std::size_t i) : m_(m), i_(i) {}
    Entry operator*() const noexcept { return m_->entry(i_); }
    PositionIterator& operator++() noexcept {
        ++i_;
        return *this;
    }
    PositionIterator operator++(int) noexcept { return {m_, i_++}; }
    bool operator==(const PositionIterator& o) const noexcept { return i_ == o.i_; }

private:
    const Map* m_ = nullptr;
    std::size_t i_ = 0;
};

/// A map over a column's texts that either views its sorted block (the
/// engine's maps: no entry of their own) or keeps entries (maps read from a
/// state, or added to). Derived gives size() and entry(i) for both.
template <class Derived, class Entries>
class BlockOrEntries {
public:
    using Entry = typename Entries::Entry;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    void assign_packed(SortedBlock block, std::shared_ptr<TextStore> texts) {
        entries_ = Entries();
        packed_ = std::move(block);
        texts_ = std::move(texts);
    }
    /// Replaces all entries by `entries`, whose keys the caller knows to be
    /// distinct; their texts view bytes in `texts`, which the map then shares.
    void assign_distinct(std::vector<Entry>&& entries, std::shared_ptr<TextStore> texts = {}) {
        drop_packed();
        entries_.assign_distinct(std::move(entries), std::move(texts));
    }
    bool empty() const noexcept { return self().size() == 0; }

    using iterator = PositionIterator<Derived, Entry>;
    iterator begin() const noexcept { return {&self(), 0}; }
    iterator end() const noexcept { return {&self(), self().size()}; }

protected:
    const Derived& self() const noexcept { return static_cast<const Derived&>(*this); }
    void drop_packed() {
        packed_ = SortedBlock();
        texts_.reset();
    }
    // Turns the block's texts into entries (which go on viewing the block,
    // its store then shared by the entries), so that entries can be added.
    void unpack() {
        if (!packed_) return;
        std::vector<Entry> entries(self().size());
        for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = self().entry(i);
        std::shared_ptr<TextStore> texts = std::move(texts_);
        drop_packed();
        entries_.assign_distinct(std::move(entries), std::move(texts));
    }

    Entries entries_;                   // when not packed
    SortedBlock packed_;
    std::shared_ptr<TextStore> texts_;  // keeps the block alive when packed
};

/// Distinct text of one column -> its code; the missing-value texts carry
/// none. Packed, a text's entry is its position in the block.
class LabelMap : public BlockOrEntries<LabelMap, FlatMap<StoredText, std::optional<std::uint64_t>, StringKey>> {
public:
    /// Appends an entry whose text the caller knows to be absent (the text is copied).
    void insert_new(std::string_view text, std::optional<std::uint64_t> code) {
        unpack();
        entries_.insert_new(text, code);
    }
    /// Inserts, or replaces the code of an equal text; the entry keeps its place.
    void insert_or_assign(std::string_view text, std::optional<std::uint64_t> code) {
        unpack();
        entries_.insert_or_assign(text, code);
    }
    void reserve(std::size_t n) {
        if (!packed_) entries_.reserve(n);
    }
    /// Makes lookups safe from several threads at once.
    void index() const {
        if (!packed_) entries_.index();
    }

    std::size_t size() const noexcept { return packed_ ? packed_.size : entries_.size(); }
    /// Position of the entry of `text` in iteration order, or npos.
    std::size_t find_index(std::string_view text) const {
        return packed_ ? packed_.find(text) : entries_.find_index(text);
    }
    /// The i-th entry in iteration order (i below size()).
    Entry entry(std::size_t i) const noexcept {
        if (!packed_) return entries_.entry(i);
        return {TextStore::view_in_block(packed_.text(i)), packed_.code_at(i)};
    }
    /// The store that this map's texts are in, to be shared by maps that view the same texts.
    const std::shared_ptr<TextStore>& texts() const { return packed_ ? texts_ : entries_.texts(); }
};

/// Code -> the text that carries it, viewing the texts of its column's
/// LabelMap, so that each distinct text is held once. Packed, a code's text
/// is found from where it starts in the block (8 bytes a code, where an entry
/// would take 24); a map read from a state, whose codes may be anything,
/// keeps entries.
class ReverseLabelMap : public BlockOrEntries<ReverseLabelMap, FlatMap<std::uint64_t, StoredText, U64Key>> {
public:
    static constexpr std::size_t k_max_skipped = SortedBlock::k_max_skipped;

    /// Appends an entry whose code the caller knows to be absent (the text is copied).
    void insert_new(std::uint64_t code, std::string_view text) {
        unpack();
        entries_.insert_new(code, text);
    }

    std::size_t size() const noexcept { return packed_ ? packed_.codes() : entries_.size(); }
    /// Position of the entry with `code` in iteration order, or npos.
    std::size_t find_index(std::uint64_t code) const {
        if (packed_) return code < packed_.codes() ? std::size_t(code) : npos;
        return entries_.find_index(code);
    }
    /// The i-th entry in iteration order (i below size()).
    Entry entry(std::size_t i) const noexcept {
        if (!packed_) return entries_.entry(i);
        return {std::uint64_t(i), TextStore::view_in_block(packed_.text(packed_.position_of(i)))};
    }
    std::optional<StoredText> find(std::uint64_t code) const {
        const std::size_t i = find_index(code);
        if (i == npos) return std::nullopt;
        return entry(i).second;
    }
};

struct EncodingInfo {
    std::vector<std::uint64_t> encoded_columns;
    FlatMap<std::uint64_t, LabelMap, U64Key> label_maps;
    FlatMap<std::uint64_t, ReverseLabelMap, U64Key> reverse_maps;
};

enum class StringEncoding : std::uint32_t { Label = 0 };

/// The state record of one Encoder. An absent record (null) and an empty one differ.
struct EncoderState {
    std::unique_ptr<EncodingInfo> encoding_info;
    StringEncoding encoding = StringEncoding::Label;
};

}  // namespace tovrik::core
