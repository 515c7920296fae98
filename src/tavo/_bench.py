"""Throughput benchmark of tavo's codec.

Run ``python -m tavo._bench`` (or ``python -m tavo bench``); ``--quick`` for
a short run. Every figure is measured in this process, beside its baseline
measured in the same run, so ratios hold on a busy machine where absolute
speeds do not:

* the kernel chosen, and the CPU features that its choice tested;
* kernel table: GB/s of each data shape and size, for the kernel in use and
  the scalar reference kernel, beside a plain memcpy of the same bytes. The
  kernels run in a C loop (tavo._kernels.time), so no call overhead counts.
  Speeds are in bytes of unencoded data per second, for encode and decode.
* 1 MiB of random bytes through tavo.encode / tavo.decode, eight different
  messages in turn, against bytearray(data), the copy of the same bytes.
* small messages: ns per call of tavo.encode / tavo.decode against
  binascii.hexlify of the same bytes.
* threads: two threads encoding 4 MiB buffers against one.
* framing (Python 3): FrameDecoder.feed on 64-byte frames in 64 KiB chunks
  against a loop of tavo.decode over the same frames already split apart,
  and tavo.encode_frames against a loop of tavo.encode_frame.
* caller buffers and streams (Python 3): ns per call of encode_into /
  decode_into into one reused buffer against tavo.encode / tavo.decode of
  the same small messages; Encoder / Decoder fed 64 MiB in 64 KiB chunks
  against one tavo.encode / tavo.decode of the whole.

A table cell of one message (sizes over 8 KiB, so from 64 KiB up by default)
never lets a kernel meet its message before the run that times it: a branch
predictor learns even 1 MiB of random bytes from a run or two, which makes
later runs over it faster than any real stream allows. Such cells take the
best of single runs over new messages instead, and so does the 1 MiB row.
"""
from __future__ import print_function

import argparse
import binascii
import os
import platform
import sys
import threading
import timeit

import _tavoext

from tavo import _kernels

MYPY = False  # true for the type checker only; type comments keep 2.7 parsing this
if MYPY:
    from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, Union

clock = timeit.default_timer

KiB = 1024
MiB = 1024 * KiB
SHAPES = ("random", "no zeros", "1 zero in 8", "every 2nd zero", "all zeros")
FULL_SIZES = (16, 64, 256, 4 * KiB, 64 * KiB, MiB, 16 * MiB, 64 * MiB)
QUICK_SIZES = (16, 256, 4 * KiB, 64 * KiB, MiB)


def make(shape, n):
    # type: (str, int) -> bytes
    """n bytes of the given shape, from os.urandom."""
    if shape == "all zeros":
        return bytes(bytearray(n))
    raw = os.urandom(n)
    if shape == "random":  # about one zero in 256
        return raw
    nonzero = raw.replace(b"\0", b"\1")
    if shape == "no zeros":
        return nonzero
    if shape == "1 zero in 8":
        table = bytes(bytearray(0 if v < 32 else v for v in range(256)))
        return raw.translate(table)
    if shape == "every 2nd zero":
        out = bytearray(nonzero)
        out[1::2] = bytearray(n // 2)
        return bytes(out)
    raise ValueError(shape)


def size_name(n):
    # type: (int) -> str
    for unit, scale in (("MiB", MiB), ("KiB", KiB)):
        if n >= scale and n % scale == 0:
            return "%d %s" % (n // scale, unit)
    return "%d B" % n


def cpu_model():
    # type: () -> str
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except (IOError, OSError):
        pass
    return platform.processor() or platform.machine() or "unknown"


def choice_row():
    # type: () -> str
    """The kernel chosen and the CPU tests behind the choice."""
    tests = ", ".join("%s %s" % (name, "yes" if present else "no")
                      for name, present in _kernels.features())
    return "Kernel chosen: %s; CPU features tested: %s" % (_kernels.active(), tests or "none")


def kernel_rates(names, op, data, lengths, size, budget, repeat):
    # type: (Sequence[str], str, bytes, Sequence[int], int, float, int) -> Dict[str, float]
    """Best GB/s (size bytes of unencoded data) of each named kernel
    ('memcpy' too) over the messages that lengths cut data into, interleaved
    so that each sees the same machine load."""
    loops = {}  # type: Dict[str, int]
    for name in names:
        once = _kernels.time(name, op, data, 1, lengths)
        loops[name] = max(1, int(budget / max(once, 1e-7)))
    best = dict((name, float("inf")) for name in names)
    for _ in range(repeat):
        for name in names:
            t = _kernels.time(name, op, data, loops[name], lengths) / loops[name]
            best[name] = min(best[name], t)
    return dict((name, size / best[name] / 1e9) for name in names)


def unseen_rates(names, op, shape, size, count):
    # type: (Sequence[str], str, str, int, int) -> Dict[str, float]
    """Best GB/s of each named kernel ('memcpy' too) over `count` new
    messages of one shape and size: each kernel runs once on each, timed,
    and never on a message before that run. A branch predictor learns even
    1 MiB of random bytes from a run or two over it, and the runs after go
    up to half as fast again as over a message it has not met, which is all
    a real stream brings."""
    best = dict((name, float("inf")) for name in names)
    for _ in range(count):
        message = make(shape, size)
        arg = message if op == "encode" else _tavoext.encode(message)
        for name in names:
            if name == "memcpy":  # no branch on the data: a few runs, for caches as they settle
                t = _kernels.time(name, op, arg, 4) / 4
            else:
                t = _kernels.time(name, op, arg, 1, None, 1)
            best[name] = min(best[name], t)
    return dict((name, size / best[name] / 1e9) for name in names)


def unseen_count(size, repeat):
    # type: (int, int) -> int
    """How many new messages a cell of one message takes: more where one
    run is short, for a steadier best."""
    return max(repeat, min(32, 4 * MiB // size))


def messages(size):
    # type: (int) -> int
    """How many different messages of this size a table cell cycles through.
    One small message timed over and over lets the branch predictor learn
    its every branch, which a real stream of messages never allows; a set of
    16 KiB or so stays in the first-level cache."""
    return max(1, min(256, 16 * KiB // size))


def best_times(calls, number, repeat):
    # type: (Sequence[Tuple[str, Callable[[bytes], object], bytes]], int, int) -> Dict[str, float]
    """Best seconds per call of each (label, fn, arg), interleaved."""
    best = dict((label, float("inf")) for label, _, _ in calls)
    for _ in range(repeat):
        for label, fn, arg in calls:
            start = clock()
            for _ in range(number):
                fn(arg)
            best[label] = min(best[label], (clock() - start) / number)
    return best


def kernel_table(sizes, kernels, quick, out):
    # type: (Sequence[int], Sequence[str], bool, TextIO) -> Dict[str, Tuple[float, Optional[str]]]
    active = _kernels.active()
    others = [k for k in kernels if k not in ("scalar", active)]
    budget, repeat = (0.002, 3) if quick else (0.01, 5)
    print("Kernel throughput, GB/s of unencoded bytes (best of %d):" % repeat, file=out)
    sets = ", ".join("%d at %s" % (messages(n), size_name(n)) for n in sizes if messages(n) > 1)
    if sets:
        print("(a cell of small messages runs over a set of different ones: %s)" % sets, file=out)
    fresh = ", ".join("%d at %s" % (unseen_count(n, repeat), size_name(n))
                      for n in sizes if messages(n) == 1)
    if fresh:
        print("(a cell of one message times each kernel once on each of several new ones, best "
              "of: %s)" % fresh, file=out)
    head = "%-8s %-15s %7s | %8s %8s %6s | %8s %8s %6s" % (
        "size", "shape", "memcpy", "enc " + active, "scalar", "ratio",
        "dec " + active, "scalar", "ratio")
    for k in others:
        head += " | %5s e/d" % k
    print(head, file=out)
    worst = {"encode": (float("inf"), None),
             "decode": (float("inf"), None)}  # type: Dict[str, Tuple[float, Optional[str]]]
    for size in sizes:
        for shape in SHAPES:
            count = messages(size)
            if count > 1:
                inputs = [make(shape, size) for _ in range(count)]
                encodings = [_tavoext.encode(m) for m in inputs]
                parts = {"encode": inputs, "decode": encodings}
            row = "%-8s %-15s" % (size_name(size), shape)
            other = {}  # type: Dict[str, List[float]]
            for op in ("encode", "decode"):
                names = ["memcpy", active, "scalar"] + others if op == "encode" else \
                    [active, "scalar"] + others
                if count == 1:
                    rates = unseen_rates(names, op, shape, size, unseen_count(size, repeat))
                else:
                    rates = kernel_rates(names, op, b"".join(parts[op]),
                                         [len(m) for m in parts[op]], size * count, budget,
                                         repeat)
                if op == "encode":
                    row += " %7.2f |" % rates["memcpy"]
                ratio = rates[active] / rates["scalar"]
                row += " %8.2f %8.2f %5.1fx |" % (rates[active], rates["scalar"], ratio)
                if ratio < worst[op][0]:
                    worst[op] = (ratio, "%s %s" % (size_name(size), shape))
                for k in others:
                    other.setdefault(k, []).append(rates[k] / rates["scalar"])
            row = row.rstrip(" |")
            for k in others:
                row += " | %4.1fx %4.1fx" % tuple(other[k])
            print(row, file=out)
            out.flush()
    for op in ("encode", "decode"):
        print("lowest %s ratio %s/scalar: %.2fx (%s)" % (op, active, worst[op][0], worst[op][1]),
              file=out)
    return worst


def copy_ratio(quick, out):
    # type: (bool, TextIO) -> Dict[str, float]
    # Each call takes a message it has not met before (see unseen_rates): a
    # round runs each function over eight new messages in turn, back to back
    # so that the allocator reuses its memory, and the best round counts.
    count = 8
    best = {"copy": float("inf"), "encode": float("inf"), "decode": float("inf")}
    for _ in range(5 if quick else 15):
        inputs = [make("random", MiB) for _ in range(count)]
        encodings = [_tavoext.encode(make("random", MiB)) for _ in range(count)]
        for label, fn, args in (("copy", bytearray, inputs), ("encode", _tavoext.encode, inputs),
                                ("decode", _tavoext.decode, encodings)):
            start = clock()
            for arg in args:
                fn(arg)
            best[label] = min(best[label], (clock() - start) / count)
    print("\n1 MiB random bytes, %d different messages in turn, through tavo.encode/decode, "
          "against bytearray(data):" % count, file=out)
    ratios = {}  # type: Dict[str, float]
    for label in ("copy", "encode", "decode"):
        gbs = MiB / best[label] / 1e9
        ratios[label] = best["copy"] / best[label]
        print("  %-7s %6.2f GB/s  %.2fx copy" % (label, gbs, ratios[label]), file=out)
    return ratios


def small_messages(quick, out):
    # type: (bool, TextIO) -> Dict[int, Tuple[float, float]]
    number, repeat = (20000, 5) if quick else (100000, 9)
    print("\nSmall messages, ns per call (best of %d):" % repeat, file=out)
    print("  %6s %9s %9s %9s %8s %8s" % ("size", "hexlify", "encode", "decode",
                                         "enc/hex", "dec/hex"), file=out)
    result = {}  # type: Dict[int, Tuple[float, float]]
    for size in (16, 64, 256):
        data = make("random", size)
        encoded = _tavoext.encode(data)
        best = best_times([("hexlify", binascii.hexlify, data), ("encode", _tavoext.encode, data),
                           ("decode", _tavoext.decode, encoded)], number, repeat)
        ns = dict((k, v * 1e9) for k, v in best.items())
        result[size] = (ns["encode"] / ns["hexlify"], ns["decode"] / ns["hexlify"])
        print("  %6s %9.1f %9.1f %9.1f %7.2fx %7.2fx" % (
            size_name(size), ns["hexlify"], ns["encode"], ns["decode"],
            result[size][0], result[size][1]), file=out)
    return result


def thread_scaling(quick, out, size=4 * MiB, quiet=False):
    # type: (bool, TextIO, int, bool) -> float
    data = make("random", size)
    calls = max(8, (32 if quick else 96) * MiB // size)
    repeat = 3 if quick else 5

    def work():
        # type: () -> None
        for _ in range(calls):
            _tavoext.encode(data)

    def kernel_alone():
        # type: () -> None
        _kernels.time(_kernels.active(), "encode", data, calls)

    def run(count, target):
        # type: (int, Callable[[], None]) -> float
        threads = [threading.Thread(target=target) for _ in range(count)]
        start = clock()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return clock() - start

    def best(target):
        # type: (Callable[[], None]) -> Tuple[float, float]
        """Best seconds of one thread and of two, interleaved."""
        one = two = float("inf")
        for _ in range(repeat):
            one = min(one, run(1, target))
            two = min(two, run(2, target))
        return one, two

    one, two = best(work)
    scaling = 2 * one / two
    if quiet:
        return scaling
    print("\nThreads: %d x encode of 4 MiB per thread: 1 thread %.1f ms, 2 threads %.1f ms; "
          "2 threads do %.2fx the work of one per unit time" % (calls, one * 1e3, two * 1e3,
                                                                scaling), file=out)
    # What the machine gives two threads of plain C: the kernel alone in a C
    # loop, no Python, no GIL, no allocation. The module cannot beat it.
    one, two = best(kernel_alone)
    print("  the same kernel alone in a C loop, without Python or the GIL: %.2fx" % (
        2 * one / two), file=out)
    if hasattr(os, "getloadavg"):
        print("  (load average at the end: %.2f; %s CPUs)" % (os.getloadavg()[0],
                                                          _cpu_count()), file=out)
    return scaling


def gil_sweep(quick, out):
    # type: (bool, TextIO) -> None
    """Two threads against one across sizes: where releasing the GIL pays."""
    print("\nThreads by size (2 threads' work per unit time over one's; 2.00 is ideal):",
          file=out)
    for size in (4 * KiB, 16 * KiB, 64 * KiB, 256 * KiB, MiB, 4 * MiB):
        print("  %8s %.2fx" % (size_name(size), thread_scaling(quick, out, size, quiet=True)),
              file=out)
        out.flush()


def framing(quick, out):
    # type: (bool, TextIO) -> Tuple[float, float]
    """Framing rows, each beside its baseline in the same run. Returns the
    speed ratios (feed / decode loop, encode_frames / encode_frame loop).

    Each is timed in units of about a thousand frames, and the least time
    per frame over all units counts: on a busy machine the short units that
    nobody interrupted give the figure, for the row and its baseline alike,
    and neither keeps more than one unit's results alive."""
    import tavo
    passes = 2 if quick else 5
    messages = [os.urandom(64) for _ in range(1024)]
    stream = tavo.encode_frames(messages) * (16 if quick else 64)
    chunks = [stream[i:i + 64 * KiB] for i in range(0, len(stream), 64 * KiB)]
    pieces = stream.split(b"\0")[:-1]  # the baseline's input: frames already split
    groups = [pieces[i:i + 1000] for i in range(0, len(pieces), 1000)]
    decoder = tavo.FrameDecoder()
    decode = tavo.decode
    encode_frame = tavo.encode_frame
    encode_frames = tavo.encode_frames

    def feed(chunk):
        # type: (bytes) -> int
        return len(decoder.feed(chunk))

    def decode_loop(group):
        # type: (List[bytes]) -> int
        return len([decode(piece) for piece in group])

    def encode_batch(batch):
        # type: (List[bytes]) -> int
        encode_frames(batch)
        return len(batch)

    def encode_loop(batch):
        # type: (List[bytes]) -> int
        b"".join([encode_frame(m) for m in batch])
        return len(batch)

    batches = [messages] * 16
    runs = [("FrameDecoder.feed", feed, chunks), ("decode loop", decode_loop, groups),
            ("encode_frames", encode_batch, batches),
            ("encode_frame loop", encode_loop, batches)]  # type: List[Tuple[str, Callable[[Any], int], Sequence[Any]]]
    best = dict((name, float("inf")) for name, _, _ in runs)
    for _ in range(passes):
        for name, run, units in runs:
            for unit in units:
                start = clock()
                count = run(unit)
                best[name] = min(best[name], (clock() - start) / count)
    print("\nFraming, 64-byte messages (66 bytes a frame), 64 KiB chunks; least time "
          "per frame over units of ~1000 frames, %d passes:" % passes, file=out)
    for name, _, _ in runs:
        print("  %-18s %7.2f million frames/s" % (name, 1e-6 / best[name]), file=out)
    ratios = (best["decode loop"] / best["FrameDecoder.feed"],
              best["encode_frame loop"] / best["encode_frames"])
    print("  FrameDecoder.feed in 64 KiB chunks / decode loop over split frames: %.2fx"
          % ratios[0], file=out)
    print("  encode_frames / encode_frame loop: %.2fx" % ratios[1], file=out)
    return ratios


def into_and_streams(quick, out):
    # type: (bool, TextIO) -> Dict[str, float]
    """encode_into/decode_into beside encode/decode, and Encoder/Decoder
    beside one-shot calls, interleaved in the same run. Returns the speed
    ratios (row / baseline) by label."""
    import tavo
    ratios = {}  # type: Dict[str, float]
    number, repeat = (200, 5) if quick else (1000, 9)
    print("\nSmall messages into one reused buffer, ns per call (best of %d; %s):"
          % (repeat, "random bytes, a set of different messages per size"), file=out)
    print("  %6s %9s %12s %8s %9s %12s %8s" % ("size", "encode", "encode_into", "speed",
                                               "decode", "decode_into", "speed"), file=out)
    for size in (16, 64, 256, 4 * KiB):
        group = [make("random", size) for _ in range(messages(size))]
        encoded = [tavo.encode(m) for m in group]
        buffer = bytearray(tavo.max_encoded_length(size))
        encode, decode = tavo.encode, tavo.decode
        encode_into, decode_into = tavo.encode_into, tavo.decode_into

        def one_shot_encode(items):
            # type: (List[bytes]) -> None
            for m in items:
                encode(m)

        def into_encode(items):
            # type: (List[bytes]) -> None
            for m in items:
                encode_into(m, buffer)

        def one_shot_decode(items):
            # type: (List[bytes]) -> None
            for m in items:
                decode(m)

        def into_decode(items):
            # type: (List[bytes]) -> None
            for m in items:
                decode_into(m, buffer)

        calls = [("encode", one_shot_encode, group), ("encode_into", into_encode, group),
                 ("decode", one_shot_decode, encoded),
                 ("decode_into", into_decode, encoded)]  # type: List[Tuple[str, Callable[[Any], object], Any]]
        per_call = max(1, number // len(group))
        best = best_times(calls, per_call, repeat)
        ns = dict((k, v * 1e9 / len(group)) for k, v in best.items())
        enc, dec = ns["encode"] / ns["encode_into"], ns["decode"] / ns["decode_into"]
        ratios["encode_into %d" % size], ratios["decode_into %d" % size] = enc, dec
        print("  %6s %9.1f %12.1f %7.2fx %9.1f %12.1f %7.2fx" % (
            size_name(size), ns["encode"], ns["encode_into"], enc, ns["decode"],
            ns["decode_into"], dec), file=out)

    size = (16 if quick else 64) * MiB
    chunk = 64 * KiB
    data = make("random", size)
    whole = tavo.encode(data)

    def whole_encode(data):
        # type: (bytes) -> None
        tavo.encode(data)

    def whole_decode(data):
        # type: (bytes) -> None
        tavo.decode(data)

    def stream_encode(data):
        # type: (bytes) -> None
        view, encoder = memoryview(data), tavo.Encoder()
        for i in range(0, len(view), chunk):
            encoder.encode(view[i:i + chunk])
        encoder.finish()

    def stream_decode(data):
        # type: (bytes) -> None
        view, decoder = memoryview(data), tavo.Decoder()
        for i in range(0, len(view), chunk):
            decoder.decode(view[i:i + chunk])
        decoder.finish()

    best = best_times([("encode", whole_encode, data), ("Encoder", stream_encode, data),
                       ("decode", whole_decode, whole), ("Decoder", stream_decode, whole)],
                      1, 3 if quick else 7)
    print("\n%s of random bytes: Encoder/Decoder fed 64 KiB chunks, against one "
          "tavo.encode/decode of the whole:" % size_name(size), file=out)
    for label in ("encode", "Encoder", "decode", "Decoder"):
        print("  %-8s %6.2f GB/s" % (label, size / best[label] / 1e9), file=out)
    ratios["Encoder"] = best["encode"] / best["Encoder"]
    ratios["Decoder"] = best["decode"] / best["Decoder"]
    print("  Encoder / encode: %.2fx   Decoder / decode: %.2fx"
          % (ratios["Encoder"], ratios["Decoder"]), file=out)
    return ratios


def _cpu_count():
    # type: () -> Union[int, str]
    try:
        import multiprocessing
        return multiprocessing.cpu_count()
    except (ImportError, NotImplementedError):
        return "?"


def main(argv=None):
    # type: (Optional[Sequence[str]]) -> int
    parser = argparse.ArgumentParser(prog="python -m tavo bench",
                                     description="Measure tavo's codec speed on this machine.")
    parser.add_argument("--quick", action="store_true", help="a short run with fewer sizes")
    parser.add_argument("--all-kernels", action="store_true",
                        help="also compare every other kernel this CPU runs with scalar")
    parser.add_argument("--sizes", help="comma-separated sizes in bytes for the table")
    parser.add_argument("--gil-sweep", action="store_true",
                        help="also measure thread scaling across input sizes")
    args = parser.parse_args(argv)
    out = sys.stdout
    sizes = QUICK_SIZES if args.quick else FULL_SIZES  # type: Sequence[int]
    if args.sizes:
        sizes = [int(s) for s in args.sizes.split(",")]
    names = _kernels.names()
    print("tavo kernel in use: %s (available: %s)" % (_kernels.active(), ", ".join(names)),
          file=out)
    print("CPU: %s; Python %s" % (cpu_model(), platform.python_version()), file=out)
    print(choice_row(), file=out)
    print("", file=out)
    kernel_table(sizes, names if args.all_kernels else [], args.quick, out)
    copy_ratio(args.quick, out)
    small_messages(args.quick, out)
    thread_scaling(args.quick, out)
    if sys.version_info >= (3,):
        framing(args.quick, out)
        into_and_streams(args.quick, out)
    if args.gil_sweep:
        gil_sweep(args.quick, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
