"""A Linux serial program as users run them: pyserial opens the port's
terminal, sets its line, writes a print job and reads the printer's answer.

usage: serial_job.py DEVICE JOBFILE ANSWER_BYTES TIMEOUT_S
Prints "answer HEX" with what arrived, and exits 0 when the whole answer
came in time, 1 otherwise.
"""
import sys
import time

import serial


def main():
    device, job_path, answer_bytes, timeout = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    with open(job_path, "rb") as f:
        job = f.read()
    port = serial.Serial(device, baudrate=19200, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                         stopbits=serial.STOPBITS_ONE, timeout=0.2)
    try:
        port.write(job)
        port.flush()
        answer = b""
        deadline = time.monotonic() + timeout
        while len(answer) < answer_bytes and time.monotonic() < deadline:
            answer += port.read(answer_bytes - len(answer))
    finally:
        port.close()
    print("answer " + answer.hex(), flush=True)
    return 0 if len(answer) == answer_bytes else 1


if __name__ == "__main__":
    sys.exit(main())
