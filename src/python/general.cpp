// The general path: every cell read through Python (or straight from the buffer
// of a plain ndarray), columns sorted into numeric and text, texts encoded.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

#include "core/columns.hpp"
#include "core/flat_map.hpp"
#include "core/growth.hpp"
#include "core/hash.hpp"
#include "core/text.hpp"
#include "python/arrow_stream.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/numpy_api.hpp"

namespace tovrik::py {

namespace {

constexpr std::size_t k_signal_interval = 4096;

std::uint64_t shape_item(PyObject* item) {
    Ref idx = Ref::steal(PyNumber_Index(item));
    if (!idx) throw panic_from_pending("`shape` holds a non-integer");
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        throw panic_from_pending("`shape` holds an integer outside 0..2**64-1");
    return v;
}

}  // namespace

std::pair<std::uint64_t, std::uint64_t> read_shape(PyObject* obj) {
    Ref shape = Ref::steal(PyObject_GetAttrString(obj, "shape"));
    if (!shape) throw panic_from_pending("failed to read `shape`");
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2)
        throw Panic("`shape` is not a tuple of two non-negative integers");
    return {shape_item(PyTuple_GET_ITEM(shape.get(), 0)), shape_item(PyTuple_GET_ITEM(shape.get(), 1))};
}

namespace {

// How a cell's bytes are read straight from an exact ndarray's buffer.
enum class Direct { none, object, f64, f32, i8, i16, i32, i64, u8, u16, u32, u64, boolean };

Direct kind_of_type(int type_num) {
    switch (type_num) {
        case NPY_OBJECT: return Direct::object;
        case NPY_DOUBLE: return Direct::f64;
        case NPY_FLOAT: return Direct::f32;
        case NPY_BYTE: return Direct::i8;
        case NPY_SHORT: return Direct::i16;
        case NPY_INT: return Direct::i32;
        case NPY_LONG: return sizeof(long) == 8 ? Direct::i64 : Direct::i32;
        case NPY_LONGLONG: return Direct::i64;
        case NPY_UBYTE: return Direct::u8;
        case NPY_USHORT: return Direct::u16;
        case NPY_UINT: return Direct::u32;
        case NPY_ULONG: return sizeof(long) == 8 ? Direct::u64 : Direct::u32;
        case NPY_ULONGLONG: return Direct::u64;
        case NPY_BOOL: return Direct::boolean;
        default: return Direct::none;
    }
}

Direct direct_kind(PyObject* src, int ndim) {
    if (!PyArray_CheckExact(src)) return Direct::none;
    auto* a = reinterpret_cast<PyArrayObject*>(src);
    if (PyArray_NDIM(a) != ndim || !PyArray_ISNOTSWAPPED(a)) return Direct::none;
    return kind_of_type(PyArray_TYPE(a));
}

// A number of type T read from a NumPy buffer (a bool byte: any non-zero is true).
template <class T>
T load(const char* p) {
    if constexpr (std::is_same_v<T, bool>) {
        return *p != 0;
    } else {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}

// Calls f(T{}) with the C++ type of a number kind: one loop per dtype, not a
// switch per cell. False for object and none.
template <class F>
bool with_number_type(Direct kind, F&& f) {
    switch (kind) {
        case Direct::f64: f(double{}); return true;
        case Direct::f32: f(float{}); return true;
        case Direct::i8: f(std::int8_t{}); return true;
        case Direct::i16: f(std::int16_t{}); return true;
        case Direct::i32: f(std::int32_t{}); return true;
        case Direct::i64: f(std::int64_t{}); return true;
        case Direct::u8: f(std::uint8_t{}); return true;
        case Direct::u16: f(std::uint16_t{}); return true;
        case Direct::u32: f(std::uint32_t{}); return true;
        case Direct::u64: f(std::uint64_t{}); return true;
        case Direct::boolean: f(bool{}); return true;
        default: return false;
    }
}

// Float conversion of a cell; false (with no error pending) when it fails.
bool cell_to_float(PyObject* cell, double& out) {
    if (PyFloat_CheckExact(cell)) {
        out = PyFloat_AS_DOUBLE(cell);
        return true;
    }
    if (PyBool_Check(cell)) {
        out = cell == Py_True ? 1.0 : 0.0;
        return true;
    }
    if (PyLong_CheckExact(cell)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(cell, &overflow);
        if (overflow == 0) {
            out = static_cast<double>(v);
            return true;
        }
    } else if (PyUnicode_CheckExact(cell) || cell == Py_None) {
        return false;  // neither has a float conversion
    }
    double v = PyFloat_AsDouble(cell);
    if (v == -1.0 && PyErr_Occurred()) {
        absorb_error();
        return false;
    }
    out = v;
    return true;
}

// Strong references held for the length of an intake, released together.
// Plain pointers, so that growing the list moves memory and nothing else.
class OwnedRefs {
public:
    OwnedRefs() = default;
    OwnedRefs(const OwnedRefs&) = delete;
    OwnedRefs& operator=(const OwnedRefs&) = delete;
    ~OwnedRefs() {
        for (PyObject* o : refs_) Py_DECREF(o);
    }
    /// Takes over a new reference.
    void push_back(PyObject* owned) {
        try {
            refs_.push_back(owned);
        } catch (...) {
            Py_DECREF(owned);
            throw;
        }
    }
    void reserve_more(std::size_t n) { core::reserve_more(refs_, n); }

private:
    std::vector<PyObject*> refs_;
};

// Where an object's address falls in a table of 2^(64 - shift) slots.
// Objects are 16-byte aligned: the low bits say nothing.
inline std::size_t address_slot(const PyObject* p, unsigned shift) noexcept {
    return std::size_t((std::uintptr_t(p) >> 4) * 0x9E3779B97F4A7C15ull >> shift);
}

// The objects of one column numbered in order of first sight, by address: an
// exact str seen before is the same text, found without reading the object
// again. Each object filed here is held by a reference until the intake ends
// (see CellReader::held_text), so no address is taken over by another object
// while the column is read.
class IdentityTable {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    void clear() {
        // A small table is kept, emptied, for the next column (a wide frame
        // would grow one from nothing column after column).
        if (slots_.size() <= k_kept_slots) std::fill(slots_.begin(), slots_.end(), Slot{});
        else std::vector<Slot>().swap(slots_), mask_ = 0, shift_ = 64;
        count_ = 0;
    }
    void prefetch(const PyObject* p) const noexcept {
        if (count_ != 0) __builtin_prefetch(&slots_[slot_of(p)]);
    }
    std::uint32_t find(const PyObject* p) const noexcept {
        if (count_ == 0) return npos;
        for (std::size_t i = slot_of(p);; i = (i + 1) & mask_) {
            if (slots_[i].key == p) return slots_[i].id;
            if (slots_[i].key == nullptr) return npos;
        }
    }
    std::size_t size() const noexcept { return count_; }
    /// Room for n objects before the table grows.
    void reserve(std::size_t n) {
        if (n != 0 && 2 * n > slots_.size()) grow(std::bit_ceil(std::max<std::size_t>(2 * n, 64)));
    }
    /// p is not in the table yet.
    void insert(const PyObject* p, std::uint32_t id) {
        if ((count_ + 1) * 2 > slots_.size()) grow(slots_.empty() ? 64 : 2 * slots_.size());
        std::size_t i = slot_of(p);
        while (slots_[i].key != nullptr) i = (i + 1) & mask_;
        slots_[i] = {p, id};
        ++count_;
    }

private:
    // Twelve bytes, unpadded: a long column's table is the largest thing its
    // read holds, and twice that while it grows.
    struct [[gnu::packed]] Slot {
        const PyObject* key = nullptr;
        std::uint32_t id = 0;
    };
    static_assert(sizeof(Slot) == 12);
    static constexpr std::size_t k_kept_slots = std::size_t(1) << 16;
    std::size_t slot_of(const PyObject* p) const noexcept { return address_slot(p, shift_); }
    void grow(std::size_t n) {  // n: a power of two
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(n, Slot{});
        mask_ = n - 1;
        shift_ = unsigned(64 - std::countr_zero(n));
        count_ = 0;
        for (const Slot& s : old)
            if (s.key != nullptr) insert(s.key, s.id);
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, count_ = 0;
    unsigned shift_ = 64;
};

// Everything one run of the cell loop owns.
class CellReader {
public:
    CellReader(core::ColumnStore& store, core::SendPtr out, core::TextColumnSink& sink)
        : store_(store), out_(out), sink_(sink), first_text_(store.n_columns, 0) {
        if (recent_pays_) {
            recent_.resize(std::bit_ceil(std::min(store.n_rows * store.n_columns / 8, k_recent_slots)));
            recent_shift_ = unsigned(64 - std::countr_zero(recent_.size()));
        }
    }
    CellReader(const CellReader&) = delete;
    CellReader& operator=(const CellReader&) = delete;
    // The sink's pool tasks read views into arena_, keepalive_ and arrow_:
    // they are waited for before those go.
    ~CellReader() {
        try {
            sink_.wait();
        } catch (...) {
            // the caller is already leaving with an error of its own
        }
    }

    /// Column c is read: a text column starts encoding on the pool right away.
    void end_column(std::size_t c) {
        if (identity_column_ == c) {
            identity_column_ = k_none;
            identity_.clear();
            if (store_.is_text[c]) {
                by_identity_.used.assign(by_identity_.texts.size(), 1);
                sink_.submit(c, std::move(by_identity_), first_text_[c]);
            }
            by_identity_ = {};
            return;
        }
        if (store_.is_text[c]) sink_.submit(c, std::move(store_.text_columns[c]), first_text_[c]);
    }

    /// Column c is an object column whose cells come next, in row order,
    /// through known_object() and object_cell(): its texts are kept as
    /// indices into the distinct objects met, not as a view per row.
    void begin_objects(std::size_t c) {
        // A short column has too few cells to repeat objects much; a very
        // long one, ids that would not fit: a view per row.
        if (store_.n_rows < k_identity_rows) {
            // Room for its views at once (grown from nothing, a wide frame's
            // columns cost an allocation for every doubling).
            if (recent_pays_) store_.text_columns[c].reserve(store_.n_rows);
            return;
        }
        if (store_.n_rows >= IdentityTable::npos - 1) return;
        identity_column_ = c;
        by_identity_ = {};
        by_identity_.codes.resize(store_.n_rows);
        early_sent_ = 0;
        next_identity_check_ = std::clamp<std::size_t>(store_.n_rows / 8, 64, k_identity_evidence);
        // Room for as many objects as the sink expects texts (never more than
        // there are rows), so that the table need not grow on the way.
        identity_.reserve(std::min(sink_.expected_texts(c), store_.n_rows));
    }

    /// Fetches the table slot of an object a few rows ahead into the cache.
    void prefetch_object(const PyObject* next) const noexcept { identity_.prefetch(next); }

    /// Whether `item`, the object of cell (r, c), was met before in this
    /// column (it is then neither read nor touched).
    bool known_object(const PyObject* item, std::size_t r, std::size_t c) noexcept {
        if (identity_column_ != c) return false;
        const std::uint32_t id = identity_.find(item);
        if (id == IdentityTable::npos) return false;
        by_identity_.codes[r] = id;
        return true;
    }

    /// A cell of the column begun by begin_objects() that known_object()
    /// did not know: as cell(), and a str, None or bool is filed by address.
    [[gnu::flatten]] void object_cell(PyObject* value, std::size_t r, std::size_t c) {
        if (identity_column_ != c) return cell(value, r, c);
        if (!store_.is_text[c]) {
            if (read_number(value, r, c)) return;
            take_number_texts(c);
        }
        if (identity_.size() >= next_identity_check_) {
            next_identity_check_ *= 2;
            const std::optional<std::size_t> expected = identity_expected(r, c);
            if (!expected) {
                leave_identity(r, c);
                return cell(value, r, c);
            }
            // Room for the objects still to come, made now while the table is
            // small, rather than by doublings that hold the old table beside
            // the new one when it is largest.
            const std::size_t want = std::min(*expected + *expected / 8, store_.n_rows);
            identity_.reserve(want);
            by_identity_.texts.reserve(want);
        }
        // A row adds one text at most, and begin_objects() took only columns
        // whose row numbers fit an id.
        const auto id = std::uint32_t(by_identity_.texts.size());
        if (PyUnicode_CheckExact(value) || value == Py_None || PyBool_Check(value)) {
            // Their text is theirs alone: the same object, the same text.
            by_identity_.texts.push_back(held_text(value));
            identity_.insert(value, id);
        } else {
            by_identity_.texts.push_back(text_of(value));  // str() may differ call by call
        }
        by_identity_.codes[r] = id;
        if (by_identity_.texts.size() - early_sent_ >= k_early_batch) {
            // The sink may start on the texts met so far while the column is read on.
            const std::size_t n = by_identity_.texts.size();
            sink_.early_texts(c, std::span(by_identity_.texts.data() + early_sent_, n - early_sent_), early_sent_);
            early_sent_ = n;
        }
    }

    /// Waits for the text columns handed to the sink.
    void finish() { sink_.wait(); }

    /// Columns whose every cell is taken as text through str(), numbers
    /// included, from row 0 on (as a column is after its first non-number).
    /// (Each forced column is made text before its first cell, so the cell
    /// loops need no check of their own.)
    void force_text(const std::vector<std::uint8_t>* forced) {
        forced_ = forced;
        if (forced == nullptr || store_.n_rows == 0) return;
        for (std::size_t c = 0; c < forced->size(); ++c)
            if ((*forced)[c]) become_text(0, c);
    }
    bool forced(std::size_t c) const noexcept { return forced_ != nullptr && (*forced_)[c]; }
    bool is_text(std::size_t c) const noexcept { return store_.is_text[c] != 0; }

    [[gnu::flatten]] void cell(PyObject* value, std::size_t r, std::size_t c) {
        if (!store_.is_text[c] && read_number(value, r, c)) return;
        store_.text_columns[c].push_back(text_of(value));
    }

    void number(double v, std::size_t r, std::size_t c) { out_.at(r, c) = v; }
    /// Where numbers go: cells of a column that is never text may be written
    /// through it from other threads.
    core::SendPtr out() const noexcept { return out_; }

    /// A number of a column of forced texts, read from a NumPy buffer: its
    /// text is str() of the Python number `values` boxes it as.
    void forced_number(Direct kind, const char* p, std::size_t r, std::size_t c) {
        with_number_type(kind, [&](auto zero) { text(forced_text(load<decltype(zero)>(p)), r, c); });
    }

    /// A column of a nullable dtype that is text (it has a missing cell,
    /// pandas.NA, or it is forced): the cells cell() would read, each distinct
    /// value's text made once. Rows before the first missing one are numbers,
    /// read by the float text rule (a forced column has none), later ones
    /// str() of the Python number; missing rows read as `missing`.
    template <class T>
    void masked_text_column(std::size_t c, const char* data, npy_intp step, const char* mask, npy_intp mask_step,
                            PyObject* missing) {
        const std::size_t rows = store_.n_rows;
        std::size_t first = 0;
        if (!store_.is_text[c])
            while (first < rows && !mask[npy_intp(first) * mask_step]) ++first;
        if (first == rows || (first != 0 && missing == nullptr)) throw Panic("a nullable column without its missing cell");
        core::CodedTexts column;
        column.codes.resize(rows);
        // Texts are numbered by the bits of their values, numbers and later
        // values apart: 1.5 reads as "1.5" either way, but 3 as "3.0" or "3".
        // Integers within a short span (years, times, counts) are numbered in
        // a table indexed by their offset from the least.
        std::uint64_t least = 0, span = 0;
        if constexpr (std::is_integral_v<T>) {
            bool any = false;
            T lo = 0, hi = 0;
            for (std::size_t r = 0; r < rows; ++r) {
                if (mask[npy_intp(r) * mask_step]) continue;
                const T v = load<T>(data + npy_intp(r) * step);
                lo = any ? std::min(lo, v) : v;
                hi = any ? std::max(hi, v) : v;
                any = true;
            }
            if (any && value_bits(hi) - value_bits(lo) < ValueIds::k_direct_span) {
                least = value_bits(lo);
                span = value_bits(hi) - least + 1;
            }
        }
        ValueIds numbers(least, span), values(least, span);
        std::uint32_t missing_id = UINT32_MAX;
        for (std::size_t r = 0; r < rows; ++r) {
            if (mask[npy_intp(r) * mask_step]) {
                if (missing_id == UINT32_MAX) {
                    missing_id = std::uint32_t(column.texts.size());
                    column.texts.push_back(text_of(missing));
                }
                column.codes[r] = missing_id;
                continue;
            }
            const T v = load<T>(data + npy_intp(r) * step);
            const bool number = r < first;
            ValueIds& ids = number ? numbers : values;
            column.codes[r] = ids.id(value_bits(v), [&] {
                if (column.texts.size() >= UINT32_MAX - 1) throw Panic("a column with too many distinct values");
                const auto id = std::uint32_t(column.texts.size());
                if (number) {
                    std::string buf;
                    core::append_float_text(buf, static_cast<double>(v));
                    column.texts.push_back(arena_.add(buf));
                } else {
                    column.texts.push_back(forced_text(v));
                }
                return id;
            });
        }
        column.used.assign(column.texts.size(), 1);
        store_.is_text[c] = 1;
        first_text_[c] = first;
        std::vector<std::string_view>().swap(store_.text_columns[c]);
        sink_.submit(c, std::move(column), first);
    }

    /// A text cell whose bytes stay alive until the encode ends (see hold()).
    void text(std::string_view v, std::size_t r, std::size_t c) {
        if (!store_.is_text[c]) become_text(r, c);
        store_.text_columns[c].push_back(v);
    }

    /// Column c is all texts, packed in memory that stays alive until the
    /// encode ends (see hold()): it is encoded from there, without views.
    void packed_column(std::size_t c, const core::PackedTexts& texts) {
        store_.is_text[c] = 1;
        sink_.submit(c, texts);
    }

    /// Column c given as codes into its distinct cells, each one a text (no
    /// float conversion): a pandas Categorical's exact str categories, or the
    /// boxes of a column's distinct dates. Row r holds categories[codes[r]],
    /// or `missing` where the code is -1 (null when no code is). The cells
    /// read exactly as cell() would read them, but each category's text is
    /// taken once, not once a row.
    void coded_column(std::size_t c, PyArrayObject* categories, const std::int64_t* codes, PyObject* missing) {
        auto* const* cats = static_cast<PyObject* const*>(PyArray_DATA(categories));
        coded_texts(c, std::size_t(PyArray_DIM(categories, 0)), codes, missing,
                    [&](std::size_t i) { return text_of(cats[i]); });
    }

    /// Column c of dates given as codes into its k distinct values `stamps`
    /// (see append_stamp_text()): as coded_column() with their Timestamps'
    /// str() as categories, each text made here without a Timestamp.
    void stamp_column(std::size_t c, const std::int64_t* stamps, std::size_t k, unsigned digits, bool utc,
                      const std::int64_t* codes, PyObject* missing) {
        coded_texts(c, k, codes, missing, [&](std::size_t i) {
            std::string buf;
            if (!core::append_stamp_text(buf, stamps[i], digits, utc)) throw Panic("a date out of range");
            return arena_.add(buf);
        });
    }

private:
    // The work of coded_column(): text_at(i) gives category i's text.
    template <class TextAt>
    void coded_texts(std::size_t c, std::size_t k, const std::int64_t* codes, PyObject* missing, TextAt&& text_at) {
        const std::size_t rows = store_.n_rows;
        if (k > std::size_t(UINT32_MAX) - 2) throw Panic("a Categorical with too many categories");
        double missing_value = 0.0;
        const bool missing_is_number = missing != nullptr && cell_to_float(missing, missing_value);
        const bool was_text = store_.is_text[c] != 0;  // forced: every cell through str() from row 0
        std::size_t first = was_text ? 0 : rows;
        core::CodedTexts column;
        column.used.assign(k + 2, 0);
        column.codes.resize(rows);
        const auto missing_at = std::uint32_t(k + 1);  // a missing cell from the first text on
        std::size_t last_missing = rows;
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int64_t code = codes[r];
            if (code >= 0) {
                if (std::uint64_t(code) >= k) throw Panic("a Categorical code out of range");
                column.codes[r] = std::uint32_t(code);
                column.used[std::size_t(code)] = 1;
                if (first == rows) first = r;
            } else {
                if (missing == nullptr || code != -1) throw Panic("a Categorical code out of range");
                column.codes[r] = missing_at;
                last_missing = r;
                if (!missing_is_number && first == rows) first = r;
            }
        }
        if (first == rows) {  // only missing numbers: not a text column
            for (std::size_t r = 0; r < rows; ++r) out_.at(r, c) = missing_value;
            return;
        }
        // Missing cells before the first text are numbers, read by the float
        // text rule; from there on through str().
        for (std::size_t r = 0; r < first; ++r) {
            column.codes[r] = std::uint32_t(k);
            column.used[k] = 1;
        }
        column.used[missing_at] = last_missing != rows && last_missing >= first;
        column.texts.resize(k + 2);
        for (std::size_t i = 0; i < k; ++i)
            if (column.used[i]) column.texts[i] = text_at(i);
        if (column.used[k]) {
            std::string buf;
            core::append_float_text(buf, missing_value);
            column.texts[k] = arena_.add(buf);
        }
        if (column.used[missing_at]) column.texts[missing_at] = text_of(missing);
        store_.is_text[c] = 1;
        first_text_[c] = first;
        std::vector<std::string_view>().swap(store_.text_columns[c]);
        sink_.submit(c, std::move(column), first);
    }

public:
    /// Column c from Arrow chunks (several, or with missing cells) whose every
    /// cell is a text: a missing cell reads as `missing` would (its str()),
    /// the others as their texts. The texts are packed into one buffer of
    /// ours that the engine reads as it reads a single chunk, not one view per
    /// row.
    void packed_chunks(std::size_t c, const std::vector<arrow::TextChunk>& chunks, PyObject* missing) {
        std::string_view null_text;
        std::size_t rows = 0, bytes = 0, nulls = 0;
        for (const arrow::TextChunk& ch : chunks) {
            if (ch.size() == 0) continue;  // an empty chunk may come without offsets
            rows += ch.size();
            bytes += std::size_t(ch.offset(ch.size()) - ch.offset(0));
            if (ch.has_nulls())
                for (std::size_t i = 0, n = ch.size(); i < n; ++i) nulls += ch.is_null(i);
        }
        if (nulls != 0) {
            if (missing == nullptr) throw Panic("an Arrow column's missing cells have no value");
            null_text = text_of(missing);
        }
        // Left uninitialised: every byte and offset is written below.
        char* const out = packed_bytes_.emplace_back(new char[bytes + nulls * null_text.size() + 1]).get();
        std::int64_t* const at = packed_offsets_.emplace_back(new std::int64_t[rows + 1]).get();
        std::size_t r = 0, end = 0;
        for (const arrow::TextChunk& ch : chunks) {
            const std::size_t n = ch.size();
            if (n == 0) continue;
            if (!ch.has_nulls()) {
                // The chunk's bytes at once, its offsets moved to where they land.
                const std::int64_t first = ch.offset(0), shift = std::int64_t(end) - first;
                const auto len = std::size_t(ch.offset(n) - first);
                if (len != 0) std::memcpy(out + end, ch.data() + first, len);
                for (std::size_t i = 0; i < n; ++i) at[r + i] = ch.offset(i) + shift;
                end += len;
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    const std::string_view t = ch.is_null(i) ? null_text : ch.text(i);
                    at[r + i] = std::int64_t(end);
                    if (!t.empty()) std::memcpy(out + end, t.data(), t.size());
                    end += t.size();
                }
            }
            r += n;
        }
        at[rows] = std::int64_t(end);
        packed_column(c, core::PackedTexts{out, at, true, rows});
    }

    /// Whether a missing cell of column c is a text, not a number: it has no
    /// float conversion, or the column is text already.
    bool missing_is_text(std::size_t c, PyObject* missing) {
        double ignored;
        return store_.is_text[c] != 0 || !cell_to_float(missing, ignored);
    }

    /// Keeps Arrow memory whose texts are handed to text() alive.
    void hold(std::vector<arrow::TextChunk>&& chunks) {
        for (auto& ch : chunks) arrow_.push_back(std::move(ch));
    }

private:
    // str() of an integer, held in the arena: columns of integers repeat
    // their values, so each recent value's text is made once.
    template <class T>
    std::string_view int_text(T v) {
        const bool cacheable = !std::is_unsigned_v<T> || std::uint64_t(v) <= std::uint64_t(INT64_MAX);
        IntText* slot = nullptr;
        if (cacheable) {
            if (int_texts_.empty()) int_texts_.resize(std::size_t(1) << k_int_text_bits);
            const auto key = std::int64_t(v);
            slot = &int_texts_[std::uint64_t(key) * 0x9E3779B97F4A7C15ull >> (64 - k_int_text_bits)];
            if (slot->set && slot->value == key) return slot->text;
        }
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
        const std::string_view t = arena_.add(std::string_view(digits, std::size_t(end - digits)));
        if (slot != nullptr) *slot = {std::int64_t(v), t, true};
        return t;
    }
    // str() of the Python number `values` boxes a NumPy number as.
    template <class T>
    std::string_view forced_text(T v) {
        if constexpr (std::is_same_v<T, bool>) {
            return v ? "True" : "False";
        } else if constexpr (std::is_integral_v<T>) {
            return int_text(v);
        } else {
            char* t = PyOS_double_to_string(double(v), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (t == nullptr) throw PyError();
            const std::string_view kept = arena_.add(t);
            PyMem_Free(t);
            return kept;
        }
    }
    template <class T>
    static std::uint64_t value_bits(T v) {
        if constexpr (std::is_floating_point_v<T>) {
            const double d = v;
            std::uint64_t b;
            std::memcpy(&b, &d, sizeof b);
            return b;
        } else if constexpr (std::is_signed_v<T>) {
            return std::uint64_t(std::int64_t(v));
        } else {
            return std::uint64_t(v);
        }
    }
    // The texts' ids by the bits of their values: indexed by offset from the
    // least when every value lies within k_direct_span of it (years, times,
    // counts: no hashing per row), else in a map.
    class ValueIds {
    public:
        static constexpr std::uint64_t k_direct_span = 1 << 16;
        /// span 0: no bound known, the map is used.
        ValueIds(std::uint64_t least, std::uint64_t span) : direct_(span, k_free), least_(least) {}
        /// The id of `bits`; the first time, the one make() gives.
        template <class Make>
        std::uint32_t id(std::uint64_t bits, Make&& make) {
            if (!direct_.empty()) {
                std::uint32_t& at = direct_[bits - least_];
                if (at == k_free) at = make();
                return at;
            }
            const std::size_t at = map_.find_index(bits);
            if (at != Map::npos) return map_.entry(at).second;
            const std::uint32_t id = make();
            map_.insert_new(bits, id);
            return id;
        }

    private:
        using Map = core::FlatMap<std::uint64_t, std::uint32_t, core::U64Key>;
        static constexpr std::uint32_t k_free = UINT32_MAX;  // no id is: a column has fewer texts
        std::vector<std::uint32_t> direct_;                  // by offset from least_
        std::uint64_t least_;
        Map map_;
    };
    static constexpr unsigned k_int_text_bits = 12;
    struct IntText {
        std::int64_t value = 0;
        std::string_view text;
        bool set = false;
    };
    std::vector<IntText> int_texts_;  // made at the first integer's text

    // A cell of column c while it holds numbers only: written as its number,
    // or, if it has no float conversion, the column becomes text here (false).
    bool read_number(PyObject* value, std::size_t r, std::size_t c) {
        double v;
        if (cell_to_float(value, v)) {
            out_.at(r, c) = v;
            return true;
        }
        become_text(r, c);
        return false;
    }

    // The numbers read so far in this column are turned into texts by the
    // float text rule; later cells are taken through str().
    void become_text(std::size_t r, std::size_t c) {
        store_.is_text[c] = 1;
        first_text_[c] = r;
        auto& col = store_.text_columns[c];
        col.reserve(store_.n_rows);
        std::string buf;
        for (std::size_t i = 0; i < r; ++i) {
            buf.clear();
            core::append_float_text(buf, out_.at(i, c));
            col.push_back(arena_.add(buf));
        }
    }

    // Whether numbering column c by identity still pays, with r of its cells
    // read: whether at least half of its cells would be found in the table by
    // the end. Were the column's text cells drawn uniformly from k objects,
    // d = k(1 - e^(-m/k)) of them would be met in the first m, and
    // k(1 - e^(-n/k)) in all n: k is solved for from the d met so far. (A
    // column whose repeats cluster, or follow a skewed law, meets fewer.)
    // (The distinct objects it then meets in all are k(1 - e^(-n/k)), which
    // is returned, or none when it does not pay.)
    std::optional<std::size_t> identity_expected(std::size_t r, std::size_t c) const {
        const double m = double(r - first_text_[c]), n = double(store_.n_rows - first_text_[c]);
        const double d = double(by_identity_.texts.size() - first_text_[c]);
        if (d >= m) return std::nullopt;
        // (1 - e^-x)/x falls from 1 at x = 0 towards 0; x = m/k where it is d/m.
        double lo = 0, hi = 64;
        for (int i = 0; i < 50; ++i) {
            const double x = (lo + hi) / 2;
            ((1 - std::exp(-x)) / x > d / m ? lo : hi) = x;
        }
        if (lo == 0) return std::nullopt;
        const double k = m / lo;
        const double met = k * -std::expm1(-n / k);
        if (1 - met / n < 0.5) return std::nullopt;
        return first_text_[c] + std::size_t(met);
    }

    // Column c goes on with a view a row, from row r: the rows so far get
    // theirs from the objects met (each held already).
    void leave_identity(std::size_t r, std::size_t c) {
        auto& col = store_.text_columns[c];
        col.reserve(store_.n_rows);
        for (std::size_t i = 0; i < r; ++i) col.push_back(by_identity_.texts[by_identity_.codes[i]]);
        by_identity_ = {};
        identity_.clear();
        identity_column_ = k_none;
    }

    // The numbers of column c turned into texts so far (become_text()) are
    // its first texts by identity, one a row.
    void take_number_texts(std::size_t c) {
        auto& col = store_.text_columns[c];
        for (std::size_t i = 0; i < col.size(); ++i) {
            by_identity_.codes[i] = std::uint32_t(by_identity_.texts.size());
            by_identity_.texts.push_back(col[i]);
        }
        std::vector<std::string_view>().swap(col);
    }

    // The text of an object filed by address (an exact str, None or a bool),
    // the object held until the intake ends whether or not the text points
    // into it: its address must stay its own.
    std::string_view held_text(PyObject* value) {
        if (PyUnicode_CheckExact(value)) return recent_pays_ ? recent_str(value) : keep(Ref::borrow(value), true);
        keepalive_.push_back(Ref::borrow(value).release());
        return value == Py_None ? "None" : value == Py_True ? "True" : "False";
    }

    // The cells of a wide frame keep meeting the same strs from column to
    // column: those met lately are filed by address in a small table,
    // overwritten on a collision, so that a str met again is neither read
    // nor held once more. Every str filed is held until the intake ends, so
    // an address filed stays its object's. (Only in frames of many cells: a
    // small frame's call would pay for a table it cannot fill.)
    std::string_view recent_str(PyObject* s) {
        RecentStr& e = recent_[address_slot(s, recent_shift_)];
        if (e.key == s) return {e.data, e.size};
        const std::string_view v = keep(Ref::borrow(s), true);
        e = {s, v.data(), v.size()};
        return v;
    }

    // The text of str s, held until the intake ends: in s, which is then
    // held, or rebuilt in the arena (lone surrogates), when s is held only if
    // `by_address` (its address filed, so that it must stay its own).
    std::string_view keep(Ref s, bool by_address = false) {
        std::string spill;
        const std::string_view v = str_text(s.get(), spill);
        const bool rebuilt = !spill.empty() || v.data() == spill.data();
        if (!rebuilt || by_address) keepalive_.push_back(s.release());
        return rebuilt ? arena_.add(v) : v;
    }

    std::string_view text_of(PyObject* value) {
        if (PyUnicode_CheckExact(value)) return recent_pays_ ? recent_str(value) : keep(Ref::borrow(value));
        if (value == Py_None) return "None";
        if (value == Py_True) return "True";
        if (value == Py_False) return "False";
        if (PyFloat_CheckExact(value)) {
            char* s = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (s == nullptr) throw PyError();
            std::string_view v = arena_.add(s);
            PyMem_Free(s);
            return v;
        }
        Ref s = Ref::steal(PyObject_Str(value));
        if (!s) throw panic_from_pending("cant convert to str");
        return keep(std::move(s));
    }

    core::ColumnStore& store_;
    core::SendPtr out_;
    core::TextArena arena_;
    OwnedRefs keepalive_;
    std::deque<arrow::TextChunk> arrow_;
    std::deque<std::unique_ptr<char[]>> packed_bytes_;  // columns packed by packed_chunks()
    std::deque<std::unique_ptr<std::int64_t[]>> packed_offsets_;
    core::TextColumnSink& sink_;
    static constexpr std::size_t k_none = std::size_t(-1);
    static constexpr std::size_t k_identity_rows = 1024;       // columns shorter are read a view per row
    static constexpr std::size_t k_identity_evidence = 4096;  // objects met before identity_expected() is first asked
                                                              // (an eighth of the rows, if fewer)
    std::size_t next_identity_check_ = k_identity_evidence;    // asked again at each doubling
    static constexpr std::size_t k_early_batch = 1 << 14;  // texts handed to the sink early at a time
    std::size_t identity_column_ = k_none;  // the column begun by begin_objects(), while it is read
    std::size_t early_sent_ = 0;            // its texts handed to the sink early
    IdentityTable identity_;
    core::CodedTexts by_identity_;
    struct RecentStr {
        const PyObject* key = nullptr;
        const char* data = nullptr;
        std::size_t size = 0;
    };
    static constexpr std::size_t k_recent_slots = std::size_t(1) << 14;
    static constexpr std::size_t k_recent_columns = 64;
    std::vector<RecentStr> recent_;  // see recent_str()
    unsigned recent_shift_ = 64;
    // Many cells in short columns, or in many columns: see recent_str().
    const bool recent_pays_ = (store_.n_rows < k_identity_rows || store_.n_columns >= k_recent_columns) &&
                              store_.n_rows * store_.n_columns >= (1u << 16);
    std::vector<std::size_t> first_text_;  // per column: row of its first cell that is not a number
    const std::vector<std::uint8_t>* forced_ = nullptr;
};

// True when it checked (a signal handler is Python code, and may have run).
bool check_signals(std::size_t& countdown) {
    if (--countdown != 0) return false;
    countdown = k_signal_interval;
    if (PyErr_CheckSignals() < 0) throw PyError();
    return true;
}

// Whether a cell is read without calling any method of it (see CellReader::cell).
bool plain_cell(PyObject* cell) {
    const PyTypeObject* t = Py_TYPE(cell);
    return t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type ||
           cell == Py_None;
}

class FrameSnapshot;
PyObject* before_python_code(FrameSnapshot& frame, std::size_t c, PyObject* cell);

// Reads column c (rows 0..rows-1) of an exact ndarray straight from its buffer:
// cells (r, src_col) of a 2-D array, or cells r of a 1-D one. For object cells
// the array's header is read again before every cell: a cell's __str__ or
// __float__ may have resized or reshaped it, in which case a lookup would have
// failed too. With `frame`, src is part of a DataFrame's snapshot, and a cell
// that may run Python code is read only after before_python_code().
void read_array_column(PyObject* src, Direct kind, CellReader& reader, std::size_t rows,
                       std::size_t c, std::size_t src_col, std::size_t& countdown,
                       FrameSnapshot* frame = nullptr, core::PoolTasks* copies = nullptr) {
    auto* a = reinterpret_cast<PyArrayObject*>(src);
    const int ndim = PyArray_NDIM(a);
    auto fits = [&](std::size_t r) {
        return PyArray_NDIM(a) == ndim && direct_kind(src, ndim) == kind &&
               r < std::size_t(PyArray_DIM(a, 0)) && (ndim == 1 || src_col < std::size_t(PyArray_DIM(a, 1)));
    };
    auto at = [&](std::size_t r) {
        const char* p = static_cast<const char*>(PyArray_DATA(a)) + npy_intp(r) * PyArray_STRIDE(a, 0);
        return ndim == 1 ? p : p + npy_intp(src_col) * PyArray_STRIDE(a, 1);
    };
    if (kind != Direct::object) {
        // Plain numbers run no Python code, so the array cannot change under us.
        if (rows != 0 && !fits(rows - 1)) throw Panic("the source array is smaller than its `shape`");
        if (reader.forced(c)) {
            for (std::size_t r = 0; r < rows; ++r) reader.forced_number(kind, at(r), r, c);
            reader.end_column(c);
            return;
        }
        const char* base = rows != 0 ? at(0) : nullptr;
        const npy_intp step = PyArray_STRIDE(a, 0);
        auto copy = [=, out = reader.out()](std::size_t r0, std::size_t r1) {
            with_number_type(kind, [&](auto zero) {
                using T = decltype(zero);
                for (std::size_t r = r0; r < r1; ++r) out.at(r, c) = static_cast<double>(load<T>(base + npy_intp(r) * step));
            });
        };
        if (copies == nullptr) {
            copy(0, rows);
            return;
        }
        // No cell can change the array now: its numbers are copied on the pool
        // while later columns are read, in pieces that spread over the workers.
        constexpr std::size_t piece = std::size_t(1) << 16;
        for (std::size_t r0 = 0; r0 < rows; r0 += piece)
            copies->run([copy, r0, r1 = std::min(rows, r0 + piece)] { copy(r0, r1); });
        return;
    }
    // Cells a few rows ahead are fetched into the cache early: the objects of
    // a column lie all over memory, and each is read through its header (and
    // looked for in the table of the objects met).
    constexpr std::size_t ahead = 32;
    reader.begin_objects(c);
    // Whether every row of the column lies in the array: so until Python code
    // may have run (a cell's method or a signal handler), then asked again.
    bool whole = rows != 0 && fits(rows - 1);
    for (std::size_t r = 0; r < rows; ++r) {
        if (check_signals(countdown)) whole = fits(rows - 1);
        // Else the shape is checked once a cell: a row ahead that fits means
        // this one does too.
        const bool ahead_fits = r + ahead < rows && (whole || fits(r + ahead));
        if (!ahead_fits && !whole && !fits(r)) throw Panic("the source array changed shape while its cells were read");
        if (ahead_fits) {
            PyObject* next;
            std::memcpy(&next, at(r + ahead), sizeof next);
            // Its type, and a str's state and first bytes, which may lie in
            // the next cache line.
            __builtin_prefetch(next);
            __builtin_prefetch(reinterpret_cast<const char*>(next) + 48);
            reader.prefetch_object(next);
        }
        PyObject* item;
        std::memcpy(&item, at(r), sizeof item);
        if (item == nullptr) item = Py_None;  // an array made with np.empty
        if (reader.known_object(item, r, c)) continue;
        if (plain_cell(item)) {
            // Reading it runs no Python code, so the array's reference keeps
            // it (a reference of our own would write to the object, whose
            // bytes a worker is about to read).
            reader.object_cell(item, r, c);
            continue;
        }
        if (frame != nullptr) {
            if (PyObject* now = before_python_code(*frame, c, item)) {
                src = now;  // the same cells, in memory that the frame does not share
                a = reinterpret_cast<PyArrayObject*>(src);
                frame = nullptr;
            }
        }
        Ref cell = Ref::borrow(item);
        reader.object_cell(cell.get(), r, c);
        whole = fits(rows - 1);
    }
    reader.end_column(c);
}

void read_direct(PyObject* src, Direct kind, CellReader& reader, std::size_t rows, std::size_t cols) {
    std::size_t countdown = k_signal_interval;
    for (std::size_t c = 0; c < cols; ++c) read_array_column(src, kind, reader, rows, c, c, countdown);
}

// How one column of a pandas DataFrame is read on the column road.
enum class FrameRoad : std::uint8_t { numpy, strings, arrow_strings, categorical, masked, dates };

struct FrameColumn {
    FrameRoad road;
    Direct kind;      // how its NumPy array is read: object for a string column
    Ref categories;   // a categorical column's categories, an object array of exact str
};

// The numbers of pandas' nullable dtypes (Int64, Float64, boolean, ...): the
// NumPy dtype of their values, or none.
Direct masked_kind(PyObject* pandas, PyObject* dtype) {
    static const char* const k_names[] = {"Int8Dtype", "Int16Dtype", "Int32Dtype", "Int64Dtype",
                                          "UInt8Dtype", "UInt16Dtype", "UInt32Dtype", "UInt64Dtype",
                                          "Float32Dtype", "Float64Dtype", "BooleanDtype"};
    bool known = false;
    for (const char* name : k_names) {
        Ref type = Ref::steal(PyObject_GetAttrString(pandas, name));
        if (!type) {
            absorb_error();
            continue;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(dtype)) == type.get()) {
            known = true;
            break;
        }
    }
    if (!known) return Direct::none;
    Ref np = check(PyObject_GetAttrString(dtype, "numpy_dtype"));
    if (!PyArray_DescrCheck(np.get())) return Direct::none;
    auto* d = reinterpret_cast<PyArray_Descr*>(np.get());
    if (!PyArray_ISNBO(d->byteorder)) return Direct::none;
    const Direct kind = kind_of_type(d->type_num);
    return kind == Direct::object ? Direct::none : kind;
}

// The categories of a pandas CategoricalDtype as an object array of our own,
// when every one is an exact str (their cells are then those very str objects,
// or the dtype's missing value); else null.
Ref str_categories(PyObject* dtype) {
    Ref cats = check(PyObject_GetAttrString(dtype, "categories"));
    Ref arr = check(PyObject_CallMethod(cats.get(), "to_numpy", nullptr));
    if (!PyArray_CheckExact(arr.get())) return {};
    auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
    if (PyArray_NDIM(a) != 1) return {};
    if (PyArray_TYPE(a) != NPY_OBJECT) {
        // Numbers, dates and the like: not texts of ours to take.
        if (PyArray_DIM(a, 0) != 0) return {};
    }
    PyArray_Descr* d = PyArray_DescrFromType(NPY_OBJECT);  // stolen below
    Ref own = check(PyArray_FromAny(arr.get(), d, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY, nullptr));
    auto* o = reinterpret_cast<PyArrayObject*>(own.get());
    auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(o));
    for (npy_intp i = 0, n = PyArray_DIM(o, 0); i < n; ++i)
        if (items[i] == nullptr || !PyUnicode_CheckExact(items[i])) return {};
    return own;
}

// Whether a pandas string dtype keeps its texts in Arrow memory.
bool arrow_storage(PyObject* dtype) {
    Ref storage = Ref::steal(PyObject_GetAttrString(dtype, "storage"));
    if (!storage) {
        absorb_error();
        return false;
    }
    if (!PyUnicode_Check(storage.get())) return false;
    return PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow") == 0 ||
           PyUnicode_CompareWithASCIIString(storage.get(), "pyarrow_numpy") == 0;
}

// An exact pandas.DataFrame whose columns all have a NumPy number, bool or
// object dtype, or a pandas string dtype, and not all object, is read column by
// column instead of through `values`: `values` would box every number of such a
// mixed frame into a Python object, and gives the very same cells otherwise
// (numbers convert to the same doubles, object cells are the same objects, and
// string columns become objects through the same astype(object)). So are
// Categorical columns of str categories, nullable numbers, and dates and
// durations (datetime64, with or without a time zone, and timedelta64): their
// cells in `values` are their astype(object) boxes. Anything else keeps the
// `values` road.
std::optional<std::vector<FrameColumn>> frame_road(PyObject* obj, std::size_t cols) {
    Ref pandas = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString("pandas")).get()));
    if (!pandas) {
        if (PyErr_Occurred()) throw PyError();
        return std::nullopt;  // not imported, so obj cannot be one of its frames
    }
    if (!PyModule_Check(pandas.get())) return std::nullopt;
    Ref frame_type = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != frame_type.get()) return std::nullopt;
    Ref string_dtype = check(PyObject_GetAttrString(pandas.get(), "StringDtype"));
    Ref categorical_dtype = check(PyObject_GetAttrString(pandas.get(), "CategoricalDtype"));
    Ref dtypes = Ref::steal(PyObject_GetAttrString(obj, "dtypes"));
    if (!dtypes) throw panic_from_pending("failed to read the DataFrame's dtypes");
    Ref list = Ref::steal(PyObject_CallMethod(dtypes.get(), "tolist", nullptr));
    if (!list) throw panic_from_pending("failed to read the DataFrame's dtypes");
    if (!PyList_Check(list.get()) || std::size_t(PyList_GET_SIZE(list.get())) != cols) return std::nullopt;

    Ref datetime_tz_dtype = check(PyObject_GetAttrString(pandas.get(), "DatetimeTZDtype"));
    std::vector<FrameColumn> road(cols);
    bool all_object = true;
    std::size_t dates = 0, durations = 0;  // NumPy datetime64 and timedelta64 columns
    for (std::size_t c = 0; c < cols; ++c) {
        PyObject* dt = PyList_GET_ITEM(list.get(), Py_ssize_t(c));
        if (PyArray_DescrCheck(dt) && (reinterpret_cast<PyArray_Descr*>(dt)->type_num == NPY_DATETIME ||
                                       reinterpret_cast<PyArray_Descr*>(dt)->type_num == NPY_TIMEDELTA)) {
            ++(reinterpret_cast<PyArray_Descr*>(dt)->type_num == NPY_DATETIME ? dates : durations);
            road[c] = {FrameRoad::dates, Direct::object, {}};
            all_object = false;
        } else if (reinterpret_cast<PyObject*>(Py_TYPE(dt)) == datetime_tz_dtype.get()) {
            road[c] = {FrameRoad::dates, Direct::object, {}};
            all_object = false;
        } else if (PyArray_DescrCheck(dt)) {
            auto* d = reinterpret_cast<PyArray_Descr*>(dt);
            const Direct kind = kind_of_type(d->type_num);
            if (kind == Direct::none || !PyArray_ISNBO(d->byteorder)) return std::nullopt;
            road[c] = {FrameRoad::numpy, kind, {}};
            all_object = all_object && kind == Direct::object;
        } else if (check_status(PyObject_IsInstance(dt, string_dtype.get())) == 1) {
            road[c] = {arrow_storage(dt) ? FrameRoad::arrow_strings : FrameRoad::strings, Direct::object, {}};
            all_object = false;
        } else if (reinterpret_cast<PyObject*>(Py_TYPE(dt)) == categorical_dtype.get()) {
            Ref cats = str_categories(dt);
            if (!cats) return std::nullopt;
            road[c] = {FrameRoad::categorical, Direct::object, std::move(cats)};
            all_object = false;
        } else if (const Direct kind = masked_kind(pandas.get(), dt); kind != Direct::none) {
            road[c] = {FrameRoad::masked, kind, {}};
            all_object = false;
        } else {
            return std::nullopt;
        }
    }
    if (all_object) return std::nullopt;  // `values` is then the object block itself
    // Only datetime64 columns, or only timedelta64 ones: `values` is then an
    // array of that NumPy dtype, whose cells are NumPy scalars, not boxes.
    if (dates == cols || durations == cols) return std::nullopt;
    // A frame of one nullable column: `values` is its to_numpy(), whose cells
    // differ from astype(object)'s (NaN for pandas.NA in pandas 3).
    if (cols == 1 && road[0].road == FrameRoad::masked) return std::nullopt;
    return road;
}

// The texts of an Arrow-backed pandas string array, viewed in place; nothing
// when its memory is not plain UTF-8 text of `rows` cells.
std::optional<std::vector<arrow::TextChunk>> arrow_chunks(PyObject* ext, std::size_t rows) {
    Ref chunked = Ref::steal(PyObject_CallMethod(ext, "__arrow_array__", nullptr));
    if (!chunked) {
        absorb_error();  // astype(object) then says what the column holds
        return std::nullopt;
    }
    return arrow::read_text_chunks(chunked.get(), rows);
}

// Reads an Arrow-backed pandas string column straight from its Arrow memory:
// its texts are viewed in place, its missing cells read as `missing`, the
// dtype's missing value, the very object astype(object) would have put there.
void read_arrow_column(std::vector<arrow::TextChunk>&& chunks, PyObject* missing, CellReader& reader,
                       std::size_t rows, std::size_t c, std::size_t& countdown) {
    if (chunks.size() == 1 && !chunks.front().has_nulls() && rows != 0) {
        // One chunk of texts only: the engine reads the Arrow buffers as they are.
        const core::PackedTexts texts = chunks.front().packed();
        reader.hold(std::move(chunks));
        reader.packed_column(c, texts);
        return;
    }
    // Several chunks (as read_csv and Parquet make them), or missing cells:
    // packed into one buffer when every cell is a text, which it is when the
    // first is (the first missing cell is a number when its float conversion
    // holds, and everything after a text is taken as text).
    const arrow::TextChunk* head = nullptr;
    for (const arrow::TextChunk& ch : chunks)
        if (ch.size() != 0) {
            head = &ch;
            break;
        }
    if (head != nullptr && (!head->is_null(0) || (missing != nullptr && reader.missing_is_text(c, missing)))) {
        reader.packed_chunks(c, chunks, missing);
        return;
    }
    std::size_t r = 0;
    for (const arrow::TextChunk& ch : chunks) {
        for (std::size_t i = 0, n = ch.size(); i < n; ++i, ++r) {
            check_signals(countdown);
            if (ch.is_null(i)) reader.cell(missing, r, c);
            else reader.text(ch.text(i), r, c);
        }
    }
    reader.hold(std::move(chunks));
    reader.end_column(c);
}

// What the column road reads a frame from, all of it taken before the first
// cell is read, so that it is a snapshot just like `values`: a cell whose
// Python code inserts or deletes a column, edits a cell or drops rows changes
// nothing that is read afterwards. Runs of neighbouring columns of one NumPy
// dtype are taken as one 2-D array (one pandas call for the lot, not one per
// column), a lone column as its Series' array, string columns as their Arrow
// chunks or their astype(object) array.
//
// An array that the frame may share (to_numpy() gives views of its blocks)
// could still be edited in place by such code, so the arrays still to be read
// that the frame may share are copied at the first cell that may run Python
// code (before_python_code): a frame of plain cells is read from the views,
// without copies. (Python code that is no cell's, a signal handler run between
// cells, is not guarded against.)
class FrameSnapshot {
public:
    static constexpr std::size_t k_none = std::size_t(-1);

    // Columns of the frame as one NumPy array: 2-D (a column each of its
    // columns), or 1-D for a single column.
    struct Source {
        Ref array;
        std::size_t last;  // the frame's last column read from it
        Direct kind;
        bool shared;  // the frame may reach its cells
    };

    explicit FrameSnapshot(std::size_t cols)
        : source_of_(cols, k_none), column_in_source_(cols, 0), chunks_(cols), missing_(cols), coded_(cols),
          masked_(cols) {}

    // A column of codes into its distinct cells (a Categorical's exact str
    // categories, or the boxes of a column's distinct dates): those cells, the
    // codes as int64, and the cell of a missing code (null when no code is
    // missing).
    struct Coded {
        Ref categories, codes, missing;
        // A column of dates whose texts are made here instead: `stamps`, an
        // int64 array of its distinct values (categories then stays null),
        // counted in 10^-digits seconds, printed with "+00:00" when utc.
        Ref stamps;
        unsigned digits = 0;
        bool utc = false;
    };
    // A column of a nullable dtype: its values (a NumPy array of `kind`), its
    // mask, and the cell `values` has where the mask is set.
    struct Masked {
        Ref data, mask, missing;
        Direct kind = Direct::none;
    };

    // Columns first .. first + width - 1 of the frame.
    void add_array(Ref array, std::size_t first, std::size_t width, Direct kind) {
        std::vector<std::size_t> columns(width);
        for (std::size_t i = 0; i < width; ++i) columns[i] = first + i;
        add_columns(std::move(array), columns, kind);
    }
    // The frame's columns columns[i], read from column i of `array` (2-D) or
    // from `array` itself (1-D, one column).
    void add_columns(Ref array, std::span<const std::size_t> columns, Direct kind) {
        auto* a = reinterpret_cast<PyArrayObject*>(array.get());
        // A new array that only this snapshot holds shares nothing.
        const bool shared = Py_REFCNT(array.get()) != 1 || !PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            source_of_[columns[i]] = sources_.size();
            column_in_source_[columns[i]] = i;
        }
        sources_.push_back({std::move(array), *std::max_element(columns.begin(), columns.end()), kind, shared});
    }
    bool has_source(std::size_t c) const noexcept { return source_of_[c] != k_none; }
    void add_chunks(std::size_t c, std::vector<arrow::TextChunk>&& chunks, Ref missing) {
        chunks_[c] = std::move(chunks);
        missing_[c] = std::move(missing);
    }
    void add_coded(std::size_t c, Coded&& coded) { coded_[c] = std::move(coded); }
    void add_masked(std::size_t c, Masked&& masked) { masked_[c] = std::move(masked); }
    void set_pandas_na(Ref na) { pandas_na_ = std::move(na); }
    PyObject* pandas_na() const noexcept { return pandas_na_.get(); }

    friend PyObject* before_python_code(FrameSnapshot& frame, std::size_t c, PyObject* cell);
    friend void read_frame_columns(FrameSnapshot& frame, CellReader& reader, std::size_t rows);

private:
    std::vector<Source> sources_;
    std::vector<std::size_t> source_of_;  // per column: index into sources_, k_none for chunks
    std::vector<std::size_t> column_in_source_;
    std::vector<std::optional<std::vector<arrow::TextChunk>>> chunks_;
    std::vector<Ref> missing_;
    std::vector<Coded> coded_;
    std::vector<Masked> masked_;
    Ref pandas_na_;
    bool detached_ = false;
};

// Before a cell of column c runs Python code: the arrays still to be read that
// the frame may share are replaced by copies. Returns column c's array, or
// null when nothing changed.
PyObject* before_python_code(FrameSnapshot& frame, std::size_t c, PyObject* cell) {
    if (frame.detached_ || cell == frame.pandas_na_.get()) return nullptr;  // pandas' own missing value
    for (FrameSnapshot::Source& s : frame.sources_) {
        if (!s.shared || s.last < c) continue;
        s.array = check(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(s.array.get()), NPY_KEEPORDER));
        s.shared = false;
    }
    frame.detached_ = true;
    return frame.sources_[frame.source_of_[c]].array.get();
}

// Whether `arr` is what a frame's column(s) must give: an exact ndarray of
// `kind` with the frame's rows (and `width` columns when 2-D).
bool frame_array(PyObject* arr, int ndim, Direct kind, std::size_t rows, std::size_t width) {
    if (direct_kind(arr, ndim) != kind) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    return std::size_t(PyArray_DIM(a, 0)) == rows && (ndim == 1 || std::size_t(PyArray_DIM(a, 1)) == width);
}

// Takes what every column will be read from. A failing pandas or Arrow call is
// the internal-error exception, as a failing `values` is on the other road.
// A categorical column's codes and missing cell, taken from its Categorical
// `ext`; false when it does not hold what its categories promise (the column
// is then read through astype(object), as `values` reads it).
// The cell astype(object) gives row `row` of the extension array `ext` (a
// missing one), taken from a one-row slice; null when it is none of the
// missing cells the column roads read: pandas.NA, `other` (pandas.NaT for
// dates), or (allow_nan) a float NaN.
Ref missing_cell(PyObject* ext, std::size_t row, PyObject* pandas_na, bool allow_nan, PyObject* other = nullptr) {
    Ref lo = check(PyLong_FromSize_t(row)), hi = check(PyLong_FromSize_t(row + 1));
    Ref span = check(PySlice_New(lo.get(), hi.get(), nullptr));
    Ref one = check(PyObject_GetItem(ext, span.get()));
    Ref arr = check(PyObject_CallMethod(one.get(), "astype", "s", "object"));
    if (!frame_array(arr.get(), 1, Direct::object, 1, 1)) return {};
    PyObject* cell;
    std::memcpy(&cell, PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), sizeof cell);
    if (cell == nullptr) return {};
    const bool nan = allow_nan && PyFloat_CheckExact(cell) && std::isnan(PyFloat_AS_DOUBLE(cell));
    return nan || cell == pandas_na || (other != nullptr && cell == other) ? Ref::borrow(cell) : Ref();
}

// A column's codes as an int64 array of our own, and the cell of its missing
// code -1 (from `ext`, as missing_cell() takes it); false when the codes are
// no integers of `rows` rows, or a missing cell is none the roads read.
bool take_codes(PyObject* codes, PyObject* ext, std::size_t rows, PyObject* pandas_na, bool allow_nan, PyObject* other,
                Ref& own, Ref& missing) {
    if (!PyArray_Check(codes)) return false;
    auto* ca = reinterpret_cast<PyArrayObject*>(codes);
    if (PyArray_NDIM(ca) != 1 || std::size_t(PyArray_DIM(ca, 0)) != rows || !PyArray_ISINTEGER(ca)) return false;
    PyArray_Descr* d = PyArray_DescrFromType(NPY_INT64);  // stolen below
    own = check(PyArray_FromAny(codes, d, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY, nullptr));
    const auto* v = static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(own.get())));
    std::size_t first_missing = rows;
    for (std::size_t r = 0; r < rows && first_missing == rows; ++r)
        if (v[r] < 0) first_missing = r;
    return first_missing == rows || (missing = missing_cell(ext, first_missing, pandas_na, allow_nan, other));
}

bool take_coded(PyObject* ext, PyObject* categorical, PyObject* categories, PyObject* pandas_na, std::size_t rows,
                FrameSnapshot::Coded& out) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(ext)) != categorical) return false;
    Ref codes = check(PyObject_GetAttrString(ext, "codes"));
    Ref own, missing;
    if (!take_codes(codes.get(), ext, rows, pandas_na, true, nullptr, own, missing)) return false;
    out = {Ref::borrow(categories), std::move(own), std::move(missing)};
    return true;
}

// Whether a cell certainly has no float conversion (so it is a text to
// cell()), without calling anything of it.
bool no_float(PyObject* cell) {
    if (PyFloat_Check(cell) || PyLong_Check(cell)) return false;
    const PyNumberMethods* n = Py_TYPE(cell)->tp_as_number;
    return n == nullptr || (n->nb_float == nullptr && n->nb_index == nullptr);
}

// The distinct dates `uniques` (a factorize()'s) as int64 values whose
// texts append_stamp_text() makes, when they print that way: naive or UTC
// dates in seconds to nanoseconds, years 1 to 9999 (the least and the
// greatest tell), and the Timestamps of the first and the last printing as
// made here (a check on pandas' way of printing). False otherwise: their
// Timestamps are then boxed and asked for their str().
bool take_stamps(PyObject* uniques, Ref& stamps, unsigned& digits, bool& utc) {
    Ref dtype = check(PyObject_GetAttrString(uniques, "dtype"));
    if (PyArray_DescrCheck(dtype.get())) {
        if (reinterpret_cast<PyArray_Descr*>(dtype.get())->type_num != NPY_DATETIME) return false;
        utc = false;
    } else {
        Ref tz = Ref::steal(PyObject_GetAttrString(dtype.get(), "tz"));
        if (!tz) {
            absorb_error();
            return false;
        }
        Ref datetime = check(PyImport_ImportModule("datetime"));
        Ref timezone = check(PyObject_GetAttrString(datetime.get(), "timezone"));
        Ref utc_zone = check(PyObject_GetAttrString(timezone.get(), "utc"));
        if (tz.get() != utc_zone.get()) return false;
        utc = true;
    }
    Ref unit = Ref::steal(PyObject_GetAttrString(uniques, "unit"));
    if (!unit || !PyUnicode_Check(unit.get())) {
        absorb_error();
        return false;
    }
    std::string spill;
    const std::string_view u = str_text(unit.get(), spill);
    if (u == "s") digits = 0;
    else if (u == "ms") digits = 3;
    else if (u == "us") digits = 6;
    else if (u == "ns") digits = 9;
    else return false;
    Ref values = Ref::steal(PyObject_GetAttrString(uniques, "asi8"));
    if (!values) {
        absorb_error();
        return false;
    }
    if (!PyArray_Check(values.get()) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(values.get())) != NPY_INT64 ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(values.get())) != 1)
        return false;
    PyArray_Descr* d = PyArray_DescrFromType(NPY_INT64);  // stolen below
    Ref own = check(PyArray_FromAny(values.get(), d, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY, nullptr));
    auto* a = reinterpret_cast<PyArrayObject*>(own.get());
    const auto* v = static_cast<const std::int64_t*>(PyArray_DATA(a));
    const auto k = std::size_t(PyArray_DIM(a, 0));
    if (Py_ssize_t(k) != PyObject_Length(uniques)) {
        absorb_error();
        return false;
    }
    if (k != 0) {
        std::string text;
        const auto [least, most] = std::minmax_element(v, v + k);
        if (!core::append_stamp_text(text, *least, digits, utc) || !core::append_stamp_text(text, *most, digits, utc))
            return false;
        for (const std::size_t i : {std::size_t(0), k - 1}) {
            text.clear();
            core::append_stamp_text(text, v[i], digits, utc);
            Ref box = Ref::steal(PySequence_GetItem(uniques, Py_ssize_t(i)));
            Ref printed = box ? Ref::steal(PyObject_Str(box.get())) : Ref();
            if (!printed || !PyUnicode_Check(printed.get())) {
                absorb_error();
                return false;
            }
            if (str_text(printed.get(), spill) != text) return false;
        }
    }
    stamps = std::move(own);
    return true;
}

// A column of dates or durations as codes into its distinct values, boxed as
// astype(object) boxes them (so their cells are the ones `values` holds), from
// its factorize(); false when that is not what factorize() gives (the column
// is then read through astype(object), as `values` reads it).
bool take_factorized(PyObject* ext, PyObject* pandas_na, PyObject* nat, std::size_t rows, FrameSnapshot::Coded& out) {
    Ref pair = check(PyObject_CallMethod(ext, "factorize", nullptr));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) return false;
    if (Ref stamps; take_stamps(PyTuple_GET_ITEM(pair.get(), 1), stamps, out.digits, out.utc)) {
        Ref own, missing;
        if (!take_codes(PyTuple_GET_ITEM(pair.get(), 0), ext, rows, pandas_na, false, nat, own, missing)) return false;
        out.codes = std::move(own);
        out.missing = std::move(missing);
        out.stamps = std::move(stamps);
        return true;
    }
    Ref uniques = check(PyObject_CallMethod(PyTuple_GET_ITEM(pair.get(), 1), "astype", "s", "object"));
    if (direct_kind(uniques.get(), 1) != Direct::object) return false;
    PyArray_Descr* d = PyArray_DescrFromType(NPY_OBJECT);  // stolen below
    Ref boxes = check(PyArray_FromAny(uniques.get(), d, 1, 1, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY, nullptr));
    auto* b = reinterpret_cast<PyArrayObject*>(boxes.get());
    auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(b));
    for (npy_intp i = 0, n = PyArray_DIM(b, 0); i < n; ++i)
        if (items[i] == nullptr || !no_float(items[i])) return false;
    Ref own, missing;
    if (!take_codes(PyTuple_GET_ITEM(pair.get(), 0), ext, rows, pandas_na, false, nat, own, missing)) return false;
    out = {std::move(boxes), std::move(own), std::move(missing)};
    return true;
}

// A nullable column's values and mask, from its masked array `ext`; false
// when they are not what its dtype promises (the column is then read through
// astype(object), as `values` reads it).
bool take_masked(PyObject* ext, Direct kind, PyObject* pandas_na, std::size_t rows, FrameSnapshot::Masked& out) {
    Ref mask = check(PyObject_CallMethod(ext, "isna", nullptr));
    if (direct_kind(mask.get(), 1) != Direct::boolean || std::size_t(PyArray_DIM(reinterpret_cast<PyArrayObject*>(mask.get()), 0)) != rows)
        return false;
    Ref dtype = check(PyObject_GetAttrString(ext, "dtype"));
    Ref np = check(PyObject_GetAttrString(dtype.get(), "numpy_dtype"));
    Ref kwargs = check(Py_BuildValue("{s:O,s:i}", "dtype", np.get(), "na_value", 0));
    Ref to_numpy = check(PyObject_GetAttrString(ext, "to_numpy"));
    Ref empty = check(PyTuple_New(0));
    Ref data = check(PyObject_Call(to_numpy.get(), empty.get(), kwargs.get()));
    if (!frame_array(data.get(), 1, kind, rows, 1)) return false;
    const auto* m = static_cast<const std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(mask.get())));
    const npy_intp step = PyArray_STRIDE(reinterpret_cast<PyArrayObject*>(mask.get()), 0);
    std::size_t first_missing = rows;
    for (std::size_t r = 0; r < rows && first_missing == rows; ++r)
        if (m[npy_intp(r) * step]) first_missing = r;
    Ref missing;
    if (first_missing != rows && !(missing = missing_cell(ext, first_missing, pandas_na, false))) return false;
    out = {std::move(data), std::move(mask), std::move(missing), kind};
    return true;
}

constexpr std::size_t k_run_columns = 8, k_run_rows = 32768;

// The frame's columns of NumPy dtypes straight from the blocks pandas keeps
// them in: each block a 2-D array whose row i is the frame's column
// mgr_locs[i], so a column costs neither a Series of its own (some 20 us of
// pandas a column, in a frame whose dtypes interleave) nor a copy. There is
// no public call for this: a block that is anything but what it should be
// (not a plain array of the frame's rows, a position out of range or met
// twice, a dtype other than its column's) is left alone, as is every block
// when pandas' internals are not where they are looked for, and those
// columns are read as before.
void take_block_columns(PyObject* obj, const std::vector<FrameColumn>& road, std::size_t rows, FrameSnapshot& frame) {
    auto gone = [] {
        if (PyErr_Occurred()) absorb_error();
    };
    Ref mgr = Ref::steal(PyObject_GetAttrString(obj, "_mgr"));
    Ref blocks = mgr ? Ref::steal(PyObject_GetAttrString(mgr.get(), "blocks")) : Ref();
    if (!blocks || !PyTuple_Check(blocks.get())) return gone();
    std::vector<std::uint8_t> met(road.size(), 0);
    std::vector<std::pair<Ref, std::vector<std::size_t>>> taken;
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(blocks.get()); ++b) {
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        Ref values = Ref::steal(PyObject_GetAttrString(block, "values"));
        Ref locs = Ref::steal(PyObject_GetAttrString(block, "mgr_locs"));
        Ref at = locs ? Ref::steal(PyObject_GetAttrString(locs.get(), "as_array")) : Ref();
        if (!values || !at) {
            gone();
            continue;
        }
        // (width, rows) as the block keeps it; its transpose is (rows, width).
        const Direct kind = direct_kind(values.get(), 2);
        if (kind == Direct::none || !PyArray_Check(at.get())) continue;
        auto* v = reinterpret_cast<PyArrayObject*>(values.get());
        auto* l = reinterpret_cast<PyArrayObject*>(at.get());
        if (std::size_t(PyArray_DIM(v, 1)) != rows || PyArray_NDIM(l) != 1 || PyArray_TYPE(l) != NPY_INT64 ||
            PyArray_DIM(l, 0) != PyArray_DIM(v, 0) || PyArray_DIM(l, 0) == 0)
            continue;
        std::vector<std::size_t> columns(std::size_t(PyArray_DIM(l, 0)));
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::int64_t c;
            std::memcpy(&c, static_cast<const char*>(PyArray_DATA(l)) + npy_intp(i) * PyArray_STRIDE(l, 0), sizeof c);
            if (c < 0 || std::uint64_t(c) >= road.size() || road[std::size_t(c)].road != FrameRoad::numpy ||
                road[std::size_t(c)].kind != kind || met[std::size_t(c)])
                return;  // pandas' bookkeeping is not what it should be: no block is taken
            met[std::size_t(c)] = 1;
            columns[i] = std::size_t(c);
        }
        Ref t = Ref::steal(PyArray_Transpose(v, nullptr));
        if (!t) return gone();
        taken.emplace_back(std::move(t), std::move(columns));
    }
    for (auto& [array, columns] : taken) frame.add_columns(std::move(array), columns, road[columns[0]].kind);
}

FrameSnapshot take_frame_columns(PyObject* obj, const std::vector<FrameColumn>& road, std::size_t rows) {
    FrameSnapshot frame(road.size());
    try {
        Ref pandas = check(PyImport_ImportModule("pandas"));
        Ref na = Ref::steal(PyObject_GetAttrString(pandas.get(), "NA"));
        if (!na) absorb_error();
        frame.set_pandas_na(std::move(na));
        Ref nat;  // pandas.NaT, once a column of dates needs it
        Ref iloc = check(PyObject_GetAttrString(obj, "iloc"));
        Ref categorical;  // pandas.Categorical, once a column needs it
        Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
        if (std::any_of(road.begin(), road.end(), [](const FrameColumn& f) { return f.road == FrameRoad::numpy; }))
            take_block_columns(obj, road, rows, frame);
        for (std::size_t c = 0; c < road.size();) {
            if (frame.has_source(c)) {
                ++c;
                continue;
            }
            std::size_t end = c + 1;
            while (road[c].road == FrameRoad::numpy && end < road.size() && road[end].road == FrameRoad::numpy &&
                   road[end].kind == road[c].kind && !frame.has_source(end))
                ++end;
            // A run: one 2-D array for all its columns. That array is a copy
            // unless the run's columns lie side by side in one of the frame's
            // blocks (a frame made column by column has them interleaved by
            // dtype), so a short run of long columns is taken a column at a
            // time: a Series costs pandas some 20 us, the copy of a column
            // as much at 26,000 rows (250 us at 336,776).
            if (end - c > 1 && (end - c > k_run_columns || rows < k_run_rows)) {
                Ref first = check(PyLong_FromSize_t(c)), last = check(PyLong_FromSize_t(end));
                Ref span = check(PySlice_New(first.get(), last.get(), nullptr));
                Ref key = check(PyTuple_Pack(2, all.get(), span.get()));
                Ref part = check(PyObject_GetItem(iloc.get(), key.get()));
                Ref arr = check(PyObject_CallMethod(part.get(), "to_numpy", nullptr));
                if (!frame_array(arr.get(), 2, road[c].kind, rows, end - c))
                    throw Panic("DataFrame columns did not give a plain array of the frame's shape");
                frame.add_array(std::move(arr), c, end - c, road[c].kind);
                c = end;
                continue;
            }
            // One column: its Series costs pandas about half what a one-column frame does.
            Ref pos = check(PyLong_FromSize_t(c));
            Ref key = check(PyTuple_Pack(2, all.get(), pos.get()));
            Ref series = check(PyObject_GetItem(iloc.get(), key.get()));
            if (road[c].road == FrameRoad::numpy) {
                Ref arr = check(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
                if (!frame_array(arr.get(), 1, road[c].kind, rows, 1))
                    throw Panic("a DataFrame column did not give a plain array of the frame's rows");
                frame.add_array(std::move(arr), c, 1, road[c].kind);
                ++c;
                continue;
            }
            Ref ext = check(PyObject_GetAttrString(series.get(), "array"));
            if (road[c].road == FrameRoad::masked) {
                FrameSnapshot::Masked masked;
                if (take_masked(ext.get(), road[c].kind, frame.pandas_na(), rows, masked)) {
                    frame.add_masked(c, std::move(masked));
                    ++c;
                    continue;
                }
            }
            if (road[c].road == FrameRoad::dates || road[c].road == FrameRoad::categorical) {
                FrameSnapshot::Coded coded;
                bool taken;
                if (road[c].road == FrameRoad::dates) {
                    if (!nat) nat = check(PyObject_GetAttrString(pandas.get(), "NaT"));
                    taken = take_factorized(ext.get(), frame.pandas_na(), nat.get(), rows, coded);
                } else {
                    if (!categorical) categorical = check(PyObject_GetAttrString(pandas.get(), "Categorical"));
                    taken = take_coded(ext.get(), categorical.get(), road[c].categories.get(), frame.pandas_na(),
                                       rows, coded);
                }
                if (taken) {
                    frame.add_coded(c, std::move(coded));
                    ++c;
                    continue;
                }
            }
            if (road[c].road == FrameRoad::arrow_strings) {
                if (auto chunks = arrow_chunks(ext.get(), rows)) {
                    Ref missing;
                    for (const arrow::TextChunk& ch : *chunks) {
                        if (!ch.has_nulls()) continue;
                        Ref dtype = check(PyObject_GetAttrString(ext.get(), "dtype"));
                        missing = check(PyObject_GetAttrString(dtype.get(), "na_value"));
                        break;
                    }
                    frame.add_chunks(c, std::move(*chunks), std::move(missing));
                    ++c;
                    continue;
                }
            }
            Ref arr = check(PyObject_CallMethod(ext.get(), "astype", "s", "object"));
            ext.reset();
            series.reset();
            if (!frame_array(arr.get(), 1, Direct::object, rows, 1))
                throw Panic("a DataFrame column did not give a plain array of the frame's rows");
            frame.add_array(std::move(arr), c, 1, Direct::object);
            ++c;
        }
    } catch (PyError& e) {
        e.restore();
        throw panic_from_pending("failed to read a DataFrame column");
    }
    return frame;
}

// Reads a nullable column as `values` gives it: each value the Python number
// astype(object) boxes it as (a number until the column's first text, then
// its str()), pandas.NA where the mask is set.
void read_masked_column(const FrameSnapshot::Masked& col, CellReader& reader, std::size_t rows, std::size_t c,
                        std::size_t& countdown) {
    auto* d = reinterpret_cast<PyArrayObject*>(col.data.get());
    auto* m = reinterpret_cast<PyArrayObject*>(col.mask.get());
    const char* data = static_cast<const char*>(PyArray_DATA(d));
    const char* mask = static_cast<const char*>(PyArray_DATA(m));
    const npy_intp step = PyArray_STRIDE(d, 0), mask_step = PyArray_STRIDE(m, 0);
    with_number_type(col.kind, [&](auto zero) {
        using T = decltype(zero);
        if (col.missing || reader.is_text(c)) {
            reader.masked_text_column<T>(c, data, step, mask, mask_step, col.missing.get());
            return;
        }
        // Signals are checked at the same cadence as a cell at a time, but
        // once a run of cells rather than in the loop: the check counts the
        // run's first cell, the run ends where the next check falls due.
        for (std::size_t r = 0; r < rows;) {
            check_signals(countdown);
            const std::size_t end = std::min(rows, r + countdown);
            countdown -= end - r - 1;
            for (; r < end; ++r) reader.number(static_cast<double>(load<T>(data + npy_intp(r) * step)), r, c);
        }
        reader.end_column(c);
    });
}

void read_frame_columns(FrameSnapshot& frame, CellReader& reader, std::size_t rows) {
    std::size_t countdown = k_signal_interval;
    // Without object columns no cell runs Python code, so nothing edits the
    // snapshot's number arrays while they are read: their copies need not be
    // made by this thread, in order, before the columns after them.
    const bool plain = std::none_of(frame.sources_.begin(), frame.sources_.end(),
                                    [](const FrameSnapshot::Source& s) { return s.kind == Direct::object; });
    core::PoolTasks copies;  // waited for before the snapshot goes
    for (std::size_t c = 0; c < frame.source_of_.size(); ++c) {
        if (auto& chunks = frame.chunks_[c]) {
            read_arrow_column(std::move(*chunks), frame.missing_[c].get(), reader, rows, c, countdown);
            chunks.reset();
            continue;
        }
        if (FrameSnapshot::Masked& masked = frame.masked_[c]; masked.data) {
            read_masked_column(masked, reader, rows, c, countdown);
            masked = {};
            continue;
        }
        if (FrameSnapshot::Coded& coded = frame.coded_[c]; coded.codes) {
            const auto* codes =
                static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(coded.codes.get())));
            if (coded.stamps) {
                auto* st = reinterpret_cast<PyArrayObject*>(coded.stamps.get());
                reader.stamp_column(c, static_cast<const std::int64_t*>(PyArray_DATA(st)), std::size_t(PyArray_DIM(st, 0)),
                                    coded.digits, coded.utc, codes, coded.missing.get());
            } else {
                reader.coded_column(c, reinterpret_cast<PyArrayObject*>(coded.categories.get()), codes,
                                    coded.missing.get());
            }
            coded = {};
            continue;
        }
        const FrameSnapshot::Source& s = frame.sources_[frame.source_of_[c]];
        read_array_column(s.array.get(), s.kind, reader, rows, c, frame.column_in_source_[c], countdown,
                          frame.detached_ ? nullptr : &frame, plain ? &copies : nullptr);
    }
    copies.wait();
}

void read_by_lookup(PyObject* src, CellReader& reader, std::size_t rows, std::size_t cols) {
    std::size_t countdown = k_signal_interval;
    for (std::size_t c = 0; c < cols; ++c) {
        Ref col = check(PyLong_FromSize_t(c));
        for (std::size_t r = 0; r < rows; ++r) {
            check_signals(countdown);
            Ref row = check(PyLong_FromSize_t(r));
            Ref key = check(PyTuple_Pack(2, row.get(), col.get()));
            Ref cell = Ref::steal(PyObject_GetItem(src, key.get()));
            if (!cell) throw panic_from_pending("failed to look up a cell");
            reader.cell(cell.get(), r, c);
        }
        reader.end_column(c);
    }
}

}  // namespace

std::vector<std::uint8_t> read_cells(PyObject* obj, bool is_frame, std::uint64_t rows, std::uint64_t cols,
                                     core::SendPtr out, core::TextColumnSink& sink,
                                     const std::vector<std::uint8_t>* force_text) {
    if (force_text != nullptr && force_text->size() != cols) throw Panic("forced columns do not match the width");
    Ref source;
    std::optional<std::vector<FrameColumn>> road;
    if (is_frame) {
        road = frame_road(obj, cols);
        if (!road) {
            source = Ref::steal(PyObject_GetAttrString(obj, "values"));
            if (!source) throw panic_from_pending("failed to read `values`");
        }
    } else {
        source = Ref::borrow(obj);
    }

    core::ColumnStore store;
    store.n_rows = rows;
    store.n_columns = cols;
    if (rows != 0) {  // without rows no column is text: nothing to keep per column
        store.is_text.assign(cols, 0);
        store.text_columns.resize(cols);
    }

    CellReader reader(store, out, sink);
    reader.force_text(force_text);
    if (road) {
        if (rows != 0) {
            FrameSnapshot frame = take_frame_columns(obj, *road, rows);
            read_frame_columns(frame, reader, rows);
        }
    } else if (rows != 0 && cols != 0) {
        // A plain array's numbers are NumPy scalars to str(): forced texts of
        // an array are read through item lookups.
        const bool numbers_forced = force_text != nullptr && !is_frame;
        const Direct d = numbers_forced ? Direct::none : direct_kind(source.get(), 2);
        if (d != Direct::none) read_direct(source.get(), d, reader, rows, cols);
        else read_by_lookup(source.get(), reader, rows, cols);
    }
    source.reset();
    reader.finish();
    if (rows == 0) store.is_text.assign(cols, 0);
    return std::move(store.is_text);
}

IntakeResult encode_object_array(PyObject* obj, OUT kind) {
    const auto [rows, cols] = read_shape(obj);
    // A DataFrame result is built from a column-major buffer: pandas keeps its
    // columns that way, so the copy it makes is straight, and each column is
    // written contiguously here. An array result is row-major.
    Ref matrix = new_float_matrix(rows, cols, kind.is_frame);
    const core::SendPtr out = matrix_out(matrix.get());
    core::TextColumnEncoder encoder(out);
    read_cells(obj, kind.is_frame, rows, cols, out, encoder);
    std::vector<core::ColumnLabels> labels = encoder.finish();

    IntakeResult res;
    res.kind = std::move(kind);
    res.matrix = std::move(matrix);
    res.info = std::make_unique<core::EncodingInfo>(core::make_encoding_info(std::move(labels)));
    return res;
}

core::SendPtr matrix_out(PyObject* matrix) {
    auto* m = reinterpret_cast<PyArrayObject*>(matrix);
    const auto rows = std::size_t(PyArray_DIM(m, 0)), cols = std::size_t(PyArray_DIM(m, 1));
    const bool by_column = !PyArray_IS_C_CONTIGUOUS(m);
    return {static_cast<double*>(PyArray_DATA(m)), by_column ? 1 : cols, by_column ? rows : 1};
}

}  // namespace tovrik::py
