// Parallel driver over the text columns of one intake.
#include "core/columns.hpp"

#include "core/label.hpp"
#include "core/pool.hpp"

#include <utility>

namespace tovrik::core {

template <class Encode>
void TextColumnEncoder::start(std::uint64_t c, Encode encode) {
    ColumnLabels& slot = results_.emplace_back();
    slot.column = c;
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    tasks_.run([&slot, encode, out] {
        ColumnCodes codes = encode(out);
        slot.label_map = std::move(codes.label_map);
        slot.reverse_map = std::move(codes.reverse_map);
    });
}

void TextColumnEncoder::flush() {
    if (batch_.columns.empty()) return;
    Batch* mine = &batches_.emplace_back(std::exchange(batch_, Batch{}));
    tasks_.run([mine] {
        for (const Batch::Column& col : mine->columns) {
            ColumnCodes codes = label_encode(
                std::span<const std::string_view>(mine->views.data() + col.begin, col.end - col.begin), col.out);
            col.slot->label_map = std::move(codes.label_map);
            col.slot->reverse_map = std::move(codes.reverse_map);
        }
        std::vector<std::string_view>().swap(mine->views);  // the views are done with
    });
}

void TextColumnEncoder::submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t) {
    if (texts.size() <= k_batch_rows) {
        ColumnLabels& slot = results_.emplace_back();
        slot.column = c;
        if (batch_.views.empty()) batch_.views.reserve(k_batch_views + k_batch_rows);
        const std::size_t begin = batch_.views.size();
        batch_.views.insert(batch_.views.end(), texts.begin(), texts.end());
        batch_.columns.push_back({&slot, StridedOut{&out_.at(0, c), out_.row_stride}, begin, batch_.views.size()});
        // The column's own views are let go now: their room, still in the
        // cache, goes to the next column's.
        std::vector<std::string_view>().swap(texts);
        if (batch_.views.size() >= k_batch_views) flush();
        return;
    }
    std::vector<std::string_view>* mine = &owned_.emplace_back(std::move(texts));
    start(c, [mine](StridedOut out) {
        return label_encode(std::move(*mine), out);  // which lets the views go
    });
}

void TextColumnEncoder::submit(std::uint64_t c, const PackedTexts& texts) {
    start(c, [texts](StridedOut out) { return label_encode(texts, out); });
}

void drop_unused(CodedTexts& column) {
    if (all_used(column)) return;
    std::vector<std::uint32_t> place(column.texts.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < column.texts.size(); ++k) {
        if (!column.used[k]) continue;
        place[k] = std::uint32_t(kept);
        column.texts[kept++] = column.texts[k];
    }
    column.texts.resize(kept);
    column.used.assign(kept, 1);
    for (std::uint32_t& code : column.codes) code = place[code];
}

void TextColumnEncoder::submit(std::uint64_t c, CodedTexts&& column, std::size_t) {
    CodedTexts* mine = &owned_coded_.emplace_back(std::move(column));
    start(c, [mine](StridedOut out) {
        // Only the texts some row holds are learnt: label-encode those, then
        // give every row its text's code.
        drop_unused(*mine);
        std::vector<double> code_of(mine->texts.size());
        ColumnCodes codes = label_encode(std::move(mine->texts), StridedOut{code_of.data(), 1});
        const std::size_t rows = mine->codes.size();
        for (std::size_t r = 0; r < rows; ++r) out.data[r * out.stride] = code_of[mine->codes[r]];
        std::vector<std::uint32_t>().swap(mine->codes);
        return codes;
    });
}

std::vector<ColumnLabels> TextColumnEncoder::finish() {
    wait();
    std::vector<ColumnLabels> done;
    done.reserve(results_.size());
    for (ColumnLabels& l : results_) done.push_back(std::move(l));
    results_.clear();
    return done;
}

EncodingInfo make_encoding_info(std::vector<ColumnLabels>&& labels) {
    EncodingInfo info;
    info.encoded_columns.reserve(labels.size());
    info.label_maps.reserve(labels.size());
    info.reverse_maps.reserve(labels.size());
    for (ColumnLabels& l : labels) {
        info.encoded_columns.push_back(l.column);
        info.label_maps.insert_new(l.column, std::move(l.label_map));
        info.reverse_maps.insert_new(l.column, std::move(l.reverse_map));
    }
    return info;
}

}  // namespace tovrik::core
