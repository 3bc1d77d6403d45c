// Label assignment: hash the rows to find the distinct texts, sort only those,
// then map every row to its code in parallel. Codes depend only on the set of
// distinct texts, so this gives the same codes as sorting every row.
#include "core/label.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "core/hash.hpp"
#include "core/text.hpp"

namespace tovrik::core {

namespace {

constexpr std::size_t k_grain = 1 << 14;
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// Distinct texts of a column, each with a dense id in order of first sight.
struct Distinct {
    std::vector<std::string_view> texts;
    std::vector<std::uint64_t> hashes;   // of each distinct text
    std::vector<std::uint32_t> row_ids;  // id of every row's text
    std::vector<char> blob;              // the distinct texts, packed (see compact)
};

Distinct find_distinct(std::span<const std::string_view> column, std::uint64_t seed) {
    const std::size_t n = column.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("column too long");

    // Hashing is the part that reads every byte; do it in parallel.
    std::vector<std::uint64_t> hashes(n);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, k_grain), [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) hashes[i] = hash_bytes(column[i], seed);
    });

    Distinct d;
    d.row_ids.resize(n);
    std::size_t cap = 64;
    while (cap < 2 * std::min<std::size_t>(n, 4096)) cap <<= 1;
    std::vector<std::uint64_t> slots(cap, 0);  // (tag << 32) | (id + 1)
    std::size_t mask = cap - 1;

    auto grow = [&] {
        std::size_t ncap = slots.size() * 2;
        std::vector<std::uint64_t> fresh(ncap, 0);
        std::size_t nmask = ncap - 1;
        for (std::uint64_t s : slots) {
            if (s == 0) continue;
            std::size_t i = ((s >> 32) * 0x9E3779B97F4A7C15ULL) >> 1 & nmask;
            // Re-derive the slot from the stored tag; the low bits are not kept,
            // so position by a mix of the tag instead of the full hash.
            while (fresh[i] != 0) i = (i + 1) & nmask;
            fresh[i] = s;
        }
        slots.swap(fresh);
        mask = nmask;
    };
    auto slot_of = [&](std::uint64_t h) -> std::size_t {
        return ((h >> 32) * 0x9E3779B97F4A7C15ULL) >> 1 & mask;
    };

    for (std::size_t r = 0; r < n; ++r) {
        const std::uint64_t h = hashes[r];
        const std::uint64_t tag = h >> 32;
        const std::string_view text = column[r];
        std::size_t i = slot_of(h);
        for (;; i = (i + 1) & mask) {
            const std::uint64_t s = slots[i];
            if (s == 0) {
                const auto id = static_cast<std::uint32_t>(d.texts.size());
                d.texts.push_back(text);
                d.hashes.push_back(h);
                slots[i] = (tag << 32) | (std::uint64_t(id) + 1);
                d.row_ids[r] = id;
                if (d.texts.size() * 2 > slots.size()) grow();
                break;
            }
            if ((s >> 32) == tag) {
                const auto id = static_cast<std::uint32_t>((s & 0xffffffffu) - 1);
                if (d.texts[id] == text) {
                    d.row_ids[r] = id;
                    break;
                }
            }
        }
    }
    return d;
}

// Packs the distinct texts into one block, in id order, so that sorting and
// copying them touch compact memory instead of the scattered cell texts.
void compact(Distinct& d) {
    const std::size_t k = d.texts.size();
    std::vector<std::size_t> offset(k + 1, 0);
    for (std::size_t i = 0; i < k; ++i) offset[i + 1] = offset[i] + d.texts[i].size();
    d.blob.resize(offset[k]);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, k, k_grain), [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            const std::string_view t = d.texts[i];
            if (!t.empty()) std::memcpy(d.blob.data() + offset[i], t.data(), t.size());
            d.texts[i] = std::string_view(d.blob.data() + offset[i], t.size());
        }
    });
}

// First eight bytes, big-endian and zero-padded: comparing these as integers
// agrees with byte order wherever they differ.
std::uint64_t prefix_key(std::string_view s) {
    unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(b, s.data(), std::min<std::size_t>(8, s.size()));
    std::uint64_t v = 0;
    for (unsigned char c : b) v = (v << 8) | c;
    return v;
}

struct SortKey {
    std::uint64_t prefix;
    std::uint32_t id;
};

// Ids of the distinct texts in ascending byte order (string_view compares bytes
// as unsigned; the texts are distinct, so the order is total).
std::vector<std::uint32_t> sorted_ids(const Distinct& d) {
    const std::size_t k = d.texts.size();
    std::vector<SortKey> keys(k);
    for (std::size_t i = 0; i < k; ++i) keys[i] = {prefix_key(d.texts[i]), std::uint32_t(i)};
    auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return d.texts[a.id] < d.texts[b.id];
    };
    if (k > 4 * k_grain) tbb::parallel_sort(keys.begin(), keys.end(), less);
    else std::sort(keys.begin(), keys.end(), less);
    std::vector<std::uint32_t> order(k);
    for (std::size_t i = 0; i < k; ++i) order[i] = keys[i].id;
    return order;
}

}  // namespace

ColumnCodes label_encode(std::span<const std::string_view> column, StridedOut out) {
    ColumnCodes res;
    // Hash with the label map's own seed, so its entries need no second hashing.
    Distinct d = find_distinct(column, res.label_map.seed());
    compact(d);
    const std::size_t k = d.texts.size();
    const std::vector<std::uint32_t> order = sorted_ids(d);

    std::vector<double> code_of(k);
    std::vector<std::int64_t> code_int(k);
    std::uint64_t next = 0;
    for (std::uint32_t id : order) {
        if (is_missing_text(d.texts[id])) {
            code_of[id] = k_nan;
            code_int[id] = -1;
        } else {
            code_of[id] = static_cast<double>(next);
            code_int[id] = static_cast<std::int64_t>(next);
            ++next;
        }
    }
    const std::size_t coded = next;

    tbb::parallel_invoke(
        [&] {
            const std::size_t n = column.size();
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, k_grain), [&](const auto& r) {
                for (std::size_t i = r.begin(); i != r.end(); ++i)
                    out.data[i * out.stride] = code_of[d.row_ids[i]];
            });
        },
        [&] {
            res.label_map.reserve(k);
            for (std::uint32_t id : order) {
                const std::int64_t c = code_int[id];
                res.label_map.insert_new_hashed(d.hashes[id], std::string(d.texts[id]),
                                         c < 0 ? std::nullopt
                                               : std::optional<std::uint64_t>(std::uint64_t(c)));
            }
        },
        [&] {
            res.reverse_map.reserve(coded);
            for (std::uint32_t id : order) {
                const std::int64_t c = code_int[id];
                if (c >= 0) res.reverse_map.insert_new(std::uint64_t(c), std::string(d.texts[id]));
            }
        });
    return res;
}

ColumnCodes label_encode_by_sort(std::span<const std::string_view> column, StridedOut out) {
    std::vector<std::string_view> rows(column.begin(), column.end());
    tbb::parallel_sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

    ColumnCodes res;
    res.label_map.reserve(rows.size());
    std::uint64_t next = 0;
    for (std::string_view t : rows) {
        if (is_missing_text(t)) {
            res.label_map.insert_new(std::string(t), std::nullopt);
        } else {
            res.reverse_map.insert_new(next, std::string(t));
            res.label_map.insert_new(std::string(t), next++);
        }
    }
    tbb::parallel_for(std::size_t(0), column.size(), [&](std::size_t r) {
        const auto& code = *res.label_map.find(column[r]);
        out.data[r * out.stride] = code ? static_cast<double>(*code) : k_nan;
    });
    return res;
}

}  // namespace tovrik::core
