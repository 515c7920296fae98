"""Writes the small committed seed corpus in fuzz/corpus/. Run from anywhere:
python3 fuzz/make_seeds.py. Seeds are the format's edge cases (block and
maximal-block boundaries, each kind of malformed input), named for what they
hold; libFuzzer grows its own corpus from them under build/fuzz/corpus/."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "module"))
import reference  # noqa: E402


def nz(count, start=1):
    return bytes(bytearray((start + i) % 255 + 1 for i in range(count)))


RAW = {
    "empty": b"",
    "zero": b"\0",
    "zeros3": b"\0\0\0",
    "a": b"a",
    "ab0cd": b"ab\0cd",
    "nz253": nz(253),
    "nz254": nz(254),
    "nz255": nz(255),
    "nz254_zero": nz(254) + b"\0",
    "nz508": nz(508),
    "mixed": bytes(bytearray((i * 37) % 11 and (i * 131) % 256 for i in range(700))),
}

DECODE_ONLY = {
    "bad_zero_code": b"\0",
    "bad_zero_data": bytes(bytearray([3, 0x61, 0, 0x62])),
    "bad_short": b"\x02",
    "bad_length_first": bytes(bytearray([5, 0x61, 0])),
    "bad_delimiter": b"\x01\x02a\x00",
    "max_then_01": b"\xff" + nz(254) + b"\x01",
    "max_short": b"\xff" + nz(253),
}


def write(directory, name, data):
    path = os.path.join(HERE, "corpus", directory)
    if not os.path.isdir(path):
        os.makedirs(path)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


for name, raw in sorted(RAW.items()):
    write("roundtrip", name, raw)
    write("decode", "enc_" + name, reference.encode(raw))
for name, data in sorted(DECODE_ONLY.items()):
    write("decode", name, data)

# stream: one byte that seeds the cuts, then the data, fed both as a message
# and as an encoding.
STREAM = ["empty", "ab0cd", "nz253", "nz254", "nz254_zero", "nz508", "mixed"]
for seed, name in enumerate(STREAM):
    write("stream", name, bytes(bytearray([seed * 37 % 256])) + RAW[name])
    write("stream", "enc_" + name, bytes(bytearray([seed * 53 % 256])) + reference.encode(RAW[name]))
for seed, name in enumerate(["bad_zero_data", "bad_length_first", "max_then_01", "max_short"]):
    write("stream", name, bytes(bytearray([seed])) + DECODE_ONLY[name])
