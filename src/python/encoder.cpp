// The Encoder class: constructor, borrow rules and the four methods.
#include "python/encoder.hpp"

#include <new>

#include "core/state_codec.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/output.hpp"

namespace tovrik::py {

namespace {

constexpr std::uintptr_t k_exclusive = ~std::uintptr_t(0);

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

class SharedBorrow {
public:
    explicit SharedBorrow(EncoderObject* e) : flag_(e->borrow) {
        std::uintptr_t cur = flag_.load(std::memory_order_relaxed);
        do {
            if (cur == k_exclusive || cur == k_exclusive - 1)
                raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
    }
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;

private:
    std::atomic<std::uintptr_t>& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(EncoderObject* e) : flag_(e->borrow) {
        std::uintptr_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, k_exclusive, std::memory_order_acq_rel,
                                           std::memory_order_relaxed))
            raise(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;

private:
    std::atomic<std::uintptr_t>& flag_;
};

PyObject* encoder_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    try {
        PyObject* encoding = bind_optional("__new__", "encoding", args, kwargs);
        if (encoding != nullptr && encoding != Py_None) {
            expect_instance(encoding, &PyUnicode_Type, "encoding");
            Py_ssize_t n = 0;
            const char* s = PyUnicode_AsUTF8AndSize(encoding, &n);
            if (s == nullptr) raise_with_note("encoding");
            if (std::string_view(s, std::size_t(n)) != "label") {
                raise(PyExc_ValueError, std::string(s, std::size_t(n)) +
                                            " is not a supported encoding strategy for strings!");
            }
        }
        core::EncoderState state;  // no EncodingInfo, strategy Label
        Ref empty = check(PyTuple_New(0));
        Ref self = check(PyBaseObject_Type.tp_new(cls, empty.get(), nullptr));
        auto* e = as_encoder(self.get());
        new (&e->state) core::EncoderState(std::move(state));
        new (&e->borrow) std::atomic<std::uintptr_t>(0);
        return self.release();
    } catch (...) {
        return translate_exception();
    }
}

void encoder_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_encoder(self)->state.~EncoderState();
    tp->tp_free(self);
    Py_DECREF(tp);
}

int encoder_traverse(PyObject* self, visitproc visit, void* arg) {
    // An Encoder holds no Python object; only its heap type needs visiting.
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int encoder_clear(PyObject*) { return 0; }

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        PyObject* obj = bind_one("encode", "obj", args, nargs, kwnames);
        EncoderObject* e = as_encoder(self);
        ExclusiveBorrow borrow(e);
        IntakeResult intake = pyany_to_vec(obj);
        e->state.encoding_info = std::move(intake.info);
        return arr_to_out(std::move(intake), nullptr).release();
    } catch (...) {
        return translate_exception();
    }
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        PyObject* obj = bind_one("decode", "obj", args, nargs, kwnames);
        EncoderObject* e = as_encoder(self);
        SharedBorrow borrow(e);
        IntakeResult intake = pyany_to_vec(obj);
        intake.info.reset();
        return arr_to_out(std::move(intake), e->state.encoding_info.get()).release();
    } catch (...) {
        return translate_exception();
    }
}

PyObject* getstate(PyObject* self, PyObject*) noexcept {
    try {
        EncoderObject* e = as_encoder(self);
        SharedBorrow borrow(e);
        const std::size_t n = core::state_size(e->state);
        Ref bytes = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
        auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
        core::write_state(e->state, std::span<std::uint8_t>(p, n));
        return bytes.release();
    } catch (...) {
        return translate_exception();
    }
}

PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        PyObject* state = bind_one("__setstate__", "state", args, nargs, kwnames);
        expect_instance(state, &PyBytes_Type, "state");
        EncoderObject* e = as_encoder(self);
        ExclusiveBorrow borrow(e);
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state));
        core::StateReadResult r =
            core::read_state(std::span<const std::uint8_t>(p, std::size_t(PyBytes_GET_SIZE(state))));
        if (!r.ok) raise(PyExc_ValueError, "failed to unpickle Encoder: " + r.error);
        e->state.encoding_info = std::move(r.encoding_info);
        Py_RETURN_NONE;
    } catch (...) {
        return translate_exception();
    }
}

PyMethodDef k_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot k_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoder_clear)},
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {Py_tp_methods, k_methods},
    {0, nullptr},
};

PyType_Spec k_spec = {
    /* .name = */ "tovrik.Encoder",
    /* .basicsize = */ int(sizeof(EncoderObject)),
    /* .itemsize = */ 0,
    /* .flags = */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    /* .slots = */ k_slots,
};

}  // namespace

PyTypeObject* encoder_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&k_spec));
    return type;
}

}  // namespace tovrik::py
