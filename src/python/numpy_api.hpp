// NumPy's C API, attached lazily on the first array operation.
#pragma once

#include "python/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tovrik_ARRAY_API
#ifndef TOVRIK_NUMPY_MAIN
#define NO_IMPORT_ARRAY
#endif
#include <numpy/ndarrayobject.h>

namespace tovrik::py {

/// Attaches NumPy's C API (cheap after the first call); throws PyError on failure.
void require_numpy();

/// A new, uninitialised float64 array of shape (rows, cols); throws PyError
/// (MemoryError for a size that cannot be allocated).
Ref new_float_matrix(std::size_t rows, std::size_t cols, bool fortran_order);

/// A new object array of shape (rows, cols), or of `rows` cells, every cell
/// NULL; throws PyError as above.
Ref new_object_matrix(std::size_t rows, std::size_t cols, bool fortran_order);
Ref new_object_column(std::size_t rows);

}  // namespace tovrik::py
