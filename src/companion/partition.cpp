// The per-partition steps of a distributed encode: the sorted distinct texts
// of a partition's columns (packed as offsets and bytes, no Python str per
// text), their k-way merge, and the state record of the merged sets.
#include "companion/partition.hpp"

#include <algorithm>
#include <cstring>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns.hpp"
#include "core/state_codec.hpp"
#include "core/text.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/numpy_api.hpp"

namespace tovrik::py {

namespace {

// Sorted distinct texts, back to back.
struct Packed {
    std::vector<std::int64_t> offsets{0};
    std::string data;

    std::size_t size() const noexcept { return offsets.size() - 1; }
    std::string_view at(std::size_t i) const noexcept {
        return {data.data() + offsets[i], std::size_t(offsets[i + 1] - offsets[i])};
    }
    void push(std::string_view t) {
        data.append(t);
        offsets.push_back(std::int64_t(data.size()));
    }
};

// Byte order of UTF-8 texts: unsigned bytes, a prefix before its extensions.
bool before(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
    return c < 0 || (c == 0 && a.size() < b.size());
}

Ref new_array(int type, std::size_t n, const void* src, std::size_t bytes) {
    npy_intp dims[1] = {npy_intp(n)};
    Ref a = check(PyArray_SimpleNew(1, dims, type));
    if (bytes != 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), src, bytes);
    return a;
}

Ref to_python(const Packed& p) {
    Ref offsets = new_array(NPY_INT64, p.offsets.size(), p.offsets.data(), p.offsets.size() * 8);
    Ref data = new_array(NPY_UINT8, p.data.size(), p.data.data(), p.data.size());
    return check(PyTuple_Pack(2, offsets.get(), data.get()));
}

// A borrowed view of a packed set handed in from Python: (offsets, data),
// int64 and uint8 arrays, checked before any text is read.
struct PackedView {
    const std::int64_t* offsets;
    const char* data;
    std::size_t n;
    std::string_view at(std::size_t i) const noexcept {
        return {data + offsets[i], std::size_t(offsets[i + 1] - offsets[i])};
    }
};

// The arrays of a packed set as contiguous, aligned int64 and uint8 arrays
// (copied when they come unaligned, as buffers received over a network may).
PackedView from_python(PyObject* pair, std::vector<Ref>& keep) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
        raise(PyExc_TypeError, "a packed set is a tuple (offsets, data)");
    auto as_array = [&](PyObject* a, int type) {
        if (!PyArray_Check(a)) raise(PyExc_TypeError, "a packed set holds an int64 and a uint8 array");
        PyArray_Descr* d = PyArray_DescrFromType(type);  // stolen below
        Ref arr = check(PyArray_FromAny(a, d, 1, 1, NPY_ARRAY_CARRAY_RO, nullptr));
        auto* out = reinterpret_cast<PyArrayObject*>(arr.get());
        keep.push_back(std::move(arr));
        return out;
    };
    PyArrayObject* oa = as_array(PyTuple_GET_ITEM(pair, 0), NPY_INT64);
    PyArrayObject* da = as_array(PyTuple_GET_ITEM(pair, 1), NPY_UINT8);
    const auto n_off = std::size_t(PyArray_DIM(oa, 0));
    const auto* off = static_cast<const std::int64_t*>(PyArray_DATA(oa));
    const auto bytes = std::int64_t(PyArray_DIM(da, 0));
    if (n_off == 0 || off[0] != 0) raise(PyExc_ValueError, "packed offsets must start at 0");
    for (std::size_t i = 1; i < n_off; ++i)
        if (off[i] < off[i - 1] || off[i] > bytes) raise(PyExc_ValueError, "packed offsets out of order or bounds");
    return {off, static_cast<const char*>(PyArray_DATA(da)), n_off - 1};
}

// Calls emit(text) for each text of the union of sorted distinct sets, in
// ascending order, each once: a heap holds the next text of every set.
template <class Emit>
void k_way(const std::vector<PackedView>& in, Emit emit) {
    using Head = std::pair<std::string_view, std::size_t>;  // text, set
    auto later = [](const Head& a, const Head& b) { return before(b.first, a.first); };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heap(later);
    std::vector<std::size_t> pos(in.size(), 0);
    for (std::size_t s = 0; s < in.size(); ++s)
        if (in[s].n != 0) heap.push({in[s].at(0), s});
    bool any = false;
    std::string_view last;
    while (!heap.empty()) {
        const auto [text, s] = heap.top();
        heap.pop();
        if (!any || last != text) emit(text);
        any = true;
        last = text;
        if (++pos[s] < in[s].n) heap.push({in[s].at(pos[s]), s});
    }
}

// Label-encodes like encode does, and notes each text column's first text row.
class NotingEncoder final : public core::TextColumnSink {
public:
    NotingEncoder(core::SendPtr out, std::size_t cols) : encoder(out), first(cols, -1) {}
    void submit(std::uint64_t c, std::vector<std::string_view>&& texts, std::size_t first_text) override {
        first[c] = std::int64_t(first_text);
        encoder.submit(c, std::move(texts), first_text);
    }
    void submit(std::uint64_t c, const core::PackedTexts& texts) override {
        first[c] = 0;
        encoder.submit(c, texts);
    }
    void submit(std::uint64_t c, core::CodedTexts&& column, std::size_t first_text) override {
        first[c] = std::int64_t(first_text);
        encoder.submit(c, std::move(column), first_text);
    }
    void wait() override { encoder.wait(); }

    core::TextColumnEncoder encoder;
    std::vector<std::int64_t> first;
};

}  // namespace

// part_sets(obj, columns, force) -> (rows, first text row of each column or -1, sorted sets)
PyObject* part_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (nargs != 3) raise(PyExc_TypeError, "part_sets() takes 3 arguments");
        PyObject* obj = args[0];
        OUT kind = classify(obj);
        require_numpy();
        const auto [rows, cols] = read_shape(obj);
        std::vector<std::uint8_t> force(cols, 0);
        bool any_forced = false;
        {
            Ref it = check(PyObject_GetIter(args[2]));
            std::size_t c = 0;
            while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
                if (c >= cols) raise(PyExc_ValueError, "more force flags than columns");
                force[c] = std::uint8_t(check_status(PyObject_IsTrue(v.get())));
                any_forced = any_forced || force[c];
                ++c;
            }
            if (PyErr_Occurred()) throw PyError();
        }
        std::vector<std::uint64_t> wanted;
        {
            Ref it = check(PyObject_GetIter(args[1]));
            while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
                unsigned long long c = PyLong_AsUnsignedLongLong(v.get());
                if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError();
                if (c >= cols) raise(PyExc_ValueError, "a column index beyond the width");
                wanted.push_back(c);
            }
            if (PyErr_Occurred()) throw PyError();
        }

        Ref matrix = new_float_matrix(rows, cols, kind.is_frame);
        const core::SendPtr out = matrix_out(matrix.get());
        NotingEncoder encoder(out, cols);
        read_cells(obj, kind.is_frame, rows, cols, out, encoder, any_forced ? &force : nullptr);
        std::vector<core::ColumnLabels> labels = encoder.encoder.finish();

        Ref firsts = check(PyTuple_New(Py_ssize_t(wanted.size())));
        Ref sets = check(PyList_New(Py_ssize_t(wanted.size())));
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            const std::uint64_t c = wanted[i];
            Packed p;
            auto found = std::find_if(labels.begin(), labels.end(), [c](const auto& l) { return l.column == c; });
            if (found != labels.end()) {
                for (const auto& [text, code] : found->label_map) p.push(text);  // ascending order
            } else if (rows != 0) {
                // Only numbers: their texts by the float text rule.
                std::vector<std::string> texts(rows);
                for (std::size_t r = 0; r < rows; ++r) core::append_float_text(texts[r], out.at(r, c));
                std::sort(texts.begin(), texts.end(), [](const auto& a, const auto& b) { return before(a, b); });
                texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
                for (const auto& t : texts) p.push(t);
            }
            PyList_SET_ITEM(sets.get(), Py_ssize_t(i), to_python(p).release());
            PyTuple_SET_ITEM(firsts.get(), Py_ssize_t(i), check(PyLong_FromLongLong(encoder.first[c])).release());
        }
        Ref n = check(PyLong_FromUnsignedLongLong(rows));
        return PyTuple_Pack(4, n.get(), firsts.get(), sets.get(), matrix.get());
    } catch (...) {
        return translate_exception();
    }
}

// remap(matrix, columns, local_sets, merged_sets) -> a new matrix: the listed
// columns' codes into their local sets become codes into the merged sets.
PyObject* remap(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (nargs != 4) raise(PyExc_TypeError, "remap() takes 4 arguments");
        require_numpy();
        PyObject* m = args[0];
        if (!PyArray_Check(m) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(m)) != 2 ||
            PyArray_TYPE(reinterpret_cast<PyArrayObject*>(m)) != NPY_FLOAT64 ||
            !(PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(m)) ||
              PyArray_IS_F_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(m))))
            raise(PyExc_TypeError, "remap() takes a contiguous 2-D float64 array");
        auto* in_arr = reinterpret_cast<PyArrayObject*>(m);
        const auto rows = std::size_t(PyArray_DIM(in_arr, 0)), cols = std::size_t(PyArray_DIM(in_arr, 1));
        Ref columns = check(PySequence_Fast(args[1], "columns must be a sequence"));
        Ref locals = check(PySequence_Fast(args[2], "local sets must be a sequence"));
        Ref merged = check(PySequence_Fast(args[3], "merged sets must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(columns.get());
        if (PySequence_Fast_GET_SIZE(locals.get()) != n || PySequence_Fast_GET_SIZE(merged.get()) != n)
            raise(PyExc_ValueError, "one local and one merged set per column");

        const bool by_column = !PyArray_IS_C_CONTIGUOUS(in_arr);
        Ref out_arr = new_float_matrix(rows, cols, by_column);
        const core::SendPtr in = matrix_out(m), out = matrix_out(out_arr.get());
        if (rows * cols != 0) std::memcpy(out.ptr, in.ptr, rows * cols * sizeof(double));

        std::vector<Ref> keep;
        std::vector<double> lut;
        for (Py_ssize_t i = 0; i < n; ++i) {
            unsigned long long c = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(columns.get(), i));
            if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError();
            if (c >= cols) raise(PyExc_ValueError, "a column index beyond the width");
            const PackedView local = from_python(PySequence_Fast_GET_ITEM(locals.get(), i), keep);
            const PackedView all = from_python(PySequence_Fast_GET_ITEM(merged.get(), i), keep);
            // Both sets ascend, so one walk finds each local text's merged code.
            lut.clear();
            std::size_t j = 0;
            std::uint64_t code = 0;  // codes of the merged texts before j
            for (std::size_t k = 0; k < local.n; ++k) {
                const std::string_view t = local.at(k);
                if (core::is_missing_text(t)) continue;
                while (j < all.n && all.at(j) != t) {
                    if (!core::is_missing_text(all.at(j))) ++code;
                    ++j;
                }
                if (j == all.n) raise(PyExc_ValueError, "a local text is missing from the merged set");
                lut.push_back(double(code));
            }
            for (std::size_t r = 0; r < rows; ++r) {
                double& v = out.at(r, c);
                if (v != v) continue;  // no code
                if (!(v >= 0 && v < double(lut.size()))) raise(PyExc_ValueError, "a local code beyond its set");
                v = lut[std::size_t(v)];
            }
        }
        return out_arr.release();
    } catch (...) {
        return translate_exception();
    }
}

// merge(sets) -> packed: the sorted union of sorted packed sets.
PyObject* merge_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (nargs != 1) raise(PyExc_TypeError, "merge() takes 1 argument");
        std::vector<PackedView> in;
        Ref it = check(PyObject_GetIter(args[0]));
        std::vector<Ref> keep;  // the arrays stay alive while read
        while (Ref v = Ref::steal(PyIter_Next(it.get()))) {
            in.push_back(from_python(v.get(), keep));
            keep.push_back(std::move(v));
        }
        if (PyErr_Occurred()) throw PyError();
        for (const PackedView& s : in)
            for (std::size_t i = 1; i < s.n; ++i)
                if (!before(s.at(i - 1), s.at(i))) raise(PyExc_ValueError, "a packed set is not sorted and distinct");

        // Linear k-way merge, run twice: once to measure the union, once to
        // write it into arrays of exactly that size, so that the merge holds
        // no more than its result beside its inputs.
        std::size_t count = 0, bytes = 0;
        k_way(in, [&](std::string_view t) {
            ++count;
            bytes += t.size();
        });
        npy_intp dims_off[1] = {npy_intp(count + 1)}, dims_data[1] = {npy_intp(bytes)};
        Ref offsets = check(PyArray_SimpleNew(1, dims_off, NPY_INT64));
        Ref data = check(PyArray_SimpleNew(1, dims_data, NPY_UINT8));
        auto* o = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
        auto* d = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(data.get())));
        std::int64_t at = 0;
        *o++ = 0;
        k_way(in, [&](std::string_view t) {
            if (!t.empty()) std::memcpy(d + at, t.data(), t.size());
            at += std::int64_t(t.size());
            *o++ = at;
        });
        return PyTuple_Pack(2, offsets.get(), data.get());
    } catch (...) {
        return translate_exception();
    }
}

// state_of_sets(columns, sets) -> bytes: the state an Encoder holds after
// encoding data whose text columns have these sorted distinct texts.
PyObject* state_of_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (nargs != 2) raise(PyExc_TypeError, "state_of_sets() takes 2 arguments");
        Ref cols = check(PySequence_Fast(args[0], "columns must be a sequence"));
        Ref sets = check(PySequence_Fast(args[1], "sets must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(cols.get());
        if (PySequence_Fast_GET_SIZE(sets.get()) != n) raise(PyExc_ValueError, "one set per column");
        std::vector<core::ColumnLabels> labels;
        std::vector<Ref> keep;
        for (Py_ssize_t i = 0; i < n; ++i) {
            unsigned long long c = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(cols.get(), i));
            if (c == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError();
            if (!labels.empty() && c <= labels.back().column) raise(PyExc_ValueError, "columns must ascend");
            const PackedView s = from_python(PySequence_Fast_GET_ITEM(sets.get(), i), keep);
            core::ColumnLabels& l = labels.emplace_back();
            l.column = c;
            // The reverse map views the label map's copy of each text, as the engine's does.
            l.label_map.reserve(s.n);
            std::vector<core::ReverseLabelMap::Entry> reverse;
            std::uint64_t next = 0;
            for (std::size_t k = 0; k < s.n; ++k) {
                const std::string_view t = s.at(k);
                if (k != 0 && !before(s.at(k - 1), t)) raise(PyExc_ValueError, "a packed set is not sorted and distinct");
                if (auto bad = core::check_utf8(t)) raise(PyExc_ValueError, "a text is not valid UTF-8");
                if (core::is_missing_text(t)) {
                    l.label_map.insert_new(t, std::optional<std::uint64_t>());
                } else {
                    l.label_map.insert_new(t, std::optional<std::uint64_t>(next));
                    reverse.emplace_back(next++, l.label_map.entry(k).first);
                }
            }
            l.reverse_map.assign_distinct(std::move(reverse), l.label_map.texts());
        }
        core::EncoderState state;
        state.encoding_info = std::make_unique<core::EncodingInfo>(core::make_encoding_info(std::move(labels)));
        const std::size_t size = core::state_size(state);
        Ref bytes = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
        core::write_state(state, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
        return bytes.release();
    } catch (...) {
        return translate_exception();
    }
}

}  // namespace tovrik::py
