"""Makes a 32-bit import library for python3XX.dll when no 32-bit Windows
CPython is at hand.

The names come from the 64-bit python3XX.dll of the same release, whose
export table is the C API that release ships; names that its headers
declare as data (PyAPI_DATA) are marked DATA. A module that uses anything
the real DLL does not export then fails to link, as it would against the
import library CPython ships.

Usage: win_implib.py --dll python313.dll --include DIR --out libpython313.a
                     [--objdump OBJDUMP] [--dlltool DLLTOOL]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile


def exports(objdump, dll):
    """The names in a PE file's export table."""
    text = subprocess.run([objdump, "-p", dll], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return []
    names = []
    for line in table[1].splitlines()[1:]:
        m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s*$", line)
        if not m:
            break
        names.append(m.group(1))
    return names


def data_names(include):
    found = set()
    pattern = re.compile(r"PyAPI_DATA\((?:[^()]|\([^()]*\))*\)\s*\**\s*\(?\s*\**\s*(\w+)")
    for base, _, files in os.walk(include):
        for name in files:
            if name.endswith(".h"):
                with open(os.path.join(base, name), errors="replace") as f:
                    found.update(pattern.findall(f.read()))
    return found


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dll", required=True)
    p.add_argument("--include", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    p.add_argument("--dlltool", default="i686-w64-mingw32-dlltool")
    a = p.parse_args()
    names = exports(a.objdump, a.dll)
    if not names:
        sys.exit("win_implib.py: %s exports nothing" % a.dll)
    data = data_names(a.include)
    lines = ["LIBRARY %s" % os.path.basename(a.dll), "EXPORTS"]
    lines += ["    %s%s" % (n, " DATA" if n in data else "") for n in names]
    with tempfile.TemporaryDirectory() as tmp:
        def_file = os.path.join(tmp, "python.def")
        with open(def_file, "w") as f:
            f.write("\n".join(lines) + "\n")
        subprocess.run([a.dlltool, "-d", def_file, "-D", os.path.basename(a.dll), "-l", a.out],
                       check=True)


if __name__ == "__main__":
    main()
