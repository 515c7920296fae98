"""Every codec kernel agrees with the scalar reference, byte for byte and
error for error (same message, same input offset), through tavo._kernels."""
import random

import pytest

_kernels = pytest.importorskip("tavo._kernels")
from _tavoext import DecodeError  # noqa: E402

KERNELS = [name for name in _kernels.names() if name != "scalar"]


def outcome(name, op, data):
    try:
        return ("ok", getattr(_kernels, op)(name, data))
    except DecodeError as exc:
        return ("error",) + tuple(exc.args)


def nonzero(rng, count):
    return bytes(bytearray(rng.randint(1, 255) for _ in range(count)))


def shapes(rng):
    """Inputs that stress block edges, lane edges and every tail length."""
    for n in range(0, 300):
        yield bytes(n)                                   # all zeros
        yield nonzero(rng, n)                            # no zeros
        yield bytes(bytearray((i % 2) * 7 for i in range(n)))  # every other zero
    for n in (253, 254, 255, 256, 507, 508, 509, 762, 1000, 4096):
        body = nonzero(rng, n)
        yield body
        yield body + b"\0"
        yield b"\0" + body
        for cut in (1, 15, 16, 17, 31, 32, 33, 252, 253, 254, 255):
            if cut < n:
                yield body[:cut] + b"\0" + body[cut:]
    for _ in range(400):
        n = rng.choice([rng.randint(0, 70), rng.randint(0, 600), rng.randint(0, 5000)])
        density = rng.choice([0.0, 0.004, 0.05, 0.125, 0.5, 0.9, 1.0])
        yield bytes(bytearray(0 if rng.random() < density else rng.randint(1, 255)
                              for _ in range(n)))


@pytest.fixture(scope="module")
def inputs():
    return list(shapes(random.Random(1234)))


@pytest.mark.parametrize("name", KERNELS)
def test_encode_and_decode_agree_on_valid_data(name, inputs):
    for data in inputs:
        encoded = _kernels.encode("scalar", data)
        assert _kernels.encode(name, data) == encoded, (name, data)
        assert _kernels.decode(name, encoded) == data, (name, data)


def damaged(rng, encoded):
    """Damage an encoding: zero a byte, change a code, cut or extend it."""
    raw = bytearray(encoded)
    kind = rng.randrange(5)
    if kind == 0 and raw:
        raw[rng.randrange(len(raw))] = 0
    elif kind == 1 and raw:
        raw[rng.randrange(len(raw))] = rng.randint(1, 255)
    elif kind == 2 and raw:
        del raw[rng.randrange(len(raw)):]
    elif kind == 3:
        raw += bytearray(rng.randint(0, 255) for _ in range(rng.randint(1, 40)))
    else:
        for _ in range(rng.randint(1, 4)):
            if raw:
                raw[rng.randrange(len(raw))] = rng.choice([0, 1, 2, 15, 16, 17, 254, 255])
    return bytes(raw)


@pytest.mark.parametrize("name", KERNELS)
def test_decode_agrees_on_damaged_data(name, inputs):
    rng = random.Random(99)
    for data in inputs:
        encoded = _kernels.encode("scalar", data)
        for _ in range(3):
            bad = damaged(rng, encoded)
            assert outcome(name, "decode", bad) == outcome("scalar", "decode", bad), (name, bad)


@pytest.mark.parametrize("name", KERNELS)
def test_decode_agrees_on_arbitrary_bytes(name):
    rng = random.Random(7)
    for _ in range(3000):
        n = rng.randint(0, 80)
        low = rng.choice([0, 1])
        high = rng.choice([3, 20, 255])
        data = bytes(bytearray(rng.randint(low, high) for _ in range(n)))
        assert outcome(name, "decode", data) == outcome("scalar", "decode", data), (name, data)


@pytest.mark.parametrize("name", KERNELS)
def test_error_comes_first_in_input_order(name):
    # A short final block hides a later zero; a zero before it wins.
    short_then_zero = b"\x05\x61\x00"
    zero_then_short = b"\x02\x61\x00" + b"\x30" * 20
    assert outcome(name, "decode", short_then_zero) == (
        "error", "not enough input bytes for length code", 0)
    assert outcome(name, "decode", zero_then_short) == ("error", "zero byte found in input", 2)
    # Long runs of short blocks, then a fault at every position in a window.
    base = bytearray(_kernels.encode("scalar", bytes(bytearray(0 if i % 3 == 0 else 9
                                                                for i in range(200)))))
    for at in range(len(base)):
        for value in (0, 200):
            bad = bytearray(base)
            bad[at] = value
            bad = bytes(bad)
            assert outcome(name, "decode", bad) == outcome("scalar", "decode", bad), (name, at)


def test_active_kernel_is_one_this_cpu_runs():
    assert _kernels.active() in _kernels.names()
    assert "scalar" in _kernels.names()
    assert len(set(_kernels.names())) == len(_kernels.names())


def test_time_refuses_bad_arguments_and_bad_encodings():
    with pytest.raises(ValueError):
        _kernels.time("no-such-kernel", "encode", b"abc", 1)
    with pytest.raises(ValueError):
        _kernels.time("scalar", "transcode", b"abc", 1)
    with pytest.raises(ValueError):
        _kernels.time("scalar", "encode", b"abc", 0)
    with pytest.raises(DecodeError) as info:
        _kernels.time(_kernels.active(), "decode", b"\x05\x61", 1)
    assert info.value.args[0] == "not enough input bytes for length code"
    for lengths in ([1, 1], [4], [2, -1, 2], [], [1, "2"]):
        with pytest.raises((ValueError, TypeError)):
            _kernels.time("scalar", "encode", b"abc", 1, lengths)


def test_time_over_messages_checks_each_and_reports_where():
    messages = [bytes(bytearray([n] * n)) for n in range(1, 40)]
    encodings = [_kernels.encode("scalar", m) for m in messages]
    joined = b"".join(encodings)
    lengths = [len(e) for e in encodings]
    # Valid messages, cut where each ends, pass every kernel's check, and the
    # reference's in place of it for a job timed unseen.
    for name in _kernels.names() + ("memcpy",):
        for unseen in (0, 1):
            _kernels.time(name, "decode", joined, 2, lengths, unseen)
            _kernels.time(name, "encode", b"".join(messages), 2, [len(m) for m in messages],
                          unseen)
        _kernels.time(name, "decode", encodings[-1], 2)  # no lengths: one message
    # Cut inside a block, the first message is too short for its code.
    with pytest.raises(DecodeError) as info:
        _kernels.time("scalar", "decode", encodings[5], 1, [3, lengths[5] - 3])
    assert info.value.args == ("not enough input bytes for length code", 0)
    # A fault in the tenth message is reported at its place in the whole input.
    bad = bytearray(joined)
    at = sum(lengths[:9]) + 3
    bad[at] = 0
    for unseen in (0, 1):
        with pytest.raises(DecodeError) as info:
            _kernels.time(_kernels.active(), "decode", bytes(bad), 1, lengths, unseen)
        assert info.value.args == ("zero byte found in input", at)


@pytest.mark.parametrize("size", [128 * 1024 - 600, 128 * 1024, 131072 + 517, 3 << 20])
def test_large_results_are_ordinary_bytes(size):
    """Large results are cut to length without a realloc; they must still
    behave as any bytes object of that length."""
    import pickle
    import _tavoext
    rng = random.Random(size)
    data = bytes(bytearray(rng.choice([0, 1, 7, 200]) for _ in range(size)))
    encoded = _tavoext.encode(data)
    assert encoded == _kernels.encode("scalar", data)
    assert len(encoded) == len(_kernels.encode("scalar", data))
    decoded = _tavoext.decode(encoded)
    assert decoded == data
    for result in (encoded, decoded):
        copy = bytes(bytearray(result))
        assert hash(result) == hash(copy)
        assert pickle.loads(pickle.dumps(result)) == copy
        assert (result + b"x")[-2:] == copy[-1:] + b"x"
        assert result[len(result) - 1:] == copy[-1:]


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

# Bytes drawn mostly from small values, so zeros, short codes and lane-sized
# blocks are common, with whole-range bytes mixed in.
chunks = st.lists(st.one_of(st.binary(max_size=40),
                            st.lists(st.integers(0, 3), max_size=40).map(bytearray).map(bytes),
                            st.integers(1, 600).map(lambda n: b"\x07" * n)),
                  max_size=8).map(b"".join)


@hypothesis.settings(max_examples=300, deadline=None)
@hypothesis.given(data=chunks)
def test_property_all_kernels_agree(data):
    encoded = _kernels.encode("scalar", data)
    for name in KERNELS:
        assert _kernels.encode(name, data) == encoded
        assert _kernels.decode(name, encoded) == data
        assert outcome(name, "decode", data) == outcome("scalar", "decode", data)


def test_stream_entry_points_agree_with_scalar(inputs):
    """Encoder/Decoder and encode_into/decode_into (the fastest kernel around
    the codec room's state machines) against the scalar kernel."""
    _stream = pytest.importorskip("tavo._stream")
    rng = random.Random(17)
    for data in inputs:
        encoded = _kernels.encode("scalar", data)
        out = bytearray(_stream.max_encoded_length(len(data)))
        assert out[:_stream.encode_into(data, out)] == encoded
        cut = rng.randint(0, len(data))
        encoder = _stream.Encoder()
        assert encoder.encode(data[:cut]) + encoder.encode(data[cut:]) + encoder.finish() \
            == encoded
        for raw in (encoded, damaged(rng, encoded)):
            back = bytearray(_stream.max_decoded_length(len(raw)))
            decoder = _stream.Decoder()
            cut = rng.randint(0, len(raw))
            try:
                got = ("ok", bytes(back[:_stream.decode_into(raw, back)]))
            except DecodeError as exc:
                got = ("error", str(exc), exc.offset)
            try:
                streamed = ("ok", decoder.decode(raw[:cut]) + decoder.decode(raw[cut:])
                            + decoder.finish())
            except DecodeError as exc:
                streamed = ("error", str(exc), exc.offset)
            assert got == streamed == outcome("scalar", "decode", raw), raw
