"""Type stubs for the private tavo._stream extension: the incremental codecs,
the caller-buffer entry points and the size functions (exported by tavo),
and the framing primitives behind tavo._framing."""

from typing import Any, Iterable, SupportsIndex, final

from _typeshed import ReadableBuffer, WriteableBuffer

@final
class Encoder:
    """Encodes one message given in pieces; see ``tavo.Encoder``."""

    def __init__(self) -> None: ...
    def encode(self, chunk: ReadableBuffer, /) -> bytes:
        """Every block that ``chunk`` completes."""
    def finish(self) -> bytes:
        """The last block; the encoder then starts a new message."""

@final
class Decoder:
    """Decodes one encoding given in pieces; see ``tavo.Decoder``."""

    def __init__(self) -> None: ...
    def decode(self, chunk: ReadableBuffer, /) -> bytes:
        """The bytes of every block that ``chunk`` completes. Raises
        ``DecodeError`` with ``offset`` and ``partial``."""
    def finish(self) -> bytes:
        """``b""``, or ``DecodeError`` if the last block is cut off."""

def encode_into(data: ReadableBuffer, out: WriteableBuffer, /) -> int:
    """Encode ``data`` into ``out``; the length written."""

def decode_into(data: ReadableBuffer, out: WriteableBuffer, /) -> int:
    """Decode ``data`` into ``out``; the length written."""

def max_encoded_length(n: SupportsIndex, /) -> int:
    """``n + n // 254 + 1``."""

def max_decoded_length(n: SupportsIndex, /) -> int:
    """``max(n - 1, 0)``."""

def scan(
    chunk: ReadableBuffer, held: ReadableBuffer, size: int, delimiter: int, max_frame_size: int, /
) -> tuple[list[Any], int, int]:
    """Split one chunk of a frame stream: (items, bad, tail). A bad frame's
    item is a tuple, which tavo._framing replaces with its FrameError."""

def encode_frame(data: ReadableBuffer, delimiter: int, /) -> bytes:
    """One frame of ``data`` with ``delimiter``."""

def encode_frames(messages: Iterable[ReadableBuffer], delimiter: int, /) -> bytes:
    """The frames of ``messages``, one after another."""
