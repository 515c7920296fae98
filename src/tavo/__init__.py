"""Consistent Overhead Byte Stuffing (COBS) for Python.

``encode`` turns any byte string into one with no zero byte; ``decode``
reverses it and raises ``DecodeError`` on malformed input. These are the
very objects of the ``_tavoext`` extension module.
"""

from _tavoext import DecodeError, decode, encode

__version__ = "0.1.0"

__all__ = ["DecodeError", "decode", "encode", "__version__"]
