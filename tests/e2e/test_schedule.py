"""A timetable kept by the real daemon, its wall clock (CLOCK_REALTIME only,
through libfaketime) moved to seconds before a window: the tour plays and the
status says what comes next, then it stops at the window's end."""
import datetime
import glob
import os

from conftest import tour_lines, wait_until
from test_status import Watcher

# Ten fake seconds to a real one: the window opens about 6 s after start-up
# and closes 6 s later.
FAKETIME = {"FAKETIME": "@2030-01-07 21:59:00 x10", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
            "TZ": "UTC"}


def epoch_us(text):
    return int(datetime.datetime.fromisoformat(text + "+00:00").timestamp()) * 1_000_000


def test_a_window_plays_its_tour_and_stops_it_at_the_end(start_patrold, seed, ptz_sim, bus,
                                                         paramctl):
    seed(tour_lines(1, camera=3) + ["root.RezazErar.G1.Schedule=Mon 22:00-22:01"])
    # A build for another architecture names its own (scripts/cross-test.sh).
    preload = [os.environ.get("PATROLD_FAKETIME")] if os.environ.get("PATROLD_FAKETIME") else \
        glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
    assert preload, "libfaketime is not installed (scripts/install-deps.sh)"
    daemon = start_patrold(env=FAKETIME, preload=preload[0])
    w = Watcher(bus)
    assert (w.cam(3)["TourId"], w.cam(3)["ScheduleNextAction"], w.cam(3)["ScheduleNext"]) == (
        -1, "play G1", epoch_us("2030-01-07 22:00"))
    def shows(**expected):  # bounds beyond the window's start and end
        return wait_until(lambda: all(w.cam(3)[k] == v for k, v in expected.items()), 20)
    assert shows(TourId=1, ScheduleNextAction="stop G1",
                 ScheduleNext=epoch_us("2030-01-07 22:01")), w.cam(3)
    assert paramctl.wait_running(1, "yes")
    assert shows(TourId=-1, State="idle", ScheduleNextAction="play G1",
                 ScheduleNext=epoch_us("2030-01-14 22:00")), w.cam(3)
    assert paramctl.wait_running(1, "no") and daemon.answers()
