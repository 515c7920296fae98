// Module room: the framing part of tavo._stream. One call splits a chunk of a
// stream into its frames, decoded, and its bad frames, in stream order; two
// more make frames. The byte work is in the codec room (framing.hpp).
#include <cstring>

#include "../codec/format.hpp"
#include "../codec/framing.hpp"
#include "stream_ext.hpp"

#if PY_VERSION_HEX < 0x03090000
#define Py_SET_SIZE(obj, size) (Py_SIZE(obj) = (size))
#endif

namespace tavo_stream {

namespace {

using Byte = std::uint8_t;

// Up to this size a temporary lives on the stack, and a result's slack is
// left in place rather than reallocated.
constexpr std::size_t kSmallFrame = 2048;

// A temporary buffer: on the stack when small, else from the heap.
class Scratch {
public:
    explicit Scratch(std::size_t n) : heap_(nullptr), data_(stack_) {
        if (n > sizeof(stack_)) {
            heap_ = static_cast<Byte*>(PyMem_Malloc(n));
            data_ = heap_;
        }
    }
    ~Scratch() {
        if (heap_ != nullptr) PyMem_Free(heap_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    // Null (with MemoryError set) when the allocation failed.
    Byte* get() {
        if (data_ == nullptr) PyErr_NoMemory();
        return data_;
    }

private:
    Byte stack_[kSmallFrame];
    Byte* heap_;
    Byte* data_;
};

bool parse_delimiter(PyObject* obj, Byte* out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
        PyErr_Format(PyExc_ValueError, "delimiter must be in range(256), not %ld", value);
        return false;
    }
    *out = static_cast<Byte>(value);
    return true;
}

// The items of one scan, gathered in a plain array and moved into a list of
// the right size at the end: cheaper than appending to a list item by item.
class Items {
public:
    Items() : data_(nullptr), size_(0), capacity_(0) {}
    ~Items() {
        for (Py_ssize_t i = 0; i < size_; ++i) Py_DECREF(data_[i]);
        PyMem_Free(data_);
    }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;
    // Takes the reference to obj, which must not be null; false with
    // MemoryError set (obj released) when the array cannot grow.
    bool push(PyObject* obj) {
        if (size_ == capacity_) {
            const Py_ssize_t capacity = capacity_ ? 2 * capacity_ : 1024;
            void* grown = PyMem_Realloc(data_, static_cast<std::size_t>(capacity) *
                                                   sizeof(PyObject*));
            if (grown == nullptr) {
                Py_DECREF(obj);
                PyErr_NoMemory();
                return false;
            }
            data_ = static_cast<PyObject**>(grown);
            capacity_ = capacity;
        }
        data_[size_++] = obj;
        return true;
    }
    // A new list owning every item; the array is left empty.
    PyObject* to_list() {
        PyObject* list = PyList_New(size_);
        if (list == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < size_; ++i) PyList_SET_ITEM(list, i, data_[i]);
        size_ = 0;
        return list;
    }

private:
    PyObject** data_;
    Py_ssize_t size_;
    Py_ssize_t capacity_;
};

// State of one scan call.
struct Scan {
    const tavo::Kernel* kernel;
    Byte delimiter;
    std::size_t limit;     // largest raw frame ever held
    Py_ssize_t max_size;   // largest decoded frame, or -1 for none
    Items items;
    Py_ssize_t bad;
};

// Appends a bad frame: (reason, raw head, size, start in chunk, position).
bool add_bad(Scan& s, const char* reason, const Byte* raw, std::size_t raw_len,
             std::size_t size, Py_ssize_t start, Py_ssize_t position) {
    PyObject* item = Py_BuildValue(
        "(sy#nnO)", reason, reinterpret_cast<const char*>(raw), static_cast<Py_ssize_t>(raw_len),
        static_cast<Py_ssize_t>(size), start, Py_None);
    if (item == nullptr) return false;
    if (position >= 0) {
        PyObject* pos = PyLong_FromSsize_t(position);
        if (pos == nullptr) {
            Py_DECREF(item);
            return false;
        }
        // The tuple is new and unseen, so filling it in place is safe.
        Py_DECREF(PyTuple_GET_ITEM(item, 4));
        PyTuple_SET_ITEM(item, 4, pos);
    }
    if (!s.items.push(item)) return false;
    ++s.bad;
    return true;
}

bool add_oversized(Scan& s, const Byte* raw, std::size_t raw_len, std::size_t size,
                   Py_ssize_t start) {
    return add_bad(s, "oversized", raw, raw_len, size, start, -1);
}

// A complete raw frame of n bytes (0 < n <= s.limit) for the kernel.
bool add_decoded(Scan& s, const Byte* raw, std::size_t n, Py_ssize_t start) {
    const std::size_t capacity = tavo::decoded_capacity(n);
    Scratch scratch(s.delimiter ? n : 0);
    Byte* xored = scratch.get();
    if (xored == nullptr) return false;
    // Decode straight into the result, then give it its length by hand: the
    // object is new and unseen, and the slack (n - 1 - length bytes, at most
    // one in 254 plus one) is less than a realloc costs.
    PyObject* frame = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (frame == nullptr) return false;
    const tavo::DecodeResult r = tavo::decode_frame(
        *s.kernel, raw, n, s.delimiter, xored, reinterpret_cast<Byte*>(PyBytes_AS_STRING(frame)));
    if (r.status != tavo::DecodeStatus::ok) {
        Py_CLEAR(frame);
    } else if (r.length != capacity) {
        if (capacity - r.length > kSmallFrame) {
            if (_PyBytes_Resize(&frame, static_cast<Py_ssize_t>(r.length)) < 0) return false;
        } else {
            Py_SET_SIZE(reinterpret_cast<PyVarObject*>(frame), static_cast<Py_ssize_t>(r.length));
            PyBytes_AS_STRING(frame)[r.length] = '\0';
        }
    }
    if (frame == nullptr)
        return add_bad(s, tavo::message(r.status), raw, n, n, start,
                       static_cast<Py_ssize_t>(r.length));
    if (s.max_size >= 0 && PyBytes_GET_SIZE(frame) > s.max_size) {
        Py_DECREF(frame);
        return add_oversized(s, raw, n, n, start);
    }
    return s.items.push(frame);
}

// One complete raw frame of n bytes (n > 0), starting at `start` in the chunk.
inline bool add_frame(Scan& s, const Byte* raw, std::size_t n, Py_ssize_t start) {
    if (n > s.limit) return add_oversized(s, raw, s.limit, n, start);
    if (s.delimiter != 0 || !tavo::is_whole_block(raw, n)) return add_decoded(s, raw, n, start);
    // A message without zeros, as most short ones of text or random bytes
    // are: one copy, with no kernel call and no slack to trim.
    if (s.max_size >= 0 && static_cast<Py_ssize_t>(n - 1) > s.max_size)
        return add_oversized(s, raw, n, n, start);
    PyObject* frame = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw + 1),
                                                static_cast<Py_ssize_t>(n - 1));
    return frame != nullptr && s.items.push(frame);
}

// The first frame of a chunk: the held bytes of the partial frame (`held`,
// of a raw frame `size` bytes long so far) and the chunk's bytes up to its
// first delimiter.
bool add_first(Scan& s, const Byte* held, std::size_t held_len, std::size_t size,
               const Byte* seg, std::size_t seg_len) {
    const std::size_t total = size + seg_len;
    const Py_ssize_t start = -static_cast<Py_ssize_t>(size);
    if (total == 0) return true;
    if (size == 0) return add_frame(s, seg, seg_len, 0);
    const std::size_t keep = total > s.limit ? s.limit : total;
    // Bytes past held_len were discarded, so held_len < size means oversized.
    const std::size_t joined_len = held_len + seg_len < keep ? held_len + seg_len : keep;
    Scratch joined(joined_len);
    Byte* buf = joined.get();
    if (buf == nullptr) return false;
    const std::size_t from_held = held_len < joined_len ? held_len : joined_len;
    std::memcpy(buf, held, from_held);
    std::memcpy(buf + from_held, seg, joined_len - from_held);
    if (total > s.limit) return add_oversized(s, buf, joined_len, total, start);
    return add_frame(s, buf, joined_len, start);
}

PyDoc_STRVAR(scan_doc,
             "scan(chunk, held, size, delimiter, max_frame_size) -> (items, bad, tail)\n"
             "\n"
             "Split one chunk of a frame stream. held is the kept part of the\n"
             "partial frame before the chunk, size its full raw length.\n"
             "max_frame_size is -1 for no bound. items are the chunk's complete\n"
             "non-empty frames in stream order: bytes for a good one, and for a\n"
             "bad one (reason, raw, size, start, position), where reason is the\n"
             "codec's message or 'oversized' and start is the frame's offset in\n"
             "the chunk (negative if it began before). bad counts the bad ones.\n"
             "tail is the offset after the last delimiter, or -1 if the chunk\n"
             "has none.");

PyObject* scan(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "scan() takes exactly 5 arguments");
        return nullptr;
    }
    Scan s;
    s.kernel = &tavo::best_kernel();
    if (!parse_delimiter(args[3], &s.delimiter)) return nullptr;
    const Py_ssize_t size = PyLong_AsSsize_t(args[2]);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    s.max_size = PyLong_AsSsize_t(args[4]);
    if (s.max_size == -1 && PyErr_Occurred()) return nullptr;
    if (size < 0 || s.max_size < -1) {
        PyErr_SetString(PyExc_ValueError, "scan(): negative size");
        return nullptr;
    }
    s.limit = s.max_size < 0 ? static_cast<std::size_t>(PY_SSIZE_T_MAX)
                             : tavo::max_raw_frame(static_cast<std::size_t>(s.max_size));
    s.bad = 0;

    Py_buffer chunk;
    if (PyObject_GetBuffer(args[0], &chunk, PyBUF_SIMPLE) < 0) return nullptr;
    Py_buffer held;
    if (PyObject_GetBuffer(args[1], &held, PyBUF_SIMPLE) < 0) {
        PyBuffer_Release(&chunk);
        return nullptr;
    }
    const Byte* p = static_cast<const Byte*>(chunk.buf);
    const Byte* end = p + chunk.len;
    PyObject* result = nullptr;
    PyObject* list = nullptr;
    Py_ssize_t tail = -1;
    {
        const Byte* hit = tavo::find_delimiter(p, end, s.delimiter);
        if (hit != end) {
            if (!add_first(s, static_cast<const Byte*>(held.buf),
                           static_cast<std::size_t>(held.len), static_cast<std::size_t>(size),
                           p, static_cast<std::size_t>(hit - p)))
                goto done;
            const Byte* from = hit + 1;
            for (;;) {
                hit = tavo::find_delimiter(from, end, s.delimiter);
                if (hit == end) break;
                if (hit != from &&
                    !add_frame(s, from, static_cast<std::size_t>(hit - from), from - p))
                    goto done;
                from = hit + 1;
            }
            tail = from - p;
        }
    }
    list = s.items.to_list();
    if (list != nullptr) result = Py_BuildValue("(Nnn)", list, s.bad, tail);
done:
    PyBuffer_Release(&held);
    PyBuffer_Release(&chunk);
    return result;
}

PyDoc_STRVAR(encode_frame_doc,
             "encode_frame(data, delimiter) -> bytes\n"
             "\n"
             "One frame: the encoding of data, XORed with delimiter, then delimiter.");

PyObject* encode_frame(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "encode_frame() takes exactly 2 arguments");
        return nullptr;
    }
    Byte delimiter;
    if (!parse_delimiter(args[1], &delimiter)) return nullptr;
    Py_buffer in;
    if (PyObject_GetBuffer(args[0], &in, PyBUF_SIMPLE) < 0) return nullptr;
    std::size_t bound;
    PyObject* result = nullptr;
    if (!tavo::frame_bound(static_cast<std::size_t>(in.len),
                           static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64, &bound)) {
        PyErr_NoMemory();
    } else if ((result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound))) !=
               nullptr) {
        const std::size_t written =
            tavo::encode_frame(static_cast<const Byte*>(in.buf), static_cast<std::size_t>(in.len),
                               delimiter, reinterpret_cast<Byte*>(PyBytes_AS_STRING(result)));
        if (written != bound) _PyBytes_Resize(&result, static_cast<Py_ssize_t>(written));
    }
    PyBuffer_Release(&in);
    return result;
}

PyDoc_STRVAR(encode_frames_doc,
             "encode_frames(messages, delimiter) -> bytes\n"
             "\n"
             "The frames of an iterable of bytes-like messages, one after another.");

PyObject* encode_frames(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "encode_frames() takes exactly 2 arguments");
        return nullptr;
    }
    Byte delimiter;
    if (!parse_delimiter(args[1], &delimiter)) return nullptr;
    // A tuple of our own: nobody can change it under us while we hold views.
    PyObject* seq = PySequence_Tuple(args[0]);
    if (seq == nullptr) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(seq);
    Py_buffer* views = static_cast<Py_buffer*>(PyMem_Malloc(
        static_cast<std::size_t>(count ? count : 1) * sizeof(Py_buffer)));
    PyObject* result = nullptr;
    Py_ssize_t acquired = 0;
    std::size_t total = 0;
    const std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX) - 64;
    if (views == nullptr) {
        PyErr_NoMemory();
        goto done;
    }
    for (; acquired < count; ++acquired) {
        if (PyObject_GetBuffer(PyTuple_GET_ITEM(seq, acquired), &views[acquired],
                               PyBUF_SIMPLE) < 0)
            goto done;
        std::size_t bound;
        if (!tavo::frame_bound(static_cast<std::size_t>(views[acquired].len), limit, &bound) ||
            bound > limit - total) {
            ++acquired;
            PyErr_NoMemory();
            goto done;
        }
        total += bound;
    }
    result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (result != nullptr) {
        Byte* out = reinterpret_cast<Byte*>(PyBytes_AS_STRING(result));
        std::size_t written = 0;
        for (Py_ssize_t i = 0; i < count; ++i)
            written += tavo::encode_frame(static_cast<const Byte*>(views[i].buf),
                                          static_cast<std::size_t>(views[i].len), delimiter,
                                          out + written);
        if (written != total) _PyBytes_Resize(&result, static_cast<Py_ssize_t>(written));
    }
done:
    for (Py_ssize_t i = 0; i < acquired; ++i) PyBuffer_Release(&views[i]);
    PyMem_Free(views);
    Py_DECREF(seq);
    return result;
}

template <class Fn>
PyCFunction as_method(Fn fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef methods[] = {
    {"scan", nullptr, METH_FASTCALL, scan_doc},
    {"encode_frame", nullptr, METH_FASTCALL, encode_frame_doc},
    {"encode_frames", nullptr, METH_FASTCALL, encode_frames_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_framing(PyObject* module) {
    methods[0].ml_meth = as_method(scan);
    methods[1].ml_meth = as_method(encode_frame);
    methods[2].ml_meth = as_method(encode_frames);
    return PyModule_AddFunctions(module, methods);
}

}  // namespace tavo_stream
