#!/usr/bin/python3
"""What a serial program sees of a port's handshake lines through its
terminal, with pyserial. Usage: handshake_lines.py MODE PORT
  lines      cts/dsr/ri/cd, DTR and RTS set and cleared, the counters, then
             a TIOCMIWAIT for CTS/DSR while it prints until a send fails
  plain      the same requests on a terminal with nothing preloaded
  otherpty   a pseudo-terminal of its own next to the port's
  interrupt  a TIOCMIWAIT that a signal ends, then the session still answers
Every line it prints is a finding; every wait is bounded."""
import errno
import fcntl
import os
import signal
import struct
import sys
import termios
import threading
import time

import serial


def lines_of(fd):
    value = struct.unpack("I", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("I", 0)))[0]
    names = [(termios.TIOCM_DTR, "DTR"), (termios.TIOCM_RTS, "RTS"), (termios.TIOCM_CTS, "CTS"),
             (termios.TIOCM_DSR, "DSR"), (termios.TIOCM_RI, "RI"), (termios.TIOCM_CD, "CD")]
    return " ".join(name for bit, name in names if value & bit) or "none"


def attempt(label, call):
    try:
        print(f"{label}: {call()}", flush=True)
    except OSError as e:
        print(f"{label}: errno {e.errno}", flush=True)


def counters(fd):
    raw = fcntl.ioctl(fd, termios.TIOCGICOUNT, bytes(80))
    cts, dsr, rng, dcd, rx, tx = struct.unpack("6i", raw[:24])
    return f"cts={cts} dsr={dsr} rng={rng} dcd={dcd} rx={rx} tx={tx}"


def lines(port):
    s = serial.Serial(port, 9600, timeout=0.2)
    fd = s.fileno()
    print(f"cts {s.cts} dsr {s.dsr} ri {s.ri} cd {s.cd}", flush=True)
    print(f"open: {lines_of(fd)}", flush=True)
    s.dtr = False
    s.rts = False
    print(f"dtr and rts cleared: {lines_of(fd)}", flush=True)
    s.dtr = True
    print(f"dtr set: {lines_of(fd)}", flush=True)
    s.rts = True
    print(f"rts set: {lines_of(fd)}", flush=True)
    print(f"counters: {counters(fd)}", flush=True)

    waited = {}

    def wait():
        start = time.monotonic()
        try:
            result = fcntl.ioctl(fd, termios.TIOCMIWAIT, termios.TIOCM_CTS | termios.TIOCM_DSR)
            waited["result"] = f"returned {result} after the printer went"
        except OSError as e:
            waited["result"] = f"errno {e.errno}"
        waited["seconds"] = time.monotonic() - start

    waiter = threading.Thread(target=wait, daemon=True)
    waiter.start()
    time.sleep(0.3)
    print(f"waiting before the job: {'result' not in waited}", flush=True)
    # The printer resets after its first bytes: a later send fails, the
    # driver drops CTS and DSR, the session hangs up.
    deadline = time.monotonic() + 15
    sent = 0
    while "result" not in waited and time.monotonic() < deadline and sent < 1000:
        try:
            s.write(b"job line\r\n")
            sent += 1
        except (OSError, serial.SerialException):
            break
        time.sleep(0.02)
    waiter.join(5)
    print(f"wait: {waited.get('result', 'still waiting')}", flush=True)


def plain(port):
    s = serial.Serial(port, 9600)
    attempt("cts", lambda: s.cts)
    attempt("dsr", lambda: s.dsr)

    def set_dtr():
        s.dtr = False
        return "set"
    attempt("dtr", set_dtr)
    attempt("TIOCMIWAIT", lambda: fcntl.ioctl(s.fileno(), termios.TIOCMIWAIT, termios.TIOCM_CTS))


def otherpty(port):
    s = serial.Serial(port, 9600)
    master, slave = os.openpty()
    attempt("own pty TIOCMGET", lambda: lines_of(slave))
    start = time.monotonic()
    attempt("own pty TIOCMIWAIT", lambda: fcntl.ioctl(slave, termios.TIOCMIWAIT, termios.TIOCM_CTS))
    print(f"own pty TIOCMIWAIT took under a second: {time.monotonic() - start < 1}", flush=True)
    tiocsbrk = 0x5427  # not in Python's termios
    attempt("own pty TIOCSBRK", lambda: fcntl.ioctl(slave, tiocsbrk))
    attempt("port TIOCMGET", lambda: lines_of(s.fileno()))


def interrupt(port):
    s = serial.Serial(port, 9600)

    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm()
    signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    start = time.monotonic()
    try:
        fcntl.ioctl(s.fileno(), termios.TIOCMIWAIT, termios.TIOCM_CTS | termios.TIOCM_DSR)
        print("wait: returned", flush=True)
    except Alarm:
        print(f"wait: ended by the signal after {time.monotonic() - start:.1f} s", flush=True)
    attempt("after the wait", lambda: lines_of(s.fileno()))


if __name__ == "__main__":
    {"lines": lines, "plain": plain, "otherpty": otherpty, "interrupt": interrupt}[sys.argv[1]](sys.argv[2])
