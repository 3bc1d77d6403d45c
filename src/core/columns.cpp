// Parallel driver over the text columns of one intake.
#include "core/columns.hpp"

#include <oneapi/tbb/parallel_for.h>

#include <optional>

#include "core/label.hpp"
#include "core/pool.hpp"

namespace tovrik::core {

std::vector<ColumnLabels> encode_columns(const ColumnStore& store, SendPtr out) {
    std::vector<std::uint64_t> text_idx;
    for (std::size_t c = 0; c < store.n_columns; ++c)
        if (store.is_text[c]) text_idx.push_back(c);
    if (text_idx.empty()) return {};

    // One slot per text column: results land in column order whatever the
    // order in which tasks finish.
    std::vector<std::optional<ColumnLabels>> slots(text_idx.size());
    run_in_pool([&] {
        tbb::parallel_for(std::size_t(0), text_idx.size(), [&](std::size_t j) {
            const std::uint64_t c = text_idx[j];
            const auto& col = store.text_columns[c];
            ColumnCodes codes = label_encode(col, StridedOut{out.ptr + c, store.n_columns});
            slots[j].emplace(ColumnLabels{c, std::move(codes.label_map), std::move(codes.reverse_map)});
        });
    });
    std::vector<ColumnLabels> result;
    result.reserve(slots.size());
    for (auto& s : slots) result.push_back(std::move(*s));
    return result;
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
