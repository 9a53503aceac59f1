#!/usr/bin/env python3
"""How many mailslot datagrams per second one mailslot-relay delivers.

  sudo bench/relay_rate.py [--build DIR] [--messages N] [--size BYTES]

Two hosts as network namespaces joined by a veth pair, on a /24 that exists
only inside them. Host A runs the relay and holds a slot through the
platform layer (tests/network's slot_reader); this script, in host B, sends
DIRECT_UNIQUE mailslot datagrams to A with at most WINDOW of them not yet
delivered, so no datagram is lost to a full socket buffer and the figure is
the relay's own pace. Beside it, in the same run, the same messages written
straight into the same slot's socket on host A: the reader's own ceiling.
Prints one Markdown table.
"""
import argparse
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

WINDOW = 128
SUBNET = "10.213.48."


def sh(*args):
    subprocess.run(args, check=True)


def encode_name(name):
    raw = name.upper().ljust(15).encode() + b"\0"
    out = bytes([0x20])
    for c in raw:
        out += bytes([0x41 + (c >> 4), 0x41 + (c & 15)])
    return out + b"\0"


def mailslot_datagram(src_ip, src, dst, slot, data, dgm_id):
    name = b"\\MAILSLOT\\" + slot.encode() + b"\0"
    offset = 32 + 1 + 34 + 2 + len(name)
    smb = (b"\xffSMB\x25" + bytes(27) + bytes([17]) +
           struct.pack("<HHHHBBHIHHHHHBBHHHH", 0, len(data), 0, 0, 0, 0, 0, 0, 0, 0, offset,
                       len(data), offset, 3, 0, 1, 1, 2, len(name) + len(data)) + name + data)
    body = encode_name(src) + encode_name(dst) + smb
    return struct.pack(">BBH4sHHH", 0x10, 2, dgm_id & 0xFFFF, socket.inet_aton(src_ip), 138,
                       len(body), 0) + body


class Reader:
    """slot_reader's output: one line per delivered message."""

    def __init__(self, proc):
        self.proc = proc
        self.count = 0
        self.ready = False
        self.buffer = b""
        os.set_blocking(proc.stdout.fileno(), False)

    def poll(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if ready:
            chunk = os.read(self.proc.stdout.fileno(), 1 << 16)
            self.buffer += chunk
            lines = self.buffer.split(b"\n")
            self.buffer = lines.pop()
            self.ready = self.ready or b"ready" in lines
            self.count += sum(1 for line in lines if line and line != b"ready")
        return self.count


def drive(reader, send, messages):
    """Sends `messages`, keeping at most WINDOW undelivered; stops when all are
    delivered or none has been for two seconds (a datagram was lost)."""
    start = last_progress = time.monotonic()
    sent = done = 0
    while done < messages and time.monotonic() - last_progress < 2:
        while sent < messages and sent - done < WINDOW:
            send(sent)
            sent += 1
        if reader.poll(0.5) > done:
            done = reader.count
            last_progress = time.monotonic()
    return done, last_progress - start


def inner(args):
    """Runs in host B's namespace."""
    env = dict(os.environ, W32_ROOT=args.root_a)
    netns_a = ["ip", "netns", "exec", args.ns_a]
    relay = subprocess.Popen(netns_a + [args.build + "/tools/mailslot-relay", "--name", "BENCHA"],
                             env=env, stderr=subprocess.PIPE)
    reader_proc = subprocess.Popen(netns_a + [args.build + "/tests/network/slot_reader", "bench"],
                                   env=env, stdout=subprocess.PIPE)
    try:
        while b"registered" not in relay.stderr.readline():
            if relay.poll() is not None:
                sys.exit("bench: the relay did not start")
        reader = Reader(reader_proc)
        while not reader.ready:
            reader.poll(0.1)
        data = b"x" * args.size

        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        packets = [mailslot_datagram(SUBNET + "2", "BENCHB", "BENCHA", "bench", data, i)
                   for i in range(args.messages)]
        relayed, relay_s = drive(reader, lambda i: udp.sendto(packets[i], (SUBNET + "1", 138)),
                                 args.messages)

        local = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        slot_path = os.path.join(args.root_a, "mailslot", "bench")
        reader.count = 0
        direct, direct_s = drive(reader, lambda i: local.sendto(data, slot_path), args.messages)
    finally:
        reader_proc.kill()
        relay.terminate()
        relay.wait(10)

    print("| Measure | Result | Compared with |")
    print("| --- | --- | --- |")
    print(f"| Datagrams delivered by one relay ({args.size}-byte messages, {args.messages} sent, "
          f"at most {WINDOW} in flight) | **{relayed / relay_s:,.0f} per second** "
          f"({relayed} delivered in {relay_s:.2f} s) | the same messages written straight into "
          f"the slot's socket on host A: {direct / direct_s:,.0f} per second ({direct} in "
          f"{direct_s:.2f} s) |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--messages", type=int, default=20000)
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--ns-a", help=argparse.SUPPRESS)
    parser.add_argument("--root-a", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if args.inner:
        inner(args)
        return
    if os.geteuid() != 0:
        sys.exit("bench/relay_rate.py needs root (network namespaces, ports 137 and 138)")
    # A stop by SIGTERM still removes the namespaces.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench/relay_rate.py: stopped"))
    prefix = f"msrbench{os.getpid()}"
    ns_a, ns_b = prefix + "a", prefix + "b"
    root = tempfile.mkdtemp(prefix="relay-bench-")
    try:
        sh("ip", "netns", "add", ns_a)
        sh("ip", "netns", "add", ns_b)
        sh("ip", "link", "add", "veth0", "netns", ns_a, "type", "veth", "peer", "name", "veth0",
           "netns", ns_b)
        for ns, host in ((ns_a, "1"), (ns_b, "2")):
            sh("ip", "-n", ns, "addr", "add", SUBNET + host + "/24", "broadcast", SUBNET + "255",
               "dev", "veth0")
            sh("ip", "-n", ns, "link", "set", "veth0", "up")
            sh("ip", "-n", ns, "link", "set", "lo", "up")
        subprocess.run(["ip", "netns", "exec", ns_b, sys.executable, os.path.abspath(__file__),
                        "--inner", "--ns-a", ns_a, "--root-a", root + "/a", "--build", args.build,
                        "--messages", str(args.messages), "--size", str(args.size)], check=True)
    finally:
        subprocess.run(["ip", "netns", "del", ns_a], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", ns_b], stderr=subprocess.DEVNULL)
        subprocess.run(["rm", "-rf", root])


if __name__ == "__main__":
    main()
