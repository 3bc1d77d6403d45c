// Learnt codes applied row by row: each text is hashed once and looked up in
// the learnt map, with the text, its slot and its entry fetched into the cache
// a few rows ahead, since both the texts and the map lie all over memory.
#include "core/apply.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "core/text.hpp"

namespace tovrik::core {

namespace {

constexpr std::size_t k_grain = 1 << 13;
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

inline bool same_key(std::string_view stored, std::string_view text) {
    return stored.size() == text.size() && same_text(stored.data(), text);
}

// The code of one text, or NaN; flags a text the map does not hold.
inline double code_of(const LabelMap& map, std::string_view text, std::uint64_t h, bool& unknown) {
    const std::size_t j = map.find_index_hashed(text, h, same_key);
    if (j == LabelMap::npos) {
        unknown = !is_missing_text(text);
        return k_nan;
    }
    const auto& code = map.entry(j).second;
    return code ? static_cast<double>(*code) : k_nan;
}

inline double code_of_text(const LabelMap& map, std::string_view text, bool& unknown) {
    return code_of(map, text, map.hash_of(text), unknown);
}

void lower_to(std::atomic<std::size_t>& first, std::size_t row) {
    std::size_t cur = first.load(std::memory_order_relaxed);
    while (row < cur && !first.compare_exchange_weak(cur, row, std::memory_order_relaxed)) {
    }
}

// Rows [0, n) of a column whose text i is text(i), with the row's own memory
// prefetched by prefetch_row(i).
template <class Text, class PrefetchRow>
std::size_t apply_rows(std::size_t n, Text text, PrefetchRow prefetch_row, const LabelMap& map, StridedOut out) {
    std::atomic<std::size_t> first{k_no_row};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, k_grain), [&](const auto& r) {
        // Three stages ahead of the lookup: the text's bytes (16 rows ahead),
        // its hash and slot (8 ahead), the entry that slot points to (4 ahead).
        constexpr std::size_t k_ring = 16;
        std::uint64_t hashes[k_ring];
        const std::size_t b = r.begin(), e = r.end();
        for (std::size_t i = b; i < e && i < b + 16; ++i) prefetch_row(i);
        for (std::size_t i = b; i < e && i < b + 8; ++i) {
            hashes[i % k_ring] = map.hash_of(text(i));
            map.prefetch_slot(hashes[i % k_ring]);
        }
        for (std::size_t i = b; i < e && i < b + 4; ++i) map.prefetch_entry(hashes[i % k_ring]);
        std::size_t local = k_no_row;
        for (std::size_t i = b; i < e; ++i) {
            if (i + 16 < e) prefetch_row(i + 16);
            if (i + 8 < e) {
                const std::uint64_t h = map.hash_of(text(i + 8));
                hashes[(i + 8) % k_ring] = h;
                map.prefetch_slot(h);
            }
            if (i + 4 < e) map.prefetch_entry(hashes[(i + 4) % k_ring]);
            bool unknown = false;
            out.data[i * out.stride] = code_of(map, text(i), hashes[i % k_ring], unknown);
            if (unknown && local == k_no_row) local = i;
        }
        if (local != k_no_row) lower_to(first, local);
    });
    return first.load();
}

}  // namespace

std::size_t apply_labels(std::span<const std::string_view> column, const LabelMap& map, StridedOut out) {
    return apply_rows(
        column.size(), [&](std::size_t i) { return column[i]; },
        [&](std::size_t i) { __builtin_prefetch(column[i].data()); }, map, out);
}

std::size_t apply_labels(const PackedTexts& column, const LabelMap& map, StridedOut out) {
    static const char empty = 0;
    const char* data = column.data != nullptr ? column.data : &empty;  // every text is empty then
    auto run = [&](const auto* offsets) {
        return apply_rows(
            column.size,
            [=](std::size_t i) { return std::string_view(data + offsets[i], std::size_t(offsets[i + 1] - offsets[i])); },
            [=](std::size_t i) { __builtin_prefetch(data + offsets[i]); }, map, out);
    };
    if (column.wide) return run(static_cast<const std::int64_t*>(column.offsets));
    return run(static_cast<const std::int32_t*>(column.offsets));
}

std::size_t apply_labels_to_numbers(StridedOut cells, std::size_t rows, const LabelMap& map,
                                    std::string& first_text) {
    std::mutex lock;  // taken once per block that meets an unknown text
    std::size_t first = k_no_row;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, rows, k_grain), [&](const auto& r) {
        std::string text;
        std::size_t local = k_no_row;
        std::string local_text;
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            double& cell = cells.data[i * cells.stride];
            text.clear();
            append_float_text(text, cell);
            bool unknown = false;
            cell = code_of(map, text, map.hash_of(std::string_view(text)), unknown);
            if (unknown && local == k_no_row) {
                local = i;
                local_text = text;
            }
        }
        if (local == k_no_row) return;
        std::lock_guard<std::mutex> guard(lock);
        if (local < first) {
            first = local;
            first_text = std::move(local_text);
        }
    });
    return first;
}

std::optional<LearntMapping> LearntMapping::prepare(std::unique_ptr<EncodingInfo> info,
                                                    std::uint64_t& missing_column) {
    LearntMapping m;
    m.columns_ = info->encoded_columns;
    std::sort(m.columns_.begin(), m.columns_.end());
    m.columns_.erase(std::unique(m.columns_.begin(), m.columns_.end()), m.columns_.end());
    m.maps_.reserve(m.columns_.size());
    for (std::uint64_t c : m.columns_) {
        const LabelMap* map = info->label_maps.find(c);
        if (map == nullptr) {
            missing_column = c;
            return std::nullopt;
        }
        map->index();  // looked up from many workers later
        m.maps_.push_back(map);
    }
    m.info_ = std::move(info);
    return m;
}

const LabelMap* LearntMapping::map_of(std::uint64_t c) const noexcept {
    auto it = std::lower_bound(columns_.begin(), columns_.end(), c);
    return it != columns_.end() && *it == c ? maps_[std::size_t(it - columns_.begin())] : nullptr;
}

void LabelApplier::submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) {
    const LabelMap* map = mapping_.map_of(c);
    if (map == nullptr) {
        faults_.push_back({c, first_text, std::string(texts[first_text]), true});
        return;
    }
    std::vector<std::string_view>* mine = &owned_.emplace_back(std::move(texts));
    ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    tasks_.run([mine, map, fault, out] {
        fault->row = apply_labels(*mine, *map, out);
        if (fault->row != k_no_row) fault->text.assign((*mine)[fault->row]);
        std::vector<std::string_view>().swap(*mine);
    });
}

void LabelApplier::submit(std::uint64_t c, const PackedTexts& texts) {
    const LabelMap* map = mapping_.map_of(c);
    auto text_at = [texts](std::size_t i) {  // by value: the task outlives the caller's texts
        auto at = [&](auto* o) { return std::string(texts.data + o[i], std::size_t(o[i + 1] - o[i])); };
        return texts.wide ? at(static_cast<const std::int64_t*>(texts.offsets))
                          : at(static_cast<const std::int32_t*>(texts.offsets));
    };
    if (map == nullptr) {
        faults_.push_back({c, 0, texts.size == 0 ? std::string() : text_at(0), true});
        return;
    }
    ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    tasks_.run([texts, map, fault, out, text_at] {
        fault->row = apply_labels(texts, *map, out);
        if (fault->row != k_no_row) fault->text = text_at(fault->row);
    });
}

std::size_t LabelApplier::expected_texts(std::uint64_t c) const {
    const LabelMap* map = mapping_.map_of(c);
    return map != nullptr ? map->size() : 0;
}

LabelApplier::EarlyColumn* LabelApplier::early_of(std::uint64_t c) {
    return !early_.empty() && early_.back().column == c ? &early_.back() : nullptr;
}

void LabelApplier::early_texts(std::uint64_t c, std::span<const std::string_view> texts, std::size_t first) {
    const LabelMap* map = mapping_.map_of(c);
    if (map == nullptr) return;
    EarlyColumn* col = early_of(c);
    if (col == nullptr) col = &early_.emplace_back(c);
    std::size_t have = 0;
    for (const EarlyBatch& b : col->batches) have += b.codes.size();
    if (have != first) return;  // batches must follow one another; submit() looks up the rest
    EarlyBatch* batch = &col->batches.emplace_back();
    batch->texts.assign(texts.begin(), texts.end());
    batch->codes.resize(texts.size());
    col->pending.fetch_add(1, std::memory_order_relaxed);
    tasks_.run([batch, map, col] {
        batch->unknown = apply_labels(batch->texts, *map, StridedOut{batch->codes.data(), 1}) != k_no_row;
        std::vector<std::string_view>().swap(batch->texts);
        col->done();
    });
}

void LabelApplier::submit(std::uint64_t c, CodedTexts&& column, std::size_t first_text) {
    const LabelMap* map = mapping_.map_of(c);
    if (map == nullptr) {
        faults_.push_back({c, first_text, std::string(column.texts[column.codes[first_text]]), true});
        return;
    }
    CodedTexts* mine = &owned_coded_.emplace_back(std::move(column));
    ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    EarlyColumn* early = early_of(c);
    if (early == nullptr || !all_used(*mine))
        early = &early_.emplace_back(c);  // nothing looked up early (or to be renumbered): a record of its own
    // Once every text is looked up: the rows gather their texts' codes, and
    // the lowest row whose text is unknown (not merely without a code) is
    // found, each text of a NaN row looked at once, until one is.
    early->then = [mine, map, fault, out, early] {
        std::vector<double>& codes = early->code_of;
        bool unknown = early->rest_unknown;
        std::size_t at = 0;
        for (EarlyBatch& b : early->batches) {
            std::copy(b.codes.begin(), b.codes.end(), codes.begin() + std::ptrdiff_t(at));
            at += b.codes.size();
            unknown = unknown || b.unknown;
            std::vector<double>().swap(b.codes);
        }
        const std::size_t rows = mine->codes.size();
        for (std::size_t r = 0; r < rows; ++r) out.data[r * out.stride] = codes[mine->codes[r]];
        std::vector<std::uint8_t> seen(unknown ? codes.size() : 0, 0);
        for (std::size_t r = 0; unknown && r < rows; ++r) {
            const std::uint32_t t = mine->codes[r];
            if (codes[t] == codes[t] || seen[t]) continue;
            seen[t] = 1;
            bool is_unknown = false;
            code_of_text(*map, mine->texts[t], is_unknown);
            if (is_unknown) {
                fault->row = r;
                fault->text.assign(mine->texts[t]);
                break;
            }
        }
        std::vector<std::string_view>().swap(mine->texts);
        std::vector<std::uint32_t>().swap(mine->codes);
        std::vector<double>().swap(codes);
    };
    tasks_.run([mine, map, early] {
        // The texts not looked up early.
        drop_unused(*mine);
        std::size_t done = 0;
        for (const EarlyBatch& b : early->batches) done += b.codes.size();
        early->code_of.resize(mine->texts.size());
        const std::span<const std::string_view> rest(mine->texts.data() + done, mine->texts.size() - done);
        early->rest_unknown = apply_labels(rest, *map, StridedOut{early->code_of.data() + done, 1}) != k_no_row;
        early->done();
    });
}

std::vector<ColumnFault> LabelApplier::finish(std::span<const std::uint8_t> is_text, std::size_t rows) {
    wait();
    for (std::uint64_t c : mapping_.columns()) {
        if (c >= is_text.size() || is_text[c] || rows == 0) continue;
        const LabelMap* map = mapping_.map_of(c);
        ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
        const StridedOut cells{&out_.at(0, c), out_.row_stride};
        tasks_.run([cells, rows, map, fault] { fault->row = apply_labels_to_numbers(cells, rows, *map, fault->text); });
    }
    wait();
    std::vector<ColumnFault> found;
    for (ColumnFault& f : faults_)
        if (f.row != k_no_row) found.push_back(std::move(f));
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.column < b.column; });
    return found;
}

}  // namespace tovrik::core
