"""tavo._stream's codec part: the incremental Encoder and Decoder against the
one-shot functions for every way of cutting the input, the caller-buffer
entry points, and the size functions."""
import array
import collections
import mmap
import random
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tavoext import DecodeError, decode, encode

_stream = pytest.importorskip("tavo._stream")
_kernels = pytest.importorskip("tavo._kernels")
Encoder, Decoder = _stream.Encoder, _stream.Decoder

ZERO = "zero byte found in input"
SHORT = "not enough input bytes for length code"


def nonzero(rng, n):
    return bytes(rng.randint(1, 255) for _ in range(n))


def shaped_inputs():
    """Block edges: runs of 253/254/255/508 non-zero bytes, zeros at either
    end, runs of zeros, and a little of everything."""
    rng = random.Random(31)
    yield from (b"", b"\x00", b"\x00\x00", b"a", b"a\x00", b"\x00a", b"ab\x00cd")
    for n in (1, 252, 253, 254, 255, 256, 507, 508, 509):
        body = nonzero(rng, n)
        yield from (body, body + b"\x00", b"\x00" + body, body + b"\x00" + body[:3])
    yield bytes(20)
    yield bytes(rng.choice((0, 0, 7)) for _ in range(700))


SHAPED = list(shaped_inputs())


def pieces(data, cuts):
    bounds = [0] + sorted(cuts) + [len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


def encode_in_pieces(parts, encoder=None):
    encoder = encoder or Encoder()
    return b"".join(encoder.encode(p) for p in parts) + encoder.finish()


def one_shot(data):
    """decode() through the scalar kernel: the result, or the message and
    the offset of the first bad byte."""
    try:
        return ("ok", _kernels.decode("scalar", data))
    except DecodeError as exc:
        return ("error",) + tuple(exc.args)


def bad_block_start(data, offset):
    """Where the block that holds the bad byte at `offset` starts."""
    p = 0
    while p < offset and data[p] != 0 and p + data[p] <= offset:
        p += data[p]
    return p


def decode_in_pieces(parts, decoder=None):
    """Like one_shot, through a Decoder; on an error also the bytes it gave
    before the error (the chunks' results and the error's `partial`)."""
    decoder = decoder or Decoder()
    out = []
    try:
        for p in parts:
            out.append(decoder.decode(p))
        out.append(decoder.finish())
    except DecodeError as exc:
        return ("error", str(exc), exc.offset, b"".join(out) + exc.partial)
    return ("ok", b"".join(out))


def check_decoder(data, cuts):
    want = one_shot(data)
    got = decode_in_pieces(pieces(data, cuts))
    if want[0] == "ok":
        assert got == want, (data, cuts)
    else:
        # The same error, and exactly the whole blocks before the bad one.
        before = decode(data[:bad_block_start(data, want[2])])
        assert got == want + (before,), (data, cuts)


runs = st.lists(
    st.one_of(
        st.binary(max_size=600).map(lambda b: b.replace(b"\0", b"\1")),
        st.integers(0, 5).map(lambda k: b"\0" * k),
        st.sampled_from([253, 254, 255, 508]).map(lambda k: b"\x7f" * k),
    ),
    max_size=6,
).map(b"".join)
inputs = st.one_of(st.binary(max_size=1500), runs)


@st.composite
def cut_input(draw, data_strategy):
    data = draw(data_strategy)
    cuts = draw(st.lists(st.integers(0, len(data)), max_size=8))
    return data, cuts


@st.composite
def damaged_encodings(draw):
    raw = bytearray(encode(draw(inputs)))
    for _ in range(draw(st.integers(0, 3))):
        if raw:
            raw[draw(st.integers(0, len(raw) - 1))] = draw(st.sampled_from([0, 1, 2, 254, 255]))
    if draw(st.booleans()):
        del raw[draw(st.integers(0, len(raw))):]
    return bytes(raw)


class TestEncoder:
    def test_every_single_cut(self):
        for data in SHAPED:
            for cut in range(len(data) + 1):
                assert encode_in_pieces(pieces(data, [cut])) == encode(data), (data, cut)

    def test_byte_at_a_time(self):
        for data in SHAPED:
            assert encode_in_pieces([data[i:i + 1] for i in range(len(data))]) == encode(data)

    @given(cut_input(inputs))
    @settings(max_examples=500, deadline=None)
    def test_any_cuts(self, case):
        data, cuts = case
        assert encode_in_pieces(pieces(data, cuts)) == encode(data)

    def test_returns_blocks_as_soon_as_they_close(self):
        rng = random.Random(3)
        data = bytes(rng.choice((0, 1, 2, 3)) for _ in range(3000)) + nonzero(rng, 2000)
        encoder, so_far = Encoder(), b""
        whole = encode(data)
        for i in range(0, len(data), 97):
            so_far += encoder.encode(data[i:i + 97])
            assert whole.startswith(so_far)
            # Only the open block waits: its code byte and < 254 data bytes.
            assert len(encode(data[:i + 97])) - len(so_far) <= 254
        assert so_far + encoder.finish() == whole

    def test_finish_starts_a_new_message(self):
        encoder = Encoder()
        assert encoder.finish() == encode(b"")
        assert encoder.finish() == encode(b"")
        for message in (b"x" * 254, b"ab\x00", b"x" * 300, b""):
            assert encode_in_pieces([message[:100], message[100:]], encoder) == encode(message)

    def test_bytes_like_chunks(self):
        data = bytes(range(256)) * 3
        got = encode_in_pieces([bytearray(data[:10]), memoryview(data)[10:500],
                                array.array("B", data[500:])])
        assert got == encode(data)

    def test_bad_arguments(self):
        with pytest.raises(TypeError):
            Encoder().encode("text")
        with pytest.raises(TypeError):
            Encoder(1)
        with pytest.raises(TypeError):
            Encoder().encode()
        with pytest.raises(TypeError):
            Encoder().finish(b"")


class TestDecoder:
    def test_every_single_cut_of_valid_encodings(self):
        for data in SHAPED:
            encoded = encode(data)
            for cut in range(len(encoded) + 1):
                assert decode_in_pieces(pieces(encoded, [cut])) == ("ok", data), (data, cut)

    def test_non_canonical_encodings(self):
        body = b"\x7f" * 254
        for encoded, data in ((b"", b""), (b"\x01", b""), (b"\xff" + body + b"\x01", body),
                              (b"\xff" + body + b"\x01\x01", body + b"\x00")):
            for cut in range(len(encoded) + 1):
                assert decode_in_pieces(pieces(encoded, [cut])) == ("ok", data)

    def test_every_cut_of_damaged_encodings(self):
        rng = random.Random(8)
        cases = [b"\x00", b"\x02", b"\x03a", b"\x02a\x00", b"\x03a\x00b", b"\x05a\x00",
                 b"a\x00", b"\xff" + b"\x7f" * 253, b"\x05a\x00bc", b"\x02a\x00" + b"0" * 20]
        for data in SHAPED[::3]:
            raw = bytearray(encode(data))
            if raw:
                raw[rng.randrange(len(raw))] = rng.choice((0, 1, 2, 255))
            cases.append(bytes(raw))
        for case in cases:
            for cut in range(len(case) + 1):
                check_decoder(case, [cut])
            check_decoder(case, list(range(len(case))))  # byte at a time

    @given(cut_input(st.one_of(damaged_encodings(), st.binary(max_size=300))))
    @settings(max_examples=800, deadline=None)
    def test_any_cuts_of_any_bytes(self, case):
        check_decoder(*case)

    @given(cut_input(inputs.map(encode)))
    @settings(max_examples=300, deadline=None)
    def test_any_cuts_of_valid_encodings(self, case):
        encoded, cuts = case
        assert decode_in_pieces(pieces(encoded, cuts)) == ("ok", decode(encoded))

    def test_a_block_is_returned_once_whole(self):
        decoder = Decoder()
        assert decoder.decode(b"\x05ab") == b""
        assert decoder.decode(b"c") == b""
        assert decoder.decode(b"d\x03x") == b"abcd"
        # The zero after a block comes with the next block, once that is whole.
        assert decoder.decode(b"y") == b"\x00xy"
        assert decoder.decode(b"\x01") == b"\x00"
        assert decoder.finish() == b""

    def test_finish_reports_a_cut_off_block(self):
        decoder = Decoder()
        decoder.decode(b"\x02a\x05a\x00")  # a zero in a block cut off: the length is the error
        with pytest.raises(DecodeError) as info:
            decoder.finish()
        assert str(info.value) == SHORT and info.value.offset == 2
        assert info.value.partial == b""

    def test_offsets_count_the_whole_stream(self):
        decoder = Decoder()
        decoder.decode(b"\x02a" * 1000)
        with pytest.raises(DecodeError) as info:
            decoder.decode(b"\x03b\x00")
        assert (str(info.value), info.value.offset) == (ZERO, 2002)
        assert info.value.partial == b""

    def test_an_error_is_final(self):
        decoder = Decoder()
        with pytest.raises(DecodeError) as first:
            decoder.decode(b"\x02a\x02b\x00\x02c")
        assert first.value.partial == b"a\x00b"
        for call in (lambda: decoder.decode(b"\x02a"), decoder.finish, decoder.finish):
            with pytest.raises(DecodeError) as again:
                call()
            assert (str(again.value), again.value.offset) == (ZERO, 4)
            assert again.value.partial == b""

    def test_finish_starts_a_new_encoding(self):
        decoder = Decoder()
        assert decoder.decode(b"\x03ab") == b"ab"
        assert decoder.finish() == b""
        assert decoder.decode(b"\x02c") == b"c"  # no zero left owed from before
        with pytest.raises(DecodeError) as info:
            decoder.decode(b"\x00")
        assert info.value.offset == 2  # offsets start again at the new encoding

    def test_bytes_like_chunks_and_bad_arguments(self):
        encoded = encode(bytes(range(256)) * 2)
        decoder = Decoder()
        got = decoder.decode(bytearray(encoded[:7])) + decoder.decode(memoryview(encoded)[7:])
        assert got + decoder.finish() == bytes(range(256)) * 2
        with pytest.raises(TypeError):
            Decoder().decode("text")
        with pytest.raises(TypeError):
            Decoder(max_size=3)


class TestLargeChunks:
    """Chunks above 64 KiB run without the GIL; the result must not change."""

    def test_round_trip_in_large_chunks(self):
        rng = random.Random(12)
        data = bytes(rng.choice((0,) + tuple(range(1, 256)) * 3) for _ in range(200000))
        data += b"\x41" * 100000 + bytes(70000)
        cuts = [65536, 65537, 200003, 300000]
        encoded = encode(data)
        assert encode_in_pieces(pieces(data, cuts)) == encoded
        assert decode_in_pieces(pieces(encoded, cuts)) == ("ok", data)
        bad = bytearray(encoded)
        bad[250000] = 0
        check_decoder(bytes(bad), cuts)

    def test_one_decoder_shared_by_threads(self):
        """Calls on one object take turns: each chunk below straddles a block
        boundary, so a call that ran into another would garble the blocks it
        shares with its neighbours."""
        rng = random.Random(5)
        blocks = encode(bytes(rng.choice((0, 9, 10, 11)) for _ in range(70000)))
        head, tail = blocks[:len(blocks) // 2 + 3], blocks[len(blocks) // 2 + 3:]
        chunk, copies = tail + head, 24
        stream = head + chunk * copies + tail  # == blocks * (copies + 1)
        decoder = Decoder()
        results = [decoder.decode(head)]
        lock = threading.Lock()

        def work():
            for _ in range(copies // 4):
                got = decoder.decode(chunk)
                with lock:
                    results.append(got)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        results.append(decoder.decode(tail))
        assert decoder.finish() == b""
        whole = decode(stream)
        assert sum(map(len, results)) == len(whole)
        assert collections.Counter(b"".join(results)) == collections.Counter(whole)


class TestIntoBuffers:
    SENTINEL = 0xA5

    def test_encode_into_any_writable_buffer(self):
        for data in SHAPED:
            need = _stream.max_encoded_length(len(data))
            for out in (bytearray(need), memoryview(bytearray(need + 5)), array.array("B",
                        bytes(need))):
                n = _stream.encode_into(data, out)
                assert bytes(out[:n]) == encode(data)

    def test_into_an_mmap(self):
        data = b"mapped\x00" * 100
        with mmap.mmap(-1, _stream.max_encoded_length(len(data))) as out:
            assert out[:_stream.encode_into(data, out)] == encode(data)

    def test_decode_into_exact_sizes(self):
        for data in SHAPED:
            encoded = encode(data)
            out = bytearray(len(encoded) - 1)
            assert out[:_stream.decode_into(encoded, out)] == data
        assert _stream.decode_into(b"", bytearray()) == 0
        assert _stream.decode_into(b"\x01", bytearray()) == 0

    def test_nothing_written_past_the_bound(self):
        rng = random.Random(2)
        for n in (0, 1, 15, 16, 17, 100, 253, 254, 255, 1000, 5000):
            for data in (nonzero(rng, n), bytes(n), bytes(rng.choice((0, 5)) for _ in range(n))):
                need = _stream.max_encoded_length(n)
                out = bytearray([self.SENTINEL]) * (need + 64)
                m = _stream.encode_into(data, out)
                assert out[need:] == bytearray([self.SENTINEL]) * 64
                back = bytearray([self.SENTINEL]) * (m - 1 + 64)
                assert back[:_stream.decode_into(out[:m], back)] == data
                assert back[m - 1:] == bytearray([self.SENTINEL]) * 64

    def test_returned_lengths_across_the_small_message_range(self):
        # Lengths up to about a kilobyte come from a table made at import;
        # every one of them, and those past its end, must be the true count.
        out = bytearray(_stream.max_encoded_length(1300))
        for n in list(range(0, 1300, 7)) + [254, 255, 256, 257, 1097, 1098, 1099, 1100, 1101]:
            data = b"\x07" * n
            written = _stream.encode_into(data, out)
            assert type(written) is int and written == len(encode(data))
            back = bytearray(written)
            got = _stream.decode_into(bytes(out[:written]), back)
            assert type(got) is int and got == n

    def test_too_small_is_refused_before_writing(self):
        data = b"\x00" * 10 + b"x" * 300
        out = bytearray([self.SENTINEL]) * (_stream.max_encoded_length(len(data)) - 1)
        with pytest.raises(ValueError, match="encoding 310 bytes may take up to 312 bytes"):
            _stream.encode_into(data, out)
        assert set(out) == {self.SENTINEL}
        encoded = encode(data)  # decodes to less than len - 1, but may not
        out = bytearray([self.SENTINEL]) * (len(data))
        with pytest.raises(ValueError, match=r"up to %d bytes \(len\(data\) - 1\)"
                           % (len(encoded) - 1)):
            _stream.decode_into(encoded, out)
        assert set(out) == {self.SENTINEL}
        with pytest.raises(ValueError):
            _stream.decode_into(b"\x02a", bytearray())

    def test_unusable_buffers(self):
        with pytest.raises(TypeError):
            _stream.encode_into(b"abc", bytes(10))  # read-only
        with pytest.raises((TypeError, BufferError)):
            _stream.encode_into(b"abc", memoryview(bytearray(20))[::2])  # not contiguous
        with pytest.raises(TypeError):
            _stream.decode_into("text", bytearray(10))
        shared = bytearray(b"\x03ab\x02c" + bytes(20))
        with pytest.raises(ValueError, match="overlap"):
            _stream.decode_into(memoryview(shared)[:5], memoryview(shared)[4:])
        with pytest.raises(ValueError, match="overlap"):
            _stream.encode_into(memoryview(shared)[:5], shared)

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ needs Python 3.12")
    @pytest.mark.parametrize("call", [
        lambda src: _stream.encode_into(src, bytearray(10)),
        lambda src: _stream.decode_into(src, bytearray(10)),
        lambda src: _stream.encode_into(b"abc", src),
        lambda src: _stream.decode_into(b"\x02a", src),
        lambda src: Encoder().encode(src),
        lambda src: Decoder().decode(src),
    ], ids=["encode_into data", "decode_into data", "encode_into out", "decode_into out",
            "Encoder", "Decoder"])
    @pytest.mark.parametrize("error", [ValueError("no export now"), KeyboardInterrupt()],
                             ids=["ValueError", "KeyboardInterrupt"])
    def test_failed_export_keeps_its_exception_and_is_not_retried(self, call, error):
        class ExportsOnSecondTry:
            calls = 0

            def __buffer__(self, flags):
                self.calls += 1
                if self.calls == 1:
                    raise error
                return memoryview(bytearray(b"\x02a"))

        source = ExportsOnSecondTry()
        with pytest.raises(type(error)) as info:
            call(source)
        assert info.value is error
        assert source.calls == 1

    def test_read_only_out_is_a_type_error_naming_the_call(self):
        for func, data in ((_stream.encode_into, b"abc"), (_stream.decode_into, b"\x02a")):
            with pytest.raises(TypeError, match=r"%s\(\) argument 2 must be read-write "
                               "bytes-like object, not bytes" % func.__name__) as info:
                func(data, bytes(10))
            assert isinstance(info.value.__context__, BufferError)

    def test_decode_into_agrees_with_decode(self):
        rng = random.Random(4)
        cases = [b"\x00", b"\x02", b"\x01", b"", b"\x05a\x00"]
        for data in SHAPED:
            raw = bytearray(encode(data))
            cases.append(bytes(raw))
            raw[rng.randrange(len(raw))] = rng.choice((0, 2, 255))
            cases.append(bytes(raw))
        for raw in cases:
            out = bytearray(max(len(raw) - 1, 0))
            try:
                got = ("ok", bytes(out[:_stream.decode_into(raw, out)]))
            except DecodeError as exc:
                got = ("error", str(exc), exc.offset)
            assert got == one_shot(raw), raw


class TestSizes:
    def test_max_encoded_length_is_the_worst_case(self):
        for n in range(0, 1300):
            candidates = [b"\x01" * n] + ([b"\x01" * (n - 1) + b"\x00"] if n else [])
            worst = max(len(encode(c)) for c in candidates)
            assert _stream.max_encoded_length(n) == n + n // 254 + 1
            # Reached, except at whole maximal blocks: those need no final block.
            assert worst == _stream.max_encoded_length(n) - (n > 0 and n % 254 == 0)

    def test_max_decoded_length_is_the_worst_case(self):
        assert _stream.max_decoded_length(0) == 0
        for n in range(1, 600):
            assert _stream.max_decoded_length(n) == len(decode(b"\x01" * n)) == n - 1

    def test_bad_sizes(self):
        for f in (_stream.max_encoded_length, _stream.max_decoded_length):
            with pytest.raises(ValueError, match="negative"):
                f(-1)
            with pytest.raises(TypeError):
                f(1.0)
            with pytest.raises(OverflowError):
                f(1 << 70)
        with pytest.raises(OverflowError):
            _stream.max_encoded_length(sys.maxsize)
        assert _stream.max_decoded_length(sys.maxsize) == sys.maxsize - 1
