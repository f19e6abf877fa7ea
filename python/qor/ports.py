"""The machine's serial ports, as the byte link finds them."""

from typing import List, NamedTuple, Optional

from . import _library

__all__ = ["SerialPort", "list_ports"]


class SerialPort(NamedTuple):
    """One serial port; the field names are pyserial's where it has them."""

    device: str  #: "/dev/ttyUSB0", "COM3": a target for ``qor.Link``
    stable_name: str  #: "/dev/serial/by-id/usb-..." when one links here, else ""
    driver: str  #: the kernel driver or Windows service, "ftdi_sio"
    vid: Optional[int]  #: USB vendor id, None when not a USB device
    pid: Optional[int]  #: USB product id, None when not a USB device
    manufacturer: str
    product: str
    serial_number: str


def _text(field: bytes) -> str:
    return field.decode("utf-8", "replace")


def list_ports() -> List[SerialPort]:
    """List the machine's serial ports, sorted by device name (opens none).

    Serial ports the kernel reserves without hardware behind them are left
    out. Raises ``OSError`` when the system's list cannot be read.
    """
    comm = _library.load().comm
    capacity = 16
    while True:
        ports = (_library.PortInfo * capacity)()
        count = comm.QOR_ListPorts(ports, capacity)
        if count < 0:
            raise OSError("cannot read the system's list of serial ports")
        if count <= capacity:
            break
        capacity = count
    return [
        SerialPort(
            _text(p.device),
            _text(p.stable_name),
            _text(p.driver),
            p.usb_vendor if p.usb_vendor >= 0 else None,
            p.usb_product if p.usb_product >= 0 else None,
            _text(p.manufacturer),
            _text(p.product),
            _text(p.serial_number),
        )
        for p in ports[:count]
    ]
