#!/usr/bin/env python3
"""Reads the Google Benchmark JSON files of one bench/run and prints the
figures we hold ourselves to, each against its goal; with --json FILE also
writes every figure with its unit, goal and pass/fail for scripts to check.

Usage: summary.py --transfer T.json [--iso I.json] [--service S.json] [--service-load L.json]
                  [--gateway G.json] [--json OUT]
"""
import argparse
import json
import sys

UNIT_SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


class Results:
    """The runs of one benchmark program, by name (aggregates by name and
    aggregate kind)."""

    def __init__(self, path):
        self.runs = {}
        self.aggregates = {}
        if path is None:
            return
        try:
            with open(path) as f:
                data = json.load(f)
        except (OSError, ValueError) as error:
            print(f"(no results from {path}: {error})", file=sys.stderr)
            return
        for run in data.get("benchmarks", []):
            if run.get("error_occurred"):
                print(f"{run['name']}: {run.get('error_message', 'failed')}", file=sys.stderr)
                continue
            if run.get("run_type") == "aggregate":
                self.aggregates[(plain(run["run_name"]), run["aggregate_name"])] = run
            else:
                self.runs[plain(run["name"])] = run

    def run(self, name):
        return self.runs.get(name)

    def aggregate(self, name, kind):
        return self.aggregates.get((name, kind))


def plain(name):
    """A benchmark's name without its minimum-time setting, which says how
    long it ran, not what it measured."""
    return "/".join(part for part in name.split("/") if not part.startswith("min_time:"))


def micros(run):
    """A run's real time per iteration in microseconds."""
    return run["real_time"] * UNIT_SECONDS[run["time_unit"]] / 1e-6


class Report:
    def __init__(self):
        self.figures = []

    def figure(self, key, label, value, unit, goal=None, note=""):
        """One figure; `goal` is (operator, limit, its text) or None."""
        if value is None:
            self.figures.append({"name": key, "label": label, "value": None, "unit": unit,
                                 "goal": goal_record(goal), "pass": False if goal else None,
                                 "note": "not measured"})
            print(f"{label:<50} {'--':>10}      (not measured)")
            return
        passed = None
        if goal:
            op, limit, _ = goal
            passed = value <= limit if op == "<=" else value >= limit
        self.figures.append({"name": key, "label": label, "value": round(value, 4), "unit": unit,
                             "goal": goal_record(goal), "pass": passed, "note": note})
        verdict = "" if passed is None else ("  PASS" if passed else "  FAIL")
        goal_text = f"  goal {goal[2]}" if goal else ""
        note_text = f"  ({note})" if note else ""
        print(f"{label:<50} {value:10.2f} {unit:<5}{note_text}{goal_text}{verdict}")

    def all_met(self):
        return all(f["pass"] for f in self.figures if f["pass"] is not None)


def goal_record(goal):
    if not goal:
        return None
    op, limit, text = goal
    return {"operator": op, "limit": round(limit, 4), "text": text}


def transfer_figures(report, t):
    triple = t.run("BM_LinuxOpenIoctlClose")
    triple_us = micros(triple) if triple else None
    report.figure("linux_open_ioctl_close", "Linux open+ioctl+close /dev/null", triple_us, "us")
    for size, label in ((1, "1 byte"), (1024, "1024 bytes")):
        run = t.run(f"BM_UsbWrite/{size}")
        value = micros(run) if run else None
        goal = ("<=", 2 * triple_us, f"<= 2 x open/ioctl/close = {2 * triple_us:.2f} us") if triple_us else None
        note = f"{value / triple_us:.2f} x open/ioctl/close" if value and triple_us else ""
        report.figure(f"usb_write_{size}", f"USB_Write, {label}", value, "us", goal, note)

    name = "BM_DownloadChunk/iterations:20000/repeats:5/real_time"
    median = t.aggregate(name, "median")
    minimum = t.aggregate(name, "min")
    report.figure("download_chunk_median", "download, software cost per 1024-byte chunk",
                  micros(median) if median else None, "us", ("<=", 3.0, "<= 3 us"),
                  "median of 5 runs of 20000 chunks")
    report.figure("download_chunk_min", "download chunk, fastest of the 5 runs",
                  micros(minimum) if minimum else None, "us")
    report.figure("download_chunk_sleeps", "download chunk, threads put to sleep per chunk",
                  median.get("sleeps_per_chunk") if median else None, "", None,
                  "voluntary context switches; a wake for nothing shows here")

    rates = {}
    for separate in (0, 1):
        for threads in (1, 2, 8):
            run = t.run(f"BM_UsbWriteThreads/separate_instruments:{separate}/real_time/threads:{threads}")
            rate = run["items_per_second"] / 1000 if run else None
            rates[(separate, threads)] = rate
            where = "separate instruments" if separate else "one instrument"
            report.figure(f"usb_write_threads_{threads}_{'separate' if separate else 'same'}",
                          f"USB_Write 1024 B, {threads} thread{'s' if threads > 1 else ''}, {where}", rate,
                          "k/s")
    one, two = rates[(1, 1)], rates[(1, 2)]
    report.figure("usb_write_scaling_2_separate", "USB_Write throughput, 2 threads / 1 thread",
                  two / one if one and two else None, "x", (">=", 1.6, ">= 1.6 x"),
                  "2 threads on 2 instruments")

    tick = t.run("BM_IdlePollTick/iterations:400/real_time")
    median_ms = tick.get("median_ms") if tick else None
    p90_ms = tick.get("p90_ms") if tick else None
    report.figure("idle_poll_tick_median", "console idle poll tick, median", median_ms, "ms",
                  ("<=", 2.10, "<= 2.10 ms"), f"{median_ms / 2.0:.3f} x 2.0 ms" if median_ms else "")
    report.figure("idle_poll_tick_p90", "console idle poll tick, 90th percentile", p90_ms, "ms", None,
                  f"{p90_ms / 2.0:.3f} x 2.0 ms" if p90_ms else "")

    for count in (1, 16):
        run = t.run(f"BM_DiscoveryScan/instruments:{count}")
        goal = ("<=", 10.0, "<= 10 us") if count == 16 else None
        note = f"{int(run['findable'])} of {int(run['attached'])} findable" if run else ""
        report.figure(f"discovery_scan_{count}", f"discovery scan, {count} instrument{'s' if count > 1 else ''}",
                      micros(run) if run else None, "us", goal, note)

    for waiting, label in ((1, "answer ready"), (0, "idle channel, 1 ms wait")):
        run = t.run(f"BM_ReadInterrogative/answer_waiting:{waiting}/real_time")
        report.figure(f"read_interrogative_{'ready' if waiting else 'idle'}", f"interrogative read, {label}",
                      micros(run) if run else None, "us")

    download = t.run("BM_Download16MiB/iterations:3")
    mbps = download["bytes_per_second"] / 1e6 if download else None
    report.figure("download_16mib", "16 MiB download", mbps, "MB/s", None,
                  f"{1024 / mbps:.2f} us per 1024-byte chunk, waits included" if mbps else "")


def iso_figures(report, iso):
    for name, run in iso.runs.items():
        args = name.split("/")[1:4]
        label = "iso stream " + " ".join(a.split(":")[1] for a in args)
        key = "iso_" + "_".join(a.split(":")[1] for a in args)
        note = (f"{int(run['received_packets'])} packets received, {int(run['dropped_packets'])} dropped "
                f"({run['dropped_pct']:.1f}%), ring {run['ring_ms']:.0f} ms, "
                f"{run['of_ceiling_pct']:.0f}% of the 8.192 MB/s ceiling")
        report.figure(key, label, run["MBps"], "MB/s", None, note)
        report.figure(key + "_dropped_pct", label + ", dropped", run["dropped_pct"], "%")


def service_figures(report, s):
    socket = s.run("BM_UnixSocketRoundTrip/real_time")
    socket_us = micros(socket) if socket else None
    report.figure("unix_socket_round_trip", "Unix socket round trip (processes)", socket_us, "us")
    nop = s.run("BM_ServiceNop/real_time")
    nop_us = micros(nop) if nop else None
    report.figure("service_nop", "NOP through tavrind", nop_us, "us",
                  ("<=", 2 * socket_us, f"<= 2 x socket round trip = {2 * socket_us:.2f} us") if socket_us else None,
                  f"{nop_us / socket_us:.2f} x the socket round trip" if nop_us and socket_us else "")
    for size in (1, 1024):
        run = s.run(f"BM_ServiceUsbWrite/{size}/real_time")
        report.figure(f"service_usb_write_{size}", f"USB_Write through tavrind, {size} B",
                      micros(run) if run else None, "us", ("<=", 30.0, "<= 30 us"))


def gateway_figures(report, g):
    p50 = {}
    for vxi11, transport in ((0, "raw socket"), (1, "VXI-11")):
        run = g.run(f"BM_GatewayIdentity/vxi11:{vxi11}/iterations:2000/real_time")
        p50[vxi11] = run["p50_us"] if run else None
    raw, vxi = p50[0], p50[1]
    report.figure("gateway_idn_vxi11_p50", "gateway *IDN?, VXI-11, median", vxi, "us")
    report.figure("gateway_idn_raw_p50", "gateway *IDN?, raw socket, median", raw, "us",
                  ("<=", vxi, f"<= VXI-11 = {vxi:.2f} us") if vxi else None,
                  f"{raw / vxi:.2f} x VXI-11" if raw and vxi else "")
    for vxi11, transport in ((0, "raw socket"), (1, "VXI-11")):
        run = g.run(f"BM_GatewayEcho4KiB/vxi11:{vxi11}/iterations:1000/real_time")
        key = "raw" if vxi11 == 0 else "vxi11"
        report.figure(f"gateway_echo_4kib_{key}_p50", f"gateway 4 KiB ECHO, {transport}, median",
                      run["p50_us"] / 1000 if run else None, "ms", ("<=", 2.0, "<= 2 ms"),
                      f"99th percentile {run['p99_us'] / 1000:.2f} ms" if run else "")
    run = g.run("BM_GatewayLockingClients/iterations:1/real_time")
    note = (f"{int(run['locked_queries'])} locked queries and {int(run['raw_queries'])} raw socket queries "
            f"({int(run['raw_refused'])} refused) in {int(run['seconds'])} s" if run else "")
    report.figure("gateway_locking_wrong", "gateway, 20 locking clients + 4 raw: wrong answers",
                  run["wrong"] if run else None, "", ("<=", 0, "0"), note)
    report.figure("gateway_locking_p50", "gateway, locked query (lock..unlock), median",
                  run["p50_ms"] if run else None, "ms")
    report.figure("gateway_locking_p99", "gateway, locked query (lock..unlock), 99th pct",
                  run["p99_ms"] if run else None, "ms", ("<=", 5.0, "<= 5 ms"))
    report.figure("gateway_locking_held_p99", "gateway, query while the lock is held, 99th pct",
                  run["held_p99_ms"] if run else None, "ms", None,
                  f"median {run['held_p50_ms']:.3f} ms" if run else "")


def service_load_figures(report, s):
    def counter(run, name):
        return run.get(name) if run else None

    def returned(key, label, run):
        rss = counter(run, "rss_after_x_baseline")
        report.figure(key + "_rss_after", label + ": RSS after, x baseline", rss, "x", ("<=", 1.5, "<= 1.5 x"),
                      f"baseline {counter(run, 'baseline_rss_mb'):.1f} MB" if rss is not None else "")
        threads = counter(run, "threads_over_baseline")
        fds = counter(run, "fds_over_baseline")
        report.figure(key + "_threads_after", label + ": threads after, over baseline", threads, "", ("<=", 0, "<= 0"))
        report.figure(key + "_fds_after", label + ": descriptors after, over baseline", fds, "", ("<=", 0, "<= 0"))

    idle = s.run("BM_IdleConnections/9999/iterations:1/real_time")
    report.figure("service_idle_rss", "tavrind RSS, 9,999 idle connections", counter(idle, "rss_mb"), "MB",
                  ("<=", 100.0, "<= 100 MB"),
                  f"{counter(idle, 'service_threads'):.0f} threads" if counter(idle, "service_threads") else "")
    report.figure("service_idle_new_query", "new client's first answer meanwhile (slowest of 20)",
                  counter(idle, "new_client_query_ms"), "ms", ("<=", 5.0, "<= 5 ms"))
    returned("service_idle", "idle connections", idle)
    shared = s.run("BM_SharedChannelClients/2000/iterations:1/real_time")
    report.figure("service_shared_rss", "tavrind RSS, 2,000 shared-channel clients", counter(shared, "rss_mb"), "MB",
                  ("<=", 150.0, "<= 150 MB"))
    returned("service_shared", "shared-channel clients", shared)
    killed = s.run("BM_KilledClientCleanup/1000/iterations:1/real_time")
    report.figure("service_killed_cleanup", "client killed with 1,000 in flight, cleaned up",
                  counter(killed, "cleanup_ms"), "ms", ("<=", 100.0, "<= 100 ms"))
    returned("service_killed", "killed client", killed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--transfer", required=True)
    parser.add_argument("--iso")
    parser.add_argument("--service")
    parser.add_argument("--service-load")
    parser.add_argument("--gateway")
    parser.add_argument("--json", dest="out")
    args = parser.parse_args()

    report = Report()
    transfer_figures(report, Results(args.transfer))
    if args.iso:
        print("isochronous streaming (per_transfer in_flight ring_packets):")
        iso_figures(report, Results(args.iso))
    if args.service:
        service_figures(report, Results(args.service))
    if args.service_load:
        service_load_figures(report, Results(args.service_load))
    if args.gateway:
        gateway_figures(report, Results(args.gateway))
    met = report.all_met()
    print(f"goals: {'all met' if met else 'NOT all met'}")
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"figures": report.figures, "all_goals_met": met}, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
