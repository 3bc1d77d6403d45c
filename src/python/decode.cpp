// Decoding: the codes of the remembered text columns back to their strings.
// One str per code of a column, shared by every cell carrying it, made so that
// decoding k rows costs in proportion to k whatever the size of the map.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "python/output.hpp"

namespace tovrik::py {

namespace {

// A cell's code: truncation toward zero, saturating at both ends.
std::uint64_t code_of(double v) {
    if (v < 1.0) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

constexpr std::size_t k_ahead = 16;  // cells between a prefetch and its use
constexpr std::size_t k_band_bytes = 256 * 1024;  // result cells filled per band of rows

// Strided run of cells; the stride is in bytes.
template <class T>
struct Strided {
    T* base;
    npy_intp stride;
    T* at(std::size_t r) const noexcept {
        return reinterpret_cast<T*>(reinterpret_cast<char*>(base) + npy_intp(r) * stride);
    }
};

double read_cell(Strided<const char> cells, std::size_t r) {
    double v;
    std::memcpy(&v, cells.base + npy_intp(r) * cells.stride, sizeof v);
    return v;
}

// Objects made one after another are fetched a pool at a time. The
// interpreter's small-object allocator hands out the blocks of one size from
// one pool (16 KiB) until it is full, in the order they were freed: after a
// large result of the same sizes was released, in no order at all, so each
// allocation waits for a cache miss on the block it reads its successor
// from. The first block taken from a pool fetches all of it; the fetches
// only hint (they never fault, whatever lies there).
class PoolAhead {
public:
    void after(const void* p) noexcept {
        const auto base = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t(k_pool - 1);
        // Texts of different lengths come from pools of different block
        // sizes, taken in turn: the pools fetched last are remembered.
        for (std::uintptr_t seen : recent_)
            if (seen == base) return;
        recent_[next_++ % k_recent] = base;
        for (std::size_t off = 0; off < k_pool; off += 64)
            __builtin_prefetch(reinterpret_cast<const char*>(base + off), 1);
    }

private:
    static constexpr std::size_t k_pool = 16 * 1024;
    static constexpr std::size_t k_recent = 8;
    std::uintptr_t recent_[k_recent] = {};
    std::size_t next_ = 0;
};

// A new str holding the UTF-8 text, as PyUnicode_FromStringAndSize would
// make it. An ASCII text (most texts) is copied into a fresh compact str
// without going through the decoder; shorter than two bytes, the
// interpreter's shared strs are taken. (The words are ORed inline: the
// engine's UTF-8 check, a call that validates too, cost 5-15% of a decode
// of short texts.)
Ref make_str(std::string_view text) {
    const auto n = text.size();
    if (n >= 2) {
        std::uint64_t high = 0;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            high |= w;
        }
        for (; i < n; ++i) high |= std::uint8_t(text[i]);
        if ((high & 0x8080808080808080ull) == 0) {
            Ref s = check(PyUnicode_New(Py_ssize_t(n), 127));
            std::memcpy(PyUnicode_DATA(s.get()), text.data(), n);
            return s;
        }
    }
    return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(n)));
}

// The strs of one listed column's codes, shared by every cell that carries
// the same code. With at least as many rows as the map has entries, every
// entry's str is made up front, in entry order (a walk through the map's
// memory), and the cells take their references at the end, counted per str;
// with fewer, a str is made on its code's first use and kept in a table by
// entry index, or, with rows few for the size of the map, in a small
// open-addressing cache sized by the rows: the cost then follows the cells
// decoded rather than the size of the map.
//
// A column is filled in runs of rows, in order; `finish` then takes the
// references a complete table counted. Until then, `abandon` empties the
// cells that hold a str without its reference, so that after a failure the
// output holds exactly the references it owns.
class ColumnStrings {
public:
    ColumnStrings(const core::ReverseLabelMap& map, std::size_t rows, PyObject* fallback)
        : map_(map), fallback_(fallback) {
        if (map.size() <= rows) {
            mode_ = Mode::all;
            // One slot per entry, and the last for cells without a str.
            slots_.resize(map.size() + 1);
            PoolAhead ahead;
            for (std::size_t i = 0; i < map.size(); ++i) {
                slots_[i].str = make(i);
                ahead.after(slots_[i].str.get());
            }
            slots_[map.size()].str = Ref::borrow(fallback);
        } else if (map.size() <= k_table_rows_factor * rows) {
            mode_ = Mode::by_entry;
            made_.resize(map.size());
        } else {
            mode_ = Mode::cache;
            std::size_t cap = 16;
            while (cap < 2 * rows) cap <<= 1;
            cache_.assign(cap, 0);
            mask_ = cap - 1;
        }
    }
    ColumnStrings(const ColumnStrings&) = delete;
    ColumnStrings& operator=(const ColumnStrings&) = delete;

    /// Writes new references to the strs of rows [begin, end) into out
    /// (complete tables: the references follow in finish()). Runs come in
    /// row order.
    void fill(Strided<const char> cells, Strided<PyObject*> out, std::size_t begin, std::size_t end) {
        if (mode_ == Mode::all) {
            fill_complete(cells, out, begin, end);
            return;
        }
        std::size_t r = begin;
        try {
            for (; r < end; ++r) {
                PyObject* s = get(read_cell(cells, r));
                *out.at(r) = s != nullptr ? s : fallback_;
            }
        } catch (...) {
            for (std::size_t i = begin; i < r; ++i) *out.at(i) = nullptr;
            throw;
        }
        // The strs of a column of many distinct texts lie all over memory:
        // each is fetched a few cells before its count is raised.
        for (r = begin; r < end; ++r) {
            if (r + k_ahead < end) __builtin_prefetch(*out.at(r + k_ahead), 1);
            Py_INCREF(*out.at(r));
        }
    }

    /// The whole column at once: fill(), abandon() on a failure, finish().
    void fill_column(Strided<const char> cells, Strided<PyObject*> out, std::size_t rows) {
        try {
            fill(cells, out, 0, rows);
        } catch (...) {
            abandon(out);
            throw;
        }
        finish();
    }

    /// Takes the references counted by a complete table's runs.
    void finish() noexcept {
        if (mode_ != Mode::all) return;
        // A str at a time: the counts lie together, where the strs' own
        // reference counts lie all over memory (wherever the allocator found
        // room), so each str is fetched a few slots ahead and touched once:
        // the table's own reference goes to one of its cells.
        const std::size_t n = slots_.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (i + k_ahead < n) __builtin_prefetch(slots_[i + k_ahead].str.get(), 1);
            Slot& slot = slots_[i];
            if (slot.uses == 0) continue;  // released with the table
            PyObject* s = slot.str.release();
            for (std::size_t u = slot.uses - 1; u != 0; --u) Py_INCREF(s);
        }
        filled_ = 0;
    }

    /// Empties the cells written without their reference (before finish()).
    void abandon(Strided<PyObject*> out) noexcept {
        if (mode_ != Mode::all) return;
        for (std::size_t r = 0; r < filled_; ++r) *out.at(r) = nullptr;
        filled_ = 0;
    }

private:
    enum class Mode { all, by_entry, cache };
    // The table costs a word per entry of the map: it is taken while that is
    // within a few words per row.
    static constexpr std::size_t k_table_rows_factor = 4;
    static constexpr std::size_t k_run = 256;  // cells whose slots are found before any is read

    struct Slot {
        Ref str;
        std::size_t uses = 0;
    };

    // Each run's slots are found first, then read with each slot fetched a
    // few cells ahead: in a column of many texts they miss the cache.
    void fill_complete(Strided<const char> cells, Strided<PyObject*> out, std::size_t begin, std::size_t end) {
        const std::size_t none = map_.size();
        std::size_t at[k_run];
        for (std::size_t run = begin; run < end; run += k_run) {
            const std::size_t n = std::min(k_run, end - run);
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t i = entry_of(read_cell(cells, run + j));
                at[j] = i == core::ReverseLabelMap::npos ? none : i;
            }
            for (std::size_t j = 0; j < n; ++j) {
                if (j + k_ahead < n) __builtin_prefetch(&slots_[at[j + k_ahead]], 1);
                Slot& slot = slots_[at[j]];
                *out.at(run + j) = slot.str.get();
                ++slot.uses;
            }
            filled_ = run + n;
        }
    }

    /// The map entry of cell value v, or npos when it has none.
    std::size_t entry_of(double v) const {
        return std::isnan(v) ? core::ReverseLabelMap::npos : map_.find_index(code_of(v));
    }

    /// The str of cell value v, borrowed from this object, or null when it has none.
    PyObject* get(double v) {
        const std::size_t i = entry_of(v);
        if (i == core::ReverseLabelMap::npos) return nullptr;
        if (mode_ == Mode::by_entry) {
            if (!made_[i]) made_[i] = make(i);
            return made_[i].get();
        }
        for (std::size_t h = (i * 0x9E3779B97F4A7C15ull) >> 32;; ++h) {
            std::uint64_t& k = cache_[h & mask_];
            if (k == 0) {
                made_.push_back(make(i));
                k = (std::uint64_t(made_.size() - 1) << 32) | (i + 1);
            }
            if ((k & 0xffffffffu) == i + 1) return made_[k >> 32].get();
        }
    }

    Ref make(std::size_t i) const { return make_str(std::string_view(map_.entry(i).second)); }

    const core::ReverseLabelMap& map_;
    PyObject* fallback_;
    Mode mode_;
    std::vector<Slot> slots_;            // complete tables: by entry index, the fallback last
    std::size_t filled_ = 0;             // complete tables: rows written without their reference
    std::vector<Ref> made_;              // by entry index, or in order of first use (cache)
    std::vector<std::uint64_t> cache_;  // (index into made_ << 32) | (entry index + 1), 0 for free
    std::size_t mask_ = 0;
};

const core::ReverseLabelMap& reverse_map_of(const core::EncodingInfo& info, std::uint64_t c) {
    const core::ReverseLabelMap* m = info.reverse_maps.find(c);
    if (m == nullptr) throw Panic("no entry found for key");
    return *m;
}

[[noreturn]] void out_of_bounds(std::uint64_t c, std::size_t len) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(c));
}

Strided<const char> column_cells(PyArrayObject* m, std::size_t c) {
    return {static_cast<const char*>(PyArray_DATA(m)) + npy_intp(c) * PyArray_STRIDE(m, 1), PyArray_STRIDE(m, 0)};
}

}  // namespace

Ref decode_array(Ref base, const core::EncodingInfo& info) {
    auto* m = reinterpret_cast<PyArrayObject*>(base.get());
    const auto rows = std::size_t(PyArray_DIM(m, 0)), cols = std::size_t(PyArray_DIM(m, 1));
    for (std::uint64_t c : info.encoded_columns) {
        reverse_map_of(info, c);
        if (rows != 0 && c >= cols) out_of_bounds(c, cols);
    }

    // Same memory order as the float result would have had.
    const bool fortran = PyArray_IS_F_CONTIGUOUS(m) && !PyArray_IS_C_CONTIGUOUS(m);
    // Object arrays start zero-filled (NULL cells), so a failure half way
    // releases exactly what was stored.
    Ref out = new_object_matrix(rows, cols, fortran);
    auto* o = reinterpret_cast<PyArrayObject*>(out.get());
    std::vector<std::uint8_t> listed(cols, 0);
    for (std::uint64_t c : info.encoded_columns)
        if (c < cols) listed[c] = 1;
    Ref nan_text = check(PyUnicode_FromString("NaN"));

    const auto dst_of = [o](std::size_t c) {
        return Strided<PyObject*>{reinterpret_cast<PyObject**>(static_cast<char*>(PyArray_DATA(o)) +
                                                               npy_intp(c) * PyArray_STRIDE(o, 1)),
                                  PyArray_STRIDE(o, 0)};
    };
    std::vector<std::unique_ptr<ColumnStrings>> strings(cols);
    for (std::size_t c = 0; c < cols; ++c)
        if (listed[c]) strings[c] = std::make_unique<ColumnStrings>(reverse_map_of(info, c), rows, nan_text.get());

    // A row-major result is filled a band of rows at a time, every column
    // within the band: column by column, each pass would bring the whole
    // matrix through the cache to write one word in every line. A
    // column-major one is filled column by column.
    const std::size_t band = fortran ? std::max<std::size_t>(rows, 1)
                                     : std::max<std::size_t>(16, k_band_bytes / (sizeof(PyObject*) * std::max<std::size_t>(cols, 1)));
    try {
        for (std::size_t begin = 0; begin < rows; begin += band) {
            const std::size_t end = std::min(rows, begin + band);
            for (std::size_t c = 0; c < cols; ++c) {
                const Strided<const char> cells = column_cells(m, c);
                const Strided<PyObject*> dst = dst_of(c);
                if (strings[c]) {
                    strings[c]->fill(cells, dst, begin, end);
                } else {
                    for (std::size_t r = begin; r < end; ++r)
                        *dst.at(r) = check(PyFloat_FromDouble(read_cell(cells, r))).release();
                }
            }
        }
    } catch (...) {
        for (std::size_t c = 0; c < cols; ++c)
            if (strings[c]) strings[c]->abandon(dst_of(c));
        throw;
    }
    for (std::size_t c = 0; c < cols; ++c)
        if (strings[c]) strings[c]->finish();
    return out;
}

Ref decode_frame(Ref frame, PyArrayObject* m, const std::vector<std::string>& names,
                 const core::EncodingInfo& info) {
    const auto rows = std::size_t(PyArray_DIM(m, 0)), cols = std::size_t(PyArray_DIM(m, 1));
    for (std::uint64_t c : info.encoded_columns) {
        reverse_map_of(info, c);
        if (rows != 0 && c >= cols) out_of_bounds(c, cols);
        if (c >= names.size()) out_of_bounds(c, names.size());
    }
    Ref pandas = check(PyImport_ImportModule("pandas"));
    Ref series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
    // Series(values, dtype="object", copy=False): the column keeps object dtype
    // (a bare array of strs would be inferred as a string dtype by pandas 3).
    Ref kwargs = check(PyDict_New());
    Ref object_name = check(PyUnicode_FromString("object"));
    check_status(PyDict_SetItemString(kwargs.get(), "dtype", object_name.get()));
    check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    Ref isetitem = check(PyUnicode_InternFromString("isetitem"));

    for (std::uint64_t c : info.encoded_columns) {
        // Zero-filled (NULL cells) until written, so a failure half way
        // releases exactly what was stored.
        Ref values = new_object_column(rows);
        if (rows != 0) {
            // Made just before the column is filled, as for arrays.
            ColumnStrings strings(reverse_map_of(info, c), rows, Py_None);
            const Strided<PyObject*> dst{
                static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get()))),
                npy_intp(sizeof(PyObject*))};
            strings.fill_column(column_cells(m, c), dst, rows);
        }

        // By position, so that duplicate column names cannot mix columns up.
        PyObject* args[] = {values.get()};
        Ref series = check(PyObject_VectorcallDict(series_type.get(), args, 1, kwargs.get()));
        values.reset();
        Ref pos = check(PyLong_FromUnsignedLongLong(c));
        PyObject* margs[] = {frame.get(), pos.get(), series.get()};
        check(PyObject_VectorcallMethod(isetitem.get(), margs, 3, nullptr));
    }
    return frame;
}

}  // namespace tovrik::py
