#!/usr/bin/python3
"""pySerial's RFC 2217 client against a served bench's dongle port: sets the speed, pulses
DTR/RTS as the tool does to reset the dongle, reads DSR, and goes through the dongle's
identification handshake byte for byte.

usage: pyserial_dongle.py URL HW_VERSION IDENTITY
Prints one line per step; exit status 0 when every step got what it expected."""
import sys
import time

import serial

url, hw_version, identity = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode("ascii")
failures = 0


def check(what, got, expected):
    global failures
    ok = got == expected
    failures += 0 if ok else 1
    print(("ok   " if ok else "FAIL ") + what + ": got " + repr(got) + ", expected " + repr(expected))


def ask(port, byte):
    port.write(bytes([byte]))
    return port.read(1)


port = serial.serial_for_url(url, baudrate=19200, timeout=2)
port.baudrate = 9600
check("speed", port.baudrate, 9600)

# The dongle's reset: DTR off with RTS on, then DTR on with RTS off.
port.dtr = False
port.rts = True
time.sleep(0.2)
port.dtr = True
port.rts = False
time.sleep(0.1)
port.reset_input_buffer()

check("version", ask(port, 0x80), bytes([hw_version]))
check("sync", ask(port, 0x00), b"\x55")
check("check", ask(port, 0xA5), b"\xf0")
text = b"".join(ask(port, 0x55) for _ in range(16))
check("identity", text, identity)

# The handheld behind the dongle restarted with the pulse; DSR comes back once it is up.
deadline = time.monotonic() + 10
dsr = port.dsr
while not dsr and time.monotonic() < deadline:
    time.sleep(0.05)
    dsr = port.dsr
check("DSR", dsr, True)

port.close()
print("done" if failures == 0 else "failed")
sys.exit(1 if failures else 0)
