"""Frames over asyncio: a stream reader, a protocol, and a write helper.

``read_frames(reader)`` iterates, with ``async for``, the decoded frames
arriving on an ``asyncio.StreamReader``; ``FrameProtocol`` is an
``asyncio.Protocol`` that calls ``frame_received`` for each frame and
``frame_error`` for each bad one; ``write_frame(writer, data)`` writes one
frame and waits for the writer to drain.

Memory stays bounded: both read whatever has arrived, in chunks, never with
``readuntil``, so a stream reader's ``limit`` never needs raising, and a
frame that grows past ``max_frame_size`` is discarded as it arrives.
"""

import asyncio
import collections
from typing import TYPE_CHECKING, AsyncIterator, Deque, List, Optional, cast

from tavo._framing import DEFAULT_MAX_FRAME_SIZE, FrameDecoder, FrameError, _Item, encode_frame

if TYPE_CHECKING:  # pragma: no cover - typing only
    from _typeshed import ReadableBuffer

    from tavo._framing import _ErrorMode

__all__ = ["AsyncFrameReader", "FrameProtocol", "read_frames", "write_frame"]


class AsyncFrameReader(AsyncIterator[bytes]):
    """Async iterator over the decoded frames of a ``StreamReader``; see
    ``read_frames``. ``decoder`` is its ``FrameDecoder``."""

    def __init__(self, reader: asyncio.StreamReader, *,
                 max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 errors: "_ErrorMode" = "strict", delimiter: int = 0,
                 chunk_size: int = 1 << 16) -> None:
        if chunk_size < 1:
            raise ValueError("chunk_size must be positive")
        self.decoder = FrameDecoder(max_frame_size, errors, delimiter=delimiter)
        self._reader = reader
        self._chunk_size = chunk_size
        self._queue: Deque[_Item] = collections.deque()
        self._done = False

    def __aiter__(self) -> "AsyncFrameReader":
        return self

    async def __anext__(self) -> bytes:
        queue = self._queue
        while True:
            while not queue:
                if self._done:
                    raise StopAsyncIteration
                # read(n) returns whatever the reader holds, up to n bytes,
                # so its buffer never has to hold a whole frame.
                data = await self._reader.read(self._chunk_size)
                if not data:
                    self._done = True
                    error = self.decoder._end()
                    if error is not None:
                        queue.append(error)
                    continue
                queue.extend(self.decoder._scan(data)[0])
            item = queue.popleft()
            if type(item) is bytes:
                return item
            if self.decoder.errors == "strict":
                raise cast(FrameError, item)


def read_frames(reader: asyncio.StreamReader, *,
                max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                errors: "_ErrorMode" = "strict", delimiter: int = 0,
                chunk_size: int = 1 << 16) -> AsyncFrameReader:
    """Iterate, with ``async for``, over the decoded frames arriving on
    ``reader``, each as soon as its delimiter arrives.

    ``max_frame_size``, ``errors`` and ``delimiter`` are as for
    ``tavo.read_frames``: under ``"strict"`` a bad frame raises
    ``FrameError`` at its place in the stream, and iterating again goes on
    after it; under ``"skip"`` bad frames are dropped and counted in
    ``.decoder.bad_frames``. At the end of the stream a cut-off frame is a
    ``FrameError`` too.
    """
    return AsyncFrameReader(reader, max_frame_size=max_frame_size, errors=errors,
                            delimiter=delimiter, chunk_size=chunk_size)


async def write_frame(writer: asyncio.StreamWriter, data: "ReadableBuffer", *, delimiter: int = 0) -> None:
    """Write ``data`` to ``writer`` as one frame, then wait until the
    writer's buffer has drained below its limit (back-pressure)."""
    writer.write(encode_frame(data, delimiter))
    await writer.drain()


class FrameProtocol(asyncio.Protocol):
    """An ``asyncio.Protocol`` that splits what it receives into frames.

    Subclass it and override ``frame_received(frame)``, called with each
    decoded frame in order, and ``frame_error(exc)``, called with a
    ``FrameError`` for each bad frame in its place (malformed, larger than
    ``max_frame_size``, or cut off when the connection ends). ``decoder``
    counts both (``good_frames``, ``bad_frames``, ``last_error``).

    ``send_frame(data)`` writes one frame to the transport. When the
    transport's write buffer passes its high-water mark, ``await
    protocol.drain()`` waits until it is below the low-water mark again.
    To slow a fast sender down, call ``self.transport.pause_reading()`` in
    ``frame_received`` and ``resume_reading()`` later: received bytes then
    stay in the kernel and the sender's flow control takes over.

    Works with anything that drives an ``asyncio.Protocol``:
    ``loop.create_connection``, ``loop.create_server``,
    ``loop.connect_read_pipe`` (a pty) and serial transports built on them.
    """

    transport: Optional[asyncio.BaseTransport]

    def __init__(self, *, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 delimiter: int = 0) -> None:
        self.decoder = FrameDecoder(max_frame_size, "skip", delimiter=delimiter)
        self.transport = None
        self._paused = False
        self._lost = False
        self._waiters: List["asyncio.Future[None]"] = []

    # -- to override -------------------------------------------------------

    def frame_received(self, frame: bytes) -> None:
        """Called with each good frame, decoded, in stream order."""

    def frame_error(self, exc: FrameError) -> None:
        """Called with each bad frame, in stream order."""

    # -- sending -----------------------------------------------------------

    def send_frame(self, data: "ReadableBuffer") -> None:
        """Write ``data`` as one frame to the transport."""
        transport = self.transport
        if transport is None:
            raise RuntimeError("send_frame() before the connection is made")
        cast(asyncio.WriteTransport, transport).write(
            encode_frame(data, self.decoder.delimiter))

    async def drain(self) -> None:
        """Wait until the transport accepts more data; raises
        ``ConnectionResetError`` once the connection is lost."""
        if self._lost:
            raise ConnectionResetError("connection lost")
        if not self._paused:
            return
        waiter = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        await waiter

    @property
    def writing_paused(self) -> bool:
        """True while the transport's write buffer is above its high-water
        mark."""
        return self._paused

    # -- asyncio.Protocol --------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport

    def data_received(self, data: bytes) -> None:
        items, bad = self.decoder._scan(data)
        if not bad:
            for frame in items:
                self.frame_received(cast(bytes, frame))
            return
        for item in items:
            if type(item) is bytes:
                self.frame_received(item)
            else:
                self.frame_error(cast(FrameError, item))

    def eof_received(self) -> Optional[bool]:
        self._end()
        return None  # let the transport close itself

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._end()
        self._lost = True
        self._wake(ConnectionResetError("connection lost") if exc is None else exc)

    def pause_writing(self) -> None:
        self._paused = True

    def resume_writing(self) -> None:
        self._paused = False
        self._wake(None)

    def _end(self) -> None:
        error = self.decoder._end()  # None the second time: reported once
        if error is not None:
            self.frame_error(error)

    def _wake(self, exc: Optional[BaseException]) -> None:
        waiters, self._waiters = self._waiters, []
        for waiter in waiters:
            if not waiter.done():
                if exc is None:
                    waiter.set_result(None)
                else:
                    waiter.set_exception(exc)
