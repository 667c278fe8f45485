"""The typical road through tavro, end to end, with no set-up.

A writer thread sends a record over an in-process socket pair: a 4-byte
big-endian length, then a payload of twice that many bytes, in delayed pieces.
The reader wraps its non-blocking end of the socket in RebufferedBytesIO with a
tailcutoff, reads the 4-byte header (the adapter polls the socket until the
bytes are there), turns it into an integer with bytes2integer, stores it in a
context dictionary, evaluates the data description's expression
`this.length * 2` against that context to learn the payload's size, reads the
payload, shows it with hexdump and reads the dump back with hexundump.

    python examples/typical_road.py
"""

import socket
import threading
import time

from tavro.expr import this
from tavro.lib.binary import bytes2integer, integer2bytes
from tavro.lib.bitstream import RebufferedBytesIO
from tavro.lib.hex import hexdump, hexundump

# Written once, with the data description, long before any data exists.
PAYLOAD_SIZE = this.length * 2


class NonBlockingSocketReader:
    """The least a substream needs: read(n), which raises BlockingIOError while no data is ready."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.empty_polls = 0
        self.pieces = 0

    def read(self, n: int) -> bytes:
        try:
            data = self.sock.recv(n)
        except BlockingIOError:
            self.empty_polls += 1
            raise
        self.pieces += 1
        return data


def send_record(sock: socket.socket, payload: bytes, pieces: int = 4, delay: float = 0.02) -> None:
    """The far end: the length (half the payload's size) first, then the payload bit by bit."""
    time.sleep(delay)
    sock.sendall(integer2bytes(len(payload) // 2, 4))
    step = -(-len(payload) // pieces)
    for start in range(0, len(payload), step):
        time.sleep(delay)
        sock.sendall(payload[start:start + step])


def main() -> None:
    payload = b"tavro reads \x00\x01\x02\x03 binary data \xfe\xff lazily"
    reader_end, writer_end = socket.socketpair()
    with reader_end, writer_end:
        reader_end.setblocking(False)
        writer = threading.Thread(target=send_record, args=(writer_end, payload))
        writer.start()

        substream = NonBlockingSocketReader(reader_end)
        stream = RebufferedBytesIO(substream, tailcutoff=8)

        header = stream.read(4)
        length = bytes2integer(header)
        print(f"read the 4-byte header {header.hex(' ')} -> bytes2integer gives length = {length}")

        context = {"length": length}
        size = PAYLOAD_SIZE(context)
        print(f"the expression {PAYLOAD_SIZE!r} evaluated with {context} gives {size}")

        body = stream.read(size)
        writer.join()
        print(f"read {len(body)} bytes; the socket delivered {substream.pieces} pieces "
              f"between {substream.empty_polls} empty polls")
        print(f"the window keeps {stream.cachedto() - stream.cachedfrom()} bytes, "
              f"from position {stream.cachedfrom()} (tailcutoff 8 behind position {stream.tell()})")
        stream.seek(-8, 1)
        print(f"seeking back 8 bytes re-reads {stream.read(8)!r} without touching the socket")

        dump = hexdump(body, 16)
        print("hexdump of the payload:")
        print(dump, end="")
        back = hexundump(dump, 16)
        print(f"hexundump gives the same {len(back)} bytes back: {back == body}")
        if back != body or body != payload:
            raise SystemExit("round trip failed")


if __name__ == "__main__":
    main()
