"""Which Python 3 objects the codec accepts as input."""
import array
import binascii
import mmap
import sys

import _tavoext
import pytest

RAW = b"ab\0cd\0\0" + bytes(range(1, 256))
ENCODED = _tavoext.encode(RAW)


class Sub(bytes):
    pass


def _mmap_of(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


@pytest.mark.parametrize("convert", [
    bytes, bytearray, memoryview, Sub, _mmap_of,
    lambda b: array.array("B", b),
    lambda b: memoryview(bytearray(b)).toreadonly(),
    lambda b: memoryview(b"xx" + b + b"yy")[2:-2],  # contiguous slice
], ids=["bytes", "bytearray", "memoryview", "bytes-subclass", "mmap", "array",
        "readonly-view", "sliced-view"])
def test_bytes_like_inputs_convert(convert):
    assert _tavoext.encode(convert(RAW)) == ENCODED
    assert _tavoext.decode(convert(ENCODED)) == RAW


def test_multibyte_items_are_read_as_their_bytes():
    words = array.array("I", [0, 0x01020304, 0xFFFFFFFF])
    assert _tavoext.encode(words) == _tavoext.encode(words.tobytes())


@pytest.mark.parametrize("func", [_tavoext.encode, _tavoext.decode])
def test_str_is_refused(func):
    with pytest.raises(TypeError):
        func("abc")
    with pytest.raises(TypeError):
        func("")


@pytest.mark.parametrize("func", [_tavoext.encode, _tavoext.decode])
def test_non_contiguous_view_is_refused(func):
    with pytest.raises((TypeError, BufferError)):
        func(memoryview(b"abcdef")[::2])


def test_input_buffer_is_released_after_each_call():
    # A bytearray with a live export cannot be resized.
    data = bytearray(RAW)
    _tavoext.encode(data)
    _tavoext.decode(bytearray(ENCODED))
    with pytest.raises(_tavoext.DecodeError):
        _tavoext.decode(data)
    data.extend(b"more")  # raises BufferError if a view leaked
    big = bytearray(200000)  # past the size where the GIL is released
    _tavoext.encode(big)
    big.append(1)


# A class can export a buffer from Python code only from 3.12 on.
needs_python_exporter = pytest.mark.skipif(sys.version_info < (3, 12),
                                           reason="__buffer__ needs Python 3.12")


class ExportsOnSecondTry:
    """Its first export raises `error`; any later one would succeed."""

    def __init__(self, error):
        self.error = error
        self.calls = 0

    def __buffer__(self, flags):
        self.calls += 1
        if self.calls == 1:
            raise self.error
        return memoryview(RAW)


@needs_python_exporter
@pytest.mark.parametrize("func", [_tavoext.encode, _tavoext.decode])
@pytest.mark.parametrize("error", [ValueError("no export now"), KeyboardInterrupt()],
                         ids=["ValueError", "KeyboardInterrupt"])
def test_failed_export_keeps_its_exception_and_is_not_retried(func, error):
    source = ExportsOnSecondTry(error)
    with pytest.raises(type(error)) as info:
        func(source)
    assert info.value is error
    assert source.calls == 1


@pytest.mark.parametrize("func", [_tavoext.encode, _tavoext.decode])
def test_released_view_raises_its_own_error(func):
    view = memoryview(ENCODED)
    view.release()
    with pytest.raises(ValueError):
        func(view)


@pytest.mark.parametrize("func", [_tavoext.encode, _tavoext.decode])
@pytest.mark.parametrize("bad", [None, 5, "abc", [1, 2]], ids=["None", "int", "str", "list"])
def test_object_without_buffer_gets_the_hosts_message(func, bad):
    # The same words as any other bytes-like argument of the host's.
    with pytest.raises(TypeError) as host:
        binascii.hexlify(bad)
    with pytest.raises(TypeError) as info:
        func(bad)
    assert str(info.value) == str(host.value)
