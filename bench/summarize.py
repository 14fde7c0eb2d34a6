#!/usr/bin/env python3
"""Turns the benchmark's raw records (build/bench/raw.txt, written by
bench/run.sh) into the Markdown results table, with the goals checked.

usage: summarize.py raw.txt [output-dir]
"""
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
    # What ran is what bench/run.sh recorded, not an assumption about the kernel.
    why = {"yes": "this machine's Wine also runs 32-bit code, but the what-if copies exist "
                  "only in 64-bit builds; the i686 build is measured for size only",
           "no": "this machine's Wine cannot run 32-bit code; the i686 build is measured "
                 "for size only"}.get(ran.get("wine_runs_i686"),
                                      "whether this Wine runs 32-bit code was not recorded")
    w(f"Machine: {machine.get('nproc', '?')} CPUs, {text.get('cpu', '?')}, "
      f"kernel {text.get('kernel', '?')}, {text.get('wine', '?')}. The "
      f"{ran.get('arch', '?')} build runs under {ran.get('loader', '?')} ({why}); whole run "
      f"{elapsed.get('seconds', '?')} s.")
    w("")

    programs = [("harbinel", "Harbinel"), ("whatif", "what-if: no routing query"),
                ("reference", "reference")]

    def load_median(prog, phase, key):
        return median([num(f, key) for f in loads if f.get("prog") == prog and f.get("phase") == phase])

    def load_sum(prog, key):
        return sum(num(f, key, 0) for f in loads if f.get("prog") == prog)

    rounds = len({f.get("round") for f in loads})
    w(f"## Load on 16 ports, median of {rounds} rounds (programs alternating)")
    w("")
    w("| Figure | " + " | ".join(name for _, name in programs) + " | Harbinel / reference |")
    w("|---|" + "---|" * (len(programs) + 1))
    rows = [("scans/s, sequential", "seq", "rate", 1, 1),
            ("scans/s, 16 concurrent", "conc", "rate", 1, 1),
            ("p50 latency, sequential (ms)", "seq", "p50_us", 1e-3, 2),
            ("p99 latency, sequential (ms)", "seq", "p99_us", 1e-3, 2),
            ("p50 latency, 16 concurrent (ms)", "conc", "p50_us", 1e-3, 2),
            ("p99 latency, 16 concurrent (ms)", "conc", "p99_us", 1e-3, 2)]
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
    lost = {prog: load_sum(prog, "lost") for prog, _ in programs}
    w("| callers lost, all rounds | " + " | ".join(str(int(lost[p])) for p, _ in programs) + " | |")
    problems = {prog: sum(num(f, "problems", 1) for f in checks
                          if f.get("prog") == prog and "round" in f) for prog, _ in programs}
    w("| log check problems, all rounds | " +
      " | ".join(str(int(problems[p])) if p != "reference" else "(no log)" for p, _ in programs) +
      " | |")
    w("")
    w("Latency: from the caller's connect() to the last byte of the 68-byte warning. "
      "Every caller must receive exactly the warning and then the end of stream; the log check "
      "matches each caller by its own port to its \"Scan detected\", address, RDNS and timestamp "
      "lines and counts \"   Message sent\" / \"Scan blocked\" pairs.")
    w("")

    overloads = [f for k, f in records if k == "overload"]
    if overloads:
        w("## Open loop at the reference's sustained rate")
        w("")
        w("| Program | offered/s | callers | complete | lost | p50 (ms) | p99 (ms) | max (ms) | time (s) | listen overflows | SYN cookies sent | log check |")
        w("|---|---|---|---|---|---|---|---|---|---|---|---|")
        for f in overloads:
            prog = f.get("prog")
            name = {"slowref": f"reference slowed by {f.get('accept_delay_us')} µs per accept",
                    "harbinel": "Harbinel"}.get(prog, prog)
            chk = next((c for c in checks if c.get("prog") == prog and "overload" in c["_text"]), None)
            chk_text = "(no log)" if chk is None else f"{chk.get('problems', '?')} problems"
            w(f"| {name} | {f.get('offered')} | {f.get('callers')} | {f.get('complete')} | "
              f"{f.get('lost')} | {fmt(num(f, 'p50_us', 0) / 1e3, 1)} | "
              f"{fmt(num(f, 'p99_us', 0) / 1e3, 1)} | {fmt(num(f, 'max_us', 0) / 1e3, 1)} | "
              f"{f.get('elapsed_s')} | {f.get('TcpExtListenOverflows', 'n/a')} | "
              f"{f.get('TcpExtSyncookiesSent', 'n/a')} | {chk_text} |")
        w("")
        w("A caller counts as lost when it has not received the whole warning and the end of "
          "stream within 20 s. The kernel counters are system-wide deltas over each run.")
        w("")

    starts = [f for k, f in records if k == "startup"]
    if starts:
        h = median([num(f, "start_ms") for f in starts if f.get("prog") == "harbinel"])
        r = median([num(f, "start_ms") for f in starts if f.get("prog") == "reference"])
        w("## Start-up with 100 ports")
        w("")
        w("| | Harbinel | reference | ratio |")
        w("|---|---|---|---|")
        w(f"| process start to all 100 ports listening (ms, median) | {fmt(h)} | {fmt(r)} | "
          f"{fmt(ratio(h, r), 2)} |")
        w("")
        w("Harbinel: from CreateProcess to the log line \"Listening on 100 ports\" (registry "
          "\"Connected\" 1). Reference: from CreateProcess to its window title saying all ports "
          "listen.")
        w("")

    mems = [f for k, f in records if k == "memory"]
    if mems:
        w("## Memory (Linux /proc/<pid>/status of the Wine process)")
        w("")
        w("| Program | scans | RssAnon (KiB, private) | VmRSS (KiB) | log lines | scans/s in this step |")
        w("|---|---|---|---|---|---|")
        for f in mems:
            w(f"| {f.get('prog')} | {f.get('scans')} | {f.get('rss_anon_kib')} | "
              f"{f.get('vm_rss_kib')} | {f.get('lines', '')} | {f.get('rate', '')} |")
        hm = [f for f in mems if f.get("prog") == "harbinel" and f.get("scans", "").isdigit()]
        if len(hm) >= 3:
            # The first step also pays for one-time growth (the lookup
            # threads, the heap's first blocks); the steps after it show what
            # each further scan costs.
            warm, last = hm[1], hm[-1]
            grow = num(last, "rss_anon_kib", 0) - num(warm, "rss_anon_kib", 0)
            scans = num(last, "scans", 0) - num(warm, "scans", 0)
            lines = num(last, "lines", 0) - num(warm, "lines", 0)
            total = num(last, "rss_anon_kib", 0) - num(hm[0], "rss_anon_kib", 0)
            first_step = num(warm, "rss_anon_kib", 0) - num(hm[0], "rss_anon_kib", 0)
            onetime = first_step - grow / scans * num(warm, "scans", 0)
            w("")
            w(f"Harbinel: {fmt(total, 0)} KiB more after {last.get('scans')} scans than at start; "
              f"after the first step, {fmt(grow * 1024 / scans, 0)} bytes per scan = "
              f"{fmt(grow * 1024 / lines, 0)} bytes per log line, which is what the list box "
              "keeps per line (the text as UTF-16 in a heap block and its item record). The "
              f"first step grew {fmt(onetime, 0)} KiB more than that rate accounts for, once "
              "(the first scans start the lookup worker threads and the heap's first blocks). "
              "After Clear Log the process falls back to its start size plus that "
              "one-time growth plus the new lines: nothing but the log list accumulates.")
        w("")
        w("Windows' PrivateUsage (GetProcessMemoryInfo) reads 0 under Wine, which fills it only "
          "from swap use, so the private figure is the Linux process's resident anonymous memory.")
        w("")

    import os
    if len(sys.argv) > 2:
        for name, title in (("handlers.out", "Harbinel"),
                            ("handlers_whatif.out", "what-if: no routing query")):
            path = os.path.join(sys.argv[2], name)
            if os.path.exists(path):
                w(f"## Where a scan's time goes: {title}, 300 sequential scans in-process")
                w("")
                w("```")
                w(open(path, encoding="utf-8", errors="replace").read().rstrip())
                w("```")
                if name == "handlers_whatif.out":
                    w("")
                    w("In this copy the \"WSAIoctl routing interface query\" line times its "
                      "getsockname stand-in.")
                w("")

    w("## Reverse-lookup completion (in-process, real log list)")
    w("")
    w("| Log lines | tagged line: newest scan, median (µs) | p99 (µs) | tagged line near the top, median (µs) | p99 (µs) | AddLogLine (µs) |")
    w("|---|---|---|---|---|---|")
    lookups = [f for k, f in records if k == "lookup"]
    for f in lookups:
        w(f"| {f.get('lines')} | {f.get('recent_median_us')} | {f.get('recent_p99_us')} | "
          f"{f.get('old_median_us')} | {f.get('old_p99_us')} | {f.get('add_line_us')} |")
    w("")

    i686 = num(size, "i686_bytes")
    x64 = num(size, "x86_64_bytes")
    w("## Size of harbinel.exe (Release, stripped)")
    w("")
    w(f"i686 (the product): {fmt(i686, 0)} bytes ({fmt(i686 / 1024 if i686 else None)} KiB); "
      f"x86_64: {fmt(x64, 0)} bytes ({fmt(x64 / 1024 if x64 else None)} KiB).")
    w("")

    w("## Goals")
    w("")
    w("| Goal | Figure | Met |")
    w("|---|---|---|")

    def goal(name, figure, ok):
        w(f"| {name} | {figure} | {'yes' if ok else 'NO'} |")

    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(figures[("harbinel", phase, "rate")], figures[("reference", phase, "rate")])
        goal(f"scan rate >= 0.7 x reference, {label}", f"{fmt(r, 2)} x", r is not None and r >= 0.7)
    for phase, label in (("seq", "sequential"), ("conc", "16 concurrent")):
        r = ratio(figures[("harbinel", phase, "p99_us")], figures[("reference", phase, "p99_us")])
        goal(f"p99 latency <= 2 x reference, {label}", f"{fmt(r, 2)} x", r is not None and r <= 2)
    over = next((f for f in overloads if f.get("prog") == "harbinel"), None)
    over_chk = next((c for c in checks if c.get("prog") == "harbinel" and "overload" in c["_text"]), None)
    nothing_lost = (lost["harbinel"] == 0 and problems["harbinel"] == 0 and
                    (over is None or (num(over, "lost", 1) == 0 and
                                      over_chk is not None and num(over_chk, "problems", 1) == 0)))
    goal("nothing lost at any load the reference sustains",
         f"{int(lost['harbinel'])} lost, {int(problems['harbinel'])} log problems in the rounds; "
         f"open loop: {over.get('lost') if over else 'n/a'} lost", nothing_lost)
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
