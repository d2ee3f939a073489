#!/usr/bin/python3
"""pySerial's RFC 2217 client making N lock-step round trips of one byte against an echoing
server: pyserial_roundtrip.py URL N. Prints the median round-trip time and the CPU time per
round trip, both in microseconds, on one line; exit status 1 when a byte did not come back."""
import resource
import statistics
import sys
import time

import serial

url, count = sys.argv[1], int(sys.argv[2])
port = serial.serial_for_url(url, baudrate=9600, timeout=0.25)
port.reset_input_buffer()


def cpu_us():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return (u.ru_utime + u.ru_stime) * 1e6


times = []
cpu_before = cpu_us()
for i in range(count):
    value = bytes([(i * 97 + 13) & 0xFF])
    t0 = time.perf_counter_ns()
    port.write(value)
    answer = port.read(1)
    t1 = time.perf_counter_ns()
    if answer != value:
        print("pyserial round trip %d: sent %r, got %r" % (i + 1, value, answer), file=sys.stderr)
        sys.exit(1)
    times.append(t1 - t0)
cpu = (cpu_us() - cpu_before) / count
port.close()
print("%.2f %.2f" % (statistics.median(times) / 1000.0, cpu))
