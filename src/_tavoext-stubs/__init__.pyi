"""Type stubs for the _tavoext extension module (PEP 561 stub-only package)."""

from _typeshed import ReadableBuffer

class DecodeError(Exception):
    """Malformed COBS input. Reports its module as ``tavo``."""

    # Set by tavo.Decoder and tavo.decode_into: the stream offset of the first
    # bad byte, and (Decoder) the bytes of the whole blocks before it. Errors
    # from decode() do not carry them; tavo.FrameError's offset is its frame's.
    offset: int | None
    partial: bytes

def encode(in_bytes: ReadableBuffer, /) -> bytes:
    """Encode a string using Consistent Overhead Byte Stuffing (COBS)."""

def decode(in_bytes: ReadableBuffer, /) -> bytes:
    """Decode a string using Consistent Overhead Byte Stuffing (COBS).

    Raises ``DecodeError`` if the encoded data is invalid."""
