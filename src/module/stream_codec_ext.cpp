// Module room: the codec part of tavo._stream. The incremental Encoder and
// Decoder, the caller-buffer entry points encode_into / decode_into, and the
// two size functions. The state machines and kernels live in src/codec/.
#include <new>

#include "../codec/format.hpp"
#include "../codec/kernels.hpp"
#include "../codec/stream.hpp"
#include "stream_ext.hpp"

namespace tavo_stream {

namespace {

// Above this size the codec runs without the GIL (the same measure as
// _tavoext's: handing the GIL over costs microseconds, a 64 KiB chunk takes
// longer than that).
constexpr Py_ssize_t kNoGilThreshold = 64 * 1024;

#define TAVO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// DecodeError(message) with the stream offset of the offending byte as
// `offset` and, from a Decoder, the good bytes decoded before it as
// `partial`. str(exc) stays the codec's message.
PyObject* raise_decode_error(tavo::DecodeStatus status, unsigned long long offset,
                             PyObject* partial) {
    PyObject* exc = PyObject_CallFunction(decode_error_class(), "s", tavo::message(status));
    if (exc == nullptr) return nullptr;
    PyObject* where = PyLong_FromUnsignedLongLong(offset);
    const bool ok = where != nullptr && PyObject_SetAttrString(exc, "offset", where) == 0 &&
                    (partial == nullptr || PyObject_SetAttrString(exc, "partial", partial) == 0);
    Py_XDECREF(where);
    if (ok) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    return nullptr;
}

// A per-object lock, so one Encoder or Decoder used from several threads
// (free-threaded builds, or any build while a large chunk runs without the
// GIL) is never entered twice at once. Waiting happens without the GIL.
void lock(PyThread_type_lock lock) {
    if (!PyThread_acquire_lock(lock, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(lock, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
}

// Runs f() without the GIL when the input is large enough to be worth it.
template <class F>
void run(Py_ssize_t n, F f) {
    if (n >= kNoGilThreshold) {
        Py_BEGIN_ALLOW_THREADS
        f();
        Py_END_ALLOW_THREADS
    } else {
        f();
    }
}

// A fresh bytes object of `capacity` for a result, shrunk in place later.
PyObject* new_result(std::size_t capacity) {
    return PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
}

std::uint8_t* bytes_of(PyObject* result) {
    return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result));
}

PyObject* shrink(PyObject* result, std::size_t length) {
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(length)) < 0) return nullptr;
    return result;
}

// A read-only view of a bytes-like argument. Exact bytes, the common case,
// needs no buffer export: it is immutable and the caller's reference keeps
// it alive for the call.
struct Input {
    Py_buffer view;
    bool has_view = false;
    const std::uint8_t* data = nullptr;
    Py_ssize_t len = 0;

    bool acquire(PyObject* obj) {
        if (PyBytes_CheckExact(obj)) {
            data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
            len = PyBytes_GET_SIZE(obj);
            return true;
        }
        // An export that fails keeps its own exception (asking again would
        // run the exporter twice and could lose it); an object with no
        // buffer at all gets the host's own conversion and exact message.
        if (PyObject_CheckBuffer(obj) ? PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0
                                      : !PyArg_Parse(obj, "y*", &view))
            return false;
        has_view = true;
        data = static_cast<const std::uint8_t*>(view.buf);
        len = view.len;
        return true;
    }
    void release() {
        if (has_view) PyBuffer_Release(&view);
        has_view = false;
    }
};

bool no_arguments(const char* name, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) == 0 && (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0))
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", name);
    return false;
}

// An Encoder or a Decoder: its state machine, and the lock its calls take
// turns on.
template <class State>
struct CodecObject {
    PyObject_HEAD
    PyThread_type_lock lock;
    State state;
};

template <class State>
PyObject* codec_new(const char* name, PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (!no_arguments(name, args, kwds)) return nullptr;
    auto* self = reinterpret_cast<CodecObject<State>*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    new (&self->state) State();
    self->lock = PyThread_allocate_lock();
    if (self->lock == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

// The state machines own nothing outside the object: only the lock is freed.
template <class State>
void codec_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<CodecObject<State>*>(obj);
    if (self->lock != nullptr) PyThread_free_lock(self->lock);
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Encoder

using EncoderObject = CodecObject<tavo::StreamEncoder>;

PyObject* Encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return codec_new<tavo::StreamEncoder>("Encoder", type, args, kwds);
}

PyDoc_STRVAR(Encoder_encode_doc,
             "encode(chunk, /) -> bytes\n\n"
             "Take the next piece of the input and return every block it completes.\n"
             "The open block (fewer than 254 bytes) is held until a later chunk or\n"
             "finish() closes it.");

PyObject* Encoder_encode(PyObject* obj, PyObject* arg) {
    EncoderObject* self = reinterpret_cast<EncoderObject*>(obj);
    Input in;
    if (!in.acquire(arg)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(in.len);
    std::size_t capacity;
    PyObject* result = nullptr;
    if (!tavo::StreamEncoder::encode_bound(n, static_cast<std::size_t>(PY_SSIZE_T_MAX),
                                           &capacity))
        PyErr_NoMemory();
    else
        result = new_result(capacity);
    if (result == nullptr) {
        in.release();
        return nullptr;
    }
    std::uint8_t* out = bytes_of(result);
    std::size_t written = 0;
    lock(self->lock);
    run(in.len, [&] { written = self->state.encode(tavo::best_kernel(), in.data, n, out); });
    PyThread_release_lock(self->lock);
    in.release();
    return shrink(result, written);
}

PyDoc_STRVAR(Encoder_finish_doc,
             "finish() -> bytes\n\n"
             "Return the rest of the encoding: the last block. The encoder is then\n"
             "ready for a new message.");

PyObject* Encoder_finish(PyObject* obj, PyObject*) {
    EncoderObject* self = reinterpret_cast<EncoderObject*>(obj);
    std::uint8_t last[tavo::StreamEncoder::kFinishBound];
    lock(self->lock);
    const std::size_t written = self->state.finish(last);
    PyThread_release_lock(self->lock);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(last),
                                     static_cast<Py_ssize_t>(written));
}

PyMethodDef Encoder_methods[] = {
    {"encode", Encoder_encode, METH_O, Encoder_encode_doc},
    {"finish", Encoder_finish, METH_NOARGS, Encoder_finish_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(Encoder_doc,
             "Encoder()\n\n"
             "Encodes one message given in pieces: the bytes of encode(chunk) for\n"
             "each chunk, then finish(), are exactly encode() of all the chunks\n"
             "joined, however the message is cut. Holds at most 253 bytes between\n"
             "calls. After finish() it starts a new message. Safe to share between\n"
             "threads (calls take turns), though the order of pieces is then the\n"
             "callers' business.");

PyType_Slot Encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc<tavo::StreamEncoder>)},
    {Py_tp_methods, Encoder_methods},
    {Py_tp_doc, const_cast<char*>(Encoder_doc)},
    {0, nullptr},
};

PyType_Spec Encoder_spec = {
    "tavo.Encoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT, Encoder_slots,
};

// ---------------------------------------------------------------------------
// Decoder

using DecoderObject = CodecObject<tavo::StreamDecoder>;

PyObject* Decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return codec_new<tavo::StreamDecoder>("Decoder", type, args, kwds);
}

PyDoc_STRVAR(Decoder_decode_doc,
             "decode(chunk, /) -> bytes\n\n"
             "Take the next piece of the encoding and return the bytes of every block\n"
             "it completes. Raises DecodeError at the first bad byte, with its stream\n"
             "offset as `offset` and the good bytes of this chunk before it as\n"
             "`partial`; the decoder then stays failed.");

PyObject* Decoder_decode(PyObject* obj, PyObject* arg) {
    DecoderObject* self = reinterpret_cast<DecoderObject*>(obj);
    Input in;
    if (!in.acquire(arg)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(in.len);
    std::size_t capacity;
    PyObject* result = nullptr;
    if (!tavo::StreamDecoder::decode_bound(n, static_cast<std::size_t>(PY_SSIZE_T_MAX),
                                           &capacity))
        PyErr_NoMemory();
    else
        result = new_result(capacity);
    if (result == nullptr) {
        in.release();
        return nullptr;
    }
    std::uint8_t* out = bytes_of(result);
    tavo::StreamDecodeResult r = {0, tavo::DecodeStatus::ok, 0};
    lock(self->lock);
    run(in.len, [&] { r = self->state.decode(tavo::best_kernel(), in.data, n, out); });
    PyThread_release_lock(self->lock);
    in.release();
    result = shrink(result, r.length);
    if (r.status == tavo::DecodeStatus::ok || result == nullptr) return result;
    raise_decode_error(r.status, r.offset, result);
    Py_DECREF(result);
    return nullptr;
}

PyDoc_STRVAR(Decoder_finish_doc,
             "finish() -> bytes\n\n"
             "End the encoding. Raises DecodeError (\"not enough input bytes for length\n"
             "code\") if its last block is cut off; otherwise returns b\"\" (every whole\n"
             "block was returned by decode) and the decoder is ready for a new one.");

PyObject* Decoder_finish(PyObject* obj, PyObject*) {
    DecoderObject* self = reinterpret_cast<DecoderObject*>(obj);
    lock(self->lock);
    const tavo::StreamDecodeResult r = self->state.finish();
    PyThread_release_lock(self->lock);
    PyObject* empty = PyBytes_FromStringAndSize(nullptr, 0);
    if (r.status == tavo::DecodeStatus::ok || empty == nullptr) return empty;
    raise_decode_error(r.status, r.offset, empty);
    Py_DECREF(empty);
    return nullptr;
}

PyMethodDef Decoder_methods[] = {
    {"decode", Decoder_decode, METH_O, Decoder_decode_doc},
    {"finish", Decoder_finish, METH_NOARGS, Decoder_finish_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(Decoder_doc,
             "Decoder()\n\n"
             "Decodes one encoding given in pieces cut anywhere: decode(chunk) for\n"
             "each, then finish(). The bytes returned are exactly decode() of the\n"
             "whole, and a malformed encoding raises DecodeError with decode()'s\n"
             "message, at its first bad byte. A block is returned once it is whole\n"
             "(at most 254 bytes are held). After a DecodeError every call raises it\n"
             "again. Safe to share between threads (calls take turns).");

PyType_Slot Decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(codec_dealloc<tavo::StreamDecoder>)},
    {Py_tp_methods, Decoder_methods},
    {Py_tp_doc, const_cast<char*>(Decoder_doc)},
    {0, nullptr},
};

PyType_Spec Decoder_spec = {
    "tavo.Decoder", sizeof(DecoderObject), 0, Py_TPFLAGS_DEFAULT, Decoder_slots,
};

// ---------------------------------------------------------------------------
// Caller-buffer entry points and sizes

PyDoc_STRVAR(encode_into_doc,
             "encode_into(data, out, /) -> int\n\n"
             "Write the encoding of data into the writable buffer out and return its\n"
             "length. out must hold max_encoded_length(len(data)) bytes, else\n"
             "ValueError is raised before anything is written.");

// The two arguments of encode_into / decode_into: data read-only, out a
// writable C-contiguous buffer. Exact bytes and an exact bytearray too small
// for the kernel to run without the GIL need no buffer export.
struct IntoArgs {
    Input in;
    Py_buffer out_view;
    bool has_out_view = false;
    std::uint8_t* out = nullptr;
    Py_ssize_t out_len = 0;

    bool acquire(const char* name, PyObject* const* args, Py_ssize_t nargs) {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 arguments (%zd given)", name,
                         nargs);
            return false;
        }
        if (!in.acquire(args[0])) return false;
        PyObject* out_obj = args[1];
        if (PyByteArray_CheckExact(out_obj) && in.len < kNoGilThreshold) {
            out = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(out_obj));
            out_len = PyByteArray_GET_SIZE(out_obj);
            return true;
        }
        if (!acquire_out(name, out_obj)) {
            in.release();
            return false;
        }
        has_out_view = true;
        out = static_cast<std::uint8_t*>(out_view.buf);
        out_len = out_view.len;
        return true;
    }
    // As for data, a failed export keeps its own exception and an object
    // with no buffer gets the host's message. A read-only buffer's refusal
    // (BufferError) becomes the TypeError the host gives for it, without a
    // second export.
    bool acquire_out(const char* name, PyObject* obj) {
        if (!PyObject_CheckBuffer(obj)) return PyArg_Parse(obj, "w*", &out_view) != 0;
        if (PyObject_GetBuffer(obj, &out_view, PyBUF_WRITABLE) == 0) return true;
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return false;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 2 must be read-write bytes-like object, not %.100s", name,
                     Py_TYPE(obj)->tp_name);
        if (value != nullptr) {
            PyObject *type2, *value2, *traceback2;
            PyErr_Fetch(&type2, &value2, &traceback2);
            PyErr_NormalizeException(&type2, &value2, &traceback2);
            PyException_SetContext(value2, value);  // steals value
            PyErr_Restore(type2, value2, traceback2);
        }
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        return false;
    }
    bool overlap() const {
        const std::uint8_t* a = in.data;
        return in.len != 0 && out_len != 0 && a < out + out_len && out < a + in.len;
    }
    void release() {
        in.release();
        if (has_out_view) PyBuffer_Release(&out_view);
        has_out_view = false;
    }
};

// The ints of the lengths a small message's encode_into / decode_into
// returns, made once at init: a result above the host's own small-int cache
// would otherwise cost an allocation as large a share of the call as the
// codec itself.
constexpr std::size_t kCachedLengths = 1100;
PyObject* g_lengths[kCachedLengths];

bool make_lengths() {
    for (std::size_t i = 0; i < kCachedLengths; ++i)
        if (g_lengths[i] == nullptr && (g_lengths[i] = PyLong_FromSize_t(i)) == nullptr)
            return false;
    return true;
}

PyObject* length_object(std::size_t n) {
    if (n < kCachedLengths) {
        Py_INCREF(g_lengths[n]);
        return g_lengths[n];
    }
    return PyLong_FromSize_t(n);
}

PyObject* encode_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    IntoArgs a;
    if (!a.acquire("encode_into", args, nargs)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(a.in.len);
    std::size_t need = 0;
    std::size_t written = 0;
    bool refused = true;
    if (!tavo::max_encoded_length(n, static_cast<std::size_t>(PY_SSIZE_T_MAX), &need) ||
        need > static_cast<std::size_t>(a.out_len)) {
        PyErr_Format(PyExc_ValueError,
                     "out is too small: encoding %zd bytes may take up to %zu bytes "
                     "(max_encoded_length), out has %zd",
                     a.in.len, need, a.out_len);
    } else if (a.overlap()) {
        PyErr_SetString(PyExc_ValueError, "out must not overlap data");
    } else {
        refused = false;
        run(a.in.len, [&] { written = tavo::best_kernel().encode(a.in.data, n, a.out); });
    }
    a.release();
    return refused ? nullptr : length_object(written);
}

PyDoc_STRVAR(decode_into_doc,
             "decode_into(data, out, /) -> int\n\n"
             "Decode data into the writable buffer out and return the length written.\n"
             "out must hold max_decoded_length(len(data)) = len(data) - 1 bytes, else\n"
             "ValueError is raised before anything is written. Malformed data raises\n"
             "DecodeError (with `offset`); out then holds nothing meaningful.");

PyObject* decode_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    IntoArgs a;
    if (!a.acquire("decode_into", args, nargs)) return nullptr;
    const std::size_t n = static_cast<std::size_t>(a.in.len);
    const std::size_t need = tavo::max_decoded_length(n);
    tavo::DecodeResult r = {0, tavo::DecodeStatus::ok};
    bool refused = true;
    if (need > static_cast<std::size_t>(a.out_len)) {
        PyErr_Format(PyExc_ValueError,
                     "out is too small: decoding %zd bytes may give up to %zu bytes "
                     "(len(data) - 1), out has %zd",
                     a.in.len, need, a.out_len);
    } else if (a.overlap()) {
        PyErr_SetString(PyExc_ValueError, "out must not overlap data");
    } else {
        refused = false;
        run(a.in.len, [&] { r = tavo::decode_exact(tavo::best_kernel(), a.in.data, n, a.out); });
    }
    a.release();
    if (refused) return nullptr;
    if (r.status != tavo::DecodeStatus::ok) return raise_decode_error(r.status, r.length, nullptr);
    return length_object(r.length);
}

// n as a size, or -1 with ValueError / TypeError / OverflowError set.
Py_ssize_t size_argument(PyObject* arg) {
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must not be negative");
        return -1;
    }
    return n;
}

PyDoc_STRVAR(max_encoded_length_doc,
             "max_encoded_length(n, /) -> int\n\n"
             "The longest encoding of n bytes: n + n // 254 + 1.");

PyObject* max_encoded_length(PyObject*, PyObject* arg) {
    const Py_ssize_t n = size_argument(arg);
    if (n < 0) return nullptr;
    std::size_t bound;
    if (!tavo::max_encoded_length(static_cast<std::size_t>(n),
                                  static_cast<std::size_t>(PY_SSIZE_T_MAX), &bound)) {
        PyErr_SetString(PyExc_OverflowError, "the encoding of n bytes would not fit in memory");
        return nullptr;
    }
    return PyLong_FromSize_t(bound);
}

PyDoc_STRVAR(max_decoded_length_doc,
             "max_decoded_length(n, /) -> int\n\n"
             "The longest decoding of n encoded bytes: max(n - 1, 0).");

PyObject* max_decoded_length(PyObject*, PyObject* arg) {
    const Py_ssize_t n = size_argument(arg);
    if (n < 0) return nullptr;
    return PyLong_FromSize_t(tavo::max_decoded_length(static_cast<std::size_t>(n)));
}

PyMethodDef functions[] = {
    {"encode_into", TAVO_FASTCALL(encode_into),
     METH_FASTCALL, encode_into_doc},
    {"decode_into", TAVO_FASTCALL(decode_into),
     METH_FASTCALL, decode_into_doc},
    {"max_encoded_length", max_encoded_length, METH_O, max_encoded_length_doc},
    {"max_decoded_length", max_decoded_length, METH_O, max_decoded_length_doc},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, const char* name, PyType_Spec* spec) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, name, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace

int add_codec(PyObject* module) {
    if (!make_lengths()) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    if (add_type(module, "Encoder", &Encoder_spec) < 0) return -1;
    return add_type(module, "Decoder", &Decoder_spec);
}

}  // namespace tavo_stream
