"""Tours played end to end on the real simulator: the exact point order, a
restart after SIGKILL, and a burst of contradicting requests.
PATROLD_CRASH_CYCLES and PATROLD_BURST_REQUESTS size the last two."""
import os

from conftest import IFACE_TOUR, OBJECT, SERVICE, tour_lines, wait_until

CRASH_CYCLES = int(os.environ.get("PATROLD_CRASH_CYCLES", 1))
BURST = int(os.environ.get("PATROLD_BURST_REQUESTS", 1000))


def test_tour_visits_its_points_in_position_order(seed, ptz_sim, patrold, paramctl):
    # Positions, not point numbers, give the order: T0 comes last.
    seed(tour_lines(1, camera=2, presets=(5, 1, 3), positions=(2, 0, 1)))
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")
    assert wait_until(lambda: len(ptz_sim.history(2)) >= 7)
    assert ptz_sim.history(2)[:7] == [1, 3, 5, 1, 3, 5, 1]


def all_touring(sim, tours):
    """Every camera reaches two presets, all of its own tour's."""
    sim.control("Reset")
    reached = wait_until(lambda: (cams := sim.cameras()) and all(
        len(cams[c]["history"]) >= 2 for c in tours) and cams)
    return reached and all(set(reached[c]["history"]) <= set(p) for c, p in tours.items())


def test_killed_daemon_resumes_every_running_tour(seed, ptz_sim, start_patrold, paramctl,
                                                  record_property):
    tours = {c: (c, c + 1) for c in range(1, 9)}  # tour n on camera n
    seed([line for c, presets in tours.items() for line in tour_lines(c, c, presets)])
    daemon = start_patrold()
    for camera in tours:
        daemon.play(camera)
    assert all(paramctl.wait_running(c, "yes") for c in tours)
    assert all_touring(ptz_sim, tours)
    for cycle in range(CRASH_CYCLES):
        daemon.kill()  # SIGKILL: no shutdown code runs
        daemon = start_patrold()
        assert [paramctl.running(c) for c in tours] == ["yes"] * 8, cycle
        assert all_touring(ptz_sim, tours), cycle
    record_property("crash_restart_cycles", CRASH_CYCLES)


def test_burst_of_requests_ends_on_the_last(seed, ptz_sim, patrold, paramctl, bus,
                                            record_property):
    seed(tour_lines(1, camera=1) + tour_lines(2, camera=2))

    def burst(count):  # play, stop, play, ... of tour 1, then tour 2 as a marker
        for n in range(count):
            bus.send(SERVICE, OBJECT, IFACE_TOUR, ("PlayPresetTour", "StopPresetTour")[n % 2],
                     "(i)", (1,))
        bus.send(SERVICE, OBJECT, IFACE_TOUR, ("StopPresetTour", "PlayPresetTour")[count % 2],
                 "(i)", (2,))
        # Requests are worked off in order: the marker's Running comes last.
        assert paramctl.wait_running(2, ("no", "yes")[count % 2], timeout=60)

    burst(BURST + 1)  # ends on a play: the head tours
    ptz_sim.control("Reset")
    assert ptz_sim.wait_history(1, 2)
    burst(BURST)  # ends on a stop
    assert patrold.stop() == 0  # after the Running writes in flight
    assert (paramctl.running(1), paramctl.running(2)) == ("no", "no")
    record_property("burst_requests", 2 * BURST + 1)
