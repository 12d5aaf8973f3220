"""The PTZ coordinator absent, then gone, under a playing tour on the real
bus. The daemon stays up, logs the failed calls, and steps on in the tour's
order once a coordinator answers (a re-issued goto repeats the current point,
it never skips or reorders one)."""
from conftest import tour_lines, wait_until

PRESETS = (1, 2, 3)
POSITION_FAILED = "DBus call QueryPosition failed, error: "
# A head that dropped a goto is re-driven once it has been still for 5 s;
# allow several such rounds on a loaded machine.
RECOVERY_S = 30.0


def failures(daemon, prefix):
    return [m for m in daemon.syslog.messages() if m.startswith(prefix)]


def assert_tour_goes_on(sim, daemon, paramctl):
    assert sim.wait_history(1, len(PRESETS) + 1, RECOVERY_S), daemon.syslog.messages()[-5:]
    history = sim.history(1)
    assert all(b == PRESETS[(PRESETS.index(a) + 1) % len(PRESETS)]
               for a, b in zip(history, history[1:])), history
    assert paramctl.running(1) == "yes"


def test_coordinator_absent_at_the_play_then_gone_mid_tour(seed, paramctl, patrold,
                                                           start_ptz_sim):
    seed(tour_lines(1, camera=1, presets=PRESETS, wait=1))
    patrold.play(1)
    assert paramctl.wait_running(1, "yes")  # the play itself succeeds
    assert wait_until(lambda: failures(patrold, "DBus call Queue failed, error: ")
                      and len(failures(patrold, POSITION_FAILED)) >= 2)
    sim = start_ptz_sim()
    assert_tour_goes_on(sim, patrold, paramctl)
    # Gone while the head dwells (1 s): lost in mid-move, the engine would
    # wait for its 60 s goto limit instead of the 5 s still rule.
    assert wait_until(lambda: not sim.camera(1)["moving"])
    sim.stop()
    before = len(failures(patrold, POSITION_FAILED))
    assert wait_until(lambda: len(failures(patrold, POSITION_FAILED)) > before)
    assert_tour_goes_on(start_ptz_sim(), patrold, paramctl)
