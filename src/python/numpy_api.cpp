// Attaching NumPy's C API and making float64 matrices.
#define TOVRIK_NUMPY_MAIN
#include "python/numpy_api.hpp"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "python/errors.hpp"

namespace tovrik::py {

namespace {

// The memory of large results, kept for the next result of the same size.
// A result of many megabytes taken fresh from the system is zeroed by the
// kernel page by page as the encode first writes it (a fifth of an encode of
// a 51 MB result); a caller that encodes batch after batch of one shape
// frees each result before the next is made, so the blocks of the last few
// results freed are kept and handed out again, whole and exactly, instead.
// A decoded frame is its matrix and an object array per listed column, so
// there is room for several blocks. Everything else goes to NumPy's own
// allocator, which also makes the blocks kept. At most k_kept_bytes stay
// kept after their arrays are gone.
struct KeptBlocks {
    static constexpr std::size_t k_min_bytes = std::size_t(1) << 20;
    static constexpr std::size_t k_kept_bytes = std::size_t(128) << 20;
    static constexpr std::size_t k_slots = 8;

    std::mutex mutex;
    PyDataMemAllocator numpy{};  // NumPy's default allocator, which does the work
    struct Block {
        void* p = nullptr;
        std::size_t n = 0;
    } blocks[k_slots];  // oldest first
    std::size_t count = 0, bytes = 0;

    // A kept block of exactly n bytes, or null.
    void* kept(std::size_t n) {
        if (n < k_min_bytes) return nullptr;
        std::lock_guard lock(mutex);
        for (std::size_t i = count; i-- != 0;) {
            if (blocks[i].n != n) continue;
            void* p = blocks[i].p;
            std::memmove(blocks + i, blocks + i + 1, (count - i - 1) * sizeof(Block));
            --count;
            bytes -= n;
            return p;
        }
        return nullptr;
    }

    void* take(std::size_t n) {
        if (void* p = kept(n)) return p;
        return numpy.malloc(numpy.ctx, n);
    }

    // Zeroed memory (object arrays start with NULL cells): a kept block is
    // cleared here, which costs less than the kernel's zeroing and mapping
    // of fresh pages.
    void* take_zeroed(std::size_t k, std::size_t size) {
        if (k != 0 && size <= SIZE_MAX / k)
            if (void* p = kept(k * size)) return std::memset(p, 0, k * size);
        return numpy.calloc(numpy.ctx, k, size);
    }

    void give_back(void* p, std::size_t n) {
        if (p == nullptr) return;
        if (n < k_min_bytes || n > k_kept_bytes) return numpy.free(numpy.ctx, p, n);
        Block evicted[k_slots];
        std::size_t n_evicted = 0;
        {
            std::lock_guard lock(mutex);
            while (count == k_slots || bytes + n > k_kept_bytes) {
                evicted[n_evicted++] = blocks[0];
                bytes -= blocks[0].n;
                std::memmove(blocks, blocks + 1, (count - 1) * sizeof(Block));
                --count;
            }
            blocks[count++] = {p, n};
            bytes += n;
        }
        for (std::size_t i = 0; i < n_evicted; ++i) numpy.free(numpy.ctx, evicted[i].p, evicted[i].n);
    }
};

KeptBlocks kept;

void* kept_malloc(void*, std::size_t n) { return kept.take(n); }
void* kept_calloc(void*, std::size_t k, std::size_t size) { return kept.take_zeroed(k, size); }
void* kept_realloc(void*, void* p, std::size_t n) { return kept.numpy.realloc(kept.numpy.ctx, p, n); }
void kept_free(void*, void* p, std::size_t n) { kept.give_back(p, n); }

PyDataMem_Handler kept_handler = {
    "tovrik_kept_results", 1, {nullptr, kept_malloc, kept_calloc, kept_realloc, kept_free}};

// The handler as a capsule, made once (its allocator taken from NumPy's
// default handler); null when NumPy's handler cannot be read.
PyObject* kept_capsule() {
    static PyObject* capsule = [] {
        auto* numpy_handler =
            static_cast<PyDataMem_Handler*>(PyCapsule_GetPointer(PyDataMem_DefaultHandler, "mem_handler"));
        if (numpy_handler == nullptr || numpy_handler->version != 1) {
            PyErr_Clear();
            return static_cast<PyObject*>(nullptr);
        }
        kept.numpy = numpy_handler->allocator;
        PyObject* c = PyCapsule_New(&kept_handler, "mem_handler", nullptr);
        if (c == nullptr) PyErr_Clear();
        return c;  // held for the life of the process, as the arrays made with it may be
    }();
    return capsule;
}

// Makes a large result's array with the kept blocks' handler, while the
// context's handler is NumPy's default (a handler the caller installed
// is left to do its work).
template <class Make>
Ref with_kept_blocks(std::size_t bytes, Make&& make) {
    if (bytes < KeptBlocks::k_min_bytes || bytes > KeptBlocks::k_kept_bytes) return make();
    Ref current = check(PyDataMem_GetHandler());
    PyObject* ours = current.get() == PyDataMem_DefaultHandler ? kept_capsule() : nullptr;
    if (ours == nullptr) return make();
    Ref previous = check(PyDataMem_SetHandler(ours));
    Ref out;
    try {
        out = make();
    } catch (...) {
        // The failure holds its own error: the context's handler is put back
        // as well as it can be.
        if (PyObject* r = PyDataMem_SetHandler(previous.get())) Py_DECREF(r);
        else PyErr_Clear();
        throw;
    }
    Ref restored = Ref::steal(PyDataMem_SetHandler(previous.get()));
    if (!restored) throw PyError();
    return out;
}

// A new array of `nd` (1 or 2) dimensions, rows x cols cells of NumPy type
// `type` (of `cell` bytes each), made through the kept blocks when large.
Ref new_array(int type, std::size_t cell, const char* what, int nd, std::size_t rows, std::size_t cols,
              bool fortran_order) {
    const std::size_t k_max = std::size_t(PTRDIFF_MAX) / cell;
    if (rows > k_max || cols > k_max || (cols != 0 && rows > k_max / cols)) {
        PyErr_Format(PyExc_MemoryError, "cannot allocate a%s matrix of %zu x %zu cells", what, rows, cols);
        throw PyError();
    }
    npy_intp dims[2] = {npy_intp(rows), npy_intp(cols)};
    return with_kept_blocks(rows * cols * cell, [&] {
        PyArray_Descr* descr = PyArray_DescrFromType(type);  // stolen below
        if (descr == nullptr) throw PyError();
        return check(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, nullptr, nullptr, fortran_order ? 1 : 0,
                                          nullptr));
    });
}

}  // namespace

void require_numpy() {
    if (PyArray_API == nullptr && _import_array() < 0) throw PyError();
}

Ref new_float_matrix(std::size_t rows, std::size_t cols, bool fortran_order) {
    return new_array(NPY_FLOAT64, sizeof(double), " float64", 2, rows, cols, fortran_order);
}

Ref new_object_matrix(std::size_t rows, std::size_t cols, bool fortran_order) {
    return new_array(NPY_OBJECT, sizeof(PyObject*), "n object", 2, rows, cols, fortran_order);
}

Ref new_object_column(std::size_t rows) {
    return new_array(NPY_OBJECT, sizeof(PyObject*), "n object", 1, rows, 1, false);
}

}  // namespace tovrik::py
