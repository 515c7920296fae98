"""Inputs past 2 GiB on 64-bit hosts: lengths must not be truncated anywhere."""
import sys

import _tavoext
import pytest


def _available_memory():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


@pytest.mark.huge
def test_round_trip_past_2_gib():
    if sys.maxsize < 2**32:
        pytest.skip("needs a 64-bit host")
    mem = _available_memory()
    if mem is not None and mem < 8 * 2**30:
        pytest.skip("needs about 7 GB of free memory, have %d MB" % (mem >> 20))
    # 300 non-zero bytes and a zero: one maximal block and one short block
    # per unit, so the expected length is known without a second codec.
    unit = bytes(range(1, 256)) + bytes(range(1, 46)) + b"\0"
    count = 2**31 // len(unit) + 1000
    data = unit * count
    assert len(data) > 2**31

    encoded = _tavoext.encode(data)
    assert len(encoded) == 302 * count + 1
    assert encoded[:302] == _tavoext.encode(unit)[:302]
    assert encoded[-303:] == _tavoext.encode(unit)
    del data

    decoded = _tavoext.decode(encoded)
    del encoded
    assert len(decoded) == 301 * count
    # Compare outside assert so a failure doesn't try to diff gigabytes.
    same = decoded == unit * count
    assert same, "decoded bytes differ from the input"
