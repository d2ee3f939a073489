#!/usr/bin/env python3
"""The far side of a COM port under Wine: opens a pseudo-terminal, prints the name of its slave
side, and echoes every byte that arrives on the master side until it is stopped."""
import os
import sys
import termios
import tty

master, slave = os.openpty()
# Raw from the start, so nothing the port sends before it is configured is changed or echoed by
# the line discipline. The slave stays open here, so the master never reads end-of-file while
# the port is closed between two tests.
tty.setraw(slave, termios.TCSANOW)
print(os.ttyname(slave), flush=True)
sys.stdout.close()
while True:
    try:
        data = os.read(master, 4096)
    except InterruptedError:
        continue
    except OSError:
        break
    if not data:
        break
    while data:
        data = data[os.write(master, data):]
