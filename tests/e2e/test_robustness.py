"""Input a client, the store or the platform can really send must never
bring the daemon down. After each batch a play of a good tour, queued
behind the bad requests, must still take effect."""
import pytest

from conftest import (EVENTS_IFACE, EVENTS_OBJECT, IFACE_CONFHUB, IFACE_TOUR,
                      tour_lines)

BAD_TOURS = (tour_lines(20, camera=0) + tour_lines(21, camera=9)
             + tour_lines(22, camera=-5) + tour_lines(23, camera="abc")
             + tour_lines(24, camera="") + tour_lines(25, camera=3, presets=())
             + ["root.RezazErar.RezazErar.Stray=1", "root.RezazErar.Gx.CamNbr=2"])
TOUR_METHODS = ("PlayPresetTour", "StopPresetTour", "PausePresetTour",
                "ResumePresetTour")
BAD_IDS = (-1, -7, -2**31, 2**31 - 1, 999)


def tour_requests(ids):
    return [("call", IFACE_TOUR, m, "(i)", (i,)) for i in ids for m in TOUR_METHODS]


BATCHES = {
    "tour-ids": tour_requests(BAD_IDS),
    "camera-numbers": tour_requests(range(20, 26)),
    "running-requests": [
        ("call", IFACE_CONFHUB, "SetPresetTourRunning", "(ss)", args)
        for args in [("yes", "G-3"), ("no", "G-3"), ("yes", "G2147483648"),
                     ("yes", ""), ("no", "G"), ("yes", "G20"), ("yes", "G23"),
                     ("maybe", "G1"), ("", "")]],
    "control-events": [
        ("signal", EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(is)", args)
        for args in [(0, "x"), (9, "Recordedtour"), (-1, "Rezazerar"), (2**31 - 1, "")]]
    + [("signal", EVENTS_OBJECT, EVENTS_IFACE, name, "(ii)", (camera, 1))
       for name in ("PresetReached", "HeadMoving") for camera in (0, 9, -1)]
    + [("signal", EVENTS_OBJECT, EVENTS_IFACE, "ControlChanged", "(s)", ("x",))],
    "driver-uninstalled": [
        ("signal", "/com/vorn/PTZ/Coordinator/1", "com.vorn.PTZ.Coordinator",
         "DriverUninstalled", sig, args)
        for sig, args in [("(i)", (0,)), ("(i)", (9,)), ("(i)", (-1,)),
                          ("(s)", ("1",)), ("(ii)", (1, 1))]],
}


@pytest.mark.parametrize("batch", BATCHES.values(), ids=BATCHES.keys())
def test_bad_input_never_aborts(seed, paramctl, ptz_sim, start_patrold, bus, batch):
    seed(BAD_TOURS + tour_lines(1, camera=1))
    daemon = start_patrold()  # the recovery has walked the odd groups too
    for kind, *rest in batch:
        if kind == "call":
            assert daemon.call(*rest).unpack() == ()
        else:
            bus.emit(*rest)
    daemon.play(1)
    assert paramctl.wait_running(1, "yes"), daemon.syslog.messages()[-10:]
    assert daemon.answers()
    assert daemon.stop() == 0


def test_tour_without_points_fails_to_play_and_is_marked_not_running(
        seed, paramctl, ptz_sim, patrold):
    seed(tour_lines(25, camera=3, presets=(), running="yes"))
    # paramctl's own notification asks the daemon to play it
    assert paramctl.wait_running(25, "no")
    assert ptz_sim.history(3) == []
    assert patrold.answers()
