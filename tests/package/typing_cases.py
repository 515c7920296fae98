"""Static typing cases, checked by scripts/typecheck with mypy --strict (not
collected by pytest). Each '# type: ignore[...]' marks a call that must be
rejected: --strict warns about an ignore that is not needed, so a stub that
became too loose fails the check."""
import array
import io
import mmap
import sys
from typing import Iterator, List, Optional, Tuple, Type

import _tavoext
import tavo
from tavo import _kernels

# Bytes-like parameters: any buffer; results: bytes.
encoded: bytes = tavo.encode(b"x")
encoded = tavo.encode(bytearray(b"x"))
encoded = tavo.encode(memoryview(b"x"))
encoded = tavo.encode(array.array("B", b"x"))
decoded: bytes = tavo.decode(b"x")
decoded = tavo.decode(bytearray(b"x"))
decoded = _tavoext.decode(memoryview(b"x"))
frame: bytes = tavo.encode_frame(array.array("B", b"x"))
frame = tavo.encode_frame(bytearray())
kernel_out: bytes = _kernels.encode(_kernels.active(), memoryview(b"x"))
kernel_out = _kernels.decode(_kernels.names()[0], bytearray(b"\x01"))


def with_mmap(m: mmap.mmap) -> bytes:
    return tavo.encode(m) + _tavoext.decode(m)


tavo.encode("text")  # type: ignore[arg-type]
tavo.decode(1)  # type: ignore[arg-type]
tavo.encode_frame(None)  # type: ignore[arg-type]
tavo.encode(in_bytes=b"x")  # type: ignore[call-arg]
_kernels.decode(b"scalar", b"x")  # type: ignore[arg-type]

# The package re-exports the extension's objects.
assert tavo.encode is _tavoext.encode
error_class: Type[tavo.DecodeError] = tavo.FrameError
names: Tuple[str, ...] = _kernels.names()
version: str = tavo.__version__

# Framing.
decoder = tavo.FrameDecoder(max_frame_size=None, errors="skip")
decoder = tavo.FrameDecoder(1024)
frames: List[bytes] = decoder.feed(memoryview(b"\x02a\x00"))
decoder.close()
count: int = decoder.bad_frames + decoder.good_frames + decoder.buffered + decoder.offset
last: Optional[tavo.FrameError] = decoder.last_error
limit: Optional[int] = decoder.max_frame_size
tavo.FrameDecoder(errors="ignore")  # type: ignore[arg-type]
tavo.FrameDecoder(max_frame_size="1M")  # type: ignore[arg-type]
decoder.feed("text")  # type: ignore[arg-type]
decoder.close(b"")  # type: ignore[call-arg]

try:
    decoder.feed(b"\x05\x00")
except tavo.FrameError as exc:
    reason: str = exc.reason
    raw: bytes = exc.frame
    index: Optional[int] = exc.index
    offset: Optional[int] = exc.offset
    position: Optional[int] = exc.position
    good: List[bytes] = exc.frames
    bad: List[tavo.FrameError] = exc.errors

reader: Iterator[bytes] = tavo.read_frames(io.BytesIO(b""), max_frame_size=64, errors="strict")
for item in tavo.read_frames(sys.stdin.buffer, chunk_size=4096):
    item_bytes: bytes = item
stats: tavo.FrameDecoder = tavo.read_frames(io.BytesIO()).decoder
tavo.read_frames(io.StringIO())  # type: ignore[arg-type]
tavo.read_frames(io.BytesIO(), max_size=64)  # type: ignore[call-arg]
