"""Builds and runs the C++ tests of the codec with the compilers at hand."""
import os
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(os.path.dirname(HERE)), "src")
CODEC = os.path.join(SRC, "codec")
WARN = ["-std=c++17", "-Wall", "-Wextra", "-Werror", "-I", SRC, "-I", CODEC]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all",
            "-fno-omit-frame-pointer", "-g"]


def compilers():
    return [c for c in ("g++", "clang++") if shutil.which(c)]


def codec_sources():
    return sorted(os.path.join(CODEC, f) for f in os.listdir(CODEC) if f.endswith(".cpp"))


def _compile(compiler, sources, flags, exe):
    return subprocess.run([compiler] + WARN + flags + sources + ["-o", exe],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


def _exe(compiler, test_source, tmp_path):
    return str(tmp_path / ("%s.%s" % (os.path.splitext(test_source)[0], compiler)))


def build_and_run(compiler, test_source, tmp_path, flags=("-O2",), sanitize=True,
                  with_codec=False):
    """Compiles `test_source` (plus every codec source if asked) with warnings
    as errors, under ASan and UBSan when `sanitize` and their runtimes link,
    runs it, and returns its output. Fails the calling test if either step
    fails."""
    sources = [os.path.join(HERE, test_source)] + (codec_sources() if with_codec else [])
    exe = _exe(compiler, test_source, tmp_path)
    flags = list(flags)
    build = _compile(compiler, sources, flags + (SANITIZE if sanitize else []), exe)
    if build.returncode != 0 and sanitize and "sanitize" in build.stdout:
        build = _compile(compiler, sources, flags, exe)  # no sanitizer runtime here
    assert build.returncode == 0, build.stdout
    # A smaller quarantine than the default: on 32-bit x86 the freed buffers
    # of the long-message checks otherwise fill the address space.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=32",
               UBSAN_OPTIONS="print_stacktrace=1")
    env.pop("LD_PRELOAD", None)  # an ASan runtime preloaded for Python clashes with clang's
    run = subprocess.run([exe], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         universal_newlines=True, env=env, timeout=600)
    assert run.returncode == 0, run.stdout
    return run.stdout


def run_built(compiler, test_source, tmp_path, *args):
    """Runs a program that build_and_run built, with arguments; returns the
    finished process, whatever its exit status."""
    return subprocess.run([_exe(compiler, test_source, tmp_path)] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=60)


def can_build_32bit():
    if not shutil.which("g++"):
        return False
    probe = subprocess.run(["g++", "-m32", "-x", "c++", "-", "-o", os.devnull],
                           input="int main() { return 0; }\n", stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True)
    return probe.returncode == 0


# -- Windows programs, cross-built with MinGW and run under Wine -------------

MINGW = {"x86": "i686-w64-mingw32", "x64": "x86_64-w64-mingw32"}


# Each check below costs seconds to tens of seconds, too much for every run
# of the suite in CI: scripts/test-windows runs them with TAVO_WIN_CROSS=1,
# which also turns a missing tool into a failure, so CI cannot pass by
# skipping them.
WIN_CROSS = os.environ.get("TAVO_WIN_CROSS") == "1"


def skip_unless_cross(pytest, missing):
    """Skips (or with TAVO_WIN_CROSS=1 fails) a cross-built Windows check;
    `missing` names what this host lacks, or is None."""
    if not WIN_CROSS:
        pytest.skip("cross-built Windows check: run by scripts/test-windows "
                    "(TAVO_WIN_CROSS=1)" + ("" if missing is None else "; needs " + missing))
    if missing is not None:
        pytest.fail("TAVO_WIN_CROSS=1 but this host has no " + missing)


def mingw(arch, tool="g++"):
    """The MinGW tool for `arch` ("x86" or "x64"), or None."""
    return shutil.which("%s-%s" % (MINGW[arch], tool))


def wine():
    """A Wine loader that runs both 32- and 64-bit programs, or None."""
    for name in ("wine", "wine64", "/usr/lib/wine/wine64", "/usr/lib/wine/wine"):
        path = shutil.which(name)
        if path:
            return path
    return None


def wine_env():
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("LD_PRELOAD", None)
    return env


def build_and_run_windows(arch, test_source, tmp_path, flags=("-O2",), with_codec=False):
    """Like build_and_run, as a static Windows program for `arch` run under
    Wine."""
    sources = [os.path.join(HERE, test_source)] + (codec_sources() if with_codec else [])
    build = _compile(mingw(arch), sources, list(flags) + ["-static"],
                     _windows_exe(arch, test_source, tmp_path))
    assert build.returncode == 0, build.stdout
    run = run_built_windows(arch, test_source, tmp_path)
    assert run.returncode == 0, run.stdout
    return run.stdout


def _windows_exe(arch, test_source, tmp_path):
    return str(tmp_path / ("%s-%s.exe" % (os.path.splitext(test_source)[0], arch)))


def run_built_windows(arch, test_source, tmp_path, *args):
    """Runs under Wine a program that build_and_run_windows built; returns
    the finished process, whatever its exit status."""
    return subprocess.run([wine(), _windows_exe(arch, test_source, tmp_path)] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, env=wine_env(), timeout=600)
