"""Stream framing: COBS frames, each ended by one zero byte (Python 3 only).

A frame on the wire is the COBS encoding of one message followed by a zero
delimiter. Because an encoding holds no zero byte, a receiver finds frame
boundaries by splitting at zeros, and recovers from line noise at the next
zero. This module does that splitting in C (``bytes.split``) and decodes each
frame with ``_tavoext.decode``; the Python work is per frame, never per byte.

Kept importable by Python 3.6 and later (no newer syntax); supported on 3.8+.
"""

import collections
import sys
from typing import TYPE_CHECKING, Deque, Iterator, List, Optional, Tuple, Union

from _tavoext import DecodeError, decode, encode

if TYPE_CHECKING:  # pragma: no cover - typing only
    from typing import Literal, Protocol

    from _typeshed import ReadableBuffer

    _ErrorMode = Literal["strict", "skip"]

    class _Readable(Protocol):
        """Anything with a ``read(size)`` method returning bytes:
        a binary file, ``socket.makefile("rb")``, a serial port."""

        def read(self, __size: int) -> Optional[bytes]: ...

__all__ = ["DEFAULT_MAX_FRAME_SIZE", "FrameDecoder", "FrameError", "FrameReader",
           "encode_frame", "read_frames"]

#: Largest decoded frame that a FrameDecoder accepts unless told otherwise.
DEFAULT_MAX_FRAME_SIZE = 1 << 20

_DELIMITER = b"\x00"
_TRUNCATED = "stream ended inside a frame (no delimiter after its last byte)"


def encode_frame(data: "ReadableBuffer") -> bytes:
    """Encode ``data`` with COBS and append the zero delimiter: one frame,
    ready to write to a stream that ``FrameDecoder`` or ``read_frames``
    reads."""
    return encode(data) + _DELIMITER


def _error_position(frame: bytes) -> Optional[int]:
    """Offset in ``frame`` of the first byte that the codec rejects, from the
    kernel in use; None if that cannot be had."""
    try:
        from tavo import _kernels
        _kernels.decode(_kernels.active(), frame)
    except DecodeError as exc:
        if len(exc.args) > 1 and isinstance(exc.args[1], int):
            return exc.args[1]
    except Exception:  # pragma: no cover - diagnostics only, never fatal
        pass
    return None


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


class FrameDecoder:
    """Incremental decoder of a stream of COBS frames separated by zeros.

    ``feed(chunk)`` takes any bytes-like chunk, cut anywhere, and returns the
    decoded frames that the chunk completes. Repeated zeros (empty frames)
    are skipped, so a sender may send a zero first to resynchronise.

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

    ``close()`` ends the stream: a trailing partial frame (bytes after the
    last delimiter) is reported the same way, not silently dropped.

    Not thread-safe: feed one decoder from one thread at a time.
    """

    def __init__(self, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 errors: "_ErrorMode" = "strict") -> None:
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
        self._max = max_frame_size
        self._limit = limit
        # A decoded frame can exceed max_frame_size only if its raw frame
        # is longer than this; smaller inputs skip the size checks.
        self._safe = limit if max_frame_size is None else max_frame_size + 1
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
        frames, items = self._process(chunk)
        if items is not None:
            self._report([item for item in items if isinstance(item, FrameError)], frames)
        return frames

    def close(self) -> None:
        """End of stream. A trailing partial frame is a ``FrameError`` (raised
        under ``"strict"``, counted under ``"skip"``); either way it is
        forgotten, and the decoder is ready for a new stream."""
        error = self._take_partial()
        if error is not None:
            self._report([error], [])

    # -- internals ---------------------------------------------------------

    def _report(self, errors: List[FrameError], frames: List[bytes]) -> None:
        self.bad_frames += len(errors)
        self.last_error = errors[-1]
        if self._errors == "strict":
            first = errors[0]
            first.frames = frames
            first.errors = errors
            raise first

    def _take_partial(self) -> Optional[FrameError]:
        if not self._size:
            return None
        error = FrameError(_TRUNCATED, bytes(self._buf), size=self._size,
                           index=self._index, offset=self._offset - self._size)
        self._index += 1
        self._buf = bytearray()
        self._size = 0
        return error

    def _hold(self, tail: bytes) -> None:
        """Append the bytes after a chunk's last delimiter to the partial
        frame, keeping at most ``limit`` of them."""
        room = self._limit - len(self._buf)
        self._buf += tail if len(tail) <= room else tail[:room]
        self._size += len(tail)

    def _process(self, chunk: "ReadableBuffer") -> Tuple[
            List[bytes], Optional[List[Union[bytes, FrameError]]]]:
        """Split and decode one chunk. Returns the good frames, and None if
        there was no bad frame, else every frame in order (bytes for good
        ones, FrameError for bad ones). Counts good frames, not bad ones."""
        data = chunk if type(chunk) is bytes else memoryview(chunk).tobytes()
        if not data:
            return [], None
        parts = data.split(_DELIMITER)
        tail = parts.pop()
        start = self._offset - self._size  # stream offset of parts[0]
        self._offset += len(data)
        if not parts:  # no delimiter: the partial frame grows
            self._hold(tail)
            return [], None
        first_size = self._size + len(parts[0])
        if self._size:
            self._buf += parts[0]
            parts[0] = bytes(self._buf)
        self._buf = bytearray()
        self._size = 0
        if tail:
            self._hold(tail)
        if first_size + len(data) > self._safe and (
                first_size > self._safe or max(map(len, parts)) > self._safe):
            return self._careful(parts, start, first_size)
        try:
            frames = [decode(part) for part in parts if part]
        except DecodeError:
            return self._careful(parts, start, first_size)
        self._index += len(frames)
        self.good_frames += len(frames)
        return frames, None

    def _careful(self, parts: List[bytes], start: int, first_size: int) -> Tuple[
            List[bytes], Optional[List[Union[bytes, FrameError]]]]:
        """The slow path: frame by frame, with size checks and error
        reports."""
        frames: List[bytes] = []
        items: List[Union[bytes, FrameError]] = []
        bad = False
        offset = start
        limit = self._limit
        max_size = self._max
        for i, part in enumerate(parts):
            size = first_size if i == 0 else len(part)
            if not size:
                offset += 1
                continue
            error = None
            if size > limit:
                error = self._oversized(part[:limit], size, offset)
            else:
                try:
                    frame = decode(part)
                except DecodeError as exc:
                    error = FrameError(str(exc), part, index=self._index, offset=offset,
                                       position=_error_position(part))
                else:
                    if max_size is not None and len(frame) > max_size:
                        error = self._oversized(part, size, offset)
                    else:
                        frames.append(frame)
                        items.append(frame)
            if error is not None:
                bad = True
                items.append(error)
            self._index += 1
            offset += size + 1
        self.good_frames += len(frames)
        return frames, (items if bad else None)

    def _oversized(self, head: bytes, size: int, offset: int) -> FrameError:
        return FrameError("frame exceeds max_frame_size (%s bytes)" % (self._max,), head,
                          size=size, index=self._index, offset=offset)


class FrameReader(Iterator[bytes]):
    """Iterator over the decoded frames of a stream; see ``read_frames``.

    Under ``errors="strict"`` a bad frame raises ``FrameError`` at its place
    in the stream; the iterator stays usable, and the next ``next()`` goes
    on with the frame after it. ``decoder`` is the underlying
    ``FrameDecoder`` (for ``bad_frames``, ``last_error``, ``offset``).
    """

    def __init__(self, stream: "_Readable", *, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                 errors: "_ErrorMode" = "strict", chunk_size: int = 1 << 16) -> None:
        if chunk_size < 1:
            raise ValueError("chunk_size must be positive")
        self.decoder = FrameDecoder(max_frame_size, errors)
        self._stream = stream
        read1 = getattr(stream, "read1", None)
        self._read = read1 if callable(read1) else stream.read
        self._chunk_size = chunk_size
        self._queue: Deque[Union[bytes, FrameError]] = collections.deque()
        self._done = False

    def __iter__(self) -> "FrameReader":
        return self

    def __next__(self) -> bytes:
        queue = self._queue
        decoder = self.decoder
        while True:
            while not queue:
                if self._done:
                    raise StopIteration
                data = self._read(self._chunk_size)
                if not data:
                    self._done = True
                    error = decoder._take_partial()
                    if error is not None:
                        queue.append(error)
                    continue
                frames, items = decoder._process(data)
                queue.extend(frames if items is None else items)
            item = queue.popleft()
            if not isinstance(item, FrameError):
                return item
            decoder.bad_frames += 1
            decoder.last_error = item
            if decoder.errors == "strict":
                raise item


def read_frames(stream: "_Readable", *, max_frame_size: Optional[int] = DEFAULT_MAX_FRAME_SIZE,
                errors: "_ErrorMode" = "strict", chunk_size: int = 1 << 16) -> FrameReader:
    """Iterate over the decoded frames of ``stream``: any object with a
    ``read(size)`` method returning bytes (a binary file, ``sys.stdin.buffer``,
    ``socket.makefile("rb")``, a serial port).

    Reads with ``read1(chunk_size)`` when the stream has it (buffered files
    and sockets: returns whatever has arrived, so frames are yielded as soon
    as they are complete), else ``read(chunk_size)``. An empty read is the
    end of the stream; a partial frame left then is reported as a
    ``FrameError``.

    ``max_frame_size`` and ``errors`` are as for ``FrameDecoder``. Under
    ``"strict"`` a bad frame raises ``FrameError`` at its place in the
    stream, and iteration may go on after it::

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
                       chunk_size=chunk_size)
