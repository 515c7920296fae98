import pytest

from . import native


@pytest.mark.parametrize("compiler", native.compilers() or [pytest.param(None, marks=pytest.mark.skip("no C++ compiler"))])
def test_output_bound_for_32_and_64_bit_sizes(compiler, tmp_path):
    out = native.build_and_run(compiler, "bound_test.cpp", tmp_path)
    assert out.rstrip().endswith(", 0 failed")
