"""The README's Python examples run, and print what the README says."""
import pytest

from tests.package.readme_examples import examples

EXAMPLES = examples()


def run(code, line):
    namespace = {"__name__": "readme_%d" % line}
    exec(compile(code, "README.md:%d" % line, "exec"), namespace)
    return namespace


def test_there_are_examples():
    assert len(EXAMPLES) >= 4
    assert sum(expected is not None for _, _, expected in EXAMPLES) >= 2


@pytest.mark.parametrize("line, code, expected", EXAMPLES, ids=[str(e[0]) for e in EXAMPLES])
def test_example(line, code, expected, capsys):
    run(code, line)
    if expected is not None:
        assert capsys.readouterr().out == expected


def test_pyserial_pump_example():
    line, code = next((line, code) for line, code, _ in EXAMPLES if "def pump(" in code)
    pump = run(code, line)["pump"]

    class Done(Exception):
        pass

    class FakePort:
        """Bytes arrive in odd pieces, with noise, like on a real line."""

        def __init__(self, pieces):
            self.pieces = list(pieces)

        @property
        def in_waiting(self):
            return len(self.pieces[0]) if self.pieces else 0

        def read(self, size):
            if not self.pieces:
                raise Done
            piece = self.pieces.pop(0)
            assert size == max(1, len(piece))
            return piece

    import tavo
    wire = (b"\x00" + tavo.encode_frame(b"a") + b"\x7fnoise\x00" + tavo.encode_frame(b"b" * 300)
            + tavo.encode_frame(b"c"))
    got = []
    with pytest.raises(Done):
        pump(FakePort([wire[:3], wire[3:9], wire[9:]]), got.append)
    assert got == [b"a", b"c"]


def test_trio_recipe():
    """The trio recipe, on a stand-in stream that hands out odd pieces."""
    import asyncio

    import tavo
    line, code = next((line, code) for line, code, _ in EXAMPLES if "def trio_frames(" in code)
    trio_frames = run(code, line)["trio_frames"]
    wire = tavo.encode_frame(b"a") + b"\x7fnoise\x00" + tavo.encode_frames([b"b" * 300, b"c"])
    wire += b"\x04cut"

    class Stream:
        def __init__(self):
            self.pieces = [wire[:2], wire[2:9], wire[9:400], wire[400:]]

        async def receive_some(self, size):
            assert size == 65536
            return self.pieces.pop(0) if self.pieces else b""

    async def collect():
        return [frame async for frame in trio_frames(Stream(), 256)]

    assert asyncio.run(collect()) == [b"a", b"c"]
