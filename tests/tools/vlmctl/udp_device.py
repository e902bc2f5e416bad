"""A device on UDP port 48781 that is no honest printer.

usage: udp_device.py imin RECORD_HEX   answers every "FIND" with "IMIN" and
                                       the 26-byte record; takes no "SETT"
       udp_device.py setc              answers every "SETT" with "SETC",
                                       whoever it was for, changing nothing

Says "udp ready" once bound. Shares the port, as devices on one link do.
"""
import socket
import sys


def main():
    mode = sys.argv[1]
    record = bytes.fromhex(sys.argv[2]) if mode == "imin" else b""
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind(("0.0.0.0", 48781))
    print("udp ready", flush=True)
    while True:
        data, sender = sock.recvfrom(2048)
        if mode == "imin" and data[:4] == b"FIND":
            sock.sendto(b"IMIN" + record, sender)
        elif mode == "setc" and data[:4] == b"SETT":
            sock.sendto(b"SETC" + data[4:], sender)
            print("forged SETC to %s:%d" % sender, flush=True)


if __name__ == "__main__":
    main()
