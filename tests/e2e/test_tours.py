"""Tours played end to end: requests over the bus, heads in ptz-sim, the
Running state in the store."""
import time

import pytest

from conftest import EVENTS_IFACE, EVENTS_OBJECT, tour_lines, wait_until

QUIET_S = 1.0  # a playing tour reaches several presets a second in the sim


def reached_during(sim, camera, seconds=QUIET_S):
    """Presets the camera reaches over a short window. Used to show that a
    head is NOT being driven, which can only be seen over some time."""
    before = len(sim.history(camera))
    time.sleep(seconds)
    return sim.history(camera)[before:]


def quiesce(sim, camera):
    """Waits until a move already under way when the tour was told to hold
    has landed, so later windows only see new gotos."""
    wait_until(lambda: not sim.camera(camera)["moving"], 5)


@pytest.fixture
def tours(seed, ptz_sim):
    seed(tour_lines(1, camera=2, presets=(1, 2))
         + tour_lines(2, camera=2, presets=(5, 6))
         + tour_lines(3, camera=3, presets=(7, 8))
         + tour_lines(4, camera=4, presets=(3, 4)))
    return ptz_sim


def test_play_runs_the_tour_in_order_and_marks_it_running(patrold, tours, paramctl):
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    visited = tours.wait_history(2, 4)
    assert visited, "camera 2 did not move"
    assert visited[:4] in ([1, 2, 1, 2], [2, 1, 2, 1])
    assert "Rezazerar" in tours.camera(2)["queue"]
    assert tours.history(3) == []


def test_play_of_another_tour_replaces_the_first_on_its_camera(patrold, tours, paramctl):
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    patrold.play(2)
    assert paramctl.wait_running(1, "no")
    assert paramctl.wait_running(2, "yes")
    assert wait_until(lambda: set((tours.wait_history(2, 3) or [])[-2:]) == {5, 6})


def test_stop_ends_the_tour_and_leaves_the_queue(patrold, tours, paramctl):
    patrold.play(3)
    assert tours.wait_history(3, 2)
    patrold.stop_tour(3)
    assert paramctl.wait_running(3, "no")
    assert wait_until(lambda: "Rezazerar" not in tours.camera(3)["queue"])
    quiesce(tours, 3)
    assert reached_during(tours, 3) == []


def test_pause_holds_the_head_and_resume_continues(patrold, tours, paramctl):
    patrold.play(3)
    assert tours.wait_history(3, 2)
    patrold.pause(3)
    time.sleep(0.3)
    quiesce(tours, 3)
    assert reached_during(tours, 3) == []
    assert paramctl.running(3) == "yes"  # paused is still playing
    patrold.resume(3)
    assert tours.wait_history(3, 2), "the tour did not continue"


def test_block_stops_at_once_and_refuses_plays_until_unblock(patrold, tours, paramctl):
    patrold.play(3)
    assert paramctl.wait_running(3, "yes")
    patrold.block(3)
    assert paramctl.wait_running(3, "no")

    # A refused play is only seen in the store; a play on another camera
    # queued behind it shows that it has been processed.
    patrold.play(3)
    patrold.play(4)
    assert paramctl.wait_running(4, "yes")
    assert paramctl.running(3) == "no"
    quiesce(tours, 3)
    assert reached_during(tours, 3, 0.5) == []

    patrold.unblock(3)
    patrold.play(3)
    assert paramctl.wait_running(3, "yes")
    assert tours.wait_history(3, 2)


# (running, group text) -> tour expected to start, or None
RUNNING_REQUESTS = {
    "plain": ("yes", "G12", 12),
    "no-G-means-tour-0": ("yes", "X3", 0),
    "trailing-text": ("yes", "G7.Tour", 7),
    "case-sensitive": ("YES", "G12", None),
}


@pytest.mark.parametrize("running,group,started", RUNNING_REQUESTS.values(),
                         ids=RUNNING_REQUESTS.keys())
def test_running_state_requests(patrold, seed, ptz_sim, paramctl, running, group,
                                started):
    seed(tour_lines(12, camera=1) + tour_lines(0, camera=5)
         + tour_lines(7, camera=6) + tour_lines(4, camera=4))
    patrold.set_running(running, group)
    patrold.play(4)  # processed after the request above
    assert paramctl.wait_running(4, "yes")
    for tour in (12, 0, 7):
        expected = "yes" if tour == started else "no"
        assert paramctl.wait_running(tour, expected, 3), (tour, paramctl.running(tour))
    if started is not None:
        patrold.set_running("no", group)
        assert paramctl.wait_running(started, "no")


def test_store_side_running_change_plays_and_stops(patrold, tours, paramctl):
    # paramctl tells the daemon about a changed Running by itself.
    assert paramctl.run("set", "root.RezazErar.G3.Running=yes").returncode == 0
    assert tours.wait_history(3, 2)
    assert paramctl.run("set", "root.RezazErar.G3.Running=no").returncode == 0
    assert wait_until(lambda: "Rezazerar" not in tours.camera(3)["queue"])


def test_control_by_another_client_holds_and_release_continues(patrold, tours, paramctl):
    patrold.play(1)
    assert tours.wait_history(2, 2)
    tours.control("TakeControl", "(is)", (2, "Operator"))
    time.sleep(0.3)
    quiesce(tours, 2)
    assert reached_during(tours, 2) == []
    assert paramctl.running(1) == "yes"
    tours.control("ReleaseControl", "(is)", (2, "Operator"))
    assert tours.wait_history(2, 2), "the tour did not continue after release"


def test_control_events_freeze_release_and_recorded_tour_stop(patrold, tours, paramctl, bus):
    def control_changed(camera, client):
        bus.emit(EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)", (camera, client))

    patrold.play(1)
    assert tours.wait_history(2, 2)
    control_changed(2, "")  # nobody: no effect
    assert tours.wait_history(2, 2)
    control_changed(2, "Joystick")
    time.sleep(0.3)
    quiesce(tours, 2)
    assert reached_during(tours, 2) == []
    control_changed(2, "Rezazerar")
    assert tours.wait_history(2, 2)
    control_changed(2, "Recordedtour")
    assert paramctl.wait_running(1, "no")


def test_driver_uninstalled_stops_and_deletes_the_cameras_tours(patrold, tours, paramctl):
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    tours.control("UninstallDriver", "(i)", (2,))
    assert wait_until(lambda: paramctl.groups() == {"G3", "G4"}), paramctl.groups()
    assert wait_until(lambda: "Rezazerar" not in tours.camera(2)["queue"])
    assert patrold.answers()
