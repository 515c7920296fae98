"""tavo.aio over real loopback sockets and a pty (Python 3)."""
import asyncio
import os
import random
import sys

import pytest

import tavo
from tavo import FrameError, aio, encode_frame

SHORT = "not enough input bytes for length code"
TRUNCATED = "stream ended inside a frame"
OVERSIZED = "exceeds max_frame_size"
MAX = 512


def peer_stream(seed, delimiter=0):
    """A sender's bytes, and what a receiver with max_frame_size=MAX must
    make of them: good frames, noise (frames that cannot decode), an
    oversized frame, and at the end a frame cut off by an early close.
    Returns (stream, expected) where expected lists ("good", message) and
    ("bad", reason, size) in stream order."""
    rng = random.Random(seed)
    d = bytes([delimiter])
    parts, expected = [d], []
    for i in range(300):
        kind = rng.random()
        if kind < 0.08:
            # A code byte announcing more than follows: can never decode.
            body = bytes([0xFF]) + bytes(rng.randrange(256) or 1 for _ in range(rng.randrange(40)))
            raw = bytes(b ^ delimiter for b in body)
            if d in raw:
                continue
            parts.append(raw + d)
            expected.append(("bad", SHORT, len(raw)))
        elif kind < 0.1:
            message = os.urandom(MAX + 1 + rng.randrange(3 * MAX))
            frame = encode_frame(message, delimiter)
            parts.append(frame)
            expected.append(("bad", OVERSIZED, len(frame) - 1))
        else:
            message = ("msg %d " % i).encode() + os.urandom(rng.randrange(MAX - 10))
            parts.append(encode_frame(message, delimiter) + d * rng.randrange(2))
            expected.append(("good", message))
    cut = encode_frame(b"never finished", delimiter)[:-3]
    parts.append(cut)
    expected.append(("bad", TRUNCATED, len(cut)))
    return b"".join(parts), expected


def pieces(stream, seed):
    """stream cut at random points, one byte to a few KiB apart."""
    rng = random.Random(seed)
    i = 0
    while i < len(stream):
        n = rng.choice([1, 2, 7, 64, 300, 1500, 4096])
        yield stream[i:i + n]
        i += n


def check(received, expected):
    """Every good frame arrived, in order; every bad one was reported once,
    in its place, with a consecutive index."""
    assert len(received) == len(expected)
    for index, (got, want) in enumerate(zip(received, expected)):
        if want[0] == "good":
            assert got == want[1]
        else:
            assert isinstance(got, FrameError), (index, want)
            assert want[1] in got.reason and got.size == want[2] and got.index == index


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


async def send_pieces(writer, stream, seed):
    for piece in pieces(stream, seed):
        writer.write(piece)
        await writer.drain()
    writer.close()  # early close: the last frame is cut off


class TestReadFrames:
    @pytest.mark.parametrize("errors", ["strict", "skip"])
    @pytest.mark.parametrize("seed, delimiter", [(1, 0), (2, 0x7E), (3, 0xFF)])
    def test_loopback_peer(self, errors, seed, delimiter):
        stream, expected = peer_stream(seed, delimiter)

        async def main():
            received = []
            done = asyncio.get_running_loop().create_future()

            async def serve(reader, writer):
                frames = aio.read_frames(reader, max_frame_size=MAX, errors=errors,
                                         delimiter=delimiter, chunk_size=1000)
                while True:
                    try:
                        async for frame in frames:
                            received.append(frame)
                        break
                    except FrameError as exc:  # in place; iteration goes on
                        received.append(exc)
                writer.close()
                done.set_result(frames.decoder)

            server = await asyncio.start_server(serve, "127.0.0.1", 0)
            port = server.sockets[0].getsockname()[1]
            _, writer = await asyncio.open_connection("127.0.0.1", port)
            await send_pieces(writer, stream, seed)
            decoder = await done
            server.close()
            await server.wait_closed()
            return received, decoder

        received, decoder = run(main())
        bad = sum(want[0] == "bad" for want in expected)
        assert decoder.bad_frames == bad and decoder.good_frames == len(expected) - bad
        if errors == "strict":
            check(received, expected)
        else:
            assert received == [want[1] for want in expected if want[0] == "good"]
            assert TRUNCATED in decoder.last_error.reason

    def test_flood_without_delimiter_stays_bounded(self):
        """Megabytes with no delimiter: the decoder never holds more than one
        largest frame, the reader's default limit suffices, and the frame
        after the flood arrives."""
        flood = b"\x01" * (4 << 20)

        held, peak = [], []

        class Watched:
            """The server's reader, noting what the decoder holds at each read."""

            def __init__(self, reader):
                self.reader = reader

            async def read(self, n):
                peak.append(frames.decoder.buffered)
                return await self.reader.read(n)

        async def main():
            async def serve(reader, writer):
                nonlocal frames
                frames = aio.read_frames(Watched(reader), max_frame_size=MAX, errors="skip")
                async for frame in frames:
                    held.append((frame, frames.decoder.buffered))
                held.append((None, frames.decoder))
                writer.close()

            server = await asyncio.start_server(serve, "127.0.0.1", 0)
            port = server.sockets[0].getsockname()[1]
            _, writer = await asyncio.open_connection("127.0.0.1", port)
            for i in range(0, len(flood), 65536):
                writer.write(flood[i:i + 65536])
                await writer.drain()
            writer.write(b"\x00")  # the flood ends: one oversized frame
            await aio.write_frame(writer, b"after the flood")
            writer.close()
            while not held or held[-1][0] is not None:
                await asyncio.sleep(0.01)
            server.close()
            await server.wait_closed()
            return held

        frames = None
        held = run(main())
        assert len(peak) > 64 and max(peak) == MAX + MAX // 254 + 1
        assert held[0] == (b"after the flood", 0)
        decoder = held[-1][1]
        assert decoder.bad_frames == 1 and decoder.last_error.size == len(flood)
        assert len(decoder.last_error.frame) == MAX + MAX // 254 + 1

    def test_refuses_bad_options(self):
        async def main():
            with pytest.raises(ValueError):
                aio.read_frames(asyncio.StreamReader(), chunk_size=0)
            with pytest.raises(ValueError):
                aio.read_frames(asyncio.StreamReader(), errors="ignore")
            with pytest.raises(ValueError):
                aio.FrameProtocol(delimiter=256)

        run(main())


class Recorder(aio.FrameProtocol):
    """Keeps every frame and error, and echoes each frame back."""

    def __init__(self, echo=False, **options):
        super().__init__(**options)
        self.items = []
        self.echo = echo
        self.lost = asyncio.get_running_loop().create_future()

    def frame_received(self, frame):
        self.items.append(frame)
        if self.echo:
            self.send_frame(frame)

    def frame_error(self, exc):
        self.items.append(exc)

    def connection_lost(self, exc):
        super().connection_lost(exc)
        if not self.lost.done():
            self.lost.set_result(exc)


class TestFrameProtocol:
    @pytest.mark.parametrize("seed, delimiter", [(4, 0), (5, 0x55)])
    def test_server_and_client(self, seed, delimiter):
        stream, expected = peer_stream(seed, delimiter)
        good = [want[1] for want in expected if want[0] == "good"]

        async def main():
            loop = asyncio.get_running_loop()
            servers = []

            def factory():
                servers.append(Recorder(echo=True, max_frame_size=MAX, delimiter=delimiter))
                return servers[-1]

            server = await loop.create_server(factory, "127.0.0.1", 0)
            port = server.sockets[0].getsockname()[1]
            transport, client = await loop.create_connection(
                lambda: Recorder(max_frame_size=MAX, delimiter=delimiter), "127.0.0.1", port)
            for piece in pieces(stream, seed):
                transport.write(piece)
                await client.drain()
            while len(client.items) < len(good):  # the echoes
                await asyncio.sleep(0.01)
            transport.close()
            await servers[0].lost
            await client.lost
            server.close()
            await server.wait_closed()
            return servers[0], client

        server, client = run(main())
        check(server.items, expected)
        assert server.decoder.bad_frames == len(expected) - len(good)
        assert client.items == good and client.decoder.bad_frames == 0

    def test_drain_waits_for_a_paused_peer(self):
        """The sender's drain() blocks while the receiver stops reading, and
        every frame arrives once it reads again."""
        message = os.urandom(1000)
        count = 20000  # 20 MB: more than the kernel's socket buffers hold

        async def main():
            loop = asyncio.get_running_loop()
            servers = []

            def factory():
                servers.append(Recorder(max_frame_size=MAX * 4))
                return servers[-1]

            server = await loop.create_server(factory, "127.0.0.1", 0)
            port = server.sockets[0].getsockname()[1]
            transport, client = await loop.create_connection(Recorder, "127.0.0.1", port)
            # The factory runs before connection_made, which on Windows'
            # proactor loop comes a loop iteration later.
            while not servers or servers[0].transport is None:
                await asyncio.sleep(0.01)
            servers[0].transport.pause_reading()
            transport.set_write_buffer_limits(high=1 << 16)
            sent = 0
            while not client.writing_paused and sent < count:
                client.send_frame(message)
                sent += 1
                await asyncio.sleep(0)
            assert client.writing_paused, "the peer took 20 MB without reading"
            waiter = asyncio.ensure_future(client.drain())
            for _ in range(50):
                await asyncio.sleep(0)
            assert not waiter.done()
            servers[0].transport.resume_reading()
            await waiter
            while len(servers[0].items) < sent:
                await asyncio.sleep(0.01)
            transport.close()
            await client.lost
            with pytest.raises(ConnectionResetError):
                await client.drain()
            server.close()
            await server.wait_closed()
            return servers[0], sent

        receiver, sent = run(main())
        assert receiver.items == [message] * sent

    def test_send_before_connection(self):
        async def main():
            with pytest.raises(RuntimeError):
                aio.FrameProtocol().send_frame(b"x")

        run(main())


@pytest.mark.skipif(sys.platform == "win32", reason="needs a pty")
def test_frame_protocol_on_a_pty():
    """A serial-like device: frames written to a raw pty in odd pieces,
    then the device goes away in the middle of a frame."""
    import tty  # POSIX only: it needs termios
    stream, expected = peer_stream(6)
    try:
        master, slave = os.openpty()
    except OSError as exc:  # e.g. a chroot without devpts
        pytest.skip("no pty on this host: %s" % exc)

    async def main():
        loop = asyncio.get_running_loop()
        tty.setraw(slave)
        source = os.fdopen(master, "rb", buffering=0)
        transport, protocol = await loop.connect_read_pipe(
            lambda: Recorder(max_frame_size=MAX), source)

        def device():
            # A thread of its own: a blocking write to a full pty must not
            # stop the loop that empties it.
            for piece in pieces(stream, 6):
                while piece:
                    piece = piece[os.write(slave, piece):]

        await loop.run_in_executor(None, device)
        while protocol.decoder.offset < len(stream):
            await asyncio.sleep(0.01)
        assert len(protocol.items) == len(expected) - 1
        os.close(slave)  # the reader then gets EIO: the connection is lost
        await protocol.lost
        transport.close()
        return protocol

    check(run(main()).items, expected)


def test_write_frame_and_package_names():
    assert set(aio.__all__) == {"AsyncFrameReader", "FrameProtocol", "read_frames", "write_frame"}
    assert "aio" not in tavo.__all__  # a submodule, imported on demand

    async def main():
        received = []

        async def serve(reader, writer):
            async for frame in aio.read_frames(reader, delimiter=9):
                received.append(frame)
            writer.close()

        server = await asyncio.start_server(serve, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        for message in (b"one", b"\x09\x00", b""):
            await aio.write_frame(writer, message, delimiter=9)
        writer.close()
        while len(received) < 3:
            await asyncio.sleep(0.01)
        server.close()
        await server.wait_closed()
        return received

    assert run(main()) == [b"one", b"\x09\x00", b""]
