"""A deliberately plain COBS codec for checking the extension against.

Written from the format's rules with no attempt at speed, so that it is easy
to believe. Runs on Python 2.7 and 3.x.
"""

ZERO_MSG = "zero byte found in input"
SHORT_MSG = "not enough input bytes for length code"


class ReferenceError_(ValueError):
    pass


def encode(data):
    out = bytearray()
    segments = bytes(data).split(b"\0")
    for index, segment in enumerate(segments):
        is_last = index == len(segments) - 1
        had_maximal = False
        while len(segment) >= 254:
            out.append(255)
            out += segment[:254]
            segment = segment[254:]
            had_maximal = True
        if is_last and not segment and had_maximal:
            break  # ends on a maximal block: no final block
        out.append(len(segment) + 1)
        out += segment
    return bytes(out)


def decode(data):
    data = bytearray(data)
    n = len(data)
    out = bytearray()
    if n == 0:
        return bytes(out)
    i = 0
    while True:
        code = data[i]
        if code == 0:
            raise ReferenceError_(ZERO_MSG)
        i += 1
        if code - 1 > n - i:
            raise ReferenceError_(SHORT_MSG)
        for _ in range(code - 1):
            if data[i] == 0:
                raise ReferenceError_(ZERO_MSG)
            out.append(data[i])
            i += 1
        if i == n:
            return bytes(out)
        if code != 255:
            out.append(0)


def encoded_length(data):
    """n + 1 + maximal blocks, less one when a maximal block ends the input."""
    segments = bytes(data).split(b"\0")
    maximal = sum(len(s) // 254 for s in segments)
    last = segments[-1]
    ends_on_maximal = len(last) > 0 and len(last) % 254 == 0
    return len(data) + 1 + maximal - (1 if ends_on_maximal else 0)
