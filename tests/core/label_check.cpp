// Checks label assignment against its sort-every-row reference on random
// columns, and the state codec's round trip, without Python.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/label.hpp"
#include "core/pool.hpp"
#include "core/state_codec.hpp"
#include "core/text.hpp"

using namespace tovrik::core;

namespace {

int failures = 0;

void expect(bool ok, const char* what, unsigned seed) {
    if (!ok) {
        std::printf("FAIL seed=%u: %s\n", seed, what);
        ++failures;
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool same_maps(const ColumnCodes& a, const ColumnCodes& b) {
    if (a.label_map.size() != b.label_map.size() || a.reverse_map.size() != b.reverse_map.size())
        return false;
    for (const auto& [text, code] : a.label_map) {
        const std::size_t other = b.label_map.find_index(std::string_view(text));
        if (other == LabelMap::npos || b.label_map.entry(other).second != code) return false;
    }
    for (const auto& [code, text] : a.reverse_map) {
        const auto other = b.reverse_map.find(code);
        if (!other || *other != text) return false;
    }
    return true;
}

// Each coded text is held once: the reverse map views the label map's bytes.
bool texts_held_once(const ColumnCodes& c) {
    for (const auto& [text, code] : c.label_map) {
        if (!code) continue;
        const auto other = c.reverse_map.find(*code);
        if (!other || std::string_view(*other).data() != std::string_view(text).data()) return false;
    }
    return true;
}

// Entries added to a map the engine made keep all it had.
bool kept_when_added_to(const ColumnCodes& c) {
    LabelMap labels = c.label_map;
    ReverseLabelMap reverse = c.reverse_map;
    const std::string added = "\xff added";  // not UTF-8: in no column
    labels.insert_or_assign(added, std::uint64_t(c.reverse_map.size()));
    reverse.insert_new(c.reverse_map.size(), added);
    if (labels.size() != c.label_map.size() + 1 || reverse.size() != c.reverse_map.size() + 1) return false;
    for (const auto& [text, code] : c.label_map) {
        const std::size_t j = labels.find_index(std::string_view(text));
        if (j == LabelMap::npos || labels.entry(j).second != code) return false;
    }
    for (const auto& [code, text] : c.reverse_map)
        if (reverse.find(code) != text) return false;
    const std::size_t j = labels.find_index(added);
    return j != LabelMap::npos && labels.entry(j).second == c.reverse_map.size() &&
           reverse.find(c.reverse_map.size()) == std::string_view(added);
}

// Texts after `prefix` (when given, on every text of the first half of the
// pool only, so that long runs of keys agree on their first sixteen bytes).
std::vector<std::string> random_column(std::mt19937_64& rng, std::size_t rows, std::size_t distinct,
                                       const std::string& prefix = {}) {
    static const char* fixed[] = {"", "nan", "NaN", "<NA>", "NAN", "a", "a\0b", "\xc3\xa9", "B", "10", "9"};
    std::vector<std::string> pool;
    for (const char* f : fixed) pool.emplace_back(f);
    pool.emplace_back(std::string("a\0b", 3));
    // Valid UTF-8 made of pieces from every byte range, so that byte order is exercised.
    static const char* pieces[] = {"a", "b", "c", "A", " ", "0", "\x7f", "\xc3\xa9", "\xe2\x82\xac",
                                   "\xf0\x9f\x98\x80"};
    std::uniform_int_distribution<int> len(0, 12);
    while (pool.size() < distinct) {
        std::string s;
        for (int i = len(rng); i > 0; --i) s += pieces[rng() % std::size(pieces)];
        pool.push_back(pool.size() < distinct / 2 ? prefix + s : std::move(s));
    }
    std::vector<std::string> col(rows);
    for (auto& c : col) c = pool[rng() % pool.size()];
    return col;
}

// Texts equal in their first sixteen bytes (zero-padded) by the dozen: "ab"
// and "ab" with 1 to 14 NULs end within them (their order is their length),
// and many more go on past them; then other texts.
std::vector<std::string> nul_tail_column(std::mt19937_64& rng, std::size_t rows) {
    std::vector<std::string> pool;
    for (std::size_t k = 0; k <= 14; ++k) pool.push_back("ab" + std::string(k, '\0'));
    for (int j = 0; j < 60; ++j) pool.push_back("ab" + std::string(14, '\0') + std::to_string(j));
    for (int j = 0; j < 40; ++j) pool.push_back("ab" + std::to_string(j));
    std::shuffle(pool.begin(), pool.end(), rng);
    std::vector<std::string> col(rows);
    for (auto& c : col) c = pool[rng() % pool.size()];
    return col;
}

// Bytes that are mostly characters of every length (and the edges of each
// length's range), with a wrong byte now and then.
std::string utf8_bytes(std::mt19937_64& rng, std::size_t n, unsigned bad_per_mille) {
    static const char* const pieces[] = {"a", "~", "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
                                         "\xee\x80\x80", "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf",
                                         "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x99\x82"};
    static const char* const wrong[] = {"\x80", "\xbf", "\xc0\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xed\xa0\x80",
                                        "\xf0\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xff",
                                        "\xe6\x9d", "\xf0\x9f\x99", "\xc3", "\xc0", "\xe0", "\xf4"};
    std::string s;
    const bool runs = rng() % 2 == 0;  // long ASCII runs between characters: whole blocks of ASCII
    while (s.size() < n) {
        if (runs) s.append(rng() % 40, 'x');
        if (rng() % 1000 < bad_per_mille) s += wrong[rng() % std::size(wrong)];
        else s += pieces[rng() % std::size(pieces)];
    }
    return s;
}

// The fast validity check agrees with the one that says where: on short
// strings with wrong bytes anywhere (ends inside a character included), and on
// long ones checked in pieces, with one wrong byte at and around the cuts.
void check_utf8_agreement() {
    for (unsigned seed = 0; seed < 20000; ++seed) {
        std::mt19937_64 rng(seed);
        const std::string s = utf8_bytes(rng, rng() % 80, seed % 3 == 0 ? 0 : 30);
        for (std::size_t len = 0; len <= s.size(); len += 1 + len / 4) {
            const std::string_view v(s.data(), len);
            bool ascii = false;
            const bool valid = valid_utf8(v, &ascii);
            expect(valid == !check_utf8(v).has_value(), "valid_utf8 disagrees with check_utf8", seed);
            const bool all_ascii = std::all_of(v.begin(), v.end(), [](char ch) { return (ch & 0x80) == 0; });
            expect(ascii == all_ascii, "valid_utf8 says ASCII wrongly", seed);
        }
    }
    // Every lead and continuation byte alone, and each valid character, at
    // every place of an ASCII text: at the ends of sixteen-byte blocks too.
    for (const char* piece : {"\x80", "\xbf", "\xc0", "\xc1", "\xc2", "\xdf", "\xe0", "\xed", "\xef", "\xf0",
                              "\xf4", "\xf5", "\xff", "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x99\x82", "\xe6\x9d",
                              "\xf0\x9f\x99", "\xe0\xa0", "\xf0\x90", "\xf0\x90\x80"}) {
        for (std::size_t at = 0; at < 48; ++at) {
            for (std::size_t len : {std::size_t(48), std::size_t(64)}) {
                std::string s(len, 'x');
                s.replace(at, std::strlen(piece), piece);
                s.resize(len);
                expect(valid_utf8(s) == !check_utf8(s).has_value(), "valid_utf8 disagrees at a block edge",
                       unsigned(at));
            }
        }
    }
    std::mt19937_64 rng(7);
    const std::string big = utf8_bytes(rng, 3 << 18, 0);
    expect(valid_utf8(big) && !check_utf8(big), "long valid text refused", 0);
    run_in_pool([&] { expect(valid_utf8_parallel(big), "long valid text refused in pieces", 0); });
    {
        std::string plain(3 << 18, 'a');
        bool ascii = false;
        expect(valid_utf8_parallel(plain, &ascii) && ascii, "long ASCII text not seen as ASCII", 0);
        plain[(2 << 18) + 5] = '\x7f';
        plain.replace(3 << 17, 2, "\xc3\xa9");
        expect(valid_utf8_parallel(plain, &ascii) && !ascii, "one character in a long text seen as ASCII", 0);
    }
    for (std::size_t cut : {std::size_t(1) << 18, std::size_t(2) << 18}) {
        for (std::size_t at = cut - 4; at <= cut + 4; ++at) {
            for (const char* bad : {"\x80", "\xc3", "\xe6\x9d", "\xf0\x9f\x99", "\xff"}) {
                std::string s = big;
                s.replace(at, std::strlen(bad), bad);
                const bool want = !check_utf8(s).has_value();
                expect(valid_utf8(s) == want, "valid_utf8 disagrees on a long text", unsigned(at));
                expect(valid_utf8_parallel(s) == want, "the pieces disagree with the whole", unsigned(at));
            }
        }
    }
}

}  // namespace

int main() {
    check_utf8_agreement();
    // rows, distinct texts, columns: {4096, 600} is split into hash partitions
    // small enough that some come out empty.
    // Columns of more than 65,536 distinct texts are sorted by buckets; with a
    // long shared prefix half of them fall into one bucket, which is sorted by
    // all workers. Fewer distinct texts are sorted on one thread, where a long
    // shared prefix makes runs of thousands of keys equal in sixteen bytes.
    struct Shape {
        std::size_t rows, distinct, columns;
        const char* prefix;
        bool nul_tails = false;  // nul_tail_column() instead
    };
    // Columns of up to 256 rows are sorted whole, rows and all (wide frames
    // have thousands): both sides of that edge, with and without a shared prefix.
    const Shape shapes[] = {{0, 1, 3, ""},         {1, 1, 3, ""},         {7, 3, 3, ""},
                            {100, 99, 40, ""},     {100, 20, 40, "a long prefix shared by half "},
                            {256, 256, 20, ""},    {256, 30, 20, "sixteen bytes.."},  {257, 200, 20, ""},
                            {1000, 12, 3, ""},     {4096, 600, 60, ""},   {50000, 40000, 3, ""},
                            {50000, 30000, 3, "a long prefix shared by half "},
                            {200000, 500, 3, ""},  {300000, 200000, 2, ""},
                            {300000, 200000, 2, "a long prefix shared by half "},
                            {3000, 115, 5, "", true},  {200, 115, 5, "", true}};
    unsigned seed = 0;
    for (const auto& shape : shapes) {
        for (std::size_t rep = 0; rep < shape.columns; ++rep, ++seed) {
            std::mt19937_64 rng(seed);
            const auto col = shape.nul_tails ? nul_tail_column(rng, shape.rows)
                                             : random_column(rng, shape.rows, shape.distinct, shape.prefix);
            std::vector<std::string_view> views(col.begin(), col.end());
            std::vector<double> a(col.size()), b(col.size());
            ColumnCodes ca, cb;
            run_in_pool([&] {
                ca = label_encode(views, StridedOut{a.data(), 1});
                cb = label_encode_by_sort(views, StridedOut{b.data(), 1});
            });
            expect(same_bits(a, b), "codes differ from the sorted reference", seed);
            expect(same_maps(ca, cb), "maps differ from the sorted reference", seed);
            expect(same_maps(cb, ca), "lookups in the sorted block differ from the reference", seed);
            expect(texts_held_once(ca), "the maps hold a text twice", seed);
            for (const std::string& t : random_column(rng, 16, 40))
                expect((ca.label_map.find_index(t) == LabelMap::npos) == (cb.label_map.find_index(t) == LabelMap::npos),
                       "a text is found in one map and not the other", seed);
            expect(kept_when_added_to(ca), "a map added to lost what it had", seed);

            // Views handed over are let go, their room reused, with the same result.
            std::vector<std::string_view> given = views;
            std::vector<double> c(col.size());
            ColumnCodes cc;
            run_in_pool([&] { cc = label_encode(std::move(given), StridedOut{c.data(), 1}); });
            expect(same_bits(c, b), "codes of views handed over differ", seed);
            expect(same_maps(cc, cb), "maps of views handed over differ", seed);
            expect(given.empty(), "views handed over are kept", seed);

            // The state codec reads back what it writes.
            EncoderState st;
            st.encoding_info = std::make_unique<EncodingInfo>();
            st.encoding_info->encoded_columns.push_back(seed);
            st.encoding_info->label_maps.insert_new(seed, ca.label_map);
            st.encoding_info->reverse_maps.insert_new(seed, ca.reverse_map);
            std::vector<std::uint8_t> bytes(state_size(st));
            write_state(st, bytes);
            StateReadResult r = read_state(bytes);
            expect(r.ok && r.encoding_info, "state does not read back", seed);
            if (r.ok && r.encoding_info) {
                ColumnCodes back{*r.encoding_info->label_maps.find(seed), *r.encoding_info->reverse_maps.find(seed)};
                expect(same_maps(ca, back), "state round trip changed the maps", seed);
                expect(texts_held_once(back), "the read maps hold a text twice", seed);
            }
        }
    }
    std::printf("%s (%u columns)\n", failures ? "FAILED" : "ok", seed);
    return failures ? 1 : 0;
}
