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

/// Distinct text of one column -> its code; the missing-value texts carry none.
using LabelMap = FlatMap<StoredText, std::optional<std::uint64_t>, StringKey>;
/// Code -> the text that carries it, viewing the texts of its column's
/// LabelMap, so that each distinct text is held once.
///
/// The engine lays a column's distinct texts out in ascending order in one
/// block and numbers them in that order, so its reverse map is where each
/// text starts in the block (8 bytes a code, where an entry would take 24).
/// A map read from a state, whose codes may be anything, keeps entries.
class ReverseLabelMap {
public:
    using Entry = std::pair<std::uint64_t, StoredText>;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr std::size_t k_max_skipped = 3;  // "nan", "NaN" and "<NA>"

    /// Codes 0, 1, ... for the texts of a block in order, passing over the
    /// texts at positions `skipped` (ascending): text p lies at
    /// block[starts[p], starts[p + 1]), for p below `texts_in_block`.
    void assign_packed(const char* block, std::shared_ptr<const std::uint64_t[]> starts, std::size_t texts_in_block,
                       std::span<const std::size_t> skipped, std::shared_ptr<TextStore> texts) {
        if (skipped.size() > k_max_skipped || skipped.size() > texts_in_block)
            throw std::logic_error("too many texts without a code");
        entries_ = ReverseEntries();
        block_ = block;
        starts_ = std::move(starts);
        packed_size_ = texts_in_block - skipped.size();
        skipped_count_ = skipped.size();
        std::copy(skipped.begin(), skipped.end(), skipped_.begin());
        texts_ = std::move(texts);
    }
    /// Replaces all entries by `entries`, whose codes the caller knows to be
    /// distinct; their texts view bytes in `texts`, which the map then shares.
    void assign_distinct(std::vector<Entry>&& entries, std::shared_ptr<TextStore> texts = {}) {
        unpack();
        entries_.assign_distinct(std::move(entries), std::move(texts));
    }
    /// Appends an entry whose code the caller knows to be absent (the text is copied).
    void insert_new(std::uint64_t code, std::string_view text) {
        unpack();
        entries_.insert_new(code, text);
    }

    std::size_t size() const noexcept { return starts_ ? packed_size_ : entries_.size(); }
    bool empty() const noexcept { return size() == 0; }

    /// Position of the entry with `code` in iteration order, or npos.
    std::size_t find_index(std::uint64_t code) const {
        if (starts_) return code < packed_size_ ? std::size_t(code) : npos;
        return entries_.find_index(code);
    }
    /// The i-th entry in iteration order (i below size()).
    Entry entry(std::size_t i) const noexcept {
        if (!starts_) return entries_.entry(i);
        std::size_t p = i;  // the block position of code i
        for (std::size_t s = 0; s < skipped_count_; ++s) p += skipped_[s] <= p;
        return {std::uint64_t(i), TextStore::view_in_block(
                                      std::string_view(block_ + starts_[p], std::size_t(starts_[p + 1] - starts_[p])))};
    }
    std::optional<StoredText> find(std::uint64_t code) const {
        const std::size_t i = find_index(code);
        if (i == npos) return std::nullopt;
        return entry(i).second;
    }

    class iterator {
    public:
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        iterator(const ReverseLabelMap* m, std::size_t i) : m_(m), i_(i) {}
        Entry operator*() const noexcept { return m_->entry(i_); }
        iterator& operator++() noexcept {
            ++i_;
            return *this;
        }
        iterator operator++(int) noexcept { return {m_, i_++}; }
        bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }

    private:
        const ReverseLabelMap* m_ = nullptr;
        std::size_t i_ = 0;
    };
    iterator begin() const noexcept { return {this, 0}; }
    iterator end() const noexcept { return {this, size()}; }

private:
    using ReverseEntries = FlatMap<std::uint64_t, StoredText, U64Key>;

    void unpack() {
        if (!starts_) return;
        starts_.reset();
        texts_.reset();
        block_ = nullptr;
        packed_size_ = skipped_count_ = 0;
    }

    ReverseEntries entries_;                          // when not packed
    const char* block_ = nullptr;                     // when packed: the texts, in code order
    std::shared_ptr<const std::uint64_t[]> starts_;   // null unless packed
    std::size_t packed_size_ = 0;
    std::size_t skipped_count_ = 0;
    std::array<std::size_t, k_max_skipped> skipped_{};
    std::shared_ptr<TextStore> texts_;                // keeps block_ alive
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
