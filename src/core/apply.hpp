// Applying codes learnt before to the texts of a new column.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <functional>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns.hpp"
#include "core/hash.hpp"
#include "core/label.hpp"
#include "core/pool.hpp"
#include "core/state.hpp"
#include "core/text.hpp"

namespace tovrik::core {

inline constexpr std::size_t k_no_row = static_cast<std::size_t>(-1);

/// A learnt label map laid out for looking texts up: one 32-byte slot per
/// text in an open-addressing table, holding the hash tag, the length, the
/// code as the double it is written as, and the text itself when it is
/// short (else a view of the map's bytes). A lookup of a short text reads
/// one cache line, where the map itself would read its index, its entry and
/// the entry's bytes, each elsewhere in memory. Read-only once built, so many
/// threads may look up at once. The map's bytes must outlive the table.
class ApplyTable {
public:
    explicit ApplyTable(const LabelMap& map);
    ~ApplyTable();
    ApplyTable(ApplyTable&& o) noexcept;
    ApplyTable& operator=(ApplyTable&&) = delete;
    ApplyTable(const ApplyTable&) = delete;
    ApplyTable& operator=(const ApplyTable&) = delete;

    /// The number of texts the map holds.
    std::size_t size() const noexcept { return size_; }

    std::uint64_t hash_of(std::string_view text) const noexcept { return hash_bytes(text, seed_); }
    void prefetch(std::uint64_t h) const noexcept { __builtin_prefetch(&slots_[h & mask_]); }

    /// The code of `text` (whose hash is h): the entry's code, or NaN for an
    /// entry without one; NaN and `held` false for a text the map lacks.
    double code(std::string_view text, std::uint64_t h, bool& held) const noexcept {
        const std::uint64_t head = head_of(text.size(), h);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.head == 0) {
                held = false;
                return s.code;  // NaN in every empty slot
            }
            if (s.head == head && (text.size() <= k_inline ? same_text(s.bytes, text)
                                                             : s.far.size == text.size() && same_text(s.far.data, text))) {
                held = true;
                return s.code;
            }
        }
    }

private:
    static constexpr std::size_t k_inline = 16;
    struct Far {
        const char* data;
        std::size_t size;  // the head's length is capped at 2^32 - 1 bytes
    };
    struct alignas(32) Slot {
        std::uint64_t head;  // 0: empty; else (tag | 1) << 32 | length (capped)
        double code;
        union {
            char bytes[k_inline];  // texts of up to k_inline bytes
            Far far;               // longer ones
        };
    };
    static std::uint64_t head_of(std::size_t n, std::uint64_t h) noexcept {
        const std::uint64_t len = n < 0xffffffffu ? n : 0xffffffffu;
        return (((h >> 32) | 1) << 32) | len;
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::uint64_t seed_;
};

/// Writes each row's code from `table` to `out`: the entry's code, NaN for an
/// entry without one, NaN for a text the map does not hold. "nan", "NaN" and
/// "<NA>" that the map does not hold are missing values; any other text it
/// does not hold is unknown. Returns the lowest row holding an unknown text,
/// or k_no_row. Must run inside the worker pool.
std::size_t apply_labels(std::span<const std::string_view> column, const ApplyTable& table, StridedOut out);
std::size_t apply_labels(const PackedTexts& column, const ApplyTable& table, StridedOut out);

/// The same for a column that held only numbers: each value of `cells`
/// becomes its text by the float text rule, and its code replaces it in place.
/// The text of the first unknown row goes to `first_text`.
std::size_t apply_labels_to_numbers(StridedOut cells, std::size_t rows, const ApplyTable& table,
                                    std::string& first_text);

/// A learnt mapping made ready to apply: the state record, and the lookup
/// table of each column it lists.
class LearntMapping {
public:
    /// Takes over a record read from an Encoder's state. Fails (returns the
    /// column) when a listed column has no label map.
    static std::optional<LearntMapping> prepare(std::unique_ptr<EncodingInfo> info, std::uint64_t& missing_column);

    /// The listed columns, ascending, each once.
    const std::vector<std::uint64_t>& columns() const noexcept { return columns_; }
    /// The lookup table of column c's label map, or null when c is not listed.
    const ApplyTable* table_of(std::uint64_t c) const noexcept;

private:
    std::unique_ptr<EncodingInfo> info_;  // holds the bytes the tables view
    std::vector<std::uint64_t> columns_;
    std::vector<ApplyTable> tables_;  // by position in columns_
};

/// What applying found in one column that keeps it from being coded alike.
struct ColumnFault {
    std::uint64_t column;
    std::size_t row;
    std::string text;
    bool unlisted;  // a text in a column the mapping does not list; else an unknown text
};

/// The sink that codes each text column by the learnt mapping on the pool,
/// while the caller reads further columns. A text column the mapping does not
/// list is a fault at its first text.
class LabelApplier final : public TextColumnSink {
public:
    LabelApplier(const LearntMapping& mapping, SendPtr out) : mapping_(mapping), out_(out) {}

    void submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) override;
    void submit(std::uint64_t c, const PackedTexts& texts) override;
    void submit(std::uint64_t c, CodedTexts&& column, std::size_t first_text) override;
    /// Looks the texts up on the pool while the caller reads on.
    void early_texts(std::uint64_t c, std::span<const std::string_view> texts, std::size_t first) override;
    /// As many as column c's label map holds.
    std::size_t expected_texts(std::uint64_t c) const override;
    void wait() override { tasks_.wait(); }

    /// After wait(): codes the listed columns that held only numbers (those
    /// not submitted), then returns every fault found, by column.
    std::vector<ColumnFault> finish(std::span<const std::uint8_t> is_text, std::size_t rows);

private:
    const LearntMapping& mapping_;
    SendPtr out_;
    std::deque<ColumnFault> faults_;  // stable addresses while tasks fill them
    std::deque<std::vector<std::string_view>> owned_;
    std::deque<CodedTexts> owned_coded_;
    // The codes of a coded column's texts looked up before the column was
    // submitted, a batch at a time.
    struct EarlyBatch {
        std::vector<std::string_view> texts;
        std::vector<double> codes;
        bool unknown = false;
    };
    struct EarlyColumn {
        std::uint64_t column;
        std::deque<EarlyBatch> batches;  // texts 0, 1, ... in order
        // Tasks still to end: the batches', and one for the column's own
        // (submit()); the last to end runs `then`, which submit() sets.
        std::atomic<std::size_t> pending{1};
        std::function<void()> then;
        std::vector<double> code_of;  // per text, filled by the batches and the column's own task
        bool rest_unknown = false;    // the column's own task met an unknown text
        void done() {
            if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1) then();
        }
    };
    EarlyColumn* early_of(std::uint64_t c);
    std::deque<EarlyColumn> early_;  // the last one may still be taking batches
    PoolTasks tasks_;  // declared last: waited for first
};

}  // namespace tovrik::core
