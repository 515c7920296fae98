# Private extension tavo._stream (Python 3 only). Each part of the extension
# keeps its names in its own block below.
from typing import Iterable, List, Optional, Tuple, Union

from _typeshed import ReadableBuffer

# --- framing ---------------------------------------------------------------
# A bad frame: (reason, raw head, raw size, start in the chunk, position).
_BadFrame = Tuple[str, bytes, int, int, Optional[int]]

def scan(__chunk: ReadableBuffer, __held: ReadableBuffer, __size: int, __delimiter: int,
         __max_frame_size: int) -> Tuple[List[Union[bytes, _BadFrame]], int, int]: ...
def encode_frame(__data: ReadableBuffer, __delimiter: int) -> bytes: ...
def encode_frames(__messages: Iterable[ReadableBuffer], __delimiter: int) -> bytes: ...
# --- end of framing --------------------------------------------------------
