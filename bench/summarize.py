#!/usr/bin/env python3
"""Turns the benchmark's raw records (build/bench/raw.txt, written by
bench/run.sh) into the Markdown results table, with the goals checked.

usage: summarize.py raw.txt [output-dir]
"""
import os
import statistics
import sys


def parse(path):
    records = []
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if not line:
            continue
        kind, _, rest = line.partition(" ")
        fields = {"_text": rest}
        for token in rest.split():
            key, eq, value = token.partition("=")
            if eq and key not in fields:
                fields[key] = value
        records.append((kind, fields))
    return records


def num(fields, key, default=None):
    try:
        return float(fields[key])
    except (KeyError, ValueError):
        return default


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    return f"{value:,.{digits}f}"


def ratio(a, b):
    return None if a is None or not b else a / b


def main():
    records = parse(sys.argv[1])
    outdir = sys.argv[2] if len(sys.argv) > 2 else None
    text = {k: f["_text"] for k, f in records if k in ("cpu", "wine", "kernel")}
    machine = next((f for k, f in records if k == "machine"), {})
    size = next((f for k, f in records if k == "size"), {})
    elapsed = next((f for k, f in records if k == "elapsed"), {})
    ran = next((f for k, f in records if k == "ran"), {})
    loads = [f for k, f in records if k == "load"]
    checks = [f for k, f in records if k == "check"]
    out = []
    w = out.append

    w("# Benchmark results")
    w("")
    why = {"yes": "this machine's Wine runs 32-bit programs",
           "no": "this machine's Wine cannot run 32-bit programs, so the x86_64 build of the "
                 "same sources ran"}.get(ran.get("wine_runs_i686"), "not recorded")
    w(f"Machine: {machine.get('nproc', '?')} CPUs, {text.get('cpu', '?')}, "
      f"kernel {text.get('kernel', '?')}, {text.get('wine', '?')}. The "
      f"{ran.get('arch', '?')} build ran under {ran.get('loader', '?')} ({why}); whole run "
      f"{elapsed.get('seconds', '?')} s. Load averages (1, 5, 15 min) at the start: "
      f"{machine.get('uptime_load', '?')}, at the end: {elapsed.get('uptime_load', '?')}.")
    w("")

    programs = [("harbinel", "Harbinel"), ("nofile", "Harbinel, log file off"),
                ("watch", "Harbinel, file off, stealth watch on"), ("reference", "reference")]

    def load_median(prog, phase, key):
        return median([num(f, key) for f in loads if f.get("prog") == prog and f.get("phase") == phase])

    def load_sum(prog, key):
        return sum(num(f, key, 0) for f in loads if f.get("prog") == prog)

    rounds = len({f.get("round") for f in loads})
    w(f"## Load on 16 ports, median of {rounds} rounds (programs alternating)")
    w("")
    w("| Figure | " + " | ".join(name for _, name in programs) + " | Harbinel / reference |")
    w("|---|" + "---|" * (len(programs) + 1))
    rows = [("scans/s, sequential", "seq", "rate", 1, 0),
            ("scans/s, 16 concurrent", "conc", "rate", 1, 0),
            ("scans/s, 16 concurrent from 249 addresses", "many", "rate", 1, 0),
            ("p50 latency, sequential (ms)", "seq", "p50_us", 1e-3, 2),
            ("p99 latency, sequential (ms)", "seq", "p99_us", 1e-3, 2),
            ("p50 latency, 16 concurrent (ms)", "conc", "p50_us", 1e-3, 2),
            ("p99 latency, 16 concurrent (ms)", "conc", "p99_us", 1e-3, 2),
            ("p50 latency, 249 addresses (ms)", "many", "p50_us", 1e-3, 2),
            ("p99 latency, 249 addresses (ms)", "many", "p99_us", 1e-3, 2)]
    figures = {}
    for label, phase, key, scale, digits in rows:
        cells = []
        for prog, _ in programs:
            v = load_median(prog, phase, key)
            v = None if v is None else v * scale
            figures[(prog, phase, key)] = v
            cells.append(fmt(v, digits))
        r = ratio(figures[("harbinel", phase, key)], figures[("reference", phase, key)])
        w(f"| {label} | " + " | ".join(cells) + f" | {fmt(r, 2)} |")
    # CPU per scan, the program's process and its wineserver together, from
    # each round's CPU times over its callers.
    def cpu_per_scan(prog, phase, keys):
        per = []
        for f in loads:
            if f.get("prog") != prog or f.get("phase") != phase or "cpu_ms" not in f:
                continue
            done = num(f, "complete", 0)
            if done:
                per.append(sum(num(f, k, 0) for k in keys) * 1000 / done)
        return median(per)

    for label, phase, keys in (("CPU per scan, sequential, program + wineserver (µs)", "seq", ("cpu_ms", "server_cpu_ms")),
                               ("CPU per scan, sequential, program alone (µs)", "seq", ("cpu_ms",)),
                               ("CPU per scan, 16 concurrent, program + wineserver (µs)", "conc", ("cpu_ms", "server_cpu_ms")),
                               ("CPU per scan, 16 concurrent, program alone (µs)", "conc", ("cpu_ms",))):
        cells = []
        for prog, _ in programs:
            v = cpu_per_scan(prog, phase, keys)
            figures[(prog, phase, "cpu:" + ",".join(keys))] = v
            cells.append(fmt(v, 0))
        r = ratio(figures[("reference", phase, "cpu:" + ",".join(keys))],
                  figures[("harbinel", phase, "cpu:" + ",".join(keys))])
        w(f"| {label} | " + " | ".join(cells) + f" | ref. / Harbinel {fmt(r, 2)} |")
    # The least disturbed round of each: on a shared machine the neighbours
    # only ever slow a round down, so the best one is nearest the program's
    # own speed.
    for label, phase in (("scans/s, best round, sequential", "seq"), ("scans/s, best round, 16 concurrent", "conc"),
                         ("scans/s, best round, 249 addresses", "many")):
        best = {prog: max((num(f, "rate", 0) for f in loads if f.get("prog") == prog and f.get("phase") == phase),
                          default=None) for prog, _ in programs}
        figures.update({(prog, phase, "best"): v for prog, v in best.items()})
        w(f"| {label} | " + " | ".join(fmt(best[p], 0) for p, _ in programs) +
          f" | {fmt(ratio(best['harbinel'], best['reference']), 2)} |")
    lost = {prog: load_sum(prog, "lost") for prog, _ in programs}
    w("| callers lost, all rounds | " + " | ".join(str(int(lost[p])) for p, _ in programs) + " | |")
    problems = {prog: sum(num(f, "problems", 1) for f in checks
                          if f.get("prog") == prog and "round" in f) for prog, _ in programs}
    w("| log check problems, all rounds | " +
      " | ".join(str(int(problems[p])) if p != "reference" else "(no log)" for p, _ in programs) +
      " | |")
    w("")
    w("Per-round rates (scans/s), to show the spread:")
    w("")
    for prog, name in programs:
        per = {ph: [fmt(num(f, "rate"), 0) for f in loads if f.get("prog") == prog and f.get("phase") == ph]
               for ph in ("seq", "conc", "many")}
        w(f"- {name}: sequential {', '.join(per['seq'])}; concurrent {', '.join(per['conc'])}; "
          f"249 addresses {', '.join(per['many'])}")
    w("")

    bursts = [f for k, f in records if k == "burst"]
    if bursts:
        w("## Burst: callers all at once on one port")
        w("")
        w("| Program | callers | warned | lost | p50 (ms) | p99 (ms) | log check |")
        w("|---|---|---|---|---|---|---|")
        for f in bursts:
            prog = f.get("prog")
            chk = next((c for c in checks if c.get("prog") == prog and "burst" in c["_text"]), None)
            chk_text = "(no log)" if chk is None else \
                f"{chk.get('scans')} scans logged, {chk.get('missing')} missing, {chk.get('problems')} problems"
            w(f"| {prog} | {f.get('callers')} | {f.get('complete')} | {f.get('lost')} | "
              f"{fmt(num(f, 'p50_us', 0) / 1e3, 1)} | {fmt(num(f, 'p99_us', 0) / 1e3, 1)} | {chk_text} |")
        w("")

    overloads = [f for k, f in records if k == "overload"]
    if overloads:
        w("## Open loop at the reference's sustained rate")
        w("")
        w("| Program | offered/s | callers | complete | lost | p50 (ms) | p99 (ms) | listen overflows | log check |")
        w("|---|---|---|---|---|---|---|---|---|")
        for f in overloads:
            prog = f.get("prog")
            chk = next((c for c in checks if c.get("prog") == prog and "overload" in c["_text"]), None)
            chk_text = "(no log)" if chk is None else f"{chk.get('problems', '?')} problems"
            w(f"| {prog} | {f.get('offered')} | {f.get('callers')} | {f.get('complete')} | "
              f"{f.get('lost')} | {fmt(num(f, 'p50_us', 0) / 1e3, 1)} | "
              f"{fmt(num(f, 'p99_us', 0) / 1e3, 1)} | {f.get('TcpExtListenOverflows', 'n/a')} | {chk_text} |")
        w("")

    starts = [f for k, f in records if k == "startup"]
    st = {p: median([num(f, "start_ms") for f in starts if f.get("prog") == p])
          for p in ("harbinel", "watch", "reference")}
    if starts:
        w("## Start-up with 100 ports (median, ms)")
        w("")
        w("| watch off | watch on | reference |")
        w("|---|---|---|")
        w(f"| {fmt(st['harbinel'])} | {fmt(st['watch'])} | {fmt(st['reference'])} |")
        w("")

    bulks = [f for k, f in records if k == "bulk"]
    bulk = {}
    if bulks:
        w("## Bulk transfer over loopback, the window probed every 10 ms")
        w("")
        w("| Round | watch | GiB | seconds | MiB/s | probes during | p50 / p99 / max answer (ms) | "
          "idle p50 / p99 (ms) | program CPU (ms) | wineserver CPU (ms) | kernel drops at the watch's socket |")
        w("|---|---|---|---|---|---|---|---|---|---|---|")
        for f in bulks:
            w(f"| {f.get('round')} | {'on' if f.get('prog') == 'watch' else 'off'} | "
              f"{fmt(num(f, 'bytes', 0) / 2**30, 1)} | {f.get('elapsed_s')} | {f.get('mib_per_s')} | "
              f"{f.get('during_n')} | {fmt(num(f, 'during_p50_us', 0) / 1e3, 2)} / "
              f"{fmt(num(f, 'during_p99_us', 0) / 1e3, 2)} / {fmt(num(f, 'during_max_us', 0) / 1e3, 2)} | "
              f"{fmt(num(f, 'idle_p50_us', 0) / 1e3, 2)} / {fmt(num(f, 'idle_p99_us', 0) / 1e3, 2)} | "
              f"{f.get('cpu_ms')} | {f.get('wineserver_cpu_ms')} | {f.get('raw_drops')} |")
        def pooled(prog):
            # Every round's samples sent during its transfer, together: one
            # transfer gives too few for a p99 of its own.
            samples = []
            for f in bulks:
                path = os.path.join(outdir or "", f"probe-{prog}-{f.get('round')}.csv")
                if f.get("prog") != prog or not os.path.exists(path):
                    continue
                start, end = num(f, "wall_start_us", 0), num(f, "wall_end_us", 0)
                for row in open(path, encoding="utf-8").read().splitlines()[1:]:
                    wall, latency, _ = row.split(",")
                    if start <= float(wall) <= end:
                        samples.append(float(latency))
            samples.sort()
            if not samples:
                return None
            at = lambda p: samples[max(0, (len(samples) * p + 99) // 100 - 1)]
            return {"n": len(samples), "p50": at(50), "p99": at(99), "max": samples[-1]}

        for prog in ("nofile", "watch"):
            mine = [f for f in bulks if f.get("prog") == prog]
            bulk[prog] = {key: median([num(f, key) for f in mine])
                          for key in ("during_p50_us", "during_p99_us", "during_max_us", "cpu_ms",
                                      "wineserver_cpu_ms", "elapsed_s", "raw_drops")}
            bulk[prog]["worst_p99_us"] = max((num(f, "during_p99_us", 0) for f in mine), default=None)
            bulk[prog]["pooled"] = pooled(prog)
        w("")
        w("| Median of rounds | p50 / p99 / max answer (ms) | worst round's p99 (ms) | all rounds' samples "
          "pooled: n, p50 / p99 / max (ms) | program CPU (ms) | wineserver CPU (ms) | seconds |")
        w("|---|---|---|---|---|---|---|")
        for prog, name in (("nofile", "watch off"), ("watch", "watch on")):
            b = bulk[prog]
            pl = b["pooled"] or {"n": 0, "p50": 0, "p99": 0, "max": 0}
            w(f"| {name} | {fmt((b['during_p50_us'] or 0) / 1e3, 2)} / {fmt((b['during_p99_us'] or 0) / 1e3, 2)} / "
              f"{fmt((b['during_max_us'] or 0) / 1e3, 2)} | {fmt((b['worst_p99_us'] or 0) / 1e3, 2)} | "
              f"{pl['n']}, {fmt(pl['p50'] / 1e3, 2)} / {fmt(pl['p99'] / 1e3, 2)} / {fmt(pl['max'] / 1e3, 2)} | "
              f"{fmt(b['cpu_ms'], 0)} | {fmt(b['wineserver_cpu_ms'], 0)} | {fmt(b['elapsed_s'], 3)} |")
        w("")

    stealth = {f.get("phase"): f for k, f in records if k == "stealth"}
    if stealth:
        w("## Stealth watch under a SYN flood")
        w("")
        w("| Flood | SYNs sent | per source in a row | sender pps | real callers warned / lost | "
          "their scans/s | p99 (ms) | log lines gained | of which real callers' | "
          "RssAnon before / peak / after (KiB) | threads before / peak / after | kernel drops |")
        w("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for i in ("1", "2"):
            snd, cal = stealth.get("sender" + i, {}), stealth.get("callers" + i, {})
            bef, aft = stealth.get("before" + i, {}), stealth.get("after" + i, {})
            pk = stealth.get("peak" + i, {})
            w(f"| {i} | {snd.get('sent')} from {snd.get('sources')} sources | {snd.get('per_source')} | "
              f"{snd.get('pps')} | "
              f"{cal.get('complete')} / {cal.get('lost')} | {fmt(num(cal, 'rate'), 0)} | "
              f"{fmt(num(cal, 'p99_us', 0) / 1e3, 1)} | {aft.get('gained')} | {aft.get('real_lines')} | "
              f"{bef.get('rss_anon_kib')} / {pk.get('peak_rss_anon_kib')} / {aft.get('rss_anon_kib')} | "
              f"{bef.get('threads')} / {pk.get('peak_threads')} / {aft.get('threads')} | {pk.get('raw_drops')} |")
        lg = stealth.get("log", {})
        w("")
        w(f"Log after both floods: {lg.get('sweep_lines')} \"Port sweep from\" lines, "
          f"{lg.get('went_on')} \"went on\" lines, {lg.get('stealth_scans')} stealth-named scans, "
          f"{lg.get('scans')} \"Scan detected\" blocks, {lg.get('too_busy_lines')} \"packets not "
          f"examined\" lines ({lg.get('not_examined')} packets), {lg.get('try_again')} \"Try again\" "
          f"answers; {lg.get('threads_at_end')} threads at the end.")
        w("")

    floods = [f for k, f in records if k == "flood"]
    if floods:
        w("## Flood with the default window cap (10,000 lines), log file on")
        w("")
        w("| scans | RssAnon (KiB) | VmRSS (KiB) | lines in the window | scans/s in this step | lost |")
        w("|---|---|---|---|---|---|")
        for f in floods:
            w(f"| {f.get('scans')} | {f.get('rss_anon_kib')} | {f.get('vm_rss_kib')} | "
              f"{f.get('lines', '')} | {fmt(num(f, 'rate'), 0) if 'rate' in f else ''} | {f.get('lost', '')} |")
        w("")
    lf = next((f for k, f in records if k == "logfiles"), None)
    if lf:
        w(f"Log folder afterwards: {lf.get('count')} files, {lf.get('today')} of today "
          f"({lf.get('today_lines')} lines), {lf.get('old_left')} of the 16 seeded older ones left; "
          f"largest {lf.get('largest_bytes')} bytes, all {lf.get('total_bytes')} bytes.")
        w("")

    if outdir:
        path = os.path.join(outdir, "handlers.out")
        if os.path.exists(path):
            w("## Where a scan's time goes: 300 sequential scans in-process")
            w("")
            w("```")
            w(open(path, encoding="utf-8", errors="replace").read().rstrip())
            w("```")
            w("")
        path = os.path.join(outdir, "handlers-watch.out")
        if os.path.exists(path):
            w("The same with the stealth watch on:")
            w("")
            w("```")
            w(open(path, encoding="utf-8", errors="replace").read().rstrip())
            w("```")
            w("")

    w("## Reverse-lookup completion (in-process, real log list)")
    w("")
    w("| Log lines | newest scan, median (µs) | p99 (µs) | line near the top, median (µs) | p99 (µs) | AddLogLine (µs) |")
    w("|---|---|---|---|---|---|")
    lookups = [f for k, f in records if k == "lookup"]
    for f in lookups:
        w(f"| {f.get('lines')} | {f.get('recent_median_us')} | {f.get('recent_p99_us')} | "
          f"{f.get('old_median_us')} | {f.get('old_p99_us')} | {f.get('add_line_us')} |")
    w("")

    res = next((f for k, f in records if k == "resolve"), None)
    if res:
        w(f"Reverse lookup under this Wine, {res.get('lookups')} loopback addresses one after another: "
          f"median {res.get('median_ms')} ms, longest {res.get('max_ms')} ms, "
          f"{res.get('sum_ms', res.get('total_ms'))} ms in all "
          f"({res.get('named')} named).")
        w("")
        res8 = next((f for k, f in records if k == "resolve8"), None)
        if res8:
            w(f"The same addresses shared out among 8 threads at once (as the program's lookup workers): "
              f"{res8.get('wall_ms')} ms in all, {res8.get('over_1s')} lookups over 1 s, longest "
              f"{res8.get('max_ms')} ms.")
            w("")
        waits = [num(c, "wait_ms") for c in checks if c.get("prog") in ("harbinel", "nofile", "watch")
                 and "round" in c]
        w(f"Wait after each round's last caller until every RDNS line was in (log read-back): median "
          f"{fmt(median(waits), 0)} ms, longest {fmt(max(waits) if waits else None, 0)} ms.")
        w("")

    i686 = num(size, "i686_bytes")
    w(f"harbinel.exe, i686 Release: {fmt(i686, 0)} bytes ({fmt(i686 / 1024 if i686 else None)} KiB).")
    w("")

    w("## Goals")
    w("")
    w("| Goal | Figure | Met |")
    w("|---|---|---|")

    def goal(name, figure, ok):
        w(f"| {name} | {figure} | {'yes' if ok else 'NO'} |")

    F = figures
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F[("harbinel", phase, "rate")], F[("reference", phase, "rate")])
        goal(f"scan rate >= 0.8 x reference, {label}", f"{fmt(r, 2)} x", r is not None and r >= 0.8)
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F.get(("harbinel", phase, "best")), F.get(("reference", phase, "best")))
        w(f"| same by each one's best round, {label}: Harbinel / reference (informational) | {fmt(r, 2)} | - |")
        r = ratio(F.get(("watch", phase, "best")), F.get(("nofile", phase, "best")))
        w(f"| same by each one's best round, {label}: watch on / off (informational) | {fmt(r, 2)} | - |")
    both = "cpu:cpu_ms,server_cpu_ms"
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F.get(("reference", phase, both)), F.get(("harbinel", phase, both)))
        w(f"| same by CPU per scan (program + wineserver), {label}: reference / Harbinel "
          f"(informational) | {fmt(r, 2)} | - |")
        r = ratio(F.get(("nofile", phase, both)), F.get(("watch", phase, both)))
        w(f"| same by CPU per scan, {label}: watch off / watch on (informational) | {fmt(r, 2)} | - |")
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F[("harbinel", phase, "p99_us")], F[("reference", phase, "p99_us")])
        goal(f"p99 latency <= 2 x reference, {label}", f"{fmt(r, 2)} x", r is not None and r <= 2)
    r = ratio(F[("harbinel", "many", "rate")], F[("reference", "many", "rate")])
    rp = ratio(F[("harbinel", "many", "p99_us")], F[("reference", "many", "p99_us")])
    goal("249 caller addresses (reported beside one address)",
         f"rate {fmt(r, 2)} x, p99 {fmt(rp, 2)} x the reference", r is not None and r >= 0.8 and rp <= 2)
    goal("nothing lost in the rounds", f"{int(lost['harbinel'])} lost, {int(problems['harbinel'])} log problems",
         lost["harbinel"] == 0 and problems["harbinel"] == 0)
    hb = next((f for f in bursts if f.get("prog") == "harbinel"), None)
    hbc = next((c for c in checks if c.get("prog") == "harbinel" and "burst" in c["_text"]), None)
    if hb:
        goal("burst: every caller warned and logged",
             f"{hb.get('complete')} of {hb.get('callers')} warned, "
             f"{hbc.get('scans') if hbc else '?'} logged, {hbc.get('problems') if hbc else '?'} problems",
             num(hb, "lost", 1) == 0 and hbc is not None and num(hbc, "problems", 1) == 0)
    over = next((f for f in overloads if f.get("prog") == "harbinel"), None)
    over_chk = next((c for c in checks if c.get("prog") == "harbinel" and "overload" in c["_text"]), None)
    if over:
        goal("open loop at the reference's rate loses none",
             f"{over.get('lost')} of {over.get('callers')} lost at {over.get('offered')}/s",
             num(over, "lost", 1) == 0 and over_chk is not None and num(over_chk, "problems", 1) == 0)
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F[("harbinel", phase, "rate")], F[("nofile", phase, "rate")])
        goal(f"log file costs <= 10%, {label}", f"on / off = {fmt(r, 2)}", r is not None and r >= 0.9)
    if len(floods) >= 3:
        ten = next((f for f in floods if f.get("scans") and num(f, "scans") >= 10000), floods[1])
        last = floods[-1]
        r = ratio(num(last, "rss_anon_kib"), num(ten, "rss_anon_kib"))
        goal(f"RssAnon after {last.get('scans')} scans < 2 x after {ten.get('scans')}",
             f"{last.get('rss_anon_kib')} / {ten.get('rss_anon_kib')} KiB = {fmt(r, 2)}", r is not None and r < 2)
    if lf:
        # The folder is tidied when a file is opened: then the closed files
        # fit the cap, and the file being written adds at most 16 MiB.
        ok = (num(lf, "largest_bytes", 1e12) <= 16 * 2**20 and
              num(lf, "total_bytes", 1e12) <= 272 * 2**20 and num(lf, "today", 0) >= 2 and
              num(lf, "old_left", 99) < 16)
        goal("log files rotate at 16 MiB; folder cap 256 MiB kept at each opening",
             f"{lf.get('today')} files today, largest {lf.get('largest_bytes')} B, "
             f"{16 - int(num(lf, 'old_left', 16))} oldest deleted, folder {lf.get('total_bytes')} B", ok)
    if stealth:
        c1, c2 = stealth.get("callers1", {}), stealth.get("callers2", {})
        goal("stealth flood: real callers keep being served",
             f"{c1.get('complete')}+{c2.get('complete')} warned, {c1.get('lost')}+{c2.get('lost')} lost",
             num(c1, "lost", 1) == 0 and num(c2, "lost", 1) == 0)
        for i in ("1", "2"):
            b, a, pk = stealth.get("before" + i, {}), stealth.get("after" + i, {}), stealth.get("peak" + i, {})
            base = num(b, "rss_anon_kib", 0)
            grow = max(num(a, "rss_anon_kib", 0), num(pk, "peak_rss_anon_kib", 0)) - base
            goal(f"stealth flood {i}: RssAnon within 2 MiB of before (highest seen)",
                 f"+{fmt(grow, 0)} KiB; threads {b.get('threads')} -> at most {pk.get('peak_threads')}",
                 grow <= 2048)
        lg = stealth.get("log", {})
        goal("stealth flood: sweeps logged", f"{lg.get('sweep_lines')} sweep lines",
             num(lg, "sweep_lines", 0) > 0)
        goal("stealth flood: SYNs the watch could not examine (reported)",
             f"ring: {lg.get('not_examined')}; kernel queue: "
             f"{stealth.get('peak1', {}).get('raw_drops')} + {stealth.get('peak2', {}).get('raw_drops')}",
             num(lg, "not_examined", 1) == 0)
        srcs = num(stealth.get("sender1", {}), "sources", 0)
        extra = [num(stealth.get("after" + i, {}), "gained", 0) - num(stealth.get("after" + i, {}), "real_lines", 0)
                 for i in ("1", "2")]
        # Each sweep is a block (its line, the caller's name, the time); at
        # most two sweep lines per source (the start and one "went on").
        goal("stealth flood: sweep lines bounded (<= 2 per source)",
             f"{lg.get('sweep_lines')} sweep lines for {fmt(srcs, 0)} sources; {fmt(extra[0], 0)} and "
             f"{fmt(extra[1], 0)} lines in all beyond the real callers'",
             num(lg, "sweep_lines", 1e9) <= 2 * srcs)
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(F[("watch", phase, "rate")], F[("nofile", phase, "rate")])
        goal(f"stealth watch on / off, rate {label} >= 0.9", f"{fmt(r, 2)}", r is not None and r >= 0.9)
    if bulk:
        b = bulk["watch"]
        pl = b["pooled"] or {"n": 0, "p99": 1e9}
        goal("bulk transfer, watch on: window answers within 20 ms at p99 (all rounds' samples)",
             f"p99 {fmt(pl['p99'] / 1e3, 2)} ms of {pl['n']} (median of rounds' p99 "
             f"{fmt((b['during_p99_us'] or 0) / 1e3, 2)}, worst {fmt((b['worst_p99_us'] or 0) / 1e3, 2)}), "
             f"CPU {fmt(b['cpu_ms'], 0)} ms + wineserver {fmt(b['wineserver_cpu_ms'], 0)} ms",
             pl["p99"] <= 20000)
    if st["harbinel"] and st["watch"]:
        w(f"| start-up 100 ports, watch on / off (informational) | {fmt(st['watch'], 0)} / "
          f"{fmt(st['harbinel'], 0)} ms | - |")
    rec = {int(num(f, "lines", 0)): num(f, "recent_median_us") for f in lookups}
    if len(rec) >= 2:
        small, large = min(rec), max(rec)
        r = ratio(rec[large], rec[small])
        goal("lookup completion flat in log length (recent scan)",
             f"{fmt(rec[small], 2)} µs at {small} lines, {fmt(rec[large], 2)} µs at {large}",
             r is not None and r <= 1.5)
    goal("harbinel.exe <= 100 KiB (i686)", f"{fmt(i686 / 1024 if i686 else None)} KiB",
         i686 is not None and i686 <= 100 * 1024)
    print("\n".join(out))


if __name__ == "__main__":
    main()
