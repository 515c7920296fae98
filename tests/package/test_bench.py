"""The benchmark runs end to end and reports what it measured."""
import io
import re

import pytest

_bench = pytest.importorskip("tavo._bench")
from tavo import _kernels  # noqa: E402


def test_quick_run_reports_every_section(monkeypatch):
    out = io.StringIO()
    monkeypatch.setattr("sys.stdout", out)
    assert _bench.main(["--quick", "--sizes", "16,300", "--all-kernels"]) == 0
    text = out.getvalue()
    assert "kernel in use: %s" % _kernels.active() in text
    assert "CPU: " in text
    choice = [line for line in text.splitlines() if line.startswith("Kernel chosen: ")]
    assert len(choice) == 1 and _kernels.active() in choice[0]
    for name, present in _kernels.features():
        assert "%s %s" % (name, "yes" if present else "no") in choice[0]
    # One table row per size and shape, each with a positive speed.
    rows = [line for line in text.splitlines() if re.match(r"^(16|300) B ", line)]
    assert len(rows) == 2 * len(_bench.SHAPES)
    for row in rows:
        speeds = [float(x) for x in re.findall(r"\d+\.\d+", row)]
        assert speeds and min(speeds) > 0, row
    assert "bytearray(data)" in text and "hexlify" in text
    assert re.search(r"2 threads do \d+\.\d\dx the work", text)
    assert re.search(r"kernel alone in a C loop, without Python or the GIL: \d+\.\d\dx", text)
    assert re.search(r"lowest decode ratio %s/scalar: \d" % _kernels.active(), text)
    for label in ("FrameDecoder.feed", "decode loop", "encode_frames", "encode_frame loop"):
        assert re.search(r"  %s +\d+\.\d\d million frames/s" % label, text), label
    assert re.search(r"/ decode loop over split frames: \d+\.\d\dx", text)
    assert re.search(r"encode_frames / encode_frame loop: \d+\.\d\dx", text)
    into_rows = [line for line in text.splitlines()
                 if re.match(r"^ +(16 B|64 B|256 B|4 KiB) +\d+\.\d +\d+\.\d +\d+\.\d\dx", line)]
    assert len(into_rows) == 4
    assert re.search(r"Encoder / encode: \d+\.\d\dx   Decoder / decode: \d+\.\d\dx", text)


@pytest.mark.parametrize("shape", _bench.SHAPES)
def test_shapes_have_their_zero_density(shape):
    data = bytearray(_bench.make(shape, 4096))
    zeros = data.count(0)
    expected = {"random": (1, 60), "no zeros": (0, 0), "1 zero in 8": (350, 700),
                "every 2nd zero": (2048, 2048), "all zeros": (4096, 4096)}[shape]
    assert len(data) == 4096
    assert expected[0] <= zeros <= expected[1]
    if shape == "every 2nd zero":
        assert all(b == 0 for b in data[1::2]) and all(data[0::2])
