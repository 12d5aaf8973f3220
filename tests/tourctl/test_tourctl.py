"""tourctl against patrold and ptz-sim on a private bus: what an operator
sees, and what it keeps from reaching the daemon or the store."""
import datetime
import json
import os
import queue
import re
import signal
import subprocess
import threading

import pytest

from conftest import NAMES, ROOT, BusClient, tour_lines, wait_until


@pytest.fixture
def tourctl(build_dir, store, private_bus):
    def _run(*args, **options):
        return subprocess.run([str(build_dir / "tourctl"), *map(str, args)],
                              capture_output=True, text=True, timeout=60, **options)
    return _run


def said(result, status, message):
    """True when `result` exited with `status` and its last complaint is `message`."""
    return result.returncode == status and \
        result.stderr.splitlines()[-1:] == [f"tourctl: {message}"]


def status(tourctl):
    return json.loads(tourctl("status", "--json").stdout)


def show(tourctl, tour):
    return json.loads(tourctl("show", tour, "--json").stdout)


def column(table, name):
    """Each row's word under the header `name`: the columns hold whatever is in them."""
    header, *rows = table.splitlines()
    return [row[header.index(name):].split()[0] for row in rows]


def test_bus_commands_drive_the_daemon(tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(1, camera=1, presets=(2, 3)) + tour_lines(2, camera=2, presets=(4, 5)))
    assert tourctl("play", 2).returncode == 0
    assert ptz_sim.wait_history(2, 2) and paramctl.wait_running(2, "yes")
    assert tourctl("pause", 2).returncode == 0
    assert wait_until(lambda: status(tourctl)[1]["State"] == "paused")
    assert said(tourctl("play", 2), 1, "tour 2 is paused on camera 2: resume it instead")
    assert tourctl("resume", 2).returncode == 0
    assert wait_until(lambda: status(tourctl)[1]["State"] != "paused")
    assert tourctl("stop", 2).returncode == 0 and paramctl.wait_running(2, "no")
    assert tourctl("running", "yes", 1).returncode == 0
    assert ptz_sim.wait_history(1, 1) and paramctl.wait_running(1, "yes")
    assert tourctl("block", 1).returncode == 0 and paramctl.wait_running(1, "no")


@pytest.mark.parametrize("args", [("play", 1), ("stop", 1), ("pause", 1), ("resume", 1),
                                  ("block", 1), ("unblock", 1), ("running", "no", 1),
                                  ("status",)])
def test_no_daemon_is_reported_plainly(tourctl, args):
    assert said(tourctl(*args), 1, "patrold is not running")


CAMERA = '{}must be a camera number from 1 to 8, not "{}"'
WHOLE = '--{} must be a whole number from 0 to 2147483647, not "{}"'
PAUSE = '--pause must be from 0 to 10080 minutes (a week), not "{}"'
SPEED = '--speed must be a speed from 1 to 100, not "{}"'
NAME = "--name must be non-empty text without control characters"
WEEK = "a wait of {} {} is longer than a week ({})"
# (arguments, exit status, message); the store holds tour 5 with points T0, T1
REFUSALS = [
    (("block", 9), 2, CAMERA.format("CAMERA ", 9)),
    (("unblock", 0), 2, CAMERA.format("CAMERA ", 0)),
    (("add", "--camera", 9), 2, CAMERA.format("--camera ", 9)),
    (("add", "--camera", 1, "--random", "Yes"), 2, '--random must be "yes" or "no", not "Yes"'),
    (("add", "--camera", 1, "--pause", -1), 2, PAUSE.format(-1)),
    (("add", "--camera", 1, "--pause", 40000000), 2, PAUSE.format(40000000)),
    (("add", "--camera", 1, "--name", "\x1b]0;owned\x07"), 2, NAME),
    (("add", "--camera", 1, "--name", "a\nb"), 2, NAME),
    (("add", "--camera", 1, "--id", 5), 1, "tour 5 already exists"),
    (("add", "--camera", 1, "--id", 4294967296), 2,
     '--id must be a tour number from 0 to 2147483647, not "4294967296"'),
    (("add-point", 5, "--preset", 4294967296), 2, WHOLE.format("preset", 4294967296)),
    (("play", 4294967297), 2, 'TOUR must be a tour number from 0 to 2147483647, not "4294967297"'),
    (("add-point", 5, "--preset", -3), 2, WHOLE.format("preset", -3)),
    (("add-point", 5, "--preset", 1, "--speed", 500), 2, SPEED.format(500)),
    (("add-point", 5, "--preset", 1, "--speed", 0), 2, SPEED.format(0)),
    (("add-point", 5, "--preset", 1, "--wait", 2147483647, "--unit", "Minutes"), 2,
     WEEK.format(2147483647, "minutes", "10080 minutes")),
    (("add-point", 5, "--preset", 1, "--wait", 604801), 2,
     WEEK.format(604801, "seconds", "604800 seconds")),
    # the stored wait of T1 is 20000 seconds: as minutes it would be too long
    (("edit", 5, 1, "--unit", "Minutes"), 2, WEEK.format(20000, "minutes", "10080 minutes")),
    (("add-point", 5, "--preset", 1, "--wait", 1, "--unit", "minutes"), 2,
     '--unit must be "Minutes" or "Seconds", not "minutes"'),
    (("add-point", 6, "--preset", 1), 1, "no tour 6"),
    # options before the bad one are not written either
    (("edit", 5, "--camera", 6, "--name", "New", "--pause", "x"), 2, PAUSE.format("x")),
    (("edit", 5, 0, "--position", "-2"), 2, WHOLE.format("position", -2)),
    (("edit", 5, 9, "--preset", 1), 1, "tour 5 has no point 9"),
    (("edit", 6, "--camera", 1), 1, "no tour 6"),
    (("remove", 6), 1, "no tour 6"),
    (("remove", 5, 9), 1, "tour 5 has no point 9"),
    (("edit", 5, "--name", "x", "--stop"), 2,
     "--stop goes with --camera: it stops a tour before moving it"),
    (("schedule", 5, "Mon 25:00-26:00"), 2,
     "the timetable cannot be read at column 5: time out of range 00:00..23:59"),
    (("schedule", 6, "* 00:00-24:00"), 1, "no tour 6"),
]


@pytest.mark.parametrize("args,status,message", REFUSALS)
def test_refusals_write_nothing(tourctl, seed, paramctl, args, status, message):
    seed(tour_lines(5, camera=4, presets=(1, 2)) + ["root.RezazErar.G5.Tour.T1.WaitTime=20000"])
    before = paramctl.list()
    assert said(tourctl(*args), status, message)
    assert paramctl.list() == before


@pytest.mark.parametrize("args,first", [
    ((), "usage: tourctl COMMAND [ARGS]"), (("dance",), 'tourctl: unknown command "dance"'),
    (("play",), ""), (("play", "-1"), ""), (("play", 1, 2), ""), (("running", "maybe", 1), ""),
    (("running", "yes"), ""), (("add", "--colour", "red"), "tourctl: unknown option --colour"),
    (("list", "--foo"), "tourctl: unknown option --foo"), (("add",), ""), (("add-point", 1), ""),
    (("edit", 1, "--preset", 3), ""), (("edit", 1, 0, "--camera", 2), ""), (("edit", 1), ""),
    (("show",), ""), (("remove",), ""), (("add", "--camera"), "tourctl: --camera needs a value"),
    (("status", 1), ""), (("status", "--json=1"), "tourctl: --json takes no value"),
    (("schedule", 1), ""), (("schedule", 1, "* 00:00-24:00", "--clear"), "")])
def test_usage_errors_exit_2_saying_why(tourctl, args, first):
    result = tourctl(*args)  # says why, and nothing on the standard output
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(first or "tourctl: "), result.stderr


def test_built_tour_plays_in_order_on_the_last_camera(tourctl, patrold, ptz_sim, paramctl):
    assert tourctl("add", "--camera", 8, "--name", "Front gate").stdout == "1\n"
    for preset, position in ((7, 2), (5, 0), (6, 1)):
        assert tourctl("add-point", 1, "--preset", preset, "--position", position,
                       "--speed", "050", "--wait", 0).returncode == 0
    assert paramctl.get("root.RezazErar.G1.Tour.T0.MoveSpeed") == "50"
    assert [p["Preset"] for p in show(tourctl, 1)["Points"]] == [5, 6, 7]
    assert tourctl("play", 1).returncode == 0
    assert ptz_sim.wait_history(8, 4)[:4] == [5, 6, 7, 5]
    assert tourctl("pause", 1).returncode == 0


# (edits applied in turn, points as `show` then lists them: ties in reverse store order)
ORDERINGS = [
    ([(m, "--position", 4) for m in range(3)], [2, 1, 0]),
    ([(0, "--position", 1)], [0, 2, 1]),
    ([("--random", "yes")], [2, 1, 0]),
]


def test_show_orders_like_the_daemon(tourctl, seed):
    seed(tour_lines(2, camera=1, presets=(3, 1, 2)))
    for edits, order in ORDERINGS:
        for edit in edits:
            assert tourctl("edit", 2, *edit).returncode == 0
        assert [p["Point"] for p in show(tourctl, 2)["Points"]] == order
    assert "random order: patrold goes from any INDEX to any other" in tourctl("show", 2).stdout


def test_show_gives_the_dwell_and_index_patrold_plays(tourctl, patrold, ptz_sim, seed, bus):
    seed(tour_lines(1, camera=1, presets=(2, 3, 4), pause_minutes=1, positions=(1, 0, 2)) +
         [f"root.RezazErar.G1.Tour.T{m}.WaitTime={w}" for m, w in enumerate((2, 1, 1))])
    shown = {p["Index"]: (p["Preset"], p["Dwell"]) for p in show(tourctl, 1)["Points"]}
    assert tourctl("play", 1).returncode == 0
    seen, path = {}, NAMES["PATROLD_STATUS_PATH"] + "/Camera1"

    def dwells():
        v = bus.call(NAMES["PATROLD_BUS_NAME"], path, "org.freedesktop.DBus.Properties",
                     "GetAll", "(s)", (NAMES["PATROLD_STATUS_INTERFACE"],)).unpack()[0]
        if v["State"] == "dwelling":
            seen[v["PointIndex"]] = (v["Preset"], round((v["DwellUntil"] - v["StateSince"]) / 1e6))
        return len(seen) == 3
    assert wait_until(dwells, 30) and seen == shown == {0: (3, 1), 1: (2, 2), 2: (4, 61)}


def test_list_show_and_remove(tourctl, seed, paramctl):
    point = "root.RezazErar.G1.Tour.T0"
    seed(tour_lines(4, camera=2, presets=(1, 2, 3), running="yes", random="yes",
                    pause_minutes=5) + tour_lines(1, camera=8) +
         [f"{point}.WaitTime=40000000", f"{point}.WaitTimeViewType=Minutes",
          f"{point}.PresetNbr=-2147483648"])
    rows = [line.split() for line in tourctl("list").stdout.splitlines()[1:]]
    assert rows == [["1", "Tour", "1", "8", "no", "ordered", "0", "min", "2", "-"],
                    ["4", "Tour", "4", "2", "yes", "random", "5", "min", "3", "-"]]
    assert [t["Points"] for t in json.loads(tourctl("list", "--json").stdout)] == [2, 3]
    assert tourctl("add-point", 1, "--preset", 9, "--wait", 2, "--unit", "Minutes",
                   "--position", 5).returncode == 0
    # as the daemon reads them: minutes saturate at the 32-bit range, not wrap
    assert [(p["Preset"], p["Dwell"]) for p in show(tourctl, 1)["Points"]] == [
        (-2147483648, 2147483647), (2, 0), (9, 120)]
    assert tourctl("remove", 4, 0).returncode == 0
    assert sorted(p["Point"] for p in show(tourctl, 4)["Points"]) == [1, 2]
    assert tourctl("remove", 4).returncode == 0
    assert paramctl.groups() == {"G1"}


def test_timetables_are_stored_planned_and_checked_for_overlaps(tourctl, patrold, seed,
                                                                paramctl):
    seed(tour_lines(1, camera=2) + tour_lines(2, camera=2))
    hour = (datetime.datetime.now().hour + 2) % 24  # no edge while the test runs
    windows = {1: f"Mon..Sun {hour:02d}:00-{hour:02d}:30", 2: f"* {hour:02d}:10-{hour:02d}:40"}
    for tour, text in windows.items():
        assert tourctl("schedule", tour, text).returncode == 0
        assert paramctl.get(f"root.RezazErar.G{tour}.Schedule") == text
    assert status(tourctl)[1]["ScheduleNextAction"] == "play G1"
    listing = tourctl("list")
    assert said(listing, 0, "tours 1 and 2 of camera 2 have overlapping timetables: the "
                            "window that starts last has the camera")
    assert listing.stdout.splitlines()[1].endswith(windows[1])
    assert tourctl("schedule", 1, "--clear").returncode == 0
    assert status(tourctl)[1]["ScheduleNextAction"] == "play G2"
    assert tourctl("show", 1).stdout.splitlines()[0].endswith("schedule -")


def test_control_bytes_are_shown_escaped(tourctl, seed, paramctl):
    seed(tour_lines(1, camera=1))
    name = "root.RezazErar.G1.Name=\x1b]0;owned\x07\x1b[2J\nG9 forged\u202e\u009b"
    assert paramctl.run("set", name, "root.RezazErar.G1.Running=\u202eno").returncode == 0
    shown = "\\x1b]0;owned\\x07\\x1b[2J\\nG9 forged\\xe2\\x80\\xae\\xc2\\x9b"
    assert " \\xe2\\x80\\xaeno " in tourctl("list").stdout
    assert tourctl("show", 1).stdout.splitlines()[0].startswith(f'tour 1 "{shown}"')
    for args, first in ((("list", "--json"), lambda v: v[0]), (("show", 1, "--json"), lambda v: v)):
        out = tourctl(*args).stdout
        assert "\u202e" not in out and "\u009b" not in out and first(json.loads(out))["Name"] == shown
    # stray group names, on every path that names them
    assert paramctl.run("set", "root.RezazErar.G1.Tour.\u202eT.PresetNbr=1",
                        "root.RezazErar.G\u202e.Name=1").returncode == 0
    for args in (("list",), ("show", 1)):
        assert "root.RezazErar.G\\xe2\\x80\\xae is not a tour" in tourctl(*args).stderr
    assert "its Tour group holds \\xe2\\x80\\xaeT, which" in tourctl("show", 1).stderr


def test_store_errors_name_the_file_and_reason(tourctl, tmp_path, monkeypatch):
    (tmp_path / "text").write_text("a note, not a parameter store\n" * 4)
    (locked := tmp_path / "locked").mkdir(mode=0o700)
    as_nobody = {"preexec_fn": lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534))}
    tmp_path.chmod(0o755)
    missing = tmp_path / "missing" / "params.db"
    for path, args, options, reason in [
            (tmp_path / "text", ("list",), {}, "read the parameter store: {}: not a parameter store"),
            (tmp_path / "text" / "params.db", ("edit", 1, "--name", "x"), {},
             f"read the parameter store: {{}}: {tmp_path / 'text'} is not a folder"),
            (locked / "params.db", ("list",), as_nobody,
             f"read the parameter store: {{}}: folder {locked}: Permission denied"),
            (missing, ("show", 1), {}, "read the parameter store: {}: no such file (no tour was ever added)"),
            (missing, ("check",), {}, "read the parameter store: {}: no such file (no tour was ever added)"),
            (missing, ("add", "--camera", 1), {},
             f"write the parameter store: {{}}: folder {missing.parent}: No such file or directory")]:
        monkeypatch.setenv("PARAM_STORE_PATH", str(path))
        result = tourctl(*args, **options)
        assert (result.returncode, result.stderr) == (1, f"tourctl: cannot {reason.format(path)}\n")
    assert not missing.parent.exists()


def test_edits_of_a_loaded_tour_are_explained(tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(1, camera=1, presets=(2, 3)) + tour_lines(2, camera=1))
    assert tourctl("play", 1).returncode == 0
    assert ptz_sim.wait_history(1, 1) and paramctl.wait_running(1, "yes")
    before = paramctl.list()
    for args in (("edit", 1, "--camera", 2), ("remove", 1)):
        assert said(tourctl(*args), 1, "tour 1 is playing on camera 1: stop it first, or add --stop")
    assert paramctl.list() == before
    loaded = "tour 1 is loaded on camera 1: the {} reaches it at its next play"
    for args, message in [(("add-point", 1, "--preset", 4), loaded.format("new point")),
                          (("edit", 1, 2, "--wait", 3), loaded.format("change")),
                          (("remove", 1, 2), loaded.format("removal")),
                          (("edit", 1, "--name", "Gate"), loaded.format("new name")),
                          (("unblock", 3), "camera 3 is not blocked: nothing changed"),
                          (("play", 2), "tour 1 is loaded on camera 1: patrold stops it to play tour 2")]:
        assert said(tourctl(*args), 0, message)
    assert paramctl.wait_running(2, "yes")
    assert tourctl("edit", 2, "--camera", 2, "--stop").returncode == 0
    assert (paramctl.running(2), paramctl.get("root.RezazErar.G2.CamNbr")) == ("no", "2")


HELD = ("tour 4 is held: another control client has camera 4's head, and patrold goes on only "
        "when the coordinator hands it back. To take the head back now: tourctl stop 4, then "
        "tourctl play 4")
# (arguments, complaint): patrold would accept each and then do nothing
IDLE_REQUESTS = [
    (("play", 99), "no tour 99: nothing to play"),
    (("play", 1), "tour 1 cannot play: it has no points"),
    (("play", 2), "tour 2 cannot play: its CamNbr is not a camera number from 1 to 8"),
    (("play", 3), "camera 3 is blocked: tour 3 will not play (tourctl unblock 3)"),
    (("play", 5), "tour 5 cannot play as stored: the MoveSpeed 40000 of point T0 reaches the "
                  "coordinator as -25536"),
    (("pause", 3), "tour 3 is not playing: nothing to pause"),
    (("stop", 3), "tour 3 is not playing: nothing to stop"),
    (("running", "no", 3), "tour 3 is not playing: nothing to stop"),
    (("resume", 4), "tour 4 is not paused: nothing to resume"),
]


def test_requests_that_would_do_nothing_are_refused(tourctl, patrold, ptz_sim, seed):
    seed(tour_lines(1, camera=1, presets=()) + tour_lines(2, camera=4294967297) +
         tour_lines(3, camera=3) + tour_lines(4, camera=4) + tour_lines(5, camera=5) +
         ["root.RezazErar.G5.Tour.T0.MoveSpeed=40000"])
    assert tourctl("block", 3).returncode == 0 and tourctl("play", 4).returncode == 0
    assert ptz_sim.wait_history(4, 1)
    assert tourctl("status").stdout.splitlines()[3].split()[-2:] == ["yes", "-"]  # camera 3
    for args, message in IDLE_REQUESTS:
        assert said(tourctl(*args), 1, message)
    ptz_sim.control("TakeControl", "(is)", (4, "intruder"))
    assert wait_until(lambda: status(tourctl)[3]["State"] == "held")
    for verb in ("pause", "resume"):
        assert said(tourctl(verb, 4), 1, HELD)


def test_tables_keep_their_columns(tourctl, patrold, ptz_sim, seed):
    seed(tour_lines(1, camera=1, wait=2147480000) + tour_lines(2, camera=2) +
         ["root.RezazErar.G2.Name=" + "\u202e\u009b" + "x" * 300])
    ptz_sim.control("SetFailure", "(isii)", (2, "Queue", 124, 1))
    assert tourctl("play", 1).returncode == 0 and tourctl("play", 2).returncode == 0
    assert wait_until(lambda: status(tourctl)[0]["State"] == "dwelling" and
                      status(tourctl)[1]["LastError"])
    table = tourctl("status").stdout
    assert column(table, "BLOCKED") == ["no"] * 8 and "GDBus.Error" not in table
    assert re.search(r"\d+ d \(20\d\d-\d\d-\d\d \d\d:\d\d:\d\d\)", table.splitlines()[1])
    assert column(tourctl("list").stdout, "CAMERA") == ["1", "2"]


def test_check_finds_what_patrold_would_meet(tourctl, seed, paramctl):
    base = "root.RezazErar"
    seed(tour_lines(1, camera=1, running="yes") + tour_lines(2, camera=1, running="yes") +
         tour_lines(3, camera=9) + tour_lines(4, camera=2, presets=()) + tour_lines(5, camera=4) +
         tour_lines(6, camera=3, presets=(1, 2, 3), positions=(0, 0, 1), pause_minutes=40000000) +
         [f"{base}.G05.Name=x", f"{base}.G4.Tour.T0.PresetNbr=p",
          f"{base}.G6.Tour.T2.MoveSpeed=40000", f"{base}.G6.Tour.T2.WaitTime=40000000",
          f"{base}.G6.Tour.T2.WaitTimeViewType=Minutes",
          f"{base}.G1.Schedule=* 22:00-06:00", f"{base}.G2.Schedule=Sat 05:00-05:30"])
    before = paramctl.list()
    result = tourctl("check", "--json")
    assert result.returncode == 1 and paramctl.list() == before
    assert {(p["Tour"], p["Leaf"][len(base) + 1:]) for p in json.loads(result.stdout)} == {
        (5, "G05"), (3, "G3.CamNbr"), (4, "G4.Tour.T0.PresetNbr"), (1, "G1.Running"),
        (2, "G2.Running"), (6, "G6.Tour.T1.Position"), (6, "G6.Tour.T2.MoveSpeed"),
        (6, "G6.Tour.T2.WaitTime"), (6, "G6.TimeBetweenSequences"), (1, "G1.Schedule")}
    assert len(tourctl("check").stdout.splitlines()) == 10
    assert paramctl.run("set", f"{base}.Stray.Name=x").returncode == 0
    assert (None, "Stray") in {(p["Tour"], p["Leaf"][len(base) + 1:])
                               for p in json.loads(tourctl("check", "--json").stdout)}


def test_version_and_completion(tourctl, seed, build_dir):
    assert re.fullmatch(r"tourctl \(patrold\) \d+\.\d+\.\d+\n", tourctl("--version").stdout)
    assert all(w in tourctl("--help").stdout for w in ("2147483647", "PARAM_STORE_PATH", "tourctl(1)"))
    seed(tour_lines(3, camera=1) + tour_lines(12, camera=2))
    script = ROOT / "tools" / "tourctl" / "tourctl.bash-completion"

    def complete(*words):
        line = " ".join(words)
        return subprocess.run(
            ["bash", "-c", f'source {script}; COMP_WORDS=({line}); COMP_CWORD={len(words) - 1}; '
                           f'_tourctl; echo "${{COMPREPLY[*]}}"'],
            capture_output=True, text=True, timeout=60, env=dict(
                os.environ, PATH=f"{build_dir}:{os.environ['PATH']}")).stdout.split()
    assert complete("tourctl", "pl") == ["play"]
    assert complete("tourctl", "show", "''") == ["3", "12"]


def test_status_and_watch_follow_the_daemon(tourctl, build_dir, start_patrold, ptz_sim, seed):
    seed(tour_lines(3, camera=2, presets=(4, 5), wait=600))
    patrold = start_patrold()
    watch = subprocess.Popen([build_dir / "tourctl", "watch"], stdout=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in watch.stdout], daemon=True).start()

    def watch_says(wanted):  # the next line that starts so, within a bound
        while not lines.get(timeout=20).startswith(wanted):
            pass
        return True
    assert watch_says("== 20") and watch_says("1      -     -                idle")
    assert tourctl("play", 3).returncode == 0
    assert watch_says("2      3     Tour 3           dwelling 0     4 ")
    row = status(tourctl)[1]
    assert (row["Camera"], row["TourId"], row["TourName"], row["Preset"]) == (2, 3, "Tour 3", 4)
    patrold.stop()
    assert watch_says("patrold is not on the bus; waiting for it")
    start_patrold()  # which resumes tour 3
    assert watch_says("2      3     Tour 3")
    watch.send_signal(signal.SIGINT)
    assert watch.wait(timeout=20) == 0


def test_watch_ends_when_it_cannot_follow(build_dir, private_bus):
    bus = BusClient(private_bus.address)  # left open: the bus goes away under it

    def watch():
        return subprocess.Popen([build_dir / "tourctl", "watch"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
    first = watch()  # a program on patrold's name without its status
    bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "RequestName", "(su)", (NAMES["PATROLD_BUS_NAME"], 4))
    assert first.wait(timeout=20) == 1
    assert first.stderr.read() == ("tourctl: cannot read patrold's live status: this patrold "
                                   "has no live status\n")
    bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "ReleaseName", "(s)", (NAMES["PATROLD_BUS_NAME"],))
    second = watch()
    assert second.stdout.readline() and private_bus.terminate() is None
    assert second.wait(timeout=20) == 1
    assert second.stderr.read() == "tourctl: lost the connection to the system bus\n"
