#!/usr/bin/env python3
"""The README's performance tables, in Markdown, from the benchmarks' JSON
output (--benchmark_out): scripts/bench.sh runs it last."""
import json
import re
import sys


def runs(paths):
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for run in json.load(f)["benchmarks"]:
                if run.get("error_occurred"):
                    print(f"{run['name']}: {run.get('error_message', 'failed')}", file=sys.stderr)
                    continue
                yield run


def base(name):
    return re.sub(r"/(iterations|min_time|real_time|manual_time)(:[^/]*)?", "", name)


def calls(value):
    return "n/a" if value < 0 else f"{value:.0f}"


def operations(found, baud):
    rows = [r for r in found if r["name"].startswith(f"paced/{baud}/")]
    if not rows:
        return
    print(f"\n{baud} baud:\n")
    print("| operation | wall ms | lower bound ms | ratio | CPU ms | CPU % of wall | system calls |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    for r in rows:
        name = base(r["name"]).split("/", 2)[2]
        print(f"| {name} | {r['wall_ms']:.1f} | {r['bound_ms']:.1f} | {r['ratio']:.3f} "
              f"| {r['cpu_ms']:.2f} | {r['cpu_pct']:.2f} | {calls(r['syscalls'])} |")


def silent_wait(found):
    for r in found:
        if base(r["name"]) == "BM_SilentReaderWaitCpu":
            print("\nA silent reader's 5 s wait (KXRunApdu's reply time-out):\n")
            print("| wall ms | CPU ms | system calls |")
            print("| ---: | ---: | ---: |")
            print(f"| {r['wall_ms']:.0f} | {r['cpu_ms_per_5s_wait']:.3f} | {calls(r['syscalls'])} |")


def search(found):
    rows = [r for r in found if r["name"].startswith("search/")]
    if not rows:
        return
    print("\nThe all-in-one exports' reader search, the reader on kx-sim at 9600 baud:\n")
    print("| before the reader | wall ms | CPU ms | system calls |")
    print("| --- | ---: | ---: | ---: |")
    for r in rows:
        name = base(r["name"])[len("search/"):].replace("_", " ").replace("/", ", ")
        wall = r["real_time"] if r["time_unit"] == "ms" else r["real_time"] / 1e6
        print(f"| {name} | {wall:.0f} | {r['cpu_ms']:.2f} | {calls(r['syscalls'])} |")


def lock_cost(found):
    rows = {base(r["name"]): r for r in found}
    names = [n for n in ("BM_LockPair", "BM_KXGetLibVer", "BM_KXGetErrMessage") if n in rows]
    if not names:
        return
    print("\nThe process-wide lock, uncontended:\n")
    print("| what | ns per call |")
    print("| --- | ---: |")
    for name in names:
        r = rows[name]
        label = "lock + unlock" if name == "BM_LockPair" else name[3:]
        print(f"| {label} | {r['real_time']:.1f} |")


def soak(found):
    for r in found:
        if base(r["name"]) == "BM_Soak":
            print("\n100,000 mixed calls against kx-sim (unpaced):\n")
            print("| calls/s | wall s | paused s | failures | RSS kB: start | after 10,000 | end "
                  "| anonymous kB: start | end | fds: start | end |")
            print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
            print(f"| {r['calls_per_s']:.0f} | {r['real_time']:.1f} | {r['paused_s']:.1f} "
                  f"| {r['failures']:.0f} | {r['rss_kb_start']:.0f} | {r['rss_kb_tenth']:.0f} "
                  f"| {r['rss_kb_end']:.0f} | {r['anon_kb_start']:.0f} | {r['anon_kb_end']:.0f} "
                  f"| {r['fds_start']:.0f} | {r['fds_end']:.0f} |")


def main():
    found = list(runs(sys.argv[1:]))
    for baud in (9600, 115200):
        operations(found, baud)
    silent_wait(found)
    search(found)
    lock_cost(found)
    soak(found)


if __name__ == "__main__":
    main()
