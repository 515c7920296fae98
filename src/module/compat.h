/* Module room: every difference between the Python 2.x and 3.x hosts lives
 * here, so the binding itself reads the same on both. */
#ifndef TAVO_MODULE_COMPAT_H
#define TAVO_MODULE_COMPAT_H

#define PY_SSIZE_T_CLEAN
#if defined(__GNUC__)
/* 2.x headers still use `register`, which C++17 dropped. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#endif
#include <Python.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#if defined(_WIN32)
/* Visibility means nothing to a DLL: without dllexport, GNU ld would
 * export every global symbol, the codec's and libgcc's included. */
#define TAVO_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define TAVO_EXPORT __attribute__((visibility("default")))
#else
#define TAVO_EXPORT
#endif

/* The host's byte string type. */
#if PY_MAJOR_VERSION >= 3
#define TavoBytes_New(size) PyBytes_FromStringAndSize(NULL, (size))
#define TavoBytes_AS_BUFFER(obj) PyBytes_AS_STRING(obj)
#define TavoBytes_Resize(pobj, size) _PyBytes_Resize((pobj), (size))
#else
#define TavoBytes_New(size) PyString_FromStringAndSize(NULL, (size))
#define TavoBytes_AS_BUFFER(obj) PyString_AS_STRING(obj)
#define TavoBytes_Resize(pobj, size) _PyString_Resize((pobj), (size))
#endif

/* The longest result the host can make: its size type less the object's
 * header. A larger request gets MemoryError from us, not the host's
 * OverflowError. */
#if PY_MAJOR_VERSION >= 3
#define TAVO_MAX_RESULT (PY_SSIZE_T_MAX - (Py_ssize_t)(offsetof(PyBytesObject, ob_sval) + 1))
#else
#define TAVO_MAX_RESULT (PY_SSIZE_T_MAX - (Py_ssize_t)(offsetof(PyStringObject, ob_sval) + 1))
#endif

/* Sets the length of a variable-size object in place; the macro arrived in
 * 3.9, and older hosts write the field directly. */
#ifndef Py_SET_SIZE
#define Py_SET_SIZE(obj, size) (((PyVarObject*)(obj))->ob_size = (size))
#endif

/* Text for names, and the argument format of a read-only buffer. */
#if PY_MAJOR_VERSION >= 3
#define TavoStr_FromString(text) PyUnicode_FromString(text)
#define TAVO_BUFFER_FORMAT "y*"
#else
#define TavoStr_FromString(text) PyString_FromString(text)
#define TAVO_BUFFER_FORMAT "s*"
#endif

/* The one argument, borrowed for the length of a call. */
typedef struct {
    const unsigned char* data;
    Py_ssize_t len;
#if PY_MAJOR_VERSION >= 3
    Py_buffer view; /* held only when has_view */
    int has_view;
#endif
} TavoInput;

static inline void tavo_input_release(TavoInput* in) {
#if PY_MAJOR_VERSION >= 3
    if (in->has_view) {
        PyBuffer_Release(&in->view);
        in->has_view = 0;
    }
#else
    (void)in;
#endif
}

/* Calling convention. Python 3.7+ uses METH_FASTCALL, which skips the
 * argument tuple; older hosts use METH_VARARGS. Either way argument errors
 * are the host's own for the format "<fmt>:in_bytes". */
#if PY_VERSION_HEX >= 0x03070000
#define TAVO_METH_FLAGS METH_FASTCALL
#define TAVO_ARGS_PARAMS PyObject* const* args, Py_ssize_t nargs
#define TAVO_ARGS args, nargs
#define TAVO_METH_CAST(fn) ((PyCFunction)(void (*)(void))(fn))
#else
#define TAVO_METH_FLAGS METH_VARARGS
#define TAVO_ARGS_PARAMS PyObject* args
#define TAVO_ARGS args
#define TAVO_METH_CAST(fn) ((PyCFunction)(fn))
#endif

/* A function's signature line, ahead of its docstring. 3.x reads it into
 * __text_signature__ and strips it from __doc__; 2.x would show it as text. */
#if PY_MAJOR_VERSION >= 3
#define TAVO_SIGNATURE(text) text "\n--\n\n"
#else
#define TAVO_SIGNATURE(text) ""
#endif

#if PY_MAJOR_VERSION >= 3
#define TAVO_ARG_FORMAT "y*:in_bytes"
#else
#define TAVO_ARG_FORMAT "s#:in_bytes"
#endif

/* Fills *in from the call's arguments, or sets the host's error and returns
 * 0. On success the caller must call tavo_input_release. */
static inline int tavo_input_acquire(TAVO_ARGS_PARAMS, TavoInput* in) {
#if PY_VERSION_HEX >= 0x03070000
    in->has_view = 0;
    if (nargs == 1) {
        PyObject* obj = args[0];
        if (PyBytes_CheckExact(obj)) { /* the common case: no buffer view */
            in->data = (const unsigned char*)PyBytes_AS_STRING(obj);
            in->len = PyBytes_GET_SIZE(obj);
            return 1;
        }
        if (PyObject_CheckBuffer(obj)) {
            /* An export that fails keeps its own exception: asking again
             * would run the exporter twice and could lose the first error,
             * a KeyboardInterrupt among them. */
            if (PyObject_GetBuffer(obj, &in->view, PyBUF_SIMPLE) < 0) return 0;
            in->has_view = 1;
            in->data = (const unsigned char*)in->view.buf;
            in->len = in->view.len;
            return 1;
        }
    }
    /* A wrong argument count or an object with no buffer at all: the host's
     * own conversion gives its exact error. */
    {
        PyObject* tuple = PyTuple_New(nargs);
        Py_ssize_t i;
        int ok;
        if (tuple == NULL) return 0;
        for (i = 0; i < nargs; i++) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(tuple, i, args[i]);
        }
        ok = PyArg_ParseTuple(tuple, TAVO_ARG_FORMAT, &in->view);
        Py_DECREF(tuple);
        if (!ok) return 0;
        in->has_view = 1;
        in->data = (const unsigned char*)in->view.buf;
        in->len = in->view.len;
        return 1;
    }
#elif PY_MAJOR_VERSION >= 3
    if (!PyArg_ParseTuple(args, TAVO_ARG_FORMAT, &in->view)) {
        in->has_view = 0;
        return 0;
    }
    in->has_view = 1;
    in->data = (const unsigned char*)in->view.buf;
    in->len = in->view.len;
    return 1;
#else
    const char* data;
    if (!PyArg_ParseTuple(args, TAVO_ARG_FORMAT, &data, &in->len)) return 0;
    in->data = (const unsigned char*)data;
    return 1;
#endif
}

/* Module creation and the init entry point. */
#if PY_MAJOR_VERSION >= 3
#define TAVO_MODINIT(name) extern "C" TAVO_EXPORT PyObject* PyInit_##name(void)
#define TAVO_INIT_RETURN(module) return (module)
#else
#define TAVO_MODINIT(name) extern "C" TAVO_EXPORT void init##name(void)
#define TAVO_INIT_RETURN(module) \
    do {                         \
        (void)(module);          \
        return;                  \
    } while (0)
#endif

/* Creates the module object; returns a new reference (3.x) or a borrowed
 * one that sys.modules owns (2.x), or NULL with the host's error set. Each
 * extension calls it once from its own init, so the one definition 3.x
 * keeps per extension can live here. */
static inline PyObject* tavo_module_create(const char* name, PyMethodDef* methods,
                                           const char* doc) {
#if PY_MAJOR_VERSION >= 3
    static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, NULL, NULL, -1, NULL,
                                     NULL, NULL, NULL, NULL};
    def.m_name = name;
    def.m_doc = doc;
    def.m_methods = methods;
    return PyModule_Create(&def);
#else
    return Py_InitModule4(name, methods, doc, NULL, PYTHON_API_VERSION);
#endif
}

/* Undoes a half-finished init so the import fails cleanly, and a retried
 * import starts afresh instead of finding a module without its class. */
static inline void tavo_module_abandon(PyObject* module, const char* name) {
#if PY_MAJOR_VERSION >= 3
    (void)name;
    Py_DECREF(module);
#else
    PyObject *type, *value, *tb;
    (void)module; /* borrowed: sys.modules holds it */
    PyErr_Fetch(&type, &value, &tb);
    if (PyDict_DelItemString(PyImport_GetModuleDict(), name) < 0) PyErr_Clear();
    PyErr_Restore(type, value, tb);
#endif
}

/* Free-threaded builds: the module keeps no mutable shared state. */
static inline void tavo_module_declare_nogil(PyObject* module) {
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
#endif
}

#endif
