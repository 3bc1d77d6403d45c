// Attaching NumPy's C API and making float64 matrices.
#define TOVRIK_NUMPY_MAIN
#include "python/numpy_api.hpp"

#include <cstdint>

#include "python/errors.hpp"

namespace tovrik::py {

void require_numpy() {
    if (PyArray_API == nullptr && _import_array() < 0) throw PyError();
}

Ref new_float_matrix(std::size_t rows, std::size_t cols, bool fortran_order) {
    constexpr std::size_t k_max = std::size_t(PTRDIFF_MAX) / sizeof(double);
    if (rows > k_max || cols > k_max || (cols != 0 && rows > k_max / cols)) {
        PyErr_Format(PyExc_MemoryError,
                     "cannot allocate a float64 matrix of %zu x %zu cells", rows, cols);
        throw PyError();
    }
    npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);  // stolen below
    if (descr == nullptr) throw PyError();
    return check(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr,
                                      fortran_order ? 1 : 0, nullptr));
}

}  // namespace tovrik::py
