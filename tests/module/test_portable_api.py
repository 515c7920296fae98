"""Behaviour of _tavoext that must hold on both Python 2.7 and 3.x.

Plain unittest, so the same file runs under pytest and under 2.7's stdlib
runner.
"""
import pickle
import random
import sys
import unittest

import _tavoext
import tavo

from . import reference

ZERO = "zero byte found in input"
SHORT = "not enough input bytes for length code"


def h(text):
    return bytes(bytearray.fromhex(text))


def nz(count, start=1):
    """`count` non-zero bytes."""
    return bytes(bytearray((start + i) % 255 + 1 for i in range(count)))


class SurfaceTest(unittest.TestCase):
    def test_public_names(self):
        public = set(name for name in dir(_tavoext) if not name.startswith("_"))
        self.assertEqual(public, set(["encode", "decode", "DecodeError"]))

    def test_module_docstring(self):
        self.assertEqual(_tavoext.__doc__, "Consistent Overhead Byte Stuffing (COBS)")

    def test_encode_docstring(self):
        self.assertEqual(_tavoext.encode.__doc__, "\n".join([
            "Encode a string using Consistent Overhead Byte Stuffing (COBS).",
            "",
            "Input is any byte string. Output is also a byte string.",
            "",
            "Encoding guarantees no zero bytes in the output. The output",
            "string will be expanded slightly, by a predictable amount.",
            "",
            "An empty string is encoded to '\\x01'.",
        ]))

    def test_decode_docstring(self):
        self.assertEqual(_tavoext.decode.__doc__, "\n".join([
            "Decode a string using Consistent Overhead Byte Stuffing (COBS).",
            "",
            "Input should be a byte string that has been COBS encoded. Output",
            "is also a byte string.",
            "",
            "A tavo.DecodeError exception may be raised if the encoded data",
            "is invalid.",
        ]))

    @unittest.skipIf(sys.version_info < (3,), "text signatures are Python 3's")
    def test_signatures_for_inspect_and_help(self):
        import inspect
        import pydoc
        for func in (_tavoext.encode, _tavoext.decode):
            params = list(inspect.signature(func).parameters.values())
            self.assertEqual([(p.name, p.kind) for p in params],
                             [("in_bytes", inspect.Parameter.POSITIONAL_ONLY)])
            text = pydoc.render_doc(func, renderer=pydoc.plaintext)
            self.assertIn("%s(in_bytes, /)" % func.__name__, text)
            self.assertIn(func.__doc__.splitlines()[0], text)

    def test_decode_error_class_has_a_docstring(self):
        doc = _tavoext.DecodeError.__doc__
        self.assertTrue(doc and doc.strip())
        self.assertNotEqual(doc, Exception.__doc__)

    def test_decode_error_class(self):
        cls = _tavoext.DecodeError
        self.assertTrue(issubclass(cls, Exception))
        self.assertEqual(cls.__name__, "DecodeError")
        self.assertEqual(cls.__module__, "tavo")

    def test_package_reexports_the_same_objects(self):
        self.assertIs(tavo.encode, _tavoext.encode)
        self.assertIs(tavo.decode, _tavoext.decode)
        self.assertIs(tavo.DecodeError, _tavoext.DecodeError)
        self.assertTrue(tavo.__version__)

    def test_raised_decode_error_survives_pickle(self):
        try:
            _tavoext.decode(b"\x00")
        except tavo.DecodeError as exc:
            for proto in range(pickle.HIGHEST_PROTOCOL + 1):
                clone = pickle.loads(pickle.dumps(exc, proto))
                self.assertIs(type(clone), tavo.DecodeError)
                self.assertEqual(str(clone), ZERO)
        else:
            self.fail("no DecodeError")


class ArgumentTest(unittest.TestCase):
    def test_wrong_argument_count_names_in_bytes(self):
        for func in (_tavoext.encode, _tavoext.decode):
            for args in ((), (b"a", b"b")):
                try:
                    func(*args)
                except _tavoext.DecodeError:
                    self.fail("DecodeError for an argument error")
                except TypeError as exc:
                    self.assertIn("in_bytes", str(exc))
                else:
                    self.fail("accepted %d arguments" % len(args))

    def test_keywords_refused(self):
        for func in (_tavoext.encode, _tavoext.decode):
            self.assertRaises(TypeError, func, in_bytes=b"\x01")

    def test_non_buffer_refused(self):
        for func in (_tavoext.encode, _tavoext.decode):
            for bad in (None, 5, [1, 2]):
                self.assertRaises(TypeError, func, bad)


class DecodeErrorBindingTest(unittest.TestCase):
    def test_rebinding_or_deleting_attribute_does_not_change_raised_class(self):
        original = _tavoext.DecodeError
        try:
            _tavoext.DecodeError = ValueError
            self.assertRaises(original, _tavoext.decode, b"\x02")
            del _tavoext.DecodeError
            self.assertRaises(original, _tavoext.decode, b"\x02")
        finally:
            _tavoext.DecodeError = original


# (input, canonical encoding)
EXAMPLES = [
    (b"", h("01")),
    (h("00"), h("0101")),
    (h("0000"), h("010101")),
    (h("61"), h("0261")),
    (h("6100"), h("026101")),
    (h("0061"), h("010261")),
    (h("6162006364"), h("036162036364")),
    (nz(253), b"\xfe" + nz(253)),
    (nz(254), b"\xff" + nz(254)),
    (nz(255), b"\xff" + nz(254) + b"\x02" + nz(255)[-1:]),
    (nz(254) + b"\x00", b"\xff" + nz(254) + b"\x01\x01"),
    (nz(508), b"\xff" + nz(254) + b"\xff" + nz(508)[254:]),
    (b"\x00" * 300, b"\x01" * 301),
]


class CodecExamplesTest(unittest.TestCase):
    def test_encode_examples(self):
        for raw, encoded in EXAMPLES:
            self.assertEqual(_tavoext.encode(raw), encoded)

    def test_decode_examples(self):
        for raw, encoded in EXAMPLES:
            self.assertEqual(_tavoext.decode(encoded), raw)

    def test_non_canonical_forms_decode(self):
        self.assertEqual(_tavoext.decode(b""), b"")
        self.assertEqual(_tavoext.decode(b"\x01"), b"")
        self.assertEqual(_tavoext.decode(b"\xff" + nz(254) + b"\x01"), nz(254))
        self.assertEqual(_tavoext.decode(b"\xff" + nz(254) + b"\x01\x01"), nz(254) + b"\x00")

    def test_results_are_exact_byte_strings(self):
        self.assertIs(type(_tavoext.encode(b"abc")), bytes)
        self.assertIs(type(_tavoext.decode(b"\x01")), bytes)
        self.assertIs(type(_tavoext.decode(b"")), bytes)

    def test_malformed_input_messages(self):
        cases = [
            (h("02"), SHORT),
            (h("0361"), SHORT),
            (h("00"), ZERO),
            (h("026100"), ZERO),
            (h("03610062"), ZERO),
            (h("056100"), SHORT),  # the length test comes first
            (h("6100"), SHORT),
            (b"\xff" + nz(253), SHORT),
            (h("010261") + b"\x00", ZERO),
            (b"\x01\x00", ZERO),  # a delimiter left in place is not stripped
        ]
        for data, message in cases:
            try:
                _tavoext.decode(data)
            except _tavoext.DecodeError as exc:
                self.assertEqual(str(exc), message, repr(data))
                self.assertEqual(exc.args, (message,))
            else:
                self.fail("decoded malformed %r" % (data,))

    def test_random_inputs_match_reference(self):
        rng = random.Random(1234)
        sizes = list(range(0, 20)) + [252, 253, 254, 255, 256, 507, 508, 509, 762, 1000, 4097]
        for size in sizes:
            for zero_rate in (0.0, 0.004, 0.1, 0.5, 1.0):
                raw = bytes(bytearray(0 if rng.random() < zero_rate else rng.randint(1, 255)
                                      for _ in range(size)))
                encoded = _tavoext.encode(raw)
                self.assertEqual(encoded, reference.encode(raw))
                self.assertEqual(len(encoded), reference.encoded_length(raw))
                self.assertLessEqual(len(encoded), size + size // 254 + 1)
                self.assertEqual(_tavoext.decode(encoded), raw)

    def test_damaged_encodings_match_reference(self):
        rng = random.Random(99)
        for _ in range(3000):
            size = rng.randint(0, 600)
            raw = bytes(bytearray(rng.choice((0, 0, rng.randint(1, 255))) for _ in range(size)))
            damaged = bytearray(_tavoext.encode(raw))
            for _ in range(rng.randint(1, 3)):
                op = rng.randint(0, 2)
                pos = rng.randint(0, len(damaged))
                if op == 0 and pos < len(damaged):
                    damaged[pos] = rng.choice((0, 1, 254, 255, rng.randint(0, 255)))
                elif op == 1:
                    del damaged[pos:]
                else:
                    damaged.insert(pos, rng.randint(0, 255))
            damaged = bytes(damaged)
            try:
                expected = reference.decode(damaged)
            except reference.ReferenceError_ as exc:
                try:
                    _tavoext.decode(damaged)
                except _tavoext.DecodeError as got:
                    self.assertEqual(str(got), str(exc))
                else:
                    self.fail("decoded malformed %r" % (damaged,))
            else:
                self.assertEqual(_tavoext.decode(damaged), expected)


if __name__ == "__main__":
    unittest.main()
