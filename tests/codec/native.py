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
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1", UBSAN_OPTIONS="print_stacktrace=1")
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
