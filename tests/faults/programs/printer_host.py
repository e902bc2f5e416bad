"""A network printer as a test host, in a network namespace of its own.

usage: printer_host.py --link NAME --address A.B.C.D/NN --port P --jobs DIR
                       [--fault close|reset|stall --after BYTES] [--rcvbuf BYTES]
                       [--pace BYTES_PER_S]

Started alone in a fresh network namespace, it says "printer pid N" and
waits for the link NAME to appear (the test moves one end of a veth pair
in), brings it up with the address, listens on the address and port, and
files each connection's bytes in DIR/job-NNNN.prn. The first 8 bytes of a
job are its tag: the test tells its programs' jobs apart by them.

What the printer's TCP acknowledged is what it read plus what waits unread
in its receive queue (FIONREAD); every line that reports a fault or a job
says both, so the test can compare them with what the programs were told.
Times are CLOCK_MONOTONIC seconds, the clock the test and its programs read.

  --fault close  after BYTES, closes gracefully: a FIN, then what still
                 comes is read and dropped until the other side closes
  --fault reset  after BYTES, stops reading, lets the queue settle (so that
                 everything queued is acknowledged and nothing is in
                 flight), then closes with SO_LINGER 0: a reset
  --fault stall  after BYTES, stops reading but keeps answering TCP (the
                 window closes); SIGUSR2 makes it read again
  --pace         reads no faster than this, as a printer that prints as
                 it goes: a job stays in flight long enough to be cut off
  SIGUSR1        every open job reports what it read and what is queued
                 (the test sends it after deleting the link)
"""
import argparse
import fcntl
import os
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

# How long a receive queue must stay unchanged to count as settled: the
# sender's window is full, or it has nothing more to send for now.
SETTLE_S = 0.15
# A job that received nothing for this long says how far it got.
IDLE_S = 0.1

print_lock = threading.Lock()  # keeps each report line whole on stdout
jobs_lock = threading.RLock()  # guards jobs; re-entrant, as the signal handlers run on the main thread
jobs = []


def say(text):
    with print_lock:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def queued(sock):
    """Bytes received and acknowledged that nobody has read yet."""
    buffer = bytearray(4)
    fcntl.ioctl(sock.fileno(), termios.FIONREAD, buffer)
    return struct.unpack("i", buffer)[0]


class Job:
    def __init__(self, number, sock, peer, directory):
        self.number = number
        self.sock = sock
        self.peer = peer
        self.read = 0
        self.tag = b""
        self.file = open(os.path.join(directory, "job-%04d.prn" % number), "wb")
        self.report_wanted = threading.Event()
        self.resume = threading.Event()

    def name(self):
        return "job %d tag %s" % (self.number, self.tag.decode("ascii", "replace") or "-")

    def take(self, data):
        if len(self.tag) < 8:
            self.tag += data[: 8 - len(self.tag)]
        self.file.write(data)
        self.file.flush()
        self.read += len(data)

    def end(self):
        self.file.close()
        self.sock.close()

    def settle(self):
        """Waits until the receive queue stops growing, and has whatever is
        queued acknowledged now rather than at the delayed ACK's time."""
        last = -1
        since = time.monotonic()
        while True:
            now = queued(self.sock)
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= SETTLE_S:
                break
            time.sleep(0.01)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        time.sleep(0.01)

    def report(self, what, waiting, at=None):
        """`at`: when the fault was done, if that was before this report."""
        say("%s: %s at %.6f: %d read, %d queued, %d acknowledged"
            % (self.name(), what, at or time.monotonic(), self.read, waiting, self.read + waiting))


def read_until(job, limit, pace):
    """Reads and files the job until `limit` bytes (None: no limit); True
    once the connection ended."""
    idle_said = True
    while True:
        if job.report_wanted.is_set():
            job.report_wanted.clear()
            job.report("report", queued(job.sock))
        want = 65536 if limit is None else min(65536, limit - job.read)
        if want == 0:
            return False
        try:
            data = job.sock.recv(want)
        except socket.timeout:
            if not idle_said:
                say("%s: %d read, idle" % (job.name(), job.read))
                idle_said = True
            continue
        except OSError as error:
            say("%s: ended (error %s): %d read" % (job.name(), os.strerror(error.errno), job.read))
            job.end()
            return True
        if not data:
            say("%s: ended (end of job): %d read" % (job.name(), job.read))
            job.end()
            return True
        before = job.read
        job.take(data)
        idle_said = False
        if job.read >> 20 != before >> 20:
            say("%s: passed %d MiB" % (job.name(), job.read >> 20))
        if pace:
            time.sleep(len(data) / pace)


def serve(job, fault, after, pace):
    say("job %d: connection from %s:%d" % (job.number, job.peer[0], job.peer[1]))
    job.sock.settimeout(IDLE_S)
    limit = after if fault else None
    while not read_until(job, limit, pace):
        # The fault, at `after` bytes read.
        job.file.close()
        if fault == "close":
            # At once, with the job still coming, and gracefully: a FIN, then
            # what still comes is read and dropped (and so acknowledged) until
            # the other side closes too. Only the FIN says the job is over.
            at = time.monotonic()
            job.sock.shutdown(socket.SHUT_WR)
            job.report("closed", queued(job.sock), at)
            dropped = 0
            job.sock.settimeout(None)
            while True:
                try:
                    data = job.sock.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                dropped += len(data)
            say("%s: after the close, %d read and dropped, %d acknowledged in all"
                % (job.name(), dropped, job.read + dropped))
            job.sock.close()
            return
        job.settle()
        if fault == "reset":
            waiting = queued(job.sock)
            job.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            at = time.monotonic()
            job.sock.close()
            job.report("reset", waiting, at)
            return
        job.report("stalled", queued(job.sock))
        job.resume.wait()
        say("%s: reading again" % job.name())
        job.file = open(job.file.name, "ab")
        limit = None


def on_report(signum, frame):
    with jobs_lock:
        for job in jobs:
            job.report_wanted.set()


def on_resume(signum, frame):
    with jobs_lock:
        for job in jobs:
            job.resume.set()


def has_link(link):
    # /proc/self/net is this namespace's; /sys still shows the test's.
    with open("/proc/self/net/dev") as dev:
        return any(line.split(":")[0].strip() == link for line in dev if ":" in line)


def bring_up(link, address):
    """Waits for the link the test moves in, then configures it as the
    printer's only network."""
    deadline = time.monotonic() + 20
    while not has_link(link):
        if time.monotonic() > deadline:
            say("no link %s appeared" % link)
            sys.exit(1)
        time.sleep(0.005)
    for command in (["link", "set", "lo", "up"], ["addr", "add", address, "dev", link],
                    ["link", "set", link, "up"]):
        subprocess.run(["ip"] + command, check=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link", required=True)
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--jobs", required=True)
    parser.add_argument("--fault", choices=("close", "reset", "stall"))
    parser.add_argument("--after", type=int, default=0)
    parser.add_argument("--rcvbuf", type=int, default=256 * 1024)
    parser.add_argument("--pace", type=int, default=0)
    args = parser.parse_args()

    signal.signal(signal.SIGUSR1, on_report)
    signal.signal(signal.SIGUSR2, on_resume)
    say("printer pid %d" % os.getpid())
    bring_up(args.link, args.address)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A fixed receive buffer (inherited by every connection) bounds how much
    # the printer acknowledges beyond what it read once it stops reading.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    host = args.address.split("/")[0]
    listener.bind((host, args.port))
    listener.listen(8)
    say("listening on %s:%d" % (host, args.port))
    number = 0
    while True:
        sock, peer = listener.accept()
        number += 1
        job = Job(number, sock, peer, args.jobs)
        with jobs_lock:
            jobs.append(job)
        threading.Thread(target=serve, args=(job, args.fault, args.after, args.pace), daemon=True).start()


if __name__ == "__main__":
    main()
