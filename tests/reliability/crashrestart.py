#!/usr/bin/python3
"""Crash and restart, and a burst of contradicting requests.

cycles: 8 tours on cameras 1..8 are playing (every head tours); patrold is
killed with SIGKILL (no shutdown code runs) and started again, again and
again. After each kill the store passes SQLite's integrity check, and after
each start all 8 tours are still Running "yes" and every head tours again.

burst: 1,000 alternating play/stop requests for one tour, sent without
waiting for replies; once the daemon has settled, Running equals the last
request (checked ending on a stop, then on a play, whose head must tour).
"""
import argparse
import os
import signal
import sqlite3
import sys
import time

import reliability_rig as rr
from reliability_rig import IFACE_TOUR, OBJECT, SERVICE, variant, wait_until

CAMERAS = range(1, 9)


def eight_tours():
    lines = []
    for camera in CAMERAS:
        lines += rr.tour_lines(camera, camera, presets=(camera, camera + 1, camera + 2))
    return lines


def all_touring(sim, timeout=20.0):
    """Every head reaches two more presets of its own tour within `timeout`."""
    before = {c["camera"]: len(c["history"]) for c in sim.state()["cameras"]}

    def touring():
        cams = {c["camera"]: c["history"] for c in sim.state()["cameras"]}
        return all(len(cams[c]) >= before[c] + 2 for c in CAMERAS)

    if not wait_until(touring, timeout):
        return False
    cams = {c["camera"]: c["history"] for c in sim.state()["cameras"]}
    return all(set(cams[c][before[c]:]) <= {c, c + 1, c + 2} for c in CAMERAS)


def integrity(store):
    with sqlite3.connect(f"file:{store}?mode=ro", uri=True, timeout=10) as db:
        return db.execute("PRAGMA integrity_check").fetchone()[0]


def crash_cycles(rig, cycles):
    """Returns the figures; raises AssertionError on the first broken promise."""
    rig.seed(eight_tours())
    daemon = rig.start_daemon()
    for camera in CAMERAS:
        daemon.play(camera)
    assert all(rig.paramctl.wait_running(c, "yes") for c in CAMERAS)
    assert all_touring(rig.sim), "the 8 tours did not start touring"
    for cycle in range(1, cycles + 1):
        os.kill(daemon.pid, signal.SIGKILL)
        daemon.proc.wait(timeout=10)
        check = integrity(rig.store)
        assert check == "ok", f"cycle {cycle}: integrity_check says {check!r}"
        rig.sim.control("Reset")
        daemon = rig.start_daemon()
        running = [rig.paramctl.running(c) for c in CAMERAS]
        assert running == ["yes"] * 8, f"cycle {cycle}: Running after restart {running}"
        assert all_touring(rig.sim), f"cycle {cycle}: not every head tours after restart"
    status, problems = rr.stop_cleanly(daemon)
    assert not problems, problems
    return {"crash_restart_cycles": cycles, "integrity_checks_ok": cycles}


def burst(rig, requests=1000):
    """Requests alternate play/stop of tour 1, play first; `requests` odd ends
    on a play. Returns the figures."""
    rig.seed(rr.tour_lines(1, 1, presets=(1, 2, 3)))
    daemon = rig.start_daemon()
    results = {}
    for count in (requests, requests + 1):
        for n in range(count):
            method = "PlayPresetTour" if n % 2 == 0 else "StopPresetTour"
            rig.sender.call(SERVICE, OBJECT, IFACE_TOUR, method, variant("(i)", (1,)))
        rig.sender.flush()
        last = "yes" if count % 2 == 1 else "no"
        assert daemon.answers(), "patrold does not answer after the burst"
        # A reply only says the request was queued. Settled means: Running
        # and the coordinator calls the requests cause (a Queue per play
        # and stop) have not changed for a while.
        value = settled_running(rig, timeout=60)
        assert value == last, f"after {count} requests ending in {last!r}: Running {value!r}"
        results[count] = value
    rig.sim.control("Reset")
    assert rig.sim.wait_history(1, 2), "the last play did not make the head tour"
    status, problems = rr.stop_cleanly(daemon)
    assert not problems, problems
    return {"burst_requests": sum(results.keys()), "burst_final_running": results}


def settled_running(rig, timeout, quiet=1.5):
    def snapshot():
        return rig.paramctl.running(1), rig.sim.camera(1)["calls"].get("Queue", 0)

    previous, since = snapshot(), time.monotonic()
    deadline = since + timeout
    while time.monotonic() < deadline:
        time.sleep(0.25)
        current = snapshot()
        if current != previous:
            previous, since = current, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return current[0]
    raise AssertionError(f"the burst had not settled after {timeout} s")


def run(cycles=5, requests=1000, build_dir=None):
    started = time.monotonic()
    with rr.Rig(build_dir) as rig:
        rig.start_sim()
        figures = crash_cycles(rig, cycles)
    with rr.Rig(build_dir) as rig:
        rig.start_sim()
        figures.update(burst(rig, requests))
    figures["seconds"] = round(time.monotonic() - started, 1)
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=5)
    parser.add_argument("--requests", type=int, default=1000)
    parser.add_argument("--build-dir", default=None)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    return rr.report(lambda: run(args.cycles, args.requests, args.build_dir), args.json, "crash/restart: ")


if __name__ == "__main__":
    sys.exit(main())
