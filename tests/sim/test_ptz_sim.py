"""ptz-sim playing the coordinator: motion and its events, control queues and
their expiry. (SetDelay is shown by the coordinator fault tests that use it.)"""
import time

from conftest import wait_until

CLIENT = "Rezazerar"


def queue(sim, camera, action, client=CLIENT):
    return sim.call(camera, "Queue", "(sii)", (client, 0, action))


def control_names(sim, camera):
    return [name for c, name in sim.named("ControlChanged") if c == camera]


def test_goto_moves_then_reports_arrival_in_order(ptz_sim):
    ptz_sim.call(1, "GotoPresetNumber", "(siii)", (CLIENT, 0, 3, 20 << 16))
    assert wait_until(lambda: (1, 0) in ptz_sim.named("HeadMoving"))
    assert [(n, a) for (n, _p, a) in ptz_sim.events] == [
        ("HeadMoving", (1, 1)), ("PresetReached", (1, 1)), ("HeadMoving", (1, 0))]
    assert ptz_sim.call(1, "QueryPosition", "(si)", (CLIENT, 0))[:4] == (3000, 300, 30, 0)
    assert ptz_sim.history(1) == [3]


def test_queue_enter_keepalive_leave_and_control_changes(ptz_sim):
    steps = [  # (client, action, reply, ControlChanged names so far)
        ("A", 3, (1, 0, 1), ["A"]),
        ("B", 3, (0, 1, 2), ["A"]),
        ("B", 0, (0, 1, 2), ["A"]),
        ("C", 0, (2, -1, 2), ["A"]),  # keepalive does not join
        ("A", 2, (2, -1, 1), ["A", "B"]),
        ("B", 2, (2, -1, 0), ["A", "B", ""]),
    ]
    for client, action, reply, changes in steps:
        assert queue(ptz_sim, 5, action, client) == reply, (client, action)
        assert wait_until(lambda: control_names(ptz_sim, 5) == changes), (client, action)


def test_silent_client_expires_and_active_one_stays(start_ptz_sim):
    # Keepalives come tens of milliseconds apart, many times within the expiry.
    sim = start_ptz_sim("--expiry", "1.5")
    queue(sim, 2, 3, "Silent")
    queue(sim, 2, 3, "Busy")
    deadline = time.monotonic() + 20
    while sim.camera(2)["queue"] != ["Busy"] and time.monotonic() < deadline:
        queue(sim, 2, 0, "Busy")
    assert sim.camera(2)["queue"] == ["Busy"]
    assert wait_until(lambda: control_names(sim, 2) == ["Silent", "Busy", ""], 20)
