// Module room: tavo._kernels, a private extension for the benchmark, the
// command line and the tests. It reaches each codec kernel by name, so the
// public _tavoext keeps exactly encode, decode and DecodeError.
#include "compat.h"

#include <cstring>

#include "../codec/format.hpp"
#include "../codec/kernels.hpp"
#include "../codec/timing.hpp"

namespace {

PyObject* g_decode_error = nullptr;  // _tavoext.DecodeError, held for the module's life

const tavo::Kernel* find_kernel(const char* name) {
    std::size_t count = 0;
    const tavo::Kernel* all = tavo::available_kernels(&count);
    for (std::size_t i = 0; i < count; ++i)
        if (std::strcmp(all[i].name, name) == 0) return &all[i];
    PyErr_Format(PyExc_ValueError, "no kernel named '%s' on this CPU", name);
    return nullptr;
}

enum class Op { encode, decode };

// DecodeError(message, offset): the offset of the offending input byte
// rides along as a second argument.
void set_decode_error(const tavo::DecodeResult& r) {
    PyObject* exc_args =
        Py_BuildValue("(sn)", tavo::message(r.status), static_cast<Py_ssize_t>(r.length));
    if (exc_args != nullptr) {
        PyErr_SetObject(g_decode_error, exc_args);
        Py_DECREF(exc_args);
    }
}

// Reads time()'s optional message lengths: a sequence of sizes that add up to
// the input's n; None means one message of n bytes. Returns an array of
// *count sizes for PyMem_Free, or null with an exception set.
std::size_t* read_lengths(PyObject* arg, std::size_t n, std::size_t* count) {
    PyObject* seq = arg == Py_None ? PyTuple_New(0)
                                   : PySequence_Fast(arg, "lengths must be a sequence of sizes");
    if (seq == nullptr) return nullptr;
    const Py_ssize_t items = PySequence_Fast_GET_SIZE(seq);
    *count = arg == Py_None ? 1 : static_cast<std::size_t>(items);
    std::size_t* sizes =
        static_cast<std::size_t*>(PyMem_Malloc((*count ? *count : 1) * sizeof(std::size_t)));
    if (sizes == nullptr) {
        Py_DECREF(seq);
        PyErr_NoMemory();
        return nullptr;
    }
    if (arg == Py_None) sizes[0] = n;
    std::size_t total = arg == Py_None ? n : 0;
    for (Py_ssize_t i = 0; i < items && !PyErr_Occurred(); ++i) {
        const Py_ssize_t size =
            PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(seq, i), PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) break;
        if (size < 0 || static_cast<std::size_t>(size) > n - total) break;
        sizes[i] = static_cast<std::size_t>(size);
        total += sizes[i];
    }
    Py_DECREF(seq);
    if (!PyErr_Occurred() && (total != n || *count == 0))
        PyErr_SetString(PyExc_ValueError, "lengths must split data exactly");
    if (PyErr_Occurred()) {
        PyMem_Free(sizes);
        return nullptr;
    }
    return sizes;
}

// Same frame as _tavoext's, minus its fast paths, with the kernel chosen by
// the caller. Always runs without the GIL so timings include no lock churn.
PyObject* run_kernel(PyObject* args, Op op) {
    const char* name;
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "s" TAVO_BUFFER_FORMAT, &name, &view)) return nullptr;
    const tavo::Kernel* kernel = find_kernel(name);
    const std::size_t n = static_cast<std::size_t>(view.len);
    std::size_t capacity = tavo::decoded_capacity(n);
    if (kernel == nullptr ||
        (op == Op::encode &&
         !tavo::encoded_bound(n, static_cast<std::size_t>(TAVO_MAX_RESULT), &capacity))) {
        PyBuffer_Release(&view);
        return kernel == nullptr ? nullptr : PyErr_NoMemory();
    }
    PyObject* result = TavoBytes_New(static_cast<Py_ssize_t>(capacity));
    if (result == nullptr) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    const std::uint8_t* in = static_cast<const std::uint8_t*>(view.buf);
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(TavoBytes_AS_BUFFER(result));
    tavo::DecodeResult r = {0, tavo::DecodeStatus::ok};
    Py_BEGIN_ALLOW_THREADS
    if (op == Op::encode)
        r.length = kernel->encode(in, n, out);
    else
        r = kernel->decode(in, n, out);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    if (r.status != tavo::DecodeStatus::ok) {
        Py_DECREF(result);
        set_decode_error(r);
        return nullptr;
    }
    if (TavoBytes_Resize(&result, static_cast<Py_ssize_t>(r.length)) < 0) return nullptr;
    return result;
}

PyDoc_STRVAR(encode_doc, "encode(kernel, data) -> bytes\n\nEncode with the named kernel.");
PyObject* encode(PyObject*, PyObject* args) { return run_kernel(args, Op::encode); }

PyDoc_STRVAR(decode_doc,
             "decode(kernel, data) -> bytes\n\nDecode with the named kernel. On malformed "
             "input raises DecodeError(message, offset), where offset is the input "
             "position of the first offending byte.");
PyObject* decode(PyObject*, PyObject* args) { return run_kernel(args, Op::decode); }

PyDoc_STRVAR(names_doc, "names() -> tuple of str\n\nKernels this CPU can run, reference first.");
PyObject* names(PyObject*, PyObject*) {
    std::size_t count = 0;
    const tavo::Kernel* all = tavo::available_kernels(&count);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* s = TavoStr_FromString(all[i].name);
        if (s == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), s);
    }
    return tuple;
}

PyDoc_STRVAR(active_doc, "active() -> str\n\nThe kernel that _tavoext uses on this CPU.");
PyObject* active(PyObject*, PyObject*) {
    return TavoStr_FromString(tavo::best_kernel().name);
}

PyDoc_STRVAR(features_doc,
             "features() -> tuple of (str, bool)\n\nThe CPU features that the choice of "
             "kernel tests, each with whether this CPU has it; empty off x86.");
PyObject* features(PyObject*, PyObject*) {
    std::size_t count = 0;
    const tavo::CpuFeature* all = tavo::cpu_features(&count);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
    for (std::size_t i = 0; tuple != nullptr && i < count; ++i) {
        PyObject* item = Py_BuildValue("(sO)", all[i].name, all[i].present ? Py_True : Py_False);
        if (item == nullptr) {
            Py_CLEAR(tuple);
        } else {
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), item);
        }
    }
    return tuple;
}

// What one call of time() asks for. Holds the input's buffer view and the
// message sizes until release_plan.
struct TimePlan {
    Py_buffer view;
    std::size_t* sizes;
    tavo::TimingJob job;
};

void release_plan(TimePlan* plan) {
    PyMem_Free(plan->sizes);
    PyBuffer_Release(&plan->view);
}

// Reads time()'s arguments into *plan; false, with an exception set and
// nothing held, if they are not a job that can run.
bool read_plan(PyObject* args, TimePlan* plan) {
    const char* name;
    const char* op;
    Py_ssize_t loops;
    PyObject* lengths = Py_None;
    int unseen = 0;
    if (!PyArg_ParseTuple(args, "ss" TAVO_BUFFER_FORMAT "n|Oi", &name, &op, &plan->view, &loops,
                          &lengths, &unseen))
        return false;
    const bool encode_op = std::strcmp(op, "encode") == 0;
    const tavo::Kernel* kernel = nullptr;
    std::size_t count = 0;
    plan->sizes = nullptr;
    if (!encode_op && std::strcmp(op, "decode") != 0) {
        PyErr_SetString(PyExc_ValueError, "op must be 'encode' or 'decode'");
    } else if (loops < 1) {
        PyErr_SetString(PyExc_ValueError, "loops must be at least 1");
    } else if ((plan->sizes = read_lengths(lengths, static_cast<std::size_t>(plan->view.len),
                                           &count)) != nullptr &&
               std::strcmp(name, "memcpy") != 0) {
        kernel = find_kernel(name);
    }
    if (PyErr_Occurred()) {
        release_plan(plan);
        return false;
    }
    plan->job = {kernel,      encode_op, static_cast<const std::uint8_t*>(plan->view.buf),
                 plan->sizes, count,     static_cast<std::size_t>(loops),
                 unseen != 0};
    return true;
}

// Runs one codec kernel, or a plain memcpy of the same bytes, `loops` times
// over the same input, without the GIL, and returns the seconds it took. The
// benchmark compares kernels this way, free of call overhead. Optional
// `lengths` split the input into consecutive messages, run in turn: one small
// message repeated lets the branch predictor learn it by heart, which no
// real stream of messages allows. `unseen` keeps the kernel from running on
// the input before it is timed, which for a large message would teach the
// predictor the whole of it.
PyDoc_STRVAR(time_doc,
             "time(kernel, op, data, loops, lengths=None, unseen=0) -> float\n\nSeconds taken by "
             "`loops` runs of kernel's op ('encode' or 'decode') on data, or of a memcpy "
             "of data when kernel is 'memcpy'. With lengths, data is that sequence of "
             "consecutive messages and each run takes every one of them in turn. With "
             "unseen true, the kernel first meets data in the timed runs.");
PyObject* time_kernel(PyObject*, PyObject* args) {
    TimePlan plan;
    if (!read_plan(args, &plan)) return nullptr;
    tavo::TimingResult r = {};
    Py_BEGIN_ALLOW_THREADS
    r = tavo::time_job(plan.job);
    Py_END_ALLOW_THREADS
    release_plan(&plan);
    switch (r.status) {
        case tavo::TimingStatus::ok:
            return PyFloat_FromDouble(r.seconds);
        case tavo::TimingStatus::no_memory:
            return PyErr_NoMemory();
        case tavo::TimingStatus::bad_input:
            break;
    }
    set_decode_error(r.error);
    return nullptr;
}

PyMethodDef methods[] = {
    {"time", time_kernel, METH_VARARGS, time_doc},
    {"encode", encode, METH_VARARGS, encode_doc},
    {"decode", decode, METH_VARARGS, decode_doc},
    {"names", names, METH_NOARGS, names_doc},
    {"active", active, METH_NOARGS, active_doc},
    {"features", features, METH_NOARGS, features_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "Private: direct access to tavo's codec kernels.");

}  // namespace

TAVO_MODINIT(_kernels) {
    PyObject* module = tavo_module_create("tavo._kernels", methods, module_doc);
    if (module == nullptr) TAVO_INIT_RETURN(nullptr);
    PyObject* ext = PyImport_ImportModule("_tavoext");
    PyObject* cls = ext ? PyObject_GetAttrString(ext, "DecodeError") : nullptr;
    Py_XDECREF(ext);
    if (cls == nullptr) {
        tavo_module_abandon(module, "tavo._kernels");
        TAVO_INIT_RETURN(nullptr);
    }
    g_decode_error = cls;
    tavo_module_declare_nogil(module);
    TAVO_INIT_RETURN(module);
}
