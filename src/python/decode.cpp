// Decoding: the codes of the remembered text columns back to their strings.
// One str object per code of a column, shared by every cell carrying it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
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

// The strings of one column's codes: one str per code, shared by every cell
// that carries it. Codes as the engine makes them are dense (0..k-1): their
// strings are made up front in a table indexed by code. Any other map is
// looked up per cell, its strings made on first use.
class ColumnStrings {
public:
    explicit ColumnStrings(const core::ReverseLabelMap& map) : map_(map) {
        std::uint64_t top = 0;
        for (const auto& e : map) top = std::max(top, e.first);
        if (map.size() != 0 && top < 2 * map.size() + 64) {
            dense_ = true;
            by_code_.resize(std::size_t(top) + 1);
            for (const auto& [code, text] : map) by_code_[std::size_t(code)] = make(text);
        } else {
            by_code_.resize(map.size());  // by entry index, filled on first use
        }
    }
    ColumnStrings(const ColumnStrings&) = delete;

    /// New reference to the string of cell value v, or null when it has none.
    PyObject* get(double v) {
        if (std::isnan(v)) return nullptr;
        const std::uint64_t code = code_of(v);
        PyObject* s;
        if (dense_) {
            if (code >= by_code_.size()) return nullptr;
            s = by_code_[std::size_t(code)].get();
        } else {
            const std::size_t i = map_.find_index(code);
            if (i == core::ReverseLabelMap::npos) return nullptr;
            if (!by_code_[i]) by_code_[i] = make(map_.entry(i).second);
            s = by_code_[i].get();
        }
        return s == nullptr ? nullptr : Py_NewRef(s);
    }

    /// Whether every string is made already: peek() then needs no Python.
    bool dense() const noexcept { return dense_; }

    /// Dense tables only: the string of cell value v, borrowed, or null.
    PyObject* peek(double v) const noexcept {
        if (std::isnan(v)) return nullptr;
        const std::uint64_t code = code_of(v);
        return code < by_code_.size() ? by_code_[std::size_t(code)].get() : nullptr;
    }

private:
    static Ref make(const std::string& text) {
        return check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    }

    const core::ReverseLabelMap& map_;
    bool dense_ = false;
    std::vector<Ref> by_code_;  // dense: by code; otherwise by entry index
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

double cell(PyArrayObject* m, std::size_t r, std::size_t c) {
    double v;
    std::memcpy(&v, static_cast<const char*>(PyArray_DATA(m)) + npy_intp(r) * PyArray_STRIDE(m, 0) +
                        npy_intp(c) * PyArray_STRIDE(m, 1),
                sizeof v);
    return v;
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
    auto slot = [&](std::size_t r, std::size_t c) {
        return reinterpret_cast<PyObject**>(static_cast<char*>(PyArray_DATA(o)) +
                                            npy_intp(r) * PyArray_STRIDE(o, 0) +
                                            npy_intp(c) * PyArray_STRIDE(o, 1));
    };
    // One string table per listed column (a column listed twice decodes the same).
    std::vector<std::unique_ptr<ColumnStrings>> strings(cols);
    for (std::uint64_t c : info.encoded_columns)
        if (c < cols && !strings[c]) strings[c] = std::make_unique<ColumnStrings>(reverse_map_of(info, c));

    // Row by row, so that the cells are written in memory order for a C result.
    Ref nan_text;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            const double v = cell(m, r, c);
            PyObject* s;
            if (ColumnStrings* t = strings[c].get()) {
                s = t->get(v);
                if (s == nullptr) {
                    if (!nan_text) nan_text = check(PyUnicode_FromString("NaN"));
                    s = Py_NewRef(nan_text.get());
                }
            } else {
                s = check(PyFloat_FromDouble(v)).release();
            }
            *slot(r, c) = s;
        }
    }
    return out;
}

Ref decode_frame(Ref frame, PyArrayObject* m, const std::vector<std::string>& names,
                 const core::EncodingInfo& info) {
    const auto rows = std::size_t(PyArray_DIM(m, 0)), cols = std::size_t(PyArray_DIM(m, 1));
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
        const core::ReverseLabelMap& map = reverse_map_of(info, c);
        if (rows != 0 && c >= cols) out_of_bounds(c, cols);
        if (c >= names.size()) out_of_bounds(c, names.size());

        PyArray_Descr* descr = PyArray_DescrFromType(NPY_OBJECT);
        if (descr == nullptr) throw PyError();
        // Zero-filled (NULL cells) until written, so a failure half way
        // releases exactly what was stored.
        Ref values = check(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
        auto** slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
        ColumnStrings strings(map);
        if (strings.dense()) {
            // Every cell's object first, then the references taken with the
            // objects a few cells ahead already on their way into the cache:
            // the strs of a column of many distinct texts lie all over memory.
            // Nothing between the two loops can fail.
            for (std::size_t r = 0; r < rows; ++r) {
                PyObject* s = strings.peek(cell(m, r, c));
                slots[r] = s != nullptr ? s : Py_None;
            }
            constexpr std::size_t ahead = 16;
            for (std::size_t r = 0; r < rows; ++r) {
                if (r + ahead < rows) __builtin_prefetch(slots[r + ahead], 1);
                Py_INCREF(slots[r]);
            }
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                PyObject* s = strings.get(cell(m, r, c));
                slots[r] = s != nullptr ? s : Py_NewRef(Py_None);
            }
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
