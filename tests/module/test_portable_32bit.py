"""Capacity limits and large inputs on 32-bit hosts (Py_ssize_t of 32 bits).

Runs under pytest and under Python 2.7's unittest (scripts/test-i386 runs it
in i386 trees of both). Skipped on 64-bit hosts, where tests/module/
test_large.py covers inputs above 2 GiB.

- Encoding an input whose output bound n + n//254 + 1 exceeds 2**31 - 1
  raises MemoryError and allocates nothing (checked with tracemalloc where
  the host has it). The first such n is FIRST_OVERFLOWING_SIZE, 2,139,062,143.
- A round trip of about 1 GiB works.

Where the host cannot allocate the input itself, a test says so and skips;
with TAVO_REQUIRE_32BIT_CAPACITY=1 (set by scripts/test-i386) it fails
instead, so a CI host that should manage never passes by skipping.
"""
import gc
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _tavoext  # noqa: E402

try:
    import tracemalloc
except ImportError:  # Python 2.7
    tracemalloc = None

LIMIT = 2 ** 31 - 1
IS_32BIT = sys.maxsize == LIMIT
REQUIRE = os.environ.get("TAVO_REQUIRE_32BIT_CAPACITY") == "1"
PY3 = sys.version_info[0] >= 3


def bound(n):
    return n + n // 254 + 1


def first_overflowing_size():
    """The smallest n whose output bound exceeds LIMIT, by bisection."""
    lo, hi = 0, LIMIT
    while lo < hi:
        mid = (lo + hi) // 2
        if bound(mid) > LIMIT:
            hi = mid
        else:
            lo = mid + 1
    return lo


FIRST_OVERFLOWING_SIZE = first_overflowing_size()


def zeros(n):
    """n zero bytes, or None when this host cannot allocate them. On Python 3
    bytes(n) comes from calloc, so no page is touched."""
    gc.collect()
    try:
        return bytes(n) if PY3 else b"\0" * n
    except (MemoryError, OverflowError):
        return None


def view(obj, n):
    """The first n bytes of obj, without a copy."""
    return memoryview(obj)[:n] if PY3 else buffer(obj, 0, n)  # noqa: F821 (Python 2)


class SizeRuleTest(unittest.TestCase):
    """Host-independent: the numbers the 32-bit tests rely on."""

    def test_first_overflowing_size(self):
        self.assertEqual(FIRST_OVERFLOWING_SIZE, 2139062143)
        self.assertEqual(bound(FIRST_OVERFLOWING_SIZE - 1), LIMIT)
        self.assertEqual(bound(FIRST_OVERFLOWING_SIZE), LIMIT + 1)


@unittest.skipUnless(IS_32BIT, "needs a 32-bit host (sys.maxsize == 2**31 - 1)")
class CapacityOverflowTest(unittest.TestCase):
    def cannot_allocate(self, n):
        message = "this host cannot allocate a %d-byte input" % n
        if REQUIRE:
            self.fail(message + " (TAVO_REQUIRE_32BIT_CAPACITY=1)")
        self.skipTest(message)

    def assert_refused(self, data, errors=(MemoryError,)):
        """encode(data) raises one of `errors` and allocates nothing."""
        if tracemalloc is not None:
            gc.collect()
            tracemalloc.start()
        try:
            self.assertRaises(errors, _tavoext.encode, data)
        finally:
            if tracemalloc is not None:
                peak = tracemalloc.get_traced_memory()[1]
                tracemalloc.stop()
        if tracemalloc is not None:
            # The exception and its traceback only: no result buffer.
            self.assertLess(peak, 64 * 1024, "encode allocated %d bytes" % peak)

    def test_first_overflowing_size_as_bytes(self):
        n = FIRST_OVERFLOWING_SIZE
        data = zeros(n)
        if data is None:
            self.cannot_allocate(n)
        try:
            self.assert_refused(data)
        finally:
            del data

    def test_overflowing_sizes_as_views(self):
        # One buffer as large as the host's byte strings go, viewed at
        # several lengths from the first overflowing one up.
        sizes = [LIMIT - 64, FIRST_OVERFLOWING_SIZE + 1]
        big = None
        for size in sizes:
            big = zeros(size)
            if big is not None:
                break
        if big is None:
            self.cannot_allocate(sizes[-1])
        try:
            top = len(big)
            for n in sorted(set([FIRST_OVERFLOWING_SIZE, FIRST_OVERFLOWING_SIZE + 1,
                                 (FIRST_OVERFLOWING_SIZE + top) // 2, top])):
                self.assert_refused(view(big, n))
            # Just below: the bound fits in Py_ssize_t, but no byte string
            # that large (plus its header) can exist: still MemoryError.
            self.assert_refused(view(big, FIRST_OVERFLOWING_SIZE - 1))
        finally:
            del big

    def test_decode_at_the_same_size_fails_cleanly(self):
        # decode's capacity n - 1 cannot overflow, but beside a 2 GiB input
        # it rarely fits in 4 GiB: the call must end in MemoryError (or, if
        # it fits, DecodeError for the zero bytes), never in a wrapped size
        # (SystemError, OverflowError) or a crash.
        n = FIRST_OVERFLOWING_SIZE
        data = zeros(n)
        if data is None:
            self.cannot_allocate(n)
        try:
            self.assertRaises((_tavoext.DecodeError, MemoryError), _tavoext.decode, data)
        finally:
            del data


# A 1 MiB block that ends in a zero byte, so the encoding of BLOCK * k is
# (encode(BLOCK) minus its final 01) * k + 01, and can be checked piecewise.
def _block():
    out = bytearray()
    state = 12345
    while len(out) < (1 << 20) - 1:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        byte = (state >> 16) & 0xFF
        out.append(0 if byte < 3 else byte)  # about 1% zeros
    out.append(0)
    return bytes(out)


@unittest.skipUnless(IS_32BIT, "needs a 32-bit host (sys.maxsize == 2**31 - 1)")
class LargeRoundTripTest(unittest.TestCase):
    COUNT = 1024  # 1 GiB

    def test_one_gib_round_trip(self):
        block = _block()
        enc_block = _tavoext.encode(block)
        self.assertEqual(_tavoext.decode(enc_block), block)
        piece = enc_block[:-1]
        # The rule that the piecewise check relies on, at a small scale.
        self.assertEqual(_tavoext.encode(block * 3), piece * 3 + b"\x01")

        gc.collect()
        try:
            data = block * self.COUNT
        except MemoryError:
            data = None
        if data is None:
            message = "this host cannot allocate a %d-byte input" % (len(block) * self.COUNT)
            if REQUIRE:
                self.fail(message)
            self.skipTest(message)
        n = len(data)
        encoded = _tavoext.encode(data)
        del data  # input and output must both fit in 4 GiB; keep at most two
        gc.collect()
        self.assertEqual(len(encoded), len(piece) * self.COUNT + 1)
        self.assertLessEqual(len(encoded), bound(n))
        self.assertEqual(encoded.find(b"\0"), -1)
        step = len(piece)
        for i in range(self.COUNT):
            if encoded[i * step:(i + 1) * step] != piece:
                self.fail("encoding differs in block %d" % i)
        self.assertEqual(encoded[-1:], b"\x01")

        decoded = _tavoext.decode(encoded)
        del encoded
        gc.collect()
        self.assertEqual(len(decoded), n)
        step = len(block)
        for i in range(self.COUNT):
            if decoded[i * step:(i + 1) * step] != block:
                self.fail("decoding differs in block %d" % i)


if __name__ == "__main__":
    unittest.main()
