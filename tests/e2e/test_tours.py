"""Tours played end to end: requests over the bus, heads in ptz-sim, the
Running state in the store, and start-up recovery."""
import time

import pytest

from conftest import EVENTS_IFACE, EVENTS_OBJECT, tour_lines, wait_until


def assert_held(sim, camera):
    """The head is not driven, which can only be seen over some time: a
    playing tour reaches several presets a second in the sim. A move already
    under way when the tour was told to hold may still land first."""
    time.sleep(0.3)
    wait_until(lambda: not sim.camera(camera)["moving"], 5)
    before = len(sim.history(camera))
    time.sleep(1.0)
    assert sim.history(camera)[before:] == []


@pytest.fixture
def tours(seed, ptz_sim):
    seed(tour_lines(1, camera=2, presets=(1, 2)) + tour_lines(2, camera=2, presets=(5, 6))
         + tour_lines(3, camera=3, presets=(7, 8)) + tour_lines(4, camera=4, presets=(3, 4)))
    return ptz_sim


def test_play_runs_in_order_and_another_tour_replaces_it(patrold, tours, paramctl):
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    assert tours.wait_history(2, 4)[:4] in ([1, 2, 1, 2], [2, 1, 2, 1])
    assert "Rezazerar" in tours.camera(2)["queue"]
    assert tours.history(3) == []
    patrold.play(2)
    assert paramctl.wait_running(1, "no") and paramctl.wait_running(2, "yes")
    assert wait_until(lambda: set((tours.wait_history(2, 3) or [])[-2:]) == {5, 6})


def test_pause_holds_resume_continues_stop_ends(patrold, tours, paramctl):
    patrold.play(3)
    assert tours.wait_history(3, 2)
    patrold.pause(3)
    assert_held(tours, 3)
    assert paramctl.running(3) == "yes"  # paused is still playing
    patrold.resume(3)
    assert tours.wait_history(3, 2), "the tour did not continue"
    patrold.stop_tour(3)
    assert paramctl.wait_running(3, "no")
    assert wait_until(lambda: "Rezazerar" not in tours.camera(3)["queue"])
    assert_held(tours, 3)


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
    patrold.unblock(3)
    patrold.play(3)
    assert paramctl.wait_running(3, "yes")
    assert tours.wait_history(3, 2)


RUNNING_REQUESTS = {  # (running, group text, tour expected to start)
    "plain": ("yes", "G12", 12),
    "no-G-means-tour-0": ("yes", "X3", 0),
    "trailing-text": ("yes", "G7.Tour", 7),
    "case-sensitive": ("YES", "G12", None),
}


@pytest.mark.parametrize("running,group,started", RUNNING_REQUESTS.values(),
                         ids=RUNNING_REQUESTS.keys())
def test_running_state_requests(patrold, seed, ptz_sim, paramctl, running, group, started):
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


def test_control_by_another_client_holds_and_recorded_tour_stops(patrold, tours, paramctl,
                                                                  bus):
    patrold.play(1)
    assert tours.wait_history(2, 2)
    tours.control("TakeControl", "(is)", (2, "Operator"))
    assert_held(tours, 2)
    assert paramctl.running(1) == "yes"
    tours.control("ReleaseControl", "(is)", (2, "Operator"))
    assert tours.wait_history(2, 2), "the tour did not continue after release"
    bus.emit(EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)", (2, "Recordedtour"))
    assert paramctl.wait_running(1, "no")


def test_driver_uninstalled_stops_and_deletes_the_cameras_tours(patrold, tours, paramctl):
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    tours.control("UninstallDriver", "(i)", (2,))
    assert wait_until(lambda: paramctl.groups() == {"G3", "G4"}), paramctl.groups()
    assert wait_until(lambda: "Rezazerar" not in tours.camera(2)["queue"])
    assert patrold.answers()


def test_start_resumes_one_tour_per_camera_and_resets_conflicts(
        seed, paramctl, ptz_sim, start_patrold):
    claims = {1: (1, "yes"), 2: (2, "yes"), 3: (2, "yes"), 4: (2, "yes"),  # 3 on camera 2
              5: (3, "Yes"), 6: ("abc", "yes"), 7: (9, "yes"), 8: (0, "yes"),
              9: (4, "no"), 10: (5, "yes")}
    seed([line for tour, (camera, running) in claims.items()
          for line in tour_lines(tour, camera, presets=(3, 4), running=running)])
    daemon = start_patrold()
    # The recovery runs before the bus name is taken: its resets are stored.
    assert [paramctl.running(t) for t in (2, 3, 4)] == ["no"] * 3
    assert ptz_sim.wait_history(1, 2) and ptz_sim.wait_history(5, 2)
    for camera in (2, 3, 4):
        assert (ptz_sim.history(camera), ptz_sim.camera(camera)["queue"]) == ([], [])
    # Running tours stay marked for the next start after an orderly exit.
    assert daemon.stop() == 0
    assert [paramctl.running(t) for t in (1, 10, 5, 6, 7, 8, 9)] == \
        ["yes", "yes", "Yes", "yes", "yes", "yes", "no"]
