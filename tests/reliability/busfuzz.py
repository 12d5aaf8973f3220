#!/usr/bin/python3
"""Bus fuzzer: thousands of valid and invalid requests and platform events
against a running patrold, then the invariants of a correct daemon.

What is sent (seeded, counted): every method of com.vorn.PresetTour,
com.vorn.PresetTourConfhub and com.vorn.PresetTourController with tour and
camera ids from the store, absent ids and extreme integers; odd texts for
SetPresetTourRunning; wrong signatures, unknown members, interfaces and
paths; com.vorn.PTZ.Events ControlChanged/PresetReached/HeadMoving for
random cameras and bodies; DriverUninstalled with mostly invalid camera ids
(a valid one really deletes that camera's tours, so it is rare, and the
deleted tours are put back, Running "no", every thousand messages and
before the end checks); and now
and then another client taking and releasing a head in ptz-sim. Almost
everything goes out without waiting for a reply; every `--sync-every`
messages one synchronous call proves the daemon still answers and keeps the
bus backlog bounded.

Settling. The fuzz leaves conditions that are correct yet hide a playing
tour: a head taken by another client, blocked cameras, a hold (a control
event naming someone else holds a camera's tour, even one played later,
until "Rezazerar" is named), a paused tour (Running stays "yes"), and a
HeadMoving 1 never followed by 0 (the engine then waits up to its 60 s goto
limit). So the fuzzer restores the truth the way the platform would:
releases the clients it put in ptz-sim's queues, unblocks cameras 1..8,
names "Rezazerar" and reports every head still, and resumes every tour in
the store. Then a synchronous round trip, and the store is polled (bounded)
until no Running value changes any more.

Invariants checked afterwards:
  I1 patrold is alive and answers: Introspect, and (last, since a block
     stops the camera's tour) BlockPlayback/Unblock round trips on every
     camera.
  I2 Among the addressable tours (group G<n>, n >= 0) whose CamNbr reads
     1..8, each camera has at most one Running "yes".
  I3 A tour the daemon cannot play (no points or settings, CamNbr
     unreadable or out of range) never becomes "yes": its Running is its
     seeded value or "no"; a group that cannot be addressed by tour id
     ("G-1") keeps its seeded Running exactly.
  I4 Every camera with a "yes" tour plays it: after ptz-sim's history is
     cleared, the head reaches at least two presets within a bound, all of
     them presets of that tour.
  I5 No other camera's head is driven: over the same window it reaches no
     preset, and "Rezazerar" is not in its control queue. (A playing tour
     need not be in the queue: a resume after a pause does not enter it
     again, so I4 looks at the head, not the queue.)
  I6 No state is lost: a seeded group is missing only if a valid
     DriverUninstalled named its camera during the fuzz, and no
     group is left without its CamNbr (a Running written into a group that
     was being deleted).
"""
import argparse
import json
import re
import sys
import time

import reliability_rig as rr
from reliability_rig import (INT32_MAX, INT32_MIN, IFACE_CONFHUB,
                             IFACE_CONTROLLER, IFACE_TOUR, OBJECT, SERVICE,
                             variant, wait_until)

CAMERAS = range(1, 9)
TOUR_METHODS = ("PlayPresetTour", "StopPresetTour", "PausePresetTour",
                "ResumePresetTour")
CONTROL_METHODS = ("BlockPlayback", "UnblockPlayback")
ODD_RUNNING = ("yes", "no", "YES", "Yes", "", "maybe", " yes", "yes ", "no\n",
               "ja", "x" * 5000, "jä", "\u202eyes")
ODD_GROUPS = ("G", "G-1", "G2147483648", "G-2147483649", "G 7", "\tG3", "G0",
              "g11", "Gx", "G11x", "G99", "", "G" + "9" * 400, "GÖ", "G\x01",
              "11", "G+12")
CLIENTS = ("Rezazerar", "Recordedtour", "", "Operator", "rezazerar",
           "x" * 3000, "Bediener\u00e4", "Rezazerar\x01")
EXTREME_INTS = (0, -1, -10, INT32_MIN, INT32_MAX, INT32_MIN + 1, 9, 10, 100,
                65536, 2**30)
OTHER_CLIENTS = ("Operator", "Recordedtour")


# --- the store ---------------------------------------------------------------

def valid_tours():
    """{tour id: (camera, presets)}: three tours per camera with presets
    disjoint within a camera, so the head tells which tour drives it; tour 0
    on camera 8 (every unparsable group text means tour 0)."""
    tours = {}
    for camera in CAMERAS:
        for k in range(3):
            tours[10 * camera + k] = (camera, tuple(range(3 * k + 1, 3 * k + 4)))
    tours[0] = (8, (10, 11))
    return tours


def seed_lines(running):
    """The first store: running is {tour id: "yes"/"no"} for the valid
    tours. Broken and stray groups follow."""
    lines = []
    for tour_id, (camera, presets) in valid_tours().items():
        lines += rr.tour_lines(tour_id, camera, presets, running=running[tour_id])
    lines += broken_lines()
    return lines


# id: (lines, seeded Running); broken on purpose, each in another way. No
# group here fails the scan of "G%d" ("Settings", "Gx"): one such group hides
# every tour from the daemon, by design, and the store fuzzer covers it.
def _broken():
    b = "root.RezazErar"
    no_settings = [ln for ln in rr.tour_lines(91, 2, running="no")
                   if ".TimeBetweenSequences=" not in ln]
    no_camnbr = [ln for ln in rr.tour_lines(92, 3, running="yes")
                 if ".CamNbr=" not in ln]
    return {
        90: (rr.tour_lines(90, 1, presets=(), running="no"), "no"),
        91: (no_settings, "no"),
        92: (no_camnbr, "yes"),
        93: (rr.tour_lines(93, 9, running="yes"), "yes"),
        94: (rr.tour_lines(94, 0, running="yes"), "yes"),
        95: (rr.tour_lines(95, "abc", running="yes"), "yes"),
        96: (rr.tour_lines(96, -3, running="yes"), "yes"),
        97: (rr.tour_lines(97, INT32_MAX, running="no"), "no"),
        "G-1": ([f"{b}.G-1.CamNbr=2", f"{b}.G-1.Running=yes",
                 f"{b}.G-1.Tour.T0.PresetNbr=1"], "yes"),
    }


BROKEN = _broken()


def broken_lines():
    return [line for lines, _ in BROKEN.values() for line in lines]


def parse_store(listing):
    """{group: {leaf: value}} for the direct children of root.RezazErar."""
    groups = {}
    for name, value in listing.items():
        parts = name.split(".")
        if len(parts) >= 4:
            groups.setdefault(parts[2], {})[".".join(parts[3:])] = value
    return groups


def addressable(group):
    m = re.fullmatch(r"G(\d+)", group)
    return int(m.group(1)) if m and int(m.group(1)) <= INT32_MAX else None


def camera_of(params):
    value = params.get("CamNbr")
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


# --- the fuzz ------------------------------------------------------------------

class Fuzzer:
    def __init__(self, rig, seed):
        self.rig = rig
        self.r = rr.rng(seed)
        self.s = rig.sender
        self.counts = {}
        # Cameras named by a valid DriverUninstalled at any time: a reseed
        # may land before the daemon has worked off the deletion itself.
        self.uninstalled = set()
        self.taken = set()         # (camera, client) put at the head in ptz-sim
        self.reseeds = 0
        self.tour_ids = sorted(valid_tours()) + [i for i in BROKEN if isinstance(i, int)]
        self.ops = [  # (weight, operation)
            (30, self.tour_call), (12, self.set_running), (8, self.control_call),
            (8, self.wrong_signature), (5, self.unknown_call),
            (12, self.control_changed), (10, self.preset_or_moving),
            (4, self.event_wrong_body), (4, self.driver_uninstalled_invalid),
            (0.08, self.driver_uninstalled_valid), (1.5, self.take_or_release),
        ]
        self.weights = [w for w, _ in self.ops]

    def count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def some_int(self):
        roll = self.r.random()
        if roll < 0.6:
            return self.r.choice(self.tour_ids)
        if roll < 0.8:
            return self.r.choice(EXTREME_INTS)
        return self.r.randint(INT32_MIN, INT32_MAX)

    def some_camera(self):
        return self.r.choice(list(CAMERAS)) if self.r.random() < 0.7 \
            else self.r.choice(EXTREME_INTS)

    def call(self, iface, method, body, path=OBJECT, dest=SERVICE):
        self.s.call(dest, path, iface, method, body)

    # operations
    def tour_call(self):
        method = self.r.choice(TOUR_METHODS)
        self.count(method)
        self.call(IFACE_TOUR, method, variant("(i)", (self.some_int(),)))

    def set_running(self):
        running = self.r.choice(ODD_RUNNING)
        roll = self.r.random()
        if roll < 0.5:
            group = f"G{self.r.choice(self.tour_ids)}"
        else:
            group = self.r.choice(ODD_GROUPS)
        self.count("SetPresetTourRunning")
        self.call(IFACE_CONFHUB, "SetPresetTourRunning", variant("(ss)", (running, group)))

    def control_call(self):
        method = self.r.choice(CONTROL_METHODS)
        self.count(method)
        self.call(IFACE_CONTROLLER, method, variant("(i)", (self.some_camera(),)))

    def wrong_signature(self):
        iface, method = self.r.choice(
            [(IFACE_TOUR, m) for m in TOUR_METHODS]
            + [(IFACE_CONTROLLER, m) for m in CONTROL_METHODS]
            + [(IFACE_CONFHUB, "SetPresetTourRunning")])
        body = self.r.choice([
            None, variant("(s)", ("1",)), variant("(x)", (2**40,)),
            variant("(t)", (2**64 - 1,)), variant("(u)", (2**32 - 1,)),
            variant("(ii)", (1, 1)), variant("(is)", (1, "yes")),
            variant("(ss)", ("yes", "G11")), variant("(sss)", ("yes", "G11", "x")),
            variant("(d)", (1e308,)), variant("(ai)", ([1, 2, 3],)),
            variant("(v)", (variant("i", 1),)), variant("(y)", (255,)),
            variant("(b)", (True,)), variant("(s)", ("",)), variant("(n)", (-1,))])
        self.count("wrong signature")
        self.call(iface, method, body)

    def unknown_call(self):
        kind = self.r.randrange(5)
        self.count("unknown member/interface/path")
        if kind == 0:
            self.call(IFACE_TOUR, self.r.choice(["DeleteTour", "playPresetTour", "X"]),
                      variant("(i)", (1,)))
        elif kind == 1:
            self.call("com.vorn.Nothing", "PlayPresetTour", variant("(i)", (11,)))
        elif kind == 2:
            self.call(IFACE_TOUR, "PlayPresetTour", variant("(i)", (11,)),
                      path="/com/vorn/PresetTour/1")
        elif kind == 3:
            self.call("org.freedesktop.DBus.Properties", "GetAll",
                      variant("(s)", (IFACE_TOUR,)))
        else:
            self.call("org.freedesktop.DBus.Peer", "Ping", None)

    def control_changed(self):
        self.count("ControlChanged")
        self.s.signal(rr.EVENTS_OBJECT, rr.EVENTS_IFACE, "ControlChanged",
                      variant("(is)", (self.some_camera(), self.r.choice(CLIENTS))))

    def preset_or_moving(self):
        name = self.r.choice(["PresetReached", "HeadMoving"])
        value = self.r.choice([0, 1, 1, -1, 2, INT32_MAX])
        self.count(name)
        self.s.signal(rr.EVENTS_OBJECT, rr.EVENTS_IFACE, name,
                      variant("(ii)", (self.some_camera(), value)))

    def event_wrong_body(self):
        name = self.r.choice(["ControlChanged", "PresetReached", "HeadMoving", "Other"])
        body = self.r.choice([None, variant("(s)", ("x",)), variant("(ii)", (1, 1)),
                              variant("(is)", (1, "Operator")), variant("(si)", ("1", 1)),
                              variant("(iii)", (1, 1, 1)), variant("(x)", (1,))])
        self.count("event wrong body")
        self.s.signal(rr.EVENTS_OBJECT, rr.EVENTS_IFACE, name, body)

    def driver_uninstalled_invalid(self):
        body = self.r.choice([variant("(i)", (c,)) for c in (0, -1, 9, INT32_MAX, INT32_MIN, -10)]
                             + [None, variant("(s)", ("1",)), variant("(ii)", (1, 1)),
                                variant("(u)", (1,))])
        self.count("DriverUninstalled invalid")
        self.s.signal(rr.COORD_OBJECT_1, rr.COORD_IFACE, "DriverUninstalled", body)

    def driver_uninstalled_valid(self):
        camera = self.r.choice(list(CAMERAS))
        self.uninstalled.add(camera)
        self.count("DriverUninstalled valid")
        self.s.signal(rr.COORD_OBJECT_1, rr.COORD_IFACE, "DriverUninstalled",
                      variant("(i)", (camera,)))

    def take_or_release(self):
        camera = self.r.choice(list(CAMERAS))
        client = self.r.choice(OTHER_CLIENTS)
        if (camera, client) in self.taken and self.r.random() < 0.6:
            self.taken.discard((camera, client))
            method = "ReleaseControl"
        else:
            self.taken.add((camera, client))
            method = "TakeControl"
        self.count(f"sim {method}")
        self.s.call(rr.SIM_SERVICE, rr.SIM_OBJECT, rr.SIM_IFACE, method,
                    variant("(is)", (camera, client)))

    # pacing and repair
    def sync_round_trip(self, daemon):
        if not daemon.answers():
            raise AssertionError("patrold stopped answering during the fuzz")
        self.count("synchronous Introspect")

    def reseed_missing(self):
        """Puts back, Running "no", the tours a valid DriverUninstalled
        deleted, so the fuzz keeps every camera busy."""
        groups = parse_store(self.rig.listing())
        lines = []
        for tour_id, (camera, presets) in valid_tours().items():
            if "CamNbr" not in groups.get(f"G{tour_id}", {}):
                lines += rr.tour_lines(tour_id, camera, presets, running="no")
        for key, (blines, _) in BROKEN.items():
            group = key if isinstance(key, str) else f"G{key}"
            if group not in groups:
                lines += [ln.replace("Running=yes", "Running=no") for ln in blines]
        if lines:
            self.rig.seed(lines)
            self.reseeds += 1

    def run(self, daemon, calls, seconds, sync_every=500, reseed_every=1000):
        deadline = time.monotonic() + seconds
        sent = 0
        while sent < calls and time.monotonic() < deadline:
            _, op = self.r.choices(self.ops, weights=self.weights)[0]
            op()
            sent += 1
            if sent % sync_every == 0:
                self.sync_round_trip(daemon)
            if sent % reseed_every == 0 and self.uninstalled:
                self.sync_round_trip(daemon)  # the deletions are done
                self.reseed_missing()
        self.s.flush()
        self.sync_round_trip(daemon)
        return sent


# --- settling and invariants ---------------------------------------------------------

def wait_stable(rig, pick=lambda listing: listing, timeout=30.0, quiet=1.5):
    """Polls the store until `pick` of its listing has not changed for
    `quiet` seconds; returns that listing. The daemon answers every request
    at once and works it off later, so a reply proves nothing about the
    store."""
    previous = pick(rig.listing())
    stable_since = time.monotonic()
    deadline = stable_since + timeout
    while time.monotonic() < deadline:
        time.sleep(0.3)
        current = pick(rig.listing())
        if current != previous:
            previous, stable_since = current, time.monotonic()
        elif time.monotonic() - stable_since >= quiet:
            return current
    raise AssertionError("store still changing %.0f s after the fuzz" % timeout)


def check_losses(rig, fuzzer):
    """I6, before the tours are put back for the end checks."""
    problems = []
    groups = parse_store(wait_stable(rig))
    for tour_id, (camera, _) in valid_tours().items():
        if f"G{tour_id}" not in groups and camera not in fuzzer.uninstalled:
            problems.append(f"I6: G{tour_id} lost without a DriverUninstalled of camera {camera}")
    for group, params in groups.items():
        if "CamNbr" not in params and group != "G92":
            problems.append(f"I6: group {group} left without CamNbr: {params}")
    return problems


def settle(rig, fuzzer, daemon):
    for camera, client in sorted(fuzzer.taken):
        rig.sim.control("ReleaseControl", "(is)", (camera, client))
    fuzzer.taken.clear()
    for camera in CAMERAS:
        daemon.unblock(camera)
        rig.bus.emit(rr.EVENTS_OBJECT, rr.EVENTS_IFACE, "ControlChanged", "(is)",
                     (camera, "Rezazerar"))
        rig.bus.emit(rr.EVENTS_OBJECT, rr.EVENTS_IFACE, "HeadMoving", "(ii)", (camera, 0))
    groups = parse_store(rig.listing())
    for group in groups:
        tour_id = addressable(group)
        if tour_id is not None:
            daemon.resume(tour_id)
    # The last word on half of the cameras is a play, so the end state has
    # tours to check, and the daemon shows it still takes plain requests.
    for camera in CAMERAS:
        present = [t for t, (c, _) in valid_tours().items() if c == camera]
        if fuzzer.r.random() < 0.5:
            daemon.play(fuzzer.r.choice(present))
    assert daemon.answers(), "patrold does not answer after the fuzz"
    wait_stable(rig, lambda listing: {k: v for k, v in listing.items()
                                      if k.endswith(".Running")})


def check_invariants(rig, fuzzer, daemon, window=25.0):
    problems = []
    # I1
    if not daemon.answers():
        problems.append("I1: patrold does not answer Introspect")
    groups = parse_store(rig.listing())

    # I2, I3
    tours = valid_tours()
    playing = {}
    for group, params in groups.items():
        tour_id = addressable(group)
        camera = camera_of(params)
        running = params.get("Running")
        if tour_id is None:
            seeded = BROKEN.get(group, (None, None))[1]
            if running != seeded:
                problems.append(f"I3: {group} Running {running!r}, seeded {seeded!r}")
            continue
        if tour_id not in tours:
            seeded = BROKEN.get(tour_id, (None, None))[1]
            if running not in (seeded, "no"):
                problems.append(f"I3: G{tour_id} cannot play but Running {running!r}")
            continue
        if running == "yes" and camera in CAMERAS:
            playing.setdefault(camera, []).append(tour_id)
    for camera, ids in playing.items():
        if len(ids) > 1:
            problems.append(f"I2: camera {camera} has several tours Running yes: {ids}")

    # I4, I5
    rig.sim.control("Reset")
    want = {camera: set(tours[ids[0]][1]) for camera, ids in playing.items()}
    start = time.monotonic()

    def reached():
        return {c["camera"]: c["history"] for c in rig.sim.state()["cameras"]}

    wait_until(lambda: all(len(reached()[c]) >= 2 for c in want), timeout=window)
    # the idle cameras are watched for a while even when the others are quick
    time.sleep(max(0.0, 3.0 - (time.monotonic() - start)))
    state = {c["camera"]: c for c in rig.sim.state()["cameras"]}
    for camera in CAMERAS:
        history = state[camera]["history"]
        if camera in want:
            if len(history) < 2:
                problems.append(f"I4: camera {camera} (tour {playing[camera][0]}, Running yes) "
                                f"reached {history} within {window:.0f} s")
            elif not set(history) <= want[camera]:
                problems.append(f"I4: camera {camera} reached {history}, tour presets "
                                f"{sorted(want[camera])}")
        else:
            if history:
                problems.append(f"I5: camera {camera} has no tour running but reached {history}")
            if "Rezazerar" in state[camera]["queue"]:
                problems.append(f"I5: camera {camera} has no tour running but Rezazerar is queued")
    for camera in CAMERAS:
        daemon.block(camera)
        daemon.unblock(camera)
    return problems, playing


def initial_running(seed):
    """Recovery gets work too: one tour per camera on half of them, and a
    conflict (two claims, both reset) on one."""
    r = rr.rng(seed ^ 0x5EED)
    running = {tour_id: "no" for tour_id in valid_tours()}
    for camera in r.sample(list(CAMERAS), 4):
        running[10 * camera + r.randrange(3)] = "yes"
    conflict = r.choice(list(CAMERAS))
    running[10 * conflict] = running[10 * conflict + 1] = "yes"
    return running


def fuzz(seed=1, calls=2000, seconds=60.0, build_dir=None, sync_every=500):
    """Runs one fuzz in a private world; returns the figures. Raises
    AssertionError listing every broken invariant."""
    started = time.monotonic()
    with rr.Rig(build_dir) as rig:
        rig.start_sim()
        rig.seed(seed_lines(initial_running(seed)))
        daemon = rig.start_daemon()
        fuzzer = Fuzzer(rig, seed)
        sent = fuzzer.run(daemon, calls, seconds, sync_every=sync_every)
        fuzz_seconds = time.monotonic() - started
        problems = check_losses(rig, fuzzer)
        fuzzer.reseed_missing()
        settle(rig, fuzzer, daemon)
        more, playing = check_invariants(rig, fuzzer, daemon)
        problems += more
        status, exit_problems = rr.stop_cleanly(daemon)
        problems += exit_problems
        figures = {
            "seed": seed, "messages": sent,
            "calls": rig.sender.calls, "signals": rig.sender.signals,
            "by_kind": dict(sorted(fuzzer.counts.items())),
            "reseeds": fuzzer.reseeds, "cameras_playing_at_end": len(playing),
            "fuzz_seconds": round(fuzz_seconds, 1),
            "total_seconds": round(time.monotonic() - started, 1),
            "exit_status": status,
        }
        if problems:
            raise AssertionError("bus fuzz seed %d:\n  %s\nfigures %s"
                                 % (seed, "\n  ".join(problems), json.dumps(figures)))
        return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--calls", type=int, default=20000,
                        help="messages to send (calls and signals)")
    parser.add_argument("--seconds", type=float, default=120.0,
                        help="stop sending after this long, whatever --calls says")
    parser.add_argument("--build-dir", default=None)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args(argv)
    return rr.report(lambda: fuzz(args.seed, args.calls, args.seconds, args.build_dir), args.json)


if __name__ == "__main__":
    sys.exit(main())
