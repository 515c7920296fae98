"""The CPU tests behind the choice of kernel, through tavo._kernels: they
agree with what Linux found on this CPU, and the kernel table follows them."""
import platform

import pytest

_kernels = pytest.importorskip("tavo._kernels")

X86 = platform.machine().lower() in ("x86_64", "amd64", "i386", "i486", "i586", "i686", "x86")
# The /proc/cpuinfo flags each test stands for; the kernel clears the AVX
# flags when it does not save that register state, as the tests require.
LINUX_FLAGS = {"sse2": {"sse2"}, "ssse3": {"ssse3"}, "avx2": {"avx2"},
               "avx512vbmi2": {"avx512f", "avx512bw", "avx512vbmi", "avx512_vbmi2"}}
# The kernel that each test admits.
KERNEL_OF = {"sse2": "sse2", "ssse3": "ssse3", "avx2": "avx2", "avx512vbmi2": "avx512"}


def linux_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except (IOError, OSError):
        pass
    return None


def test_features_are_the_x86_tests_or_none():
    features = _kernels.features()
    names = [name for name, _ in features]
    if not X86:
        assert features == ()
        return
    assert names == ["sse2", "ssse3", "avx2", "avx512vbmi2"]
    present = dict(features)
    # Each needs the one before it on every CPU made.
    for weaker, stronger in zip(names, names[1:]):
        assert present[weaker] or not present[stronger], features


@pytest.mark.skipif(not X86, reason="x86 only")
def test_features_agree_with_linux():
    flags = linux_flags()
    if flags is None:
        pytest.skip("no /proc/cpuinfo flags here")
    for name, present in _kernels.features():
        assert present == LINUX_FLAGS[name].issubset(flags), (name, present, sorted(flags))


def test_table_follows_the_features():
    names = _kernels.names()
    for feature, present in _kernels.features():
        kernel = KERNEL_OF[feature]
        if kernel in names:
            assert present, (kernel, _kernels.features())
        elif kernel != "avx512":  # a build may lack the avx512 kernel, not the others
            assert not present, (kernel, names)
    if X86:
        best = [KERNEL_OF[f] for f, present in _kernels.features()
                if present and KERNEL_OF[f] in names]
        assert _kernels.active() == (best[-1] if best else "word")
