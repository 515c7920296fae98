"""The installed distribution as pip and an index see it: its name, version,
requirements, classifiers, licence and files. Skipped where tavo runs from a
build tree, which has no metadata, unless TAVO_TEST_INSTALLED=1 (set by
scripts/test-installed) says that tavo must be installed."""
import os
import re
import sys
from importlib import metadata

import pytest
from packaging.specifiers import SpecifierSet

import _tavoext
import tavo
from tavo import _kernels

DIST = "tavo-cobs"
MUST_BE_INSTALLED = os.environ.get("TAVO_TEST_INSTALLED") == "1"


def _installed():
    """The distribution tavo was imported from, or a reason why there is none."""
    try:
        dist = metadata.distribution(DIST)
    except metadata.PackageNotFoundError:
        return None, "%s is not installed (tavo runs from %s)" % (DIST, tavo.__file__)
    init = [f for f in dist.files or () if f.as_posix() == "tavo/__init__.py"]
    if not init or os.path.realpath(str(init[0].locate())) != os.path.realpath(tavo.__file__):
        return None, "tavo is imported from %s, not from %s's files" % (tavo.__file__, DIST)
    return dist, None


@pytest.fixture(scope="module")
def dist():
    found, why = _installed()
    if found is None:
        if MUST_BE_INSTALLED:
            pytest.fail(why)
        pytest.skip(why)
    return found


def _python_versions(classifiers):
    found = [re.match(r"Programming Language :: Python :: (\d+\.\d+)$", c) for c in classifiers]
    return sorted((tuple(int(n) for n in m.group(1).split(".")) for m in found if m))


def test_name_version_and_supported_pythons(dist):
    md = dist.metadata
    assert md["Name"] == DIST
    assert md["Version"] == tavo.__version__
    requires = SpecifierSet(md["Requires-Python"])
    here = "%d.%d.%d" % sys.version_info[:3]
    assert here in requires
    # 3.6 and 3.7 are refused outright: the suite fails on 3.7, and pip on
    # 3.6 fails with an unrelated message.
    for version in ("3.6.15", "3.7.16", "3.5.10", "3.0.1"):
        assert version not in requires, version
    classified = _python_versions(md.get_all("Classifier"))
    assert sys.version_info[:2] in classified
    assert (2, 7) in classified and (3, 8) in classified and (3, 13) in classified
    for major, minor in classified:
        assert "%d.%d.0" % (major, minor) in requires, (major, minor)
    for version in ("2.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"):
        assert (version + ".0") in requires


def test_classifiers_and_keywords(dist):
    classifiers = dist.metadata.get_all("Classifier")
    assert len([c for c in classifiers if c.startswith("Development Status ::")]) == 1
    for needed in ("Typing :: Typed", "Programming Language :: Python :: Implementation :: CPython",
                   "Operating System :: POSIX :: Linux"):
        assert needed in classifiers
    assert "cobs" in dist.metadata["Keywords"].lower().split(",")


def test_licence_is_mit_and_shipped(dist):
    md = dist.metadata
    classifiers = md.get_all("Classifier")
    if tuple(int(n) for n in md["Metadata-Version"].split(".")) >= (2, 4):
        # The expression replaces the classifier, which an index now refuses
        # beside it.
        assert md["License-Expression"] == "MIT"
        assert not [c for c in classifiers if c.startswith("License ::")]
    else:
        assert md["License"] == "MIT"
        assert "License :: OSI Approved :: MIT License" in classifiers
    assert "LICENSE" in md.get_all("License-File")
    shipped = [f for f in dist.files if f.name == "LICENSE" and ".dist-info" in f.as_posix()]
    assert len(shipped) == 1, dist.files
    text = shipped[0].read_text(encoding="utf-8")
    assert text.startswith("MIT License") and "Permission is hereby granted" in text


def test_files_are_the_package_stubs_and_extensions(dist):
    files = {f.as_posix() for f in dist.files}
    for needed in ("tavo/py.typed", "tavo/_kernels.pyi", "_tavoext-stubs/__init__.pyi"):
        assert needed in files
    extensions = [_tavoext, _kernels]
    if sys.version_info >= (3,):
        from tavo import _stream
        extensions.append(_stream)
    located = {os.path.realpath(str(dist.locate_file(f))) for f in files}
    for ext in extensions:
        assert os.path.realpath(ext.__file__) in located, ext.__file__
    # Built objects and sources stay out of the wheel: the extensions carry
    # the codec, linked in.
    assert not [f for f in files if re.search(r"\.(cpp|hpp|h|o|obj|a|lib)$", f)]
    scripts = [e for e in dist.entry_points if e.group == "console_scripts"]
    assert [(e.name, e.value) for e in scripts] == [("tavo", "tavo._cli:main")]


def test_extensions_carry_no_debug_info(dist):
    """A wheel is built without -g, whatever the interpreter's CFLAGS say:
    no DWARF section in any extension (ELF .debug_*, Mach-O __debug_*)."""
    for ext in (_tavoext, _kernels):
        with open(ext.__file__, "rb") as f:
            data = f.read()
        assert b".debug_info" not in data and b"__debug_info" not in data, ext.__file__
