// tovrik_ml._native: learnt mappings read from an Encoder's state bytes, and
// applied to new data through the same cell reading as encode.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <tuple>

#include "companion/partition.hpp"
#include "core/apply.hpp"
#include "core/state_codec.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/numpy_api.hpp"
#include "python/output.hpp"

namespace tovrik::py {

namespace {

struct MappingObject {
    PyObject_HEAD
    core::LearntMapping mapping;
};

PyTypeObject* g_mapping_type = nullptr;

MappingObject* as_mapping(PyObject* self) { return reinterpret_cast<MappingObject*>(self); }

void mapping_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_mapping(self)->mapping.~LearntMapping();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* mapping_columns(PyObject* self, void*) noexcept {
    try {
        const auto& cols = as_mapping(self)->mapping.columns();
        Ref out = check(PyTuple_New(Py_ssize_t(cols.size())));
        for (std::size_t i = 0; i < cols.size(); ++i)
            PyTuple_SET_ITEM(out.get(), Py_ssize_t(i), check(PyLong_FromUnsignedLongLong(cols[i])).release());
        return out.release();
    } catch (...) {
        return translate_exception();
    }
}

PyGetSetDef k_mapping_getset[] = {
    {"encoded_columns", mapping_columns, nullptr, "The listed text columns, ascending.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot k_mapping_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_tp_getset, k_mapping_getset},
    {Py_tp_doc, const_cast<char*>("A learnt mapping ready to apply; made by prepare().")},
    {0, nullptr},
};

PyType_Spec k_mapping_spec = {
    /* .name = */ "tovrik_ml._native.Mapping",
    /* .basicsize = */ int(sizeof(MappingObject)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    /* .slots = */ k_mapping_slots,
};

void expect_args(const char* fn, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", fn, want, nargs);
        throw PyError();
    }
}

// prepare(state: bytes) -> Mapping
PyObject* prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        expect_args("prepare", nargs, 1);
        PyObject* state = args[0];
        if (!PyBytes_Check(state)) raise(PyExc_TypeError, "prepare() takes the bytes of Encoder.__getstate__()");
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state));
        core::StateReadResult r =
            core::read_state(std::span<const std::uint8_t>(p, std::size_t(PyBytes_GET_SIZE(state))));
        if (!r.ok) raise(PyExc_ValueError, "failed to unpickle Encoder: " + r.error);
        if (!r.encoding_info) raise(PyExc_ValueError, "the state holds no learnt mapping");
        std::uint64_t missing = 0;
        std::optional<core::LearntMapping> m = core::LearntMapping::prepare(std::move(r.encoding_info), missing);
        if (!m)
            raise(PyExc_ValueError, "the learnt mapping lists column " + std::to_string(missing) +
                                        " but holds no label map for it");
        Ref self = check(PyType_GenericAlloc(g_mapping_type, 0));
        new (&as_mapping(self.get())->mapping) core::LearntMapping(std::move(*m));
        return self.release();
    } catch (...) {
        return translate_exception();
    }
}

// repr() of a text, cut to its first 60 characters.
Ref text_repr(const std::string& text) {
    Ref s = check(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
    constexpr Py_ssize_t k_keep = 60;
    if (PyUnicode_GET_LENGTH(s.get()) <= k_keep) return check(PyObject_Repr(s.get()));
    Ref head = check(PyUnicode_Substring(s.get(), 0, k_keep));
    return check(PyUnicode_FromFormat("%R...", head.get()));
}

// "column 2 ('city')" for a frame, "column 2" for an array.
Ref column_label(const OUT& kind, std::uint64_t c) {
    if (!kind.is_frame || c >= kind.column_names.size())
        return check(PyUnicode_FromFormat("column %llu", static_cast<unsigned long long>(c)));
    const std::string& name = kind.column_names[std::size_t(c)];
    Ref n = check(PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), "replace"));
    return check(PyUnicode_FromFormat("column %llu (%R)", static_cast<unsigned long long>(c), n.get()));
}

[[noreturn]] void raise_fault(const OUT& kind, const core::ColumnFault& f) {
    Ref where = column_label(kind, f.column);
    Ref text = text_repr(f.text);
    if (f.unlisted)
        PyErr_Format(PyExc_ValueError,
                     "%U held no texts when the mapping was learnt, but row %zu holds %U, "
                     "which does not convert to float",
                     where.get(), f.row, text.get());
    else
        PyErr_Format(PyExc_ValueError, "%U holds a text the learnt mapping does not know: %U (row %zu)",
                     where.get(), text.get(), f.row);
    throw PyError();
}

// apply(mapping, obj, error_on_unknown: bool[, force]) -> ndarray | DataFrame
PyObject* apply(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    try {
        if (nargs != 3) expect_args("apply", nargs, 4);
        if (!PyObject_TypeCheck(args[0], g_mapping_type))
            raise(PyExc_TypeError, "apply() takes a Mapping made by prepare()");
        const core::LearntMapping& mapping = as_mapping(args[0])->mapping;
        PyObject* obj = args[1];
        const int error_on_unknown = check_status(PyObject_IsTrue(args[2]));

        IntakeResult res;
        res.kind = classify(obj);
        require_numpy();
        const bool fast = is_float64_matrix(obj);
        std::uint64_t rows, cols;
        if (fast) {
            rows = std::uint64_t(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 0));
            cols = std::uint64_t(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 1));
        } else {
            std::tie(rows, cols) = read_shape(obj);
        }
        if (!mapping.columns().empty() && mapping.columns().back() >= cols) {
            PyErr_Format(PyExc_ValueError,
                         "the learnt mapping lists column %llu, but the input has only %llu columns",
                         static_cast<unsigned long long>(mapping.columns().back()),
                         static_cast<unsigned long long>(cols));
            throw PyError();
        }

        std::vector<std::uint8_t> is_text;
        std::vector<core::ColumnFault> faults;
        if (fast) {
            res.matrix = copy_float64(obj);
            core::LabelApplier applier(mapping, matrix_out(res.matrix.get()));
            is_text.assign(cols, 0);
            faults = applier.finish(is_text, rows);
        } else {
            std::vector<std::uint8_t> force;
            if (nargs == 4 && args[3] != Py_None) {
                Ref seq = check(PySequence_Fast(args[3], "force must be a sequence"));
                if (std::size_t(PySequence_Fast_GET_SIZE(seq.get())) != cols)
                    raise(PyExc_ValueError, "one force flag per column");
                for (Py_ssize_t i = 0; i < Py_ssize_t(cols); ++i)
                    force.push_back(std::uint8_t(check_status(PyObject_IsTrue(PySequence_Fast_GET_ITEM(seq.get(), i)))));
            }
            res.matrix = new_float_matrix(rows, cols, res.kind.is_frame);
            core::LabelApplier applier(mapping, matrix_out(res.matrix.get()));
            is_text = read_cells(obj, res.kind.is_frame, rows, cols, matrix_out(res.matrix.get()), applier,
                                 force.empty() ? nullptr : &force);
            faults = applier.finish(is_text, rows);
        }
        for (const core::ColumnFault& f : faults)
            if (f.unlisted || error_on_unknown) raise_fault(res.kind, f);
        return arr_to_out(std::move(res), nullptr).release();
    } catch (...) {
        return translate_exception();
    }
}

PyMethodDef k_functions[] = {
    {"prepare", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prepare)), METH_FASTCALL,
     "prepare(state, /)\n--\n\nReads the bytes of Encoder.__getstate__() into a Mapping ready to apply."},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), METH_FASTCALL,
     "apply(mapping, obj, error_on_unknown, force=None, /)\n--\n\nCodes obj with the learnt mapping; columns flagged in force read every cell through str()."},
    {"part_sets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(part_sets)), METH_FASTCALL,
     "part_sets(obj, columns, force, /)\n--\n\nSorted distinct texts of a partition's columns."},
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_sets)), METH_FASTCALL,
     "merge(sets, /)\n--\n\nThe sorted union of sorted packed sets."},
    {"remap", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remap)), METH_FASTCALL,
     "remap(matrix, columns, local_sets, merged_sets, /)\n--\n\nCodes into local sets as codes into merged sets."},
    {"state_of_sets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(state_of_sets)), METH_FASTCALL,
     "state_of_sets(columns, sets, /)\n--\n\nThe state bytes of an Encoder that learnt these sets."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) noexcept {
    try {
        // Internal errors raise tovrik's own PanicException.
        Ref tovrik = check(PyImport_ImportModule("tovrik"));
        Ref panic = check(PyObject_GetAttrString(tovrik.get(), "PanicException"));
        adopt_panic_type(panic.get());
        require_numpy();  // every function here may take or make arrays
        if (g_mapping_type == nullptr) {
            g_mapping_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&k_mapping_spec));
            if (g_mapping_type == nullptr) throw PyError();
        }
        check_status(PyModule_AddObjectRef(module, "Mapping", reinterpret_cast<PyObject*>(g_mapping_type)));
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyModuleDef_Slot k_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef k_module = {
    PyModuleDef_HEAD_INIT,
    /* .m_name = */ "tovrik_ml._native",
    /* .m_doc = */ "Learnt tovrik mappings applied to new data.",
    /* .m_size = */ 0,
    /* .m_methods = */ k_functions,
    /* .m_slots = */ k_slots,
    /* .m_traverse = */ nullptr,
    /* .m_clear = */ nullptr,
    /* .m_free = */ nullptr,
};

}  // namespace

}  // namespace tovrik::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return PyModuleDef_Init(&tovrik::py::k_module);
}
