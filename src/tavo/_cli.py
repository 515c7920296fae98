"""The ``tavo`` command line (``python -m tavo``, or the ``tavo`` script)."""

import argparse
import importlib
import os
import select
import sys
import time
from typing import IO, List, Optional, Sequence

import tavo
from _tavoext import DecodeError, decode, encode
from tavo._framing import DEFAULT_MAX_FRAME_SIZE, FrameError, FrameReader, _delimiter

PROG = "tavo"

# Exit statuses.
OK = 0
BAD_INPUT = 1  # malformed input, or a file that cannot be read or written
USAGE = 2  # argparse's own status for a bad command line

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
file, 2 on a bad command line. Run 'tavo COMMAND --help' for each command.
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
                    "no zero byte. With --frame, also write a zero byte after it, making "
                    "one frame for 'tavo frames' or tavo.FrameDecoder.")
    io_arguments(enc)
    enc.add_argument("-f", "--frame", action="store_true",
                     help="append the zero delimiter byte")

    dec = commands.add_parser(
        "decode", help="decode one COBS encoding",
        description="Decode the whole input as one COBS encoding (no delimiter) and write "
                    "the bytes it stands for. Malformed input writes nothing, prints the "
                    "reason and the byte offset to stderr, and exits with status 1. For a "
                    "stream of zero-delimited frames use 'tavo frames'.")
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


def _name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _read_all(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise _Failure("cannot read %s: %s" % (path, exc.strerror or exc))


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdin.buffer
    try:
        return open(path, "rb", buffering=0)
    except OSError as exc:
        raise _Failure("cannot read %s: %s" % (path, exc.strerror or exc))


def _open_output(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdout.buffer
    try:
        return open(path, "wb")
    except OSError as exc:
        raise _Failure("cannot write %s: %s" % (path, exc.strerror or exc))


def _write_all(path: str, data: bytes) -> None:
    out = _open_output(path)
    try:
        out.write(data)
        out.flush()
    finally:
        if out is not sys.stdout.buffer:
            out.close()


def _decode_offset(data: bytes) -> Optional[int]:
    try:
        from tavo import _kernels
        _kernels.decode(_kernels.active(), data)
    except DecodeError as exc:
        if len(exc.args) > 1 and isinstance(exc.args[1], int):
            return exc.args[1]
    except Exception:  # pragma: no cover - diagnostics only
        pass
    return None


def _cmd_encode(args: argparse.Namespace) -> int:
    data = encode(_read_all(args.file))
    _write_all(args.output, data + b"\x00" if args.frame else data)
    return OK


def _cmd_decode(args: argparse.Namespace) -> int:
    data = _read_all(args.file)
    try:
        result = decode(data)
    except DecodeError as exc:
        message = "%s: %s" % (_name(args.file), exc)
        offset = _decode_offset(data)
        if offset is not None:
            message += " at byte %d" % offset
        if b"\x00" in data:
            message += " (zero-delimited frames? use 'tavo frames')"
        raise _Failure(message)
    _write_all(args.output, result)
    return OK


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
                    out.write(_hex_line(item) if args.hex else item)
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
            print("%s %s: %s" % (PROG, args.command, exc), file=sys.stderr)
            return BAD_INPUT
    except BrokenPipeError:
        # The reader went away (e.g. '| head'): stop quietly, and keep
        # Python from complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return BAD_INPUT
    except KeyboardInterrupt:
        return 130
