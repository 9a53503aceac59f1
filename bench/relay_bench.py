#!/usr/bin/env python3
"""mailslot-relay between two hosts: how many datagrams per second one relay
delivers, and a client's request-to-reply time from another host beside the
same request on the service's own host.

  sudo bench/relay_bench.py [--build DIR] [--messages N] [--size BYTES] [--rounds N]
                            [--beside-nmbd]

Two hosts as network namespaces joined by a veth pair, on a /24 that exists
only inside them, each with its own W32_ROOT and relay.

Rate: host A holds a slot through the platform layer (tests/network's
slot_reader); this script, in host B, sends DIRECT_UNIQUE mailslot datagrams
to A with at most WINDOW of them not yet delivered, so no datagram is lost
to a full socket buffer and the figure is the relay's own pace. Beside it,
in the same run, the same messages written straight into the same slot's
socket on host A: the reader's own ceiling.

Beside a full slot: host A also holds a slot nobody reads, filled first;
then every message to the reading slot goes with one to the full slot, and
the rate to the reading slot is taken beside the rate without them, ROUNDS
times each in turn (the median of each, and their ratio).

Latency: the service runs on host A under svcctl; mailslot-client asks it
for the count of a small file, in turn from host A itself and from host B
(--server), ROUNDS times each, each run started at a random point of the
service's poll cycle. A run is the client's whole time, its two markers
included; the ratio is taken pair by pair.

With --beside-nmbd, host A runs Samba's nmbd and its relay beside it, and
the rate and host B's request-to-reply time are taken through nmbd; then
nmbd stops, the same relay takes charge of the ports, and both are taken
again: the route's cost, side by side in one run.

Prints one Markdown table.
"""
import argparse
import os
import random
import select
import statistics
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


def rate(reader, send, messages):
    reader.count = 0
    done, seconds = drive(reader, send, messages)
    return done / seconds


def spread(values, fmt):
    return (f"{fmt(statistics.median(values))} ({fmt(min(values))}–{fmt(max(values))})")


def client_latency(args, env_a, env_b, netns_a, data_file):
    """Seconds per client run, local (on A) and remote (from B), taken in turn."""
    client = args.build + "/tools/mailslot-client"
    runs = {"local": netns_a + [client, data_file],
            "remote": [client, "--server", "BENCHA", data_file]}
    envs = {"local": env_a, "remote": env_b}
    seconds = {"local": [], "remote": []}
    for _ in range(args.rounds):
        for kind in ("local", "remote"):
            time.sleep(random.random() * 0.5)  # a random point of the 500 ms poll cycle
            start = time.monotonic()
            out = subprocess.run(runs[kind], env=envs[kind], capture_output=True, text=True)
            seconds[kind].append(time.monotonic() - start)
            if out.returncode != 0 or out.stdout.strip() != "2":
                sys.exit(f"bench: the {kind} client failed: {out.stdout}{out.stderr}")
            time.sleep(0.6)  # the pause after the last reply
    return seconds


def start_nmbd(args, netns_a, env_a):
    """nmbd on host A as BENCHA, its files under A's root; its socket directory."""
    base = os.path.join(args.root_a, "..", "nmbd")
    conf = ["[global]", "workgroup = WORKGROUP", "netbios name = BENCHA", "interfaces = veth0",
            "bind interfaces only = yes", "dns proxy = no", "log level = 0"]
    for place in ("lock directory", "state directory", "cache directory", "private dir",
                  "pid directory", "nmbd:socket dir"):
        sub = os.path.join(base, place.split()[0].replace(":", "-"))
        os.makedirs(sub, exist_ok=True)
        conf.append(f"{place} = {sub}")
    with open(os.path.join(base, "smb.conf"), "w") as f:
        f.write("\n".join(conf) + "\n")
    proc = subprocess.Popen(netns_a + ["nmbd", "-F", "--no-process-group", "-s",
                                       os.path.join(base, "smb.conf")], env=env_a,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    socket_dir = os.path.join(base, "nmbd-socket")
    deadline = time.monotonic() + 30
    while not os.path.exists(os.path.join(socket_dir, "unexpected")):
        if time.monotonic() > deadline:
            sys.exit("bench: nmbd did not start")
        time.sleep(0.1)
    time.sleep(3)  # its names registered (three broadcasts, a second apart)
    return proc, socket_dir


# Datagrams sent to the unread slot before the rounds: more than it holds.
IDLE_FILL = 2000


def ready_reader(reader_proc):
    """The slot reader, once its slot is open."""
    reader = Reader(reader_proc)
    while not reader.ready:
        reader.poll(0.1)
    return reader


def bench_packets(args):
    """The message, and the datagrams from host B to \\BENCHA\mailslot\bench
    that carry it, one per message."""
    data = b"x" * args.size
    return data, [mailslot_datagram(SUBNET + "2", "BENCHB", "BENCHA", "bench", data, i)
                  for i in range(args.messages)]


def wait_for_line(relay, text):
    while text not in relay.stderr.readline():
        if relay.poll() is not None:
            sys.exit(f"bench: a relay ended before saying {text!r}")


def inner_beside_nmbd(args):
    """Runs in host B's namespace: the same measures through nmbd, then with
    the relay in charge."""
    env_a = dict(os.environ, W32_ROOT=args.root_a)
    env_b = dict(os.environ, W32_ROOT=args.root_b)
    netns_a = ["ip", "netns", "exec", args.ns_a]
    svcctl = args.build + "/tools/svcctl/svcctl"
    nmbd, socket_dir = start_nmbd(args, netns_a, env_a)
    relay_a = subprocess.Popen(netns_a + [args.build + "/tools/mailslot-relay", "--name", "BENCHA",
                                          "--nmbd-socket-dir", socket_dir],
                               env=env_a, stderr=subprocess.PIPE, text=True)
    relay_b = subprocess.Popen([args.build + "/tools/mailslot-relay", "--name", "BENCHB"],
                               env=env_b, stderr=subprocess.PIPE, text=True)
    reader_proc = subprocess.Popen(netns_a + [args.build + "/tests/network/slot_reader", "bench"],
                                   env=env_a, stdout=subprocess.PIPE)
    figures = {}
    try:
        wait_for_line(relay_a, "mode: beside nmbd")
        wait_for_line(relay_b, "registered")
        reader = ready_reader(reader_proc)
        data, packets = bench_packets(args)
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        subprocess.run(netns_a + [svcctl, "create", "Sample service",
                                  args.build + "/mailslot-service"], env=env_a, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(netns_a + [svcctl, "start", "Sample service"], env=env_a, check=True,
                       stdout=subprocess.DEVNULL)
        data_file = os.path.join(args.root_a, "abc.txt")
        with open(data_file, "w") as f:
            f.write("a b c")
        for mode in ("beside nmbd", "relay alone"):
            if mode == "relay alone":
                nmbd.terminate()
                nmbd.wait(10)
                wait_for_line(relay_a, "registered")
            reader.count = 0
            delivered, seconds = drive(reader, lambda i: udp.sendto(packets[i], (SUBNET + "1", 138)),
                                       args.messages)
            remote = client_latency(args, env_a, env_b, netns_a, data_file)["remote"]
            figures[mode] = (delivered, seconds, remote)
    finally:
        reader_proc.kill()
        subprocess.run(netns_a + [svcctl, "stop", "Sample service"], env=env_a,
                       stdout=subprocess.DEVNULL)
        for proc in (relay_a, relay_b, nmbd):
            proc.terminate()
            proc.wait(10)

    ms = lambda v: f"{v * 1000:,.0f}"
    print("| Measure | Beside nmbd | Relay alone, the same relay once nmbd stopped |")
    print("| --- | --- | --- |")
    row = lambda f: f"**{f[0] / f[1]:,.0f} per second** ({f[0]} of {args.messages} in {f[1]:.2f} s)"
    print(f"| Datagrams delivered from host B ({args.size}-byte messages, at most {WINDOW} in "
          f"flight) | {row(figures['beside nmbd'])} | {row(figures['relay alone'])} |")
    print(f"| mailslot-client from host B (`--server`), request to reply, {args.rounds} runs | "
          f"**{spread(figures['beside nmbd'][2], ms)} ms** | {spread(figures['relay alone'][2], ms)}"
          f" ms |")


def inner(args):
    """Runs in host B's namespace."""
    env_a = dict(os.environ, W32_ROOT=args.root_a)
    env_b = dict(os.environ, W32_ROOT=args.root_b)
    netns_a = ["ip", "netns", "exec", args.ns_a]
    svcctl = args.build + "/tools/svcctl/svcctl"
    relays = [subprocess.Popen(netns_a + [args.build + "/tools/mailslot-relay", "--name", "BENCHA"],
                               env=env_a, stderr=subprocess.PIPE),
              subprocess.Popen([args.build + "/tools/mailslot-relay", "--name", "BENCHB"],
                               env=env_b, stderr=subprocess.PIPE)]
    reader_proc = subprocess.Popen(netns_a + [args.build + "/tests/network/slot_reader", "bench"],
                                   env=env_a, stdout=subprocess.PIPE)
    procs = [reader_proc]
    service = False
    try:
        for relay in relays:
            while b"registered" not in relay.stderr.readline():
                if relay.poll() is not None:
                    sys.exit("bench: a relay did not start")
        reader = ready_reader(reader_proc)
        data, packets = bench_packets(args)

        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        relayed, relay_s = drive(reader, lambda i: udp.sendto(packets[i], (SUBNET + "1", 138)),
                                 args.messages)

        local = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        slot_path = os.path.join(args.root_a, "mailslot", "bench")
        reader.count = 0
        direct, direct_s = drive(reader, lambda i: local.sendto(data, slot_path), args.messages)

        # A slot nobody reads, filled to the brim before the rounds.
        idle_proc = subprocess.Popen(netns_a + [args.build + "/tests/network/slot_reader", "idle",
                                                "--never-read"], env=env_a, stdout=subprocess.PIPE)
        procs.append(idle_proc)
        idle_proc.stdout.readline()
        idle = [mailslot_datagram(SUBNET + "2", "BENCHB", "BENCHA", "idle", data, i)
                for i in range(max(args.messages, IDLE_FILL))]
        for i in range(IDLE_FILL):
            udp.sendto(idle[i], (SUBNET + "1", 138))
            if i % 100 == 99:
                time.sleep(0.01)
        time.sleep(0.5)

        def beside_full(i):
            udp.sendto(packets[i], (SUBNET + "1", 138))
            udp.sendto(idle[i], (SUBNET + "1", 138))

        plain, loaded = [], []
        for _ in range(args.rounds):
            plain.append(rate(reader, lambda i: udp.sendto(packets[i], (SUBNET + "1", 138)),
                              args.messages))
            loaded.append(rate(reader, beside_full, args.messages))
        reader_proc.kill()

        subprocess.run(netns_a + [svcctl, "create", "Sample service",
                                  args.build + "/mailslot-service"], env=env_a, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(netns_a + [svcctl, "start", "Sample service"], env=env_a, check=True,
                       stdout=subprocess.DEVNULL)
        service = True
        data_file = os.path.join(args.root_a, "abc.txt")
        with open(data_file, "w") as f:
            f.write("a b c")
        seconds = client_latency(args, env_a, env_b, netns_a, data_file)
    finally:
        for proc in procs:
            proc.kill()
        if service:
            subprocess.run(netns_a + [svcctl, "stop", "Sample service"], env=env_a,
                           stdout=subprocess.DEVNULL)
        for relay in relays:
            relay.terminate()
            relay.wait(10)
        # What each relay counted, for the reader of the figures.
        for relay in relays:
            for line in relay.stderr.read().decode(errors="replace").splitlines():
                if "delivered" in line:
                    print(f"bench: {line}", file=sys.stderr)

    ms = lambda v: f"{v * 1000:,.0f}"
    ratios = [r / l for l, r in zip(seconds["local"], seconds["remote"])]
    print("| Measure | Result | Compared with |")
    print("| --- | --- | --- |")
    print(f"| Datagrams delivered by one relay ({args.size}-byte messages, {args.messages} sent, "
          f"at most {WINDOW} in flight) | **{relayed / relay_s:,.0f} per second** "
          f"({relayed} delivered in {relay_s:.2f} s) | the same messages written straight into "
          f"the slot's socket on host A: {direct / direct_s:,.0f} per second ({direct} in "
          f"{direct_s:.2f} s) |")
    per_s = lambda v: f"{v:,.0f}"
    ratios_full = [f / p for p, f in zip(plain, loaded)]
    print(f"| Datagrams delivered to a reading slot while another slot is full (each sent with "
          f"one for the full slot), {args.rounds} rounds | **{spread(loaded, per_s)} per second** "
          f"| the same without the full slot, in turn: {spread(plain, per_s)} per second; "
          f"{spread(ratios_full, lambda v: f'{v:.3g}')}× that rate, round by round |")
    print(f"| mailslot-client from host B (`--server`), request to reply, {args.rounds} runs | "
          f"**{spread(seconds['remote'], ms)} ms** | the same request on host A, in turn: "
          f"{spread(seconds['local'], ms)} ms; from B at "
          f"{spread(ratios, lambda v: f'{v:.3g}')}× the time, pair by pair |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--messages", type=int, default=20000)
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--beside-nmbd", action="store_true")
    parser.add_argument("--inner", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--ns-a", help=argparse.SUPPRESS)
    parser.add_argument("--root-a", help=argparse.SUPPRESS)
    parser.add_argument("--root-b", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if args.rounds < 5:
        sys.exit("bench/relay_bench.py: --rounds must be 5 or more")
    if args.inner:
        inner_beside_nmbd(args) if args.beside_nmbd else inner(args)
        return
    if os.geteuid() != 0:
        sys.exit("bench/relay_bench.py needs root (network namespaces, ports 137 and 138)")
    # A stop by SIGTERM still removes the namespaces.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench/relay_bench.py: stopped"))
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
                        "--inner", "--ns-a", ns_a, "--root-a", root + "/a", "--root-b", root + "/b",
                        "--build", args.build, "--messages", str(args.messages),
                        "--size", str(args.size), "--rounds", str(args.rounds)] +
                       (["--beside-nmbd"] if args.beside_nmbd else []), check=True)
    finally:
        subprocess.run(["ip", "netns", "del", ns_a], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", ns_b], stderr=subprocess.DEVNULL)
        subprocess.run(["rm", "-rf", root])


if __name__ == "__main__":
    main()
