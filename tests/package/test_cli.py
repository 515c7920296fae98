"""The command line, run as a user would: ``python -m tavo`` in a subprocess."""
import importlib.util
import os
import random
import subprocess
import sys

import pytest

import tavo
from tavo import _kernels, encode_frame

SHORT = "not enough input bytes for length code"


def run(args, stdin=b"", cwd=None, executable=None):
    command = ([executable] if executable else [sys.executable, "-m", "tavo"]) + list(args)
    return subprocess.run(command, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=60)


def ok(args, stdin=b"", **kw):
    result = run(args, stdin, **kw)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stderr == b""
    return result.stdout


PAYLOADS = [b"", b"\x00", b"hello\x00world\x00", bytes(range(256)) * 3,
            bytes(random.Random(4).getrandbits(8) for _ in range(5000))]


@pytest.mark.parametrize("payload", PAYLOADS, ids=range(len(PAYLOADS)))
def test_encode_decode_round_trip_through_pipes(payload):
    encoded = ok(["encode"], payload)
    assert encoded == tavo.encode(payload)
    assert ok(["decode"], encoded) == payload
    framed = ok(["encode", "--frame"], payload)
    assert framed == encode_frame(payload)
    assert ok(["frames"], framed) == payload


def test_files_and_output_option(tmp_path):
    payload = PAYLOADS[-1]
    (tmp_path / "in.bin").write_bytes(payload)
    assert ok(["encode", "in.bin", "-o", "out.cobs"], cwd=tmp_path) == b""
    assert (tmp_path / "out.cobs").read_bytes() == tavo.encode(payload)
    assert ok(["decode", str(tmp_path / "out.cobs"), "--output", str(tmp_path / "back.bin")]) \
        == b""
    assert (tmp_path / "back.bin").read_bytes() == payload
    assert ok(["decode", "-", "-o", "-"], tavo.encode(payload)) == payload


def test_frames_binary_and_hex():
    stream = b"\x00" + encode_frame(b"ab") + b"\x00" + encode_frame(b"\x00\xff") + encode_frame(b"")
    assert ok(["frames"], stream) == b"ab\x00\xff"
    assert ok(["frames", "--hex"], stream) == b"61 62\n00 ff\n\n"


def test_frames_from_file_in_many_chunks(tmp_path):
    messages = [bytes([i % 255 + 1]) * (i * 37 % 700) for i in range(400)]
    (tmp_path / "cap.bin").write_bytes(b"".join(encode_frame(m) for m in messages))
    out = ok(["frames", "-x", "cap.bin"], cwd=tmp_path)
    assert out.decode().splitlines() == [" ".join("%02x" % b for b in m) for m in messages]


def test_version_names_version_and_kernel():
    out = ok(["--version"]).decode()
    assert tavo.__version__ in out
    assert _kernels.active() in out
    assert out.startswith("tavo ")


def test_help_texts():
    text = ok(["--help"]).decode()
    for command in ("encode", "decode", "frames", "bench"):
        assert command in text
    assert "examples:" in text
    assert "--frame" in ok(["encode", "--help"]).decode()
    frames_help = ok(["frames", "-h"]).decode()
    for option in ("--hex", "--skip", "--max-frame-size", "-o FILE"):
        assert option in frames_help


def test_no_command_is_a_usage_error():
    result = run([])
    assert result.returncode == 2
    assert b"usage:" in result.stderr and result.stdout == b""


def test_bad_option_is_a_usage_error():
    result = run(["frames", "--max-frame-size", "lots"])
    assert result.returncode == 2 and b"not a size" in result.stderr


# -- failure modes -----------------------------------------------------------

def test_decode_malformed_input_on_a_pipe_stops_at_the_bad_byte():
    # A pipe cannot take back what it was given: it gets the bytes before
    # the bad block, and nothing after. (A file gets nothing: test_cli_io.)
    good = tavo.encode(b"x" * 300)
    result = run(["decode"], good + b"\x05ab")
    assert result.returncode == 1
    assert result.stdout == b"x" * 300
    assert result.stderr.decode() == \
        "tavo decode: <stdin>: %s at byte %d\n" % (SHORT, len(good))


def test_decode_framed_input_gives_a_hint():
    result = run(["decode"], encode_frame(b"abc"))
    assert result.returncode == 1 and result.stdout == b"abc"  # the block before the zero
    message = result.stderr.decode()
    assert "zero byte found in input at byte 4" in message
    assert "tavo frames" in message


def test_decode_failure_leaves_output_file_alone(tmp_path):
    (tmp_path / "bad.cobs").write_bytes(b"\x02a\x09")
    (tmp_path / "out.bin").write_bytes(b"old contents")
    result = run(["decode", "bad.cobs", "-o", "out.bin", ], cwd=tmp_path)
    assert result.returncode == 1
    assert b"bad.cobs: " + SHORT.encode() + b" at byte 2" in result.stderr
    assert (tmp_path / "out.bin").read_bytes() == b"old contents"
    result = run(["decode", "bad.cobs", "-o", "new.bin"], cwd=tmp_path)
    assert result.returncode == 1 and not (tmp_path / "new.bin").exists()


def test_missing_input_file():
    result = run(["encode", "/nonexistent/input"])
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.decode().startswith("tavo encode: cannot read /nonexistent/input: ")


def test_unwritable_output_file(tmp_path):
    result = run(["encode", "-o", str(tmp_path / "no" / "such" / "dir")], b"x")
    assert result.returncode == 1
    assert b"cannot write" in result.stderr


BAD = encode_frame(b"one") + b"\x05ab\x00" + encode_frame(b"two") + encode_frame(b"three")


def test_frames_strict_stops_at_a_bad_frame():
    result = run(["frames", "--hex"], BAD)
    assert result.returncode == 1
    assert result.stdout == b"6f 6e 65\n"
    assert result.stderr.decode() == (
        "tavo frames: <stdin>: frame 1 at stream offset 5 (3 bytes): %s; "
        "first bad byte at stream offset 5\n" % SHORT)


def test_frames_skip_goes_on_but_fails():
    result = run(["frames", "--skip"], BAD + b"\x00\x09\x00" + encode_frame(b"four"))
    assert result.returncode == 1
    assert result.stdout == b"onetwothreefour"
    lines = result.stderr.decode().splitlines()
    assert lines[0].startswith("tavo frames: <stdin>: frame 1 at stream offset 5")
    assert lines[1].startswith("tavo frames: <stdin>: frame 4 at stream offset 22")
    assert lines[2] == "tavo frames: <stdin>: 2 bad frame(s) skipped, 4 decoded"


def test_frames_trailing_partial_frame():
    result = run(["frames"], encode_frame(b"done") + b"\x03ab")
    assert result.returncode == 1
    assert result.stdout == b"done"
    assert b"frame 1 at stream offset 6 (3 bytes): stream ended inside a frame" \
        in result.stderr


def test_frames_oversized():
    stream = encode_frame(b"12345") + encode_frame(b"x" * 5000) + encode_frame(b"ok")
    result = run(["frames", "--max-frame-size", "4K", "--skip"], stream)
    assert result.returncode == 1
    assert result.stdout == b"12345ok"
    assert b"frame 1 at stream offset 7 (5020 bytes): frame exceeds max_frame_size (4096" \
        in result.stderr
    assert ok(["frames", "-m", "none"], stream) == b"12345" + b"x" * 5000 + b"ok"


def test_broken_pipe_is_quiet():
    stream = encode_frame(b"x" * 100) * 20000
    proc = subprocess.Popen([sys.executable, "-m", "tavo", "frames", "--hex"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.close()
    _, err = proc.communicate(stream, timeout=60)
    assert b"Traceback" not in err
    assert proc.returncode != 0


def test_bench_without_benchmark_module():
    if importlib.util.find_spec("tavo._bench") is not None:
        pytest.skip("tavo._bench is installed; its output is its own business")
    result = run(["bench", "--help"])
    assert result.returncode != 0
    assert b"benchmark is not available" in result.stderr


def test_console_script():
    script = os.path.join(os.path.dirname(sys.executable), "tavo")
    if not os.path.exists(script):
        pytest.skip("no tavo script next to this Python (not installed with pip)")
    assert ok(["--version"], executable=script) == ok(["--version"])
    assert ok(["encode"], b"a\x00b", executable=script) == b"\x02a\x02b"
