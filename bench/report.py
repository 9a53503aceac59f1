#!/usr/bin/env python3
"""Prints bench/run's results as one Markdown table, with the date, the
machine and the command above it.

  report.py --count JSON --service-count JSON --idle JSON --traffic JSON
            [--kernel-count NAME=JSON ...]
            [--client-reply TEXT] [--command TEXT] [--load-start X] [--seconds N]

Every figure is the median of its runs with the minimum and maximum in
brackets. A ratio of two measures is taken pair by pair, from the runs of one
round, and given as the median of those ratios with their minimum and
maximum.
"""
import argparse
import datetime
import glob
import json
import os
import platform
import statistics
import subprocess

SIZES = ["1MiB", "100MiB", "1GiB"]
SIZE_TEXT = {"1MiB": "1 MiB", "100MiB": "100 MiB", "1GiB": "1 GiB"}
BLOCKS = ["64KiB", "128KiB", "256KiB", "512KiB", "1MiB", "2MiB", "4MiB"]
# The service counting at least this share of cat's speed: with two cores or
# more the count hides behind the read; on one it cannot.
TARGET_CAT = 1.0 if (os.cpu_count() or 1) >= 2 else 0.9
TARGET_READ = 0.85  # the routine against a plain read() loop with the same blocks
TARGET_COUNT = 3.0  # the count alone against the read() loop
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
    vs_read = pairwise(routine["1GiB"], reads["1GiB"])
    rows.append(("Plain `read()` loop, same blocks, no counting",
                 " · ".join(spread(reads[s]) for s in SIZES) + " GB/s",
                 "routine at %s its speed: the limit of reading; target at 1 GiB ≥ %g×: %s"
                 % (" · ".join(times(pairwise(routine[s], reads[s])) for s in SIZES),
                    TARGET_READ, met(vs_read, TARGET_READ))))
    fgetc = {s: gbps(m.get("fgetc/" + s)) for s in SIZES}
    rows.append(("One-character `fgetc` loop, same compiler flags",
                 " · ".join(spread(fgetc[s]) for s in SIZES) + " GB/s",
                 "routine is %s faster" % " · ".join(
                     times(pairwise(routine[s], fgetc[s])) for s in SIZES)))
    rows.append(("Counting routine on a %s block in memory (%s kernel)"
                 % (block_text, (count or {}).get("kernel", "?")),
                 spread(gbps(m.get("in_memory/block")), " GB/s"), "the count alone, no reading"))
    kernels = [name.split("/", 1)[1] for name in m if name.startswith("kernel/")]
    if kernels:
        alone = {k: gbps(m.get("kernel/" + k)) for k in kernels}
        ratios = {k: pairwise(alone[k], reads["1GiB"]) for k in kernels}
        rows.append(("Each kernel the machine runs, on the same block in memory: %s"
                     % " · ".join(kernels),
                     " · ".join(spread(alone[k]) for k in kernels) + " GB/s",
                     "against the 1 GiB `read()` loop, round by round: %s; target for the "
                     "widest ≥ %g×: %s" % (" · ".join(times(ratios[k]) for k in kernels),
                                           TARGET_COUNT, met(ratios[kernels[-1]], TARGET_COUNT))))

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

def met(ratios, target):
    if not ratios:
        return "n/a"
    return "met" if statistics.median(ratios) >= target else "**short**"


def service_count_rows(sc):
    if not sc:
        return [("Counting a page-cached 1 GiB file through the service", "n/a", "not run")]
    seconds = sc["seconds"]
    speed = {name: [sc["bytes"] / s / 1e9 for s in runs] for name, runs in seconds.items()}
    vs_cat = pairwise(seconds["cat"], seconds["service"])
    vs_tr = pairwise(seconds["tr_wc"], seconds["service"])
    wrong = "" if not sc["wrong_replies"] else "; **%d wrong counts**" % sc["wrong_replies"]
    return [
        ("Counting a page-cached 1 GiB file through the service",
         spread(speed["service"], " GB/s", bold=True),
         "the service's own time per request: reply to reply of a tiny request and this one "
         "sent together, less the 500 ms pause between them%s" % wrong),
        ("`cat FILE > /dev/null` (whole command), same file, in turn",
         spread(speed["cat"], " GB/s"),
         "service at %s its speed; target ≥ %g× with %d cores: %s" % (
             times(vs_cat), TARGET_CAT, os.cpu_count() or 1, met(vs_cat, TARGET_CAT))),
        ("`tr -cd ' ' < FILE | wc -c` (whole command), same file, in turn",
         spread(speed["tr_wc"], " GB/s"), "service is %s faster" % times(vs_tr)),
    ]


def kernel_service_rows(kernel_counts):
    """The service with each kernel beside cat, pair by pair."""
    rows = []
    for kernel, kc in kernel_counts:
        title = "Service with the %s kernel · `cat`, 1 GiB, in turn" % kernel
        if not kc:
            rows.append((title, "n/a", "not run"))
            continue
        seconds = kc["seconds"]
        speed = {name: [kc["bytes"] / s / 1e9 for s in runs] for name, runs in seconds.items()}
        wrong = "" if not kc["wrong_replies"] else "; **%d wrong counts**" % kc["wrong_replies"]
        rows.append((title, "%s · %s GB/s" % (spread(speed["service"]), spread(speed["cat"])),
                     "service at %s `cat`'s speed%s" % (
                         times(pairwise(seconds["cat"], seconds["service"])), wrong)))
    return rows


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


VECTOR_FLAGS = ["sse2", "ssse3", "sse4_2", "avx", "avx2", "avx512bw"]


def getconf_caches():
    try:
        out = subprocess.run(["getconf", "-a"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
    except OSError:
        return []
    caches = []
    for name, label in (("LEVEL1_DCACHE_SIZE", "L1d"), ("LEVEL2_CACHE_SIZE", "L2"),
                        ("LEVEL3_CACHE_SIZE", "L3")):
        for line in out.splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0] == name and fields[1].isdigit() and fields[1] != "0":
                caches.append("%s %dK" % (label, int(fields[1]) // 1024))
    return caches


def cpu_vectors_and_caches():
    """The vector extensions the processor reports, and its caches."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    caches = []
    for index in sorted(glob.glob("/sys/devices/system/cpu/cpu0/cache/index*")):
        try:
            level, kind, size = (open(os.path.join(index, n)).read().strip()
                                 for n in ("level", "type", "size"))
        except OSError:
            continue
        if kind != "Instruction":
            caches.append("L%s%s %s" % (level, "d" if kind == "Data" else "", size))
    if not caches:  # no cache folders (some virtual machines): what the C library reads
        caches = getconf_caches()
    vectors = " ".join(v.upper().replace("_", ".") for v in VECTOR_FLAGS if v in flags)
    return "vector extensions %s; caches %s" % (vectors or "none known",
                                                          ", ".join(caches) or "unknown")



# --- the picture ---------------------------------------------------------

def plot_rows(count, sc):
    """The speeds bench/plot.gp draws: label, median, min, max (GB/s), group
    (1: the service and whole commands; 2: in the counting routine's process)."""
    rows = []
    if sc:
        for name, label in (("service", "the service"), ("cat", "cat"), ("tr_wc", "tr | wc")):
            rows.append((label, [sc["bytes"] / s / 1e9 for s in sc["seconds"][name]], 1))
    m = (count or {}).get("measures", {})
    for name, label in (("routine", "counting routine"), ("read_loop", "read() loop"),
                        ("fgetc", "fgetc loop")):
        rows.append((label, gbps(m.get(name + "/1GiB")), 2))
    return ["%s\t%.4g\t%.4g\t%.4g\t%d" % (label, statistics.median(v), min(v), max(v), group)
            for label, v, group in rows if v]


def main():
    parser = argparse.ArgumentParser()
    for name in ("count", "service-count", "idle", "traffic"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--kernel-count", action="append", default=[],
                        help="NAME=JSON: service_bench.py count --cat-only with that kernel")
    parser.add_argument("--client-reply", default="")
    parser.add_argument("--command", default="bench/run")
    parser.add_argument("--load-start", default="")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--plot-data", help="where to write the figures bench/plot.gp draws")
    args = parser.parse_args()

    count = load(args.count)
    sc = load(args.service_count)
    rows = service_count_rows(sc)
    rows += kernel_service_rows([(k.split("=", 1)[0], load(k.split("=", 1)[1]))
                                 for k in args.kernel_count])
    rows += in_process_rows(count)
    rows += traffic_rows(load(args.traffic), load(args.idle), sc, count)
    rows.append(agreement_row(count, sc, args.client_reply.strip()))
    if args.plot_data:
        with open(args.plot_data, "w") as f:
            f.write("".join(line + "\n" for line in plot_rows(count, sc)))

    print("Date: %s  " % datetime.datetime.now(datetime.timezone.utc)
          .strftime("%Y-%m-%d %H:%M UTC"))
    print("Machine: %s  " % machine(args.load_start))
    print("Processor: %s; the service counts with the %s kernel  " % (
        cpu_vectors_and_caches(), (count or {}).get("kernel", "?")))
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
