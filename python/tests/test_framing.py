"""Packets on the socket: how a message is cut, how packets are put together."""
import struct

import pytest

from velmar.framing import END_PACKET, MAX_BUFFER, START_PACKET, Reassembler, VelmarError, packets_for, socket_address


@pytest.mark.parametrize("size, pieces", [
    (0, [0]),
    (1, [1]),
    (65534, [65534]),
    (65535, ["start", 65534, 1, "end"]),
    (140000, ["start", 65534, 65534, 8932, "end"]),
    (3 * 65534, ["start", 65534, 65534, 65534, "end"]),
])
def test_messages_are_cut_at_65534_bytes(size, pieces):
    message = bytes(i % 251 for i in range(size))
    packets = packets_for(message)
    shape = ["start" if p == START_PACKET else "end" if p == END_PACKET else len(p) for p in packets]
    assert shape == pieces
    data = [p for p in packets if p not in (START_PACKET, END_PACKET)]
    assert b"".join(data) == message


def test_control_packets_bytes():
    assert START_PACKET == bytes.fromhex("10000000" "4d414743" "53544d42" "4d414743")
    assert END_PACKET == bytes.fromhex("10000000" "4d414743" "45544d42" "4d414743")


OTHER = struct.pack("<4I", 16, 0x4347414D, 0x12345678, 0x4347414D)
LOOKALIKE = struct.pack("<4I", 16, 0x4347414D, 0x424D5453, 0)  # wrong closing magic: plain data


@pytest.mark.parametrize("packets, messages", [
    ([b"abc"], [b"abc"]),
    ([b""], [b""]),
    ([START_PACKET, b"ab", b"", b"cd", END_PACKET], [b"abcd"]),
    ([START_PACKET, END_PACKET], [b""]),
    ([END_PACKET, b"x"], [b"x"]),                                   # an end without a start is ignored
    ([START_PACKET, b"lost", START_PACKET, b"kept", END_PACKET], [b"kept"]),
    ([START_PACKET, b"lost", OTHER, b"alone"], [b"alone"]),          # another code drops the assembly
    ([LOOKALIKE], [LOOKALIKE]),
    ([b"one", START_PACKET, b"two", END_PACKET, b"three"], [b"one", b"two", b"three"]),
])
def test_reassembly_rules(packets, messages):
    r = Reassembler()
    got = [m for m in (r.feed(p) for p in packets) if m is not None]
    assert got == messages


def test_reassembly_bounds_the_message():
    r = Reassembler(max_size=10)
    r.feed(START_PACKET)
    r.feed(b"x" * 10)
    with pytest.raises(VelmarError, match="longer than 10 bytes"):
        r.feed(b"y")
    assert not r.assembling
    assert r.feed(b"next") == b"next"


@pytest.mark.parametrize("environ, address", [
    ({}, "\0VelmarManager"),
    ({"VELMAR_PIPE_NAMESPACE": "t1-"}, "\0t1-VelmarManager"),
])
def test_socket_address(environ, address):
    assert socket_address("VelmarManager", environ) == address
