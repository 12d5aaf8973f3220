"""tourctl against a running patrold and ptz-sim on a private bus."""
import subprocess

import pytest

from conftest import tour_lines, wait_until  # noqa: F401 (fixtures come along)


@pytest.fixture
def tourctl(build_dir, store, private_bus):
    exe = build_dir / "tourctl"

    def _run(*args):
        return subprocess.run([str(exe), *map(str, args)], capture_output=True,
                              text=True, timeout=30)
    return _run


def show_rows(output):
    """(point, preset, position, speed, dwell) of each line of `show`."""
    rows = []
    for line in output.splitlines()[2:]:
        step, point, preset, position, speed, dwell = line.split(None, 5)
        rows.append((point, int(preset), int(position), int(speed), dwell))
    return rows


# --- the bus commands --------------------------------------------------------

def test_play_and_stop_move_the_head_and_follow_running(
        tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(3, camera=2, presets=(4, 5)))
    assert tourctl("play", 3).returncode == 0
    assert ptz_sim.wait_history(2, 2) is not None
    assert paramctl.wait_running(3, "yes")
    assert tourctl("stop", 3).returncode == 0
    assert paramctl.wait_running(3, "no")


def test_running_yes_plays_the_tour(tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(1, camera=1, presets=(2, 3)))
    assert tourctl("running", "yes", 1).returncode == 0
    assert paramctl.wait_running(1, "yes")
    assert ptz_sim.wait_history(1, 1) is not None


@pytest.mark.parametrize("command", ["block", "unblock"])
@pytest.mark.parametrize("camera", [0, 9])
def test_camera_out_of_range_shows_the_daemon_text(tourctl, patrold, command, camera):
    result = tourctl(command, camera)
    assert result.returncode == 1
    assert result.stderr == "tourctl: Image source id out of range\n"


def test_blocked_camera_refuses_play(tourctl, patrold, ptz_sim, seed, paramctl):
    seed(tour_lines(1, camera=1, presets=(2, 3)) + tour_lines(2, camera=2, presets=(2, 3)))
    assert tourctl("block", 1).returncode == 0
    assert tourctl("play", 1).returncode == 0
    assert tourctl("play", 2).returncode == 0
    # requests are worked off in order: once tour 2 moves, tour 1 was refused
    assert ptz_sim.wait_history(2, 1) is not None
    assert ptz_sim.history(1) == []
    assert paramctl.running(1) == "no"
    assert tourctl("unblock", 1).returncode == 0
    assert tourctl("play", 1).returncode == 0
    assert ptz_sim.wait_history(1, 1) is not None


@pytest.mark.parametrize("args", [("play", 1), ("stop", 1), ("pause", 1),
                                  ("resume", 1), ("block", 1), ("unblock", 1),
                                  ("running", "no", 1)])
def test_no_daemon_is_reported_plainly(tourctl, args):
    result = tourctl(*args)
    assert (result.returncode, result.stderr) == (1, "tourctl: patrold is not running\n")


# --- usage -------------------------------------------------------------------

@pytest.mark.parametrize("args", [
    (), ("dance",), ("play",), ("play", "x"), ("play", "-1"), ("play", 1, 2),
    ("running", "maybe", 1), ("running", "yes"), ("block", "one"),
    ("add", "--colour", "red"), ("add",), ("add-point", 1),
    ("edit", 1, "--preset", 3), ("edit", 1, 0, "--camera", 2), ("edit", 1),
    ("show",), ("remove",), ("add", "--camera"),
])
def test_usage_errors_exit_2(tourctl, args):
    result = tourctl(*args)
    assert result.returncode == 2, result
    assert result.stderr


@pytest.mark.parametrize("command", ["play", "stop", "pause", "resume", "block",
                                     "unblock", "running", "list", "show", "add",
                                     "add-point", "edit", "remove"])
def test_every_command_has_help(tourctl, command):
    result = tourctl(command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: tourctl {command}")


# --- editing the store -------------------------------------------------------

def test_built_tour_plays_in_position_order(tourctl, patrold, ptz_sim, paramctl):
    assert tourctl("add", "--camera", 3, "--name", "Front gate").stdout == "1\n"
    for preset, position in ((7, 2), (5, 0), (6, 1)):
        assert tourctl("add-point", 1, "--preset", preset, "--position", position,
                       "--speed", 100, "--wait", 0).returncode == 0
    rows = show_rows(tourctl("show", 1).stdout)
    assert [r[1] for r in rows] == [5, 6, 7]
    assert tourctl("play", 1).returncode == 0
    reached = ptz_sim.wait_history(3, 4)
    assert reached[:4] == [5, 6, 7, 5]


def test_show_orders_like_the_daemon(tourctl, seed):
    seed(tour_lines(2, camera=1, presets=(3, 1, 2)))
    # equal positions come out in reverse of store order
    for m in range(3):
        assert tourctl("edit", 2, m, "--position", 4).returncode == 0
    assert [r[0] for r in show_rows(tourctl("show", 2).stdout)] == ["T2", "T1", "T0"]
    assert tourctl("edit", 2, 0, "--position", 1).returncode == 0
    assert [r[0] for r in show_rows(tourctl("show", 2).stdout)] == ["T0", "T2", "T1"]
    assert tourctl("edit", 2, "--random", "yes").returncode == 0
    assert [r[0] for r in show_rows(tourctl("show", 2).stdout)] == ["T2", "T1", "T0"]


def test_dwell_shown_in_seconds_and_as_configured(tourctl):
    assert tourctl("add", "--camera", 1).returncode == 0
    tourctl("add-point", 1, "--preset", 1, "--wait", 2, "--unit", "Minutes")
    tourctl("add-point", 1, "--preset", 2, "--wait", 2, "--unit", "Seconds")
    dwells = [r[4] for r in show_rows(tourctl("show", 1).stdout)]
    assert dwells == ["120 s (2 Minutes)", "2 s (2 Seconds)"]


def test_list_shows_every_tour(tourctl, seed):
    seed(tour_lines(4, camera=2, presets=(1, 2, 3), running="yes", random="yes",
                    pause_minutes=5) + tour_lines(1, camera=8))
    rows = [line.split() for line in tourctl("list").stdout.splitlines()[1:]]
    assert rows == [["1", "Tour", "1", "8", "no", "ordered", "0", "min", "2"],
                    ["4", "Tour", "4", "2", "yes", "random", "5", "min", "3"]]


@pytest.mark.parametrize("args,message", [
    (("add", "--camera", 0), '--camera must be a camera number from 1 to 8, not "0"'),
    (("add", "--camera", 9), '--camera must be a camera number from 1 to 8, not "9"'),
    (("add", "--camera", "2x"), '--camera must be a camera number from 1 to 8, not "2x"'),
    (("add", "--camera", 1, "--random", "Yes"), '--random must be "yes" or "no", not "Yes"'),
    (("add", "--camera", 1, "--pause", -1),
     '--pause must be a whole number of 0 or more, not "-1"'),
    (("add", "--camera", 1, "--name", ""), "--name must be one non-empty line"),
    (("add", "--camera", 1, "--id", 5), "tour 5 already exists"),
    (("add-point", 5, "--preset", -3), '--preset must be a whole number of 0 or more, not "-3"'),
    (("add-point", 5, "--preset", 1, "--speed", "fast"),
     '--speed must be a whole number of 0 or more, not "fast"'),
    (("add-point", 5, "--preset", 1, "--wait", 1, "--unit", "minutes"),
     '--unit must be "Minutes" or "Seconds", not "minutes"'),
    (("add-point", 6, "--preset", 1), "no tour 6"),
    (("edit", 5, "--camera", 12), '--camera must be a camera number from 1 to 8, not "12"'),
    (("edit", 5, 0, "--position", "-2"),
     '--position must be a whole number of 0 or more, not "-2"'),
    (("edit", 5, 9, "--preset", 1), "tour 5 has no point 9"),
    (("edit", 6, "--camera", 1), "no tour 6"),
    (("remove", 6), "no tour 6"),
    (("remove", 5, 9), "tour 5 has no point 9"),
])
def test_validation_errors_write_nothing(tourctl, seed, paramctl, args, message):
    seed(tour_lines(5, camera=4, presets=(1, 2)))
    before = paramctl.run("list").stdout
    result = tourctl(*args)
    assert (result.returncode, result.stderr) == (1, f"tourctl: {message}\n")
    assert paramctl.run("list").stdout == before


def test_failed_edit_keeps_earlier_options_unwritten(tourctl, seed, paramctl):
    seed(tour_lines(5, camera=4, presets=(1,)))
    result = tourctl("edit", 5, "--camera", 6, "--name", "New", "--pause", "x")
    assert result.returncode == 1
    assert paramctl.get("root.RezazErar.G5.CamNbr") == "4"
    assert paramctl.get("root.RezazErar.G5.Name") == "Tour 5"


def test_remove_point_and_tour(tourctl, seed, paramctl):
    seed(tour_lines(5, camera=4, presets=(1, 2)))
    assert tourctl("remove", 5, 0).returncode == 0
    assert [r[0] for r in show_rows(tourctl("show", 5).stdout)] == ["T1"]
    assert tourctl("remove", 5).returncode == 0
    assert paramctl.groups() == set()
