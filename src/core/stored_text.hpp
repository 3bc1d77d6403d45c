// Texts held by the learnt maps: views into blocks of bytes that the maps of a column share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tovrik::core {

/// A text a map holds: a view into bytes that the map keeps alive (its
/// TextStore). Reads as a std::string_view.
class StoredText {
public:
    StoredText() noexcept = default;

    operator std::string_view() const noexcept { return {data_, size_}; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    friend bool operator==(const StoredText& a, const StoredText& b) noexcept {
        return std::string_view(a) == std::string_view(b);
    }
    friend bool operator==(const StoredText& a, std::string_view b) noexcept { return std::string_view(a) == b; }

private:
    friend class TextStore;  // the only maker of views, so that every one has its bytes kept
    explicit StoredText(std::string_view t) noexcept : data_(t.data()), size_(t.size()) {}

    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

/// Append-only bytes behind StoredTexts: blocks never move once written, so
/// views stay valid for the life of the store, which every map viewing it
/// shares.
class TextStore {
public:
    /// A new block of n bytes for the caller to fill, then view with view_in_block.
    char* new_block(std::size_t n) {
        blocks_.emplace_back(new char[std::max<std::size_t>(n, 1)]);
        return blocks_.back().get();
    }

    /// A view of t, which must lie in a block of this store.
    static StoredText view_in_block(std::string_view t) noexcept { return StoredText(t); }

    /// A copy of t in the store.
    StoredText add(std::string_view t) {
        if (t.size() > room_left_) {
            room_left_ = std::max(k_block_bytes, t.size());
            room_ = new_block(room_left_);
        }
        if (!t.empty()) std::memcpy(room_, t.data(), t.size());
        const StoredText stored(std::string_view(room_, t.size()));
        room_ += t.size();
        room_left_ -= t.size();
        return stored;
    }

private:
    static constexpr std::size_t k_block_bytes = 1 << 16;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* room_ = nullptr;  // the unused end of the last block that add() made
    std::size_t room_left_ = 0;
};

}  // namespace tovrik::core
