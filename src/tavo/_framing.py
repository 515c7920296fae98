"""Stream framing: COBS frames, each ended by one delimiter byte (Python 3 only).

A frame on the wire is the COBS encoding of one message, every byte XORed
with the delimiter (zero by default, so the XOR changes nothing), followed by
the delimiter. An encoding holds no zero byte, so the delimiter appears only
between frames: a receiver finds frame boundaries by looking for it, and
recovers from line noise at the next one. The private extension tavo._stream
splits and decodes whole chunks in C; the Python work here is per chunk, and
per frame only for bad frames.

Kept importable by Python 3.6 and later (no newer syntax); supported on 3.8+.
"""

import collections
import os
import sys
from typing import (TYPE_CHECKING, Any, Deque, Iterable, Iterator, List, Optional, Tuple, Union,
                    cast)

from _tavoext import DecodeError

from tavo import _stream

if TYPE_CHECKING:  # pragma: no cover - typing only
    from typing import Literal, Protocol

    from _typeshed import ReadableBuffer

    _ErrorMode = Literal["strict", "skip"]

    class _Readable(Protocol):
        """Anything with a ``read(size)`` method returning bytes:
        a binary file, ``socket.makefile("rb")``, a serial port."""

        def read(self, __size: int) -> Optional[bytes]: ...

__all__ = ["DEFAULT_MAX_FRAME_SIZE", "FrameDecoder", "FrameError", "FrameReader",
           "encode_frame", "encode_frames", "read_frames"]

#: Largest decoded frame that a FrameDecoder accepts unless told otherwise.
DEFAULT_MAX_FRAME_SIZE = 1 << 20

_TRUNCATED = "stream ended inside a frame (no delimiter after its last byte)"


def _delimiter(value: object) -> int:
    """``value`` if it is a valid delimiter, else a clear TypeError or
    ValueError."""
    if type(value) is not int:
        if not isinstance(value, int) or isinstance(value, bool):
            raise TypeError("delimiter must be an int in range(256), not %s"
                            % type(value).__name__)
        value = int(value)
    if not 0 <= value <= 255:
        raise ValueError("delimiter must be an int in range(256), not %d" % value)
    return value


def encode_frame(data: "ReadableBuffer", delimiter: int = 0) -> bytes:
    """Encode ``data`` with COBS and append the delimiter: one frame, ready
    to write to a stream that ``FrameDecoder`` or ``read_frames`` reads.
    With a non-zero ``delimiter`` every byte of the encoding is XORed with
    it, so the delimiter byte appears only at the end."""
    if type(delimiter) is not int or not 0 <= delimiter <= 255:
        delimiter = _delimiter(delimiter)
    return _stream.encode_frame(data, delimiter)


def encode_frames(messages: "Iterable[ReadableBuffer]", delimiter: int = 0) -> bytes:
    """The frames of ``messages``, one after another, in one call: equal to
    ``b"".join(encode_frame(m, delimiter) for m in messages)``, and faster."""
    return _stream.encode_frames(messages, _delimiter(delimiter))


class FrameError(DecodeError):
    """A frame that could not be decoded: malformed, larger than the
    decoder's ``max_frame_size``, or cut off by the end of the stream.

    A subclass of ``tavo.DecodeError``. Attributes:

    ``reason``
        Why, as text: the codec's own message for a malformed frame.
    ``frame``
        The raw (still encoded) frame, without its delimiter. For an
        oversized frame, only its first bytes, as many as the decoder held
        before it started discarding; ``size`` gives the full length.
    ``size``
        Length of the raw frame in bytes, without its delimiter.
    ``index``
        Position of the frame in the stream, counting from 0 all frames
        good and bad (empty frames, i.e. repeated zeros, are not counted).
    ``offset``
        Stream offset of the frame's first byte.
    ``position``
        Offset inside the raw frame of the first byte the codec rejected,
        or None (oversized and cut-off frames).
    ``frames``
        Set when ``FrameDecoder.feed`` raises: every good frame that the
        failing call completed, before and after the bad ones, in stream
        order, exactly what ``feed`` would have returned. Empty otherwise.
    ``errors``
        Set when ``FrameDecoder.feed`` raises: every bad frame the failing
        call met, in stream order; the raised exception is ``errors[0]``.
        ``[self]`` otherwise.
    """

    reason: str
    frame: bytes
    size: int
    index: Optional[int]
    offset: Optional[int]
    position: Optional[int]
    frames: List[bytes]
    errors: List["FrameError"]

    def __init__(self, reason: str, frame: bytes = b"", *, size: Optional[int] = None,
                 index: Optional[int] = None, offset: Optional[int] = None,
                 position: Optional[int] = None) -> None:
        if size is None:
            size = len(frame)
        message = reason
        if index is not None and offset is not None:
            message = "frame %d at stream offset %d (%d bytes): %s" % (index, offset, size, reason)
            if position is not None:
                message += "; first bad byte at stream offset %d" % (offset + position)
        super().__init__(message)
        self.reason = reason
        self.frame = frame
        self.size = size
        self.index = index
        self.offset = offset
        self.position = position
        self.frames = []
        self.errors = [self]


_Item = Union[bytes, FrameError]


class FrameDecoder:
    """Incremental decoder of a stream of COBS frames separated by a
    delimiter byte (zero unless told otherwise).

    ``feed(chunk)`` takes any bytes-like chunk, cut anywhere, and returns the
    decoded frames that the chunk completes. Repeated delimiters (empty
    frames) are skipped, so a sender may send one first to resynchronise.

    ``max_frame_size`` bounds a decoded frame (default 1 MiB; None for no
    bound). A frame that grows past it is reported like a malformed one, and
    its bytes are discarded as they arrive, up to the next delimiter, so
    memory stays bounded on a noisy line.

    ``errors`` chooses what a bad frame does:

    * ``"strict"`` (default): ``feed`` still processes its whole chunk, then
      raises ``FrameError`` for the first bad frame. The exception carries
      every good frame the chunk completed in ``exc.frames`` (before and
      after the bad ones) and every bad frame in ``exc.errors``. Nothing is
      left behind: the next ``feed`` carries on after the chunk. So::

          try:
              frames = decoder.feed(chunk)
          except tavo.FrameError as exc:
              log(exc.errors)
              frames = exc.frames

    * ``"skip"``: bad frames are dropped; ``bad_frames`` counts them and
      ``last_error`` keeps the latest.

    ``delimiter`` (an int in range(256), default 0) is the byte that ends
    each frame; frames from ``encode_frame(data, delimiter)`` match.

    ``close()`` ends the stream: a trailing partial frame (bytes after the
    last delimiter) is reported the same way, not silently dropped.

    Not thread-safe: feed one decoder from one thread at a time.
    """

    def __init__(self, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 errors: "_ErrorMode" = "strict", *, delimiter: int = 0) -> None:
        if errors not in ("strict", "skip"):
            raise ValueError("errors must be 'strict' or 'skip', not %r" % (errors,))
        if max_frame_size is None:
            limit = sys.maxsize
        else:
            if not isinstance(max_frame_size, int) or isinstance(max_frame_size, bool):
                raise TypeError("max_frame_size must be an int or None")
            if max_frame_size < 0:
                raise ValueError("max_frame_size must not be negative")
            # The longest encoding of a max_frame_size message: no longer
            # raw frame can be wanted, so none is ever held.
            limit = max_frame_size + max_frame_size // 254 + 1
        self._delimiter = _delimiter(delimiter)
        self._max = max_frame_size
        self._max_arg = -1 if max_frame_size is None else max_frame_size
        self._limit = limit
        self._errors: "_ErrorMode" = errors
        self._buf = bytearray()  # held bytes of the partial frame (<= limit)
        self._size = 0  # raw length of the partial frame, discarded bytes too
        self._index = 0  # index of the next frame
        self._offset = 0  # stream offset of the next chunk
        #: Number of good frames decoded so far.
        self.good_frames = 0
        #: Number of bad frames met so far (malformed, oversized, cut off).
        self.bad_frames = 0
        #: The latest bad frame met, or None.
        self.last_error: Optional[FrameError] = None

    @property
    def max_frame_size(self) -> Optional[int]:
        """Largest decoded frame accepted, or None."""
        return self._max

    @property
    def errors(self) -> "_ErrorMode":
        """``"strict"`` or ``"skip"``."""
        return self._errors

    @property
    def delimiter(self) -> int:
        """The byte value that ends each frame."""
        return self._delimiter

    @property
    def buffered(self) -> int:
        """Bytes held for the partial frame (at most the raw size of a
        ``max_frame_size`` frame, however long the frame grows)."""
        return len(self._buf)

    @property
    def offset(self) -> int:
        """Number of bytes fed so far."""
        return self._offset

    def feed(self, chunk: "ReadableBuffer") -> List[bytes]:
        """Take the next chunk of the stream; return the frames it completes,
        decoded, in order. Under ``errors="strict"`` a bad frame raises
        ``FrameError`` after the whole chunk is processed, with the good
        frames in ``exc.frames`` (see the class docstring)."""
        items, bad = self._scan(chunk)
        if not bad:
            return cast(List[bytes], items)
        frames = [item for item in items if isinstance(item, bytes)]
        if self._errors == "strict":
            errors = [item for item in items if isinstance(item, FrameError)]
            first = errors[0]
            first.frames = frames
            first.errors = errors
            raise first
        return frames

    def close(self) -> None:
        """End of stream. A trailing partial frame is a ``FrameError`` (raised
        under ``"strict"``, counted under ``"skip"``); either way it is
        forgotten, and the decoder is ready for a new stream."""
        error = self._end()
        if error is not None and self._errors == "strict":
            raise error

    # -- the one primitive: chunks in, frames and errors out in stream order

    def _scan(self, chunk: "ReadableBuffer") -> Tuple[List[_Item], int]:
        """Split and decode one chunk. Returns every non-empty frame the
        chunk completes, in stream order (bytes for a good one, FrameError
        for a bad one), and how many are bad. Counts both kinds, indexes
        them and sets ``last_error``; deciding what a bad frame does is the
        caller's."""
        data = chunk if type(chunk) is bytes or type(chunk) is bytearray else (
            memoryview(chunk).tobytes())
        n = len(data)
        if not n:
            return [], 0
        start = self._offset
        scanned, bad, tail = _stream.scan(data, self._buf, self._size, self._delimiter,
                                          self._max_arg)
        items = cast(List[_Item], scanned)  # bad frames are made FrameErrors below
        self._offset = start + n
        if tail < 0:  # no delimiter: the partial frame grows
            room = self._limit - len(self._buf)
            self._buf += data if n <= room else data[:room]
            self._size += n
        else:
            rest = n - tail
            self._buf = bytearray(data[tail:tail + self._limit]) if rest else bytearray()
            self._size = rest
        if bad:
            index = self._index
            for i, item in enumerate(scanned):
                if isinstance(item, tuple):
                    reason, raw, size, begin, position = item
                    if reason == "oversized":
                        reason = self._oversized_reason()
                    items[i] = error = FrameError(reason, raw, size=size, index=index + i,
                                                  offset=start + begin, position=position)
            self.bad_frames += bad
            self.last_error = error
        self._index += len(items)
        self.good_frames += len(items) - bad
        return items, bad

    def _end(self) -> Optional[FrameError]:
        """End of stream: the cut-off partial frame as a counted FrameError,
        or None. The decoder is then ready for a new stream."""
        if not self._size:
            return None
        error = FrameError(_TRUNCATED, bytes(self._buf), size=self._size,
                           index=self._index, offset=self._offset - self._size)
        self._index += 1
        self._buf = bytearray()
        self._size = 0
        self.bad_frames += 1
        self.last_error = error
        return error

    def _oversized_reason(self) -> str:
        return "frame exceeds max_frame_size (%s bytes)" % (self._max,)


def _nonblocking_raw(stream: Any) -> Any:
    """The raw stream under a buffered ``stream`` if its file is in
    non-blocking mode, else None. A buffered reader's ``read1`` returns
    b"" both at the end and when nothing has arrived; its raw stream tells
    them apart (b"" against None)."""
    raw = getattr(stream, "raw", None)
    if raw is None:
        return None
    try:
        blocking = os.get_blocking(stream.fileno())
    except (AttributeError, OSError, ValueError):  # no file descriptor, or no such call here
        return None
    return None if blocking else raw


class FrameReader(Iterator[bytes]):
    """Iterator over the decoded frames of a stream; see ``read_frames``.

    Under ``errors="strict"`` a bad frame raises ``FrameError`` at its place
    in the stream; the iterator stays usable, and the next ``next()`` goes
    on with the frame after it. ``decoder`` is the underlying
    ``FrameDecoder`` (for ``bad_frames``, ``last_error``, ``offset``).

    On a non-blocking source, iteration stops when nothing has arrived yet,
    keeping the partial frame; iterate again once more data is there.
    ``at_eof`` tells the end of the stream apart from such a pause.
    """

    def __init__(self, stream: "_Readable", *, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 errors: "_ErrorMode" = "strict", chunk_size: int = 1 << 16,
                 delimiter: int = 0) -> None:
        if chunk_size < 1:
            raise ValueError("chunk_size must be positive")
        self.decoder = FrameDecoder(max_frame_size, errors, delimiter=delimiter)
        self._stream = stream
        read1 = getattr(stream, "read1", None)
        self._read = read1 if callable(read1) else stream.read
        self._chunk_size = chunk_size
        self._queue: Deque[_Item] = collections.deque()
        self._done = False

    @property
    def at_eof(self) -> bool:
        """True once the stream has ended and every frame was handed out."""
        return self._done and not self._queue

    def __iter__(self) -> "FrameReader":
        return self

    def __next__(self) -> bytes:
        queue = self._queue
        while True:
            while not queue:
                if self._done:
                    raise StopIteration
                items = self._pull()
                if items is None:  # nothing now: stop, keeping the partial frame
                    raise StopIteration
                queue.extend(items)
            item = queue.popleft()
            if isinstance(item, bytes):
                return item
            if self.decoder.errors == "strict":
                raise item

    def _pull(self) -> Optional[List[_Item]]:
        """Read the stream once. Returns the frames and errors the read
        completes, in stream order (at the end: the cut-off frame, if any),
        or None when a non-blocking source has nothing yet."""
        data = self._read(self._chunk_size)
        if data is None:
            return None
        if not data:
            raw = _nonblocking_raw(self._stream)
            if raw is not None:
                data = raw.read(self._chunk_size)
                if data is None:
                    return None
        if not data:
            self._done = True
            error = self.decoder._end()
            return [] if error is None else [error]
        return self.decoder._scan(data)[0]


def read_frames(stream: "_Readable", *, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                errors: "_ErrorMode" = "strict", chunk_size: int = 1 << 16,
                delimiter: int = 0) -> FrameReader:
    """Iterate over the decoded frames of ``stream``: any object with a
    ``read(size)`` method returning bytes (a binary file, ``sys.stdin.buffer``,
    ``socket.makefile("rb")``, a serial port).

    Reads with ``read1(chunk_size)`` when the stream has it (buffered files
    and sockets: returns whatever has arrived, so frames are yielded as soon
    as they are complete), else ``read(chunk_size)``. An empty read is the
    end of the stream; a partial frame left then is reported as a
    ``FrameError``.

    A non-blocking source (a pipe or socket in non-blocking mode) that has
    nothing yet returns None, or b"" from ``read1``; that is not the end:
    iteration stops, the partial frame is kept, and iterating again later
    goes on. Such a source ends when its raw read returns b"" (the writer
    closed it); ``at_eof`` is then true.

    ``max_frame_size``, ``errors`` and ``delimiter`` are as for
    ``FrameDecoder``. Under ``"strict"`` a bad frame raises ``FrameError`` at
    its place in the stream, and iteration may go on after it::

        frames = tavo.read_frames(port)
        while True:
            try:
                for frame in frames:
                    handle(frame)
                break
            except tavo.FrameError as exc:
                log(exc)
    """
    return FrameReader(stream, max_frame_size=max_frame_size, errors=errors,
                       chunk_size=chunk_size, delimiter=delimiter)
