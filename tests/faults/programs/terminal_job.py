"""A serial program that prints through a port's terminal, as users' Linux
programs do with pyserial, and says exactly what the terminal told it.

usage: terminal_job.py DEVICE JOB [JOB2 GOFILE]

Writes JOB, drains it (tcdrain), and with JOB2 waits for GOFILE to exist
before it writes JOB2 the same way on the same open port. Every count is
the sum of what write() returned; times are CLOCK_MONOTONIC seconds.
Lines:
  open
  blocked at W bytes                  the terminal took nothing for 0.5 s
  job N written: W bytes at T         written and drained
  waiting for GOFILE
  write failed (ERRNO) after W bytes at T
  drain failed (ERRNO) after W bytes at T
  read after the failure: end of file | error ERRNO | N bytes
Exits 0 once it has said what happened.
"""
import errno
import os
import select
import sys
import time

import serial

CHUNK = 4096


def say(text):
    print(text, flush=True)


class Writer:
    def __init__(self, port):
        self.fd = port.fileno()  # pyserial opened it non-blocking
        self.port = port
        self.told = 0

    def write(self, job):
        """Writes the job; False once the terminal refused a write."""
        done = 0
        said_blocked = -1
        while done < len(job):
            _, ready, _ = select.select([], [self.fd], [], 0.5)
            if not ready:
                if said_blocked != self.told:
                    say("blocked at %d bytes" % self.told)
                    said_blocked = self.told
                continue
            try:
                n = os.write(self.fd, job[done:done + CHUNK])
            except BlockingIOError:
                continue
            except OSError as error:
                say("write failed (%s) after %d bytes at %.6f"
                    % (errno.errorcode.get(error.errno, error.errno), self.told, time.monotonic()))
                return False
            done += n
            self.told += n
        try:
            self.port.flush()  # tcdrain
        except Exception as error:  # termios.error or SerialException
            code = getattr(error, "errno", None) or (error.args[0] if error.args else "?")
            say("drain failed (%s) after %d bytes at %.6f"
                % (errno.errorcode.get(code, code), self.told, time.monotonic()))
            return False
        return True

    def read_after_failure(self):
        try:
            data = os.read(self.fd, 1)
        except BlockingIOError:
            say("read after the failure: would block")
            return
        except OSError as error:
            say("read after the failure: error %s" % errno.errorcode.get(error.errno, error.errno))
            return
        say("read after the failure: end of file" if not data else "read after the failure: %d bytes" % len(data))


def main():
    device = sys.argv[1]
    jobs = [sys.argv[2]] + sys.argv[3:4]
    go = sys.argv[4] if len(sys.argv) > 4 else None
    port = serial.Serial(device, baudrate=19200, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                         stopbits=serial.STOPBITS_ONE, timeout=0.2)
    say("open")
    writer = Writer(port)
    for number, path in enumerate(jobs, 1):
        if number == 2:
            say("waiting for %s" % go)
            deadline = time.monotonic() + 120  # a test that went away leaves nothing behind for long
            while not os.path.exists(go):
                if time.monotonic() > deadline:
                    say("no go within 120 s")
                    return 1
                time.sleep(0.01)
        with open(path, "rb") as f:
            job = f.read()
        if not writer.write(job):
            writer.read_after_failure()
            return 0
        say("job %d written: %d bytes at %.6f" % (number, writer.told, time.monotonic()))
    try:
        port.close()
    except Exception as error:
        say("close failed: %s" % error)
    return 0


if __name__ == "__main__":
    sys.exit(main())
