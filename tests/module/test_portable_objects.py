"""What the module keeps alive and what its results hold, on Python 2.7 and
3.x alike. Each check runs in a fresh interpreter that imports only _tavoext,
so nothing else (the tavo package, this test's own imports) holds what is
being checked, and the host's allocator can be set up first.

Plain unittest, so the same file runs under pytest and under 2.7's runner.
"""
import os
import subprocess
import sys
import unittest

import _tavoext

EXT_DIR = os.path.dirname(os.path.abspath(_tavoext.__file__))


def run_fresh(code, env=None):
    """Runs `code` in a new interpreter whose sys.path starts with the
    directory of the _tavoext under test; returns its output."""
    probe = subprocess.Popen([sys.executable, "-c", code, EXT_DIR],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             env=dict(os.environ, **(env or {})))
    out = probe.communicate()[0].decode("utf-8", "replace")
    return probe.returncode, out.strip()


# The host keeps a copy of the module's first dict, for a later re-import,
# and that copy holds the class too, so deleting the attribute alone cannot
# show whether the module owns a reference of its own. Two ways show it:
# - count the class's references that no object the collector sees accounts
#   for: the module's own must be exactly one (types' counts are deferred on
#   free-threaded builds, so not there);
# - where the host's test hooks can drop its copy, drop it, and the class
#   must still live, and still be what decode raises.
OWNERSHIP = r"""
import gc, sys, sysconfig, weakref
sys.path.insert(0, sys.argv[1])
import _tavoext
assert not [m for m in sys.modules if "tavo" in m and m != "_tavoext"], sorted(sys.modules)
def raises(cls):
    try:
        _tavoext.decode(b"\x02")
    except cls as exc:
        return type(exc) is cls and str(exc) == "not enough input bytes for length code"
    return False
ran = []
cls = _tavoext.DecodeError
del _tavoext.DecodeError
gc.collect()
assert raises(cls)
if not sysconfig.get_config_var("Py_GIL_DISABLED"):
    held = sys.getrefcount(cls) - 1
    seen = sum(1 for r in gc.get_referrers(cls) for x in gc.get_referents(r) if x is cls)
    if held - seen != 1:
        raise SystemExit("the module holds %d references of its own" % (held - seen))
    ran.append("count")
try:
    from _testinternalcapi import clear_extension
except ImportError:
    pass
else:
    clear_extension("_tavoext", _tavoext.__file__)
    ref = weakref.ref(cls)
    del cls
    gc.collect()
    if ref() is None:
        raise SystemExit("the class died with its module attribute")
    assert raises(ref())
    ran.append("alive")
print("ran: " + ", ".join(ran) if ran else "nothing to run on this host")
"""


class DecodeErrorOwnershipTest(unittest.TestCase):
    def test_module_owns_a_reference_to_its_class(self):
        code, out = run_fresh(OWNERSHIP)
        self.assertEqual(code, 0, out)
        if not out.startswith("ran: "):
            self.skipTest(out)


# Results from this capacity on keep their allocation when cut to length, so
# the module itself must write the terminating NUL that every byte string of
# the host carries. glibc's MALLOC_PERTURB_ fills each fresh allocation with
# non-zero bytes, so a missing NUL shows instead of hiding in zeroed pages.
TAVO_KEEP_ALLOCATION_FROM = 128 * 1024

TERMINATOR = r"""
import ctypes, sys
sys.path.insert(0, sys.argv[1])
import _tavoext
start = type(b"").__basicsize__ - 1  # offset of the first byte in the object
keep = %d
def terminator(result):
    return ctypes.string_at(id(result) + start + len(result), 1)
unit = bytes(bytearray(range(1, 200))) + b"\x00"
missing = []
for n in list(range(keep - 260, keep + 260, 7)) + [keep - 1, keep, keep + 1, 4 * keep]:
    raw = (unit * (n // len(unit) + 1))[:n]
    long_blocks = bytes(bytearray(range(1, 256))) * (n // 255 + 1)
    for op, arg in (("encode", raw), ("decode", _tavoext.encode(long_blocks[:n]))):
        result = getattr(_tavoext, op)(arg)
        if terminator(result) != b"\x00":
            missing.append((op, len(arg)))
if missing:
    raise SystemExit("no NUL after the last byte: %%r" %% missing[:8])
print("ok")
""" % TAVO_KEEP_ALLOCATION_FROM


class LargeResultTest(unittest.TestCase):
    def test_results_cut_to_length_end_in_nul(self):
        # Encoding data with zeros, and decoding data with maximal blocks,
        # both write less than the capacity, so every one of these is cut.
        code, out = run_fresh(TERMINATOR, {"MALLOC_PERTURB_": "165"})
        self.assertEqual((code, out), (0, "ok"))


if __name__ == "__main__":
    unittest.main()
