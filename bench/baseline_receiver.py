"""The receiver a station engineer would write in a few minutes: receive a
datagram, rewrite metadata.txt. Used by the benchmark as the baseline.
Usage: baseline_receiver.py PORT (run in the folder that gets metadata.txt)."""
import signal
import socket
import sys

burst_items = 0


def write_count(*_):
    with open("applied.count", "w") as f:
        f.write(str(burst_items))
    sys.exit(0)


signal.signal(signal.SIGTERM, write_count)
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("0.0.0.0", int(sys.argv[1])))
while True:
    data, _ = sock.recvfrom(65535)
    with open("metadata.txt", "wb") as f:
        f.write(data + b"\r\n\r\n")
    if data.startswith(b"Burst"):
        burst_items += 1
