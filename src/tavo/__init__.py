"""Consistent Overhead Byte Stuffing (COBS) for Python.

``encode`` turns any byte string into one with no zero byte; ``decode``
reverses it and raises ``DecodeError`` on malformed input. These are the
very objects of the ``_tavoext`` extension module.

On Python 3 the package also frames streams: ``encode_frame`` makes one
zero-delimited frame (``encode_frames`` many), ``FrameDecoder`` and
``read_frames`` split a stream into decoded frames, and a bad frame is a
``FrameError`` (a ``DecodeError``); any byte may be the delimiter.
``tavo.aio`` does the same over asyncio.
``Encoder`` and ``Decoder`` work on a message or an encoding given in pieces;
``encode_into`` and ``decode_into`` write into a buffer the caller owns, sized
with ``max_encoded_length`` and ``max_decoded_length``.
"""

import sys as _sys

from _tavoext import DecodeError, decode, encode

__version__ = "0.1.0"

__all__ = ["DecodeError", "decode", "encode", "__version__"]

# This file stays parseable by Python 2.7, which gets only the codec.
if _sys.version_info >= (3,):
    from tavo._framing import (DEFAULT_MAX_FRAME_SIZE, FrameDecoder, FrameError, FrameReader,
                               encode_frame, read_frames)

    __all__ += ["DEFAULT_MAX_FRAME_SIZE", "FrameDecoder", "FrameError", "FrameReader",
                "encode_frame", "read_frames"]
    from tavo._framing import encode_frames

    __all__ += ["encode_frames"]
    from tavo._stream import (Decoder, Encoder, decode_into, encode_into, max_decoded_length,
                              max_encoded_length)

    __all__ += ["Decoder", "Encoder", "decode_into", "encode_into", "max_decoded_length",
                "max_encoded_length"]

del _sys
