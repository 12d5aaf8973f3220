"""The hostile-value table in the store, then a seeded stream of valid and
invalid calls and events, part of it while another process holds the store's
write lock, part while an operator's schema (an endless view) is planted
under the open store, which is then restored. Invariants: (1) no camera is driven by a tour whose CamNbr or
group number is not exactly an in-range integer; (2) tours 1 and 3, never
named nor their cameras, keep Running; (3) every stored value reads back byte
for byte; (4) a main-loop round trip stays far below the store's 5 s lock
wait; (5) every name and error text on every status surface is bounded and
printable, a name its stored text escaped, whole or cut; (6) an unreadable
Schedule plays and stops nothing: tours 1 and 3 get corruptions of
timetables that would play tour 1 and stop tour 3. Sized by
PATROLD_FUZZ_CALLS, PATROLD_FUZZ_SEED and PATROLD_FUZZ_NAME_BYTES."""
import datetime
import json
import os
import random
import sqlite3
import subprocess
import time

from conftest import (COORD_IFACE, ENDLESS_VIEW, EVENTS_IFACE, EVENTS_OBJECT, IFACE_CONFHUB,
                      IFACE_CONTROLLER, IFACE_TOUR, OBJECT, SERVICE, STATUS_IFACE, STATUS_ROOT,
                      program, tour_lines, wait_until)

CALLS = int(os.environ.get("PATROLD_FUZZ_CALLS", 800))
SEED = int(os.environ.get("PATROLD_FUZZ_SEED", 7))
CHECK_EVERY = 100
# Tens of milliseconds when nothing waits; a checker in front slows it down.
ROUND_TRIP_BOUND_S = 2.5 * (10 if os.environ.get("PATROLD_WRAPPER") else 1)
INT32 = (-2**31, 2**31 - 1)

BYSTANDERS = {1: (1, (9, 10), "no"), 3: (3, (11, 12), "yes")}  # tour: camera, presets, Running
FUZZED = {10 * c + k: (c, (3 * k + 1, 3 * k + 2, 3 * k + 3)) for c in range(5, 9) for k in range(3)}
# The hostile-value table: CamNbr values that are not a camera, and group
# names whose number does not fit in 32 bits.
BAD_CAMERAS = ["0", "9", "-1", "", "abc", "\\n", "\\xff\\xfe1", "2147483648", "-2147483649",
               "9" * 40, "7" * 10240, "4294967297", "4294967299", "-4294967295"]
# The last three and these alias tours or cameras 1 and 3 when cut to 32 bits.
BAD_GROUPS = {"G4294967297": 1, "G4294967299": 3, "G-4294967295": 1, "G2147483648": 2}
# Values of playable tours that the daemon reads and must leave as they are.
ODD_VALUES = [(60, "Name", "a\\nroot.RezazErar.G2.CamNbr=2"), (61, "Name", "Grüße \\\\n"),
              (71, "TimeBetweenSequences", "4294967297"), (80, "Tour.T0.WaitTime", "2147483647"),
              (81, "Tour.T0.PresetNbr", "4294967297"), (70, "Tour.T0.Position", "2147483648")]

# Names as imported: not UTF-8, C0/C1, bidi and line controls, invalid bytes past the bound,
# past the test bus's message limit (1 MB; 40 MB, past a system bus's, at full size).
NAMES = {50: "Caf\\xe9", 51: "\\x1b[2J\\x07\\xc2\\x9b\\xc2\\x9d\\x7f",
         52: "\\xe2\\x80\\xaeevil\\xe2\\x81\\xa6", 62: "\\xff" * 300,
         72: "a\\tb\\xe2\\x80\\xa8c\\xe2\\x80\\x8f",
         82: "\u00e9" * (int(os.environ.get("PATROLD_FUZZ_NAME_BYTES", 1 << 20)) // 2)}
PROPERTIES = "org.freedesktop.DBus.Properties"

PLAYABLE = {**FUZZED, 3: BYSTANDERS[3][:2]}
ALLOWED = {camera: {p for c, presets in PLAYABLE.values() if c == camera for p in presets}
           for camera in range(1, 9)}
TOUR_IDS = [*FUZZED, *range(100, 100 + len(BAD_CAMERAS)), 0, -1, 999, *INT32]
CAMERAS = [5, 6, 7, 8, 0, 9, -1, 10, *INT32]
GROUPS = [f"G{t}" for t in FUZZED] + [*BAD_GROUPS, "G", "", "Gx", "G-5", "\tG50", "G50x",
                                      "G60.Tour", "G" + "9" * 40]
TEXTS = ["yes", "no", "yes", "no", "YES", "", "maybe", " yes", "no\n", "x" * 5000, "\u202eyes"]
CLIENTS = ["Rezazerar", "Recordedtour", "", "Operator", "x" * 3000, "Rezazerar\x01"]
UNINSTALLS = [(None, None), ("(s)", ("5",)), ("(u)", (5,))] + [("(i)", (c,)) for c in CAMERAS[4:]]
TOUR_METHODS = ["PlayPresetTour", "StopPresetTour", "PausePresetTour", "ResumePresetTour"]
SCHEDULE = ("/com/vorn/PresetTourSchedule", "com.vorn.PresetTourSchedule", "Reload")


def unreadable(valid):  # one timetable, spoilt each way the reader must refuse
    return [";".join([valid] * 300), valid + ";", valid + "\\n", "\\xff" + valid, "\u202e" + valid,
            valid.replace(":00-", ":60-"), valid.replace("*", "Mon..Xyz"), valid + "; Mon 10:00"]


def schedules():  # (tour 1's, tour 3's) text for each round of checks
    later = (datetime.datetime.now().hour + 12) % 24  # tour 3 outside its window now
    return list(zip(unreadable("* 00:00-24:00"), unreadable(f"* {later:02d}:00-{later:02d}:30")))


def seeded_values():
    tours = [(f"G{t}", c, p, r) for t, (c, p, r) in BYSTANDERS.items()]
    tours += [(f"G{t}", c, p, "no") for t, (c, p) in FUZZED.items()]
    tours += [(f"G{100 + k}", c, (31, 32), "yes") for k, c in enumerate(BAD_CAMERAS)]
    tours += [(group, c, (31, 32), "yes") for group, c in BAD_GROUPS.items()]
    values = dict(line.replace(".G0.", f".{group}.", 1).split("=", 1)
                  for group, c, p, r in tours for line in tour_lines(0, c, p, running=r))
    values.update((f"root.RezazErar.G{tour}.{leaf}", value) for tour, leaf, value in ODD_VALUES)
    values.update((f"root.RezazErar.G{tour}.Name", name) for tour, name in NAMES.items())
    return values


def send_one(r, bus):
    kind, camera, tour = r.random(), r.choice(CAMERAS), r.choice(TOUR_IDS)
    if kind < 0.35:
        bus.send(SERVICE, OBJECT, IFACE_TOUR, r.choice(TOUR_METHODS), "(i)", (tour,))
    elif kind < 0.5:
        bus.send(SERVICE, OBJECT, IFACE_CONFHUB, "SetPresetTourRunning", "(ss)",
                 (r.choice(TEXTS), r.choice(GROUPS)))
    elif kind < 0.6:
        bus.send(SERVICE, OBJECT, IFACE_CONTROLLER, r.choice(["BlockPlayback", "UnblockPlayback"]),
                 "(i)", (camera,))
    elif kind < 0.75:
        bus.emit(EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)",
                 (camera, r.choice(CLIENTS)), False)
    elif kind < 0.95:
        bus.emit(EVENTS_OBJECT, EVENTS_IFACE, r.choice(["PresetReached", "HeadMoving"]), "(ii)",
                 (camera, r.choice([0, 1, 1, -1, 2])), False)
    elif kind < 0.97:
        bus.send(SERVICE, *SCHEDULE, *r.choice([(None, None), ("(i)", (1,))]))
    else:
        bus.emit("/com/vorn/PTZ/Coordinator/1", COORD_IFACE, "DriverUninstalled",
                 *r.choice(UNINSTALLS), False)


def published(text, stored=None, bound=256):
    """Bounded, printable (no control, bidi or line control); a name is its
    stored text (escaped as imported), whole or cut."""
    return len(text.encode()) <= bound and text.isprintable() and (
        stored is None or text == stored or text.endswith("\u2026") and stored.startswith(text[:-1]))


def check_published(bus, tourctl, signalled, names):
    """The tour each camera shows, once every text on each surface passed."""
    wait_until(lambda: True, 0)  # takes the signals in
    objects = bus.call(SERVICE, STATUS_ROOT, "org.freedesktop.DBus.ObjectManager",
                       "GetManagedObjects").unpack()[0]
    seen = [interfaces[STATUS_IFACE] for interfaces in objects.values()] + signalled
    for path in objects:
        seen.append(bus.call(SERVICE, path, PROPERTIES, "GetAll", "(s)", (STATUS_IFACE,)).unpack()[0])
        seen.append({k: bus.call(SERVICE, path, PROPERTIES, "Get", "(ss)", (STATUS_IFACE, k)).unpack()[0]
                     for k in ("TourId", "TourName", "LastError")})
    signalled.clear()
    table, listing = (subprocess.run([tourctl, "status", *option], capture_output=True, timeout=30,
                                     check=True).stdout.decode() for option in ((), ("--json",)))
    assert (table + listing).replace("\n", "").isprintable(), table + listing
    for d in seen:
        assert published(d.get("LastError", ""), bound=1024), d
        assert "TourName" not in d or published(d["TourName"], names.get(d["TourId"])), d
    shown = json.loads(listing)  # tourctl escapes again what it shows
    assert all(published(d["TourName"]) and published(d["LastError"], bound=1024) for d in shown)
    return {d["Camera"]: d["TourId"] for d in shown}


def round_trip(bus, daemon):
    bus.conn.flush_sync(None)
    began = time.monotonic()
    assert daemon.answers(), "patrold stopped answering"
    assert (took := time.monotonic() - began) < ROUND_TRIP_BOUND_S, f"main loop held {took:.1f} s"
    return took


def check(sim, paramctl, daemon, where):
    reached = {camera: state["history"] for camera, state in sim.cameras().items()}
    assert all(set(reached[c]) <= ALLOWED[c] for c in reached), (where, reached)
    assert {tour: paramctl.running(tour) for tour in BYSTANDERS} == \
        {t: r for t, (_c, _p, r) in BYSTANDERS.items()}, (where, daemon.syslog.messages()[-9:])


def test_hostile_values_and_requests_keep_the_invariants(
        paramctl, ptz_sim, start_patrold, bus, store, build_dir, record_property):
    seeded = seeded_values()
    names, signalled = {**{t: v for t, leaf, v in ODD_VALUES if leaf == "Name"}, **NAMES}, []
    bus.conn.signal_subscribe(SERVICE, PROPERTIES, "PropertiesChanged", None, STATUS_IFACE, 0,
                              lambda *a: signalled.append(a[5].unpack()[1]), None)
    surfaces = (bus, program(build_dir, "tourctl"), signalled, names)
    # A group that is no tour hides every tour from the start-up recovery,
    # by design: those come once the recovery has run on the rest.
    late = {k for k in seeded if k.split(".")[2] in BAD_GROUPS}
    paramctl.import_lines([f"{k}={v}" for k, v in seeded.items() if k not in late])
    daemon = start_patrold()
    # Timetables are read only while every group is a tour, like the recovery.
    for texts in schedules():
        lines = {f"root.RezazErar.G{t}.Schedule": v for t, v in zip((1, 3), texts)}
        seeded.update(lines)
        paramctl.import_lines([f"{k}={v}" for k, v in lines.items()])
        bus.send(SERVICE, *SCHEDULE)
        round_trip(bus, daemon)
        check(ptz_sim, paramctl, daemon, f"Schedule {texts}")
    paramctl.import_lines([f"{k}={seeded[k]}" for k in late])
    r = random.Random(SEED)
    slowest = 0.0
    for n in range(1, CALLS + 1):
        send_one(r, bus)
        if n == CALLS // 2:
            # Plays read the store on the main loop while the lock is taken.
            holder = sqlite3.connect(store, isolation_level=None, timeout=30)
            holder.execute("BEGIN IMMEDIATE")
            for tour in FUZZED:
                bus.send(SERVICE, OBJECT, IFACE_TOUR, "PlayPresetTour", "(i)", (tour,))
            locked = round_trip(bus, daemon)
            holder.close()  # rolls back
        if n == CALLS // 4:  # the plays meet the view, refused, and fail at once
            with sqlite3.connect(store) as db, sqlite3.connect(":memory:") as saved:
                db.backup(saved)
                db.executescript(ENDLESS_VIEW)
                for tour in FUZZED:
                    bus.send(SERVICE, OBJECT, IFACE_TOUR, "PlayPresetTour", "(i)", (tour,))
                round_trip(bus, daemon)
                saved.backup(db)
        if n % CHECK_EVERY == 0:
            slowest = max(slowest, round_trip(bus, daemon))
            check(ptz_sim, paramctl, daemon, f"after {n} messages")
            check_published(*surfaces)
    for rank in range(3):  # every named tour, shown on every surface
        for tour in (named := {t for t in names if t % 10 == rank}):
            daemon.unblock(FUZZED[tour][0])
            daemon.play(tour)
        assert wait_until(lambda: set(check_published(*surfaces).values()) >= set(named))
    ptz_sim.control("Reset")  # a history keeps the last 256 presets only
    assert ptz_sim.wait_history(3, 2, timeout=30), "tour 3, Running yes, does not play"
    assert daemon.stop() == 0 and daemon.syslog.messages()[-1] == "Exiting..."
    check(ptz_sim, paramctl, daemon, "after SIGTERM")
    listing = dict(line.split("=", 1) for line in paramctl.list("root.RezazErar"))
    assert {k: v for k, v in listing.items() if not k.endswith(".Running")} == \
        {k: v for k, v in seeded.items() if not k.endswith(".Running")}
    assert {v for k, v in listing.items() if k.endswith(".Running")} <= {"yes", "no"}
    record_property("slowest_round_trip_ms", round(slowest * 1000))
    record_property("lock_held_round_trip_ms", round(locked * 1000))
