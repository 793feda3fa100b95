#!/usr/bin/env python3
"""Free ports on 127.0.0.1 for programs the tests and benchmarks start, as tests/support/Loopback.h
picks them: above the kernel's ephemeral range, so a port checked free stays free until the program
binds it (no socket bound to port 0 meanwhile lands on it).

    python3 tests/loopback.py tcp|udp     prints one
"""
import random
import socket
import sys


def free_port(kind=socket.SOCK_DGRAM, count=1, even=False):
    """A port free now with the next count - 1 free as well; even when asked (RTP and RTCP)."""
    for _ in range(1000):
        port = random.randrange(61000, 65000)
        if even:
            port &= ~1
        if all(_free(kind, port + i) for i in range(count)):
            return port
    raise RuntimeError("no free loopback port")


def _free(kind, port):
    with socket.socket(socket.AF_INET, kind) as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


if __name__ == "__main__":
    print(free_port(socket.SOCK_STREAM if sys.argv[1:] == ["tcp"] else socket.SOCK_DGRAM))
