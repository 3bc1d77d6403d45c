// Output assembly for both result kinds.
#include "python/output.hpp"

#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace tovrik::py {

Ref make_frame(Ref base, const std::vector<std::string>& names) {
    Ref pandas = check(PyImport_ImportModule("pandas"));
    Ref kwargs = check(PyDict_New());
    Ref list = check(PyList_New(Py_ssize_t(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* s = PyUnicode_FromStringAndSize(names[i].data(), Py_ssize_t(names[i].size()));
        if (s == nullptr) throw PyError();
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), s);
    }
    check_status(PyDict_SetItemString(kwargs.get(), "columns", list.get()));
    // The base array is fresh and held by nobody else: the frame takes it as it
    // is. (Copy-on-write pandas would otherwise copy it, doubling the result's
    // memory for a moment.)
    check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
    Ref cls = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    PyObject* args[] = {base.get()};
    return check(PyObject_VectorcallDict(cls.get(), args, 1, kwargs.get()));
}

Ref arr_to_out(IntakeResult&& intake, const core::EncodingInfo* info) {
    // The intake's matrix is a fresh float64 array that nobody else holds, so it
    // serves as the base array itself.
    Ref base = std::move(intake.matrix);
    if (!intake.kind.is_frame) {
        if (info == nullptr) return base;
        return decode_array(std::move(base), *info);
    }
    Ref matrix = Ref::borrow(base.get());
    Ref frame = make_frame(std::move(base), intake.kind.column_names);
    if (info == nullptr || info->encoded_columns.empty()) return frame;
    return decode_frame(std::move(frame), reinterpret_cast<PyArrayObject*>(matrix.get()),
                        intake.kind.column_names, *info);
}

}  // namespace tovrik::py
