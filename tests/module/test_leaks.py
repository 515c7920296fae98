"""No call path of the extension leaks.

Every path - encode, decode, each DecodeError, each argument error, inputs as
bytes, bytearray and memoryview, small inputs and inputs large enough for
the kernel to run without the GIL - is driven ITERATIONS times, and the
number of live allocations must not grow. A leak of one object per call
would show as ITERATIONS blocks; the slack allows for caches the interpreter
fills on its own.

Live allocations are counted with sys.getallocatedblocks() under pymalloc,
and with tracemalloc when PYTHONMALLOC=malloc (as in scripts/test-asan),
where getallocatedblocks() always says 0. References that leak without an
allocation (to the input, or to DecodeError) are caught by refcount checks,
and leaked buffer exports by resizing or releasing the input afterwards.
"""
import gc
import sys
import tracemalloc

import pytest

import _tavoext
from _tavoext import DecodeError, decode, encode

try:
    from tavo import _kernels
except ImportError:  # an interpreter for which only _tavoext was built
    _kernels = None

ITERATIONS = 100000
WARMUP = 2000
# Above the size at which the kernel runs with the GIL released (64 KiB).
LARGE = 1 << 16

SMALL_RAW = b"ab\x00cd\x00\x00" + bytes(bytearray(range(1, 200))) + b"\x00"
SMALL_ENC = encode(SMALL_RAW)
LARGE_RAW = (SMALL_RAW * (LARGE // len(SMALL_RAW) + 1))[:LARGE]
LARGE_ENC = encode(LARGE_RAW)


def as_bytes(data):
    return bytes(data)


def as_bytearray(data):
    return bytearray(data)


def as_memoryview(data):
    return memoryview(bytes(data))


KINDS = [as_bytes, as_bytearray, as_memoryview]
KIND_IDS = ["bytes", "bytearray", "memoryview"]


class LiveCounter(object):
    """Counts live allocations: pymalloc blocks, or tracemalloc's bytes."""

    def __init__(self):
        self.use_blocks = sys.getallocatedblocks() > 0
        self.started_tracemalloc = False
        if not self.use_blocks and not tracemalloc.is_tracing():
            tracemalloc.start()
            self.started_tracemalloc = True
        # A leak of one result or exception per call is far above these.
        self.slack = 200 if self.use_blocks else 256 * 1024

    def __call__(self):
        gc.collect()
        if self.use_blocks:
            return sys.getallocatedblocks()
        return tracemalloc.get_traced_memory()[0]

    def close(self):
        if self.started_tracemalloc:
            tracemalloc.stop()


def drive(call, keep_alive=()):
    """Runs call() WARMUP + ITERATIONS times; fails on growth of live
    allocations or of the refcounts of `keep_alive` and DecodeError."""
    for _ in range(WARMUP):
        call()
    counter = LiveCounter()
    try:
        before = counter()  # collects garbage first, so refcounts are settled
        refs_before = [sys.getrefcount(obj) for obj in keep_alive]
        cls_before = sys.getrefcount(DecodeError)
        for _ in range(ITERATIONS):
            call()
        after = counter()
        refs_after = [sys.getrefcount(obj) for obj in keep_alive]
        cls_after = sys.getrefcount(DecodeError)
    finally:
        counter.close()
    unit = "blocks" if counter.use_blocks else "bytes"
    assert after - before < counter.slack, "live %s grew by %d over %d calls" % (
        unit, after - before, ITERATIONS)
    assert refs_after == refs_before, "input refcounts %r -> %r" % (refs_before, refs_after)
    assert cls_after == cls_before, "DecodeError refcount %d -> %d" % (cls_before, cls_after)


def check_released(data):
    """The call left no buffer export behind on the input."""
    if isinstance(data, bytearray):
        data.append(0)  # BufferError if an export were still held
        data.pop()
    elif isinstance(data, memoryview):
        data.release()  # BufferError if an export were still held


# ---------------------------------------------------------------------------
# Successful calls.

# Large inputs cost ~50-120 us a call, so each large path runs with one kind
# of input: the GIL-free stretch of the frame does not depend on it, and the
# kinds' own acquire/release paths are covered by the small inputs.
@pytest.mark.parametrize("kind,raw", [(kind, raw) for raw in (b"", SMALL_RAW) for kind in KINDS]
                         + [(as_bytearray, LARGE_RAW)],
                         ids=["empty-" + k for k in KIND_IDS] + ["small-" + k for k in KIND_IDS]
                         + ["large-bytearray"])
def test_encode(kind, raw):
    data = kind(raw)
    expected = encode(raw)

    def call():
        if encode(data) != expected:
            raise AssertionError("wrong encoding")

    drive(call, [data])
    check_released(data)


DECODE_CASES = [(b"", b""), (b"", b"\x01"), (SMALL_RAW, SMALL_ENC)]
DECODE_IDS = ["empty", "01", "small"]


@pytest.mark.parametrize("kind,raw,enc",
                         [(kind,) + case for case in DECODE_CASES for kind in KINDS]
                         + [(as_bytes, LARGE_RAW, LARGE_ENC)],
                         ids=[c + "-" + k for c in DECODE_IDS for k in KIND_IDS]
                         + ["large-bytes"])
def test_decode(kind, raw, enc):
    data = kind(enc)

    def call():
        if decode(data) != raw:
            raise AssertionError("wrong decoding")

    drive(call, [data])
    check_released(data)


# ---------------------------------------------------------------------------
# Each DecodeError, at the start, in the middle and, for large inputs, where
# the kernel runs without the GIL.

ZERO = "zero byte found in input"
SHORT = "not enough input bytes for length code"
BAD_INPUTS = [
    (b"\x00", ZERO),                              # zero where the first code byte belongs
    (b"\x03a\x00b", ZERO),                        # zero among data bytes
    (b"\x02a\x00", ZERO),                         # zero where a later code byte belongs
    (b"\x02", SHORT),                             # first block runs past the end
    (SMALL_ENC + b"\x05ab", SHORT),               # a later block runs past the end
    (b"\x00" + LARGE_ENC[1:], ZERO),              # large (GIL released): zero first
]
BAD_IDS = ["zero-code", "zero-data", "zero-later-code", "short", "short-later", "large-zero"]


@pytest.mark.parametrize("kind", KINDS, ids=KIND_IDS)
@pytest.mark.parametrize("bad,message", BAD_INPUTS, ids=BAD_IDS)
def test_decode_error(kind, bad, message):
    data = kind(bad)

    def call():
        try:
            decode(data)
        except DecodeError as exc:
            if exc.args != (message,):
                raise AssertionError(exc.args)
        else:
            raise AssertionError("no DecodeError")

    drive(call, [data])
    check_released(data)


# ---------------------------------------------------------------------------
# Each argument error. None of these reaches the codec.

def _noncontiguous():
    return memoryview(b"abcdefgh")[::2]


def _released():
    view = memoryview(b"\x02a")
    view.release()
    return view


ARG_ERRORS = [
    ((), {}, TypeError),
    ((b"\x01", b"\x01"), {}, TypeError),
    ((), {"in_bytes": b"\x01"}, TypeError),
    ((None,), {}, TypeError),
    ((5,), {}, TypeError),
    (("\x01",), {}, TypeError),                   # str is not bytes-like
    (([1, 2],), {}, TypeError),
    ((_noncontiguous(),), {}, (TypeError, BufferError, ValueError)),
    ((_released(),), {}, ValueError),
]
ARG_IDS = ["no-args", "two-args", "keyword", "None", "int", "str", "list",
           "noncontiguous", "released-view"]


@pytest.mark.parametrize("func", [encode, decode], ids=["encode", "decode"])
@pytest.mark.parametrize("args,kwargs,error", ARG_ERRORS, ids=ARG_IDS)
def test_argument_error(func, args, kwargs, error):
    def call():
        try:
            func(*args, **kwargs)
        except DecodeError:
            raise AssertionError("DecodeError for an argument error")
        except error:
            pass
        else:
            raise AssertionError("accepted %r %r" % (args, kwargs))

    drive(call, list(args) + list(kwargs.values()))


# ---------------------------------------------------------------------------
# The private per-kernel entry points share the same frame shape.

KERNELS = list(_kernels.names()) if _kernels is not None else []


@pytest.mark.skipif(_kernels is None, reason="tavo._kernels not built")
@pytest.mark.parametrize("name", KERNELS)
def test_kernels_module_paths(name):
    data = bytearray(SMALL_RAW)
    enc = memoryview(SMALL_ENC)

    def call():
        if _kernels.encode(name, data) != SMALL_ENC:
            raise AssertionError("wrong encoding")
        if _kernels.decode(name, enc) != SMALL_RAW:
            raise AssertionError("wrong decoding")
        try:
            _kernels.decode(name, b"\x03a\x00b")
        except DecodeError as exc:
            if exc.args != (ZERO, 2):
                raise AssertionError(exc.args)
        else:
            raise AssertionError("no DecodeError")
        try:
            _kernels.encode("no such kernel", data)
        except ValueError:
            pass
        else:
            raise AssertionError("unknown kernel accepted")

    drive(call, [data, name])
    check_released(data)
    enc.release()


def test_decode_error_class_is_the_modules():
    # Sanity for the refcount checks above: they watch the class decode raises.
    assert DecodeError is _tavoext.DecodeError
