"""The command line's input and output: every byte written or an error,
bounded memory, clean failures on bad files and streams."""
import os
import random
import subprocess
import sys
import time
import types

import pytest

import tavo
from tavo import _cli

_RNG = random.Random(10)
DATA = bytes(_RNG.getrandbits(8) for _ in range(300000)) + bytes(5000)


class ShortWriter:
    """A raw stream that takes fewer bytes than it is given: sometimes a few,
    sometimes none (None, as a non-blocking raw stream says 'try again')."""

    def __init__(self):
        self.chunks = []
        self.calls = 0

    def write(self, data):
        self.calls += 1
        if self.calls % 5 == 0:
            return None
        taken = bytes(memoryview(data)[:1 + self.calls % 1000])
        self.chunks.append(taken)
        return len(taken)

    def flush(self):
        pass

    def fileno(self):
        raise OSError("no fileno")

    def getvalue(self):
        return b"".join(self.chunks)


def main_into(writer, argv, monkeypatch):
    """Runs the CLI with `writer` as stdout's binary layer. Set here, in the
    test body: pytest's own capture resets sys.stdout between phases."""
    with monkeypatch.context() as patch:
        patch.setattr(sys, "stdout", types.SimpleNamespace(buffer=writer))
        return _cli.main(argv)


class TestShortWrites:

    def test_write_fully_writes_everything(self):
        writer = ShortWriter()
        _cli._write_fully(writer, DATA[:20000])
        assert writer.getvalue() == DATA[:20000]
        assert writer.calls > 20  # it really was cut into many short writes

    @pytest.mark.parametrize("command, payload, expected", [
        ("encode", DATA, tavo.encode(DATA)),
        ("decode", tavo.encode(DATA), DATA),
        ("frames", tavo.encode_frame(DATA[:70000]) * 3, DATA[:70000] * 3),
    ])
    def test_every_command_writes_everything(self, command, payload, expected, tmp_path,
                                             monkeypatch):
        source = tmp_path / "in.bin"
        source.write_bytes(payload)
        writer = ShortWriter()
        assert main_into(writer, [command, str(source)], monkeypatch) == 0
        assert writer.getvalue() == expected

    def test_encode_frame_writes_everything(self, tmp_path, monkeypatch):
        source = tmp_path / "in.bin"
        source.write_bytes(DATA)
        writer = ShortWriter()
        assert main_into(writer, ["encode", "--frame", str(source)], monkeypatch) == 0
        assert writer.getvalue() == tavo.encode_frame(DATA)


@pytest.mark.parametrize("command", ["encode", "decode"])
def test_unbuffered_stdout_on_a_pipe_that_fills(command, tmp_path):
    """PYTHONUNBUFFERED=1 makes stdout a raw FileIO. On a non-blocking pipe
    each write takes only what fits in the pipe, or nothing: the command
    must still deliver every byte."""
    fcntl = pytest.importorskip("fcntl")
    payload = DATA * 4
    source = tmp_path / "in.bin"
    source.write_bytes(payload if command == "encode" else tavo.encode(payload))
    expected = tavo.encode(payload) if command == "encode" else payload
    read_end, write_end = os.pipe()
    flags = fcntl.fcntl(write_end, fcntl.F_GETFL)
    fcntl.fcntl(write_end, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    proc = subprocess.Popen([sys.executable, "-m", "tavo", command, str(source)],
                            stdout=write_end, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONUNBUFFERED="1"))
    os.close(write_end)
    received = []
    with os.fdopen(read_end, "rb", buffering=0) as pipe:
        while True:
            time.sleep(0.0005)  # a slow reader, so the pipe is often full
            piece = pipe.read(1 << 15)
            if not piece:
                break
            received.append(piece)
    assert proc.wait(timeout=60) == 0, proc.stderr.read()
    proc.stderr.close()
    assert b"".join(received) == expected
