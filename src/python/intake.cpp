// Classification by type name, DataFrame column names, and the float64 fast path.
#include "python/intake.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace tovrik::py {

namespace {

void append_utf8(std::string& out, Py_UCS4 ch) {
    if (ch >= 0xD800 && ch <= 0xDFFF) {
        // A lone surrogate: its three bytes are not UTF-8, each becomes U+FFFD.
        for (int i = 0; i < 3; ++i) out += "\xEF\xBF\xBD";
    } else if (ch < 0x80) {
        out += char(ch);
    } else if (ch < 0x800) {
        out += char(0xC0 | (ch >> 6));
        out += char(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += char(0xE0 | (ch >> 12));
        out += char(0x80 | ((ch >> 6) & 0x3F));
        out += char(0x80 | (ch & 0x3F));
    } else {
        out += char(0xF0 | (ch >> 18));
        out += char(0x80 | ((ch >> 12) & 0x3F));
        out += char(0x80 | ((ch >> 6) & 0x3F));
        out += char(0x80 | (ch & 0x3F));
    }
}

// The whole line goes to file descriptor 1, past Python's own buffering.
void write_stdout_line(const std::string& text) {
    std::string line = text + "\n";
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(1, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report a failed diagnostic
        }
        p += n;
        left -= std::size_t(n);
    }
}

// A `len()` is only a hint: room for at most this many names is reserved
// ahead, and a longer list grows as its names come.
constexpr std::size_t k_max_hinted_names = 1 << 16;

// Room for the names of a sequence whose len() is `hint`; a failing len()
// (its error discarded) hints nothing.
std::size_t names_hint(PyObject* seq) {
    const Py_ssize_t hint = PyObject_Size(seq);
    if (hint < 0) {
        absorb_error();
        return 0;
    }
    return std::min(std::size_t(hint), k_max_hinted_names);
}

// Appends the text of a name that is a str with valid UTF-8; false (its
// error discarded) for any other.
bool add_text_name(PyObject* item, std::vector<std::string>& out) {
    if (!PyUnicode_Check(item)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item, &n);
    if (s == nullptr) {
        absorb_error();
        return false;
    }
    out.emplace_back(s, std::size_t(n));
    return true;
}

// First attempt: every entry of `columns` is a str. False when the attempt is
// abandoned; its error is discarded.
bool names_as_texts(PyObject* columns, std::vector<std::string>& out) {
    if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return false;
    const std::size_t hint = names_hint(columns);
    out.clear();
    out.reserve(hint);
    Ref it = Ref::steal(PyObject_GetIter(columns));
    if (!it) {
        absorb_error();
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (!add_text_name(item.get(), out)) return false;
    if (PyErr_Occurred()) {
        absorb_error();
        return false;
    }
    return true;
}

// Second attempt: integer labels from columns.tolist(), as decimal texts.
std::vector<std::string> names_as_integers(PyObject* columns) {
    Ref list = check(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(list.get())) {
        Ref qual = check(PyType_GetQualName(Py_TYPE(list.get())));
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", qual.get());
        throw PyError();
    }
    std::vector<std::string> out;
    out.reserve(names_hint(list.get()));
    Ref it = check(PyObject_GetIter(list.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) throw PyError();
        out.push_back(std::to_string(v));
    }
    if (PyErr_Occurred()) throw PyError();
    return out;
}

// The first attempt's answer for an exact pandas Index, read from its
// tolist(): the items its iteration gives, made at once rather than boxed one
// by one (pandas 3 keeps str labels in Arrow, where iterating them costs
// about half a microsecond a name). None when it is not such an Index or
// tolist() fails (its error discarded): the first attempt then runs as it is.
std::optional<bool> index_names_as_texts(PyObject* columns, std::vector<std::string>& out) {
    Ref name = check(PyUnicode_FromString("pandas"));
    Ref pandas = Ref::steal(PyImport_GetModule(name.get()));  // null, and no error, when not imported
    if (!pandas) {
        if (PyErr_Occurred()) absorb_error();
        return std::nullopt;
    }
    Ref index_type = Ref::steal(PyObject_GetAttrString(pandas.get(), "Index"));
    if (!index_type) absorb_error();
    if (!index_type || Py_TYPE(columns) != reinterpret_cast<PyTypeObject*>(index_type.get())) return std::nullopt;
    Ref list = Ref::steal(PyObject_CallMethod(columns, "tolist", nullptr));
    if (!list) absorb_error();
    if (!list || !PyList_CheckExact(list.get())) return std::nullopt;
    out.clear();
    out.reserve(std::size_t(PyList_GET_SIZE(list.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (!add_text_name(PyList_GET_ITEM(list.get(), i), out)) return false;
    return true;
}

std::vector<std::string> column_names(PyObject* obj) {
    Ref columns = check(PyObject_GetAttrString(obj, "columns"));
    std::vector<std::string> names;
    const std::optional<bool> from_index = index_names_as_texts(columns.get(), names);
    if (from_index ? *from_index : names_as_texts(columns.get(), names)) return names;
    return names_as_integers(columns.get());
}

}  // namespace

std::string_view str_text(PyObject* s, std::string& spill) {
    // ASCII text is its own UTF-8, stored right behind the header.
    if (PyUnicode_IS_COMPACT_ASCII(s))
        return {static_cast<const char*>(PyUnicode_DATA(s)), std::size_t(PyUnicode_GET_LENGTH(s))};
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p != nullptr) return {p, std::size_t(n)};
    absorb_error();  // lone surrogates: rebuild the text code point by code point
    spill.clear();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < len; ++i) append_utf8(spill, PyUnicode_READ(kind, data, i));
    return spill;
}

bool is_float64_matrix(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 2) return false;
    PyArray_Descr* f8 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), f8);
    Py_DECREF(f8);
    return same;
}

// One copy: a block copy keeping C or Fortran order when the data is one
// block, a row-major gather otherwise.
Ref copy_float64(PyObject* obj) {
    auto* src = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(src);
    const auto rows = std::size_t(dims[0]), cols = std::size_t(dims[1]);
    const bool c_order = PyArray_IS_C_CONTIGUOUS(src);
    const bool f_order = !c_order && PyArray_IS_F_CONTIGUOUS(src);
    Ref out = new_float_matrix(rows, cols, f_order);
    auto* dst = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::size_t n = rows * cols;
    if (n == 0) return out;
    const char* base = static_cast<const char*>(PyArray_DATA(src));
    if (c_order || f_order) {
        std::memcpy(dst, base, n * sizeof(double));
        return out;
    }
    const npy_intp s0 = PyArray_STRIDES(src)[0], s1 = PyArray_STRIDES(src)[1];
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = base + npy_intp(r) * s0;
        for (std::size_t c = 0; c < cols; ++c, dst += sizeof(double))
            std::memcpy(dst, row + npy_intp(c) * s1, sizeof(double));
    }
    return out;
}

OUT classify(PyObject* obj) {
    Ref name_obj = check(PyType_GetName(Py_TYPE(obj)));
    std::string spill;
    const std::string name(str_text(name_obj.get(), spill));
    name_obj.reset();

    OUT kind;
    if (name == "DataFrame") {
        kind.is_frame = true;
        kind.column_names = column_names(obj);
    } else if (name != "ndarray" && name != "memmap") {
        write_stdout_line(name);
        raise(PyExc_TypeError, "Unsupported type: '" + name +
                                   "'. Supported types are: numpy.ndarray, pandas.DataFrame");
    }
    return kind;
}

IntakeResult pyany_to_vec(PyObject* obj) {
    OUT kind = classify(obj);
    require_numpy();
    if (is_float64_matrix(obj)) {
        IntakeResult res;
        res.kind = std::move(kind);
        res.matrix = copy_float64(obj);
        return res;
    }
    return encode_object_array(obj, std::move(kind));
}

}  // namespace tovrik::py
