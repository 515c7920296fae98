# Builds the _tavoext extension and the tavo package. Kept runnable by the
# setuptools that ships with Python 2.7 as well as by current ones, so all
# metadata lives here rather than in pyproject.toml.
import io
import os
import re
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def read_version():
    with io.open(os.path.join(HERE, "src", "tavo", "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def codec_sources():
    codec = os.path.join("src", "codec")
    return sorted(os.path.join(codec, f) for f in os.listdir(os.path.join(HERE, codec))
                  if f.endswith(".cpp"))


if sys.platform == "win32":
    CXXFLAGS = ["/std:c++17", "/O2", "/W3"]
else:
    # No -march=native: the build must run on any CPU of its architecture.
    CXXFLAGS = ["-std=c++17", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden",
                "-fno-exceptions", "-fno-rtti"]
CXXFLAGS += os.environ.get("TAVO_EXTRA_CFLAGS", "").split()
LDFLAGS = os.environ.get("TAVO_EXTRA_LDFLAGS", "").split()
MACROS = []
if os.environ.get("TAVO_INIT_FAULT"):
    # Test builds only: see the init fault hook in the module source.
    MACROS.append(("TAVO_INIT_FAULT", os.environ["TAVO_INIT_FAULT"]))

HEADERS = [os.path.join("src", "module", h) for h in ("compat.h", "stream_ext.hpp")] + sorted(
    os.path.join("src", "codec", f) for f in os.listdir(os.path.join(HERE, "src", "codec"))
    if f.endswith(".hpp"))


def extension(name, *bindings):
    return Extension(
        name,
        sources=[os.path.join("src", "module", b) for b in bindings] + codec_sources(),
        depends=HEADERS,
        define_macros=MACROS,
        extra_compile_args=CXXFLAGS,
        extra_link_args=LDFLAGS,
        language="c++",
    )


EXTENSIONS = [
    extension("_tavoext", "tavoext.cpp"),
    # Private: each kernel by name, for the benchmark, CLI and tests.
    extension("tavo._kernels", "kernels_ext.cpp"),
]
if sys.version_info >= (3,):
    # Private, Python 3 only: incremental codecs, caller-buffer entry points
    # and framing, behind the tavo package's own names.
    EXTENSIONS.append(extension("tavo._stream", "stream_ext.cpp", "stream_codec_ext.cpp",
                                "framing_ext.cpp"))



class BuildExt(build_ext):
    """Drops C-only flags that some interpreters' configs hand to every
    compile, so a C++ build stays warning-free."""

    def build_extensions(self):
        compiler_so = getattr(self.compiler, "compiler_so", None)
        if compiler_so:
            self.compiler.compiler_so = [f for f in compiler_so if f != "-Wstrict-prototypes"]
        build_ext.build_extensions(self)


# The command line is Python 3 only: no script for a 2.7 install.
ENTRY_POINTS = {"console_scripts": ["tavo = tavo._cli:main"]} if sys.version_info >= (3,) else {}

with io.open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
    LONG_DESCRIPTION = f.read()

setup(
    name="tavo",
    version=read_version(),
    description="Fast, dependable Consistent Overhead Byte Stuffing (COBS) codec",
    long_description=LONG_DESCRIPTION,
    long_description_content_type="text/markdown",
    license="MIT",
    package_dir={"": "src"},
    # _tavoext-stubs: PEP 561 stub-only package typing the top-level
    # _tavoext extension; tavo itself is typed inline (py.typed) plus a stub
    # for its private _kernels extension.
    packages=["tavo", "_tavoext-stubs"],
    package_data={"tavo": ["py.typed", "*.pyi"], "_tavoext-stubs": ["*.pyi"]},
    entry_points=ENTRY_POINTS,
    ext_modules=EXTENSIONS,
    cmdclass={"build_ext": BuildExt},
    zip_safe=False,
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*",
    classifiers=[
        "Programming Language :: C++",
        "Programming Language :: Python :: 2.7",
        "Programming Language :: Python :: 3",
        "License :: OSI Approved :: MIT License",
        "Topic :: Communications",
    ],
)
