"""Static typing cases, checked by scripts/typecheck with mypy --strict (not
collected by pytest). Each '# type: ignore[...]' marks a call that must be
rejected: --strict warns about an ignore that is not needed, so a stub that
became too loose fails the check."""
import array
import asyncio
import io
import mmap
import sys
from typing import AsyncIterator, Iterator, List, Optional, Tuple, Type

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

# Delimiters, encode_frames, non-blocking readers, tavo.aio.
many: bytes = tavo.encode_frames([b"a", bytearray(b"b"), memoryview(b"c")], delimiter=0x7E)
frame = tavo.encode_frame(b"x", 1)
delimited = tavo.FrameDecoder(delimiter=0x7E)
which: int = delimited.delimiter
ended: bool = tavo.read_frames(io.BytesIO(b""), delimiter=3).at_eof
tavo.encode_frames(b"abc")  # type: ignore[arg-type]
tavo.encode_frames(["text"])  # type: ignore[list-item]
tavo.encode_frame(b"x", delimiter="0")  # type: ignore[arg-type]


async def aio_cases(reader: "asyncio.StreamReader", writer: "asyncio.StreamWriter") -> None:
    from tavo import aio
    frames: AsyncIterator[bytes] = aio.read_frames(reader, max_frame_size=64, errors="skip",
                                                   delimiter=1)
    async for got in aio.read_frames(reader):
        got_bytes: bytes = got
    await aio.write_frame(writer, memoryview(b"x"), delimiter=2)
    protocol = aio.FrameProtocol(max_frame_size=None)
    protocol.send_frame(bytearray(b"x"))
    await protocol.drain()
    paused: bool = protocol.writing_paused
    aio.read_frames(reader, errors="ignore")  # type: ignore[arg-type]
    await aio.write_frame(writer, "text")  # type: ignore[arg-type]
