#!/usr/bin/env python3
"""Prints bench/run's results as one Markdown table, with the date, the
machine and the command above it.

  report.py --count JSON --peers JSON --idle JSON --traffic JSON
            --client-reply TEXT --command TEXT
"""
import argparse
import datetime
import json
import os
import platform

SIZES = ["1MiB", "100MiB", "1GiB"]
SIZE_TEXT = {"1MiB": "1 MiB", "100MiB": "100 MiB", "1GiB": "1 GiB"}
SIZE_BYTES = {"1MiB": 1 << 20, "100MiB": 100 << 20, "1GiB": 1 << 30}
TARGET_GBPS = 2.0
TARGET_RATIO_TR = 3.0
POLL_MS = 500.0


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def count_results(data):
    """{"service/1GiB": {"gbps":..., "ms":..., "spaces":...} or {"error": text}}:
    the median of the repetitions, or the one run when not repeated."""
    out = {}
    for b in (data or {}).get("benchmarks", []):
        key = "/".join(part for part in b["run_name"].split("/")
                       if ":" not in part and part != "real_time")
        if b.get("error_occurred"):
            out[key] = {"error": b.get("error_message", "failed")}
        elif b.get("aggregate_name", "median") == "median":
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            out[key] = {"gbps": b.get("bytes_per_second", 0) / 1e9,
                        "ms": b["real_time"] * scale, "cpu_ms": b["cpu_time"] * scale,
                        "spaces": b.get("spaces")}
    return out


def fmt(x, digits=3):
    if x is None:
        return "n/a"
    if x >= 100:
        return "%.0f" % x
    return "%.*g" % (digits, x)


def gbps_of(entry):
    if entry is None:
        return None
    if "gbps" in entry:
        return entry["gbps"]
    return entry["bytes"] / entry["seconds"] / 1e9


def per_cpu_second(entry, size):
    """Throughput over the CPU time alone: what a busy machine cannot lower."""
    if not entry or not entry.get("cpu_ms"):
        return None
    return SIZE_BYTES[size] / (entry["cpu_ms"] / 1000) / 1e9


def joined(values, unit=""):
    return " · ".join(fmt(v) for v in values) + unit


def times(values):
    return " · ".join(fmt(v) + "×" for v in values)


def machine(load_start):
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%d cores, %s, Linux %s; load average %s at the start, %.2f at the end" % (
        os.cpu_count(), model, platform.release(), load_start or "n/a", os.getloadavg()[0])


def counting_rows(count, peers):
    rows = []
    service = [gbps_of(count.get("service/" + s)) for s in SIZES]
    short = [s for s, v in zip(SIZES, service) if v is None or v < TARGET_GBPS]
    per_cpu = [per_cpu_second(count.get("service/" + s), s) for s in SIZES]
    rows.append(("Counting routine, page cache: " + " · ".join(SIZE_TEXT[s] for s in SIZES),
                 "**" + joined(service, " GB/s") + "**",
                 "target ≥ %g GB/s: %s; per second of CPU: %s" % (
                     TARGET_GBPS, "met" if not short else
                     "short at " + ", ".join(SIZE_TEXT[s] for s in short),
                     joined(per_cpu, " GB/s"))))

    def ratios(peer_values):
        return [None if (a is None or b is None or b == 0) else a / b
                for a, b in zip(service, peer_values)]

    warm = (peers or {}).get("warm", {})
    tr = [gbps_of(warm.get("tr_wc/" + s)) for s in SIZES]
    tr_ratio = ratios(tr)
    tr_short = [s for s, r in zip(SIZES, tr_ratio) if r is None or r < TARGET_RATIO_TR]
    rows.append(("`tr -cd ' ' < FILE | wc -c` (whole command)", joined(tr, " GB/s"),
                 "routine is %s faster; target ≥ %g×: %s" % (
                     times(tr_ratio), TARGET_RATIO_TR, "met" if not tr_short else
                     "short at " + ", ".join(SIZE_TEXT[s] for s in tr_short))))
    py = [gbps_of(warm.get("python_count/" + s)) for s in SIZES]
    rows.append(("python3 `bytes.count(b' ')` over 1 MiB reads (in-process)", joined(py, " GB/s"),
                 "routine is %s faster" % times(ratios(py))))
    fg = [gbps_of(count.get("fgetc/" + s)) for s in SIZES]
    rows.append(("One-character `fgetc` loop, same compiler flags", joined(fg, " GB/s"),
                 "routine is %s faster" % times(ratios(fg))))
    cat = [gbps_of(warm.get("cat/" + s)) for s in SIZES]
    rows.append(("`cat FILE > /dev/null` (whole command)", joined(cat, " GB/s"),
                 "routine at %s its speed" % times(ratios(cat))))
    rd = [gbps_of(count.get("read_loop/" + s)) for s in SIZES]
    rows.append(("Plain `read()` loop, 64 KiB buffer, no counting", joined(rd, " GB/s"),
                 "routine at %s its speed: the limit of reading" % times(ratios(rd))))
    mem = gbps_of(count.get("service_block_in_memory/64KiB"))
    rows.append(("Counting routine on a 64 KiB block in memory", fmt(mem) + " GB/s",
                 "the counting alone, no reading"))
    return rows


def cold_row(count, peers):
    cold = (peers or {}).get("cold", {})
    names = [("routine", gbps_of(count.get("service_cold/1GiB"))),
             ("read() loop", gbps_of(count.get("read_loop_cold/1GiB"))),
             ("cat", gbps_of(cold.get("cat/1GiB"))),
             ("tr | wc", gbps_of(cold.get("tr_wc/1GiB"))),
             ("python3", gbps_of(cold.get("python_count/1GiB")))]
    how = {e.get("dropped_by") for e in cold.values()} or {"not run"}
    error = (count.get("service_cold/1GiB") or {}).get("error")
    note = "dropped by %s before each pass" % "/".join(sorted(how))
    if "drop_caches" not in how:
        note += " (drop_caches was refused: not root)"
    if error:
        note += "; routine: " + error
    tr = gbps_of(cold.get("tr_wc/1GiB"))
    service = names[0][1]
    if tr and service:
        note += "; routine is %s× `tr | wc`" % fmt(service / tr)
    return ("Cold 1 GiB: " + " · ".join(n for n, _ in names),
            joined([v for _, v in names], " GB/s"), note)


def service_rows(traffic, idle, count):
    rows = []
    lat = (traffic or {}).get("latency")
    if lat:
        over = lat["max_ms"] - POLL_MS
        rows.append(("Request to reply, 4 KiB file, %d requests at random points of the "
                     "poll cycle" % lat["requests"],
                     "median %s · p95 %s · max %s ms" % (
                         fmt(lat["median_ms"]), fmt(lat["p95_ms"]), fmt(lat["max_ms"])),
                     "bound: the %g ms poll interval + the work; the worst is %s%s" % (
                         POLL_MS, "%s ms beyond the interval" % fmt(over) if over > 0
                         else "within the interval", wrong_note(lat))))
    q = (traffic or {}).get("queued")
    if q:
        rows.append(("Path requests, %d queued at once" % q["requests"],
                     "%s per second" % fmt(q["per_second"]),
                     "design: at most 2 per second; a reply every %s ms (min %s, max %s): "
                     "the 500 ms pause plus each request's work%s" % (
                         fmt(q["gap_median_ms"]), fmt(q["gap_min_ms"]), fmt(q["gap_max_ms"]),
                         wrong_note(q))))
    ex = (traffic or {}).get("exit_flood")
    if ex:
        done = "all %d logged" % ex["messages"] if ex["logged"] == ex["messages"] else \
            "**only %d of %d logged** (the wait is capped)" % (ex["logged"], ex["messages"])
        rows.append(("\"exit\" messages, %d sent at once" % ex["messages"],
                     "%s per second" % fmt(ex["per_second"]),
                     "%s in %s s, no pause: the slot, the queue and two log lines each "
                     "(service CPU %s s)" % (done, fmt(ex["seconds"]),
                                             fmt(ex["service_cpu_ms"] / 1000))))
    if idle:
        s, v = idle["service"], idle["supervisor"]
        rows.append(("CPU over %d idle seconds" % round(idle["seconds"]),
                     "%s ms (%s%% of a core)" % (fmt(s["cpu_ms"]),
                                                 fmt(s["cpu_ms"] / idle["seconds"] / 10)),
                     "svcctl supervising it: %s ms" % fmt(v["cpu_ms"])))
    mem = (traffic or {}).get("counting_memory")
    if idle and mem:
        rows.append(("Resident memory: idle · counting a 1 GiB file",
                     "%s · %s MiB" % (fmt(idle["service"]["rss_kb"] / 1024),
                                      fmt(mem["rss_peak_kb"] / 1024)),
                     "peak of %d samples over the request (reply after %s ms, poll wait "
                     "included%s); svcctl supervising it: %s MiB" % (
                         mem["samples"], fmt(mem["reply_ms"]),
                         "" if mem["right_reply"] else "; **wrong reply**",
                         fmt(idle["supervisor"]["rss_kb"] / 1024))))
    log = count.get("log_line")
    if log:
        rows.append(("One log line: write-through open, append, close",
                     "%s ms" % fmt(log.get("ms")) if "ms" in log else log.get("error"),
                     "each path request writes 3 lines, each \"exit\" 2"))
    return rows


def wrong_note(entry):
    return "" if not entry.get("wrong_replies") else \
        "; **%d wrong replies**" % entry["wrong_replies"]


def agreement_row(count, peers, client_reply):
    counts = {}
    for s in SIZES:
        for name in ("service", "fgetc"):
            spaces = (count.get("%s/%s" % (name, s)) or {}).get("spaces")
            if spaces is not None:
                counts.setdefault(s, set()).add(int(spaces))
        for name in ("tr_wc", "python_count"):
            n = (peers or {}).get("counts", {}).get("%s/%s" % (name, s))
            if n is not None:
                counts.setdefault(s, set()).add(int(n))
    if client_reply:
        counts.setdefault("1MiB", set()).add(int(client_reply) if client_reply.isdigit()
                                             else -1)
    agree = all(len(v) == 1 for v in counts.values()) and len(counts) == len(SIZES)
    text = " · ".join("{:,}".format(next(iter(counts[s]))) if len(counts.get(s, ())) == 1
                      else "disagree" for s in SIZES)
    return ("Spaces counted: " + " · ".join(SIZE_TEXT[s] for s in SIZES), text,
            "every method agrees, mailslot-client included" if agree
            else "**the methods disagree**")


def main():
    parser = argparse.ArgumentParser()
    for name in ("count", "peers", "idle", "traffic"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--client-reply", default="")
    parser.add_argument("--command", default="bench/run")
    parser.add_argument("--load-start", default="")
    parser.add_argument("--seconds", type=float, default=None)
    args = parser.parse_args()

    count = count_results(load(args.count))
    peers = load(args.peers)
    rows = counting_rows(count, peers)
    rows.append(cold_row(count, peers))
    rows += service_rows(load(args.traffic), load(args.idle), count)
    rows.append(agreement_row(count, peers, args.client_reply.strip()))

    print("Date: %s  " % datetime.datetime.now(datetime.timezone.utc)
          .strftime("%Y-%m-%d %H:%M UTC"))
    print("Machine: %s  " % machine(args.load_start))
    took = "" if args.seconds is None else " (took %d min %02d s)" % divmod(round(args.seconds), 60)
    print("Command: `%s`%s" % (args.command, took))
    print()
    print("| Measure | Result | Compared with |")
    print("| --- | --- | --- |")
    for row in rows:
        # A pipe, even inside a code span, would end the cell.
        print("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")


if __name__ == "__main__":
    main()
