"""The extensions as Windows DLLs, cross-built with MinGW for 32-bit x86 (the
module's first host) and for x64, with the flags setup.py gives them.

The host finds a module by the one name it looks up, the init function; a
DLL that exports more (GNU ld exports every global symbol when the source
marks none for export) or needs MinGW's runtime DLLs beside it is a
different, fragile library. No 32-bit Windows CPython exists here, so the
32-bit DLLs link against an import library made from the names the 64-bit
python3XX.dll of the same release exports.

Run by scripts/test-windows (TAVO_WIN_CROSS=1), which fetches the Windows
CPython files they need into TAVO_WIN_CACHE (/var/cache/tavo-win).
"""
import glob
import os
import re
import subprocess
import sys

import pytest

from tests.codec import native

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CACHE = os.environ.get("TAVO_WIN_CACHE", "/var/cache/tavo-win")
SUFFIX = {"x86": "win32", "x64": "win_amd64"}
FORMAT = {"x86": "pei-i386", "x64": "pei-x86-64"}
# What a self-contained extension may import: the interpreter and Windows.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}


def windows_python():
    """(python3XX.dll, include dir) from the cache, or None."""
    dlls = sorted(glob.glob(os.path.join(CACHE, "python-3.*", "python3??.dll")))
    includes = sorted(glob.glob(os.path.join(CACHE, "include-3.*", "pyconfig.h")))
    if not dlls or not includes:
        return None
    return dlls[-1], os.path.dirname(includes[-1])


def objdump(arch, *args):
    return subprocess.run([native.mingw(arch, "objdump")] + list(args), check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout


def exported(arch, path):
    table = objdump(arch, "-p", path).split("[Ordinal/Name Pointer] Table", 1)
    if len(table) < 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def imported(arch, path):
    return re.findall(r"DLL Name: (\S+)", objdump(arch, "-p", path))


def declared_extensions():
    sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
    try:
        import cross_ext
    finally:
        sys.path.pop(0)
    return [e.name for e in cross_ext.declared()]


@pytest.fixture(scope="module", params=["x86", "x64"])
def built(request, tmp_path_factory):
    arch = request.param
    if sys.platform == "win32":
        pytest.skip("cross-builds from a POSIX host")
    found = windows_python()
    missing = None
    if not native.mingw(arch) or not native.mingw(arch, "dlltool"):
        missing = "%s-g++ (Debian: g++-mingw-w64)" % native.MINGW[arch]
    elif found is None:
        missing = "Windows CPython files in %s (scripts/test-windows fetches them)" % CACHE
    native.skip_unless_cross(pytest, missing)
    dll, include = found
    tmp = tmp_path_factory.mktemp("win-" + arch)
    link = dll
    if arch == "x86":
        link = str(tmp / "libpython.a")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "lib", "win_implib.py"),
                        "--dll", dll, "--include", include, "--out", link,
                        "--objdump", native.mingw("x64", "objdump") or "objdump",
                        "--dlltool", native.mingw(arch, "dlltool")], check=True)
    tag = os.path.basename(dll)[len("python"):-len(".dll")]
    cache = os.environ.get("TAVO_WIN_OBJ_CACHE") or str(tmp / "obj")
    build = subprocess.run(
        [sys.executable, os.path.join(ROOT, "scripts", "lib", "cross_ext.py"),
         "--cxx", native.mingw(arch), "--out", str(tmp / "lib"),
         "--suffix", ".cp%s-%s.pyd" % (tag, SUFFIX[arch]), "--cache", os.path.join(cache, arch),
         "--include", include, "--link", link, "--flag=-DNDEBUG", "--ldflag=-static"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert build.returncode == 0, build.stdout
    pyds = dict(line.split(" ", 1) for line in build.stdout.splitlines())
    return arch, pyds


def test_every_extension_is_built(built):
    _, pyds = built
    assert sorted(pyds) == sorted(declared_extensions())
    assert "_tavoext" in pyds


def test_only_export_is_the_init_function(built):
    arch, pyds = built
    for name, path in pyds.items():
        assert exported(arch, path) == ["PyInit_" + name.rsplit(".", 1)[-1]], name


def test_a_dll_for_the_right_cpu_needing_only_python_and_windows(built):
    arch, pyds = built
    for name, path in pyds.items():
        assert "file format %s" % FORMAT[arch] in objdump(arch, "-f", path), name
        dlls = {d.lower() for d in imported(arch, path)}
        python = [d for d in dlls if re.match(r"python3\d+\.dll$", d)]
        assert len(python) == 1, (name, dlls)
        assert dlls - set(python) <= SYSTEM_DLLS, (name, dlls)


def test_windows_loads_it_and_finds_only_the_init_by_name(built, tmp_path):
    """Under Wine: the loader takes the DLL, and the lookup the host makes
    finds the init function, while the Python 2 name does not exist."""
    arch, pyds = built
    if not native.wine():
        pytest.fail("TAVO_WIN_CROSS=1 but this host has no Wine")
    exe = str(tmp_path / "dll_lookup.exe")
    build = subprocess.run([native.mingw(arch), "-O2", "-Wall", "-Wextra", "-Werror", "-static",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                         "dll_lookup.cpp"), "-o", exe],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    assert build.returncode == 0, build.stdout

    args, expected = [], []
    for name, path in pyds.items():
        short = name.rsplit(".", 1)[-1]
        for symbol, result in (("PyInit_" + short, "found"), ("init" + short, "missing")):
            args += [path, symbol]
            expected.append("%s %s %s" % (path, symbol, result))
    run = subprocess.run([native.wine(), exe] + args, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True,
                         env=native.wine_env(), timeout=120)
    assert run.returncode == 0, run.stdout
    assert run.stdout.splitlines() == expected
