"""What the Modbus tests share: the gateway tests' plant (tests/gateway/plant.py,
made importable from the folder above, with its ClassScope) and raw Modbus
TCP over a socket."""

import os
import socket
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from plant import ClassScope  # noqa: E402,F401 (the tests take it from here)



def request(transaction, pdu, unit=1, protocol=0, length=None):
    """A Modbus TCP request; length: the MBAP length field, by default the
    one that fits."""
    length = len(pdu) + 1 if length is None else length
    return struct.pack(">HHHB", transaction, protocol, length, unit) + bytes(pdu)


def read_input(transaction, address, count, unit=1):
    return request(transaction, struct.pack(">BHH", 4, address, count), unit)


def receive(sock):
    """The next whole answer as (transaction, unit, pdu), or None when the
    server closed the connection first."""
    header = _exactly(sock, 7)
    if header is None:
        return None
    transaction, protocol, length, unit = struct.unpack(">HHHB", header)
    assert protocol == 0, header
    pdu = _exactly(sock, length - 1)
    assert pdu is not None, "the answer was cut"
    return transaction, unit, pdu


def _exactly(sock, size):
    data = b""
    while len(data) < size:
        try:
            chunk = sock.recv(size - len(data))
        except ConnectionResetError:
            chunk = b""  # closed with our next request still unread
        if not chunk:
            return None if not data else data
        data += chunk
    return data


def connect(port, timeout=10):
    return socket.create_connection(("127.0.0.1", port), timeout=timeout)
