#!/usr/bin/env python3
"""The timed part of bench/download_bench.sh: the fetch tool, curl, busybox
wget and apc-receive-then-store (the floor of storing only after the
connection ended) fetch every document in turns; each run's wall time, peak
RSS and page faults are taken from the child itself by bench/run_measured.cpp
(spawn, then wait4's resource usage), so no fork of a shell is timed. Prints the table and one
PASS/FAIL line per target; exit status 1 when a target is missed, 2 when a
download fails or differs from the served document.

Usage: download_runs.py --rounds N --base URL --www DIR --out DIR --fetch PATH
                        --runner PATH --floor PATH NAME=BYTES...
  The document DIR/doc-NAME.xml is served at URL/doc-NAME.xml.
"""
import argparse
import os
import statistics
import sys
import subprocess

TOOLS = ("fetch", "curl", "wget", "floor")
OUTPUT = {"fetch": "zentrofxs-bench.cfg", "curl": "curl.xml", "wget": "wget.xml", "floor": "floor.xml"}
FLOOR_LIMIT = 1.15                # fetch time / receive-then-store time, at every size
CURL_LIMIT = 0.7                  # fetch time / curl time, at every size up to CURL_UP_TO
CURL_UP_TO = 16 * 1024 * 1024
RSS_FACTOR = 1.5                  # peak RSS at most 1.5 x the document + 4 MiB
RSS_SLACK_KIB = 4096


def command(tool, args, url):
    out = os.path.join(args.out, OUTPUT[tool])
    if tool == "fetch":
        return [args.fetch, "--mac", "bench", "--dir", args.out, url]
    if tool == "curl":
        return ["curl", "-s", "-o", out, url]
    if tool == "floor":
        return [args.floor, url, out]
    return ["busybox", "wget", "-q", "-O", out, url]


class Runner:
    """apc-run-measured as a co-process: it spawns each run from its own small
    memory, so the child's peak RSS is the child's own."""

    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        universal_newlines=True)

    def run(self, argv):
        """One run: (wall time in microseconds, peak RSS in KiB, page faults)."""
        self.process.stdin.write("\t".join(argv) + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().split()
        if len(answer) != 5 or answer[0] != "0":
            print("FAIL: %s: %s" % (" ".join(argv), " ".join(answer) or "no answer"))
            sys.exit(2)
        return int(answer[1]), int(answer[2]), int(answer[3]) + int(answer[4])

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def same_document(served, fetched):
    """The fetch tool ends the stored document with one line end of its own."""
    with open(served, "rb") as a, open(fetched, "rb") as b:
        expected, got = a.read(), b.read()
    return got == expected or got == expected + b"\n"


def measure(args, runner, name):
    """Every tool fetches document NAME args.rounds times; the runs per tool."""
    url = "%s/doc-%s.xml" % (args.base, name)
    served = os.path.join(args.www, "doc-%s.xml" % name)
    runs = {tool: [] for tool in TOOLS}
    # Each tool takes every place in the order equally often, so none gains
    # from a cache or a core the one before it warmed.
    for round_index in range(args.rounds):
        shift = round_index % len(TOOLS)
        for tool in TOOLS[shift:] + TOOLS[:shift]:
            runs[tool].append(runner.run(command(tool, args, url)))
            if round_index < len(TOOLS) and not same_document(served, os.path.join(args.out, OUTPUT[tool])):
                print("FAIL: %s: the fetched %s document differs from the served one" % (tool, name))
                sys.exit(2)
    return runs


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, required=True)
    parser.add_argument("--base", required=True)
    parser.add_argument("--www", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--fetch", required=True)
    parser.add_argument("--runner", required=True, help="path of apc-run-measured")
    parser.add_argument("--floor", required=True, help="path of apc-receive-then-store")
    parser.add_argument("sizes", nargs="+", metavar="NAME=BYTES")
    args = parser.parse_args()

    print("load average before: %s" % load_average())
    row = "%-6s %9s %9s %9s %9s %7s %7s %7s %7s %7s %7s %11s %10s %10s %7s %7s %7s"
    print(row % ("size", "fetch_ms", "curl_ms", "wget_ms", "floor_ms", "f/curl", "f/wget", "w/curl",
                 "f/floor", "fl/wget", "fl/curl", "fetch_rss", "curl_rss", "wget_rss", "f_flt", "c_flt", "w_flt"))
    results = []
    runner = Runner(args.runner)
    for size in args.sizes:
        name, nbytes = size.split("=")
        runs = measure(args, runner, name)
        ms = {t: statistics.median(r[0] for r in runs[t]) / 1000 for t in TOOLS}
        rss = {t: max(r[1] for r in runs[t]) for t in TOOLS}
        faults = {t: int(statistics.median(r[2] for r in runs[t])) for t in TOOLS}
        # Medians of the per-round ratios: a slow moment of the machine slows
        # the runs of one round alike and largely cancels out.
        to_curl = statistics.median(f[0] / c[0] for f, c in zip(runs["fetch"], runs["curl"]))
        to_wget = statistics.median(f[0] / w[0] for f, w in zip(runs["fetch"], runs["wget"]))
        # wget against curl: where curl's start-up dominates, any fast tool's
        # ratio to it climbs with the size.
        wget_to_curl = statistics.median(w[0] / c[0] for w, c in zip(runs["wget"], runs["curl"]))
        # The fetch against the floor of its order, and that floor against
        # wget, which stores while it receives.
        to_floor = statistics.median(f[0] / o[0] for f, o in zip(runs["fetch"], runs["floor"]))
        floor_to_wget = statistics.median(o[0] / w[0] for o, w in zip(runs["floor"], runs["wget"]))
        floor_to_curl = statistics.median(o[0] / c[0] for o, c in zip(runs["floor"], runs["curl"]))
        print(row % (name, "%.2f" % ms["fetch"], "%.2f" % ms["curl"], "%.2f" % ms["wget"], "%.2f" % ms["floor"],
                     "%.3f" % to_curl, "%.3f" % to_wget, "%.3f" % wget_to_curl, "%.3f" % to_floor,
                     "%.3f" % floor_to_wget, "%.3f" % floor_to_curl, "%d KiB" % rss["fetch"],
                     "%d KiB" % rss["curl"], "%d KiB" % rss["wget"], faults["fetch"],
                     faults["curl"], faults["wget"]))
        sys.stdout.flush()
        results.append((name, int(nbytes), to_curl, to_floor, rss["fetch"]))
    runner.close()
    print("load average after: %s" % load_average())

    status = 0

    def verdict(ok, text):
        nonlocal status
        if not ok:
            status = 1
        print("  %s: %s" % ("PASS" if ok else "FAIL", text))

    worst = max(results, key=lambda r: r[3])
    verdict(worst[3] <= FLOOR_LIMIT, "fetch/floor at most %.2f at every size (highest %.3f at %s)"
            % (FLOOR_LIMIT, worst[3], worst[0]))
    small = [r for r in results if r[1] <= CURL_UP_TO]
    if small:
        worst = max(small, key=lambda r: r[2])
        verdict(worst[2] <= CURL_LIMIT, "fetch/curl at most %.1f at every size up to %d MiB (highest %.3f at %s)"
                % (CURL_LIMIT, CURL_UP_TO >> 20, worst[2], worst[0]))
    over = [(r[0], r[4], int(RSS_FACTOR * r[1] / 1024) + RSS_SLACK_KIB) for r in results]
    worst = max(over, key=lambda o: o[1] / o[2])
    verdict(all(o[1] <= o[2] for o in over), "fetch peak RSS at most %.1f x the document + 4 MiB at "
            "every size (closest: %s, %d of %d KiB)" % (RSS_FACTOR, worst[0], worst[1], worst[2]))
    return status


if __name__ == "__main__":
    sys.exit(main())
