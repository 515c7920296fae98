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
    ], ids=["encode", "decode", "frames"])
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


# -- helpers for the subprocess tests below -----------------------------------

TAVO = [sys.executable, "-m", "tavo"]
SHORT = "not enough input bytes for length code"
posix_only = pytest.mark.skipif(sys.platform == "win32", reason="POSIX file descriptors")


def run(args, stdin=b"", stdout=subprocess.PIPE, **kw):
    return subprocess.run(TAVO + list(args), input=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=120, **kw)


def big_bad_encoding():
    """Three chunks' worth of good blocks, then a bad one: a command has
    written megabytes by the time it meets the bad byte."""
    good = tavo.encode(DATA * 12)
    return good + b"\x05ab", len(good)


def leftovers(directory, *keep):
    return sorted(p.name for p in directory.iterdir() if p.name not in keep)


class TestDecodeFailureOutput:
    """Malformed input: a file ends up with nothing of it, a pipe with the
    bytes before the bad one."""

    def test_option_o_keeps_the_old_file_and_leaves_no_temporary(self, tmp_path):
        bad, _ = big_bad_encoding()
        (tmp_path / "bad.cobs").write_bytes(bad)
        (tmp_path / "out.bin").write_bytes(b"old contents")
        result = run(["decode", "bad.cobs", "-o", "out.bin"], cwd=tmp_path)
        assert result.returncode == 1 and SHORT.encode() in result.stderr
        assert (tmp_path / "out.bin").read_bytes() == b"old contents"
        assert leftovers(tmp_path) == ["bad.cobs", "out.bin"]

    def test_stdout_to_a_regular_file_is_rolled_back(self, tmp_path):
        bad, at = big_bad_encoding()
        target = tmp_path / "out.bin"
        with open(target, "wb") as f:  # as '> out.bin'
            result = run(["decode"], bad, stdout=f)
        assert result.returncode == 1
        assert result.stderr.decode() == "tavo decode: <stdin>: %s at byte %d\n" % (SHORT, at)
        assert target.read_bytes() == b""
        target.write_bytes(b"kept\n")
        with open(target, "ab") as f:  # as '>> out.bin'
            assert run(["decode"], bad, stdout=f).returncode == 1
        assert target.read_bytes() == b"kept\n"
        with open(target, "ab") as f:  # and a good one appends as before
            assert run(["decode"], tavo.encode(b"more"), stdout=f).returncode == 0
        assert target.read_bytes() == b"kept\nmore"

    def test_pipe_gets_the_good_blocks_before_the_bad_one(self):
        bad, at = big_bad_encoding()
        result = run(["decode"], bad)
        assert result.returncode == 1
        assert result.stdout == DATA * 12
        bad = bytearray(tavo.encode(DATA * 12))
        bad[at // 2] = 0
        result = run(["decode"], bytes(bad))
        assert result.returncode == 1
        assert (DATA * 12).startswith(result.stdout) and len(result.stdout) < len(DATA * 6)
        assert ("at byte %d " % (at // 2)).encode() in result.stderr


@posix_only
class TestWriteErrors:
    # Explicit ids: an id made from the payload would be copied into the
    # environment of every subprocess (PYTEST_CURRENT_TEST), past exec's limit.
    @pytest.mark.parametrize("command, payload", [("encode", DATA), ("decode", tavo.encode(DATA))],
                             ids=["encode", "decode"])
    def test_full_device(self, command, payload):
        result = run([command, "-o", "/dev/full"], payload)
        assert result.returncode == 1
        assert result.stderr.decode().startswith("tavo %s: cannot write /dev/full: " % command)
        assert b"Traceback" not in result.stderr
        with open("/dev/full", "wb") as full:
            result = run([command], payload, stdout=full)
        assert result.returncode == 1
        assert result.stderr.decode().startswith("tavo %s: cannot write <stdout>: " % command)
        assert b"Traceback" not in result.stderr

    def test_no_partial_file_when_the_disk_fills(self, tmp_path):
        resource = pytest.importorskip("resource")
        import signal

        def limit():  # a 1 MiB file size limit, reported as EFBIG
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        (tmp_path / "in.bin").write_bytes(DATA * 8)
        result = run(["encode", "in.bin", "-o", "out.cobs"], cwd=tmp_path, preexec_fn=limit)
        assert result.returncode == 1
        assert result.stderr.decode().startswith("tavo encode: cannot write out.cobs: ")
        assert leftovers(tmp_path) == ["in.bin"]

    def test_output_file_keeps_its_mode(self, tmp_path):
        (tmp_path / "out").write_bytes(b"old")
        os.chmod(tmp_path / "out", 0o640)
        assert run(["encode", "-o", str(tmp_path / "out")], b"new").returncode == 0
        assert (tmp_path / "out").read_bytes() == tavo.encode(b"new")
        assert os.stat(tmp_path / "out").st_mode & 0o777 == 0o640


@posix_only
class TestClosedStandardStreams:
    @pytest.mark.parametrize("command", ["encode", "decode", "frames"])
    def test_closed_stdin(self, command):
        result = subprocess.run(TAVO + [command], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lambda: os.close(0), timeout=60)
        assert result.returncode == 2
        assert result.stderr.decode() == "tavo %s: standard input is closed\n" % command

    @pytest.mark.parametrize("command", ["encode", "decode", "frames"])
    def test_closed_stdout(self, command, tmp_path):
        (tmp_path / "in").write_bytes(tavo.encode_frame(b"x"))
        result = subprocess.run(TAVO + [command, str(tmp_path / "in")],
                                stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1),
                                timeout=60)
        assert result.returncode == 2
        assert result.stderr.decode() == "tavo %s: standard output is closed\n" % command

    def test_closed_stdout_is_fine_with_option_o(self, tmp_path):
        result = subprocess.run(TAVO + ["encode", "-o", str(tmp_path / "out")],
                                input=b"abc", stderr=subprocess.PIPE,
                                preexec_fn=lambda: os.close(1), timeout=60)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / "out").read_bytes() == tavo.encode(b"abc")


@posix_only
@pytest.mark.parametrize("args, payload", [
    (["encode"], DATA * 4),
    (["decode"], tavo.encode(DATA * 4)),
    (["frames", "--hex"], tavo.encode_frame(DATA[:1000]) * 400),
], ids=["encode", "decode", "frames"])
def test_reader_going_away_is_quiet_with_the_broken_pipe_status(args, payload, tmp_path):
    (tmp_path / "in").write_bytes(payload)
    proc = subprocess.Popen(TAVO + args + [str(tmp_path / "in")], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    assert len(proc.stdout.read(1)) == 1  # as '| head -c1'
    proc.stdout.close()
    assert proc.wait(timeout=60) == 141  # 128 + SIGPIPE, as a shell shows a killed writer
    assert proc.stderr.read() == b""
    proc.stderr.close()


class TestBadInputFiles:
    @pytest.mark.parametrize("command", ["encode", "decode", "frames"])
    def test_directory(self, command, tmp_path):
        result = run([command, str(tmp_path)])
        assert result.returncode == 1 and result.stdout == b""
        assert result.stderr.decode().startswith(
            "tavo %s: cannot read %s: " % (command, tmp_path))

    @pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="Linux /proc")
    def test_read_error_after_open(self, tmp_path):
        # /proc/self/mem opens, then fails to read at offset 0 (EIO).
        result = run(["encode", "/proc/self/mem", "-o", str(tmp_path / "out")])
        assert result.returncode == 1
        assert result.stderr.decode().startswith("tavo encode: cannot read /proc/self/mem: ")
        assert leftovers(tmp_path) == []

    @pytest.mark.parametrize("command", ["encode", "decode"])
    def test_unreadable_file(self, command, tmp_path, monkeypatch, capsys):
        path = tmp_path / "secret"
        path.write_bytes(b"\x01")
        os.chmod(path, 0)
        if hasattr(os, "geteuid") and os.geteuid() != 0:
            result = run([command, str(path)])
            status, err = result.returncode, result.stderr.decode()
        else:  # root reads anything: refuse the open as the system would
            def refuse(name, *args, **kw):
                raise PermissionError(13, "Permission denied", name)
            monkeypatch.setattr(_cli, "open", refuse, raising=False)
            status, err = _cli.main([command, str(path)]), capsys.readouterr().err
        assert status == 1
        assert err == "tavo %s: cannot read %s: Permission denied\n" % (command, path)


@posix_only
def test_sigint_stops_with_status_130_and_no_partial_file(tmp_path):
    import signal
    # A shell that ran these tests in the background leaves SIGINT ignored,
    # and the command would inherit that; the user at a terminal does not.
    proc = subprocess.Popen(TAVO + ["encode", "-o", str(tmp_path / "out")],
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    proc.stdin.write(DATA)
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while not leftovers(tmp_path) and time.monotonic() < deadline:
        time.sleep(0.01)  # until the command has its temporary output open
    assert leftovers(tmp_path)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    proc.stdin.close()
    assert b"Traceback" not in proc.stderr.read()
    proc.stderr.close()
    assert leftovers(tmp_path) == []


PEAK_RSS = """
import sys
from tavo._cli import main
status = main(sys.argv[1:])
with open("/proc/self/status") as f:
    peak = [line for line in f if line.startswith("VmHWM:")][0].split()[1]
sys.stderr.write("peak %s\\n" % peak)
sys.exit(status)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="Linux /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ASan's shadow memory and quarantine count in RSS")
@pytest.mark.parametrize("command", ["encode", "decode"])
def test_memory_stays_bounded(command, tmp_path):
    """96 MiB through the command: reading it whole would take over 96 MiB;
    streaming stays far below. The peak is the process's own high-water
    mark (VmHWM), which a fork of a large parent does not inflate."""
    block, encoder = DATA[:1 << 18] * 4, tavo.Encoder()
    with open(tmp_path / "in", "wb") as f:
        for _ in range(96):
            f.write(block if command == "encode" else encoder.encode(block))
        f.write(b"" if command == "encode" else encoder.finish())
    result = subprocess.run([sys.executable, "-c", PEAK_RSS, command, str(tmp_path / "in"),
                             "-o", os.devnull], stderr=subprocess.PIPE, timeout=120)
    assert result.returncode == 0, result.stderr
    peak_kib = int(result.stderr.decode().split("peak ")[1])
    assert peak_kib < 64 << 10, peak_kib


class TestEncodeFrameDelimiter:
    @pytest.mark.parametrize("delimiter", ["0", "1", "0x7e", "255"])
    def test_matches_encode_frame(self, delimiter, tmp_path):
        payload = DATA[:70000] + bytes(300) + bytes(range(256))
        (tmp_path / "in").write_bytes(payload)
        result = run(["encode", "--frame", "--delimiter", delimiter, str(tmp_path / "in")])
        assert result.returncode == 0, result.stderr
        framed = tavo.encode_frame(payload, delimiter=int(delimiter, 0))
        assert result.stdout == framed
        assert run(["frames", "-d", delimiter], framed).stdout == payload

    def test_needs_frame_and_a_byte(self):
        result = run(["encode", "--delimiter", "7"], b"x")
        assert result.returncode == 2 and result.stdout == b""
        assert b"--delimiter applies to --frame only" in result.stderr
        assert run(["encode", "--frame", "-d", "256"], b"x").returncode == 2
