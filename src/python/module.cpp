// Module entry point and execution step: registers Encoder and the internal-error type.
#include "python/encoder.hpp"
#include "python/errors.hpp"

namespace tovrik::py {

namespace {

[[noreturn]] void not_instance(PyObject* obj, const char* expected) {
    Ref qual = check(PyType_GetQualName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qual.get(), expected);
    throw PyError();
}

int module_exec(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) not_instance(module, "module");
        PyTypeObject* type = encoder_type();
        if (type == nullptr) throw PyError();

        Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
            PyErr_Clear();
            all = check(PyList_New(0));
            check_status(PyObject_SetAttrString(module, "__all__", all.get()));
        } else if (!PyList_Check(all.get())) {
            not_instance(all.get(), "list");
        }
        Ref name = check(PyUnicode_FromString("Encoder"));
        check_status(PyList_Append(all.get(), name.get()));
        check_status(PyModule_AddObjectRef(module, "Encoder", reinterpret_cast<PyObject*>(type)));

        PyObject* panic = panic_type();
        if (panic == nullptr) throw PyError();
        check_status(PyModule_AddObjectRef(module, "PanicException", panic));
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyModuleDef_Slot k_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef k_module = {
    PyModuleDef_HEAD_INIT,
    /* .m_name = */ "tovrik",
    /* .m_doc = */ "Python module tovrik: label encoding of the text columns of arrays and DataFrames.",
    /* .m_size = */ 0,
    /* .m_methods = */ nullptr,
    /* .m_slots = */ k_module_slots,
    /* .m_traverse = */ nullptr,
    /* .m_clear = */ nullptr,
    /* .m_free = */ nullptr,
};

}  // namespace

}  // namespace tovrik::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tovrik() {
    return PyModuleDef_Init(&tovrik::py::k_module);
}
