"""Builds and runs the C++ tests of the codec with each compiler at hand."""
import os
import shutil
import subprocess

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "src")
HERE = os.path.dirname(os.path.abspath(__file__))
FLAGS = ["-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-I", SRC]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-fno-omit-frame-pointer"]


def compilers():
    return [c for c in ("g++", "clang++") if shutil.which(c)]


def codec_sources():
    codec = os.path.join(SRC, "codec")
    return sorted(os.path.join(codec, f) for f in os.listdir(codec) if f.endswith(".cpp"))


def build_and_run(compiler, test_source, tmp_path, extra_sources=()):
    """Compiles with warnings as errors (and sanitizers where they link) and
    returns the test program's output; raises if either step fails."""
    exe = str(tmp_path / (os.path.basename(test_source) + "." + compiler))
    base = [compiler] + FLAGS + [os.path.join(HERE, test_source)] + list(extra_sources) + ["-o", exe]
    build = subprocess.run(base + SANITIZE, capture_output=True, text=True)
    if build.returncode != 0 and "sanitize" in build.stderr:
        build = subprocess.run(base, capture_output=True, text=True)  # no sanitizer runtime
    assert build.returncode == 0, build.stderr
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    env.pop("LD_PRELOAD", None)
    run = subprocess.run([exe], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout
