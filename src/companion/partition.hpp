// The per-partition steps of a distributed encode, as module functions of tovrik_ml._native.
#pragma once

#include "python/ref.hpp"

namespace tovrik::py {

/// part_sets(obj, columns, force): (rows, first text row per listed column or
/// -1, sorted distinct texts per listed column as (offsets, data), the
/// partition's matrix encoded by itself); columns
/// flagged in `force` take every cell through str() from row 0.
PyObject* part_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// remap(matrix, columns, local_sets, merged_sets): a copy of the matrix whose
/// listed columns' codes into the local sets become codes into the merged sets.
PyObject* remap(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// merge(sets): the sorted union of sorted packed sets, by a k-way merge.
PyObject* merge_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// state_of_sets(columns, sets): the state bytes of an Encoder that learnt
/// these sorted distinct texts for these (ascending) columns.
PyObject* state_of_sets(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace tovrik::py
