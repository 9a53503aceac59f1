#!/usr/bin/env python3
"""End-to-end figures through the running service.

  service_bench.py idle --pid PID --seconds 60 [--windows 5] --out JSON
      CPU time and resident memory of the service (and of the svcctl process
      that supervises it) over an idle time, in windows of equal length.
  service_bench.py count --root W32_ROOT --pid PID --files DIR [--rounds 5] --out JSON
      The service counting the page-cached 1 GiB file beside `cat FILE >
      /dev/null` and `tr -cd ' ' < FILE | wc -c`, run in turn, round by round;
      then its resident memory while it counts. With --cat-only: beside cat
      alone, and no memory samples (bench/run's run of each kernel).
  service_bench.py traffic --root W32_ROOT --pid PID --files DIR --out JSON
      Request latency and sustained rates.

This script is the client: requests are datagrams sent straight to the
server's slot, replies come to the reply slot it binds. Every figure comes as
the list of its runs; bench/report.py makes the medians and ratios.
"""
import argparse
import glob
import json
import os
import random
import socket
import struct
import subprocess
import threading
import time

SERVER_SLOT = "$Channel1$"
REPLY_SLOT = "$Channel2$"
REPLY_TIMEOUT_S = 5.0
COUNT_TIMEOUT_S = 60.0
EXIT_TIMEOUT_S = 60.0
POLL_S = 0.5  # the service's pause after each answer
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux's number when Python lacks it


# --- the service process -------------------------------------------------

def cpu_ns(pid):
    """CPU time of every thread of the process, in nanoseconds."""
    total = 0
    for stat in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass  # a thread that ended between the listing and the read
    return total


def status_kb(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def parent_pid(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


def idle(args):
    pids = {"service": args.pid, "supervisor": parent_pid(args.pid)}
    result = {"windows": []}
    for _ in range(args.windows):
        start = {name: cpu_ns(pid) for name, pid in pids.items()}
        began = time.monotonic()
        time.sleep(args.seconds / args.windows)
        window = {"seconds": time.monotonic() - began}
        for name, pid in pids.items():
            window[name] = {"cpu_ms": (cpu_ns(pid) - start[name]) / 1e6,
                            "rss_kb": status_kb(pid, "VmRSS")}
        result["windows"].append(window)
    return result


# --- the client side -----------------------------------------------------

class Client:
    """Sends requests to the server's slot and holds the reply slot."""

    def __init__(self, root):
        self.server = os.path.join(root, "mailslot", SERVER_SLOT)
        reply_path = os.path.join(root, "mailslot", REPLY_SLOT)
        if os.path.exists(reply_path):
            os.unlink(reply_path)  # left by an earlier client of this run's own root
        self.reply = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.reply.bind(reply_path)
        # The kernel stamps each reply when the service sends it, so a late
        # wake-up of this script does not count as the service's time.
        self.reply.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.reply_path = reply_path
        self.send = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.send.connect(self.server)

    def close(self):
        self.send.close()
        self.reply.close()
        os.unlink(self.reply_path)

    def request(self, path):
        """Sends a request; returns when it was sent (time.time())."""
        sent = time.time()
        self.send.send(os.fsencode(path))
        return sent

    def wait_reply(self, timeout=REPLY_TIMEOUT_S):
        """The next reply and when the service sent it (time.time() scale)."""
        self.reply.settimeout(timeout)
        data, ancillary, _, _ = self.reply.recvmsg(1024, socket.CMSG_SPACE(16))
        stamp = time.time()
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                seconds, nanoseconds = struct.unpack("qq", value[:16])
                stamp = seconds + nanoseconds / 1e9
        return data.rstrip(b"\0").decode(), stamp


def expected_reply(path):
    with open(path, "rb") as f:
        text = f.read()
    end = text.find(b"\x1a")
    return str(text[:end if end >= 0 else len(text)].count(b" "))


def latency(client, path, requests):
    """One request at a time, each sent at a random point of the service's
    500 ms cycle, so the waits sample the whole of it."""
    want = expected_reply(path)
    waits, wrong = [], 0
    for _ in range(requests):
        time.sleep(random.uniform(0, POLL_S))
        sent = client.request(path)
        got, stamp = client.wait_reply()
        waits.append((stamp - sent) * 1000)
        wrong += got != want
    return {"wait_ms": waits, "wrong_replies": wrong}


def queued_paths(client, path, count):
    """count requests sent at once; the gaps between their replies."""
    want = expected_reply(path)
    for _ in range(count):
        client.request(path)
    arrivals, wrong = [], 0
    for _ in range(count):
        got, stamp = client.wait_reply()
        arrivals.append(stamp)
        wrong += got != want
    return {"gap_ms": [(b - a) * 1000 for a, b in zip(arrivals, arrivals[1:])],
            "wrong_replies": wrong}


def drain(client):
    """Takes any reply still waiting, so the next one read is the next sent."""
    while True:
        try:
            client.wait_reply(timeout=0.01)
        except socket.timeout:
            return


def service_seconds(client, tiny, big):
    """The service's own time for counting big. Sent right behind a tiny
    request, big is taken exactly one 500 ms pause after the tiny one is
    answered, so the gap between the two replies, less the pause, is the time
    of that pass: the request's log lines, the count and the reply (and the
    tiny request's last log line). Returns (seconds, big's reply)."""
    drain(client)
    client.request(tiny)
    client.request(big)
    _, first = client.wait_reply()
    got, second = client.wait_reply(timeout=COUNT_TIMEOUT_S)
    return second - first - POLL_S, got


def run_shell(command, path):
    """A whole command, process start included; returns (seconds, output)."""
    start = time.perf_counter()
    out = subprocess.run(["bash", "-c", command, "peer", path], check=True,
                         stdout=subprocess.PIPE).stdout
    return time.perf_counter() - start, out.strip().decode()


PEERS = [("cat", "cat \"$1\" > /dev/null"), ("tr_wc", "tr -cd ' ' < \"$1\" | wc -c")]


def counting_memory(client, pid, path):
    """Peak resident memory of the service, sampled while it counts path."""
    drain(client)
    before = status_kb(pid, "VmRSS")
    sent = client.request(path)
    peak, samples, got = before, 0, None
    while time.time() - sent < COUNT_TIMEOUT_S:
        peak = max(peak, status_kb(pid, "VmRSS"))
        samples += 1
        try:
            got, _ = client.wait_reply(timeout=0.001)
            break
        except socket.timeout:
            pass
    return {"rss_before_kb": before, "rss_peak_kb": peak, "samples": samples, "reply": got}


def count(args):
    """The service, cat and tr | wc on the page-cached 1 GiB file, in turn,
    round by round (S C T S C T ...)."""
    big = os.path.join(args.files, "text-1GiB.txt")
    tiny = os.path.join(args.files, "text-5B.txt")
    with open(tiny, "wb") as f:
        f.write(b"a b c")
    with open(big, "rb") as f:
        while f.read(1 << 24):
            pass  # into the page cache
    want = expected_reply(big)
    peers = PEERS[:1] if args.cat_only else PEERS
    result = {"bytes": os.path.getsize(big), "spaces": int(want), "wrong_replies": 0,
              "seconds": {name: [] for name in ["service"] + [p[0] for p in peers]}}
    client = Client(args.root)
    try:
        for _ in range(args.rounds):
            seconds, got = service_seconds(client, tiny, big)
            result["seconds"]["service"].append(seconds)
            result["wrong_replies"] += got != want
            for name, command in peers:
                seconds, out = run_shell(command, big)
                result["seconds"][name].append(seconds)
                if name == "tr_wc":
                    result["wrong_replies"] += out != want
        if not args.cat_only:
            result["memory"] = [counting_memory(client, args.pid, big)
                                for _ in range(args.rounds)]
        for m in result.get("memory", []):
            result["wrong_replies"] += m["reply"] != want
    finally:
        client.close()
    return result


def exit_flood(pid, root, count):
    """count "exit" messages sent as fast as the slot takes them; the time
    until the log holds a "Client exited!" line for each (at most
    EXIT_TIMEOUT_S: a slow disk then gives the rate over what was logged)."""
    log = os.path.join(root, "drive_c", "ZQ_logfile.log")
    offset = os.path.getsize(log)
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sender.connect(os.path.join(root, "mailslot", SERVER_SLOT))
    sender.settimeout(0.2)  # a full slot makes send wait; the loop below can stop it
    cpu_before = cpu_ns(pid)
    state = {"sent": 0, "stop": False}

    def send_all():
        while state["sent"] < count and not state["stop"]:
            try:
                sender.send(b"exit")
                state["sent"] += 1
            except socket.timeout:
                pass

    start = time.perf_counter()
    thread = threading.Thread(target=send_all)
    thread.start()
    seen, tail = 0, b""
    with open(log, "rb") as f:
        f.seek(offset)
        while seen < count and time.perf_counter() - start < EXIT_TIMEOUT_S:
            chunk = f.read()
            if not chunk:
                time.sleep(0.005)
                continue
            text = tail + chunk
            seen += text.count(b"Client exited!")
            tail = text[-13:]  # a line cut between two reads is counted once
    finished = time.perf_counter()
    state["stop"] = True
    thread.join()
    sender.close()
    elapsed = finished - start
    return {"messages": count, "sent": state["sent"], "logged": seen, "seconds": elapsed,
            "per_second": seen / elapsed, "service_cpu_ms": (cpu_ns(pid) - cpu_before) / 1e6}


def traffic(args):
    small = os.path.join(args.files, "text-4KiB.txt")
    with open(os.path.join(args.files, "text-1MiB.txt"), "rb") as f:
        head = f.read(4096)
    with open(small, "wb") as f:
        f.write(head)

    client = Client(args.root)
    try:
        result = {
            "latency": latency(client, small, args.requests),
            "queued": queued_paths(client, small, args.queued),
        }
    finally:
        client.close()
    result["exit_flood"] = [exit_flood(args.pid, args.root, args.exits)
                            for _ in range(args.rounds)]
    return result


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("idle")
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--windows", type=int, default=5)
    p.add_argument("--out", required=True)
    for name in ("count", "traffic"):
        p = sub.add_parser(name)
        p.add_argument("--root", required=True)
        p.add_argument("--pid", type=int, required=True)
        p.add_argument("--files", required=True)
        p.add_argument("--rounds", type=int, default=5)
        p.add_argument("--out", required=True)
        if name == "count":
            p.add_argument("--cat-only", action="store_true")
    p.add_argument("--requests", type=int, default=100)
    p.add_argument("--queued", type=int, default=50)
    p.add_argument("--exits", type=int, default=2000)
    args = parser.parse_args()

    result = {"idle": idle, "count": count, "traffic": traffic}[args.command](args)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
