"""Many threads calling encode and decode at once get correct results.

Inputs above 64 KiB make the kernel run with the GIL released, so those calls
truly overlap; smaller ones interleave under the GIL. Results are checked
against answers computed single-threaded beforehand (and, for small inputs,
against the plain reference codec).
"""
import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference  # noqa: E402
from _tavoext import DecodeError, decode, encode  # noqa: E402

try:
    from tavo import _kernels
except ImportError:
    _kernels = None

FREE_THREADED = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 6
KIB = 1024


def _sample(rng, size, zero_rate):
    if zero_rate == 0.0:
        return bytes(bytearray(rng.randint(1, 255) for _ in range(min(size, 4096)))) * (
            size // 4096 + 1)
    block = bytes(bytearray(0 if rng.random() < zero_rate else rng.randint(1, 255)
                            for _ in range(4096)))
    return (block * (size // 4096 + 1))[:size]


def _inputs():
    rng = random.Random(2024)
    raws = [b"", b"\x00", b"ab\x00cd"]
    for size in (253, 254, 255, 1000, 64 * KIB - 1, 64 * KIB, 64 * KIB + 1, 200 * KIB, 1024 * KIB):
        for zero_rate in (0.0, 0.01, 0.3):
            raws.append(_sample(rng, size, zero_rate)[:size])
    return raws


RAWS = _inputs()
ENCODED = [encode(raw) for raw in RAWS]
# Malformed inputs, small and large, and the message each must raise.
BAD = [
    (b"\x00", "zero byte found in input"),
    (b"\x03a\x00b", "zero byte found in input"),
    (b"\x05ab", "not enough input bytes for length code"),
    (ENCODED[-1][:-1] + b"\x00", "zero byte found in input"),
    (ENCODED[-1] + b"\xfe", "not enough input bytes for length code"),
    (ENCODED[-4][: len(ENCODED[-4]) // 2] + b"\x00" + ENCODED[-4][len(ENCODED[-4]) // 2:],
     None),  # message depends on where the zero lands: taken from the reference
]


def _expected_error(data):
    try:
        reference.decode(data)
    except reference.ReferenceError_ as exc:
        return str(exc)
    raise AssertionError("reference decoded a malformed input")


BAD = [(data, message or _expected_error(data)) for data, message in BAD]


def test_single_threaded_answers_match_reference():
    for raw, enc in zip(RAWS, ENCODED):
        if len(raw) <= 4096:
            assert enc == reference.encode(raw)
        assert decode(enc) == raw
    for data, message in BAD:
        with pytest.raises(DecodeError) as info:
            decode(data)
        assert str(info.value) == message


def _run_threads(work, count=THREADS):
    barrier = threading.Barrier(count)
    failures = []

    def runner(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as exc:  # reported below, with the thread's index
            failures.append("thread %d: %r" % (index, exc))

    threads = [threading.Thread(target=runner, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert not failures, failures


def test_many_threads_encode_and_decode():
    cases = list(range(len(RAWS)))

    def work(index):
        rng = random.Random(index)
        order = cases[:]
        for _ in range(ROUNDS):
            rng.shuffle(order)
            for i in order:
                kind = (bytes, bytearray, memoryview)[(i + index) % 3]
                if encode(kind(RAWS[i])) != ENCODED[i]:
                    raise AssertionError("wrong encoding of input %d (%d bytes)" % (i, len(RAWS[i])))
                if decode(kind(ENCODED[i])) != RAWS[i]:
                    raise AssertionError("wrong decoding of input %d" % i)
            for data, message in BAD:
                try:
                    decode(data)
                except DecodeError as exc:
                    if str(exc) != message:
                        raise AssertionError("%r for %d bytes" % (exc, len(data)))
                else:
                    raise AssertionError("decoded a malformed input of %d bytes" % len(data))

    _run_threads(work)


def test_threads_on_one_shared_input():
    # All threads read the same large objects at the same time.
    raw, enc = RAWS[-1], ENCODED[-1]
    shared = [raw, bytearray(raw), memoryview(raw)]
    shared_enc = [enc, bytearray(enc), memoryview(enc)]

    def work(index):
        for _ in range(ROUNDS * 2):
            if encode(shared[index % 3]) != enc:
                raise AssertionError("wrong encoding")
            if decode(shared_enc[index % 3]) != raw:
                raise AssertionError("wrong decoding")

    _run_threads(work)


def test_resizing_an_input_while_it_is_being_coded():
    # While a kernel reads a bytearray without the GIL, the buffer export must
    # keep other threads from resizing (and so moving or freeing) it: they get
    # BufferError, never a crash, and the result is still right.
    raw, enc = RAWS[-1], ENCODED[-1]
    data = bytearray(raw)
    encoded = bytearray(enc)
    stop = threading.Event()
    refused = [0]

    # With a GIL, bytearray.__init__ empties the buffer and refills it from
    # the snapshot in one step, so a caller never sees other content. Without
    # one, a call may export the buffer half refilled: its result is then that
    # content's, so only well-formedness can be checked there.
    exact = not sysconfig.get_config_var("Py_GIL_DISABLED")

    def resizer():
        # The storage is freed and moved: reading the old one would be a
        # use-after-free (which scripts/test-asan reports).
        while not stop.is_set():
            for buf, snapshot in ((data, raw), (encoded, enc)):
                try:
                    buf.__init__(snapshot)
                except BufferError:
                    refused[0] += 1

    def work(index):
        try:
            for _ in range(ROUNDS * 4):
                if index % 2:
                    out = encode(data)
                    if exact and out != enc:
                        raise AssertionError("wrong encoding")
                    if b"\x00" in out or len(out) > len(raw) + len(raw) // 254 + 1:
                        raise AssertionError("malformed encoding")
                elif exact:
                    if decode(encoded) != raw:
                        raise AssertionError("wrong decoding")
                else:
                    try:
                        if len(decode(encoded)) > len(enc):
                            raise AssertionError("decoding too long")
                    except DecodeError:
                        pass
        finally:
            stop.set()

    thread = threading.Thread(target=resizer)
    thread.start()
    try:
        _run_threads(work, 4)
    finally:
        stop.set()
        thread.join()
    assert data == raw and encoded == enc


# Free-threaded 3.13 has no GIL to let go of, and its bytearray is not safe
# to resize while another thread exports it.
@pytest.mark.skipif(FREE_THREADED, reason="no GIL on a free-threaded build")
def test_large_calls_let_other_threads_run():
    # A watcher thread tries to resize each input. It is refused only while a
    # call holds the input's buffer, so a refusal shows the watcher ran during
    # a call, which it can only do if the call let go of the GIL.
    raw = bytearray(_sample(random.Random(5), 4096 * KIB, 0.01))
    enc = bytearray(encode(raw))
    snapshots = {"encode": bytes(raw), "decode": bytes(enc)}
    refused = {"encode": 0, "decode": 0}
    stop = threading.Event()

    def watcher():
        while not stop.is_set():
            for op, buf in (("encode", raw), ("decode", enc)):
                try:
                    buf.__init__(snapshots[op])  # empties, then refills, the buffer
                except BufferError:
                    refused[op] += 1

    thread = threading.Thread(target=watcher)
    thread.start()
    try:
        for _ in range(300):
            if not refused["encode"]:
                encode(raw)
            if not refused["decode"]:
                decode(enc)
            if all(refused.values()):
                break
    finally:
        stop.set()
        thread.join()
    assert refused["encode"] and refused["decode"], refused


@pytest.mark.skipif(_kernels is None, reason="tavo._kernels not built")
def test_every_kernel_from_many_threads():
    names = _kernels.names()
    raw, enc = RAWS[-2], ENCODED[-2]

    def work(index):
        name = names[index % len(names)]
        for _ in range(ROUNDS):
            if _kernels.encode(name, raw) != enc:
                raise AssertionError("kernel %s: wrong encoding" % name)
            if _kernels.decode(name, enc) != raw:
                raise AssertionError("kernel %s: wrong decoding" % name)

    _run_threads(work)


def test_first_calls_race_in_a_fresh_interpreter():
    # The kernel is chosen on first use: many threads making the very first
    # calls at once must all get right answers.
    code = textwrap.dedent("""
        import threading
        from _tavoext import encode, decode
        raw = bytes(bytearray(range(256))) * 1024
        barrier = threading.Barrier(8)
        results = []
        def work():
            barrier.wait()
            results.append(decode(encode(raw)) == raw and len(encode(b"a\\x00b")) == 4)
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert results == [True] * 8, results
        print("ok")
    """)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    for _ in range(5):
        out = subprocess.check_output([sys.executable, "-c", code], env=env)
        assert out.strip() == b"ok"


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython build")
def test_importing_leaves_the_gil_off_on_free_threaded_builds():
    # An extension that does not declare itself safe without the GIL turns
    # it back on for the whole process, with a RuntimeWarning; a fresh
    # interpreter shows what importing ours alone does.
    code = textwrap.dedent("""
        import sys
        import _tavoext
        from tavo import _kernels
        assert _tavoext.decode(_tavoext.encode(b"a\\x00b")) == b"a\\x00b"
        assert not sys._is_gil_enabled()
        print("ok")
    """)
    env = dict(os.environ)
    env.pop("PYTHON_GIL", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.check_output([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                                  env=env)
    assert out.strip() == b"ok"


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython build")
def test_small_calls_run_in_parallel_without_the_gil():
    # Without a GIL even small calls overlap; many threads on one shared
    # input and on their own inputs must still all get exact answers.
    rng = random.Random(7)
    shared = bytes(bytearray(rng.randint(0, 3) for _ in range(300)))
    shared_enc = encode(shared)
    failures = []

    def work(index):
        local = random.Random(index)
        for _ in range(2000):
            data = bytes(bytearray(local.randint(0, 2) for _ in range(local.randint(0, 40))))
            if decode(encode(data)) != data or decode(shared_enc) != shared:
                failures.append(data)

    _run_threads(work)
    assert not failures
