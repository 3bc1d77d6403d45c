// Decoding: the codes of the remembered text columns back to their strings.
// One str per code of a column, shared by every cell carrying it, made so that
// decoding k rows costs in proportion to k whatever the size of the map.
#include <algorithm>
#include <cmath>
#include <cstring>
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

// The strs of one listed column's codes, shared by every cell that carries
// the same code. With at least as many rows as the map has entries, every
// entry's str is made up front, in entry order (a walk through the map's
// memory); with fewer, a str is made on its code's first use and kept in a
// table by entry index, or, with rows few for the size of the map, in a
// small open-addressing cache sized by the rows: the cost then follows the
// cells decoded rather than the size of the map.
class ColumnStrings {
public:
    ColumnStrings(const core::ReverseLabelMap& map, std::size_t rows) : map_(map) {
        if (map.size() <= rows) {
            mode_ = Mode::all;
            made_.resize(map.size());
            for (std::size_t i = 0; i < map.size(); ++i) made_[i] = make(i);
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

    /// Whether every entry's str is made: peek() then serves every cell.
    bool complete() const noexcept { return mode_ == Mode::all; }

    /// Complete tables only: the entry of cell value v, or npos when it has none.
    std::size_t entry_of(double v) const {
        return std::isnan(v) ? core::ReverseLabelMap::npos : map_.find_index(code_of(v));
    }
    std::size_t entries() const noexcept { return made_.size(); }
    PyObject* made(std::size_t i) const noexcept { return made_[i].get(); }

    /// The str of cell value v, borrowed from this object, or null when it has none.
    PyObject* get(double v) {
        if (std::isnan(v)) return nullptr;
        const std::size_t i = map_.find_index(code_of(v));
        if (i == core::ReverseLabelMap::npos) return nullptr;
        switch (mode_) {
            case Mode::all:
                return made_[i].get();
            case Mode::by_entry:
                if (!made_[i]) made_[i] = make(i);
                return made_[i].get();
            case Mode::cache:
                break;
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

private:
    enum class Mode { all, by_entry, cache };
    // The table costs a word per entry of the map: it is taken while that is
    // within a few words per row.
    static constexpr std::size_t k_table_rows_factor = 4;

    Ref make(std::size_t i) const {
        const std::string_view text(map_.entry(i).second);
        return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    }

    const core::ReverseLabelMap& map_;
    Mode mode_;
    std::vector<Ref> made_;              // by entry index, or in order of first use (cache)
    std::vector<std::uint64_t> cache_;  // (index into made_ << 32) | (entry index + 1), 0 for free
    std::size_t mask_ = 0;
};

// Writes new references to the strs of the column's rows into out, `fallback`
// for a cell without one. First every cell's object, then the references,
// taken with the objects a few cells ahead already on their way into the
// cache: the strs of a column of many distinct texts lie all over memory.
// A failure part way (making a str) leaves the cells it reached empty again,
// so that `out` holds exactly the references it owns.
void fill_strings(ColumnStrings& strings, Strided<const char> cells, Strided<PyObject*> out, std::size_t rows,
                  PyObject* fallback) {
    if (strings.complete()) {
        // The references are counted per str first, then taken a str at a
        // time: the counters lie together, where the strs' own counts lie all
        // over memory.
        std::vector<std::size_t> uses(strings.entries() + 1, 0);  // the last: the fallback
        const std::size_t none = strings.entries();
        for (std::size_t r = 0; r < rows; ++r) {
            std::size_t i = strings.entry_of(read_cell(cells, r));
            if (i == core::ReverseLabelMap::npos) i = none;
            *out.at(r) = i == none ? fallback : strings.made(i);
            ++uses[i];
        }
        for (std::size_t i = 0; i <= none; ++i) {
            PyObject* s = i == none ? fallback : strings.made(i);
            for (std::size_t u = uses[i]; u != 0; --u) Py_INCREF(s);
        }
        return;
    }
    {
        std::size_t r = 0;
        try {
            for (; r < rows; ++r) {
                PyObject* s = strings.get(read_cell(cells, r));
                *out.at(r) = s != nullptr ? s : fallback;
            }
        } catch (...) {
            for (std::size_t i = 0; i < r; ++i) *out.at(i) = nullptr;
            throw;
        }
    }
    for (std::size_t r = 0; r < rows; ++r) {
        if (r + k_ahead < rows) __builtin_prefetch(*out.at(r + k_ahead), 1);
        Py_INCREF(*out.at(r));
    }
}

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
    npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_OBJECT);
    if (descr == nullptr) throw PyError();
    // Object arrays start zero-filled (NULL cells), so a failure half way
    // releases exactly what was stored.
    Ref out = check(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr,
                                         fortran ? 1 : 0, nullptr));
    auto* o = reinterpret_cast<PyArrayObject*>(out.get());
    std::vector<std::uint8_t> listed(cols, 0);
    for (std::uint64_t c : info.encoded_columns)
        if (c < cols) listed[c] = 1;
    Ref nan_text = check(PyUnicode_FromString("NaN"));

    // Column by column, each column's strs made just before its cells are
    // filled: they are what the cache holds meanwhile (making every column's
    // first, or interleaving columns, made them evict one another).
    for (std::size_t c = 0; c < cols; ++c) {
        const Strided<const char> cells = column_cells(m, c);
        const Strided<PyObject*> dst{reinterpret_cast<PyObject**>(static_cast<char*>(PyArray_DATA(o)) +
                                                                  npy_intp(c) * PyArray_STRIDE(o, 1)),
                                     PyArray_STRIDE(o, 0)};
        if (listed[c]) {
            ColumnStrings strings(reverse_map_of(info, c), rows);
            fill_strings(strings, cells, dst, rows, nan_text.get());
        } else {
            for (std::size_t r = 0; r < rows; ++r)
                *dst.at(r) = check(PyFloat_FromDouble(read_cell(cells, r))).release();
        }
    }
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

    npy_intp dims[1] = {npy_intp(rows)};
    for (std::uint64_t c : info.encoded_columns) {
        PyArray_Descr* descr = PyArray_DescrFromType(NPY_OBJECT);
        if (descr == nullptr) throw PyError();
        // Zero-filled (NULL cells) until written, so a failure half way
        // releases exactly what was stored.
        Ref values = check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
        if (rows != 0) {
            // Made just before the column is filled, as for arrays.
            ColumnStrings strings(reverse_map_of(info, c), rows);
            const Strided<PyObject*> dst{
                static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get()))),
                npy_intp(sizeof(PyObject*))};
            fill_strings(strings, column_cells(m, c), dst, rows, Py_None);
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
