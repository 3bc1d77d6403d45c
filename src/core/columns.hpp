// The parallel column step: every text column label-encoded into the shared output.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "core/label.hpp"
#include "core/pool.hpp"
#include "core/state.hpp"

namespace tovrik::core {

/// Handle on the output buffer, row-major or column-major. Tasks write
/// disjoint cells through it.
struct SendPtr {
    double* ptr;
    std::size_t row_stride;  // in elements
    std::size_t col_stride;

    double& at(std::size_t r, std::size_t c) const noexcept { return ptr[r * row_stride + c * col_stride]; }
};

/// Column-wise copy of the input's texts. Numeric columns are written to the
/// output buffer while the cells are read, so only the texts are kept here.
struct ColumnStore {
    std::size_t n_rows = 0;
    std::size_t n_columns = 0;
    std::vector<std::uint8_t> is_text;
    std::vector<std::vector<std::string_view>> text_columns;
};

struct ColumnLabels {
    std::uint64_t column;
    LabelMap label_map;
    ReverseLabelMap reverse_map;
};

/// A column given as indices into a list of texts: row r holds
/// texts[codes[r]] (as a pandas Categorical holds its cells). The texts need
/// not be distinct, nor all used.
struct CodedTexts {
    std::vector<std::string_view> texts;
    std::vector<std::uint32_t> codes;  // one per row, each below texts.size()
    std::vector<std::uint8_t> used;    // per text: held by some row
};

/// Where the intake hands each text column once its cells are read: the label
/// encoder, or a mapper that applies codes learnt before. Columns come in
/// ascending order. The texts handed over must stay unchanged and alive until
/// wait() returns or the sink is destroyed.
class TextColumnSink {
public:
    virtual ~TextColumnSink() = default;

    /// Column c from views of its texts, which the sink takes over; the cell
    /// of row `first_text` was the column's first that is not a number.
    virtual void submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) = 0;

    /// Column c from packed texts (every cell a text).
    virtual void submit(std::uint64_t c, const PackedTexts& texts) = 0;

    /// Column c as indices into texts, which the sink takes over; the cell of
    /// row `first_text` was the column's first that is not a number.
    virtual void submit(std::uint64_t c, CodedTexts&& column, std::size_t first_text) = 0;

    /// Waits for the work started on the pool; rethrows a task's failure.
    virtual void wait() = 0;

    /// Texts first, first + 1, ... of the column c that a later
    /// submit(c, CodedTexts) hands over, known before the column is read to
    /// its end: a sink may start on them. Called for one column at a time,
    /// in order; the column may still come as views instead (then these are
    /// dropped). The views stay valid as submit()'s do.
    virtual void early_texts(std::uint64_t /*c*/, std::span<const std::string_view> /*texts*/,
                             std::size_t /*first*/) {}

    /// How many distinct texts column c is expected to hold (0: no idea).
    virtual std::size_t expected_texts(std::uint64_t /*c*/) const { return 0; }
};

/// Label-encodes text columns on the worker pool while the caller goes on
/// reading further columns: each submitted column's codes go into its column
/// of the output buffer.
class TextColumnEncoder final : public TextColumnSink {
public:
    explicit TextColumnEncoder(SendPtr out) : out_(out) {}

    /// Starts column c; its views are freed as soon as the column is encoded.
    void submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) override;
    void submit(std::uint64_t c, const PackedTexts& texts) override;
    /// Encodes the used texts once and gathers each row's code.
    void submit(std::uint64_t c, CodedTexts&& column, std::size_t first_text) override;
    void wait() override {
        flush();
        tasks_.wait();
    }

    /// Waits for every submitted column; one record per column, ascending.
    std::vector<ColumnLabels> finish();

private:
    // Runs encode(out) for column c on the pool, its maps into a new record.
    template <class Encode>
    void start(std::uint64_t c, Encode encode);

    // Short columns go to the pool together, a task for many of them: one
    // each, a wide frame's columns cost more to hand over than to encode.
    struct Batch {
        struct Column {
            ColumnLabels* slot;
            StridedOut out;
            std::size_t begin, end;  // its views in `views`
        };
        std::vector<std::string_view> views;
        std::vector<Column> columns;
    };
    static constexpr std::size_t k_batch_rows = 256;     // a column this short is batched
    static constexpr std::size_t k_batch_views = 1 << 14;  // a batch goes when it holds this many
    void flush();

    SendPtr out_;
    std::deque<ColumnLabels> results_;  // stable addresses while tasks fill them
    Batch batch_;                       // short columns not yet started
    std::deque<Batch> batches_;
    std::deque<std::vector<std::string_view>> owned_;
    std::deque<CodedTexts> owned_coded_;
    PoolTasks tasks_;                   // declared last: waited for first
};

/// Whether some row holds each text of `column`.
inline bool all_used(const CodedTexts& column) {
    return std::find(column.used.begin(), column.used.end(), 0) == column.used.end();
}

/// Keeps only the texts of `column` that some row holds, in their order, and
/// renumbers the rows' codes to match.
void drop_unused(CodedTexts& column);

/// Files the records of `encode_columns` into a new EncodingInfo.
EncodingInfo make_encoding_info(std::vector<ColumnLabels>&& labels);

}  // namespace tovrik::core
