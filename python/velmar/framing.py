"""Messages on the manager's socket and how long ones are cut into packets.

The manager listens on an AF_UNIX SOCK_SEQPACKET socket in the abstract
namespace; every send is one packet and every receive returns one whole
packet. A message longer than MAX_BUFFER bytes travels as a 16-byte start
packet, pieces of at most MAX_BUFFER bytes, and a 16-byte end packet, in
both directions.
"""
from __future__ import annotations

import errno
import os
import socket
import struct
import time
from typing import List, Mapping, Optional

__all__ = [
    "MAX_BUFFER", "MAX_MESSAGE_SIZE", "MB_MAGIC", "MB_START", "MB_END", "START_PACKET", "END_PACKET",
    "VelmarError", "ManagerHungUp", "ReplyTimeout", "packets_for", "Reassembler", "socket_address",
    "connect", "Channel",
]

MAX_BUFFER = 65534                      # largest data packet either side sends
MAX_MESSAGE_SIZE = 64 * 1024 * 1024     # the manager drops longer messages and hangs up
MB_MAGIC = 0x4347414D                   # "MAGC"
MB_START = 0x424D5453                   # "STMB"
MB_END = 0x424D5445                     # "ETMB"
START_PACKET = struct.pack("<4I", 16, MB_MAGIC, MB_START, MB_MAGIC)
END_PACKET = struct.pack("<4I", 16, MB_MAGIC, MB_END, MB_MAGIC)

# Receive buffer: the manager never sends a packet longer than MAX_BUFFER;
# anything larger from some other peer is reported rather than cut short.
_RECEIVE_SIZE = 4 * MAX_BUFFER


class VelmarError(Exception):
    """Any failure talking to the manager."""


class ManagerHungUp(VelmarError, ConnectionError):
    """The manager closed the connection (or was never reached)."""


class ReplyTimeout(VelmarError, TimeoutError):
    """No reply (or no connection) within the time allowed."""


def packets_for(message: bytes) -> List[bytes]:
    """The packets that carry one message, in the order they are sent."""
    if len(message) <= MAX_BUFFER:
        return [bytes(message)]
    view = memoryview(message)
    pieces = [bytes(view[i:i + MAX_BUFFER]) for i in range(0, len(message), MAX_BUFFER)]
    return [START_PACKET] + pieces + [END_PACKET]


class Reassembler:
    """Puts packets back together into messages, by the manager's rules: a
    16-byte packet shaped like a control packet is one (start: a new
    assembly; end: the assembly is complete, ignored without one; any other
    code: the assembly is dropped); any other packet is added to the
    assembly in progress, or is a whole message by itself."""

    def __init__(self, max_size: int = MAX_MESSAGE_SIZE) -> None:
        self.max_size = max_size
        self._parts: Optional[List[bytes]] = None
        self._size = 0

    @property
    def assembling(self) -> bool:
        return self._parts is not None

    def feed(self, packet: bytes) -> Optional[bytes]:
        """Takes one packet; returns the message it completes, or None."""
        if len(packet) == 16:
            size, magic1, code, magic2 = struct.unpack("<4I", packet)
            if size == 16 and magic1 == MB_MAGIC and magic2 == MB_MAGIC:
                if code == MB_START:
                    self._parts, self._size = [], 0
                elif code == MB_END:
                    if self._parts is not None:
                        message = b"".join(self._parts)
                        self._parts, self._size = None, 0
                        return message
                else:
                    self._parts, self._size = None, 0
                return None
        if self._parts is None:
            return bytes(packet)
        self._size += len(packet)
        if self._size > self.max_size:
            self._parts, self._size = None, 0
            raise VelmarError("a message from the manager is longer than %d bytes" % self.max_size)
        self._parts.append(bytes(packet))
        return None


def socket_address(pipe_name: str, environ: Optional[Mapping[str, str]] = None) -> str:
    """The abstract socket address for a pipe name: NUL, then
    $VELMAR_PIPE_NAMESPACE, then the name."""
    env = os.environ if environ is None else environ
    return "\0" + env.get("VELMAR_PIPE_NAMESPACE", "") + pipe_name


def _deadline(timeout: Optional[float]) -> Optional[float]:
    return None if timeout is None else time.monotonic() + timeout


def _left(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def connect(pipe_name: str, timeout: Optional[float] = 60.0,
            environ: Optional[Mapping[str, str]] = None) -> socket.socket:
    """Connects to the manager, trying again every 20 ms while nobody listens
    on the name yet; ReplyTimeout once timeout seconds (None: no limit) pass."""
    address = socket_address(pipe_name, environ)
    deadline = _deadline(timeout)
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        # With credentials on, every packet comes with a control record and
        # the end of the connection without one: that tells an empty message
        # from the manager hanging up.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        try:
            s.connect(address)
            return s
        except OSError as e:
            s.close()
            if e.errno not in (errno.ECONNREFUSED, errno.ENOENT, errno.EAGAIN):
                raise VelmarError("could not connect to %r: %s" % (address.lstrip("\0"), e)) from e
        left = _left(deadline)
        if left is not None and left <= 0:
            raise ReplyTimeout("nobody listens on %r after %g seconds" % (address.lstrip("\0"), timeout))
        time.sleep(0.02 if left is None else min(0.02, left))


class Channel:
    """One connection: whole messages out and in."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self._reassembler = Reassembler()

    def close(self) -> None:
        self.sock.close()

    def send(self, message: bytes, timeout: Optional[float] = None) -> None:
        deadline = _deadline(timeout)
        for packet in packets_for(message):
            self._send_packet(packet, deadline)

    def _send_packet(self, packet: bytes, deadline: Optional[float]) -> None:
        self.sock.settimeout(_left(deadline))
        try:
            self.sock.send(packet)
        except socket.timeout as e:
            raise ReplyTimeout("timed out sending to the manager") from e
        except (BrokenPipeError, ConnectionResetError) as e:
            raise ManagerHungUp("the manager closed the connection") from e
        except OSError as e:
            if e.errno == errno.EMSGSIZE:
                raise VelmarError("packet of %d bytes is too long for the socket" % len(packet)) from e
            raise

    def receive_packet(self, deadline: Optional[float]) -> bytes:
        self.sock.settimeout(_left(deadline))
        try:
            data, ancdata, flags, _ = self.sock.recvmsg(_RECEIVE_SIZE, socket.CMSG_SPACE(12))
        except socket.timeout as e:
            raise ReplyTimeout("no reply from the manager in time") from e
        except ConnectionResetError as e:
            raise ManagerHungUp("the manager closed the connection") from e
        if not data and not ancdata:
            raise ManagerHungUp("the manager closed the connection")
        if flags & socket.MSG_TRUNC:
            raise VelmarError("a packet from the manager is longer than %d bytes" % _RECEIVE_SIZE)
        return data

    def receive(self, timeout: Optional[float] = None) -> bytes:
        """The next whole message; ReplyTimeout when it has not come in full
        within timeout seconds (None: wait for ever)."""
        deadline = _deadline(timeout)
        while True:
            message = self._reassembler.feed(self.receive_packet(deadline))
            if message is not None:
                return message
