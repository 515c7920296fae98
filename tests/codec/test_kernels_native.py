"""Builds tests/codec/kernels_test.cpp with each C++ compiler present and runs
it: every kernel must agree with the scalar reference and stay inside its
buffers."""
import sys

import pytest

from . import native

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX compilers only")
COMPILERS = native.compilers() or [pytest.param(None, marks=pytest.mark.skip("no C++ compiler"))]


@pytest.mark.parametrize("cxx", COMPILERS)
def test_kernels_agree_under_sanitizers(cxx, tmp_path):
    out = native.build_and_run(cxx, "kernels_test.cpp", tmp_path, flags=["-O1"], with_codec=True)
    assert "0 failures" in out


@pytest.mark.parametrize("cxx", COMPILERS)
def test_kernels_agree_as_shipped(cxx, tmp_path):
    """-O3 as setup.py builds them: the optimiser must not change results."""
    out = native.build_and_run(cxx, "kernels_test.cpp", tmp_path, flags=["-O3"], sanitize=False,
                               with_codec=True)
    assert "0 failures" in out


def test_builds_for_32_bit_x86(tmp_path):
    """i386 has no guaranteed SSE2: the x86 kernels must build and agree there."""
    if not native.can_build_32bit():
        pytest.skip("no 32-bit x86 toolchain (g++-multilib)")
    out = native.build_and_run("g++", "kernels_test.cpp", tmp_path, flags=["-m32", "-O2"],
                               sanitize=False, with_codec=True)
    assert "0 failures" in out


@pytest.mark.parametrize("cxx", COMPILERS)
def test_kernels_stay_inside_buffers_against_guard_pages(cxx, tmp_path):
    """Input and exact-size output each end at an inaccessible page, at -O3
    without sanitizers: a stray access crashes. The probe run shows that the
    guard page does stop a read."""
    out = native.build_and_run(cxx, "guard_pages_test.cpp", tmp_path, flags=["-O3"],
                               sanitize=False, with_codec=True)
    assert ", 0 failures" in out
    probe = native.run_built(cxx, "guard_pages_test.cpp", tmp_path, "--probe")
    assert probe.returncode == 3 and "CRASH probe" in probe.stdout, probe.stdout


def test_guard_pages_for_32_bit_x86(tmp_path):
    if not native.can_build_32bit():
        pytest.skip("no 32-bit x86 toolchain (g++-multilib)")
    out = native.build_and_run("g++", "guard_pages_test.cpp", tmp_path, flags=["-m32", "-O2"],
                               sanitize=False, with_codec=True)
    assert ", 0 failures" in out
