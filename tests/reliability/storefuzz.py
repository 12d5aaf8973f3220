#!/usr/bin/python3
"""Store fuzzer: patrold started on stores full of hostile guard tour
parameters must run and exit in order every time.

Each round writes a fresh store (seeded): a few tours, every parameter kind
(Name, CamNbr, RandomEnabled, TimeBetweenSequences, Running and the points'
PresetNbr, Position, MoveSpeed, WaitTime, WaitTimeViewType) either sane or
hostile (empty, blanks, huge and negative numbers, 2^31 and beyond, 10 kB
texts, non-ASCII, control characters and line breaks, "Minutes" in odd
cases), parameters and whole points left out, stray groups under
root.RezazErar and under tours, and some tours with Running "yes" so that
start-up recovery works on them. patrold is started on it with ptz-sim
running, driven (play, pause, resume, stop of every tour id present and a
few absent, block and unblock), left to step its tours for a moment, and
sent SIGTERM. It must exit 0 with "Exiting..." as its last log line and no
GLib "assertion", "ERROR" or "CRITICAL" text on stderr.
"""
import argparse
import json
import re
import shutil
import sys
import time

import reliability_rig as rr
from reliability_rig import INT32_MAX, INT32_MIN

TOUR_TEXT = ("Name", "RandomEnabled", "Running")
TOUR_INT = ("CamNbr", "TimeBetweenSequences")
POINT_INT = ("PresetNbr", "Position", "MoveSpeed", "WaitTime")
POINT_TEXT = ("WaitTimeViewType",)

HOSTILE = (
    "", " ", "   ", "\t", "0", "-0", "-1", "-10", str(INT32_MIN), str(INT32_MAX),
    str(2**31), str(-2**31 - 1), str(2**32), "9" * 40, "-" + "9" * 40, "1e3",
    "0x10", "+5", " 7", "7 ", "12abc", "abc", "yes", "no", "Yes", "YES",
    "Minutes", "minutes", "MINUTES", "Seconds", "yes no", "A" * 10240,
    "7" * 10240, "Grüße", "日本語のツアー", "\u202eyes", "\x01\x02\x7f", "\r",
    "yes\nno", "%s%s%n%x", "\\", "=", "G1.CamNbr=1", "3.5", "-3.5", "１２",
)
SANE = {
    "Name": lambda r, i: f"Tour {i}",
    "CamNbr": lambda r, i: str(r.randint(1, 8)),
    "RandomEnabled": lambda r, i: r.choice(["yes", "no"]),
    "TimeBetweenSequences": lambda r, i: "0",
    "Running": lambda r, i: r.choice(["yes", "no", "no"]),
    "PresetNbr": lambda r, i: str(r.randint(1, 32)),
    "Position": lambda r, i: str(i),
    "MoveSpeed": lambda r, i: str(r.randint(1, 100)),
    "WaitTime": lambda r, i: str(r.randint(0, 1)),
    "WaitTimeViewType": lambda r, i: "Seconds",
}
# (The store itself refuses names with blanks, so "G 5" cannot occur.)
STRAY_ROOT = ("Settings", "G", "Gx", "G-1", "T3", "G2147483648", "G07",
              "G5x", "g6", "G99999999999", "Ｇ1")
STRAY_TOUR = ("Tx", "T-1", "Settings", "T99999999999", "T", "t2")


class Round:
    def __init__(self, r, hostile_rate):
        self.r = r
        self.rate = self.base_rate = hostile_rate
        self.pairs = []
        self.hostile = 0

    def value(self, leaf, index):
        if self.r.random() < self.rate:
            self.hostile += 1
            roll = self.r.random()
            if roll < 0.75:
                return self.r.choice(HOSTILE)
            if roll < 0.9:
                return str(self.r.randint(-2**40, 2**40))
            return "".join(chr(self.r.randint(1, 0x2FFF)) for _ in range(self.r.randint(1, 40)))
        return SANE[leaf](self.r, index)

    def put(self, name, leaf, index):
        # A left-out parameter is as hostile as a wrong one.
        if self.r.random() < self.rate / 6:
            self.hostile += 1
            return
        self.pairs.append(f"{name}.{leaf}={self.value(leaf, index)}")

    def tour(self, tour_id):
        # Some tours are sane or nearly so: they play, and their engines
        # step beside the broken ones.
        self.rate = self.r.choice([0.0, 0.05, self.base_rate, self.base_rate * 1.5])
        base = f"root.RezazErar.G{tour_id}"
        for leaf in TOUR_TEXT + TOUR_INT:
            self.put(base, leaf, tour_id)
        for m in range(self.r.randint(0, 4)):
            point = f"{base}.Tour.T{m}"
            for leaf in POINT_INT + POINT_TEXT:
                self.put(point, leaf, m)
        if self.r.random() < self.rate:
            self.hostile += 1
            stray = self.r.choice(STRAY_TOUR)
            where = self.r.choice([f"{base}.Tour.{stray}", f"{base}.{stray}"])
            self.pairs.append(f"{where}.PresetNbr={self.value('PresetNbr', 0)}")

    def stray_root(self):
        self.hostile += 1
        group = self.r.choice(STRAY_ROOT)
        leaf = self.r.choice(TOUR_TEXT + TOUR_INT)
        self.pairs.append(f"root.RezazErar.{group}.{leaf}={self.value(leaf, 1)}")


def write_store(rig, pairs):
    """paramctl set, all pairs in one transaction; a pair the store refuses
    is dropped and the rest written one by one. Returns pairs refused."""
    if rig.paramctl.run("set", *pairs).returncode == 0:
        return 0
    refused = 0
    for pair in pairs:
        if rig.paramctl.run("set", pair).returncode != 0:
            refused += 1
    return refused


def tour_ids(rig):
    ids = set()
    for name in rig.listing():
        m = re.match(r"root\.RezazErar\.G(-?\d+)\.", name)
        if m:
            ids.add(int(m.group(1)))
    return ids


def drive(daemon, ids, r):
    """Every request kind for every id, plus absent ones; returns calls made."""
    calls = 0
    targets = sorted(ids | {max(ids, default=0) + 1, 10**6, -1, INT32_MAX})
    for tour_id in targets:
        if not INT32_MIN <= tour_id <= INT32_MAX:
            continue
        for request in (daemon.play, daemon.pause, daemon.resume):
            request(tour_id)
            calls += 1
    for camera in r.sample(range(1, 9), 3):
        daemon.block(camera)
        daemon.unblock(camera)
        calls += 2
    daemon.set_running("yes", "G%d" % r.choice(targets))
    calls += 1
    return calls


def finish(daemon, ids):
    calls = 0
    for tour_id in sorted(ids):
        if INT32_MIN <= tour_id <= INT32_MAX:
            daemon.stop_tour(tour_id)
            calls += 1
    return calls


def fuzz(seed=1, rounds=3, build_dir=None, tours_per_round=(2, 6),
         hostile_rate=0.4, step_seconds=0.5):
    r = rr.rng(seed)
    figures = {"seed": seed, "rounds": 0, "hostile_values": 0, "values_written": 0,
               "values_refused_by_store": 0, "starts": 0, "clean_exits": 0,
               "requests": 0, "gotos_sent": 0}
    failures = []
    started = time.monotonic()
    with rr.Rig(build_dir) as rig:
        rig.start_sim()
        for number in range(rounds):
            rig.use_store(rig.workdir / f"store-{number}.db")
            plan = Round(r, hostile_rate)
            for tour_id in r.sample(range(0, 40), r.randint(*tours_per_round)):
                plan.tour(tour_id)
            for _ in range(r.randint(0, 2) if r.random() < 0.5 else 0):
                plan.stray_root()
            refused = write_store(rig, plan.pairs)
            figures["rounds"] += 1
            figures["hostile_values"] += plan.hostile
            figures["values_written"] += len(plan.pairs) - refused
            figures["values_refused_by_store"] += refused
            try:
                daemon = rig.start_daemon()
            except RuntimeError as failure:
                failures.append(f"round {number}: {failure}")
                continue
            figures["starts"] += 1
            ids = tour_ids(rig)
            figures["requests"] += drive(daemon, ids, r)
            time.sleep(step_seconds)  # the tick steps whatever did start
            figures["gotos_sent"] += sum(c["calls"].get("GotoPresetNumber", 0)
                                         for c in rig.sim.state()["cameras"])
            rig.sim.control("Reset")
            figures["requests"] += finish(daemon, ids)
            if not daemon.answers():
                failures.append(f"round {number}: no answer after the requests")
            status, problems = rr.stop_cleanly(daemon)
            if problems:
                kept = f"/tmp/patrold-storefuzz-seed{seed}-round{number}.db"
                shutil.copyfile(rig.store, kept)
                failures.append(f"round {number} (store kept as {kept}): {problems}")
            else:
                figures["clean_exits"] += 1
    figures["seconds"] = round(time.monotonic() - started, 1)
    if failures:
        raise AssertionError("store fuzz seed %d:\n  %s\nfigures %s"
                             % (seed, "\n  ".join(failures), json.dumps(figures)))
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--build-dir", default=None)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    return rr.report(lambda: fuzz(args.seed, args.rounds, args.build_dir), args.json)


if __name__ == "__main__":
    sys.exit(main())
