"""tavo.encode_frame, FrameDecoder and read_frames (Python 3)."""
import array
import io
import pickle
import socket
import threading
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tavoext
import tavo
from tavo import FrameDecoder, FrameError, encode_frame, read_frames

SHORT = "not enough input bytes for length code"
TRUNCATED = "stream ended inside a frame"
OVERSIZED = "exceeds max_frame_size"

MESSAGES = [b"", b"\x00", b"hello", b"a\x00b\x00\x00c", bytes(range(256)), b"\xff" * 254]


def reference(stream, max_frame_size=tavo.DEFAULT_MAX_FRAME_SIZE):
    """What a decoder must make of a whole stream, frame by frame: a list of
    bytes (good frames) and ("bad", index, offset) entries, in order, plus
    the trailing partial frame."""
    out = []
    index = 0
    offset = 0
    *frames, tail = stream.split(b"\x00")
    for raw in frames:
        if raw:
            try:
                frame = _tavoext.decode(raw)
            except _tavoext.DecodeError:
                frame = None
            limit = (max_frame_size + max_frame_size // 254 + 1
                     if max_frame_size is not None else None)
            if frame is not None and max_frame_size is not None and (
                    len(raw) > limit or len(frame) > max_frame_size):
                frame = None
            out.append(frame if frame is not None else ("bad", index, offset))
            index += 1
        offset += len(raw) + 1
    return out, tail


def run_chunks(chunks, **options):
    """Feed chunks to a new decoder, then close it. Returns what reference()
    returns for the frames (rebuilding the order of good and bad frames from
    the errors' indexes under "strict"), the trailing FrameError or None, and
    the decoder."""
    decoder = FrameDecoder(**options)
    out = []
    for chunk in chunks:
        try:
            out.extend(decoder.feed(chunk))
        except FrameError as exc:
            assert exc is exc.errors[0]
            bad = {e.index: e for e in exc.errors}
            good = iter(exc.frames)
            for i in range(len(out), len(out) + len(exc.frames) + len(exc.errors)):
                out.append(("bad", i, bad[i].offset) if i in bad else next(good))
    trailing = None
    try:
        decoder.close()
    except FrameError as exc:
        trailing = exc
    return out, trailing, decoder


def frame_stream():
    """A small stream: a resync zero, good frames (one holding zeros, one a
    maximal block), an empty payload, repeated zeros."""
    return (b"\x00" + encode_frame(b"one") + encode_frame(b"a\x00\x00b") + b"\x00\x00"
            + encode_frame(b"") + encode_frame(b"\x07" * 254) + encode_frame(b"end"))


def bad_stream():
    """Good frames around malformed ones, and a trailing partial frame."""
    return (encode_frame(b"first") + b"\x05ab\x00" + encode_frame(b"second")
            + b"\xff\x01\x00" + encode_frame(b"third") + b"\x03x")


# -- encode_frame ------------------------------------------------------------

@pytest.mark.parametrize("message", MESSAGES)
def test_encode_frame_is_encoding_plus_delimiter(message):
    frame = encode_frame(message)
    assert type(frame) is bytes
    assert frame == tavo.encode(message) + b"\x00"
    assert frame.count(b"\x00") == 1


def test_encode_frame_takes_any_buffer():
    for data in (bytearray(b"a\x00b"), memoryview(b"a\x00b"), array.array("B", b"a\x00b")):
        assert encode_frame(data) == b"\x02a\x02b\x00"
    with pytest.raises(TypeError):
        encode_frame("text")


# -- FrameDecoder: good streams and chunking ----------------------------------

def test_consecutive_zeros_are_not_frames():
    decoder = FrameDecoder()
    assert decoder.feed(b"\x00\x00\x00" + encode_frame(b"x") + b"\x00\x00") == [b"x"]
    assert decoder.feed(b"\x00") == []
    decoder.close()


def test_chunk_types():
    stream = encode_frame(b"abc") + encode_frame(b"")
    for chunk in (bytearray(stream), memoryview(stream), array.array("B", stream)):
        frames = FrameDecoder().feed(chunk)
        assert frames == [b"abc", b""]
        assert all(type(f) is bytes for f in frames)
    decoder = FrameDecoder()
    for bad in ("text", 5, None, [1, 2]):  # bytes(5) would be five zeros
        with pytest.raises(TypeError):
            decoder.feed(bad)
    assert decoder.feed(encode_frame(b"ok")) == [b"ok"]


def test_bytearray_chunk_may_be_reused():
    decoder = FrameDecoder()
    buf = bytearray(b"\x03ab")
    assert decoder.feed(buf) == []
    buf[:] = b"\x02c\x00"
    assert decoder.feed(buf) == [b"ab\x00c"]


@pytest.mark.parametrize("stream_name", ["frame_stream", "bad_stream"])
@pytest.mark.parametrize("errors", ["strict", "skip"])
def test_every_split_point(stream_name, errors):
    stream = globals()[stream_name]()
    expected, tail = reference(stream)
    whole = run_chunks([stream], errors=errors)
    if errors == "skip":
        expected = [x for x in expected if isinstance(x, bytes)]
    assert whole[0] == expected
    for i in range(len(stream) + 1):
        got = run_chunks([stream[:i], stream[i:]], errors=errors)
        assert got[0] == expected, i
        assert (got[1] is None) == (not tail or errors == "skip")


def test_byte_at_a_time():
    stream = frame_stream() + bad_stream()
    expected, _ = reference(stream)
    out, trailing, decoder = run_chunks([stream[i:i + 1] for i in range(len(stream))])
    assert out == expected
    assert trailing.offset == len(stream) - 2


@settings(max_examples=200, deadline=None)
@given(st.lists(st.binary(max_size=600), max_size=12), st.data())
def test_property_random_messages_any_chunking(messages, data):
    stream = b"".join(encode_frame(m) for m in messages)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=8)))
    chunks = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
    decoder = FrameDecoder()
    got = [f for c in chunks for f in decoder.feed(c)]
    assert got == messages
    decoder.close()


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=400), st.data(), st.sampled_from([None, 0, 3, 40, 254, 300]))
def test_property_any_bytes_any_chunking_matches_reference(stream, data, max_size):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=6)))
    chunks = [stream[a:b] for a, b in zip([0] + cuts, cuts + [len(stream)])]
    expected, tail = reference(stream, max_size)
    out, trailing, _ = run_chunks(chunks, max_frame_size=max_size)
    assert out == expected
    assert (trailing is None) == (tail == b"")
    skipped = FrameDecoder(max_frame_size=max_size, errors="skip")
    good = [f for c in chunks for f in skipped.feed(c)]
    skipped.close()
    assert good == [x for x in expected if isinstance(x, bytes)]
    assert skipped.bad_frames == len(expected) - len(good) + (1 if tail else 0)


# -- bad frames --------------------------------------------------------------

def test_strict_bad_frames_between_good_ones():
    decoder = FrameDecoder()
    chunk = (encode_frame(b"before") + b"\x05ab\x00" + encode_frame(b"middle") + b"\xff\x01\x00"
             + encode_frame(b"after"))
    with pytest.raises(FrameError) as info:
        decoder.feed(chunk)
    exc = info.value
    assert isinstance(exc, tavo.DecodeError)
    assert exc.frames == [b"before", b"middle", b"after"]
    assert [e.index for e in exc.errors] == [1, 3]
    assert exc is exc.errors[0]
    assert exc.reason == SHORT
    assert exc.frame == b"\x05ab"
    assert exc.size == 3
    assert exc.offset == len(encode_frame(b"before"))
    assert exc.position == 0
    assert str(exc).startswith("frame 1 at stream offset 8 (3 bytes): " + SHORT)
    second = exc.errors[1]
    assert (second.frame, second.reason, second.position) == (b"\xff\x01", SHORT, 0)
    assert decoder.bad_frames == 2 and decoder.good_frames == 3
    assert decoder.last_error is second
    # The decoder goes on cleanly with the next chunk.
    assert decoder.feed(encode_frame(b"next")) == [b"next"]
    decoder.close()


def test_strict_error_position_inside_frame():
    with pytest.raises(FrameError) as info:
        FrameDecoder().feed(encode_frame(b"xy") + b"\x03ab\x04c\x00")
    exc = info.value
    assert exc.position == 3 and exc.offset == 4
    assert str(exc).endswith("first bad byte at stream offset 7")
    assert exc.frames == [b"xy"] and exc.errors == [exc]


def test_strict_good_frames_of_the_failing_chunk_only():
    decoder = FrameDecoder()
    assert decoder.feed(encode_frame(b"a") + b"\x02") == [b"a"]
    with pytest.raises(FrameError) as info:
        decoder.feed(b"b\x00\x07\x00" + encode_frame(b"c") + b"\x02d")
    assert info.value.frames == [b"b", b"c"]
    assert decoder.feed(b"\x00") == [b"d"]


def test_skip_drops_and_counts():
    decoder = FrameDecoder(errors="skip")
    chunk = (encode_frame(b"before") + b"\x05ab\x00" + encode_frame(b"middle") + b"\xff\x01\x00"
             + encode_frame(b"after"))
    assert decoder.feed(chunk) == [b"before", b"middle", b"after"]
    assert decoder.bad_frames == 2
    assert decoder.last_error.frame == b"\xff\x01"
    assert decoder.feed(b"\x02") == []
    decoder.close()
    assert decoder.bad_frames == 3
    assert decoder.last_error.reason.startswith(TRUNCATED)


def test_errors_option_is_checked():
    with pytest.raises(ValueError):
        FrameDecoder(errors="ignore")
    with pytest.raises(ValueError):
        FrameDecoder(max_frame_size=-1)
    with pytest.raises(TypeError):
        FrameDecoder(max_frame_size=1.5)
    decoder = FrameDecoder(max_frame_size=None, errors="skip")
    assert decoder.max_frame_size is None and decoder.errors == "skip"


def test_frame_error_pickles():
    with pytest.raises(FrameError) as info:
        FrameDecoder().feed(encode_frame(b"ok") + b"\x05a\x00")
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        clone = pickle.loads(pickle.dumps(info.value, proto))
        assert type(clone) is FrameError
        assert str(clone) == str(info.value)
        assert (clone.reason, clone.frame, clone.index, clone.offset, clone.position,
                clone.frames) == (SHORT, b"\x05a", 1, 4, 0, [b"ok"])
        assert clone.errors == [clone]


# -- oversized frames --------------------------------------------------------

def test_oversized_frame_keeps_memory_bounded():
    max_size = 1000
    limit = max_size + max_size // 254 + 1
    decoder = FrameDecoder(max_frame_size=max_size)
    noise = b"\x55" * (1 << 16)
    total = 0
    tracemalloc.start()
    try:
        for _ in range(160):  # 10 MiB without a delimiter
            assert decoder.feed(noise) == []
            total += len(noise)
            assert decoder.buffered <= limit
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 64 * 1024
    with pytest.raises(FrameError) as info:
        decoder.feed(b"\x55\x00" + encode_frame(b"good"))
    exc = info.value
    assert exc.reason == "frame exceeds max_frame_size (1000 bytes)"
    assert exc.size == total + 1 and exc.frame == noise[:limit]
    assert exc.index == 0 and exc.offset == 0 and exc.position is None
    assert exc.frames == [b"good"]
    assert decoder.buffered == 0
    decoder.close()


def test_oversized_in_one_chunk_and_boundaries():
    for max_size in (0, 1, 253, 254, 255, 1000):
        decoder = FrameDecoder(max_frame_size=max_size)
        fits = bytes(range(1, 256)) * 4
        fits = fits[:max_size]
        big = fits + b"x"
        assert decoder.feed(encode_frame(fits)) == [fits]
        with pytest.raises(FrameError) as info:
            decoder.feed(encode_frame(fits) + encode_frame(big) + encode_frame(fits))
        assert info.value.frames == [fits, fits]
        assert OVERSIZED in info.value.reason


def test_zero_free_messages_of_every_length_around_one_block():
    # Up to 254 bytes a zero-free message is one block filling its frame;
    # from 255 on it takes two. Both kinds, at and past max_frame_size, and
    # a frame whose code points past its end, against the one-shot decoder.
    data = bytes(range(1, 256)) * 2
    for n in range(0, 300):
        message = data[:n]
        stream = encode_frame(message) + b"\x05ab\x00" + encode_frame(message)
        for max_size in (n, max(n - 1, 0), None):
            out, trailing, _ = run_chunks([stream], max_frame_size=max_size)
            assert (out, trailing) == (reference(stream, max_size)[0], None), (n, max_size)


def test_oversized_by_decoded_length():
    # 256 code bytes 01: a raw frame within the bound of a 254-byte message
    # that decodes to 255 zeros.
    decoder = FrameDecoder(max_frame_size=254, errors="skip")
    assert decoder.feed(b"\x01" * 256 + b"\x00" + b"\x01" * 255 + b"\x00") == [b"\x00" * 254]
    assert decoder.bad_frames == 1 and OVERSIZED in decoder.last_error.reason


def test_unbounded_frames():
    decoder = FrameDecoder(max_frame_size=None)
    message = b"\x01" * (3 << 20)
    frame = encode_frame(message)
    assert decoder.feed(frame[:100]) == []
    assert decoder.feed(frame[100:]) == [message]


# -- end of stream -----------------------------------------------------------

def test_trailing_partial_frame_is_reported():
    decoder = FrameDecoder()
    assert decoder.feed(encode_frame(b"ok") + b"\x03ab") == [b"ok"]
    with pytest.raises(FrameError) as info:
        decoder.close()
    exc = info.value
    assert exc.reason.startswith(TRUNCATED)
    assert (exc.frame, exc.index, exc.offset, exc.size) == (b"\x03ab", 1, 4, 3)
    assert exc.frames == []
    # Forgotten: the decoder is ready for a new stream.
    decoder.close()
    assert decoder.feed(encode_frame(b"new") + b"\x00") == [b"new"]
    decoder.close()
    assert decoder.bad_frames == 1


def test_trailing_partial_of_oversized_frame():
    decoder = FrameDecoder(max_frame_size=10, errors="skip")
    decoder.feed(b"\x01" * 100)
    decoder.close()
    assert decoder.bad_frames == 1 and decoder.last_error.size == 100
    assert len(decoder.last_error.frame) == 11


# -- read_frames -------------------------------------------------------------

def collect(reader):
    """Frames and str(errors) of a strict reader, resuming after errors."""
    out = []
    while True:
        try:
            for frame in reader:
                out.append(frame)
            return out
        except FrameError as exc:
            out.append(exc)


def test_read_frames_strict_raises_in_place_and_resumes():
    got = collect(read_frames(io.BytesIO(bad_stream()), chunk_size=7))
    expected, _ = reference(bad_stream())
    assert [x if isinstance(x, bytes) else ("bad", x.index, x.offset) for x in got[:-1]] \
        == expected
    assert got[-1].reason.startswith(TRUNCATED)


def test_read_frames_skip():
    reader = read_frames(io.BytesIO(bad_stream()), errors="skip")
    assert list(reader) == [b"first", b"second", b"third"]
    assert reader.decoder.bad_frames == 3
    for bad in ({"errors": "loose"}, {"chunk_size": 0}):
        with pytest.raises(ValueError):
            read_frames(io.BytesIO(), **bad)


def test_read_frames_stream_without_read1():
    class Port:
        def __init__(self, data):
            self.data = data
            self.sizes = []

        def read(self, size):
            self.sizes.append(size)
            chunk, self.data = self.data[:3], self.data[3:]
            return chunk

    port = Port(frame_stream())
    assert list(read_frames(port, chunk_size=100)) == reference(frame_stream())[0]
    assert set(port.sizes) == {100}


def test_read_frames_oversized():
    stream = encode_frame(b"a" * 50) + encode_frame(b"b" * 5)
    reader = read_frames(io.BytesIO(stream), max_frame_size=10, chunk_size=4)
    with pytest.raises(FrameError) as info:
        next(reader)
    assert info.value.size == 51 and OVERSIZED in info.value.reason
    assert list(reader) == [b"b" * 5]


def test_read_frames_yields_before_the_stream_ends():
    """Over a socket, a frame comes out as soon as its delimiter arrives."""
    a, b = socket.socketpair()
    a.settimeout(10)
    b.settimeout(10)
    with a, b, b.makefile("rb") as stream:
        reader = read_frames(stream)
        a.sendall(encode_frame(b"ping"))
        assert next(reader) == b"ping"
        a.sendall(b"\x05bad\x00" + encode_frame(b"pong"))
        with pytest.raises(FrameError):
            next(reader)
        assert next(reader) == b"pong"
        sender = threading.Thread(target=lambda: (a.sendall(encode_frame(b"bye")),
                                                  a.shutdown(socket.SHUT_WR)))
        sender.start()
        assert list(reader) == [b"bye"]
        sender.join()


def test_package_exports():
    for name in ("encode_frame", "FrameDecoder", "FrameError", "FrameReader", "read_frames",
                 "DEFAULT_MAX_FRAME_SIZE"):
        assert name in tavo.__all__ and hasattr(tavo, name)
    assert tavo.DEFAULT_MAX_FRAME_SIZE == 1 << 20
    assert issubclass(FrameError, tavo.DecodeError)
    assert tavo.encode is _tavoext.encode and tavo.decode is _tavoext.decode
    assert not hasattr(tavo, "sys")
