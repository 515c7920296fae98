// Module room: init of tavo._stream. The codec part (incremental codecs,
// caller-buffer entry points, size functions) and the framing part each add
// their own names; this file only creates the module and shares DecodeError.
#include "stream_ext.hpp"

namespace tavo_stream {

namespace {

PyObject* g_decode_error = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tavo._stream", "Private: streaming and framing for tavo.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* decode_error_class() { return g_decode_error; }

}  // namespace tavo_stream

// Exported by hand: before 3.9, PyMODINIT_FUNC does not undo -fvisibility=hidden.
#if defined(__GNUC__)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__stream(void);
#endif

PyMODINIT_FUNC PyInit__stream(void) {
    if (tavo_stream::g_decode_error == nullptr) {
        // Raise the very class users catch as tavo.DecodeError.
        PyObject* ext = PyImport_ImportModule("_tavoext");
        if (ext == nullptr) return nullptr;
        tavo_stream::g_decode_error = PyObject_GetAttrString(ext, "DecodeError");
        Py_DECREF(ext);
        if (tavo_stream::g_decode_error == nullptr) return nullptr;
    }
    PyObject* module = PyModule_Create(&tavo_stream::module_def);
    if (module == nullptr) return nullptr;
    if (tavo_stream::add_codec(module) < 0 || tavo_stream::add_framing(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}
