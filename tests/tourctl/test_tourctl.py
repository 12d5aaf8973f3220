"""tourctl against a running patrold and ptz-sim on a private bus."""
import subprocess

import pytest

from conftest import tour_lines


@pytest.fixture
def tourctl(build_dir, store, private_bus):
    def _run(*args):
        return subprocess.run([str(build_dir / "tourctl"), *map(str, args)],
                              capture_output=True, text=True, timeout=30)
    return _run


def show_rows(tourctl, tour):
    """(point, preset, dwell) of each line of `show`."""
    lines = tourctl("show", tour).stdout.splitlines()[2:]
    return [(f[1], int(f[2]), f[5]) for f in (line.split(None, 5) for line in lines)]


def test_bus_commands_drive_the_daemon(tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(1, camera=1, presets=(2, 3)) + tour_lines(2, camera=2, presets=(4, 5)))
    assert tourctl("play", 2).returncode == 0
    assert ptz_sim.wait_history(2, 2) and paramctl.wait_running(2, "yes")
    for command in ("pause", "resume", "stop"):
        assert tourctl(command, 2).returncode == 0
    assert paramctl.wait_running(2, "no")
    assert tourctl("block", 1).returncode == 0
    assert tourctl("play", 1).returncode == 0
    assert tourctl("running", "yes", 2).returncode == 0
    # requests are worked off in order: once tour 2 runs, tour 1 was refused
    assert paramctl.wait_running(2, "yes")
    assert (ptz_sim.history(1), paramctl.running(1)) == ([], "no")
    assert tourctl("unblock", 1).returncode == 0
    assert tourctl("play", 1).returncode == 0
    assert ptz_sim.wait_history(1, 1)
    result = tourctl("block", 9)
    assert (result.returncode, result.stderr) == (1, "tourctl: Image source id out of range\n")


@pytest.mark.parametrize("args", [("play", 1), ("stop", 1), ("pause", 1), ("resume", 1),
                                  ("block", 1), ("unblock", 1), ("running", "no", 1)])
def test_no_daemon_is_reported_plainly(tourctl, args):
    result = tourctl(*args)
    assert (result.returncode, result.stderr) == (1, "tourctl: patrold is not running\n")


@pytest.mark.parametrize("args", [
    (), ("dance",), ("play",), ("play", "x"), ("play", "-1"), ("play", 1, 2),
    ("running", "maybe", 1), ("running", "yes"), ("block", "one"), ("add", "--colour", "red"),
    ("add",), ("add-point", 1), ("edit", 1, "--preset", 3), ("edit", 1, 0, "--camera", 2),
    ("edit", 1), ("show",), ("remove",), ("add", "--camera"),
])
def test_usage_errors_exit_2(tourctl, args):
    result = tourctl(*args)
    assert result.returncode == 2 and result.stderr, result


@pytest.mark.parametrize("command", ["play", "stop", "pause", "resume", "block", "unblock",
                                     "running", "list", "show", "add", "add-point", "edit",
                                     "remove"])
def test_every_command_has_help(tourctl, command):
    result = tourctl(command, "--help")
    assert result.returncode == 0 and result.stdout.startswith(f"usage: tourctl {command}")


def test_built_tour_plays_in_position_order(tourctl, patrold, ptz_sim):
    assert tourctl("add", "--camera", 3, "--name", "Front gate").stdout == "1\n"
    for preset, position in ((7, 2), (5, 0), (6, 1)):
        assert tourctl("add-point", 1, "--preset", preset, "--position", position,
                       "--speed", 100, "--wait", 0).returncode == 0
    assert [row[1] for row in show_rows(tourctl, 1)] == [5, 6, 7]
    assert tourctl("play", 1).returncode == 0
    assert ptz_sim.wait_history(3, 4)[:4] == [5, 6, 7, 5]


# (edit arguments, points in the order `show` lists them), applied in turn
ORDERINGS = [
    # equal positions come out in reverse of store order, like the daemon's
    ([(m, "--position", 4) for m in range(3)], ["T2", "T1", "T0"]),
    ([(0, "--position", 1)], ["T0", "T2", "T1"]),
    ([("--random", "yes")], ["T2", "T1", "T0"]),
]


def test_show_orders_like_the_daemon(tourctl, seed):
    seed(tour_lines(2, camera=1, presets=(3, 1, 2)))
    for edits, order in ORDERINGS:
        for edit in edits:
            assert tourctl("edit", 2, *edit).returncode == 0
        assert [row[0] for row in show_rows(tourctl, 2)] == order


def test_list_show_and_remove(tourctl, seed, paramctl):
    seed(tour_lines(4, camera=2, presets=(1, 2, 3), running="yes", random="yes",
                    pause_minutes=5) + tour_lines(1, camera=8))
    rows = [line.split() for line in tourctl("list").stdout.splitlines()[1:]]
    assert rows == [["1", "Tour", "1", "8", "no", "ordered", "0", "min", "2"],
                    ["4", "Tour", "4", "2", "yes", "random", "5", "min", "3"]]
    assert tourctl("add-point", 1, "--preset", 9, "--wait", 2, "--unit", "Minutes",
                   "--position", 5).returncode == 0
    assert [row[2] for row in show_rows(tourctl, 1)] == ["0 s (0 Seconds)"] * 2 + \
        ["120 s (2 Minutes)"]
    assert tourctl("remove", 4, 0).returncode == 0
    assert sorted(row[0] for row in show_rows(tourctl, 4)) == ["T1", "T2"]
    assert tourctl("remove", 4).returncode == 0
    assert paramctl.groups() == {"G1"}


CAMERA_RANGE = '--camera must be a camera number from 1 to 8, not "{}"'
WHOLE = '--{} must be a whole number of 0 or more, not "{}"'
VALIDATION_ERRORS = [
    (("add", "--camera", 0), CAMERA_RANGE.format(0)),
    (("add", "--camera", 9), CAMERA_RANGE.format(9)),
    (("add", "--camera", "2x"), CAMERA_RANGE.format("2x")),
    (("add", "--camera", 1, "--random", "Yes"), '--random must be "yes" or "no", not "Yes"'),
    (("add", "--camera", 1, "--pause", -1), WHOLE.format("pause", -1)),
    (("add", "--camera", 1, "--name", ""), "--name must be one non-empty line"),
    (("add", "--camera", 1, "--id", 5), "tour 5 already exists"),
    (("add-point", 5, "--preset", -3), WHOLE.format("preset", -3)),
    (("add-point", 5, "--preset", 1, "--speed", "fast"), WHOLE.format("speed", "fast")),
    (("add-point", 5, "--preset", 1, "--wait", 1, "--unit", "minutes"),
     '--unit must be "Minutes" or "Seconds", not "minutes"'),
    (("add-point", 6, "--preset", 1), "no tour 6"),
    (("edit", 5, "--camera", 12), CAMERA_RANGE.format(12)),
    # options before the bad one are not written either
    (("edit", 5, "--camera", 6, "--name", "New", "--pause", "x"), WHOLE.format("pause", "x")),
    (("edit", 5, 0, "--position", "-2"), WHOLE.format("position", -2)),
    (("edit", 5, 9, "--preset", 1), "tour 5 has no point 9"),
    (("edit", 6, "--camera", 1), "no tour 6"),
    (("remove", 6), "no tour 6"),
    (("remove", 5, 9), "tour 5 has no point 9"),
]


@pytest.mark.parametrize("args,message", VALIDATION_ERRORS)
def test_validation_errors_write_nothing(tourctl, seed, paramctl, args, message):
    seed(tour_lines(5, camera=4, presets=(1, 2)))
    before = paramctl.list()
    result = tourctl(*args)
    assert (result.returncode, result.stderr) == (1, f"tourctl: {message}\n")
    assert paramctl.list() == before
