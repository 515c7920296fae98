"""Framing beyond the zero delimiter: encode_frames, any delimiter byte, the
error position, close() and non-blocking sources (Python 3)."""
import os
import socket
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tavoext
import tavo
from tavo import FrameDecoder, FrameError, encode_frame, encode_frames, read_frames

SHORT = "not enough input bytes for length code"
TRUNCATED = "stream ended inside a frame"
MESSAGES = [b"", b"\x00", b"\x7e\x7e", bytes(range(256)), b"\xff" * 600, b"x" * 3000]


def xor(data, key):
    return bytes(b ^ key for b in data)


def outcome(stream, chunks, **options):
    """Everything a skip-mode decoder makes of stream cut at the offsets in
    chunks: good frames, and (index, offset, size, position, reason, raw) of
    each bad one, in order; close() included."""
    decoder = FrameDecoder(errors="skip", **options)
    seen = []
    cuts = [0] + sorted(set(c % (len(stream) + 1) for c in chunks)) + [len(stream)]
    for a, b in zip(cuts, cuts[1:]):
        seen.extend(decoder.feed(stream[a:b]))
        seen.append(("bad-count", decoder.bad_frames))
    decoder.close()
    seen.append(("bad-count", decoder.bad_frames))
    return seen, decoder


class TestEncodeFrames:
    @pytest.mark.parametrize("delimiter", [0, 1, 0x7E, 255])
    def test_equals_frames_one_after_another(self, delimiter):
        expected = b"".join(encode_frame(m, delimiter) for m in MESSAGES)
        assert encode_frames(MESSAGES, delimiter) == expected
        assert encode_frames(iter(MESSAGES), delimiter=delimiter) == expected
        assert encode_frames([], delimiter) == b""

    def test_any_buffer_and_no_str(self):
        import array
        parts = [bytearray(b"a\x00"), memoryview(b"bc"), array.array("B", [0, 1])]
        assert encode_frames(parts) == b"".join(encode_frame(bytes(p)) for p in parts)
        with pytest.raises(TypeError):
            encode_frames([b"ok", "text"])
        with pytest.raises(TypeError):
            encode_frames(5)  # type: ignore[arg-type]

    def test_frames_decode_back(self):
        decoder = FrameDecoder(max_frame_size=None, delimiter=3)
        assert decoder.feed(encode_frames(MESSAGES, 3)) == MESSAGES


class TestDelimiter:
    @pytest.mark.parametrize("delimiter", range(256))
    def test_only_between_frames_and_round_trip(self, delimiter):
        message = bytes(range(256)) * 2
        frame = encode_frame(message, delimiter)
        assert frame.count(bytes([delimiter])) == 1 and frame[-1] == delimiter
        assert xor(frame[:-1], delimiter) == _tavoext.encode(message)
        decoder = FrameDecoder(delimiter=delimiter)
        assert decoder.feed(frame[:100]) == []
        assert decoder.feed(frame[100:] + frame) == [message, message]
        assert decoder.delimiter == delimiter

    @pytest.mark.parametrize("bad, error", [
        (-1, ValueError), (256, ValueError), (1.0, TypeError), ("0", TypeError),
        (True, TypeError), (None, TypeError), (b"\x00", TypeError)])
    def test_refused_everywhere(self, bad, error):
        calls = [lambda: encode_frame(b"x", bad), lambda: encode_frames([b"x"], bad),
                 lambda: FrameDecoder(delimiter=bad),
                 lambda: read_frames(open(os.devnull, "rb"), delimiter=bad)]
        for call in calls:
            with pytest.raises(error, match="delimiter"):
                call()

    @settings(max_examples=150, deadline=None)
    @given(stream=st.binary(max_size=600), cuts=st.lists(st.integers(0, 600), max_size=6),
           delimiter=st.integers(1, 255), max_size=st.sampled_from([None, 0, 3, 300]))
    def test_xored_stream_decodes_as_the_zero_delimited_one(self, stream, cuts, delimiter,
                                                            max_size):
        """Any stream, cut anywhere: decoding it with delimiter 0 and decoding
        its XOR with delimiter d give the same frames and the same errors."""
        plain, d0 = outcome(stream, cuts, max_frame_size=max_size)
        xored, d1 = outcome(xor(stream, delimiter), cuts, max_frame_size=max_size,
                            delimiter=delimiter)
        assert plain == xored
        assert (d0.good_frames, d0.bad_frames, d0.offset) == (
            d1.good_frames, d1.bad_frames, d1.offset)
        if d0.last_error is not None:
            a, b = d0.last_error, d1.last_error
            assert (a.index, a.offset, a.size, a.position, a.reason) == (
                b.index, b.offset, b.size, b.position, b.reason)
            assert b.frame == xor(a.frame, delimiter)

    def test_large_bad_frame_across_chunks(self):
        """A long frame (decoded off the stack) cut short, then split over
        three chunks: the first bad byte is the code byte of the block that
        runs past the end."""
        encoding = _tavoext.encode(b"\x01" * 3000)  # blocks of 255 bytes
        raw = xor(encoding[:2600], 0x7E)
        stream = encode_frame(b"before", 0x7E) + raw + b"\x7e" + encode_frame(b"after", 0x7E)
        decoder = FrameDecoder(delimiter=0x7E)
        frames = decoder.feed(stream[:5]) + decoder.feed(stream[5:1000])
        with pytest.raises(FrameError) as info:
            decoder.feed(stream[1000:])
        error = info.value
        assert frames + error.frames == [b"before", b"after"]
        assert (error.index, error.offset, error.size, error.reason) == (1, 8, 2600, SHORT)
        assert error.position == 2550 and error.frame == raw


class TestErrorPosition:
    def test_comes_without_the_benchmark_module(self):
        code = ("import sys, tavo\n"
                "d = tavo.FrameDecoder(errors='skip')\n"
                "d.feed(b'\\x01\\x02a\\x05xyz\\x00')\n"
                "print(d.last_error.position, 'tavo._kernels' in sys.modules)\n")
        out = subprocess.run([sys.executable, "-c", code], check=True, stdout=subprocess.PIPE)
        assert out.stdout.split() == [b"3", b"False"]


class TestClose:
    @pytest.mark.parametrize("errors", ["strict", "skip"])
    def test_cut_off_frame_takes_its_index(self, errors):
        decoder = FrameDecoder(errors=errors)
        assert decoder.feed(encode_frame(b"a") + b"\x03x") == [b"a"]
        try:
            decoder.close()
        except FrameError as exc:
            assert errors == "strict" and exc.index == 1 and TRUNCATED in exc.reason
        assert decoder.last_error is not None and decoder.last_error.index == 1
        try:
            decoder.feed(b"\x05bad\x00" + encode_frame(b"b"))
        except FrameError as exc:
            assert exc.frames == [b"b"]
        assert decoder.last_error.index == 2 and decoder.bad_frames == 2
        decoder.close()  # nothing pending: nothing to report
        assert decoder.bad_frames == 2


class TestNonBlockingSources:
    def check(self, reader, send, close):
        """Frames cut across reads from a source with nothing yet to read."""
        first, second = encode_frame(b"first"), encode_frame(b"second")
        assert list(reader) == [] and not reader.at_eof
        send(first[:3])
        assert list(reader) == [] and not reader.at_eof
        send(first[3:] + second[:2])
        assert list(reader) == [b"first"]
        assert list(reader) == [] and not reader.at_eof
        send(second[2:] + b"\x04ab")
        assert list(reader) == [b"second"]
        close()
        with pytest.raises(FrameError, match=TRUNCATED) as info:
            list(reader)
        assert info.value.index == 2 and info.value.offset == len(first + second)
        assert list(reader) == [] and reader.at_eof
        assert reader.decoder.good_frames == 2 and reader.decoder.bad_frames == 1

    @pytest.mark.parametrize("buffering", [0, -1])
    def test_pipe(self, buffering):
        r, w = os.pipe()
        os.set_blocking(r, False)
        with open(r, "rb", buffering=buffering) as source:
            try:
                self.check(read_frames(source), lambda data: os.write(w, data),
                           lambda: os.close(w))
            finally:
                try:
                    os.close(w)
                except OSError:
                    pass

    def test_socket(self):
        a, b = socket.socketpair()
        with a, b:
            a.setblocking(False)
            with a.makefile("rb") as source:
                self.check(read_frames(source), b.sendall, lambda: b.shutdown(socket.SHUT_WR))


class TestCommandLine:
    def run(self, *args, data):
        return subprocess.run([sys.executable, "-m", "tavo", "frames"] + list(args), input=data,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def test_delimiter_option(self):
        stream = encode_frames([b"ping", b"\x7e", b"pong"], 0x7E) + b"\x05bad\x7e"
        done = self.run("--delimiter", "0x7e", "--hex", "--skip", data=stream)
        assert done.stdout == b"70 69 6e 67\n7e\n70 6f 6e 67\n"
        assert done.returncode == 1
        assert b"frame 3 at stream offset 15" in done.stderr
        assert b"1 bad frame(s) skipped, 3 decoded" in done.stderr
        plain = self.run("-d", "126", data=stream[:-5])
        assert plain.stdout == b"ping~pong" and plain.returncode == 0

    @pytest.mark.skipif(sys.platform == "win32", reason="POSIX non-blocking pipe")
    def test_non_blocking_standard_input_waits_for_data(self):
        """stdin in non-blocking mode, fed in bursts: the command waits
        between them instead of taking the first empty read for the end."""
        r, w = os.pipe()
        os.set_blocking(r, False)  # shared with the child's fd 0
        child = subprocess.Popen([sys.executable, "-m", "tavo", "frames", "--hex"], stdin=r,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.close(r)
        wire = encode_frames([b"one", b"two", b"three"])
        try:
            os.write(w, wire[:7])  # a frame and a bit
            # The child has then read all there is, and its next read finds
            # nothing: it must wait, not end the stream.
            assert child.stdout.readline() == b"6f 6e 65\n"
            time.sleep(0.2)  # room for that read; the outcome never depends on it
            os.write(w, wire[7:])
        finally:
            os.close(w)
        out, err = child.communicate(timeout=60)
        assert (out, err, child.returncode) == (b"74 77 6f\n74 68 72 65 65\n", b"", 0)

    @pytest.mark.parametrize("value", ["256", "-1", "x", ""])
    def test_bad_delimiter_is_a_usage_error(self, value):
        done = self.run("--delimiter", value, data=b"")
        assert done.returncode == 2 and b"byte value" in done.stderr


def test_no_leak_on_any_path():
    """Good, bad, oversized, joined and refused frames, many times over: the
    traced memory stays flat, so no path keeps a reference it should drop."""
    import gc
    import tracemalloc
    wire = encode_frames([b"a" * 3000, b"b"], 7) + b"\x05bad\x07" + b"x" * 50

    def work():
        decoder = FrameDecoder(max_frame_size=2000, errors="skip", delimiter=7)
        decoder.feed(wire[:10])
        decoder.feed(wire[10:])
        decoder.close()
        encode_frames([b"x" * 10, bytearray(300)], 3)
        with pytest.raises(TypeError):
            encode_frames([b"x", "s"])

    tracemalloc.start()
    try:
        for _ in range(500):  # warm up under tracing: caches, allocator pages
            work()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            work()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # Leaking the oversized head alone would be 6 MB. The slack is for the
    # free-threaded build, which frees list storage late (after every thread
    # has passed a safe point): some 100 KB there.
    assert growth < 1 << 20
