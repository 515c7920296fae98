"""Builds tests/codec/kernels_test.cpp with each C++ compiler present, under
AddressSanitizer and UBSan where they link, and runs it: every kernel must
agree with the scalar reference and stay inside its buffers."""
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CODEC = os.path.join(ROOT, "src", "codec")
SOURCES = [os.path.join(HERE, "kernels_test.cpp")] + sorted(
    os.path.join(CODEC, f) for f in os.listdir(CODEC) if f.endswith(".cpp"))
WARN = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-I", CODEC]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-g"]

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX compilers only")


def compile_and_run(cxx, flags, tmp_path):
    exe = str(tmp_path / "kernels_test")
    build = subprocess.run([cxx] + WARN + flags + SOURCES + ["-o", exe],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    if build.returncode != 0:
        return build, None
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=0",
               UBSAN_OPTIONS="print_stacktrace=1")
    run = subprocess.run([exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, env=env, timeout=600)
    return build, run


@pytest.mark.parametrize("cxx", ["g++", "clang++"])
def test_kernels_agree_under_sanitizers(cxx, tmp_path):
    if shutil.which(cxx) is None:
        pytest.skip("%s not installed" % cxx)
    build, run = compile_and_run(cxx, ["-O1"] + SANITIZE, tmp_path)
    if run is None:
        # Sanitizer runtimes are not everywhere; the warnings must still be clean.
        build, run = compile_and_run(cxx, ["-O2"], tmp_path)
        assert run is not None, build.stdout
    assert run.returncode == 0, run.stdout
    assert "0 failures" in run.stdout


@pytest.mark.parametrize("cxx", ["g++", "clang++"])
def test_kernels_agree_as_shipped(cxx, tmp_path):
    """-O3 as setup.py builds them: the optimiser must not change results."""
    if shutil.which(cxx) is None:
        pytest.skip("%s not installed" % cxx)
    build, run = compile_and_run(cxx, ["-O3"], tmp_path)
    assert run is not None, build.stdout
    assert run.returncode == 0, run.stdout


def test_builds_for_32_bit_x86(tmp_path):
    """i386 has no guaranteed SSE2: the x86 kernels must build and agree there."""
    if shutil.which("g++") is None:
        pytest.skip("g++ not installed")
    probe = subprocess.run(["g++", "-m32", "-x", "c++", "-", "-o", str(tmp_path / "probe")],
                           input="#include <cstddef>\nint main() { return 0; }\n",
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    if probe.returncode != 0:
        pytest.skip("no 32-bit x86 toolchain (g++-multilib)")
    build, run = compile_and_run("g++", ["-m32", "-O2"], tmp_path)
    assert run is not None, build.stdout
    assert run.returncode == 0, run.stdout
