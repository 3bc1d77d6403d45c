// Learnt codes applied row by row: each text is hashed once and looked up in
// the column's lookup table, with the text and its slot fetched into the cache
// a few rows ahead, since both the texts and the table lie all over memory.
#include "core/apply.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <limits>
#include <mutex>
#include <string>
#include <utility>

#include <sys/mman.h>

#include "core/text.hpp"

namespace tovrik::core {

namespace {

constexpr std::size_t k_grain = 1 << 13;

// The code of one text, or NaN; flags a text the map does not hold.
inline double code_of(const ApplyTable& table, std::string_view text, std::uint64_t h, bool& unknown) {
    bool held;
    const double code = table.code(text, h, held);
    if (!held) unknown = !is_missing_text(text);
    return code;
}

inline double code_of_text(const ApplyTable& table, std::string_view text, bool& unknown) {
    return code_of(table, text, table.hash_of(text), unknown);
}

void lower_to(std::atomic<std::size_t>& first, std::size_t row) {
    std::size_t cur = first.load(std::memory_order_relaxed);
    while (row < cur && !first.compare_exchange_weak(cur, row, std::memory_order_relaxed)) {
    }
}

// Rows [0, n) of a column whose text i is text(i), with the row's own memory
// prefetched by prefetch_row(i).
template <class Text, class PrefetchRow>
std::size_t apply_rows(std::size_t n, Text text, PrefetchRow prefetch_row, const ApplyTable& table,
                       StridedOut out) {
    std::atomic<std::size_t> first{k_no_row};
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, k_grain), [&](const auto& r) {
        // Two stages ahead of the lookup: the text's bytes (16 rows ahead),
        // its hash and slot (8 ahead).
        constexpr std::size_t k_ring = 8;
        std::uint64_t hashes[k_ring];
        const std::size_t b = r.begin(), e = r.end();
        for (std::size_t i = b; i < e && i < b + 16; ++i) prefetch_row(i);
        for (std::size_t i = b; i < e && i < b + k_ring; ++i) {
            hashes[i % k_ring] = table.hash_of(text(i));
            table.prefetch(hashes[i % k_ring]);
        }
        std::size_t local = k_no_row;
        double* to = out.data;
        const std::size_t stride = out.stride;
        for (std::size_t i = b; i < e; ++i) {
            if (i + 16 < e) prefetch_row(i + 16);
            const std::uint64_t h = hashes[i % k_ring];
            if (i + k_ring < e) {
                const std::uint64_t next = table.hash_of(text(i + k_ring));
                hashes[i % k_ring] = next;
                table.prefetch(next);
            }
            bool unknown = false;
            to[i * stride] = code_of(table, text(i), h, unknown);
            if (unknown && local == k_no_row) local = i;
        }
        if (local != k_no_row) lower_to(first, local);
    });
    return first.load();
}

void* allocate_slots(std::size_t bytes) {
    // Lookups land all over a large table: huge pages spare a page walk per lookup.
    constexpr std::size_t k_huge = std::size_t(1) << 21;
    const std::size_t align = bytes >= k_huge ? k_huge : 64;
    void* p = std::aligned_alloc(align, bytes);
    if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (align == k_huge) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

}  // namespace

std::size_t apply_labels(std::span<const std::string_view> column, const ApplyTable& table, StridedOut out) {
    return apply_rows(
        column.size(), [&](std::size_t i) { return column[i]; },
        [&](std::size_t i) { __builtin_prefetch(column[i].data()); }, table, out);
}

std::size_t apply_labels(const PackedTexts& column, const ApplyTable& table, StridedOut out) {
    static const char empty = 0;
    const char* data = column.data != nullptr ? column.data : &empty;  // every text is empty then
    auto run = [&](const auto* offsets) {
        return apply_rows(
            column.size,
            [=](std::size_t i) { return std::string_view(data + offsets[i], std::size_t(offsets[i + 1] - offsets[i])); },
            [=](std::size_t i) { __builtin_prefetch(data + offsets[i]); }, table, out);
    };
    if (column.wide) return run(static_cast<const std::int64_t*>(column.offsets));
    return run(static_cast<const std::int32_t*>(column.offsets));
}

std::size_t apply_labels_to_numbers(StridedOut cells, std::size_t rows, const ApplyTable& table,
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
            cell = code_of_text(table, text, unknown);
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

ApplyTable::ApplyTable(const LabelMap& map) : size_(map.size()), seed_(next_seed()) {
    const std::size_t cap = half_full_slots(size_);
    slots_ = static_cast<Slot*>(allocate_slots(cap * sizeof(Slot)));
    mask_ = cap - 1;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < cap; ++i) {
        slots_[i].head = 0;
        slots_[i].code = nan;
        slots_[i].far = Far{nullptr, 0};
    }
    for (const auto& [key, code] : map) {
        const std::string_view text(key);
        const std::uint64_t h = hash_of(text);
        std::size_t i = h & mask_;
        while (slots_[i].head != 0) i = (i + 1) & mask_;
        Slot& s = slots_[i];
        s.head = head_of(text.size(), h);
        s.code = code ? static_cast<double>(*code) : nan;
        if (text.size() <= k_inline) {
            if (!text.empty()) std::memcpy(s.bytes, text.data(), text.size());
        } else {
            s.far = Far{text.data(), text.size()};
        }
    }
}

ApplyTable::ApplyTable(ApplyTable&& o) noexcept
    : slots_(std::exchange(o.slots_, nullptr)), mask_(o.mask_), size_(o.size_), seed_(o.seed_) {}

ApplyTable::~ApplyTable() { std::free(slots_); }

std::optional<LearntMapping> LearntMapping::prepare(std::unique_ptr<EncodingInfo> info,
                                                    std::uint64_t& missing_column) {
    LearntMapping m;
    m.columns_ = info->encoded_columns;
    std::sort(m.columns_.begin(), m.columns_.end());
    m.columns_.erase(std::unique(m.columns_.begin(), m.columns_.end()), m.columns_.end());
    m.tables_.reserve(m.columns_.size());
    for (std::uint64_t c : m.columns_) {
        const LabelMap* map = info->label_maps.find(c);
        if (map == nullptr) {
            missing_column = c;
            return std::nullopt;
        }
        m.tables_.emplace_back(*map);
    }
    m.info_ = std::move(info);
    return m;
}

const ApplyTable* LearntMapping::table_of(std::uint64_t c) const noexcept {
    auto it = std::lower_bound(columns_.begin(), columns_.end(), c);
    return it != columns_.end() && *it == c ? &tables_[std::size_t(it - columns_.begin())] : nullptr;
}

void LabelApplier::submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) {
    const ApplyTable* table = mapping_.table_of(c);
    if (table == nullptr) {
        faults_.push_back({c, first_text, std::string(texts[first_text]), true});
        return;
    }
    std::vector<std::string_view>* mine = &owned_.emplace_back(std::move(texts));
    ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    tasks_.run([mine, table, fault, out] {
        fault->row = apply_labels(*mine, *table, out);
        if (fault->row != k_no_row) fault->text.assign((*mine)[fault->row]);
        std::vector<std::string_view>().swap(*mine);
    });
}

void LabelApplier::submit(std::uint64_t c, const PackedTexts& texts) {
    const ApplyTable* table = mapping_.table_of(c);
    auto text_at = [texts](std::size_t i) {  // by value: the task outlives the caller's texts
        auto at = [&](auto* o) { return std::string(texts.data + o[i], std::size_t(o[i + 1] - o[i])); };
        return texts.wide ? at(static_cast<const std::int64_t*>(texts.offsets))
                          : at(static_cast<const std::int32_t*>(texts.offsets));
    };
    if (table == nullptr) {
        faults_.push_back({c, 0, texts.size == 0 ? std::string() : text_at(0), true});
        return;
    }
    ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
    const StridedOut out{&out_.at(0, c), out_.row_stride};
    tasks_.run([texts, table, fault, out, text_at] {
        fault->row = apply_labels(texts, *table, out);
        if (fault->row != k_no_row) fault->text = text_at(fault->row);
    });
}

std::size_t LabelApplier::expected_texts(std::uint64_t c) const {
    const ApplyTable* table = mapping_.table_of(c);
    return table != nullptr ? table->size() : 0;
}

LabelApplier::EarlyColumn* LabelApplier::early_of(std::uint64_t c) {
    return !early_.empty() && early_.back().column == c ? &early_.back() : nullptr;
}

void LabelApplier::early_texts(std::uint64_t c, std::span<const std::string_view> texts, std::size_t first) {
    const ApplyTable* table = mapping_.table_of(c);
    if (table == nullptr) return;
    EarlyColumn* col = early_of(c);
    if (col == nullptr) col = &early_.emplace_back(c);
    std::size_t have = 0;
    for (const EarlyBatch& b : col->batches) have += b.codes.size();
    if (have != first) return;  // batches must follow one another; submit() looks up the rest
    EarlyBatch* batch = &col->batches.emplace_back();
    batch->texts.assign(texts.begin(), texts.end());
    batch->codes.resize(texts.size());
    col->pending.fetch_add(1, std::memory_order_relaxed);
    tasks_.run([batch, table, col] {
        batch->unknown = apply_labels(batch->texts, *table, StridedOut{batch->codes.data(), 1}) != k_no_row;
        std::vector<std::string_view>().swap(batch->texts);
        col->done();
    });
}

void LabelApplier::submit(std::uint64_t c, CodedTexts&& column, std::size_t first_text) {
    const ApplyTable* table = mapping_.table_of(c);
    if (table == nullptr) {
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
    early->then = [mine, table, fault, out, early] {
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
            code_of_text(*table, mine->texts[t], is_unknown);
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
    tasks_.run([mine, table, early] {
        // The texts not looked up early.
        drop_unused(*mine);
        std::size_t done = 0;
        for (const EarlyBatch& b : early->batches) done += b.codes.size();
        early->code_of.resize(mine->texts.size());
        const std::span<const std::string_view> rest(mine->texts.data() + done, mine->texts.size() - done);
        early->rest_unknown = apply_labels(rest, *table, StridedOut{early->code_of.data() + done, 1}) != k_no_row;
        early->done();
    });
}

std::vector<ColumnFault> LabelApplier::finish(std::span<const std::uint8_t> is_text, std::size_t rows) {
    wait();
    for (std::uint64_t c : mapping_.columns()) {
        if (c >= is_text.size() || is_text[c] || rows == 0) continue;
        const ApplyTable* table = mapping_.table_of(c);
        ColumnFault* fault = &faults_.emplace_back(ColumnFault{c, k_no_row, {}, false});
        const StridedOut cells{&out_.at(0, c), out_.row_stride};
        tasks_.run([cells, rows, table, fault] { fault->row = apply_labels_to_numbers(cells, rows, *table, fault->text); });
    }
    wait();
    std::vector<ColumnFault> found;
    for (ColumnFault& f : faults_)
        if (f.row != k_no_row) found.push_back(std::move(f));
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.column < b.column; });
    return found;
}

}  // namespace tovrik::core
