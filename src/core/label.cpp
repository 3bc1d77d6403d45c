// Label assignment: hash the rows to find the distinct texts, sort only those,
// then map every row to its code in parallel. Codes depend only on the set of
// distinct texts, so this gives the same codes as sorting every row.
#include "core/label.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>
#include <oneapi/tbb/parallel_sort.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/hash.hpp"
#include "core/text.hpp"

namespace tovrik::core {

namespace {

constexpr std::size_t k_grain = 1 << 14;
constexpr double k_nan = std::numeric_limits<double>::quiet_NaN();

// A buffer of plain values left uninitialised: every element is written by a
// parallel loop before it is read, so zero-filling it first would only be a
// serial pass over fresh pages.
template <class T>
class Scratch {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);

public:
    Scratch() = default;
    explicit Scratch(std::size_t n) : p_(n == 0 ? nullptr : new T[n]), n_(n) {}
    T* data() noexcept { return p_.get(); }
    const T* data() const noexcept { return p_.get(); }
    std::size_t size() const noexcept { return n_; }
    T& operator[](std::size_t i) noexcept { return p_[i]; }
    const T& operator[](std::size_t i) const noexcept { return p_[i]; }
    T* begin() noexcept { return p_.get(); }
    T* end() noexcept { return p_.get() + n_; }

private:
    std::unique_ptr<T[]> p_;
    std::size_t n_ = 0;
};

// body(blocked_range) over 0..n-1 in parallel, or in place when the range is
// one grain or less: a short column (a wide frame has thousands) is not worth
// a pool task per loop.
template <class Body>
void for_ranges(std::size_t n, std::size_t grain, const Body& body) {
    if (n <= grain) body(tbb::blocked_range<std::size_t>(0, n, grain));
    else tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain), body);
}

// The two layouts of a column the engine reads: views, and packed texts.
struct ViewColumn {
    std::span<const std::string_view> views;
    std::size_t size() const noexcept { return views.size(); }
    std::string_view operator[](std::size_t i) const noexcept { return views[i]; }
    void prefetch_row(std::size_t i) const noexcept { __builtin_prefetch(&views[i]); }
};

template <class Offset>
struct PackedColumn {
    const char* data;
    const Offset* offsets;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    std::string_view operator[](std::size_t i) const noexcept {
        return {data + offsets[i], std::size_t(offsets[i + 1] - offsets[i])};
    }
    void prefetch_row(std::size_t i) const noexcept { __builtin_prefetch(&offsets[i]); }
};

// The distinct texts of a column, numbered by dense ids (in no particular
// order), each copied once into a packed block; and every row's id.
struct Distinct {
    std::vector<std::string_view> texts;  // point into blobs
    Scratch<std::uint32_t> row_ids;
    std::vector<std::vector<char>> blobs;
};

// The top half of a hash: the part of it that deduplication keeps.
inline std::uint32_t tag_of(std::uint64_t h) noexcept { return std::uint32_t(h >> 32); }

// Deduplicates some rows of the column with its own table: the rows listed in
// `rows` (ascending), or rows first .. first + count - 1 when `rows` is null.
// The distinct texts go to `blob`/`offsets`, the local id of the j-th row
// taken to local[j]. A row's tag (the top half of its hash, all the table
// keeps of it) is tags[row] for the first `hashed`
// rows, later ones made here with `seed` (the row's bytes are then read once,
// for its hash and its comparison).
template <class Column>
void dedup_partition(const Column& column, const std::uint32_t* tags, std::size_t hashed, std::uint64_t seed,
                     const std::uint32_t* rows,
                     std::size_t first, std::size_t count, std::uint32_t* local, std::vector<char>& blob,
                     std::vector<std::uint64_t>& offsets) {
    std::size_t cap = 16;
    while (cap < 2 * std::min<std::size_t>(count, 1 << 12)) cap <<= 1;
    std::vector<std::uint64_t> slots(cap, 0);  // (hash tag << 32) | (local id + 1)
    std::size_t mask = cap - 1;
    offsets.assign(1, 0);
    offsets.reserve(std::min<std::size_t>(count, 1 << 12) + 1);
    if (rows == nullptr && count <= (1u << 12)) {  // a short run of rows: room for all its bytes at once
        std::size_t bytes = 0;
        for (std::size_t j = 0; j < count; ++j) bytes += column[first + j].size();
        blob.reserve(bytes);
    }
    // Only the top 32 bits of a hash are kept in the table, and the top bits
    // chose the partition: place entries by a mix of those 32 bits.
    auto pos = [](std::uint64_t tag, std::size_t m) {
        return std::size_t((tag * 0x9E3779B97F4A7C15ULL) >> 24) & m;
    };
    auto grow = [&] {
        std::vector<std::uint64_t> fresh(slots.size() * 2, 0);
        const std::size_t m = fresh.size() - 1;
        for (std::uint64_t s : slots) {
            if (s == 0) continue;
            std::size_t i = pos(s >> 32, m);
            while (fresh[i] != 0) i = (i + 1) & m;
            fresh[i] = s;
        }
        slots.swap(fresh);
        mask = m;
    };

    // The rows of a partition are scattered over the column: their views and
    // then their bytes are fetched into the cache some rows ahead.
    constexpr std::size_t view_ahead = 16, text_ahead = 8;
    for (std::size_t j = 0; j < count; ++j) {
        if (rows != nullptr && j + view_ahead < count) {
            column.prefetch_row(rows[j + view_ahead]);
            if (rows[j + view_ahead] < hashed) __builtin_prefetch(&tags[rows[j + view_ahead]]);
        }
        if (j + text_ahead < count) {
            // Its first and last line: a text of up to 65 bytes lies in two
            // lines at most (both the same one for most short texts).
            const std::string_view t = column[rows == nullptr ? first + j + text_ahead : rows[j + text_ahead]];
            __builtin_prefetch(t.data());
            if (t.size() > 1) __builtin_prefetch(t.data() + t.size() - 1);
        }
        const std::size_t r = rows == nullptr ? first + j : rows[j];
        const std::string_view text = column[r];
        const std::uint64_t tag = r < hashed ? tags[r] : tag_of(hash_bytes(text, seed));
        std::size_t i = pos(tag, mask);
        for (;; i = (i + 1) & mask) {
            const std::uint64_t s = slots[i];
            if (s == 0) {
                const std::size_t id = offsets.size() - 1;
                blob.insert(blob.end(), text.begin(), text.end());
                offsets.push_back(blob.size());
                slots[i] = (tag << 32) | (std::uint64_t(id) + 1);
                local[j] = std::uint32_t(id);
                if ((id + 1) * 2 > slots.size()) grow();
                break;
            }
            if ((s >> 32) == tag) {
                const std::size_t id = (s & 0xffffffffu) - 1;
                if (offsets[id + 1] - offsets[id] == text.size() && same_text(blob.data() + offsets[id], text)) {
                    local[j] = std::uint32_t(id);
                    break;
                }
            }
        }
    }
}

// How many blocks n rows are cut into for the parallel passes over them.
std::size_t block_count(std::size_t n) { return std::max<std::size_t>(1, std::min<std::size_t>(64, n / k_grain)); }

// Views of the texts that dedup_partition packed into blob/offsets, into out.
void texts_of(const std::vector<char>& blob, const std::vector<std::uint64_t>& offsets, std::string_view* out) {
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i)
        out[i] = std::string_view(blob.data() + offsets[i], offsets[i + 1] - offsets[i]);
}

// Spreads items 0..n-1 over `groups` groups in parallel, keeping their order
// within a group: place(i, pos) is told where item i goes in group order, and
// group_of(i) (asked twice per item) gives its group. Returns where each group
// starts, and where the last ends.
template <class GroupOf, class Place>
std::vector<std::size_t> spread_by_group(std::size_t n, std::size_t groups, GroupOf group_of, Place place) {
    const std::size_t chunks = block_count(n);
    const std::size_t chunk_len = (n + chunks - 1) / chunks;
    std::vector<std::uint32_t> counts(chunks * groups, 0);
    tbb::parallel_for(std::size_t(0), chunks, [&](std::size_t ch) {
        std::uint32_t* cnt = &counts[ch * groups];
        for (std::size_t i = ch * chunk_len, e = std::min(n, i + chunk_len); i < e; ++i) ++cnt[group_of(i)];
    });
    // Start of every (group, chunk) run in group order.
    std::vector<std::size_t> group_start(groups + 1, 0);
    std::vector<std::size_t> run_start(chunks * groups);
    std::size_t at = 0;
    for (std::size_t g = 0; g < groups; ++g) {
        group_start[g] = at;
        for (std::size_t ch = 0; ch < chunks; ++ch) {
            run_start[ch * groups + g] = at;
            at += counts[ch * groups + g];
        }
    }
    group_start[groups] = at;
    tbb::parallel_for(std::size_t(0), chunks, [&](std::size_t ch) {
        std::size_t* next = &run_start[ch * groups];
        for (std::size_t i = ch * chunk_len, e = std::min(n, i + chunk_len); i < e; ++i) place(i, next[group_of(i)]++);
    });
    return group_start;
}

// Whether a column looks like it has many distinct texts: more than one in
// eight among (up to) its first 16384 rows. Counted with a table of the
// sample's hashes (a sort of the sample cost a short column more than its
// deduplication).
constexpr std::size_t k_distinct_sample = std::size_t(1) << 14;
bool many_distinct(const std::uint64_t* hashes, std::size_t m) {
    constexpr std::size_t sample = k_distinct_sample;
    if (m < (1u << 12)) return false;
    std::vector<std::uint64_t> slots(2 * sample, 0);  // hash | 1: never the empty 0
    const std::size_t mask = slots.size() - 1;
    std::size_t u = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t h = hashes[i] | 1;
        for (std::size_t at = std::size_t(h >> 40) & mask;; at = (at + 1) & mask) {
            if (slots[at] == h) break;
            if (slots[at] == 0) {
                slots[at] = h;
                if (++u * 8 > m) return true;
                break;
            }
        }
    }
    return false;
}

// Room for d.texts' k views: the room of the column's own views when they
// are spent (k is at most their number), else fresh.
void texts_room(Distinct& d, std::vector<std::string_view>* spent, std::size_t k) {
    if (spent != nullptr) d.texts = std::move(*spent), spent->clear();
    d.texts.resize(k);
}

// With `spent`, the column's cells are views held there: they are read no
// more once its distinct texts are copied out, and the vector's room then
// holds d.texts (it is left empty).
template <class Column>
Distinct find_distinct(const Column& column, std::vector<std::string_view>* spent) {
    const std::size_t n = column.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("column too long");
    const std::uint64_t seed = next_seed();

    // The first rows' hashes tell which way the column goes.
    const std::size_t sampled = std::min(n, k_distinct_sample);
    std::vector<std::uint64_t> sample(sampled);
    for (std::size_t i = 0; i < sampled; ++i) sample[i] = hash_bytes(column[i], seed);
    std::vector<std::uint32_t> sample_tags(sampled);
    std::transform(sample.begin(), sample.end(), sample_tags.begin(), tag_of);

    Distinct d;
    d.row_ids = Scratch<std::uint32_t>(n);
    if (!many_distinct(sample.data(), sampled)) {
        // Few distinct texts: row blocks are deduplicated in parallel, each with
        // its own small table, each row past the sample hashed as it is looked
        // up; then the blocks' few distinct texts are deduplicated once more,
        // and the rows' block ids mapped to those.
        const std::size_t blocks = block_count(n);
        const std::size_t block_len = (n + blocks - 1) / blocks;
        if (blocks == 1) {  // one block: its texts and ids are the column's
            std::vector<std::uint64_t> offsets;
            d.blobs.resize(1);
            dedup_partition(column, sample_tags.data(), sampled, seed, nullptr, 0, n, d.row_ids.data(), d.blobs[0],
                            offsets);
            texts_room(d, spent, offsets.size() - 1);
            texts_of(d.blobs[0], offsets, d.texts.data());
            return d;
        }
        std::vector<std::vector<char>> block_blobs(blocks);
        std::vector<std::vector<std::uint64_t>> block_offsets(blocks);
        tbb::parallel_for(std::size_t(0), blocks, [&](std::size_t b) {
            const std::size_t r0 = std::min(n, b * block_len), r1 = std::min(n, r0 + block_len);
            dedup_partition(column, sample_tags.data(), sampled, seed, nullptr, r0, r1 - r0, d.row_ids.data() + r0,
                            block_blobs[b], block_offsets[b]);
        });
        std::vector<std::size_t> block_first(blocks + 1, 0);
        for (std::size_t b = 0; b < blocks; ++b)
            block_first[b + 1] = block_first[b] + block_offsets[b].size() - 1;
        std::vector<std::string_view> seen(block_first[blocks]);
        for (std::size_t b = 0; b < blocks; ++b) texts_of(block_blobs[b], block_offsets[b], seen.data() + block_first[b]);
        std::vector<std::uint32_t> global(seen.size());
        std::vector<std::uint64_t> offsets;
        d.blobs.resize(1);
        dedup_partition(ViewColumn{seen}, nullptr, 0, seed, nullptr, 0, seen.size(), global.data(), d.blobs[0],
                        offsets);
        texts_room(d, spent, offsets.size() - 1);
        texts_of(d.blobs[0], offsets, d.texts.data());
        tbb::parallel_for(std::size_t(0), blocks, [&](std::size_t b) {
            const std::size_t r0 = std::min(n, b * block_len), r1 = std::min(n, r0 + block_len);
            const std::uint32_t* to = global.data() + block_first[b];
            for (std::size_t r = r0; r < r1; ++r) d.row_ids[r] = to[d.row_ids[r]];
        });
        return d;
    }

    // Many distinct texts: rows are split by the top bits of their hash, so
    // equal texts meet in the same partition and the partitions deduplicate
    // independently, in parallel, each with a table small enough for the cache.
    // Hashing reads every byte of every row: in parallel.
    // Only each hash's top half is kept: the partition and the tables need no more.
    Scratch<std::uint32_t> tags(n);
    std::copy(sample_tags.begin(), sample_tags.end(), tags.begin());
    for_ranges(n - sampled, k_grain, [&](const auto& r) {
        for (std::size_t i = sampled + r.begin(); i != sampled + r.end(); ++i)
            tags[i] = tag_of(hash_bytes(column[i], seed));
    });
    constexpr unsigned bits = 6;
    constexpr std::size_t parts = std::size_t(1) << bits;
    auto part_of = [](std::uint32_t tag) { return std::size_t(tag >> (32 - bits)); };
    Scratch<std::uint32_t> by_part(n);
    const std::vector<std::size_t> part_start = spread_by_group(
        n, parts, [&](std::size_t r) { return part_of(tags[r]); },
        [&](std::size_t r, std::size_t pos) { by_part[pos] = std::uint32_t(r); });

    d.blobs.resize(parts);
    std::vector<std::vector<std::uint64_t>> offsets(parts);
    Scratch<std::uint32_t> local(n);
    tbb::parallel_for(std::size_t(0), parts, [&](std::size_t p) {
        const std::size_t b = part_start[p], e = part_start[p + 1];
        dedup_partition(column, tags.data(), n, seed, by_part.data() + b, 0, e - b, local.data() + b, d.blobs[p],
                        offsets[p]);
    });
    tags = {};

    // Global ids: partitions one after another.
    std::vector<std::size_t> first_id(parts + 1, 0);
    for (std::size_t p = 0; p < parts; ++p) first_id[p + 1] = first_id[p] + offsets[p].size() - 1;
    texts_room(d, spent, first_id[parts]);
    tbb::parallel_for(std::size_t(0), parts, [&](std::size_t p) {
        texts_of(d.blobs[p], offsets[p], d.texts.data() + first_id[p]);
        for (std::size_t j = part_start[p]; j < part_start[p + 1]; ++j)
            d.row_ids[by_part[j]] = std::uint32_t(first_id[p] + local[j]);
    });
    return d;
}

// Sixteen bytes of a text from some depth on, big-endian and zero-padded:
// comparing these as integers agrees with byte order wherever they differ.
// `rest` says how many bytes the text has from that depth (17: more than the
// key holds), so that ties are broken without reading the text.
struct SortKey {
    std::uint64_t hi, lo;
    std::uint32_t id, rest;
};

// The first min(len, 8) bytes at p as a big-endian integer, zero-padded. Only
// loads of fixed sizes: a copy of a variable length is a call into the C
// library that costs more than the rest of a key.
inline std::uint64_t big_endian(const char* p, std::size_t len) {
    std::uint64_t v;
    if (len >= 8) {
        std::memcpy(&v, p, 8);
    } else if (len >= 4) {  // two loads that overlap unless len is 8
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + len - 4, 4);
        v = std::uint64_t(a) | (std::uint64_t(b) << (8 * (len - 4)));
    } else if (len != 0) {  // p may be null when empty
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        v = std::uint64_t(u[0]) | (std::uint64_t(u[len / 2]) << (8 * (len / 2))) |
            (std::uint64_t(u[len - 1]) << (8 * (len - 1)));
    } else {
        return 0;
    }
    return __builtin_bswap64(v);
}

// A byte of the sort keys: the most significant one in which some keys of a
// range differ, in `hi`, or in `lo` when their first eight bytes agree.
struct Digit {
    bool in_lo;
    unsigned shift;
    std::size_t operator()(const SortKey& x) const noexcept {
        return std::size_t(((in_lo ? x.lo : x.hi) >> shift) & 0xff);
    }
};

// The first byte that tells some of the keys apart, or none when they all agree.
std::optional<Digit> first_difference(const SortKey* first, const SortKey* last) {
    std::uint64_t hi = 0, lo = 0;
    for (const SortKey* x = first + 1; x < last; ++x) {
        hi |= x->hi ^ first->hi;
        lo |= x->lo ^ first->lo;
    }
    if (hi != 0) return Digit{false, unsigned(63 - std::countl_zero(hi)) & ~7u};
    if (lo != 0) return Digit{true, unsigned(63 - std::countl_zero(lo)) & ~7u};
    return std::nullopt;
}

// Places the keys in the order of one byte (`spare` holds room for as many);
// returns where the keys of each value of the byte start, and the end.
std::array<std::uint32_t, 257> place_by(Digit digit, SortKey* first, SortKey* last, SortKey* spare) {
    std::array<std::uint32_t, 257> start{};
    for (const SortKey* x = first; x != last; ++x) ++start[digit(*x) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    std::array<std::uint32_t, 256> next;
    std::copy(start.begin(), start.end() - 1, next.begin());
    for (const SortKey* x = first; x != last; ++x) spare[next[digit(*x)]++] = *x;
    std::copy(spare, spare + (last - first), first);
    return start;
}

// Sorts keys a byte at a time from the most significant byte in which any two
// of them differ (bytes all of them share are passed over), each group of keys
// sharing that byte in turn by the next, down to groups of a few, which `less`
// sorts. Keys of texts that mostly differ early are so placed with few
// comparisons, whose outcome a comparison sort cannot predict. A run of keys
// equal in all sixteen bytes is handed to ties(first, last). `spare` holds
// room for as many keys.
constexpr std::ptrdiff_t k_few_keys = 32;  // sorted by comparisons alone

template <class Less, class Ties>
void sort_by_bytes(SortKey* first, SortKey* last, SortKey* spare, const Less& less, const Ties& ties) {
    if (last - first < k_few_keys) {
        std::sort(first, last, less);
        return;
    }
    const std::optional<Digit> digit = first_difference(first, last);
    if (!digit) {
        ties(first, last);
        return;
    }
    const std::array<std::uint32_t, 257> start = place_by(*digit, first, last, spare);
    for (std::size_t b = 0; b < 256; ++b)
        if (start[b + 1] - start[b] > 1)
            sort_by_bytes(first + start[b], first + start[b + 1], spare + start[b], less, ties);
}

// How deep sort_from() goes by keys: past 4096 shared bytes, texts are compared
// as a whole (which bounds its recursion).
constexpr std::size_t k_key_depth_limit = 4096;

// The sort key of bytes depth .. depth + 15 of a text.
SortKey key_at(std::string_view t, std::size_t depth, std::uint32_t id) {
    const std::size_t n = t.size() > depth ? t.size() - depth : 0;
    const char* p = t.data() + (n != 0 ? depth : 0);
    return {big_endian(p, n), n > 8 ? big_endian(p + 8, n - 8) : 0, id, std::uint32_t(std::min<std::size_t>(n, 17))};
}

// Sorts keys of distinct texts that agree in their first `depth` bytes, each
// key holding the next sixteen. Keys that are equal there and whose texts go
// on past them are sorted by their next sixteen bytes in turn: texts sharing
// long prefixes (URLs, paths) are sorted sixteen bytes at a time, never
// compared from their first byte again.
void sort_from(SortKey* first, SortKey* last, std::span<const std::string_view> texts, std::size_t depth,
               bool parallel) {
    if (last - first < 2) return;
    if (depth >= k_key_depth_limit) {  // a prefix longer than that: the rest as a whole, without recursing deeper
        auto rest_less = [&](const SortKey& a, const SortKey& b) {
            return texts[a.id].substr(depth) < texts[b.id].substr(depth);
        };
        if (parallel) tbb::parallel_sort(first, last, rest_less);
        else std::sort(first, last, rest_less);
        return;
    }
    const std::size_t end = depth + 16;
    auto long_text = [](const SortKey& x) { return x.rest > 16; };
    // Equal keys of two texts that go on are left for the next sixteen bytes;
    // a text that ends within them is a prefix of, so before, any other text
    // of its key, or compared with another such text as a whole.
    auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        const bool la = long_text(a), lb = long_text(b);
        if (la && lb) return false;
        if (la != lb) return lb;
        return texts[a.id].substr(depth) < texts[b.id].substr(depth);
    };
    // Keys equal in all sixteen bytes: those whose texts end within them come
    // first, in order; those that go on are left for the next sixteen bytes.
    auto ties = [&](SortKey* a, SortKey* b) {
        SortKey* const go_on = std::partition(a, b, [&](const SortKey& x) { return !long_text(x); });
        std::sort(a, go_on, less);
    };
    const std::size_t n = std::size_t(last - first);
    if (parallel && n > k_grain) {
        // Placed by their first byte that differs (one pass), then the groups
        // sorted side by side, each from the same depth: keys sharing a long
        // prefix take a pass per byte they share, not a comparison sort whose
        // comparisons mostly tie.
        const std::optional<Digit> digit = first_difference(first, last);
        if (digit) {
            std::array<std::uint32_t, 257> start;
            {
                Scratch<SortKey> spare(n);
                start = place_by(*digit, first, last, spare.data());
            }
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, 256, 1), [&](const auto& r) {
                for (std::size_t b = r.begin(); b != r.end(); ++b)
                    sort_from(first + start[b], first + start[b + 1], texts, depth, true);
            });
            return;
        }
        ties(first, last);
    } else if (std::ptrdiff_t(n) < k_few_keys) {
        std::sort(first, last, less);  // as sort_by_bytes would, without room it would not use
    } else {
        Scratch<SortKey> spare(n);
        sort_by_bytes(first, last, spare.data(), less, ties);
    }
    // Runs of equal keys (rare unless texts share prefixes): their texts that
    // go on, which come last in the run, are sorted by the next bytes.
    for (SortKey* run = first; run != last;) {
        SortKey* stop = run + 1;
        while (stop != last && stop->hi == run->hi && stop->lo == run->lo) ++stop;
        if (stop - run > 1) {
            SortKey* go_on = run;
            while (go_on != stop && !long_text(*go_on)) ++go_on;
            if (stop - go_on > 1) {
                for (SortKey* x = go_on; x != stop; ++x) *x = key_at(texts[x->id], end, x->id);
                sort_from(go_on, stop, texts, end, parallel && stop - go_on > std::ptrdiff_t(k_grain));
            }
        }
        run = stop;
    }
}

// Ids of the distinct texts in ascending byte order (string_view compares bytes
// as unsigned; the texts are distinct, so the order is total).
std::vector<std::uint32_t> sorted_ids(const Distinct& d) {
    const std::size_t k = d.texts.size();
    auto key_of = [&](std::size_t i) { return key_at(d.texts[i], 0, std::uint32_t(i)); };
    auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        return d.texts[a.id] < d.texts[b.id];
    };
    const std::span<const std::string_view> texts(d.texts);
    std::vector<std::uint32_t> order(k);
    if (k <= 4 * k_grain) {
        Scratch<SortKey> keys(k);
        for (std::size_t i = 0; i < k; ++i) keys[i] = key_of(i);
        sort_from(keys.begin(), keys.end(), texts, 0, false);
        for (std::size_t i = 0; i < k; ++i) order[i] = keys[i].id;
        return order;
    }

    // Sample sort: splitters taken from an evenly spaced sample cut the keys
    // into buckets of a few hundred, whatever the texts look like; the keys
    // are spread over the buckets and the buckets sorted, all in parallel.
    const std::size_t buckets = std::min<std::size_t>(4096, std::bit_ceil(k / 256));
    const std::size_t oversample = 8;
    std::vector<SortKey> sample(buckets * oversample);
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = key_of(i * (k / sample.size()));
    std::sort(sample.begin(), sample.end(), less);
    // The splitters' sixteen-byte prefixes as an implicit binary tree
    // (Eytzinger order), descended without branches. Keys are placed by prefix
    // alone: keys with equal prefixes share a bucket, where the full order
    // sorts them, so bucket order agrees with key order.
    using u128 = unsigned __int128;
    auto prefix = [](const SortKey& x) { return (u128(x.hi) << 64) | x.lo; };
    std::vector<u128> tree(buckets);
    {
        std::size_t next = 1;
        auto fill = [&](auto&& self, std::size_t node) -> void {
            if (node >= buckets) return;
            self(self, 2 * node);
            tree[node] = prefix(sample[next++ * oversample]);
            self(self, 2 * node + 1);
        };
        fill(fill, 1);
    }
    const unsigned depth = unsigned(std::countr_zero(buckets));
    auto bucket_of = [&](const SortKey& x) {
        const u128 p = prefix(x);
        std::size_t node = 1;
        for (unsigned i = 0; i < depth; ++i) node = 2 * node + std::size_t(p >= tree[node]);
        return node - buckets;
    };

    Scratch<std::uint16_t> bucket_ids(k);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, k, k_grain), [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) bucket_ids[i] = std::uint16_t(bucket_of(key_of(i)));
    });
    // The keys are made again where they go, rather than kept from above: an
    // array of them all would double the sort's memory at its peak.
    Scratch<SortKey> spread(k);
    const std::vector<std::size_t> bucket_start = spread_by_group(
        k, buckets, [&](std::size_t i) { return std::size_t(bucket_ids[i]); },
        [&](std::size_t i, std::size_t pos) { spread[pos] = key_of(i); });
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, buckets, 16), [&](const auto& r) {
        for (std::size_t b = r.begin(); b != r.end(); ++b) {
            auto first = spread.begin() + std::ptrdiff_t(bucket_start[b]);
            auto last = spread.begin() + std::ptrdiff_t(bucket_start[b + 1]);
            // A skewed bucket (many texts equal to a splitter's prefix) is
            // sorted with all workers.
            sort_from(&*first, &*last, texts, 0, std::size_t(last - first) > k / 16);
            for (auto it = first; it != last; ++it) order[std::size_t(it - spread.begin())] = it->id;
        }
    });
    return order;
}

// Copies n bytes, sizeof(W) <= n <= 2 sizeof(W), as two words that overlap
// unless n is twice a word.
template <class W>
inline void copy_two_words(char* dst, const char* p, std::size_t n) {
    W a, b;
    std::memcpy(&a, p, sizeof a);
    std::memcpy(&b, p + n - sizeof b, sizeof b);
    std::memcpy(dst, &a, sizeof a);
    std::memcpy(dst + n - sizeof b, &b, sizeof b);
}

// Copies t to dst: a text of up to 16 bytes by fixed-size moves rather than
// by a call into the C library, which costs more than the copy.
inline void copy_short(char* dst, std::string_view t) {
    const std::size_t n = t.size();
    const char* p = t.data();
    if (n > 16) {
        std::memcpy(dst, p, n);
    } else if (n >= 8) {
        copy_two_words<std::uint64_t>(dst, p, n);
    } else if (n >= 4) {
        copy_two_words<std::uint32_t>(dst, p, n);
    } else if (n != 0) {  // p may be null when empty
        dst[0] = p[0];
        dst[n / 2] = p[n / 2];
        dst[n - 1] = p[n - 1];
    }
}

// Both maps of a column as views of its sorted block, which `texts` holds.
void view_block(ColumnCodes& res, const SortedBlock& block, std::shared_ptr<TextStore> texts) {
    res.reverse_map.assign_packed(block, texts);
    res.label_map.assign_packed(block, std::move(texts));
}

// A column of at most this many rows is sorted whole, rows and all: with so
// few, hashing them first to sort only the distinct texts costs more than it
// saves (a wide frame has thousands of such columns).
constexpr std::size_t k_small_rows = 256;

template <class Column>
ColumnCodes encode_small(const Column& column, StridedOut out) {
    const std::size_t n = column.size();
    std::array<SortKey, k_small_rows> keys;
    // (The rows' bytes lie wherever their cells are: fetched some rows ahead.)
    for (std::size_t r = 0; r < n; ++r) {
        if (r + 8 < n) __builtin_prefetch(column[r + 8].data());
        keys[r] = key_at(column[r], 0, std::uint32_t(r));
    }
    // Keys that tie on sixteen bytes: a text that ends within them is a
    // prefix of the other (or the same text); else the rest decides.
    auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        if (a.rest <= 16 || b.rest <= 16) return a.rest < b.rest;
        return column[a.id].substr(16) < column[b.id].substr(16);
    };
    std::array<SortKey, k_small_rows> spare;
    sort_by_bytes(keys.data(), keys.data() + n, spare.data(), less,
                  [&](SortKey* a, SortKey* b) { std::sort(a, b, less); });

    // Equal texts lie side by side now: each run is one distinct text.
    std::size_t k = 0, total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i != 0 && !less(keys[i - 1], keys[i])) continue;
        ++k;
        total += column[keys[i].id].size();
    }
    // One block: where each text starts, then the texts in ascending order.
    ColumnCodes res;
    auto texts = std::make_shared<TextStore>();
    auto* const starts = reinterpret_cast<std::uint64_t*>(texts->new_block((k + 1) * sizeof(std::uint64_t) + total));
    char* const block = reinterpret_cast<char*>(starts + k + 1);
    std::array<std::size_t, SortedBlock::k_max_skipped> skipped;
    std::size_t n_skipped = 0, g = 0, at = 0;
    double code = k_nan;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || less(keys[i - 1], keys[i])) {
            const std::string_view t = column[keys[i].id];
            copy_short(block + at, t);
            starts[g] = at;
            at += t.size();
            if (is_missing_text(t)) {
                skipped[n_skipped++] = g;
                code = k_nan;
            } else {
                code = static_cast<double>(g - n_skipped);
            }
            ++g;
        }
        out.data[keys[i].id * out.stride] = code;
    }
    starts[k] = at;
    view_block(res, SortedBlock(block, std::shared_ptr<const std::uint64_t[]>(texts, starts), k,
                                std::span<const std::size_t>(skipped.data(), n_skipped)),
               std::move(texts));
    return res;
}

// With `spent`, the column is the views held there, which are let go (their
// room reused) once they are read.
template <class Column>
ColumnCodes encode_column(const Column& column, StridedOut out, std::vector<std::string_view>* spent = nullptr) {
    const std::size_t n = column.size();
    if (n <= k_small_rows) {
        ColumnCodes res = encode_small(column, out);
        if (spent != nullptr) std::vector<std::string_view>().swap(*spent);
        return res;
    }
    ColumnCodes res;
    Distinct d = find_distinct(column, spent);
    const std::size_t k = d.texts.size();
    // The missing-value texts (at most three) get no code.
    std::vector<std::uint32_t> missing_ids;
    for (std::size_t i = 0; i < k; ++i)
        if (is_missing_text(d.texts[i])) missing_ids.push_back(std::uint32_t(i));

    const std::vector<std::uint32_t> order = sorted_ids(d);

    // The text at position i in ascending order has the code i, less the
    // missing texts before it.
    std::array<std::size_t, SortedBlock::k_max_skipped> missing_at;
    std::size_t n_missing = 0;
    if (!missing_ids.empty())
        for (std::size_t i = 0; i < k; ++i)
            if (std::find(missing_ids.begin(), missing_ids.end(), order[i]) != missing_ids.end())
                missing_at[n_missing++] = i;

    // Each distinct text is copied once, in ascending order, into one block
    // after where each one starts: both maps are views of it (read in the
    // order the texts lie).
    std::uint64_t total = 0;
    for (const std::string_view t : d.texts) total += t.size();
    auto texts = std::make_shared<TextStore>();
    auto* const text_at =
        reinterpret_cast<std::uint64_t*>(texts->new_block(std::size_t((k + 1) * sizeof(std::uint64_t) + total)));
    char* const block = reinterpret_cast<char*>(text_at + k + 1);
    const SortedBlock sorted(block, std::shared_ptr<const std::uint64_t[]>(texts, text_at), k,
                             std::span<const std::size_t>(missing_at.data(), n_missing));
    for_ranges(k, k_grain / 4, [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            if (i + 16 < r.end()) __builtin_prefetch(&d.texts[order[i + 16]]);
            text_at[i] = d.texts[order[i]].size();
        }
    });
    {
        std::uint64_t at = 0;
        for (std::size_t i = 0; i < k; ++i) at += std::exchange(text_at[i], at);
        text_at[k] = at;
    }

    for_ranges(k, k_grain / 4, [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            // Ascending order visits the distinct texts at random: fetch ahead.
            if (i + 16 < r.end()) __builtin_prefetch(&d.texts[order[i + 16]]);
            if (i + 8 < r.end()) __builtin_prefetch(d.texts[order[i + 8]].data());
            copy_short(block + text_at[i], d.texts[order[i]]);
        }
    });
    // The column's own copies of its texts are done with before the codes
    // by distinct text take their room: the two are not held at once.
    std::vector<std::string_view>().swap(d.texts);
    std::vector<std::vector<char>>().swap(d.blobs);

    Scratch<double> code_of(k);
    for_ranges(k, k_grain / 4, [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) {
            const std::optional<std::uint64_t> c = sorted.code_at(i);
            code_of[order[i]] = c ? static_cast<double>(*c) : k_nan;
        }
    });

    for_ranges(n, k_grain, [&](const auto& r) {
        for (std::size_t i = r.begin(); i != r.end(); ++i) out.data[i * out.stride] = code_of[d.row_ids[i]];
    });
    view_block(res, sorted, std::move(texts));
    return res;
}

}  // namespace

ColumnCodes label_encode(std::span<const std::string_view> column, StridedOut out) {
    return encode_column(ViewColumn{column}, out);
}

ColumnCodes label_encode(std::vector<std::string_view>&& column, StridedOut out) {
    return encode_column(ViewColumn{column}, out, &column);
}

ColumnCodes label_encode(const PackedTexts& column, StridedOut out) {
    static const char empty = 0;
    const char* data = column.data != nullptr ? column.data : &empty;  // every text is empty then
    if (column.wide)
        return encode_column(
            PackedColumn<std::int64_t>{data, static_cast<const std::int64_t*>(column.offsets), column.size}, out);
    return encode_column(
        PackedColumn<std::int32_t>{data, static_cast<const std::int32_t*>(column.offsets), column.size}, out);
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
            res.label_map.insert_new(t, std::nullopt);
        } else {
            res.reverse_map.insert_new(next, t);
            res.label_map.insert_new(t, next++);
        }
    }
    res.label_map.index();  // looked up from many workers below
    tbb::parallel_for(std::size_t(0), column.size(), [&](std::size_t r) {
        const auto code = res.label_map.entry(res.label_map.find_index(column[r])).second;
        out.data[r * out.stride] = code ? static_cast<double>(*code) : k_nan;
    });
    return res;
}

}  // namespace tovrik::core
