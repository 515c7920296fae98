"""Builds tests/codec/stream_test.cpp with each C++ compiler present and runs
it: the incremental codecs, with every kernel, agree with one-shot decoding
for every cut, inside buffers of exactly the documented sizes."""
import sys

import pytest

from . import native

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX compilers only")
COMPILERS = native.compilers() or [pytest.param(None, marks=pytest.mark.skip("no C++ compiler"))]


@pytest.mark.parametrize("cxx", COMPILERS)
def test_stream_codecs_agree_under_sanitizers(cxx, tmp_path):
    out = native.build_and_run(cxx, "stream_test.cpp", tmp_path, flags=["-O1"], with_codec=True)
    assert " 0 failures" in out


@pytest.mark.parametrize("cxx", COMPILERS)
def test_stream_codecs_agree_as_shipped(cxx, tmp_path):
    out = native.build_and_run(cxx, "stream_test.cpp", tmp_path, flags=["-O3"], sanitize=False,
                               with_codec=True)
    assert " 0 failures" in out
