"""An idle daemon sleeps; a playing one wakes for its 100 ms tick only."""
import pathlib
import time

from conftest import tour_lines, wait_until

WINDOW_S = 2.0


def voluntary_switches(pid):
    total = 0
    for status in pathlib.Path(f"/proc/{pid}/task").glob("*/status"):
        for line in status.read_text().splitlines():
            if line.startswith("voluntary_ctxt_switches:"):
                total += int(line.split()[1])
    return total


def wakeups_per_second(pid):
    before = voluntary_switches(pid)
    time.sleep(WINDOW_S)
    return (voluntary_switches(pid) - before) / WINDOW_S


def test_idle_daemon_does_not_wake_up(patrold):
    # Let start-up traffic (name acquisition, match rules) die down first.
    assert patrold.answers()
    time.sleep(0.5)
    assert wakeups_per_second(patrold.pid) == 0


def test_playing_daemon_wakes_for_its_tick(seed, paramctl, ptz_sim, patrold):
    # One point with a long dwell: after arriving, only the tick runs.
    seed(tour_lines(1, camera=1, presets=(3,), wait=60))
    patrold.play(1)
    assert ptz_sim.wait_history(1, 1)
    assert wait_until(lambda: not ptz_sim.camera(1)["moving"])
    rate = wakeups_per_second(patrold.pid)
    assert 5 <= rate < 40, rate

    patrold.stop_tour(1)
    assert paramctl.wait_running(1, "no")
    time.sleep(0.5)  # the tick goes at the next processing run
    assert wakeups_per_second(patrold.pid) == 0
