#!/usr/bin/env python3
"""Prints bench/run's results as one Markdown table, with the date, the
machine and the command above it.

  report.py --count JSON --service-count JSON --idle JSON --traffic JSON
            [--client-reply TEXT] [--command TEXT] [--load-start X] [--seconds N]

Every figure is the median of its runs with the minimum and maximum in
brackets. A ratio of two measures is taken pair by pair, from the runs of one
round, and given as the median of those ratios with their minimum and
maximum.
"""
import argparse
import datetime
import json
import os
import platform
import statistics

SIZES = ["1MiB", "100MiB", "1GiB"]
SIZE_TEXT = {"1MiB": "1 MiB", "100MiB": "100 MiB", "1GiB": "1 GiB"}
BLOCKS = ["64KiB", "128KiB", "256KiB", "512KiB", "1MiB", "2MiB"]
TARGET_CAT = 0.9  # the service counting at least this share of cat's speed
POLL_MS = 500.0


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def fmt(x, digits=3):
    if x is None:
        return "n/a"
    if abs(x) >= 100:
        return "{:,.0f}".format(x)
    return "%.*g" % (digits, x)


def spread(values, unit="", bold=False):
    """"median (min–max)" of values."""
    if not values:
        return "n/a"
    median = fmt(statistics.median(values))
    if bold:
        median = "**%s**" % median
    return "%s (%s–%s)%s" % (median, fmt(min(values)), fmt(max(values)), unit)


def pairwise(a, b):
    """The ratios a[i] / b[i] of the runs of one round each."""
    return [x / y for x, y in zip(a or [], b or []) if y]


def times(values):
    return spread(values, "×") if values else "n/a"


# --- count_bench ---------------------------------------------------------

def gbps(measure):
    """GB/s of each run of a count_bench measure (None when it failed)."""
    if not measure or measure.get("error") or not measure.get("seconds"):
        return None
    return [measure["bytes"] / s / 1e9 for s in measure["seconds"]]


def in_process_rows(count):
    m = (count or {}).get("measures", {})
    block = (count or {}).get("service_block", 0)
    block_text = "%d MiB" % (block >> 20) if block >= 1 << 20 else "%d KiB" % (block >> 10)
    rows = []

    routine = {s: gbps(m.get("routine/" + s)) for s in SIZES}
    rows.append(("Counting routine in this process, %s blocks, page cache: %s"
                 % (block_text, " · ".join(SIZE_TEXT[s] for s in SIZES)),
                 " · ".join(spread(routine[s], bold=True) for s in SIZES) + " GB/s",
                 "the service's own code: open, count with the stop looked at before "
                 "each block, close"))
    reads = {s: gbps(m.get("read_loop/" + s)) for s in SIZES}
    rows.append(("Plain `read()` loop, same blocks, no counting",
                 " · ".join(spread(reads[s]) for s in SIZES) + " GB/s",
                 "routine at %s its speed: the limit of reading" % " · ".join(
                     times(pairwise(routine[s], reads[s])) for s in SIZES)))
    fgetc = {s: gbps(m.get("fgetc/" + s)) for s in SIZES}
    rows.append(("One-character `fgetc` loop, same compiler flags",
                 " · ".join(spread(fgetc[s]) for s in SIZES) + " GB/s",
                 "routine is %s faster" % " · ".join(
                     times(pairwise(routine[s], fgetc[s])) for s in SIZES)))
    rows.append(("Counting routine on a %s block in memory" % block_text,
                 spread(gbps(m.get("in_memory/block")), " GB/s"), "the count alone, no reading"))

    sweep = {b: gbps(m.get("block/" + b)) for b in BLOCKS}
    fastest = max(BLOCKS, key=lambda b: statistics.median(sweep[b]) if sweep[b] else 0)
    rows.append(("Counting routine by read size, 1 GiB, page cache: %s"
                 % " · ".join(b.replace("KiB", " KiB").replace("MiB", " MiB") for b in BLOCKS),
                 " · ".join(spread(sweep[b]) for b in BLOCKS) + " GB/s",
                 "against 64 KiB, pair by pair: %s; fastest: %s" % (
                     " · ".join(times(pairwise(sweep[b], sweep["64KiB"])) for b in BLOCKS[1:]),
                     fastest.replace("KiB", " KiB").replace("MiB", " MiB"))))

    cold_routine = gbps(m.get("cold_routine/1GiB"))
    cold_read = gbps(m.get("cold_read_loop/1GiB"))
    note = "the file's pages dropped before each run"
    error = (m.get("cold_routine/1GiB") or {}).get("error")
    if error:
        note += "; " + error
    else:
        note += "; routine at %s the read loop's speed" % times(pairwise(cold_routine, cold_read))
    rows.append(("Cold 1 GiB: routine · `read()` loop",
                 "%s · %s GB/s" % (spread(cold_routine), spread(cold_read)), note))
    return rows


# --- the running service -------------------------------------------------

def service_count_rows(sc):
    if not sc:
        return [("Counting a page-cached 1 GiB file through the service", "n/a", "not run")]
    seconds = sc["seconds"]
    speed = {name: [sc["bytes"] / s / 1e9 for s in runs] for name, runs in seconds.items()}
    vs_cat = pairwise(seconds["cat"], seconds["service"])
    vs_tr = pairwise(seconds["tr_wc"], seconds["service"])
    met = vs_cat and statistics.median(vs_cat) >= TARGET_CAT
    wrong = "" if not sc["wrong_replies"] else "; **%d wrong counts**" % sc["wrong_replies"]
    return [
        ("Counting a page-cached 1 GiB file through the service",
         spread(speed["service"], " GB/s", bold=True),
         "the service's own time per request: reply to reply of a tiny request and this one "
         "sent together, less the 500 ms pause between them%s" % wrong),
        ("`cat FILE > /dev/null` (whole command), same file, in turn",
         spread(speed["cat"], " GB/s"),
         "service at %s its speed; target ≥ %g×: %s" % (
             times(vs_cat), TARGET_CAT, "met" if met else "**short**")),
        ("`tr -cd ' ' < FILE | wc -c` (whole command), same file, in turn",
         spread(speed["tr_wc"], " GB/s"), "service is %s faster" % times(vs_tr)),
    ]


def traffic_rows(traffic, idle, sc, count):
    rows = []
    lat = (traffic or {}).get("latency")
    if lat:
        waits = lat["wait_ms"]
        p95 = sorted(waits)[min(len(waits) - 1, int(0.95 * len(waits)))]
        rows.append(("Request to reply, 4 KiB file, %d requests at random points of the "
                     "poll cycle" % len(waits),
                     "%s ms; p95 %s" % (spread(waits), fmt(p95)),
                     "bound: the %g ms poll interval + the work%s" % (
                         POLL_MS, wrong_note(lat))))
    q = (traffic or {}).get("queued")
    if q:
        gaps = q["gap_ms"]
        rows.append(("Path requests, %d queued at once" % (len(gaps) + 1),
                     "a reply every %s ms" % spread(gaps),
                     "%s per second; design: at most 2: the 500 ms pause plus each "
                     "request's work%s" % (fmt(1000 / statistics.median(gaps)), wrong_note(q))))
    floods = (traffic or {}).get("exit_flood")
    if floods:
        all_logged = all(f["logged"] == f["messages"] for f in floods)
        per_message = [f["service_cpu_ms"] / max(f["logged"], 1) for f in floods]
        rows.append(("\"exit\" messages, %d sent at once, %d times"
                     % (floods[0]["messages"], len(floods)),
                     spread([f["per_second"] for f in floods], " per second"),
                     "%s; no pause: the slot, the queue and two log lines each; service CPU "
                     "%s ms a message" % (
                         "all logged" if all_logged else "**not all logged** (the wait is capped)",
                         spread(per_message))))
    windows = (idle or {}).get("windows")
    if windows:
        per_minute = [w["service"]["cpu_ms"] * 60 / w["seconds"] for w in windows]
        supervisor = [w["supervisor"]["cpu_ms"] * 60 / w["seconds"] for w in windows]
        rows.append(("CPU while idle, %d windows of %d s" % (len(windows),
                                                           round(windows[0]["seconds"])),
                     spread(per_minute, " ms a minute"),
                     "%s%% of a core; svcctl supervising it: %s ms a minute" % (
                         fmt(statistics.median(per_minute) / 600), spread(supervisor))))
    memory = (sc or {}).get("memory")
    if windows and memory:
        idle_mib = [w["service"]["rss_kb"] / 1024 for w in windows]
        peak_mib = [m["rss_peak_kb"] / 1024 for m in memory]
        rows.append(("Resident memory: idle · counting a 1 GiB file",
                     "%s · %s MiB" % (spread(idle_mib), spread(peak_mib)),
                     "idle at the end of each window; counting: the peak of the samples over "
                     "each of %d requests; svcctl supervising it: %s MiB" % (
                         len(memory),
                         spread([w["supervisor"]["rss_kb"] / 1024 for w in windows]))))
    log = ((count or {}).get("measures") or {}).get("log_line")
    if log and log.get("seconds"):
        rows.append(("One log line: write-through open, append, close",
                     spread([s * 1000 for s in log["seconds"]], " ms"),
                     "%d lines a run; each path request writes 3 lines, each \"exit\" 2"
                     % log["passes"]))
    return rows


def wrong_note(entry):
    return "" if not entry.get("wrong_replies") else \
        "; **%d wrong replies**" % entry["wrong_replies"]


def agreement_row(count, sc, client_reply):
    m = (count or {}).get("measures", {})
    counts = {s: set() for s in SIZES}
    for name, measure in m.items():
        size = name.split("/")[-1]
        if measure.get("spaces") is not None:
            counts.setdefault("1GiB" if name.startswith("block/") else size, set()).add(
                int(measure["spaces"]))
    if sc:
        counts["1GiB"].add(int(sc["spaces"]))  # every reply and tr | wc were checked against it
    if client_reply:
        counts["1MiB"].add(int(client_reply) if client_reply.isdigit() else -1)
    agree = all(len(counts.get(s, ())) == 1 for s in SIZES) and not (sc or {}).get("wrong_replies")
    text = " · ".join("{:,}".format(next(iter(counts[s]))) if len(counts[s]) == 1
                      else "disagree" for s in SIZES)
    return ("Spaces counted: " + " · ".join(SIZE_TEXT[s] for s in SIZES), text,
            "every method agrees: routine, `fgetc`, the service, `tr | wc`, mailslot-client"
            if agree else "**the methods disagree**")


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


def main():
    parser = argparse.ArgumentParser()
    for name in ("count", "service-count", "idle", "traffic"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--client-reply", default="")
    parser.add_argument("--command", default="bench/run")
    parser.add_argument("--load-start", default="")
    parser.add_argument("--seconds", type=float, default=None)
    args = parser.parse_args()

    count = load(args.count)
    sc = load(args.service_count)
    rows = service_count_rows(sc)
    rows += in_process_rows(count)
    rows += traffic_rows(load(args.traffic), load(args.idle), sc, count)
    rows.append(agreement_row(count, sc, args.client_reply.strip()))

    print("Date: %s  " % datetime.datetime.now(datetime.timezone.utc)
          .strftime("%Y-%m-%d %H:%M UTC"))
    print("Machine: %s  " % machine(args.load_start))
    took = "" if args.seconds is None else " (took %d min %02d s)" % divmod(round(args.seconds), 60)
    print("Command: `%s`%s; %d rounds" % (args.command, took, (count or {}).get("rounds", 0)))
    print()
    print("| Measure | Result: median (min–max) | Compared with |")
    print("| --- | --- | --- |")
    for row in rows:
        # A pipe, even inside a code span, would end the cell.
        print("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")


if __name__ == "__main__":
    main()
