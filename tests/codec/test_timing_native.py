"""Builds tests/codec/timing_test.cpp with each C++ compiler present and runs
it: the benchmark's timing loop times exactly the runs it is asked for, over
the right messages, and reports a bad message where it lies in the input."""
import sys

import pytest

from . import native

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX compilers only")
COMPILERS = native.compilers() or [pytest.param(None, marks=pytest.mark.skip("no C++ compiler"))]


@pytest.mark.parametrize("cxx", COMPILERS)
def test_timing_loop_under_sanitizers(cxx, tmp_path):
    out = native.build_and_run(cxx, "timing_test.cpp", tmp_path, flags=["-O1"], with_codec=True)
    assert out.rstrip().endswith(" 0 failures"), out


def test_timing_loop_on_32_bit_x86(tmp_path):
    """32-bit sizes and x87 arithmetic: the counts must still come out exact."""
    if not native.can_build_32bit():
        pytest.skip("no 32-bit x86 toolchain (g++-multilib)")
    out = native.build_and_run("g++", "timing_test.cpp", tmp_path, flags=["-m32", "-O2"],
                               sanitize=False, with_codec=True)
    assert out.rstrip().endswith(" 0 failures"), out
