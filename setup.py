# Builds the _tavoext extension and the tavo package. Kept runnable by the
# setuptools that ships with Python 2.7 as well as by current ones, so all
# metadata lives here rather than in pyproject.toml.
import io
import os
import re
import sys

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SETUPTOOLS_VERSION = tuple(int(n) for n in re.findall(r"\d+", setuptools.__version__)[:2])


def read_version():
    with io.open(os.path.join(HERE, "src", "tavo", "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def codec_sources():
    codec = os.path.join("src", "codec")
    return sorted(os.path.join(codec, f) for f in os.listdir(os.path.join(HERE, codec))
                  if f.endswith(".cpp"))


# Flags by compiler family, chosen in build_ext once the compiler is known,
# so that MinGW on Windows gets GCC's flags and only MSVC gets MSVC's.
MSVC_FLAGS = ["/std:c++17", "/O2", "/W3"]
# No -march=native: the build must run on any CPU of its architecture.
GCC_FLAGS = ["-std=c++17", "-O3", "-Wall", "-Wextra", "-fvisibility=hidden",
             "-fno-exceptions", "-fno-rtti"]
# A Windows Python ships no libstdc++ or libgcc DLL for a MinGW build to use.
LINK_FLAGS = {"mingw32": ["-static-libgcc", "-static-libstdc++"]}
EXTRA_CFLAGS = os.environ.get("TAVO_EXTRA_CFLAGS", "").split()
LDFLAGS = os.environ.get("TAVO_EXTRA_LDFLAGS", "").split()
MACROS = []
if os.environ.get("TAVO_INIT_FAULT"):
    # Test builds only: see the init fault hook in the module source.
    MACROS.append(("TAVO_INIT_FAULT", os.environ["TAVO_INIT_FAULT"]))


def compile_flags(compiler_type):
    """The project's compile flags for a distutils compiler_type."""
    return (MSVC_FLAGS if compiler_type == "msvc" else GCC_FLAGS) + EXTRA_CFLAGS


def link_flags(compiler_type):
    return LINK_FLAGS.get(compiler_type, []) + LDFLAGS


CODEC_HEADERS = sorted(
    os.path.join("src", "codec", f) for f in os.listdir(os.path.join(HERE, "src", "codec"))
    if f.endswith(".hpp"))
HEADERS = [os.path.join("src", "module", h) for h in ("compat.h", "stream_ext.hpp")] + CODEC_HEADERS

# The codec, built once as a static library that every extension links.
CODEC_LIBRARY = "tavo_codec"


def extension(name, *bindings):
    return Extension(
        name,
        sources=[os.path.join("src", "module", b) for b in bindings],
        depends=HEADERS,
        define_macros=MACROS,
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

# Debug info that an interpreter's own config hands to every compile (-g in
# CFLAGS): a wheel must not carry it. Flags given in TAVO_EXTRA_CFLAGS stay.
DEBUG_FLAG = re.compile(r"^-g(\d|gdb\d?|dwarf(-\d)?)?$")


def _newer(sources, target):
    if not os.path.exists(target):
        return True
    mtime = os.path.getmtime(target)
    return any(os.path.getmtime(s) > mtime for s in sources)


class BuildExt(build_ext):
    """Picks flags by the compiler in use, compiles the codec once into a
    static library linked into every extension, and drops flags that some
    interpreters' configs hand to every compile: C-only warnings that a C++
    build would report, and debug info."""

    def build_extensions(self):
        compiler_type = self.compiler.compiler_type
        for attr in ("compiler", "compiler_so", "compiler_cxx", "compiler_so_cxx", "linker_so",
                     "linker_so_cxx"):
            command = getattr(self.compiler, attr, None)
            if isinstance(command, list):
                setattr(self.compiler, attr, [f for f in command if f != "-Wstrict-prototypes"
                                              and not DEBUG_FLAG.match(f)])
        cflags = compile_flags(compiler_type)
        library = self.build_codec_library(cflags)
        for ext in self.extensions:
            ext.extra_compile_args = cflags
            ext.extra_link_args = link_flags(compiler_type)
            if library not in ext.extra_objects:
                ext.extra_objects.append(library)
                ext.depends = ext.depends + [library]
        build_ext.build_extensions(self)

    def build_codec_library(self, cflags):
        """Compiles src/codec/*.cpp into one static library in build_temp,
        unless it is newer than every codec source; returns its path."""
        library = self.compiler.library_filename(CODEC_LIBRARY, output_dir=self.build_temp)
        sources = codec_sources()
        if self.force or _newer(sources + CODEC_HEADERS, library):
            objects = self.compiler.compile(sources, output_dir=self.build_temp,
                                            extra_postargs=cflags, depends=CODEC_HEADERS,
                                            debug=self.debug)
            if os.path.exists(library):
                os.remove(library)  # a stale archive could keep a deleted file's objects
            self.compiler.create_static_lib(objects, CODEC_LIBRARY, output_dir=self.build_temp,
                                            debug=self.debug)
        return library


# The command line is Python 3 only: no script for a 2.7 install.
ENTRY_POINTS = {"console_scripts": ["tavo = tavo._cli:main"]} if sys.version_info >= (3,) else {}

with io.open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
    LONG_DESCRIPTION = f.read()

PYTHONS = ["2.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
CLASSIFIERS = [
    "Development Status :: 4 - Beta",
    "Intended Audience :: Developers",
    "Operating System :: POSIX :: Linux",
    "Programming Language :: C++",
    "Programming Language :: Python :: 2",
    "Programming Language :: Python :: 3",
] + ["Programming Language :: Python :: " + v for v in PYTHONS] + [
    # Both extensions run without the GIL on a free-threaded 3.13, tested in CI.
    "Programming Language :: Python :: Free Threading :: 2 - Beta",
    "Programming Language :: Python :: Implementation :: CPython",
    "Topic :: Communications",
    "Topic :: System :: Networking",
    "Typing :: Typed",
]
# A licence expression (Metadata 2.4) where setuptools writes one; older
# setuptools (the last for Python 3.8 and 2.7) know only the classifier.
if SETUPTOOLS_VERSION >= (77, 0):
    LICENSE = {"license_expression": "MIT", "license_files": ["LICENSE"]}
else:
    LICENSE = {"license": "MIT"}
    if SETUPTOOLS_VERSION >= (42, 0):
        LICENSE["license_files"] = ["LICENSE"]
    CLASSIFIERS.append("License :: OSI Approved :: MIT License")

setup(
    # The import names are tavo and _tavoext; "tavo" on PyPI is another project.
    name="tavo-cobs",
    version=read_version(),
    description="Fast, dependable Consistent Overhead Byte Stuffing (COBS) codec",
    long_description=LONG_DESCRIPTION,
    long_description_content_type="text/markdown",
    keywords=["cobs", "consistent overhead byte stuffing", "framing", "packet", "serial",
              "codec"],
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
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, !=3.7.*",
    classifiers=CLASSIFIERS,
    **LICENSE
)
