# Private extension tavo._stream (Python 3 only). Each part of the extension
# keeps its names in its own block below.
from typing import Iterable, List, Optional, SupportsIndex, Tuple, Union, final

from _typeshed import ReadableBuffer, WriteableBuffer

# --- framing ---------------------------------------------------------------
# A bad frame: (reason, raw head, raw size, start in the chunk, position).
_BadFrame = Tuple[str, bytes, int, int, Optional[int]]

def scan(__chunk: ReadableBuffer, __held: ReadableBuffer, __size: int, __delimiter: int,
         __max_frame_size: int) -> Tuple[List[Union[bytes, _BadFrame]], int, int]: ...
def encode_frame(__data: ReadableBuffer, __delimiter: int) -> bytes: ...
def encode_frames(__messages: Iterable[ReadableBuffer], __delimiter: int) -> bytes: ...
# --- end of framing --------------------------------------------------------

# --- codec: incremental codecs, caller buffers, sizes (exported by tavo) ---
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
# --- end of codec ----------------------------------------------------------
