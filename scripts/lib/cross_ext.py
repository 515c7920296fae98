"""Cross-builds the extensions that setup.py declares, with a compiler that
setuptools cannot drive from this host (MinGW for Windows, for one).

setup.py is run with setuptools.setup() replaced, so the extension list, the
sources and the project's own flags come from it and stay in step with it.
Objects are cached by their compile command and the bytes of the source and
of every header under src/, so a second run only links.

Usage: cross_ext.py --cxx CXX --out DIR --suffix .pyd [--cache DIR]
                    [--include DIR]... [--link FILE]... [--only NAME]...
                    [--flag FLAG]... [--ldflag FLAG]...
Prints one line per extension built: NAME PATH.
"""
import argparse
import concurrent.futures
import hashlib
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


# distutils' name for MinGW, for a setup.py that picks flags by compiler.
COMPILER_TYPE = "mingw32"


def declared():
    """The extensions setup.py hands to setup(), as (name, sources,
    compile flags, link flags), with the codec sources and flags that its
    build_ext adds where it adds them at build time."""
    extensions, ns = _run_setup()
    compile_flags = ns.get("compile_flags")
    link_flags = ns.get("link_flags")
    codec = ns.get("codec_sources")
    codec = list(codec()) if callable(codec) else []
    out = []
    for ext in extensions:
        sources = list(ext.sources)
        if codec and not set(codec) & set(sources):
            sources += codec  # built by build_ext into a static library
        cflags = list(ext.extra_compile_args or [])
        if not cflags and callable(compile_flags):
            cflags = list(compile_flags(COMPILER_TYPE))
        cflags += macro_flags(ext.define_macros) + ["-I" + d for d in ext.include_dirs or []]
        ldflags = list(ext.extra_link_args or [])
        if not ldflags and callable(link_flags):
            ldflags = list(link_flags(COMPILER_TYPE))
        out.append(Extension(ext.name, sources, cflags, ldflags))
    return out


class Extension(object):
    def __init__(self, name, sources, cflags, ldflags):
        self.name, self.sources, self.cflags, self.ldflags = name, sources, cflags, ldflags


def _run_setup():
    import setuptools

    seen = {}

    def capture(**kwargs):
        seen.update(kwargs)

    real, setuptools.setup = setuptools.setup, capture
    argv, cwd = sys.argv, os.getcwd()
    try:
        sys.argv = ["setup.py"]
        os.chdir(ROOT)
        code = compile(open(os.path.join(ROOT, "setup.py")).read(), "setup.py", "exec")
        ns = {"__name__": "__main__", "__file__": os.path.join(ROOT, "setup.py")}
        exec(code, ns)
    finally:
        setuptools.setup, sys.argv = real, argv
        os.chdir(cwd)
    return seen.get("ext_modules", []), ns


def macro_flags(macros):
    flags = []
    for macro in macros or ():
        if len(macro) == 1 or macro[1] is None:
            flags.append("-D%s" % macro[0])
        else:
            flags.append("-D%s=%s" % macro)
    return flags


def header_digest():
    h = hashlib.sha256()
    for base, _, files in sorted(os.walk(os.path.join(ROOT, "src"))):
        for name in sorted(files):
            if name.endswith((".h", ".hpp")):
                path = os.path.join(base, name)
                h.update(path.encode() + b"\0")
                with open(path, "rb") as f:
                    h.update(f.read())
    return h.hexdigest()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cxx", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--suffix", required=True)
    p.add_argument("--cache", default=os.path.join(ROOT, "build", "cross-obj"))
    p.add_argument("--include", action="append", default=[])
    p.add_argument("--link", action="append", default=[])
    p.add_argument("--only", action="append", default=[])
    p.add_argument("--flag", action="append", default=[])
    p.add_argument("--ldflag", action="append", default=[])
    p.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    a = p.parse_args()

    extensions = declared()
    if a.only:
        extensions = [e for e in extensions if e.name in a.only]
        missing = set(a.only) - {e.name for e in extensions}
        if missing:
            sys.exit("setup.py declares no extension %s" % ", ".join(sorted(missing)))
    headers = header_digest()
    includes = ["-I" + d for d in a.include]
    os.makedirs(a.cache, exist_ok=True)

    def obj_for(source, flags):
        cmd = [a.cxx, "-c"] + flags + includes + [source]
        h = hashlib.sha256(("\0".join(cmd) + headers).encode())
        with open(os.path.join(ROOT, source), "rb") as f:
            h.update(f.read())
        return os.path.join(a.cache, h.hexdigest()[:24] + ".o"), cmd

    # An object of the same source and flags serves every extension, as the
    # codec library does in a setuptools build.
    jobs = {}
    plan = []
    for ext in extensions:
        objs = []
        for src in ext.sources:
            obj, cmd = obj_for(src, ext.cflags + a.flag)
            objs.append(obj)
            jobs[obj] = cmd
        plan.append((ext, objs))

    def build(item):
        obj, cmd = item
        if os.path.exists(obj):
            return None
        tmp = obj + ".%d.tmp" % os.getpid()
        run = subprocess.run(cmd + ["-o", tmp], cwd=ROOT, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
        if run.returncode != 0 or run.stdout.strip():
            # Warnings fail the build too: the project compiles clean.
            return "%s\n%s" % (" ".join(cmd), run.stdout)
        os.replace(tmp, obj)
        return None

    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        errors = [e for e in pool.map(build, sorted(jobs.items())) if e]
    if errors:
        sys.exit("\n".join(errors))

    for ext, objs in plan:
        parts = ext.name.split(".")
        target = os.path.join(a.out, *parts[:-1] + [parts[-1] + a.suffix])
        os.makedirs(os.path.dirname(target), exist_ok=True)
        cmd = [a.cxx, "-shared", "-o", target] + objs + a.link + ext.ldflags + a.ldflag
        run = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             universal_newlines=True)
        if run.returncode != 0 or run.stdout.strip():
            sys.exit("%s\n%s" % (" ".join(cmd), run.stdout))
        print(ext.name, target)


if __name__ == "__main__":
    if not shutil.which(sys.argv[sys.argv.index("--cxx") + 1] if "--cxx" in sys.argv else ""):
        sys.exit("cross_ext.py: compiler not found")
    main()
