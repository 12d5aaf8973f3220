"""Start-up recovery of the tours the store marks as running."""
from conftest import tour_lines


def test_start_resumes_one_tour_per_camera_and_resets_conflicts(
        seed, paramctl, ptz_sim, start_patrold):
    seed(tour_lines(1, camera=1, presets=(1, 2), running="yes")
         # three claims on camera 2: none plays, all become "no"
         + tour_lines(2, camera=2, running="yes")
         + tour_lines(3, camera=2, running="yes")
         + tour_lines(4, camera=2, running="yes")
         + tour_lines(5, camera=3, running="Yes")  # not exactly "yes"
         + tour_lines(6, camera="abc", running="yes")
         + tour_lines(7, camera=9, running="yes")
         + tour_lines(8, camera=0, running="yes")
         + tour_lines(9, camera=4, running="no")
         # camera 5's single claim is not disturbed by camera 2's conflict
         + tour_lines(10, camera=5, presets=(3, 4), running="yes"))
    start_patrold()
    # The recovery runs before the bus name is taken, so its synchronous
    # resets are in the store by now.
    assert [paramctl.running(t) for t in (2, 3, 4)] == ["no"] * 3
    assert ptz_sim.wait_history(1, 2), "camera 1's tour was not resumed"
    assert ptz_sim.wait_history(5, 2), "camera 5's tour was not resumed"
    assert [paramctl.running(t) for t in (1, 10)] == ["yes", "yes"]
    assert [paramctl.running(t) for t in (5, 6, 7, 8, 9)] == \
        ["Yes", "yes", "yes", "yes", "no"]
    for camera in (2, 3, 4):
        assert ptz_sim.history(camera) == []
        assert ptz_sim.camera(camera)["queue"] == []


def test_exit_keeps_running_tours_for_the_next_start(seed, paramctl, ptz_sim,
                                                     start_patrold):
    seed(tour_lines(1, camera=6, presets=(1, 2)))
    first = start_patrold()
    first.play(1)
    assert ptz_sim.wait_history(6, 1)
    assert first.stop() == 0
    assert paramctl.running(1) == "yes"

    start_patrold()
    assert ptz_sim.wait_history(6, 3), "the tour was not resumed after restart"
