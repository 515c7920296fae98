// Module room: tavo._stream, the private extension behind the package's
// incremental codecs, caller-buffer entry points and framing. Python 3 only.
// Each part of it adds its own names to the module at init.
#ifndef TAVO_MODULE_STREAM_EXT_HPP
#define TAVO_MODULE_STREAM_EXT_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tavo_stream {

// _tavoext.DecodeError, owned by the module for its whole life.
PyObject* decode_error_class();

// Add each part's functions and types to the module; 0, or -1 with an
// exception set.
int add_codec(PyObject* module);
int add_framing(PyObject* module);

}  // namespace tavo_stream

#endif
