"""The ``tavo`` command line (``python -m tavo``, or the ``tavo`` script)."""

import argparse
import importlib
import os
import select
import stat
import sys
import tempfile
import time
from typing import IO, Callable, Iterator, List, Optional, Sequence

import tavo
from _tavoext import DecodeError
from tavo._framing import DEFAULT_MAX_FRAME_SIZE, FrameError, FrameReader, _delimiter
from tavo._stream import Decoder, Encoder

PROG = "tavo"

# Exit statuses.
OK = 0
BAD_INPUT = 1  # malformed input, or a file that cannot be read or written
USAGE = 2  # argparse's own status for a bad command line, or a closed stdin/stdout
BROKEN_PIPE = 141  # the reader went away: 128 + SIGPIPE, as a shell reports it
INTERRUPTED = 130  # SIGINT: 128 + 2

DESCRIPTION = """\
Consistent Overhead Byte Stuffing (COBS): encode and decode byte strings,
and split zero-delimited streams of COBS frames.

Each command reads FILE (or standard input when FILE is omitted or '-') and
writes standard output (or -o FILE). Input and output are raw bytes.
"""

EPILOG = """\
examples:
  tavo encode message.bin -o message.cobs     encode a file
  tavo decode message.cobs -o message.bin     decode it back, byte for byte
  printf 'hello' | tavo encode --frame > f    one frame: encoding + zero byte
  cat capture.bin | tavo frames --hex         show each frame of a capture
  tavo frames --skip --hex /dev/ttyUSB0       watch a serial line, skip noise

exit status: 0 on success, 1 on malformed input or an unreadable/unwritable
file, 2 on a bad command line or a closed standard input/output, 130 on
Ctrl-C, 141 when the reader goes away (as '| head'). Run 'tavo COMMAND --help'
for each command.
"""


def _kernel() -> str:
    try:
        from tavo import _kernels
        return _kernels.active()
    except Exception:  # pragma: no cover - the extension ships with tavo
        return "unknown"


def _version() -> str:
    return "tavo %s (kernel: %s; Python %s)" % (
        tavo.__version__, _kernel(), ".".join(str(n) for n in sys.version_info[:3]))


def _size(text: str) -> Optional[int]:
    """argparse type for --max-frame-size: bytes, with K/M suffixes, or
    'none'."""
    value = text.strip().lower()
    if value in ("none", "unlimited"):
        return None
    scale = 1
    for suffix, factor in (("kib", 1 << 10), ("mib", 1 << 20), ("k", 1 << 10), ("m", 1 << 20)):
        if value.endswith(suffix):
            value, scale = value[:-len(suffix)], factor
            break
    try:
        number = int(value) * scale
    except ValueError:
        raise argparse.ArgumentTypeError("not a size: %r (e.g. 256, 64K, 1M, none)" % text)
    if number < 0:
        raise argparse.ArgumentTypeError("size must not be negative: %r" % text)
    return number


def _byte(text: str) -> int:
    """argparse type for --delimiter: a byte value, decimal or 0x hex."""
    try:
        return _delimiter(int(text, 0))
    except ValueError:
        raise argparse.ArgumentTypeError("not a byte value 0-255: %r (e.g. 0, 126, 0x7e)" % text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=_version(),
                        help="show the version and the codec kernel in use, and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    def io_arguments(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("file", metavar="FILE", nargs="?", default="-",
                         help="input file (default: standard input)")
        sub.add_argument("-o", "--output", metavar="FILE", default="-",
                         help="output file (default: standard output)")

    enc = commands.add_parser(
        "encode", help="encode bytes with COBS",
        description="Encode the whole input with COBS and write the encoding, which holds "
                    "no zero byte, streaming in constant memory. With --frame, also write "
                    "a zero byte after it, making one frame for 'tavo frames' or "
                    "tavo.FrameDecoder.")
    io_arguments(enc)
    enc.add_argument("-f", "--frame", action="store_true",
                     help="append the zero delimiter byte")
    enc.add_argument("-d", "--delimiter", metavar="BYTE", type=_byte, default=None,
                     help="with --frame: the byte that ends the frame, 0-255, decimal or 0x "
                          "hex; the encoding is XORed with it (default: 0)")

    dec = commands.add_parser(
        "decode", help="decode one COBS encoding",
        description="Decode the whole input as one COBS encoding (no delimiter) and write "
                    "the bytes it stands for, streaming in constant memory. Malformed input "
                    "prints the reason and the byte offset to stderr and exits with status "
                    "1; a file (-o, or standard output redirected to one) is then left as "
                    "it was, while a pipe or terminal has received the bytes before the "
                    "bad one. For a stream of zero-delimited frames use 'tavo frames'.")
    io_arguments(dec)

    frm = commands.add_parser(
        "frames", help="decode a stream of zero-delimited frames",
        description="Read a stream of COBS frames, each ended by a zero byte, and write "
                    "each decoded frame as it completes: raw bytes one after another, or "
                    "with --hex one line of hex per frame. Repeated zeros are skipped. A "
                    "bad frame (malformed, too large, or cut off by the end of the input) "
                    "is reported on stderr with its index and byte offset; it stops the "
                    "command, or with --skip is dropped and the command goes on. Either "
                    "way the exit status is then 1. With --delimiter, frames end with that "
                    "byte instead, and each byte of a frame is XORed with it (as "
                    "tavo.encode_frame(data, delimiter) makes them). A non-blocking input "
                    "is waited on, never taken as ended before it is closed.")
    io_arguments(frm)
    frm.add_argument("-x", "--hex", action="store_true",
                     help="write each frame as one line of space-separated hex")
    frm.add_argument("-s", "--skip", action="store_true",
                     help="drop bad frames and go on (each is still reported)")
    frm.add_argument("-m", "--max-frame-size", metavar="SIZE", type=_size,
                     default=DEFAULT_MAX_FRAME_SIZE,
                     help="largest decoded frame, in bytes; K and M suffixes, or 'none' "
                          "(default: 1M)")
    frm.add_argument("-d", "--delimiter", metavar="BYTE", type=_byte, default=0,
                     help="the byte that ends each frame, 0-255, decimal or 0x hex; frames "
                          "are XORed with it (default: 0)")

    commands.add_parser(
        "bench", help="measure codec throughput (arguments go to the benchmark)",
        add_help=False)
    return parser


class _Failure(Exception):
    """Ends the command with a message on stderr and status BAD_INPUT."""


class _Usage(Exception):
    """Ends the command with a message on stderr and status USAGE: options
    that do not go together, or a closed standard input or output (fd 0 or
    1) that the command needs."""


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _stdin() -> IO[bytes]:
    if sys.stdin is None:
        raise _Usage("standard input is closed")
    return sys.stdin.buffer


def _stdout() -> IO[bytes]:
    if sys.stdout is None:
        raise _Usage("standard output is closed")
    return sys.stdout.buffer


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        return _stdin()
    try:
        return open(path, "rb", buffering=0)
    except OSError as exc:
        raise _Failure("cannot read %s: %s" % (path, exc.strerror or exc))


def _open_output(path: str) -> IO[bytes]:
    if path == "-":
        return _stdout()
    try:
        return open(path, "wb")
    except OSError as exc:
        raise _Failure("cannot write %s: %s" % (path, exc.strerror or exc))


def _wait_writable(out: IO[bytes]) -> None:
    try:
        select.select([], [out.fileno()], [])
    except (OSError, ValueError):  # no fileno, or select() cannot take it (Windows)
        time.sleep(0.001)


def _write_fully(out: IO[bytes], data: bytes) -> None:
    """Writes all of `data` to `out`, or raises. A raw stream (stdout under
    PYTHONUNBUFFERED=1 or -u) may take only part of a write: Linux moves at
    most 0x7FFFF000 bytes per call, a non-blocking pipe as much as fits, or
    nothing (None)."""
    view = memoryview(data).cast("B")
    while view:
        try:
            written = out.write(view)
        except BlockingIOError as exc:  # a buffered stream on a non-blocking fd
            written = exc.characters_written
        if not written:
            _wait_writable(out)
            continue
        view = view[written:]


def _flush_fully(out: IO[bytes]) -> None:
    while True:
        try:
            out.flush()
            return
        except BlockingIOError:
            _wait_writable(out)


CHUNK = 1 << 20  # read size of encode and decode: memory stays a few MiB


class _Output:
    """The output of encode and decode, written chunk by chunk, that either
    commits or rolls back:

    - `-o FILE` (a regular file or a new one): written to a temporary file
      beside FILE and renamed over it by commit(), so a failure leaves FILE
      as it was and no partial file behind;
    - standard output redirected to a regular file: truncated back to its
      size at the start on a failure;
    - anything else (a pipe, a terminal, a device): written as it comes, so
      a failure leaves what was written before it.
    """

    def __init__(self, path: str) -> None:
        self.label = "<stdout>" if path == "-" else path
        self._target: Optional[str] = None
        self._temp: Optional[str] = None
        self._rewind: Optional[int] = None
        self._close = False
        try:
            if path == "-":
                self._stream = self._open_stdout()
            else:
                self._stream = self._open_file(path)
        except OSError as exc:
            raise _Failure("cannot write %s: %s" % (self.label, exc.strerror or exc))

    def _open_stdout(self) -> IO[bytes]:
        stream = _stdout()
        try:
            fd = stream.fileno()
        except (AttributeError, OSError, ValueError):
            return stream  # not a file descriptor: plain writes
        _flush_fully(stream)
        info = os.fstat(fd)
        if stat.S_ISREG(info.st_mode):
            self._rewind = info.st_size if _appending(fd) else os.lseek(fd, 0, os.SEEK_CUR)
        # Chunks are large: straight to the descriptor, with no buffer to copy
        # through or to flush again at exit.
        self._close = True
        return open(fd, "wb", buffering=0, closefd=False)

    def _open_file(self, path: str) -> IO[bytes]:
        target = os.path.realpath(path)  # a symlink stays a symlink
        try:
            info: Optional[os.stat_result] = os.stat(target)
        except FileNotFoundError:
            info = None
        self._close = True
        if info is not None and not stat.S_ISREG(info.st_mode):
            return open(path, "wb")  # a device or a fifo: nothing to rename
        fd, temp = tempfile.mkstemp(dir=os.path.dirname(target),
                                    prefix="." + os.path.basename(target) + ".", suffix=".tmp")
        self._target, self._temp = target, temp
        if hasattr(os, "fchmod"):
            os.fchmod(fd, stat.S_IMODE(info.st_mode) if info is not None else 0o666 & ~_umask())
        return open(fd, "wb", buffering=0)

    def write(self, data: bytes) -> None:
        if not data:
            return
        try:
            _write_fully(self._stream, data)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise _Failure("cannot write %s: %s" % (self.label, exc.strerror or exc))

    def commit(self) -> None:
        try:
            _flush_fully(self._stream)
            if self._close:
                self._stream.close()
            if self._temp is not None and self._target is not None:
                os.replace(self._temp, self._target)
                self._temp = None
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise _Failure("cannot write %s: %s" % (self.label, exc.strerror or exc))

    def abort(self) -> None:
        """Undoes what can be undone; never raises."""
        try:
            if self._rewind is not None:
                os.ftruncate(self._stream.fileno(), self._rewind)
                os.lseek(self._stream.fileno(), self._rewind, os.SEEK_SET)
        except OSError:
            pass
        try:
            if self._close:
                self._stream.close()
        except OSError:
            pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass


def _appending(fd: int) -> bool:
    if sys.platform == "win32":
        return False
    import fcntl
    return bool(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND)


def _umask() -> int:
    mask = os.umask(0o22)
    os.umask(mask)
    return mask


def _chunks(source: IO[bytes], name: str) -> Iterator[memoryview]:
    """The input in pieces of up to CHUNK bytes, read into one buffer that
    is reused: each piece is valid until the next one is read."""
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    readinto = getattr(source, "readinto1", None) or getattr(source, "readinto")
    while True:
        try:
            n = readinto(view)
        except OSError as exc:
            raise _Failure("cannot read %s: %s" % (name, exc.strerror or exc))
        if n is None:  # a non-blocking source with nothing yet
            _wait_readable(source)
            continue
        if n == 0:
            return
        yield view[:n]


def _run_streaming(args: argparse.Namespace,
                   work: Callable[[Iterator[memoryview], _Output], None]) -> int:
    """Feeds the input to `work` chunk by chunk; commits the output if it
    returns, rolls it back if anything is raised (SIGINT included)."""
    source = _open_input(args.file)
    try:
        out = _Output(args.output)
        try:
            work(_chunks(source, _name(args.file)), out)
            out.commit()
        except BaseException:
            out.abort()
            raise
    finally:
        if args.file != "-":
            source.close()
    return OK


def _cmd_encode(args: argparse.Namespace) -> int:
    if args.delimiter is not None and not args.frame:
        raise _Usage("--delimiter applies to --frame only")
    delimiter = args.delimiter or 0
    # A frame with a delimiter other than zero: each byte of the encoding
    # XORed with it, so the delimiter byte appears only at the end.
    table = bytes(b ^ delimiter for b in range(256)) if delimiter else None

    def work(chunks: Iterator[memoryview], out: _Output) -> None:
        encoder = Encoder()
        for chunk in chunks:
            piece = encoder.encode(chunk)
            out.write(piece.translate(table) if table else piece)
        piece = encoder.finish()
        out.write(piece.translate(table) if table else piece)
        if args.frame:
            out.write(bytes([delimiter]))
    return _run_streaming(args, work)


def _cmd_decode(args: argparse.Namespace) -> int:
    def work(chunks: Iterator[memoryview], out: _Output) -> None:
        decoder = Decoder()
        try:
            for chunk in chunks:
                out.write(decoder.decode(chunk))
            decoder.finish()
        except DecodeError as exc:
            # A pipe gets the bytes before the bad one; a file gets nothing.
            out.write(getattr(exc, "partial", b""))
            message = "%s: %s at byte %d" % (_name(args.file), exc, getattr(exc, "offset", -1))
            if str(exc) == "zero byte found in input":
                message += " (zero-delimited frames? use 'tavo frames')"
            raise _Failure(message)
    return _run_streaming(args, work)


def _hex_line(frame: bytes) -> bytes:
    text = frame.hex()
    return (" ".join(text[i:i + 2] for i in range(0, len(text), 2)) + "\n").encode("ascii")


def _wait_readable(source: IO[bytes]) -> None:
    """Block until a non-blocking source has data (or has ended)."""
    try:
        select.select([source], [], [])
    except (OSError, ValueError):  # not selectable here (e.g. a pipe on Windows)
        time.sleep(0.01)


def _cmd_frames(args: argparse.Namespace) -> int:
    name = _name(args.file)
    source = _open_input(args.file)
    reader = FrameReader(source, max_frame_size=args.max_frame_size,
                         errors="skip" if args.skip else "strict", delimiter=args.delimiter)
    decoder = reader.decoder
    out = _open_output(args.output)
    status = OK
    try:
        while not reader.at_eof:
            try:
                items = reader._pull()
            except OSError as exc:
                raise _Failure("cannot read %s: %s" % (name, exc.strerror or exc))
            if items is None:
                _wait_readable(source)
                continue
            for item in items:
                if isinstance(item, FrameError):
                    print("%s frames: %s: %s" % (PROG, name, item), file=sys.stderr)
                    status = BAD_INPUT
                    if not args.skip:
                        return status
                else:
                    _write_fully(out, _hex_line(item) if args.hex else item)
            out.flush()
        if decoder.bad_frames:
            print("%s frames: %s: %d bad frame(s) skipped, %d decoded" % (
                PROG, name, decoder.bad_frames, decoder.good_frames), file=sys.stderr)
        return status
    finally:
        out.flush()
        if out is not sys.stdout.buffer:
            out.close()
        if source is not sys.stdin.buffer:
            source.close()


def _cmd_bench(argv: List[str]) -> int:
    try:
        bench = importlib.import_module("tavo._bench")
    except ImportError as exc:
        print("%s bench: the benchmark is not available in this installation of tavo "
              "(%s)" % (PROG, exc), file=sys.stderr)
        return BAD_INPUT
    return int(bench.main(argv) or 0)


COMMANDS = {"encode": _cmd_encode, "decode": _cmd_decode, "frames": _cmd_frames}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); return
    the exit status."""
    args_list = list(sys.argv[1:] if argv is None else argv)
    try:
        if args_list[:1] == ["bench"]:
            # Everything after 'bench', --help included, is the benchmark's.
            return _cmd_bench(args_list[1:])
        parser = build_parser()
        args = parser.parse_args(args_list)
        if args.command is None:
            parser.print_help(sys.stderr)
            return USAGE
        try:
            return COMMANDS[args.command](args)
        except _Failure as exc:
            _complain("%s %s: %s" % (PROG, args.command, exc))
            return BAD_INPUT
        except _Usage as exc:
            _complain("%s %s: %s" % (PROG, args.command, exc))
            return USAGE
    except BrokenPipeError:
        # The reader went away (e.g. '| head'): stop quietly, and keep
        # Python from complaining again when it flushes stdout at exit.
        if sys.stdout is not None:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return BROKEN_PIPE
    except KeyboardInterrupt:
        return INTERRUPTED


def _complain(message: str) -> None:
    if sys.stderr is not None:  # with fd 2 closed there is no one to tell
        print(message, file=sys.stderr)
