// Module room: the _tavoext extension. Init, the method table, the
// docstrings and the one call frame that encode and decode share.
// This and compat.h are the only places that see Python.h.
#include "compat.h"

#include "../codec/format.hpp"
#include "../codec/kernels.hpp"

namespace {

// Set once by init, read by decode. Owns one reference, so rebinding or
// deleting the module attribute never changes what decode raises.
PyObject* g_decode_error = nullptr;

// Above this size the kernel runs without the GIL. Releasing and re-taking
// an uncontended GIL measured under 10 ns a call, but handing it to a waiting
// thread and getting it back takes microseconds, so the kernel should run
// longer than that: at 64 KiB it takes 3 to 25 us depending on the data.
constexpr Py_ssize_t kNoGilThreshold = 64 * 1024;

// From this capacity a result keeps its allocation and only takes the shorter
// length: the slack is under 0.5% (the output bound's n/254), and returning
// it would cost a realloc. Worse, with glibc a large block shrunk before it
// is freed lowers the size above which malloc maps fresh pages, so the next
// call of the same size would page-fault its whole output again.
#define TAVO_KEEP_ALLOCATION_FROM (128 * 1024)

// Shrinks a result that nobody else has seen yet to `size` bytes, keeping the
// terminating NUL that the host promises for every byte string. On failure
// the host has released the result and set its error.
int tavo_bytes_shrink(PyObject** result, Py_ssize_t capacity, Py_ssize_t size) {
    if (capacity < TAVO_KEEP_ALLOCATION_FROM) return TavoBytes_Resize(result, size);
    Py_SET_SIZE(*result, size);
    TavoBytes_AS_BUFFER(*result)[size] = '\0';
    return 0;
}

// The one place where a codec error becomes a Python exception.
PyObject* raise_decode_error(tavo::DecodeStatus status) {
    PyErr_SetString(g_decode_error, tavo::message(status));
    return nullptr;
}

enum class Op { encode, decode };

// Argument -> buffer view -> one allocation -> kernel -> shrink in place.
PyObject* call_frame(TAVO_ARGS_PARAMS, Op op) {
    TavoInput in;
    if (!tavo_input_acquire(TAVO_ARGS, &in)) return nullptr;

    const std::size_t n = static_cast<std::size_t>(in.len);
    std::size_t capacity;
    if (op == Op::encode) {
        if (!tavo::encoded_bound(n, static_cast<std::size_t>(TAVO_MAX_RESULT), &capacity)) {
            tavo_input_release(&in);
            return PyErr_NoMemory();
        }
    } else {
        capacity = tavo::decoded_capacity(n);
    }

    PyObject* result = TavoBytes_New(static_cast<Py_ssize_t>(capacity));
    if (result == nullptr) {
        tavo_input_release(&in);
        return nullptr;
    }
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(TavoBytes_AS_BUFFER(result));
    const tavo::Kernel& kernel = tavo::best_kernel();

    std::size_t written = 0;
    tavo::DecodeStatus status = tavo::DecodeStatus::ok;
    auto run = [&]() {
        if (op == Op::encode) {
            written = kernel.encode(in.data, n, out);
        } else {
            const tavo::DecodeResult r = kernel.decode(in.data, n, out);
            written = r.length;
            status = r.status;
        }
    };
    if (in.len >= kNoGilThreshold) {
        // GIL-free: only raw memory is touched. The buffer view (or the
        // caller's reference to an immutable bytes object) keeps the input
        // alive and fixed in size, and nobody else can see `result` yet.
        Py_BEGIN_ALLOW_THREADS
        run();
        Py_END_ALLOW_THREADS
    } else {
        run();
    }
    tavo_input_release(&in);

    if (status != tavo::DecodeStatus::ok) {
        Py_DECREF(result);
        return raise_decode_error(status);
    }
    if (written != capacity &&
        tavo_bytes_shrink(&result, static_cast<Py_ssize_t>(capacity),
                          static_cast<Py_ssize_t>(written)) < 0)
        return nullptr;
    return result;
}

PyDoc_STRVAR(encode_doc,
             TAVO_SIGNATURE("encode($module, in_bytes, /)")
             "Encode a string using Consistent Overhead Byte Stuffing (COBS).\n"
             "\n"
             "Input is any byte string. Output is also a byte string.\n"
             "\n"
             "Encoding guarantees no zero bytes in the output. The output\n"
             "string will be expanded slightly, by a predictable amount.\n"
             "\n"
             "An empty string is encoded to '\\x01'.");

PyObject* encode(PyObject* /*self*/, TAVO_ARGS_PARAMS) {
    return call_frame(TAVO_ARGS, Op::encode);
}

PyDoc_STRVAR(decode_doc,
             TAVO_SIGNATURE("decode($module, in_bytes, /)")
             "Decode a string using Consistent Overhead Byte Stuffing (COBS).\n"
             "\n"
             "Input should be a byte string that has been COBS encoded. Output\n"
             "is also a byte string.\n"
             "\n"
             "A tavo.DecodeError exception may be raised if the encoded data\n"
             "is invalid.");

PyObject* decode(PyObject* /*self*/, TAVO_ARGS_PARAMS) {
    return call_frame(TAVO_ARGS, Op::decode);
}

PyMethodDef methods[] = {
    {"encode", TAVO_METH_CAST(encode), TAVO_METH_FLAGS, encode_doc},
    {"decode", TAVO_METH_CAST(decode), TAVO_METH_FLAGS, decode_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "Consistent Overhead Byte Stuffing (COBS)");

PyDoc_STRVAR(decode_error_doc,
             "Raised by decode when its input is not a valid COBS encoding; the\n"
             "message says which rule the input breaks.");

// Test builds only: make init step N fail as an exhausted host would, so
// the failure paths below can be exercised. Never defined in a release.
#ifdef TAVO_INIT_FAULT
#define TAVO_FAULT(step, call) (TAVO_INIT_FAULT == (step) ? (PyErr_NoMemory(), nullptr) : (call))
#define TAVO_FAULT_INT(step, call) (TAVO_INIT_FAULT == (step) ? (PyErr_NoMemory(), -1) : (call))
#else
#define TAVO_FAULT(step, call) (call)
#define TAVO_FAULT_INT(step, call) (call)
#endif

}  // namespace

TAVO_MODINIT(_tavoext) {
    PyObject* module = tavo_module_create("_tavoext", methods, module_doc);
    if (module == nullptr) TAVO_INIT_RETURN(nullptr);

    PyObject* cls = TAVO_FAULT(
        1, PyErr_NewExceptionWithDoc(const_cast<char*>("tavo.DecodeError"),
                                     const_cast<char*>(decode_error_doc), nullptr, nullptr));
    if (cls == nullptr) {
        tavo_module_abandon(module, "_tavoext");
        TAVO_INIT_RETURN(nullptr);
    }
    // One reference for the module attribute, one kept for decode.
    Py_INCREF(cls);
    if (TAVO_FAULT_INT(2, PyModule_AddObject(module, "DecodeError", cls)) < 0) {
        Py_DECREF(cls);
        Py_DECREF(cls);
        tavo_module_abandon(module, "_tavoext");
        TAVO_INIT_RETURN(nullptr);
    }
    g_decode_error = cls;
    tavo_module_declare_nogil(module);
    TAVO_INIT_RETURN(module);
}
