"""The kernel and bound tests as 32- and 64-bit Windows programs under Wine:
MinGW's headers, LLP64 (a 32-bit long beside a 64-bit size_t) and, on x86,
a 32-bit size_t, with the CPU detection Windows builds get."""
import sys

import pytest

from . import native

ARCHES = ["x86", "x64"]


@pytest.fixture(params=ARCHES)
def arch(request):
    if sys.platform == "win32":
        pytest.skip("cross-builds from a POSIX host")
    missing = None
    if not native.mingw(request.param):
        missing = "%s-g++ (Debian: g++-mingw-w64)" % native.MINGW[request.param]
    elif not native.wine():
        missing = "Wine to run Windows programs"
    native.skip_unless_cross(pytest, missing)
    return request.param


def test_kernels_agree_on_windows(arch, tmp_path):
    """-O3 as setup.py builds them."""
    out = native.build_and_run_windows(arch, "kernels_test.cpp", tmp_path, flags=["-O3"],
                                       with_codec=True)
    assert "0 failures" in out
    # The x86 kernels are built and detected on Windows too: any x86-64 CPU
    # has SSE2, and so has any that runs Wine's 32-bit loader here.
    assert "sse2" in out.splitlines()[0].split()


def test_output_bound_on_windows(arch, tmp_path):
    out = native.build_and_run_windows(arch, "bound_test.cpp", tmp_path)
    assert out.rstrip().endswith(", 0 failed")


def test_kernels_stay_inside_buffers_on_windows(arch, tmp_path):
    """Against guard pages made with VirtualProtect, at -O3: a stray access
    crashes. The probe run shows that the guard page does stop a read."""
    out = native.build_and_run_windows(arch, "guard_pages_test.cpp", tmp_path, flags=["-O3"],
                                       with_codec=True)
    assert ", 0 failures" in out
    probe = native.run_built_windows(arch, "guard_pages_test.cpp", tmp_path, "--probe")
    assert probe.returncode == 3 and "CRASH probe" in probe.stdout, probe.stdout
